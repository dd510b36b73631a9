// orvane-wire-relay: the serial wire between the utility and the emulated
// scanner. Each direction is paced like a 57600 baud 8N1 line, and the upload
// is timed block by block, so the benchmark sees how close the utility comes
// to what the wire allows and where the rest of the time goes.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace {

using Ns = int64_t;
using Json = nlohmann::json;

// 10 bits a byte (start, 8 data, stop) at 57600 baud: 173611.1 ns. The
// 0.1 ns dropped per byte adds up to under 5 µs over a whole upload.
constexpr Ns kByteNs = 173611;
constexpr double kByteSeconds = 10.0 / 57600.0;

constexpr uint8_t kSoh = 0x01, kEot = 0x04, kNak = 0x15;
constexpr int kBlockBytes = 132;  // SOH, number, complement, 128 data, checksum

Ns Now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<Ns>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

struct Options {
    std::string peer, pathFile, statsFile;
    double batchUs = 0;
    bool firstNak = false;
    bool realtime = false;
};

// What a byte means for the upload's timing, found when it arrives.
enum class Role { Plain, StartNak, BlockEnd, Answer, Eot };

struct Pending {
    uint8_t byte;
    Ns due;
    Role role;
    int block;  // index into the block records, for BlockEnd and Answer
};

struct Direction {
    int from = -1, to = -1;
    std::deque<Pending> queue;
    Ns lineFree = 0;  // when the last byte queued has finished on the wire
    bool blocked = false;
};

struct Block {
    int number = -1;
    Ns firstArrived = 0, endDelivered = 0, answerArrived = 0, answerDelivered = 0;
    int answer = -1;
};

struct Summary {
    double mean = 0, p99 = 0, max = 0;
};

Summary Summarise(std::vector<double> v) {
    Summary s;
    if (v.empty()) return s;
    std::sort(v.begin(), v.end());
    double sum = 0;
    for (double x : v) sum += x;
    s.mean = sum / static_cast<double>(v.size());
    size_t rank = (v.size() * 99 + 99) / 100;  // nearest-rank 99th percentile
    s.p99 = v[std::min(v.size(), std::max<size_t>(rank, 1)) - 1];
    s.max = v.back();
    return s;
}

Json ToJson(const Summary& s) {
    return Json{{"mean", s.mean}, {"p99", s.p99}, {"max", s.max}};
}

// CPU time of a process in ns: its threads' run time from schedstat, or the
// tick counts of stat where schedstat is missing.
Ns ProcessCpuNs(pid_t pid) {
    std::string base = "/proc/" + std::to_string(pid);
    Ns total = 0;
    bool any = false;
    if (DIR* d = opendir((base + "/task").c_str())) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
            std::ifstream in(base + "/task/" + e->d_name + "/schedstat");
            long long run = 0;
            if (in >> run) total += run, any = true;
        }
        closedir(d);
    }
    if (any) return total;
    std::ifstream in(base + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t close = text.rfind(')');
    if (close == std::string::npos) return -1;
    std::vector<std::string> fields;
    std::string field;
    for (size_t i = close + 2; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == ' ') {
            fields.push_back(field);
            field.clear();
        } else {
            field += text[i];
        }
    }
    if (fields.size() < 13) return -1;  // utime, stime: fields 14 and 15 of the whole line
    long ticks = sysconf(_SC_CLK_TCK);
    return (std::stoll(fields[11]) + std::stoll(fields[12])) * (1000000000LL / ticks);
}

// The processes other than this one that hold `path` open: the utility's port.
std::vector<pid_t> HoldersOf(const std::string& path) {
    std::vector<pid_t> pids;
    const pid_t self = getpid();
    DIR* proc = opendir("/proc");
    if (!proc) return pids;
    while (dirent* p = readdir(proc)) {
        char* end = nullptr;
        long pid = std::strtol(p->d_name, &end, 10);
        if (*end != '\0' || pid <= 0 || pid == self) continue;
        std::string fdDir = std::string("/proc/") + p->d_name + "/fd";
        DIR* fds = opendir(fdDir.c_str());
        if (!fds) continue;
        while (dirent* f = readdir(fds)) {
            char target[256];
            ssize_t n = readlink((fdDir + "/" + f->d_name).c_str(), target, sizeof target - 1);
            if (n > 0 && path.compare(0, std::string::npos, target, static_cast<size_t>(n)) == 0) {
                pids.push_back(static_cast<pid_t>(pid));
                break;
            }
        }
        closedir(fds);
    }
    closedir(proc);
    return pids;
}

bool MakeRaw(int fd) {
    termios t;
    if (tcgetattr(fd, &t) != 0) return false;
    cfmakeraw(&t);
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, B57600);
    cfsetospeed(&t, B57600);
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

class Relay {
   public:
    explicit Relay(const Options& o) : o_(o), batchNs_(static_cast<Ns>(o.batchUs * 1000)) {
        armed_ = o.firstNak;
    }

    bool Open();
    int Run();

   private:
    void Arrive(Direction& d, Ns at);
    void Deliver(Direction& d, Ns now);
    void Queue(Direction& d, uint8_t byte, Ns at, Role role, int block);
    void OnDelivered(Direction& d, const Pending& p, Ns at);
    void WatchToScanner(uint8_t byte, Ns at, Role& role, int& block);
    void WatchToUtility(uint8_t byte, Ns at, Role& role, int& block);
    Ns NextWake() const;
    void SampleCpu(Ns& utility, Ns& self);
    void WriteStats(bool complete);
    bool UtilityHasRead();

    Options o_;
    Ns batchNs_;
    int master_ = -1, ownSlave_ = -1, peer_ = -1, timer_ = -1, signals_ = -1;
    std::string slavePath_;
    Direction toScanner_, toUtility_;

    // The upload as seen on the wire.
    std::string tail_;  // recent bytes toward the scanner, to spot the upload command
    bool armed_ = false, xmodem_ = false, inPhase_ = false, statsWritten_ = false, scanned_ = false;
    int blockFill_ = 0;  // bytes of the current block seen so far, 0 between blocks
    int strayToScanner_ = 0;
    std::vector<Block> blocks_;
    Ns nakDelivered_ = 0, eotArrived_ = 0, eotDelivered_ = 0;
    uint64_t phaseToScanner_ = 0, phaseToUtility_ = 0;
    std::vector<double> lateToScanner_, lateToUtility_, lateBlockEnd_;
    Ns lateTurnsNs_ = 0;  // the relay's own lateness on the bytes that end a turn of the line
    std::vector<pid_t> utilityPids_;
    Ns utilityCpuStart_ = 0, utilityCpuEnd_ = 0, selfCpuStart_ = 0, selfCpuEnd_ = 0;
};

bool Relay::Open() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return false;
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) return false;
    slavePath_ = name;
    // Our own hold on the slave: the utility closing its port is no hang-up.
    ownSlave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (ownSlave_ < 0 || !MakeRaw(ownSlave_) || !MakeRaw(master_)) return false;
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    fcntl(master_, F_SETFD, FD_CLOEXEC);

    peer_ = open(o_.peer.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (peer_ < 0) {
        std::fprintf(stderr, "wire-relay: cannot open %s: %s\n", o_.peer.c_str(),
                     std::strerror(errno));
        return false;
    }
    if (!MakeRaw(peer_)) return false;
    tcflush(peer_, TCIOFLUSH);

    toScanner_.from = master_, toScanner_.to = peer_;
    toUtility_.from = peer_, toUtility_.to = master_;

    timer_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    signals_ = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (timer_ < 0 || signals_ < 0) return false;

    std::fprintf(stderr, "wire-relay: device %s\n", slavePath_.c_str());
    if (!o_.pathFile.empty()) {
        std::string tmp = o_.pathFile + ".tmp";
        std::ofstream(tmp) << slavePath_ << "\n";
        if (std::rename(tmp.c_str(), o_.pathFile.c_str()) != 0) return false;
    }
    return true;
}

void Relay::Queue(Direction& d, uint8_t byte, Ns at, Role role, int block) {
    Ns leaves = std::max(at, d.lineFree);
    d.lineFree = leaves + kByteNs;
    d.queue.push_back({byte, d.lineFree, role, block});
}

// Parses the utility's side: the upload command, then XMODEM blocks and the EOT.
void Relay::WatchToScanner(uint8_t byte, Ns at, Role& role, int& block) {
    if (!armed_) {
        tail_ += static_cast<char>(byte);
        if (tail_.size() > 32) tail_.erase(0, tail_.size() - 32);
        if (byte == '\r' && tail_.find("upload") != std::string::npos) armed_ = true;
        // Looked up while the line is slow, before the phase: a scan of /proc takes a while.
        if (!scanned_ || (armed_ && utilityPids_.empty())) utilityPids_ = HoldersOf(slavePath_);
        scanned_ = true;
        return;
    }
    if (!xmodem_) return;
    if (blockFill_ == 0) {
        if (byte == kSoh) {
            blocks_.push_back(Block{});
            blocks_.back().firstArrived = at;
            blockFill_ = 1;
        } else if (byte == kEot) {
            role = Role::Eot;
            eotArrived_ = at;
            xmodem_ = false;
        } else {
            ++strayToScanner_;
        }
        return;
    }
    if (blockFill_ == 1) blocks_.back().number = byte;
    if (++blockFill_ == kBlockBytes) {
        role = Role::BlockEnd;
        block = static_cast<int>(blocks_.size()) - 1;
        blockFill_ = 0;
    }
}

// The scanner's side: the start signal, then one answer per block.
void Relay::WatchToUtility(uint8_t byte, Ns at, Role& role, int& block) {
    if (armed_ && !xmodem_ && nakDelivered_ == 0 && byte == kNak) {
        role = Role::StartNak;
        xmodem_ = true;
        return;
    }
    if (!xmodem_ || blocks_.empty()) return;
    Block& b = blocks_.back();
    if (b.endDelivered != 0 && b.answer < 0) {
        b.answer = byte;
        b.answerArrived = at;
        role = Role::Answer;
        block = static_cast<int>(blocks_.size()) - 1;
    }
}

void Relay::Arrive(Direction& d, Ns at) {
    uint8_t buffer[4096];
    for (;;) {
        ssize_t n = read(d.from, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        for (ssize_t i = 0; i < n; ++i) {
            Role role = Role::Plain;
            int block = -1;
            if (&d == &toScanner_)
                WatchToScanner(buffer[i], at, role, block);
            else
                WatchToUtility(buffer[i], at, role, block);
            Queue(d, buffer[i], at, role, block);
        }
    }
}

void Relay::OnDelivered(Direction& d, const Pending& p, Ns at) {
    const double lateUs = static_cast<double>(at - p.due) / 1000.0;
    if (p.role == Role::StartNak) {
        nakDelivered_ = at;
        inPhase_ = true;
        SampleCpu(utilityCpuStart_, selfCpuStart_);
        return;  // the start signal itself goes before the phase
    }
    if (!inPhase_) return;
    if (&d == &toScanner_) {
        ++phaseToScanner_;
        lateToScanner_.push_back(lateUs);
    } else {
        ++phaseToUtility_;
        lateToUtility_.push_back(lateUs);
    }
    if (p.role == Role::BlockEnd || p.role == Role::Answer || p.role == Role::Eot)
        lateTurnsNs_ += at - p.due;
    if (p.role == Role::BlockEnd) {
        blocks_[p.block].endDelivered = at;
        lateBlockEnd_.push_back(lateUs);
    } else if (p.role == Role::Answer) {
        blocks_[p.block].answerDelivered = at;
    } else if (p.role == Role::Eot) {
        eotDelivered_ = at;
        inPhase_ = false;
        SampleCpu(utilityCpuEnd_, selfCpuEnd_);
        WriteStats(true);
    }
}

// Everything due goes out in one write; the time taken just before it is
// the delivery time of each byte in it.
void Relay::Deliver(Direction& d, Ns now) {
    size_t due = 0;
    while (due < d.queue.size() && d.queue[due].due <= now) ++due;
    if (due == 0) return;
    uint8_t buffer[4096];
    due = std::min(due, sizeof buffer);
    for (size_t i = 0; i < due; ++i) buffer[i] = d.queue[i].byte;
    ssize_t n = write(d.to, buffer, due);
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
        d.queue.clear();  // that side is gone: nothing more can reach it
        return;
    }
    d.blocked = n < static_cast<ssize_t>(due);
    if (n <= 0) return;
    for (ssize_t i = 0; i < n; ++i) {
        Pending p = d.queue.front();
        d.queue.pop_front();
        OnDelivered(d, p, now);
    }
}

// The next byte's time, or later by up to the batch allowance when more
// bytes follow; never later than the last byte queued, so a burst's end
// (a block's checksum, an ACK) always goes out on time.
Ns Relay::NextWake() const {
    Ns wake = INT64_MAX;
    for (const Direction* d : {&toScanner_, &toUtility_}) {
        if (d->queue.empty() || d->blocked) continue;
        wake = std::min(wake, std::min(d->queue.front().due + batchNs_, d->queue.back().due));
    }
    return wake;
}

void Relay::SampleCpu(Ns& utility, Ns& self) {
    utility = 0;
    for (pid_t pid : utilityPids_) utility += std::max<Ns>(ProcessCpuNs(pid), 0);
    self = ProcessCpuNs(getpid());
}

// A hang-up drops what the utility has not read yet: let it read first.
bool Relay::UtilityHasRead() {
    int waiting = 0;
    return ioctl(ownSlave_, TIOCINQ, &waiting) != 0 || waiting == 0;
}

void Relay::WriteStats(bool complete) {
    if (statsWritten_) return;
    statsWritten_ = true;
    const double phase = eotDelivered_ > nakDelivered_ && nakDelivered_ != 0
                             ? static_cast<double>(eotDelivered_ - nakDelivered_) / 1e9
                             : 0;
    const double wire = static_cast<double>(phaseToScanner_ + phaseToUtility_) * kByteSeconds;
    std::vector<double> utilityGaps, scannerGaps;
    int repeated = 0, otherAnswers = 0;
    for (size_t i = 0; i < blocks_.size(); ++i) {
        const Block& b = blocks_[i];
        if (b.endDelivered && b.answerArrived)
            scannerGaps.push_back(static_cast<double>(b.answerArrived - b.endDelivered) / 1e6);
        if (b.answer >= 0 && b.answer != 0x06) ++otherAnswers;
        if (i == 0) continue;
        const Block& before = blocks_[i - 1];
        if (b.number == before.number) ++repeated;
        if (before.answerDelivered)
            utilityGaps.push_back(static_cast<double>(b.firstArrived - before.answerDelivered) /
                                  1e6);
    }
    auto ms = [](Ns from, Ns to) {
        return from && to ? static_cast<double>(to - from) / 1e6 : -1.0;
    };
    const double utilityCpu = static_cast<double>(utilityCpuEnd_ - utilityCpuStart_) / 1e9;
    const double selfCpu = static_cast<double>(selfCpuEnd_ - selfCpuStart_) / 1e9;
    Json j = {
        {"port", slavePath_},
        {"peer", o_.peer},
        {"complete", complete},
        {"phase_s", phase},
        {"wire_s", wire},
        {"ratio", wire > 0 && phase > 0 ? phase / wire : 0},
        // What the phase would have taken had the relay itself been punctual.
        {"ratio_less_relay",
         wire > 0 && phase > 0 ? (phase - static_cast<double>(lateTurnsNs_) / 1e9) / wire : 0},
        {"relay_late_turns_ms", static_cast<double>(lateTurnsNs_) / 1e6},
        {"bytes_to_scanner", phaseToScanner_},
        {"bytes_to_utility", phaseToUtility_},
        {"blocks", blocks_.size()},
        {"blocks_repeated", repeated},
        {"answers_not_ack", otherAnswers},
        {"stray_to_scanner", strayToScanner_},
        {"utility_gap_ms", ToJson(Summarise(utilityGaps))},
        {"utility_gap_total_ms", Summarise(utilityGaps).mean * utilityGaps.size()},
        {"start_gap_ms", ms(nakDelivered_, blocks_.empty() ? 0 : blocks_.front().firstArrived)},
        {"eot_gap_ms", ms(blocks_.empty() ? 0 : blocks_.back().answerDelivered, eotArrived_)},
        {"scanner_gap_ms", ToJson(Summarise(scannerGaps))},
        {"late_us",
         {{"to_scanner", ToJson(Summarise(lateToScanner_))},
          {"to_utility", ToJson(Summarise(lateToUtility_))},
          {"block_end", ToJson(Summarise(lateBlockEnd_))}}},
        {"batch_us", o_.batchUs},
        {"utility_pids", utilityPids_},
        {"utility_cpu_s", complete && !utilityPids_.empty() ? utilityCpu : -1.0},
        {"utility_cpu_pct",
         complete && !utilityPids_.empty() && phase > 0 ? 100 * utilityCpu / phase : -1.0},
        {"relay_cpu_pct", complete && phase > 0 ? 100 * selfCpu / phase : -1.0},
    };
    std::string line = j.dump() + "\n";
    if (o_.statsFile.empty()) {
        std::fputs(line.c_str(), stdout);
        std::fflush(stdout);
    } else {
        std::string tmp = o_.statsFile + ".tmp";
        std::ofstream(tmp) << line;
        std::rename(tmp.c_str(), o_.statsFile.c_str());
    }
}

int Relay::Run() {
    Ns armedFor = -1;
    Ns hungUpAt = 0;  // when the scanner's side went away
    for (;;) {
        const Ns now = Now();
        Deliver(toScanner_, now);
        Deliver(toUtility_, now);
        if (hungUpAt != 0 && toUtility_.queue.empty() &&
            (UtilityHasRead() || now - hungUpAt > 2000000000))
            break;

        Ns wake = NextWake();
        if (wake != armedFor) {
            itimerspec when = {};
            if (wake != INT64_MAX) {
                when.it_value.tv_sec = wake / 1000000000;
                when.it_value.tv_nsec = wake % 1000000000;
            }
            timerfd_settime(timer_, TFD_TIMER_ABSTIME, &when, nullptr);
            armedFor = wake;
        }
        pollfd fds[4] = {{master_, POLLIN, 0},
                         {peer_, static_cast<short>(hungUpAt ? 0 : POLLIN), 0},
                         {timer_, POLLIN, 0},
                         {signals_, POLLIN, 0}};
        if (toScanner_.blocked) fds[1].events |= POLLOUT;
        if (toUtility_.blocked) fds[0].events |= POLLOUT;
        // Once the scanner is gone, look every 10 ms whether the utility has read the rest.
        int timeout = hungUpAt ? 10 : -1;
        if (poll(fds, 4, timeout) < 0) {
            if (errno == EINTR) continue;
            return 1;
        }
        const Ns woke = Now();
        if (fds[2].revents & POLLIN) {
            uint64_t expirations;
            ssize_t ignored = read(timer_, &expirations, sizeof expirations);
            (void)ignored;
            armedFor = -1;
        }
        if (fds[3].revents & POLLIN) break;
        if (fds[0].revents & POLLOUT) toUtility_.blocked = false;
        if (fds[1].revents & POLLOUT) toScanner_.blocked = false;
        if (fds[0].revents & POLLIN) Arrive(toScanner_, woke);
        if (!hungUpAt && (fds[1].revents & POLLIN)) Arrive(toUtility_, woke);
        if (!hungUpAt && (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL))) {
            hungUpAt = woke;
            toScanner_.queue.clear();
            toScanner_.blocked = false;
        }
    }
    if (inPhase_) SampleCpu(utilityCpuEnd_, selfCpuEnd_);
    WriteStats(false);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    CLI::App app(
        "The serial wire between the utility and the emulated scanner: a new\n"
        "pseudo-terminal for the utility, each direction paced at 57600 baud 8N1,\n"
        "and one JSON line of upload timings once the EOT has crossed.",
        "orvane-wire-relay");
    app.add_option("--peer", o.peer, "The emulated scanner's device (/dev/pts/N)")
        ->required()
        ->type_name("DEV");
    app.add_option("--path-file", o.pathFile, "Write the utility's device path into FILE")
        ->type_name("FILE");
    app.add_option("--stats", o.statsFile, "Write the JSON line into FILE (default: stdout)")
        ->type_name("FILE");
    app.add_option("--batch-us", o.batchUs,
                   "Let a byte that more bytes follow wait up to US microseconds past\n"
                   "its time, to go out with them (fewer wake-ups); default 0")
        ->check(CLI::Range(0.0, 20000.0))
        ->type_name("US");
    app.add_flag("--first-nak", o.firstNak,
                 "Start the upload phase at the first NAK, without waiting for\n"
                 "the upload command");
    app.add_flag("--realtime", o.realtime,
                 "Run at real-time priority (SCHED_FIFO 1), as a wire is never late;\n"
                 "needs the right to do so");
    CLI11_PARSE(app, argc, argv);

    if (o.realtime) {
        sched_param sp = {};
        sp.sched_priority = 1;
        if (sched_setscheduler(0, SCHED_FIFO, &sp) != 0)
            std::fprintf(stderr, "wire-relay: no real-time priority: %s\n", std::strerror(errno));
    }

    // Timers fire to the nanosecond, not within the default 50 µs of slack.
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    signal(SIGPIPE, SIG_IGN);
    Relay relay(o);
    if (!relay.Open()) {
        std::fprintf(stderr, "wire-relay: cannot set up the line\n");
        return 1;
    }
    return relay.Run();
}
