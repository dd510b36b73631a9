// What `ports` and `doctor` print for an adapter whose USB strings, links,
// driver and holders carry terminal escapes and line ends: shown escaped,
// never raw; and the rule `doctor --udev-rule` prints for it. The command
// line cannot be pointed at a fake system, so these run the commands' own
// functions over one.
#include <gtest/gtest.h>

#include <string>

#include "cli/doctor.h"
#include "cli/ports_listing.h"
#include "tests/fake_system.h"

namespace {

// No byte a terminal would obey: nothing below 0x20 but the line end, no DEL.
bool Inert(const std::string& text) {
    for (char c : text)
        if ((static_cast<unsigned char>(c) < 0x20 && c != '\n') || c == 0x7f) return false;
    return true;
}

class AdapterText : public ::testing::Test {
   protected:
    void SetUp() override {
        sys.AddAdapter({"ttyUSB0", "1-2", "0403", "6001", "Ev\x1b[2Jil\r",
                        "Scan\x1b]0;X\x07\rforged", "S|1\x1b", "ftdi\x1b[31m", 16,
                        "E:ID_PATH=pci-0000:00:14.0-usb-0:2:1.0\nE:ID_USB_INTERFACE_NUM=00\n"},
                       0);
        sys.Link("dev/serial/by-id/usb-Ev\x1b[2Jil-if00", "../../ttyUSB0");
        sys.Write("etc/group", "root:x:0:\ndialout:x:20:\n");
        SetDoctorUser(&root);
    }
    std::string Device() const { return sys.Dev("ttyUSB0").string(); }
    int Doctor(FlashOptions o) {
        o.command = "doctor";
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int status = RunDoctor(o);
        out = testing::internal::GetCapturedStdout();
        err = testing::internal::GetCapturedStderr();
        return status;
    }
    FakeSystem sys;
    DoctorUser root = {0, 0, {0}, "root"};
    std::string out, err;
};

}  // namespace

TEST_F(AdapterText, PortsShowsTheAdaptersStringsEscaped) {
    testing::internal::CaptureStdout();
    ListPorts(false);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(Inert(out)) << out;
    EXPECT_NE(std::string::npos,
              out.find("usb: 0403:6001  Ev\\x1b[2Jil\\r  Scan\\x1b]0;X\\x07\\rforged  serial "
                       "S|1\\x1b\n"))
        << out;
    EXPECT_NE(std::string::npos,
              out.find("by-id: " + sys.Dev("serial/by-id").string() + "/usb-Ev\\x1b[2Jil-if00\n"))
        << out;
    EXPECT_NE(std::string::npos, out.find("driver: ftdi\\x1b[31m  latency timer 16 ms\n")) << out;
}

TEST_F(AdapterText, DoctorShowsStringsHoldersAndTheGivenNameEscaped) {
    sys.AddProcess(4321, "vi\x1b]0;t\x07", sys.Dev("ttyUSB0"));
    FlashOptions o;
    o.ports = {Device(), "/nowhere/tty\x1b[2J\r"};
    EXPECT_EQ(ExitUpgradeFailed, Doctor(o));
    EXPECT_TRUE(Inert(out)) << out;
    EXPECT_NE(std::string::npos, out.find("Ev\\x1b[2Jil\\r Scan\\x1b]0;X\\x07\\rforged, serial "
                                          "S|1\\x1b\n"))
        << out;
    EXPECT_NE(std::string::npos, out.find(", driver ftdi\\x1b[31m\n")) << out;
    EXPECT_NE(std::string::npos, out.find("held open by 4321 (vi\\x1b]0;t\\x07)\n")) << out;
    EXPECT_NE(std::string::npos, out.find("\n/nowhere/tty\\x1b[2J\\r: not ready\n")) << out;
    EXPECT_NE(std::string::npos, out.find("no such device: /nowhere/tty\\x1b[2J\\r\n")) << out;
}

TEST_F(AdapterText, TheRuleForAHostileAdapterIsPrintableAndMatchesItsSocket) {
    FlashOptions o;
    o.ports = {Device()};
    o.udevRule = true;
    o.ruleName = "st\x1b]0;t\x07";
    EXPECT_EQ(ExitUsage, Doctor(o));
    EXPECT_TRUE(out.empty()) << out;
    EXPECT_TRUE(Inert(err)) << err;
    EXPECT_NE(std::string::npos, err.find("not 'st\\x1b]0;t\\x07'")) << err;

    o.ruleName = "st1";
    ASSERT_EQ(ExitSuccess, Doctor(o)) << err;
    EXPECT_TRUE(Inert(out)) << out;
    EXPECT_NE(std::string::npos,
              out.find("\n# Ev\\x1b[2Jil\\x0d Scan\\x1b]0;X\\x07\\x0dforged (0403:6001), now "))
        << out;
    EXPECT_NE(std::string::npos, out.find("(it has no serial number udev can match literally, "
                                          "only S|1\\x1b)"))
        << out;
    EXPECT_NE(
        std::string::npos,
        out.find("\nSUBSYSTEM==\"tty\", ATTRS{idVendor}==\"0403\", "
                 "ATTRS{idProduct}==\"6001\", ENV{ID_PATH}==\"pci-0000:00:14.0-usb-0:2:1.0\", "
                 "ENV{ID_USB_INTERFACE_NUM}==\"00\", SYMLINK+=\"st1\","))
        << out;
}
