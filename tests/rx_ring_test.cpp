#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "serial/rx_ring.h"
#include "serial/serial.h"
#include "serial/serial_status.h"
#include "tests/trace_capture.h"

namespace {

using Clock = std::chrono::steady_clock;

long ElapsedMs(Clock::time_point since) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

void Push(const std::vector<unsigned char>& bytes) {
    RxPush(bytes.data(), static_cast<int>(bytes.size()));
}

std::vector<unsigned char> Sequence(int count, int start = 0) {
    std::vector<unsigned char> v(count);
    for (int i = 0; i < count; ++i) v[i] = static_cast<unsigned char>((start + i) * 7 + i / 256);
    return v;
}

std::vector<int> Drain() {
    std::vector<int> got;
    for (int b; (b = RxReadByte(0)) >= 0;) got.push_back(b);
    return got;
}

class RxRingTest : public ::testing::Test {
   protected:
    void SetUp() override {
        RxSetLinkDown(false);
        RxFlush();
    }
    void TearDown() override { RxFlush(); }
    TraceCapture trace;
};

}  // namespace

TEST_F(RxRingTest, HoldsAtMost4095AndDropsTheOldest) {
    std::vector<unsigned char> all = Sequence(5000);
    for (size_t i = 0; i < all.size(); i += 128)
        RxPush(all.data() + i, static_cast<int>(std::min<size_t>(128, all.size() - i)));
    std::vector<int> got = Drain();
    ASSERT_EQ(4095u, got.size());
    for (size_t i = 0; i < got.size(); ++i) ASSERT_EQ(all[5000 - 4095 + i], got[i]) << i;

    Push(Sequence(4095));
    Push({0xEE});
    got = Drain();
    ASSERT_EQ(4095u, got.size());
    EXPECT_EQ(Sequence(4095)[1], got.front());
    EXPECT_EQ(0xEE, got.back());
}

TEST_F(RxRingTest, WrapsAroundInOrder) {
    for (int round = 0; round < 5; ++round) {
        Push(Sequence(3000, round));
        std::vector<int> got = Drain();
        ASSERT_EQ(3000u, got.size());
        for (int i = 0; i < 3000; ++i) ASSERT_EQ(Sequence(3000, round)[i], got[i]);
    }
}

TEST_F(RxRingTest, FlushKeepsOnlyLaterBytes) {
    Push({1, 2, 3});
    RxFlush();
    Push({0xFF, 0x00});
    EXPECT_EQ(255, RxReadByte(0));  // 0xFF is a byte, not the time-out
    EXPECT_EQ(0, RxReadByte(-5));   // a waiting byte is returned whatever the budget
    EXPECT_EQ(-1, RxReadByte(0));
}

// The budget is charged 2 per 1-ms pause: 100 waits at least 50 ms.
TEST_F(RxRingTest, AnEmptyRingWaitsHalfTheBudget) {
    auto start = Clock::now();
    EXPECT_EQ(-1, RxReadByte(100));
    EXPECT_GE(ElapsedMs(start), 50);
}

TEST_F(RxRingTest, ByteArrivingDuringTheWaitIsHandedOverAtOnce) {
    std::thread producer([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const unsigned char b = 0x42;
        RxPush(&b, 1);
    });
    auto start = Clock::now();
    int got = RxReadByte(20000);  // a 10-second wait if the byte were not noticed
    long waited = ElapsedMs(start);
    producer.join();
    EXPECT_EQ(0x42, got);
    EXPECT_LT(waited, 5000);
}

TEST_F(RxRingTest, DeadLinkAnswersAtOnceAfterTheRingIsDrained) {
    Push({9});
    RxSetLinkDown(true);
    EXPECT_EQ(9, RxReadByte(20000));
    auto start = Clock::now();
    EXPECT_EQ(-1, RxReadByte(20000));
    EXPECT_LT(ElapsedMs(start), 5000);
    RxSetLinkDown(false);
}

TEST_F(RxRingTest, TraceHasLfBeforeEachCrAndKeepsNul) {
    trace.Take();
    const unsigned char received[] = {'\r', '\n', 'B', 'o', 'o', 't', '>', 0, '\r'};
    SerialDeliverReceived(received, sizeof received);
    std::string out = trace.Take();
    EXPECT_EQ(std::string("\n\r\nBoot>\0\n\r", 11), out);
    EXPECT_EQ(std::vector<int>({'\r', '\n', 'B', 'o', 'o', 't', '>', 0, '\r'}), Drain());
}

std::vector<unsigned char> heard;

TEST_F(RxRingTest, ASinkHearsWhatTheRingGetsInsteadOfTheTrace) {
    trace.Take();
    SetTraceSink([](const unsigned char* b, int n) { heard.assign(b, b + n); });
    const unsigned char received[] = {0x15, '\r'};
    SerialDeliverReceived(received, sizeof received);
    SetTraceSink(nullptr);  // standard output again
    EXPECT_EQ(std::vector<unsigned char>({0x15, '\r'}), heard);
    EXPECT_EQ(std::vector<int>({0x15, '\r'}), Drain());
    EXPECT_EQ("", trace.Take());
}
