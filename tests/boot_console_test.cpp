#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "serial/rx_ring.h"
#include "serial/serial.h"
#include "tests/pty_peer.h"
#include "tests/trace_capture.h"
#include "upgrade/boot_console.h"

namespace {

using Bytes = PtyPeer::Bytes;

Bytes B(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

class BootConsoleTest : public ::testing::Test {
   protected:
    void SetUp() override {
        ASSERT_EQ(0, SerialOpen(peer.Path(), 57600));
        RxFlush();
    }
    void TearDown() override {
        peer.StopResponder();
        SerialClose();
    }
    TraceCapture trace;
    PtyPeer peer;
};

}  // namespace

TEST_F(BootConsoleTest, EmptyCommandWritesNothing) {
    peer.Write(B("stale"));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(SendBootCommand(""));
    EXPECT_EQ(-1, RxReadByte(0));  // flushed
    EXPECT_TRUE(peer.ReadUntilQuiet(100).empty());
}

TEST_F(BootConsoleTest, EchoChecksEachCharacterAndStopsAtTheFirstFault) {
    peer.StartResponder([](unsigned char c) { return Bytes{c}; });
    EXPECT_TRUE(SendBootCommand("erase 2000 b"));
    const unsigned char key[9] = {'C', 'A', '0', '7', '7', '#', 0, 'p', '`'};
    EXPECT_TRUE(SendBootCommand(key, 9));  // a zero byte is a character like any other
    peer.StopResponder();
    Bytes expected = B("erase 2000 b");
    expected.insert(expected.end(), key, key + 9);
    EXPECT_EQ(expected, peer.Received());
}

TEST_F(BootConsoleTest, MissingEchoWritesOneByte) {
    EXPECT_FALSE(SendBootCommand("whoru"));
    EXPECT_EQ(B("w"), peer.ReadUntilQuiet(100));
}

TEST_F(BootConsoleTest, ChangedEchoEndsTheCommand) {
    peer.StartResponder(
        [](unsigned char c) { return Bytes{static_cast<unsigned char>(c == 'p' ? 'P' : c)}; });
    EXPECT_FALSE(SendBootCommand("upload 2000"));
    peer.StopResponder();
    EXPECT_EQ(B("up"), peer.Received());
}

TEST_F(BootConsoleTest, WakeConsoleWantsExactlyThePrompt) {
    peer.StartResponder([](unsigned char c) { return c == '\r' ? B("\r\nBoot>xy") : Bytes{}; });
    EXPECT_TRUE(WakeConsole(250));
    EXPECT_EQ('x', RxReadByte(500));  // later bytes stay in the ring
    peer.StopResponder();

    peer.StartResponder([](unsigned char) { return B("\r\nboot>"); });
    RxFlush();
    EXPECT_FALSE(WakeConsole(250));
    peer.StopResponder();

    peer.StartResponder([](unsigned char) { return B("\r\nBoot"); });
    RxFlush();
    EXPECT_FALSE(WakeConsole(250));
}

TEST_F(BootConsoleTest, CollectReplyExecutesAndStopsAt256) {
    peer.StartResponder([](unsigned char c) { return c == '\r' ? Bytes(300, 'z') : Bytes{}; });
    ReplyBuffer reply;
    EXPECT_EQ(256, CollectReply(150, reply));
    EXPECT_EQ('z', RxReadByte(500));  // the rest waits for the next flush
    EXPECT_EQ(B("\r"), peer.Received());
    peer.StopResponder();

    RxFlush();
    std::memset(reply, 0xAA, sizeof reply);
    EXPECT_EQ(0, CollectReply(20, reply));  // silence is no error
    EXPECT_EQ(0, reply[0]);

    peer.StartResponder([](unsigned char) { return Bytes(200, 'q'); });
    DrainConsole(150);
    EXPECT_EQ(-1, RxReadByte(0));
}

TEST(ReplyJudgements, LookOnlyAtTheReplyText) {
    auto judge = [](const std::string& s, int which) {
        const unsigned char* r = reinterpret_cast<const unsigned char*>(s.data());
        int n = static_cast<int>(s.size());
        return which == 0   ? ReplyEndsWithPrompt(r, n)
               : which == 1 ? ReplyHasPrompt(r, n)
                            : ReplyHasSuccessMark(r, n);
    };
    EXPECT_FALSE(judge("\r\nBoot", 0));
    EXPECT_TRUE(judge(std::string("id\0\xFF\r\nBoot>", 11), 0));
    EXPECT_TRUE(judge("erasing ^_^\r\nBoot>", 2));
    EXPECT_FALSE(judge("erasing\r\nBoot>", 2));
    EXPECT_FALSE(judge("\r\nBoot>^_^", 2));  // the prompt must follow the mark
    EXPECT_TRUE(judge("^_^\r\nBoot>^_^", 2));
    std::string zeroFirst("x\0^_^\r\nBoot>", 12);
    EXPECT_FALSE(judge(zeroFirst, 1));
    EXPECT_FALSE(judge(zeroFirst, 2));
    EXPECT_TRUE(judge(zeroFirst, 0));
    EXPECT_TRUE(judge("key ok\r\nBoot>trailing", 1));
}
