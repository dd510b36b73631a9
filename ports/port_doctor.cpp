#include "ports/port_doctor.h"

namespace {

std::string DoctorRule(const PortFacts& f) {
    return "orvane-flash doctor --udev-rule -p " + f.details.device;
}

PortFinding Missing(const PortFacts& f) {
    if (f.windows)
        return {"missing", true, f.given + " is not a port of this system",
                "plug the adapter in; Device Manager shows the COM number it got under Ports "
                "(COM & LPT)"};
    std::string fix =
        "plug the adapter in and check the cable; 'orvane-flash ports' lists the ports";
    if (f.brlttyInstalled)
        fix +=
            "; brltty is installed: a CH340 or CP210x adapter whose port vanishes once plugged in "
            "was taken by it (sudo apt remove brltty, then plug it in again)";
    return {"missing", true, "no such device: " + f.given, fix};
}

PortFinding Denied(const PortFacts& f) {
    std::string who = (f.userName.empty() ? std::string("this user") : f.userName);
    std::string facts = who + " may not open " + f.details.device + " (owner " + f.owner +
                        ", group " + f.group + ", mode " + ModeText(f.mode) + ")";
    if (f.groupMayUse && f.inGroupListed && !f.inGroupNow)
        return {"login-older", true,
                who + " is in the group " + f.group + ", but this login is older than that",
                "log out and log in again (or, in this shell only: newgrp " + f.group + ")"};
    if (f.groupMayUse)
        return {"denied", true, facts,
                "sudo usermod -aG " + f.group + " $USER, then log out and log in again"};
    std::string group = f.serialGroup.empty() ? std::string("dialout") : f.serialGroup;
    return {"denied", true, facts + "; no group may use it",
            "give it a group with a udev rule: " + DoctorRule(f) + " (GROUP=\"" + group +
                "\", MODE=\"0660\"), then join that group"};
}

PortFinding Held(const PortFacts& f) {
    if (f.holders.empty() && f.windows)
        return {"held", true, f.given + " is in use by another program",
                "close the program that holds it (a terminal, a modem or sync tool)"};
    if (f.holders.empty())
        return {"held", true, f.details.device + " is in use by a process this user cannot see",
                "sudo orvane-flash doctor -p " + f.details.device + " names it; close it first"};
    return {"held", true, f.details.device + " is held open by " + HolderList(f.holders, false),
            "close that program first, or end it: kill " + HolderList(f.holders, true)};
}

// A trial open that failed for a reason the facts above do not explain.
PortFinding OpenFailed(const PortFacts& f) {
    if (f.openFailure == SerialNoDevice)
        return {"no-device", true, f.details.device + " has no device behind it",
                "plug the adapter in again"};
    if (f.openFailure == SerialDenied)
        return {"denied", true, f.details.device + " refused to open, though its mode allows it",
                "check the system's security policy for it (an access control list, SELinux)"};
    return {"open-failed", true, f.details.device + " could not be opened",
            "plug the adapter in again; if that does not help, try another USB socket"};
}

PortFinding ModemManagerProbes(const PortFacts& f) {
    return {"modemmanager", true,
            "ModemManager is running and may probe this port (it writes AT commands into new "
            "ports for several seconds)",
            "let it leave the adapter alone with a udev rule: " + DoctorRule(f) +
                "; or, with no modem on this machine: sudo systemctl disable --now ModemManager"};
}

PortFinding BrlttyClaims(const PortFacts& f) {
    std::string rule = f.brlttyRule.substr(f.brlttyRule.find_last_of('/') + 1);
    return {"brltty", true,
            "brltty is installed and its rule " + f.brlttyRule + " claims this adapter's chip (" +
                f.details.vendorId + ":" + f.details.productId +
                "): the port vanishes once brltty takes it",
            "with no braille display here: sudo apt remove brltty; otherwise mask the rule: sudo "
            "ln -s /dev/null /etc/udev/rules.d/" +
                rule + "; then plug the adapter in again"};
}

PortFinding SlowAdapter(const PortFacts& f) {
    return {"latency", false,
            "the latency timer is " + std::to_string(f.details.latencyMs) +
                " ms: the adapter holds each reply back up to that long, which slows every "
                "block and every echo",
            f.latencyFix};
}

void JudgeAccess(const PortFacts& f, std::vector<PortFinding>& found) {
    if (!f.mayOpen) found.push_back(Denied(f));
    bool busy = f.openFailure == SerialBusy;
    if (busy || !f.holders.empty()) found.push_back(Held(f));
    bool explained = f.openFailure == SerialOpenOk || busy || !f.mayOpen;
    if (f.openTried && !explained) found.push_back(OpenFailed(f));
}

}  // namespace

std::vector<PortFinding> JudgePort(const PortFacts& f) {
    std::vector<PortFinding> found;
    if (!f.exists) return {Missing(f)};
    if (!f.isSerial || f.openFailure == SerialNotSerial)
        return {{"not-serial", true, f.details.device + " is not a serial port",
                 "name the adapter's port; 'orvane-flash ports' lists them"}};
    JudgeAccess(f, found);
    if (f.udevSeesIt && f.modemManagerRunning && !f.modemManagerIgnores)
        found.push_back(ModemManagerProbes(f));
    if (!f.brlttyRule.empty()) found.push_back(BrlttyClaims(f));
    if (f.details.latencyMs > LatencyWorthLoweringMs) found.push_back(SlowAdapter(f));
    return found;
}

bool PortIsReady(const std::vector<PortFinding>& findings) {
    for (const PortFinding& f : findings)
        if (f.blocking) return false;
    return true;
}
