// The system's serial-port map, as each platform provides it.
#pragma once
#include <cstdint>

// The value at `index`: name and data (the data begins with "COM<n>").
// False when there is no readable value at that position.
bool ReadPortMapValue(uint32_t index, char* name, int nameCapacity, char* data, int dataCapacity);

// The device to open for COM port n.
bool FormatPortDevice(int n, char* path, int capacity);

// True when a port entry names a device directly instead of a COM port.
bool PortEntryIsDevicePath(const char* entry);
