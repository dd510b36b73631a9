// Command-line platform services on POSIX.
#include <dirent.h>
#include <grp.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cli/cli_platform.h"

namespace {

std::string GroupOf(const char* device) {
    struct stat st;
    if (stat(device, &st) != 0) return std::string();
    const group* g = getgrgid(st.st_gid);
    return g ? g->gr_name : std::to_string(st.st_gid);
}

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

// "1234 (minicom)" for every other process with the device open.
std::string HoldersOf(const char* device) {
    char target[PATH_MAX];
    if (!realpath(device, target)) return std::string();
    std::string holders;
    std::string self = std::to_string(getpid());
    DIR* proc = opendir("/proc");
    for (dirent* p; proc && (p = readdir(proc));) {
        if (std::strspn(p->d_name, "0123456789") != std::strlen(p->d_name) || self == p->d_name)
            continue;
        std::string fdDir = std::string("/proc/") + p->d_name + "/fd";
        DIR* fds = opendir(fdDir.c_str());
        for (dirent* f; fds && (f = readdir(fds));) {
            char link[PATH_MAX];
            std::string fdPath = fdDir + "/" + f->d_name;
            ssize_t n = readlink(fdPath.c_str(), link, sizeof link - 1);
            if (n <= 0) continue;
            link[n] = 0;
            if (std::strcmp(link, target) != 0) continue;
            holders += (holders.empty() ? "" : ", ") + std::string(p->d_name) + " (" +
                       CommandName(p->d_name) + ")";
            break;
        }
        if (fds) closedir(fds);
    }
    if (proc) closedir(proc);
    return holders;
}

}  // namespace

bool StdinIsTerminal() {
    return isatty(0) == 1;
}
bool StderrIsTerminal() {
    return isatty(2) == 1;
}

int TerminalColumns() {
    winsize ws;
    if (ioctl(2, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 20) return ws.ws_col;
    return 80;
}

namespace {
int interruptPipe[2] = {-1, -1};
void OnInterrupt(int) {
    char b = 1;
    (void)!write(interruptPipe[1], &b, 1);
}
}  // namespace

// Any thread may take the signal; the handler only wakes the waiting one.
void WaitForInterrupt() {
    if (pipe(interruptPipe) != 0) return;
    struct sigaction sa = {};
    sa.sa_handler = OnInterrupt;
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
    char b;
    while (read(interruptPipe[0], &b, 1) < 0 && errno == EINTR) {
    }
}

void PrintOpenFailureHint(const char* device, SerialOpenFailure why) {
    switch (why) {
        case SerialDenied: {
            std::string group = GroupOf(device);
            std::fprintf(stderr,
                         "hint: permission denied on %s (group '%s'); add yourself to it with "
                         "'sudo usermod -aG %s $USER' and log in again\n",
                         device, group.c_str(), group.c_str());
            break;
        }
        case SerialBusy: {
            std::string holders = HoldersOf(device);
            std::fprintf(stderr, "hint: %s is in use by another process%s%s; close it first\n",
                         device, holders.empty() ? "" : ": ", holders.c_str());
            break;
        }
        case SerialNoDevice:
            std::fprintf(stderr, "hint: no such device: %s\n", device);
            break;
        case SerialNotSerial:
            std::fprintf(stderr, "hint: %s is not a serial device\n", device);
            break;
        default:
            std::fprintf(stderr, "hint: %s could not be opened\n", device);
            break;
    }
}
