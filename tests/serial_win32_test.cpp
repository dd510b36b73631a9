// The Windows serial channel and registry port map, run under Wine against an
// echoing pseudo-terminal mapped as a COM port (scripts/test-windows.sh sets
// ORVANE_WINE_ECHO_PORT, e.g. COM6).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "serial/rx_ring.h"
#include "serial/serial.h"
#include "shell/port_discovery.h"
#include "shell/port_map.h"
#include "tests/trace_capture.h"

namespace {

using Bytes = std::vector<unsigned char>;

std::vector<std::string> listed;
void AddPort(const char* name) {
    listed.push_back(name);
}

Bytes ReadBytes(size_t count, int budgetMs) {
    Bytes got;
    for (int b; got.size() < count && (b = RxReadByte(budgetMs)) >= 0;)
        got.push_back(static_cast<unsigned char>(b));
    return got;
}

class WineSerialTest : public ::testing::Test {
   protected:
    void SetUp() override {
        const char* port = std::getenv("ORVANE_WINE_ECHO_PORT");
        if (!port) GTEST_SKIP() << "ORVANE_WINE_ECHO_PORT names no echoing COM port";
        name = port;
        number = std::atoi(port + 3);
        ASSERT_TRUE(FormatPortDevice(number, device, sizeof device));
        RxFlush();
    }
    void TearDown() override {
        SerialClose();
        RxFlush();
    }
    // Sends and reads back, as the echoing peer returns it.
    Bytes RoundTrip(const Bytes& out) {
        SerialWrite(out.data(), static_cast<uint32_t>(out.size()));
        return ReadBytes(out.size(), 2000);
    }
    TraceCapture trace;
    std::string name;
    int number = 0;
    char device[64] = "";
};

}  // namespace

TEST(WinePortMap, DevicePathsAreTheWindowsOnes) {
    char path[16];
    ASSERT_TRUE(FormatPortDevice(5, path, sizeof path));
    EXPECT_STREQ("\\\\.\\COM5", path);
    ASSERT_TRUE(FormatPortDevice(255, path, sizeof path));
    EXPECT_STREQ("\\\\.\\COM255", path);
    EXPECT_FALSE(FormatPortDevice(255, path, 10));  // "\\.\COM255" needs 10 with its terminator
    EXPECT_FALSE(PortEntryIsDevicePath("\\\\.\\COM5"));
    EXPECT_FALSE(PortEntryIsDevicePath("/dev/ttyS0"));
}

TEST(WineSerial, MissingPortFailsWithoutAReader) {
    TraceCapture trace;
    EXPECT_EQ(-1, SerialOpen("\\\\.\\COM199", 57600));
    EXPECT_EQ(SerialNoDevice, SerialLastOpenFailure());
    EXPECT_EQ(0, SerialReaderThreadCount());
    EXPECT_EQ("Bad hComm \n", trace.Take());
}

TEST_F(WineSerialTest, RegistryMapListsThePort) {
    listed.clear();
    DiscoverSerialPorts(AddPort, nullptr);
    EXPECT_NE(listed.end(), std::find(listed.begin(), listed.end(), name));
    EXPECT_EQ(1, PortTable[number]);

    char valueName[256], data[256];
    uint32_t values = 0;
    while (ReadPortMapValue(values, valueName, sizeof valueName, data, sizeof data)) ++values;
    EXPECT_EQ(listed.size(), values);  // every value here is a COM port
    EXPECT_FALSE(ReadPortMapValue(1023, valueName, sizeof valueName, data, sizeof data));
    EXPECT_FALSE(ReadPortMapValue(0, valueName, sizeof valueName, data, 3));  // "COMn" does not fit
}

TEST_F(WineSerialTest, EveryByteValuePassesBothWaysUnchanged) {
    ASSERT_EQ(0, SerialOpen(device, 57600));
    EXPECT_EQ(1, SerialReaderThreadCount());
    Bytes all(256);
    for (int i = 0; i < 256; ++i) all[i] = static_cast<unsigned char>(i);
    EXPECT_EQ(all, RoundTrip(all));  // NUL, XON, XOFF, CR and 0xFF included
}

TEST_F(WineSerialTest, CloseEndsTheReaderAndReopenStartsExactlyOne) {
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(0, SerialOpen(device, round == 1 ? 9600 : 57600)) << round;
        EXPECT_EQ(1, SerialReaderThreadCount()) << round;
        EXPECT_EQ(Bytes({'r', static_cast<unsigned char>('0' + round)}),
                  RoundTrip({'r', static_cast<unsigned char>('0' + round)}));
        SerialClose();
        EXPECT_EQ(0, SerialReaderThreadCount()) << round;  // the close waits for it
    }
}

TEST_F(WineSerialTest, BytesInTheRingOutliveTheClose) {
    ASSERT_EQ(0, SerialOpen(device, 57600));
    Bytes out(100, 'z');
    SerialWrite(out.data(), static_cast<uint32_t>(out.size()));
    ASSERT_EQ('z', RxReadByte(2000));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // let the rest come in
    SerialClose();
    EXPECT_EQ(Bytes(99, 'z'), ReadBytes(200, 100));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(-1, RxReadByte(20000));  // closed: nothing more can come, so no 10 s wait
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST_F(WineSerialTest, LongWriteReturnsOnceSent) {
    ASSERT_EQ(0, SerialOpen(device, 57600));
    Bytes block(1000);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<unsigned char>(i * 7);
    EXPECT_EQ(block, RoundTrip(block));
}
