#include "tests/fake_platform.h"

#include <cstdio>

#include "serial/rx_ring.h"
#include "serial/serial_status.h"
#include "shell/port_map.h"

namespace fake {
std::vector<std::optional<std::string>> portMap;
SerialRecord serial;

void Reset() {
    portMap.clear();
    serial = SerialRecord();
}
}  // namespace fake

bool ReadPortMapValue(uint32_t index, char* name, int nameCapacity, char* data, int dataCapacity) {
    if (index >= fake::portMap.size() || !fake::portMap[index]) return false;
    std::snprintf(name, nameCapacity, "\\Device\\Serial%u", index);
    return std::snprintf(data, dataCapacity, "%s", fake::portMap[index]->c_str()) < dataCapacity;
}

bool FormatPortDevice(int n, char* path, int capacity) {
    return std::snprintf(path, capacity, "dev:COM%d", n) < capacity;
}

bool PortEntryIsDevicePath(const char* entry) {
    return entry[0] == '/';
}

int SerialOpen(const char* device_path, uint32_t baud) {
    if (fake::serial.openFails) return SerialRefuseOpen(SerialBusy);  // as a held port is refused
    SerialNoteOpened();
    fake::serial.opened.push_back(std::string(device_path) + "@" + std::to_string(baud));
    fake::serial.open = true;
    RxSetLinkDown(true);  // nothing will ever answer: reads end at once
    return 0;
}

void SerialWrite(const void*, uint32_t) {}

void SerialClose() {
    ++fake::serial.closes;
    fake::serial.open = false;
}
