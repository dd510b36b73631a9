// Inside the emulator: what the console and the upload receiver share while
// serving one line. Runs on the emulator's thread only; the report is the one
// piece also read from outside, so every change to it goes through Update.
#pragma once
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "sim/bootsim.h"
#include "sim/report_lock.h"
#include "sim/sim_line.h"

namespace sim {

class SimMachine {
   public:
    SimMachine(const BootSimOptions& options, SimLine& line, ReportLock& lock,
               BootSimReport& report, std::function<void()> unplug)
        : options_(options),
          line_(line),
          lock_(lock),
          report_(report),
          unplug_(std::move(unplug)),
          rng_(options.seed) {}

    const BootSimOptions& Options() const { return options_; }
    SimLine& Line() { return line_; }
    std::mt19937& Rng() { return rng_; }

    // The next byte from the utility (recorded), kLineTimeout or kLineClosed.
    int Next(int timeoutMs) {
        int b = line_.Read(timeoutMs);
        if (b >= 0) Update([b](BootSimReport& r) { r.input.push_back(static_cast<uint8_t>(b)); });
        return b;
    }

    // Output to the utility; a silent scanner sends nothing at all.
    void Say(const Bytes& bytes) {
        if (!options_.silent) line_.Write(bytes.data(), bytes.size());
    }
    void Say(const std::string& text) {
        if (!options_.silent) line_.Write(text);
    }
    void SayByte(uint8_t byte) {
        if (!options_.silent) line_.WriteByte(byte);
    }
    // A byte the line holds back for `ms`, with everything said after it.
    void SayHeld(uint8_t byte, int ms) {
        if (!options_.silent) line_.WriteHeld(byte, ms);
    }

    template <class F>
    void Update(F change) {
        std::lock_guard<ReportLock> guard(lock_);
        change(report_);
    }

    std::vector<uint8_t> Flash() {
        std::lock_guard<ReportLock> guard(lock_);
        return report_.flash;
    }

    void Log(const std::string& text) const {
        if (options_.onLog) options_.onLog(text);
    }

    // Lets what was said reach the utility, then pulls the plug.
    void Unplug() {
        line_.Drain(2000);
        unplug_();
        Update([](BootSimReport& r) { r.unplugged = true; });
    }

   private:
    const BootSimOptions& options_;
    SimLine& line_;
    ReportLock& lock_;
    BootSimReport& report_;
    std::function<void()> unplug_;
    std::mt19937 rng_;
};

}  // namespace sim
