// The scanner's side of a recorded upgrade, played back to the utility: each
// answer goes out once the utility's bytes that came before it in the
// recording have arrived. Anything the utility sends that the recording does
// not (but a key code carrying the same key) stops the replay.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "sim/sim_line.h"

namespace sim {

struct RecordedPiece {
    bool toScanner = false;
    std::vector<uint8_t> bytes;
    int64_t us = 0;  // since the recording began
    std::string phase;
    int block = 0;
};

struct Recording {
    std::vector<RecordedPiece> pieces;
    bool lineLost = false;  // the line went away: it is closed where the answers end
    std::string message;    // the utility's result in the recording
};

struct ReplayOutcome {
    bool complete = false;  // every piece played and every expected byte received
    bool diverged = false;
    std::string divergence;  // the first difference, in words
    uint64_t received = 0;   // bytes of the utility's taken in
};

// Plays `recording` on `line` at `speed` (2 twice as fast, 0 with no delays)
// until it is done, the line closes or the utility differs. `closeLine`
// pulls the plug where the recording's line went away.
ReplayOutcome PlayRecording(SimLine& line, const Recording& recording, double speed,
                            const std::function<void()>& closeLine);

// What the utility has still not sent when the replay is stopped, in words.
std::string MissingAtStop(const Recording& recording, const ReplayOutcome& outcome);

}  // namespace sim
