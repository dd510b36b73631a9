// Faults of a bad serial line, injected by the emulator into what it receives
// and what it sends: seeded, so a run can be repeated.
#pragma once
#include <cstdint>
#include <random>
#include <string>

namespace sim {

enum class LineFaultKind { Flip, Drop, Double, Insert, Pause, Stall, Unplug };
constexpr int kLineFaultKinds = 7;
constexpr unsigned kAllLineFaults = (1u << kLineFaultKinds) - 1;

struct LineFaults {
    uint32_t seed = 1;
    double toScanner = 0;    // chance of a fault per byte the scanner receives
    double fromScanner = 0;  // per byte it sends
    unsigned kinds = kAllLineFaults;
};

// One fault as it happened.
struct LineFaultEvent {
    bool toScanner = false;
    uint64_t index = 0;  // the byte's place in its direction, from 0
    LineFaultKind kind = LineFaultKind::Flip;
    uint8_t byte = 0;  // the byte it hit
    int value = 0;     // the flipped byte, the inserted byte, or the milliseconds held
};

const char* LineFaultName(LineFaultKind kind);
// "flip,drop,..." as a set of kinds; false on an unknown name.
bool ParseLineFaultKinds(const std::string& list, unsigned& kinds);

// The faults of one direction.
class LineNoise {
   public:
    LineNoise(uint32_t seed, double chance, unsigned kinds, bool toScanner);
    // Whether the next byte meets a fault, and which: `event` is filled in.
    bool Roll(uint8_t byte, LineFaultEvent& event);

   private:
    std::mt19937 rng_;
    double chance_;
    unsigned kinds_;
    bool toScanner_;
    uint64_t index_ = 0;
};

}  // namespace sim
