// Child processes on POSIX.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>

#include "fleet/child_process.h"

extern char** environ;

namespace {

// What the parent holds back and the child must take as usual.
sigset_t DefaultSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGXFSZ}) sigaddset(&set, s);
    return set;
}

}  // namespace

std::string ProgramPath() {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return "orvane-flash";
    path[n] = 0;
    return path;
}

struct Child {
    pid_t pid = -1;
    int requests = -1;  // its standard input
    FILE* lines = nullptr;
};

// Its own process group, so that Ctrl-C on the terminal reaches only the
// parent, which passes it on; the signals it would inherit blocked are
// unblocked.
Child* StartChild(const std::string& program, const std::vector<std::string>& args) {
    int in[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0) return nullptr;
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(in[0]), close(in[1]);
        return nullptr;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, defaults = DefaultSignals();
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(
        &attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    std::vector<char*> argv = {const_cast<char*>(program.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    int failed = posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(in[0]);
    close(err[1]);
    if (failed != 0) {
        close(in[1]), close(err[0]);
        return nullptr;
    }
    Child* child = new Child;
    child->pid = pid;
    child->requests = in[1];
    child->lines = fdopen(err[0], "r");
    return child;
}

bool ReadChildLine(Child* child, std::string& line) {
    line.clear();
    for (int c; (c = std::fgetc(child->lines)) != EOF;) {
        if (c == '\n') return true;
        line += static_cast<char>(c);
    }
    return !line.empty();
}

void SendToChild(Child* child, char request) {
    if (child->requests >= 0) (void)!write(child->requests, &request, 1);
}

int FinishChild(Child* child) {
    close(child->requests);
    int status = 0;
    while (waitpid(child->pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (child->lines) std::fclose(child->lines);
    delete child;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 1;
}
