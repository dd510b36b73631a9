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

void SimLine::InjectFaults(const LineFaults& faults,
                           std::function<void(const LineFaultEvent&)> noted,
                           std::function<void()> unplug) {
    noiseIn_.reset(new LineNoise(faults.seed, faults.toScanner, faults.kinds, true));
    noiseOut_.reset(new LineNoise(faults.seed, faults.fromScanner, faults.kinds, false));
    noted_ = std::move(noted);
    unplug_ = std::move(unplug);
}

void SimLine::Write(const uint8_t* bytes, size_t count) {
    if (closed_ || count == 0) return;
    const auto now = Clock::now();
    // An idle line starts its schedule now, not at the last byte sent long ago.
    if (out_.empty()) nextOut_ = std::max(nextOut_, now);
    for (size_t i = 0; i < count; ++i) Enqueue(bytes[i]);
    WriteDue(now);
}

void SimLine::WriteHeld(uint8_t byte, int ms) {
    if (closed_) return;
    if (out_.empty()) nextOut_ = std::max(nextOut_, Clock::now());
    out_.push_back({byte, ms, false});
    WriteDue(Clock::now());
}

// What the line makes of a byte the scanner sends.
void SimLine::Enqueue(uint8_t byte) {
    LineFaultEvent e;
    if (!noiseOut_ || !noiseOut_->Roll(byte, e)) {
        out_.push_back({byte, 0, false});
        return;
    }
    if (noted_) noted_(e);
    switch (e.kind) {
        case LineFaultKind::Flip:
            out_.push_back({static_cast<uint8_t>(e.value), 0, false});
            break;
        case LineFaultKind::Drop:
            break;
        case LineFaultKind::Double:
            out_.push_back({byte, 0, false});
            out_.push_back({byte, 0, false});
            break;
        case LineFaultKind::Insert:
            out_.push_back({static_cast<uint8_t>(e.value), 0, false});
            out_.push_back({byte, 0, false});
            break;
        case LineFaultKind::Pause:
        case LineFaultKind::Stall:
            out_.push_back({byte, e.value, false});
            break;
        case LineFaultKind::Unplug:
            out_.push_back({byte, 0, true});
            break;
    }
}

// What the line makes of a byte the utility sent.
void SimLine::Receive(uint8_t byte, Clock::time_point now) {
    LineFaultEvent e;
    const bool fault = noiseIn_ && noiseIn_->Roll(byte, e);
    if (fault && noted_) noted_(e);
    const auto at = std::max(now, holdIn_);
    if (!fault) {
        in_.push_back({byte, at});
        return;
    }
    switch (e.kind) {
        case LineFaultKind::Flip:
            in_.push_back({static_cast<uint8_t>(e.value), at});
            break;
        case LineFaultKind::Drop:
            break;
        case LineFaultKind::Double:
            in_.push_back({byte, at});
            in_.push_back({byte, at});
            break;
        case LineFaultKind::Insert:
            in_.push_back({static_cast<uint8_t>(e.value), at});
            in_.push_back({byte, at});
            break;
        case LineFaultKind::Pause:
        case LineFaultKind::Stall:
            holdIn_ = at + std::chrono::milliseconds(e.value);
            in_.push_back({byte, holdIn_});
            break;
        case LineFaultKind::Unplug:
            Unplug();
            break;
    }
}

void SimLine::Unplug() {
    if (closed_) return;
    out_.clear();
    in_.clear();
    if (unplug_) unplug_();
    closed_ = true;
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

bool SimLine::Pause(int ms) {
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    while (!closed_ && Clock::now() < until) Serve(until);
    return !closed_;
}

SimLine::Clock::time_point SimLine::ArrivalOfNext() const {
    const auto at = in_.front().at;
    return lineRate_ ? std::max(at, lastIn_ + kByteTime) : at;
}

SimLine::Clock::time_point SimLine::NextOutputDue() const {
    return std::max(lineRate_ ? nextOut_ : Clock::time_point(), holdOut_);
}

// One poll round: moves due output, takes in what arrived, returns by `until` at the latest.
void SimLine::Serve(Clock::time_point until) {
    auto now = Clock::now();
    WriteDue(now);
    if (closed_) return;
    // Output that is due but still queued means the master would block.
    const bool blocked = !out_.empty() && NextOutputDue() <= now;
    auto wakeAt = until;
    if (!out_.empty() && !blocked) wakeAt = std::min(wakeAt, NextOutputDue());
    short events = static_cast<short>(POLLIN | (blocked ? POLLOUT : 0));
    pollfd fds[3] = {{master_, events, 0}, {wake_, POLLIN, 0}, {poke_, POLLIN, 0}};
    int ready = poll(fds, 3, CeilMs(wakeAt - now));
    if (ready < 0 || closed_) return;  // EINTR: the caller simply loops
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
            for (ssize_t i = 0; i < n && !closed_; ++i) Receive(buffer[i], now);
            if (closed_) return;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 || errno != EAGAIN) closed_ = true;
        return;
    }
}

// How many of the first `count` bytes may go now: a held byte or the plug
// stops the run, and when it stands first it takes effect here.
size_t SimLine::WritableRun(size_t count, Clock::time_point now) {
    for (size_t n = 0; n < count; ++n) {
        Outgoing& o = out_[n];
        if (!o.unplug && o.holdMs == 0) continue;
        if (n > 0) return n;
        if (o.unplug) {
            Unplug();
            return 0;
        }
        holdOut_ = now + std::chrono::milliseconds(o.holdMs);
        nextOut_ = std::max(nextOut_, holdOut_);
        o.holdMs = 0;
        return 0;
    }
    return count;
}

void SimLine::WriteDue(Clock::time_point now) {
    if (out_.empty() || closed_ || now < holdOut_) return;
    // After the reader let the line stall, resume at the rate rather than in a burst.
    if (stalled_) nextOut_ = std::max(nextOut_, now);
    stalled_ = false;
    size_t count = out_.size();
    if (lineRate_) {
        count = 0;
        for (auto t = nextOut_; count < out_.size() && t <= now; t += kByteTime) ++count;
    }
    count = WritableRun(count, now);
    if (count == 0) return;
    std::vector<uint8_t> chunk(count);
    for (size_t i = 0; i < count; ++i) chunk[i] = out_[i].byte;
    ssize_t n = write(master_, chunk.data(), chunk.size());
    if (n <= 0) return;
    if (onWritten_) onWritten_(chunk.data(), static_cast<size_t>(n));
    out_.erase(out_.begin(), out_.begin() + n);
    if (lineRate_) nextOut_ += kByteTime * n;
}

}  // namespace sim
