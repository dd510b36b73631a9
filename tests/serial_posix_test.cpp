#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "serial/rx_ring.h"
#include "serial/serial.h"
#include "tests/pty_peer.h"
#include "tests/trace_capture.h"

namespace {

bool WaitForReaders(int count) {
    for (int i = 0; i < 500 && SerialReaderThreadCount() != count; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return SerialReaderThreadCount() == count;
}

class SerialPosixTest : public ::testing::Test {
   protected:
    void SetUp() override { RxFlush(); }
    void TearDown() override {
        SerialClose();
        RxFlush();
    }
    TraceCapture trace;
    PtyPeer peer;
};

PtyPeer::Bytes AllByteValues() {
    PtyPeer::Bytes all(256);
    for (int i = 0; i < 256; ++i) all[i] = static_cast<unsigned char>(i);
    return all;
}

}  // namespace

TEST_F(SerialPosixTest, EveryByteValuePassesBothWaysUnchanged) {
    ASSERT_EQ(0, SerialOpen(peer.Path(), 57600));
    PtyPeer::Bytes all = AllByteValues();
    peer.Write(all);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(i, RxReadByte(2000)) << i;

    SerialWrite(all.data(), static_cast<uint32_t>(all.size()));
    EXPECT_EQ(all, peer.ReadUntilQuiet(200));
}

TEST_F(SerialPosixTest, CloseEndsTheReaderAndReopenStartsExactlyOne) {
    ASSERT_EQ(0, SerialOpen(peer.Path(), 57600));
    EXPECT_EQ(1, SerialReaderThreadCount());
    SerialClose();
    EXPECT_TRUE(WaitForReaders(0));
    peer.Write({'x'});  // nobody may read this any more
    ASSERT_EQ(0, SerialOpen(peer.Path(), 9600));
    EXPECT_EQ(1, SerialReaderThreadCount());
    peer.Write({'y'});
    EXPECT_EQ('y', RxReadByte(2000));  // 'x' was purged at the open
}

TEST_F(SerialPosixTest, HeldPortDoesNotOpen) {
    ASSERT_EQ(0, SerialOpen(peer.Path(), 57600));
    int other = open(peer.Path(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    EXPECT_NE(0, flock(other, LOCK_EX | LOCK_NB));  // we hold it exclusively
    close(other);
    SerialClose();

    int holder = open(peer.Path(), O_RDWR | O_NOCTTY);
    ASSERT_EQ(0, flock(holder, LOCK_EX | LOCK_NB));
    EXPECT_EQ(-1, SerialOpen(peer.Path(), 57600));
    EXPECT_EQ(SerialBusy, SerialLastOpenFailure());
    EXPECT_EQ(0, SerialReaderThreadCount());
    close(holder);
    EXPECT_EQ(-1, SerialOpen("/dev/no-such-serial-port", 57600));
    EXPECT_EQ(SerialNoDevice, SerialLastOpenFailure());
    EXPECT_EQ(0, SerialReaderThreadCount());
    EXPECT_EQ("Bad hComm \nBad hComm \n", trace.Take());
}

TEST_F(SerialPosixTest, UnplugEndsTheReaderAndReadsDrainThenFail) {
    ASSERT_EQ(0, SerialOpen(peer.Path(), 57600));
    peer.Write({1, 2, 3});
    ASSERT_EQ(1, RxReadByte(2000));  // the reader has pushed all three by now
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    peer.Unplug();
    EXPECT_TRUE(WaitForReaders(0));
    EXPECT_EQ(2, RxReadByte(5000));
    EXPECT_EQ(3, RxReadByte(5000));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(-1, RxReadByte(20000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}
