// The block transfer against a receiver no one here wrote: lrzsz's rx (XMODEM,
// checksum mode), behind a relay that paces both directions like a 57600-baud line.
// rx flushes its input after each answer it sends; a relay that passed the answer
// on at once would let the next block's first bytes be flushed whenever rx is
// held up between the two on a busy machine, so answers wait until rx reads again.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "serial/rx_ring.h"
#include "serial/serial.h"
#include "tests/temp_file.h"
#include "tests/trace_capture.h"
#include "upgrade/image.h"
#include "upgrade/upgrade.h"
#include "upgrade/xmodem.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

struct Pty {
    int master = -1, slave = -1;
    char name[128] = "";
    Pty() {
        termios raw = {};
        cfmakeraw(&raw);  // applied at once, before anyone reads: no byte is flushed away
        openpty(&master, &slave, name, &raw, nullptr);
    }
    ~Pty() {
        if (master >= 0) close(master);
        if (slave >= 0) close(slave);
    }
};

// Whether `pid` sleeps waiting for its standard input; a process gone counts
// too, as nothing more will come of waiting for it.
bool ReadsItsInputOrIsGone(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string skip, state;
    if (!(stat >> skip >> skip >> state) || state == "Z") return true;
    std::ifstream file("/proc/" + std::to_string(pid) + "/syscall");
    std::string line;
    if (!std::getline(file, line)) return true;
    std::istringstream fields(line);
    long number = -1;
    std::string fd;
    fields >> number >> fd;
    if (number == SYS_read) return fd == "0x0";
    return number == SYS_pselect6 || number == SYS_ppoll
#ifdef SYS_select
           || number == SYS_select || number == SYS_poll
#endif
        ;
}

// Forwards bytes between two masters, no faster than 10 bits at 57600 baud each.
// The receiver's answers are held until it waits for input again (within 5 s).
class PacedRelay {
   public:
    PacedRelay(int a, int b, int c) : a_(a), b_(b), c_(c), thread_([this] { Run(); }) {}
    ~PacedRelay() {
        stop_ = true;
        thread_.join();
    }
    void SetReceiver(pid_t pid) { receiver_ = pid; }

   private:
    struct Lane {
        int from, to;
        Clock::time_point next;
    };
    void AwaitReceiverReading() {
        auto limit = Clock::now() + std::chrono::seconds(5);
        while ((receiver_ == 0 || !ReadsItsInputOrIsGone(receiver_)) && Clock::now() < limit)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    void Pass(Lane& lane) {
        unsigned char buffer[256];
        ssize_t n = read(lane.from, buffer, sizeof buffer);
        if (n > 0 && lane.from == c_) AwaitReceiverReading();
        for (ssize_t i = 0; i < n; ++i) {
            lane.next = std::max(lane.next, Clock::now()) + std::chrono::microseconds(174);
            std::this_thread::sleep_until(lane.next);
            (void)!write(lane.to, &buffer[i], 1);
        }
    }
    void Run() {
        Lane toReceiver = {a_, b_, Clock::now()}, toSender = {c_, a_, Clock::now()};
        while (!stop_) {
            pollfd p[2] = {{a_, POLLIN, 0}, {c_, POLLIN, 0}};
            if (poll(p, 2, 20) <= 0) continue;
            if (p[0].revents & POLLIN) Pass(toReceiver);
            if (p[1].revents & POLLIN) Pass(toSender);
        }
    }
    int a_, b_, c_;
    std::atomic<pid_t> receiver_{0};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Starts rx in `dir` with its input on one pty and its output on another.
pid_t StartReceiver(const fs::path& dir, int input, int output) {
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0) _exit(126);
        int log = open("rx.log", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(input, 0);
        dup2(output, 1);
        dup2(log, 2);
        execlp("rx", "rx", "-b", "received.bin", static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

int WaitExit(pid_t pid, int seconds) {
    for (int i = 0; i < seconds * 20; ++i) {
        int status;
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -2;
}

Bytes ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Sends `image` to rx and returns what rx stored; `result` gets XmodemSend's result.
Bytes SendToReceiver(const Bytes& image, int* result) {
    fs::path dir = fs::temp_directory_path() / ("orvane-rx-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    Pty line, receiverIn, receiverOut;
    TempFile file(image);
    EXPECT_EQ(0, SerialOpen(line.name, 57600));
    PacedRelay relay(line.master, receiverIn.master, receiverOut.master);
    pid_t rx = StartReceiver(dir, receiverIn.slave, receiverOut.slave);
    relay.SetReceiver(rx);
    RxFlush();
    EXPECT_EQ(0, OpenImage(file.Path()));
    *result = XmodemSend(file.Path());
    CloseImage();
    EXPECT_EQ(0, WaitExit(rx, 30)) << ReadFile(dir / "rx.log").data();
    SerialClose();
    Bytes received = ReadFile(dir / "received.bin");
    fs::remove_all(dir);
    return received;
}

}  // namespace

TEST(LrzszInterop, ReceiverGetsTheImageProper) {
    TraceCapture trace;
    std::mt19937 rng(99);
    Bytes data(3000);
    for (auto& b : data) b = static_cast<unsigned char>(rng());
    data[0] = 'x';

    int result = 0;
    Bytes got = SendToReceiver(data, &result);
    EXPECT_EQ(3000 % 128, result);
    ASSERT_EQ(24u * 128, got.size());  // rx keeps the last block's fill
    EXPECT_TRUE(std::equal(data.begin(), data.end(), got.begin()));

    // A header is skipped; whole-block data ends with one more block.
    Bytes headered(1024 + 1280);
    for (auto& b : headered) b = static_cast<unsigned char>(rng());
    headered[0] = 'B', headered[1] = 'I', headered[2] = 'N', headered[3] = 0;
    got = SendToReceiver(headered, &result);
    EXPECT_EQ(0, result);
    ASSERT_EQ(11u * 128, got.size());
    EXPECT_TRUE(std::equal(headered.begin() + 1024, headered.end(), got.begin()));
    EXPECT_TRUE(std::equal(got.begin() + 9 * 128, got.begin() + 10 * 128, got.begin() + 10 * 128));
}
