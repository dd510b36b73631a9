// The line as a station's sender sees it, for the station's page, its
// terminal and its beat.
#pragma once
#include <cstdint>
#include <string>

struct LineState {
    bool connected = false;     // the last delivery or beat went through
    std::string downSince;      // ISO 8601 UTC since records cannot be delivered; "" when they can
    bool refused = false;       // the line refused this station's key (401, 403)
    bool rejected = false;      // the line refused a batch of records (400, 413)
    std::string reason;         // the line's words for a refusal, or why it is not reached
    int64_t waiting = 0;        // records in the spool
    std::string oldestWaiting;  // ISO 8601 UTC: when the oldest of them was spooled; "" for none
};

inline bool operator==(const LineState& a, const LineState& b) {
    return a.connected == b.connected && a.downSince == b.downSince && a.refused == b.refused &&
           a.rejected == b.rejected && a.reason == b.reason && a.waiting == b.waiting &&
           a.oldestWaiting == b.oldestWaiting;
}
inline bool operator!=(const LineState& a, const LineState& b) {
    return !(a == b);
}
