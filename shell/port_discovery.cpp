#include "shell/port_discovery.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "shell/port_map.h"

unsigned char PortTable[PortTableSize];

namespace {

// The port number of the value at `index` (its text in `data`), or -1.
int32_t EnumSerialPort(uint32_t index, char data[PortDataSize]) {
    char name[256];
    if (!ReadPortMapValue(index, name, sizeof name, data, PortDataSize)) return -1;
    long n;
    if (!ParseComNumber(data, &n)) return -1;
    if (n < 0) return -1;
    return n > PortTableSize ? PortTableSize
                             : static_cast<int32_t>(n);  // past the table either way
}

}  // namespace

bool ParseComNumber(const char* text, long* number) {
    for (int i = 0; i < 3; ++i)
        if (std::toupper(static_cast<unsigned char>(text[i])) != "COM"[i]) return false;
    *number = ReadPortNumber(text + 3);
    return true;
}

long ReadPortNumber(const char* text) {
    // Like atoi, without its undefined overflow: far-out values stay far out of range.
    return std::strtol(text, nullptr, 10);
}

void DiscoverSerialPorts(void (*addPort)(const char* name), void (*selectFirst)()) {
    std::memset(PortTable, 0, sizeof PortTable);
    char data[PortDataSize];
    for (uint32_t position = 0; position < PortMapPositions; ++position) {
        int32_t n = EnumSerialPort(position, data);
        if (n < 0 || n >= PortTableSize) continue;
        PortTable[n] = 1;
        if (addPort) addPort(data);
    }
    if (selectFirst) selectFirst();
}
