// Why a serial device did not open, on POSIX: the device's owner, group and
// mode, and the processes that hold it.
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>

#include <string>

#include "ports/port_facts.h"
#include "ports/port_facts_linux.h"
#include "ports/port_refusal.h"
#include "serial/serial_report.h"

namespace {

std::string UserName(uid_t uid) {
    const passwd* p = getpwuid(uid);
    return p ? p->pw_name : std::to_string(uid);
}

std::string GroupName(gid_t gid) {
    const group* g = getgrgid(gid);
    return g ? g->gr_name : std::to_string(gid);
}

// Joining the group helps only when the group may read and write the device
// and is not root's own.
std::string ExplainDenied(const std::string& device) {
    struct stat st;
    if (stat(device.c_str(), &st) != 0) return "permission denied on " + device;
    std::string owner = UserName(st.st_uid), group = GroupName(st.st_gid);
    std::string facts = "permission denied on " + device + " (owner " + owner + ", group " + group +
                        ", mode " + ModeText(st.st_mode) + ")";
    bool groupMayUse = (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
    if (groupMayUse && st.st_gid != 0)
        return facts + ": add yourself to the group with 'sudo usermod -aG " + group +
               " $USER', then log in again";
    return facts + ": no group can be joined for it; run as " + owner +
           ", or give the device a group that may use it (a udev rule with GROUP=\"dialout\", "
           "MODE=\"0660\", or chgrp and chmod)";
}

// brltty takes CH340 and CP210x adapters on several desktops: their port
// vanishes moments after it appeared.
std::string ExplainMissing(const std::string& device) {
    std::string text =
        "no such device: " + device +
        "; check that the cable is plugged in ('orvane-flash ports' lists the ports)";
    if (BrlttyInstalled())
        text +=
            "; brltty is installed and takes some CH340 and CP210x adapters: 'orvane-flash "
            "doctor' tells, 'sudo apt remove brltty' ends it";
    return text;
}

// The speed the driver kept, when it would not take the line's own.
std::string ExplainSettingsRefused(const std::string& device) {
    return device + " " + RefusedSettingsText() +
           ": its driver refuses these settings; try another adapter or its maker's driver";
}

}  // namespace

std::string ExplainOpenFailure(const std::string& device, SerialOpenFailure why) {
    switch (why) {
        case SerialDenied:
            return ExplainDenied(device);
        case SerialBusy: {
            std::string holders = HolderList(Holders(device, -1), false);
            return device + " is in use by another process" + (holders.empty() ? "" : ": ") +
                   holders + "; close it first";
        }
        case SerialNoDevice:
            return ExplainMissing(device);
        case SerialNotSerial:
            return device + " is not a serial device";
        case SerialSettingsRefused:
            return ExplainSettingsRefused(device);
        default:
            return device + " could not be opened";
    }
}
