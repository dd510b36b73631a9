// The look at a port on Linux against a fake system: what `doctor` judges,
// the fixes it names, the udev rule it makes, and what `ports` lists.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ports/port_details.h"
#include "ports/port_doctor.h"
#include "ports/port_facts_linux.h"
#include "ports/port_refusal.h"
#include "ports/udev_rule.h"
#include "tests/fake_system.h"

namespace {

const char kBrlttyLine[] =
    "ENV{PRODUCT}==\"1a86/7523/*\", ENV{BRLTTY_BRAILLE_DRIVER}=\"bm\", GOTO=\"brltty_usb_run\"\n";

// A group the test may give its device nodes: not root's, so joining it helps.
gid_t SerialGid() {
    return getuid() == 0 ? 20 : getgid();
}

class AdapterLook : public ::testing::Test {
   protected:
    void SetUp() override {
        sys.AddAdapter(
            {"ttyUSB0", "1-2", "0403", "6001", "FTDI", "FT232R USB UART", "A10K3Q7", "ftdi_sio", 16,
             "E:ID_MM_CANDIDATE=1\nE:ID_PATH=pci-0000:00:14.0-usb-0:2:1.0\n"
             "E:ID_USB_INTERFACE_NUM=00\n"},
            0);
        sys.AddAdapter({"ttyUSB1", "1-3", "1a86", "7523", "", "USB Serial", "", "ch341", -1,
                        "E:ID_MM_CANDIDATE=1\nE:ID_MM_DEVICE_IGNORE=1\n"
                        "E:ID_PATH=pci-0000:00:14.0-usb-0:3:1.0\n"},
                       1);
        sys.Link("dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K3Q7-if00-port0", "../../ttyUSB0");
        sys.Link("dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0", "../../ttyUSB0");
        std::string gid = std::to_string(SerialGid());
        sys.Write("etc/group", "root:x:0:\ndialout:x:" + gid + ":alice,bob\n");
        sys.Write("etc/passwd",
                  "root:x:0:0::/root:/bin/sh\nalice:x:4242:4242::/home/alice:/bin/sh\n"
                  "carol:x:4244:4244::/home/carol:/bin/sh\n");
        for (const char* tty : {"ttyUSB0", "ttyUSB1"}) sys.Own(tty, SerialGid(), 0660);
        SetDoctorUser(&root);
    }
    PortFacts Look(const std::string& tty) { return GatherPortFacts(sys.Dev(tty).string()); }
    static const PortFinding* Find(const std::vector<PortFinding>& findings, const char* code) {
        for (const PortFinding& f : findings)
            if (f.code == code) return &f;
        return nullptr;
    }
    FakeSystem sys;
    DoctorUser root = {0, 0, {0}, "root"};
};

}  // namespace

TEST_F(AdapterLook, FtdiAdapterAtSixteenMsGetsTheLatencyAdviceAndAOneMsRule) {
    PortFacts f = Look("ttyUSB0");
    EXPECT_TRUE(f.exists);
    EXPECT_TRUE(f.isSerial);
    EXPECT_EQ("ftdi_sio", f.details.driver);
    EXPECT_EQ(16, f.details.latencyMs);
    EXPECT_EQ(sys.Dev("serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0").string(),
              f.details.byPath);
    EXPECT_EQ("dialout", f.group);

    std::vector<PortFinding> findings = JudgePort(f);
    ASSERT_EQ(1u, findings.size());
    EXPECT_EQ("latency", findings[0].code);
    EXPECT_FALSE(findings[0].blocking);  // slow, not in the way: still ready
    EXPECT_TRUE(PortIsReady(findings));
    std::string attribute = (sys.Root() / "sys/class/tty/ttyUSB0/device/latency_timer").string();
    EXPECT_EQ("echo 1 | sudo tee " + attribute +
                  " (until it is unplugged), or for good a udev rule: orvane-flash doctor "
                  "--udev-rule -p " +
                  sys.Dev("ttyUSB0").string(),
              findings[0].fix);

    std::string rule, why;
    ASSERT_TRUE(MakeUdevRule(f, "scanner1", rule, why)) << why;
    EXPECT_NE(std::string::npos, rule.find("# /etc/udev/rules.d/70-orvane-scanner1.rules\n"));
    EXPECT_NE(std::string::npos, rule.find("sudo udevadm control --reload-rules"));
    EXPECT_NE(std::string::npos,
              rule.find("\nSUBSYSTEM==\"tty\", ATTRS{idVendor}==\"0403\", "
                        "ATTRS{idProduct}==\"6001\", ATTRS{serial}==\"A10K3Q7\", "
                        "ENV{ID_USB_INTERFACE_NUM}==\"00\", SYMLINK+=\"scanner1\", "
                        "GROUP=\"dialout\", MODE=\"0660\", TAG+=\"uaccess\", "
                        "ENV{ID_MM_DEVICE_IGNORE}=\"1\", ATTR{device/latency_timer}=\"1\"\n"))
        << rule;
    EXPECT_EQ("scanner-A10K3Q7", DefaultLinkName(f));
}

TEST_F(AdapterLook, Ch340WithBrlttysRuleGetsTheBrlttyFixUntilTheRuleIsMasked) {
    sys.Write("usr/bin/brltty", "");
    sys.Write("lib/udev/rules.d/85-brltty.rules",
              std::string("# Device: 1A86:7523\n") + kBrlttyLine);
    std::vector<PortFinding> findings = JudgePort(Look("ttyUSB1"));
    const PortFinding* brltty = Find(findings, "brltty");
    ASSERT_NE(nullptr, brltty);
    EXPECT_TRUE(brltty->blocking);
    EXPECT_NE(std::string::npos, brltty->problem.find("85-brltty.rules claims this adapter's "
                                                      "chip (1a86:7523)"));
    EXPECT_EQ(
        "with no braille display here: sudo apt remove brltty; otherwise mask the rule: sudo ln "
        "-s /dev/null /etc/udev/rules.d/85-brltty.rules; then plug the adapter in again",
        brltty->fix);
    EXPECT_FALSE(PortIsReady(findings));
    EXPECT_EQ(nullptr, Find(JudgePort(Look("ttyUSB0")), "brltty"));  // FTDI: not its chip

    sys.Link("etc/udev/rules.d/85-brltty.rules", "/dev/null");
    EXPECT_TRUE(PortIsReady(JudgePort(Look("ttyUSB1"))));
}

TEST_F(AdapterLook, AdapterWithoutASerialNumberIsMatchedByItsSocket) {
    PortFacts f = Look("ttyUSB1");
    EXPECT_TRUE(f.details.serial.empty());
    EXPECT_EQ(-1, f.details.latencyMs);
    std::string rule, why;
    ASSERT_TRUE(MakeUdevRule(f, DefaultLinkName(f), rule, why)) << why;
    EXPECT_EQ("scanner-1-3", DefaultLinkName(f));
    EXPECT_NE(
        std::string::npos,
        rule.find("\nSUBSYSTEM==\"tty\", ATTRS{idVendor}==\"1a86\", "
                  "ATTRS{idProduct}==\"7523\", ENV{ID_PATH}==\"pci-0000:00:14.0-usb-0:3:1.0\", "
                  "SYMLINK+=\"scanner-1-3\","))
        << rule;
    EXPECT_EQ(std::string::npos, rule.find("latency_timer"));  // no such timer on a CH340
    EXPECT_NE(std::string::npos, rule.find("another socket needs another rule"));

    // Without udev's path for the socket, the USB device's own name stands for it.
    sys.Write("run/udev/data/c188:1", "E:ID_MM_CANDIDATE=1\n");
    ASSERT_TRUE(MakeUdevRule(Look("ttyUSB1"), "st2", rule, why));
    EXPECT_NE(std::string::npos, rule.find("ATTRS{idProduct}==\"7523\", KERNELS==\"1-3\", "));
}

TEST_F(AdapterLook, WhoMayOpenItAndWhatToDoAboutIt) {
    DoctorUser alice = {4242, 4242, {4242}, "alice"};  // listed in dialout, this login is not
    SetDoctorUser(&alice);
    std::vector<PortFinding> findings = JudgePort(Look("ttyUSB0"));
    ASSERT_NE(nullptr, Find(findings, "login-older"));
    EXPECT_EQ("alice is in the group dialout, but this login is older than that",
              Find(findings, "login-older")->problem);
    EXPECT_EQ("log out and log in again (or, in this shell only: newgrp dialout)",
              Find(findings, "login-older")->fix);

    alice.groups.push_back(static_cast<int>(SerialGid()));  // logged in again
    EXPECT_TRUE(PortIsReady(JudgePort(Look("ttyUSB0"))));

    DoctorUser carol = {4244, 4244, {4244}, "carol"};
    SetDoctorUser(&carol);
    findings = JudgePort(Look("ttyUSB0"));
    const PortFinding* denied = Find(findings, "denied");
    ASSERT_NE(nullptr, denied);
    EXPECT_EQ(
        0u, denied->problem.find("carol may not open " + sys.Dev("ttyUSB0").string() + " (owner "));
    EXPECT_NE(std::string::npos, denied->problem.find(", group dialout, mode 0660)"));
    EXPECT_EQ("sudo usermod -aG dialout $USER, then log out and log in again", denied->fix);

    sys.Own("ttyUSB0", 0, 0600);  // no group may use it: a rule must give it one
    findings = JudgePort(Look("ttyUSB0"));
    denied = Find(findings, "denied");
    ASSERT_NE(nullptr, denied);
    EXPECT_NE(std::string::npos, denied->fix.find("orvane-flash doctor --udev-rule -p "));
    EXPECT_NE(std::string::npos, denied->fix.find("GROUP=\"dialout\""));
}

TEST_F(AdapterLook, HoldersAndModemManagerStandInTheWay) {
    sys.AddProcess(4321, "minicom", sys.Dev("ttyUSB0"));
    sys.AddProcess(77, "ModemManager", FakeSystem::Path());
    std::vector<PortFinding> findings = JudgePort(Look("ttyUSB0"));
    const PortFinding* held = Find(findings, "held");
    ASSERT_NE(nullptr, held);
    EXPECT_EQ(sys.Dev("ttyUSB0").string() + " is held open by 4321 (minicom)", held->problem);
    EXPECT_EQ("close that program first, or end it: kill 4321", held->fix);
    const PortFinding* mm = Find(findings, "modemmanager");
    ASSERT_NE(nullptr, mm);
    EXPECT_NE(std::string::npos, mm->fix.find("sudo systemctl disable --now ModemManager"));
    EXPECT_FALSE(PortIsReady(findings));

    // Told to leave the CH340 alone, ModemManager is no problem there.
    PortFacts ch340 = Look("ttyUSB1");
    EXPECT_TRUE(ch340.modemManagerRunning);
    EXPECT_TRUE(ch340.modemManagerIgnores);
    EXPECT_TRUE(PortIsReady(JudgePort(ch340)));
}

TEST_F(AdapterLook, AVanishedPortNamesBrlttyWhereItIsInstalled) {
    std::vector<PortFinding> findings = JudgePort(GatherPortFacts(sys.Dev("ttyUSB5").string()));
    ASSERT_EQ(1u, findings.size());
    EXPECT_EQ("missing", findings[0].code);
    EXPECT_EQ(std::string::npos, findings[0].fix.find("brltty"));
    EXPECT_EQ(std::string::npos, ExplainOpenFailure("/dev/ttyUSB5", SerialNoDevice).find("brltty"));

    sys.Write("usr/bin/brltty", "");
    findings = JudgePort(GatherPortFacts("COM38"));  // ttyUSB5 by its COM name
    ASSERT_EQ(1u, findings.size());
    EXPECT_NE(std::string::npos, findings[0].fix.find("sudo apt remove brltty"));
    EXPECT_NE(std::string::npos,
              ExplainOpenFailure("/dev/ttyUSB5", SerialNoDevice).find("sudo apt remove brltty"));
}

TEST_F(AdapterLook, PortsListTheSocketTheDriverAndTheLatencyTimer) {
    std::vector<PortDetails> ports = ListPortDetails();
    ASSERT_EQ(2u, ports.size());
    EXPECT_EQ("COM33", ports[0].name);
    EXPECT_EQ(sys.Dev("serial/by-id/usb-FTDI_FT232R_USB_UART_A10K3Q7-if00-port0").string(),
              ports[0].byId);
    EXPECT_EQ(sys.Dev("serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0").string(),
              ports[0].byPath);
    EXPECT_EQ("ftdi_sio", ports[0].driver);
    EXPECT_EQ(16, ports[0].latencyMs);
    EXPECT_EQ("ch341", ports[1].driver);
    EXPECT_EQ(-1, ports[1].latencyMs);
    EXPECT_TRUE(ports[1].byPath.empty());
    EXPECT_EQ(std::string::npos, LatencyTimerFix(ports[1]).find("tee"));
}
