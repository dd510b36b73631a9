// The scanner's side of a recorded upgrade, played back to the utility: each
// answer goes out once the utility's bytes that came before it in the
// recording have arrived. Anything the utility sends that the recording does
// not (but a key code carrying the same key) stops the replay. Once all of
// the recording is played, the line must stay quiet for kReplaySettleMs; the
// replay then ends by itself.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "events/recording_format.h"
#include "sim/sim_line.h"

namespace sim {

// How long the line must stay quiet after the whole recording has played.
// The emulator holds the pseudo-terminal's slave end itself, so the utility
// closing the port is no hang-up: only its silence says it is done.
constexpr int kReplaySettleMs = 2000;

struct ReplayOutcome {
    bool complete = false;  // every piece played and every expected byte received
    bool diverged = false;
    std::string divergence;  // the first difference, in words
    uint64_t received = 0;   // bytes of the utility's taken in
    size_t played = 0;       // pieces of the recording played in full
};

// Plays `recording` on `line` at `speed` (2 twice as fast, 0 with no delays)
// until it is done and the line has settled, the line closes (a stop) or the
// utility differs. `closeLine` pulls the plug where the recording's line went
// away; the replay ends there.
ReplayOutcome PlayRecording(SimLine& line, const Recording& recording, double speed,
                            const std::function<void()>& closeLine);

// What a replay stopped before it was complete still lacked, in words.
std::string MissingAtStop(const Recording& recording, const ReplayOutcome& outcome);

}  // namespace sim
