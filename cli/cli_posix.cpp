// Command-line platform services on POSIX.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>

#include "cli/cli_platform.h"
#include "events/upgrade_record.h"

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

// A closed standard output, or a file grown past the size limit, must not
// end an upgrade: the write fails and is said instead. The interrupts are
// held back in every thread until the watcher takes them.
void PreparePlatform() {
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
    sigset_t set = InterruptSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
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

namespace {

int stopPipe[2] = {-1, -1};  // readable once the watcher is to end
std::thread watcher;

struct Watch {
    int signals = -1;  // a signalfd for the interrupt signals
    void (*onInterrupt)(int) = nullptr;
    void (*onParentRequest)(char) = nullptr;
};

// Requests from the parent on standard input; false once it is gone.
bool TakeParentRequests(const Watch& w) {
    char requests[64];
    ssize_t n = read(0, requests, sizeof requests);
    if (n < 0 && errno == EINTR) return true;
    for (ssize_t i = 0; i < n; ++i) w.onParentRequest(requests[i]);
    if (n > 0) return true;
    w.onParentRequest(0);
    return false;
}

void TakeSignal(const Watch& w) {
    signalfd_siginfo info;
    if (read(w.signals, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) return;
    if (interruptPipe[1] >= 0) (void)!write(interruptPipe[1], "", 1);
    w.onInterrupt(static_cast<int>(info.ssi_signo));
}

void WatchUntilStopped(Watch w) {
    bool parent = w.onParentRequest != nullptr;
    for (;;) {
        pollfd fds[3] = {{stopPipe[0], POLLIN, 0}, {w.signals, POLLIN, 0}, {0, POLLIN, 0}};
        if (poll(fds, parent ? 3 : 2, -1) < 0) continue;
        if (fds[0].revents) break;
        if (fds[1].revents) TakeSignal(w);
        if (parent && fds[2].revents) parent = TakeParentRequests(w);
    }
    close(w.signals);
}

}  // namespace

// The signals are blocked in every thread from the start and taken by one
// thread of ours through a signalfd, so no system call anywhere is cut short
// by them. No signal here ends the process on its own: nothing waits for the
// program's end.
void WatchInterrupts(void (*onInterrupt)(int), bool (*)(int), void (*onParentRequest)(char)) {
    sigset_t set = InterruptSignals();
    Watch w;
    w.signals = signalfd(-1, &set, SFD_CLOEXEC);
    w.onInterrupt = onInterrupt;
    w.onParentRequest = onParentRequest;
    if (pipe2(interruptPipe, O_CLOEXEC) != 0) interruptPipe[0] = interruptPipe[1] = -1;
    if (w.signals < 0 || pipe2(stopPipe, O_CLOEXEC) != 0) return;
    watcher = std::thread(WatchUntilStopped, w);
}

void StopWatching() {
    if (!watcher.joinable()) return;
    (void)!write(stopPipe[1], "", 1);
    watcher.join();
}

// Only a write that cannot wait: standard error may be the very thing held
// up. The process ends in the kernel's own call, which nothing in the
// process (a runtime's exit work, a lock another thread holds) can delay.
void EndProgramNow(int status, const char* line) {
    pollfd err = {2, POLLOUT, 0};
    if (poll(&err, 1, 0) == 1 && (err.revents & POLLOUT)) (void)!write(2, line, std::strlen(line));
    syscall(SYS_exit_group, status);
    _exit(status);
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

// The desktop's opener, in the background of a shell that ends at once: the
// address is an argument, never part of the shell's text.
std::string LocalTimeNow() {
    std::time_t now = std::time(nullptr);
    std::tm local{}, utc{};
    localtime_r(&now, &local);
    gmtime_r(&now, &utc);
    return IsoTimeWithOffset(local, utc);
}

bool OpenInBrowser(const std::string& url) {
    const char* argv[] = {"sh", "-c",        "xdg-open \"$1\" >/dev/null 2>&1 </dev/null &",
                          "sh", url.c_str(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    pid_t pid = -1;
    int failed = posix_spawnp(&pid, "sh", &actions, &attributes, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (failed != 0) return false;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return access("/usr/bin/xdg-open", X_OK) == 0;
}

std::FILE* OpenOutputFile(const std::string& path, bool createNew, std::string& why) {
    int flags = O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    int fd = open(path.c_str(), flags | (createNew ? O_EXCL : O_APPEND), 0666);
    if (fd < 0) {
        why = std::strerror(errno);
        return nullptr;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        why = "not a regular file";
        return nullptr;
    }
    std::FILE* file = fdopen(fd, createNew ? "wb" : "ab");
    if (!file) {
        why = std::strerror(errno);
        close(fd);
    }
    return file;
}

MoveResult MoveOutputFile(const std::string& from, const std::string& to, bool replace,
                          std::string& why) {
    int done = replace ? rename(from.c_str(), to.c_str())
                       : renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
    // A file system without RENAME_NOREPLACE: a link fails just as well on a taken name.
    if (done != 0 && !replace && errno == EINVAL && (done = link(from.c_str(), to.c_str())) == 0)
        unlink(from.c_str());
    if (done == 0) return Moved;
    why = std::strerror(errno);
    return errno == EEXIST ? MoveNameTaken : MoveFailed;
}
