#include "sim/sim_line.h"

#include <errno.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>

namespace sim {

namespace {

// 10 bits per byte (start, 8 data, stop) at 57600 baud.
constexpr std::chrono::nanoseconds kByteTime(1000000000LL * 10 / 57600);

int CeilMs(std::chrono::steady_clock::duration d) {
    if (d <= d.zero()) return 0;
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(d).count();
    return static_cast<int>(std::min<long long>(ms, 60000));
}

}  // namespace

SimLine::SimLine(int masterFd, int wakeFd, int pokeFd, bool lineRate)
    : master_(masterFd), wake_(wakeFd), poke_(pokeFd), lineRate_(lineRate) {}

// Only this thread reads the master, so nothing is in flight between the two looks.
void SimLine::NoteIfIdle() {
    int unread = 0;
    if (onIdle_ && in_.empty() && ioctl(master_, FIONREAD, &unread) == 0 && unread == 0) onIdle_();
}

int SimLine::Read(int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (closed_) return kLineClosed;
        const auto now = Clock::now();
        if (!in_.empty() && ArrivalOfNext() <= now) {
            lastIn_ = ArrivalOfNext();
            uint8_t byte = in_.front().byte;
            in_.pop_front();
            return byte;
        }
        if (now >= deadline) return kLineTimeout;
        NoteIfIdle();
        Serve(in_.empty() ? deadline : std::min(deadline, ArrivalOfNext()));
    }
}

void SimLine::Write(const uint8_t* bytes, size_t count) {
    if (closed_ || count == 0) return;
    const auto now = Clock::now();
    // An idle line starts its schedule now, not at the last byte sent long ago.
    if (out_.empty()) nextOut_ = std::max(nextOut_, now);
    out_.insert(out_.end(), bytes, bytes + count);
    WriteDue(now);
}

void SimLine::Write(const std::string& text) {
    Write(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

bool SimLine::Drain(int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!out_.empty()) {
        if (closed_ || Clock::now() >= deadline) return false;
        Serve(deadline);
    }
    return !closed_;
}

SimLine::Clock::time_point SimLine::ArrivalOfNext() const {
    const auto at = in_.front().at;
    return lineRate_ ? std::max(at, lastIn_ + kByteTime) : at;
}

SimLine::Clock::time_point SimLine::NextOutputDue() const {
    return lineRate_ ? nextOut_ : Clock::time_point();
}

// One poll round: moves due output, takes in what arrived, returns by `until` at the latest.
void SimLine::Serve(Clock::time_point until) {
    auto now = Clock::now();
    WriteDue(now);
    // Output that is due but still queued means the master would block.
    const bool blocked = !out_.empty() && NextOutputDue() <= now;
    auto wakeAt = until;
    if (!out_.empty() && !blocked) wakeAt = std::min(wakeAt, NextOutputDue());
    short events = static_cast<short>(POLLIN | (blocked ? POLLOUT : 0));
    pollfd fds[3] = {{master_, events, 0}, {wake_, POLLIN, 0}, {poke_, POLLIN, 0}};
    int ready = poll(fds, 3, CeilMs(wakeAt - now));
    if (ready < 0) return;  // EINTR: the caller simply loops
    if (fds[1].revents != 0) {
        closed_ = true;
        return;
    }
    if (fds[2].revents & POLLIN) {
        char drained[16];
        while (read(poke_, drained, sizeof drained) > 0) {
        }
    }
    if (fds[0].revents & POLLIN) ReadMaster();
    if (!(fds[0].revents & POLLIN) && (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)))
        closed_ = true;
    if (blocked && (fds[0].revents & POLLOUT)) stalled_ = true;
    WriteDue(Clock::now());
}

void SimLine::ReadMaster() {
    uint8_t buffer[4096];
    for (;;) {
        ssize_t n = read(master_, buffer, sizeof buffer);
        if (n > 0) {
            const auto now = Clock::now();
            for (ssize_t i = 0; i < n; ++i) in_.push_back({buffer[i], now});
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 || errno != EAGAIN) closed_ = true;
        return;
    }
}

void SimLine::WriteDue(Clock::time_point now) {
    if (out_.empty() || closed_) return;
    // After the reader let the line stall, resume at the rate rather than in a burst.
    if (stalled_) nextOut_ = std::max(nextOut_, now);
    stalled_ = false;
    size_t count = out_.size();
    if (lineRate_) {
        count = 0;
        for (auto t = nextOut_; count < out_.size() && t <= now; t += kByteTime) ++count;
    }
    if (count == 0) return;
    std::vector<uint8_t> chunk(out_.begin(), out_.begin() + static_cast<long>(count));
    ssize_t n = write(master_, chunk.data(), chunk.size());
    if (n <= 0) return;
    out_.erase(out_.begin(), out_.begin() + n);
    if (lineRate_) nextOut_ += kByteTime * n;
}

}  // namespace sim
