// The emulator's end of the serial line: the pseudo-terminal master, with
// optional pacing at the scanner's 57600 baud in both directions.
#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/line_faults.h"

namespace sim {

constexpr int kLineTimeout = -1;  // no byte within the time given
constexpr int kLineClosed = -2;   // stop requested or the line is gone

class SimLine {
   public:
    using Clock = std::chrono::steady_clock;

    // Uses but does not own the descriptors; `wakeFd` readable means stop,
    // `pokeFd` readable asks for a new look at whether the line is idle.
    SimLine(int masterFd, int wakeFd, int pokeFd, bool lineRate);

    // Called whenever the line waits with every byte the utility wrote taken
    // in and handled.
    void OnIdle(std::function<void()> idle) { onIdle_ = std::move(idle); }
    // A bad line: `noted` hears of every fault, `unplug` pulls the plug when
    // one calls for it (the line is closed afterwards).
    // Hears every byte written to the utility, as written.
    void OnWritten(std::function<void(const uint8_t*, size_t)> written) {
        onWritten_ = std::move(written);
    }
    void InjectFaults(const LineFaults& faults, std::function<void(const LineFaultEvent&)> noted,
                      std::function<void()> unplug);

    // The next received byte, kLineTimeout or kLineClosed. Output keeps flowing meanwhile.
    int Read(int timeoutMs);
    void Write(const uint8_t* bytes, size_t count);
    void Write(const std::string& text);
    void WriteByte(uint8_t byte) { Write(&byte, 1); }
    // A byte the line holds back, and everything after it, for `ms`.
    void WriteHeld(uint8_t byte, int ms);
    // Waits until every queued byte has left; false when stopped or out of time first.
    bool Drain(int timeoutMs);
    // Lets `ms` pass serving the line (bytes that come are kept for Read);
    // false when it is stopped or closed meanwhile.
    bool Pause(int ms);
    bool Closed() const { return closed_; }
    size_t Pending() const { return out_.size(); }

   private:
    struct Received {
        uint8_t byte;
        Clock::time_point at;
    };
    struct Outgoing {
        uint8_t byte;
        int holdMs;   // the line stops here for that long first
        bool unplug;  // the plug is pulled before this byte
    };

    void Serve(Clock::time_point until);
    void ReadMaster();
    void NoteIfIdle();
    void WriteDue(Clock::time_point now);
    size_t WritableRun(size_t count, Clock::time_point now);
    void Enqueue(uint8_t byte);
    void Receive(uint8_t byte, Clock::time_point now);
    void Unplug();
    Clock::time_point NextOutputDue() const;
    Clock::time_point ArrivalOfNext() const;

    int master_;
    int wake_;
    int poke_;
    std::function<void()> onIdle_;
    bool lineRate_;
    bool closed_ = false;
    bool stalled_ = false;  // the reader had let the output back up
    std::deque<Outgoing> out_;
    std::deque<Received> in_;
    Clock::time_point nextOut_;  // earliest time the next output byte may leave
    Clock::time_point lastIn_;   // when the previous input byte counted as arrived
    Clock::time_point holdOut_;  // output held back until then
    Clock::time_point holdIn_;   // input held back until then
    std::unique_ptr<LineNoise> noiseIn_, noiseOut_;
    std::function<void(const LineFaultEvent&)> noted_;
    std::function<void()> unplug_;
    std::function<void(const uint8_t*, size_t)> onWritten_;
};

}  // namespace sim
