// Why a serial device did not open, on POSIX: the device's owner, group and
// mode, and the processes that hold it.
#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "serial/serial_report.h"
#include "shell/adapter_linux.h"
#include "shell/port_details.h"

namespace {

std::string CommandName(const char* pid) {
    std::string path = std::string("/proc/") + pid + "/comm";
    FILE* f = std::fopen(path.c_str(), "r");
    char name[64] = "";
    if (f) {
        if (!std::fgets(name, sizeof name, f)) name[0] = 0;
        std::fclose(f);
    }
    name[std::strcspn(name, "\n")] = 0;
    return name;
}

bool HoldsOpen(const std::string& fdDir, const char* target) {
    DIR* fds = opendir(fdDir.c_str());
    bool holds = false;
    for (dirent* f; fds && !holds && (f = readdir(fds));) {
        char link[PATH_MAX];
        ssize_t n = readlink((fdDir + "/" + f->d_name).c_str(), link, sizeof link - 1);
        if (n <= 0) continue;
        link[n] = 0;
        holds = std::strcmp(link, target) == 0;
    }
    if (fds) closedir(fds);
    return holds;
}

// "1234 (minicom)" for every other process with the device open.
std::string HoldersOf(const std::string& device) {
    char target[PATH_MAX];
    if (!realpath(device.c_str(), target)) return std::string();
    std::string holders;
    std::string self = std::to_string(getpid());
    DIR* proc = opendir("/proc");
    for (dirent* p; proc && (p = readdir(proc));) {
        if (std::strspn(p->d_name, "0123456789") != std::strlen(p->d_name) || self == p->d_name)
            continue;
        if (!HoldsOpen(std::string("/proc/") + p->d_name + "/fd", target)) continue;
        holders += (holders.empty() ? "" : ", ") + std::string(p->d_name) + " (" +
                   CommandName(p->d_name) + ")";
    }
    if (proc) closedir(proc);
    return holders;
}

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
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    std::string owner = UserName(st.st_uid), group = GroupName(st.st_gid);
    std::string facts = "permission denied on " + device + " (owner " + owner + ", group " + group +
                        ", mode " + mode + ")";
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
            std::string holders = HoldersOf(device);
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
