#include "shell/port_discovery.h"

#include <cctype>
#include <cstdio>
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

// COM n must have been found by discovery.
bool ComDevice(long n, char* device, int capacity) {
    return n >= 0 && n < PortTableSize && PortTable[n] &&
           FormatPortDevice(static_cast<int>(n), device, capacity);
}

}  // namespace

// Monitor mode's "^COM3" skips characters 2 to 4 unread, so "^xyz3" names COM3 too.
bool ResolvePortEntry(const char* entry, char* device, int capacity) {
    const bool monitor = entry[0] == '^';
    const char* named = monitor ? entry + 1 : entry;
    if (PortEntryIsDevicePath(named))
        return std::snprintf(device, capacity, "%s", named) < capacity;
    long n = 0;
    if (monitor)
        n = std::strlen(entry) > 4 ? ReadPortNumber(entry + 4) : 0;
    else if (!ParseComNumber(entry, &n))
        return false;
    return ComDevice(n, device, capacity);
}

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
