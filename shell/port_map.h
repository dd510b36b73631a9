// The system's serial-port map, as each platform provides it, and the names
// a user gives its devices.
#pragma once
#include <cstdint>
#include <string>

// The value at `index`: name and data (the data begins with "COM<n>").
// False when there is no readable value at that position.
bool ReadPortMapValue(uint32_t index, char* name, int nameCapacity, char* data, int dataCapacity);

// The device to open for COM port n.
bool FormatPortDevice(int n, char* path, int capacity);

// True when a port entry names a device directly instead of a COM port.
bool PortEntryIsDevicePath(const char* entry);

// A link resolved to the device it names, and a bare device name ("ttyUSB0")
// as its path; anything else (a COM name, a missing path) as given.
std::string ResolvePortName(const std::string& given);

// The device is there right now (it may still be busy or refused).
bool PortDeviceExists(const std::string& device);
