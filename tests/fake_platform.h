// Stand-ins for the platform layer, so the shell logic runs without devices.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "serial/serial.h"

namespace fake {

// The serial-port map: one entry per position; nullopt is an unreadable value.
extern std::vector<std::optional<std::string>> portMap;

// The serial link: opens succeed unless `openFails`; every call is recorded.
struct SerialRecord {
    std::vector<std::string> opened;  // "device@baud"
    int closes = 0;
    bool open = false;
    bool openFails = false;
};
extern SerialRecord serial;

void Reset();

}  // namespace fake
