#include "upgrade/run_phase.h"

namespace {

struct PhaseEntry {
    const char* name;
    const char* label;
};

// In the order of RunPhase.
const PhaseEntry kPhases[static_cast<int>(RunPhase::Count)] = {
    {"waiting", "waiting"},   {"handshake", "handshake"}, {"identity", "identity"},
    {"key-code", "key code"}, {"flash-erase", "erasing"}, {"parameter-erase", "erasing"},
    {"upload", "uploading"},  {"start", "starting"},      {"done", "done"},
    {"leaving", "leaving"},   {"monitor", "monitor"},
};

const PhaseEntry& Entry(RunPhase phase) {
    int i = static_cast<int>(phase);
    return kPhases[i >= 0 && i < static_cast<int>(RunPhase::Count) ? i : 0];
}

}  // namespace

const char* RunPhaseName(RunPhase phase) {
    return Entry(phase).name;
}

const char* RunPhaseLabel(RunPhase phase) {
    return Entry(phase).label;
}

bool RunPhaseFromName(const std::string& name, RunPhase& phase) {
    for (int i = 0; i < static_cast<int>(RunPhase::Count); ++i) {
        if (name == kPhases[i].name) {
            phase = static_cast<RunPhase>(i);
            return true;
        }
    }
    return false;
}
