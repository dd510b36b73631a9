// Command-line platform services on POSIX.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "cli/cli_platform.h"

extern char** environ;

namespace {

int interruptPipe[2] = {-1, -1};  // readable once an interrupt came: wakes ReadAnswer

const int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

sigset_t InterruptSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : kSignals) sigaddset(&set, s);
    return set;
}

}  // namespace

// A closed standard output must not end an upgrade.
void PreparePlatform() {
    signal(SIGPIPE, SIG_IGN);
}

// A terminal here never holds up its writers on its own.
void KeepConsoleFlowing() {}
void RestoreConsole() {}

bool StdinIsConsole() {
    return isatty(0) == 1;
}
bool StderrIsTerminal() {
    return isatty(2) == 1;
}

bool StdoutSharesTerminal() {
    struct stat out, err;
    return isatty(1) == 1 && isatty(2) == 1 && fstat(1, &out) == 0 && fstat(2, &err) == 0 &&
           out.st_rdev == err.st_rdev;
}

int TerminalColumns() {
    winsize ws;
    if (ioctl(2, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 20) return ws.ws_col;
    return 80;
}

bool EnableTerminalControls() {
    const char* term = getenv("TERM");
    return term && std::strcmp(term, "dumb") != 0;
}

// The signals are blocked in every thread and taken by one thread of ours
// with sigwait, so no system call anywhere is cut short by them. No signal
// here ends the process on its own: nothing waits for the program's end.
void WatchInterrupts(void (*onInterrupt)(int), bool (*)(int)) {
    sigset_t set = InterruptSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    if (pipe2(interruptPipe, O_CLOEXEC) != 0) interruptPipe[0] = interruptPipe[1] = -1;
    std::thread([set, onInterrupt] {
        for (;;) {
            int signalNumber = 0;
            if (sigwait(&set, &signalNumber) != 0) continue;
            if (interruptPipe[1] >= 0) (void)!write(interruptPipe[1], "", 1);
            onInterrupt(signalNumber);
        }
    }).detach();
}

bool ReadAnswer(char* line, int capacity) {
    int n = 0;
    for (;;) {
        pollfd fds[2] = {{0, POLLIN, 0}, {interruptPipe[0], POLLIN, 0}};
        if (poll(fds, interruptPipe[0] >= 0 ? 2 : 1, -1) < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (fds[1].revents) return false;
        char c;
        if (read(0, &c, 1) != 1) return false;
        if (c == '\n') break;
        if (n < capacity - 1) line[n++] = c;
    }
    line[n] = 0;
    return true;
}

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
    sigset_t none, defaults = InterruptSignals();
    sigemptyset(&none);
    sigaddset(&defaults, SIGPIPE);
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

void WatchParent(void (*onRequest)(char)) {
    std::thread([onRequest] {
        char request;
        while (read(0, &request, 1) == 1) onRequest(request);
        onRequest(0);
    }).detach();
}
