#include "sim/line_faults.h"

#include <sstream>

namespace sim {

namespace {

const char* const kNames[kLineFaultKinds] = {"flip",  "drop",  "double", "insert",
                                             "pause", "stall", "unplug"};
// Stalls and unplugging end or slow a run the most: they come less often.
const int kWeights[kLineFaultKinds] = {3, 3, 3, 3, 2, 1, 1};

}  // namespace

const char* LineFaultName(LineFaultKind kind) {
    return kNames[static_cast<int>(kind)];
}

bool ParseLineFaultKinds(const std::string& list, unsigned& kinds) {
    kinds = 0;
    std::istringstream in(list);
    for (std::string name; std::getline(in, name, ',');) {
        int found = -1;
        for (int k = 0; k < kLineFaultKinds; ++k)
            if (name == kNames[k]) found = k;
        if (found < 0) return false;
        kinds |= 1u << found;
    }
    return kinds != 0;
}

// Each direction draws from a stream of its own, so the faults of one do not
// move with the bytes of the other.
LineNoise::LineNoise(uint32_t seed, double chance, unsigned kinds, bool toScanner)
    : rng_(seed * 2u + (toScanner ? 1u : 2u)),
      chance_(chance),
      kinds_(kinds),
      toScanner_(toScanner) {}

bool LineNoise::Roll(uint8_t byte, LineFaultEvent& event) {
    const uint64_t index = index_++;
    if (chance_ <= 0 || std::uniform_real_distribution<double>(0, 1)(rng_) >= chance_) return false;
    int total = 0;
    for (int k = 0; k < kLineFaultKinds; ++k)
        if (kinds_ & (1u << k)) total += kWeights[k];
    if (total == 0) return false;
    int pick = std::uniform_int_distribution<int>(0, total - 1)(rng_);
    int k = 0;
    for (; k < kLineFaultKinds; ++k) {
        if (!(kinds_ & (1u << k))) continue;
        if (pick < kWeights[k]) break;
        pick -= kWeights[k];
    }
    event = LineFaultEvent();
    event.toScanner = toScanner_;
    event.index = index;
    event.kind = static_cast<LineFaultKind>(k);
    event.byte = byte;
    switch (event.kind) {
        case LineFaultKind::Flip:
            event.value = byte ^ (1 << std::uniform_int_distribution<int>(0, 7)(rng_));
            break;
        case LineFaultKind::Insert:
            event.value = std::uniform_int_distribution<int>(0, 255)(rng_);
            break;
        case LineFaultKind::Pause:  // shorter than any answer wait
            event.value = std::uniform_int_distribution<int>(20, 400)(rng_);
            break;
        case LineFaultKind::Stall:  // longer than a block's answer wait
            event.value = std::uniform_int_distribution<int>(3000, 4500)(rng_);
            break;
        default:
            break;
    }
    return true;
}

}  // namespace sim
