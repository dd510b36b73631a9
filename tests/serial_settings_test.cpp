// The POSIX channel's set-up against stand-ins for the driver's calls: the
// low-latency flag set at open and put back at close, and the line settings
// read back, a speed the driver kept refused at open.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "ports/port_refusal.h"
#include "serial/serial.h"
#include "serial/serial_posix_calls.h"
#include "serial/serial_report.h"
#include "tests/pty_peer.h"
#include "tests/trace_capture.h"

namespace {

// A driver that keeps the serial flags it is given, or has none; line
// settings go to the pseudo-terminal, and may read back another speed.
struct FakeDriver {
    int flags = 0;
    bool hasFlags = true;
    bool refuses = false;
    speed_t keptSpeed = B0;  // B0: the speed set reads back
    std::vector<std::string> calls;
    std::vector<std::string> notes;
} driver;

int FakeGetSerial(int, serial_struct* info) {
    driver.calls.push_back("get");
    if (!driver.hasFlags) return errno = ENOTTY, -1;
    std::memset(info, 0, sizeof *info);
    info->flags = driver.flags;
    return 0;
}

int FakeSetSerial(int, const serial_struct* info) {
    driver.calls.push_back("set " + std::to_string(info->flags));
    if (driver.refuses) return errno = EPERM, -1;
    driver.flags = info->flags;
    return 0;
}

int FakeSetAttributes(int fd, const termios* settings) {
    driver.calls.push_back("setattr");
    return tcsetattr(fd, TCSANOW, settings);
}

int FakeGetAttributes(int fd, termios* settings) {
    driver.calls.push_back("getattr");
    int result = tcgetattr(fd, settings);
    if (driver.keptSpeed != B0) {
        cfsetispeed(settings, driver.keptSpeed);
        cfsetospeed(settings, driver.keptSpeed);
    }
    return result;
}

void KeepNote(const char* text) {
    driver.notes.push_back(text);
}

class SerialSettingsTest : public ::testing::Test {
   protected:
    void SetUp() override {
        saved = SerialPosixSystem;
        SerialPosixSystem = {FakeGetSerial, FakeSetSerial, FakeSetAttributes, FakeGetAttributes};
        driver = FakeDriver();
        SerialSetNoteSink(KeepNote);
    }
    void TearDown() override {
        SerialClose();
        SerialPosixSystem = saved;
        SerialSetNoteSink(nullptr);
    }
    // What the terminal holds now, through a descriptor of our own.
    termios Settings() {
        termios t = {};
        int fd = open(peer.Path(), O_RDWR | O_NOCTTY);
        tcgetattr(fd, &t);
        close(fd);
        return t;
    }
    SerialPosixCalls saved;
    TraceCapture trace;
    PtyPeer peer;
};

}  // namespace

TEST_F(SerialSettingsTest, LowLatencyIsSetAtOpenAndTheFlagsFoundArePutBackAtClose) {
    driver.flags = ASYNC_SKIP_TEST;  // a flag of the driver's own, kept throughout
    ASSERT_EQ(0, SerialOpen(peer.Path(), 57600));
    EXPECT_EQ(ASYNC_SKIP_TEST | ASYNC_LOW_LATENCY, driver.flags);
    EXPECT_EQ(LowLatencySet, SerialLastPortReport().lowLatency);
    EXPECT_EQ(std::vector<std::string>{"low latency: set for this port, put back at close"},
              driver.notes);
    SerialClose();
    EXPECT_EQ(ASYNC_SKIP_TEST, driver.flags);

    driver.calls.clear();
    driver.flags = ASYNC_LOW_LATENCY;  // on already: nothing to set, nothing to put back
    ASSERT_EQ(0, SerialOpen(peer.Path(), 57600));
    SerialClose();
    EXPECT_EQ(LowLatencyAlreadyOn, SerialLastPortReport().lowLatency);
    EXPECT_EQ((std::vector<std::string>{"get", "setattr", "getattr"}), driver.calls);
}

TEST_F(SerialSettingsTest, ADriverWithoutTheFlagOrRefusingItIsNoError) {
    driver.hasFlags = false;
    ASSERT_EQ(0, SerialOpen(peer.Path(), 57600));
    EXPECT_EQ(LowLatencyUnsupported, SerialLastPortReport().lowLatency);
    SerialClose();

    driver = FakeDriver();
    driver.refuses = true;
    ASSERT_EQ(0, SerialOpen(peer.Path(), 57600));
    EXPECT_EQ(LowLatencyRefused, SerialLastPortReport().lowLatency);
    driver.calls.clear();
    SerialClose();
    EXPECT_TRUE(driver.calls.empty());  // nothing was changed, so nothing is put back

    SerialPosixSystem = saved;  // the pseudo-terminal's own answer
    ASSERT_EQ(0, SerialOpen(peer.Path(), 57600));
    EXPECT_EQ(LowLatencyUnsupported, SerialLastPortReport().lowLatency);
}

TEST_F(SerialSettingsTest, SettingsAreReadBackAndLeaveTheModemLinesAtClose) {
    ASSERT_EQ(0, SerialOpen(peer.Path(), 57600));
    std::vector<std::string> order(driver.calls.begin() + 2, driver.calls.end());
    EXPECT_EQ((std::vector<std::string>{"get", "setattr", "getattr"}), order);
    EXPECT_EQ(57600u, SerialLastPortReport().speedFound);
    termios t = Settings();
    EXPECT_EQ(B57600, cfgetospeed(&t));
    EXPECT_EQ(static_cast<tcflag_t>(CS8), t.c_cflag & CSIZE);
    EXPECT_EQ(0u, t.c_cflag & (PARENB | CSTOPB | CRTSCTS | HUPCL));
}

TEST_F(SerialSettingsTest, APortThatKeepsAnotherSpeedIsRefusedAtOpen) {
    driver.keptSpeed = B9600;
    EXPECT_EQ(-1, SerialOpen(peer.Path(), 57600));
    EXPECT_EQ(SerialSettingsRefused, SerialLastOpenFailure());
    EXPECT_EQ(0, SerialReaderThreadCount());
    EXPECT_EQ("Bad hComm \n", trace.Take());
    SerialPortReport report = SerialLastPortReport();
    EXPECT_EQ(57600u, report.speedAsked);
    EXPECT_EQ(9600u, report.speedFound);
    EXPECT_EQ(0, driver.flags);  // the low-latency flag went back with the refusal
    EXPECT_EQ(std::string(peer.Path()) +
                  " did not take 57600 baud 8N1 (the driver kept 9600 baud): its driver refuses "
                  "these settings; try another adapter or its maker's driver",
              ExplainOpenFailure(peer.Path(), SerialSettingsRefused));

    driver.keptSpeed = B0;  // released whole: it opens at once
    EXPECT_EQ(0, SerialOpen(peer.Path(), 57600));
}
