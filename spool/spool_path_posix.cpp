// The spool's usual place on POSIX: the user's state folder.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "spool/record_spool.h"

namespace {

// $XDG_STATE_HOME when it is an absolute path (a relative one is to be
// ignored), else ~/.local/state; "" when there is no home.
std::string StateFolder() {
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state && state[0] == '/') return state;
    const char* home = std::getenv("HOME");
    if (!home || home[0] != '/') {
        const passwd* p = getpwuid(getuid());
        home = p ? p->pw_dir : nullptr;
    }
    return home && home[0] == '/' ? std::string(home) + "/.local/state" : "";
}

// Each missing folder on the way is made for the owner only; folders that
// exist keep their mode.
bool MakeFolders(const std::string& path, std::string& why) {
    for (size_t end = 1; end <= path.size(); ++end) {
        if (end < path.size() && path[end] != '/') continue;
        std::string folder = path.substr(0, end);
        if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
            why = "cannot make the folder " + folder + ": " + std::strerror(errno);
            return false;
        }
    }
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
    why = path + " is not a folder";
    return false;
}

}  // namespace

bool PrepareSpoolPath(std::string& path, std::string& why) {
    std::string state = StateFolder();
    if (state.empty()) {
        why = "no folder for the spool: neither XDG_STATE_HOME nor HOME is set";
        return false;
    }
    std::string folder = state + "/orvane";
    if (!MakeFolders(folder, why)) return false;
    path = folder + "/spool.sqlite";
    return true;
}
