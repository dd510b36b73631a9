#include "sim/bootsim.h"

#include <fcntl.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <mutex>
#include <thread>

#include "sim/report_lock.h"
#include "sim/sim_console.h"
#include "sim/sim_line.h"
#include "sim/sim_machine.h"

namespace sim {

namespace {

// Raw both ways and no software flow control, so 0x00, 0x11, 0x13, 0x0D and
// 0xFF pass untouched. TCSANOW: flushing here could drop bytes.
bool MakeRaw(int fd) {
    termios t;
    if (tcgetattr(fd, &t) != 0) return false;
    cfmakeraw(&t);
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, B57600);
    cfsetospeed(&t, B57600);
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

void CloseFd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

// A scanner answers in its own time, however busy the PC is. Woken at an
// ordinary priority, this thread waits behind whatever else runs, on a
// loaded machine for longer than an echo may take. So it asks for the
// lowest real-time priority, not passed on to children; where that is
// refused (no CAP_SYS_NICE, or a control group without real-time time) for
// nice -10; without either it serves as it is. It blocks whenever it waits,
// so it never holds a core.
void RaiseServingPriority() {
    sched_param param = {};
    param.sched_priority = sched_get_priority_min(SCHED_FIFO);
    if (sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &param) == 0) return;
    (void)!setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), -10);
}

}  // namespace

struct BootSim::Impl {
    explicit Impl(const BootSimOptions& o) : options(o) {}

    bool OpenLine();
    void WaitUntilRead();
    void CloseLine();
    void Run();

    BootSimOptions options;
    std::string path;
    int master = -1;
    int slave = -1;  // our own hold on the slave: the utility's closes never hang up the master
    int wake[2] = {-1, -1};
    int poke[2] = {-1, -1};  // a settle request
    std::atomic<unsigned> pokes{0};
    std::thread thread;
    mutable ReportLock lock;
    BootSimReport report;
};

bool BootSim::Impl::OpenLine() {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0) return false;
    char name[128];
    if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0)
        return false;
    path = name;
    slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0 || !MakeRaw(slave) || !MakeRaw(master)) return false;
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    return pipe2(wake, O_CLOEXEC | O_NONBLOCK) == 0 && pipe2(poke, O_CLOEXEC | O_NONBLOCK) == 0;
}

// A hang-up flushes what the utility has not read yet, so let it take in the
// last answer first (as long as it is reading at all).
void BootSim::Impl::WaitUntilRead() {
    int emptyChecks = 0;
    for (int round = 0; round < 200 && emptyChecks < 3; ++round) {
        int waiting = 0;
        if (ioctl(slave, TIOCINQ, &waiting) != 0) return;
        emptyChecks = waiting == 0 ? emptyChecks + 1 : 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// Closing the master is what the utility sees as the cable pulled.
void BootSim::Impl::CloseLine() {
    CloseFd(master);
    CloseFd(slave);
}

void BootSim::Impl::Run() {
    RaiseServingPriority();
    SimLine line(master, wake[0], poke[0], options.lineRate);
    line.OnIdle([this] {
        std::lock_guard<ReportLock> guard(lock);
        report.settled = pokes.load();
    });
    auto unplug = [this] {
        WaitUntilRead();
        CloseLine();
    };
    line.InjectFaults(
        options.lineFaults,
        [this](const LineFaultEvent& e) {
            std::lock_guard<ReportLock> guard(lock);
            report.lineFaults.push_back(e);
        },
        [this, unplug] {
            unplug();
            std::lock_guard<ReportLock> guard(lock);
            report.unplugged = true;
        });
    line.OnWritten([this](const uint8_t* bytes, size_t count) {
        std::lock_guard<ReportLock> guard(lock);
        report.output.insert(report.output.end(), bytes, bytes + count);
    });
    if (options.replay) {
        ReplayOutcome played = PlayRecording(line, *options.replay, options.replaySpeed, unplug);
        std::lock_guard<ReportLock> guard(lock);
        report.replay = played;
        report.replayEnded = true;
        report.settled = UINT_MAX;
        return;
    }
    SimMachine machine(options, line, lock, report, unplug);
    Console(machine).Serve();
    std::lock_guard<ReportLock> guard(lock);
    report.settled = UINT_MAX;  // nothing more will be handled
}

BootSim::BootSim(const BootSimOptions& options) : impl_(new Impl(options)) {}

BootSim::~BootSim() {
    Stop();
}

bool BootSim::Start() {
    if (impl_->thread.joinable()) return true;
    if (!impl_->OpenLine()) {
        Stop();
        return false;
    }
    impl_->thread = std::thread([this] { impl_->Run(); });
    return true;
}

void BootSim::Stop() {
    if (impl_->thread.joinable()) {
        char stop = 1;
        ssize_t ignored = write(impl_->wake[1], &stop, 1);
        (void)ignored;
        impl_->thread.join();
    }
    impl_->CloseLine();
    for (int* fd : {&impl_->wake[0], &impl_->wake[1], &impl_->poke[0], &impl_->poke[1]})
        CloseFd(*fd);
}

bool BootSim::WaitUntilSettled(int timeoutMs) const {
    const unsigned request = ++impl_->pokes;
    char poke = 1;
    if (write(impl_->poke[1], &poke, 1) < 0 && !impl_->thread.joinable()) return true;
    return WaitFor([request](const BootSimReport& r) { return r.settled >= request; }, timeoutMs);
}

const std::string& BootSim::DevicePath() const {
    return impl_->path;
}

BootSimReport BootSim::Report() const {
    std::lock_guard<ReportLock> guard(impl_->lock);
    return impl_->report;
}

bool BootSim::WaitFor(const std::function<bool(const BootSimReport&)>& done, int timeoutMs) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (done(Report())) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace sim
