// The verdict on a port from facts alone: logic without a platform, tested
// on both (the udev rule: udev_rule_test).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ports/port_doctor.h"

namespace {

PortFacts WindowsPort() {
    PortFacts f;
    f.windows = true;
    f.given = "COM5";
    f.details.name = "COM5";
    f.details.device = "\\\\.\\COM5";
    f.exists = f.isSerial = f.openTried = true;
    return f;
}

}  // namespace

TEST(PortDoctor, WindowsPortsAreJudgedByTheMapTheTrialOpenAndTheFtdiTimer) {
    PortFacts f = WindowsPort();
    EXPECT_TRUE(JudgePort(f).empty());

    f.details.latencyMs = 16;
    f.latencyFix = "Device Manager: COM5, Latency Timer 1";
    std::vector<PortFinding> findings = JudgePort(f);
    ASSERT_EQ(1u, findings.size());
    EXPECT_EQ("latency", findings[0].code);
    EXPECT_EQ("Device Manager: COM5, Latency Timer 1", findings[0].fix);
    EXPECT_TRUE(PortIsReady(findings));
    f.details.latencyMs = LatencyWorthLoweringMs;  // low enough already
    EXPECT_TRUE(JudgePort(f).empty());

    f.openFailure = SerialBusy;
    findings = JudgePort(f);
    ASSERT_EQ(1u, findings.size());
    EXPECT_EQ("held", findings[0].code);
    EXPECT_EQ("close the program that holds it (a terminal, a modem or sync tool)",
              findings[0].fix);
    EXPECT_FALSE(PortIsReady(findings));

    f.exists = false;
    findings = JudgePort(f);
    ASSERT_EQ(1u, findings.size());
    EXPECT_EQ("COM5 is not a port of this system", findings[0].problem);
    EXPECT_NE(std::string::npos, findings[0].fix.find("Device Manager"));
}

TEST(PortDoctor, AFailedTrialOpenIsNamedOnceWithItsCause) {
    PortFacts f = WindowsPort();
    f.windows = false;
    f.details.device = f.given = "/dev/ttyUSB0";
    f.openFailure = SerialNotSerial;
    std::vector<PortFinding> findings = JudgePort(f);
    ASSERT_EQ(1u, findings.size());
    EXPECT_EQ("not-serial", findings[0].code);

    f.openFailure = SerialOtherFailure;
    f.holders = {{812, "screen"}, {813, "cat"}};  // holders explain nothing of this failure
    findings = JudgePort(f);
    ASSERT_EQ(2u, findings.size());
    EXPECT_EQ("/dev/ttyUSB0 is held open by 812 (screen), 813 (cat)", findings[0].problem);
    EXPECT_EQ("close that program first, or end it: kill 812 813", findings[0].fix);
    EXPECT_EQ("open-failed", findings[1].code);

    f.holders.clear();
    f.openFailure = SerialBusy;  // held by someone this user cannot see
    findings = JudgePort(f);
    ASSERT_EQ(1u, findings.size());
    EXPECT_EQ("sudo orvane-flash doctor -p /dev/ttyUSB0 names it; close it first", findings[0].fix);
}
