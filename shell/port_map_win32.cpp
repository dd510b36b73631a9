// Windows serial-port map: the values of HKLM\HARDWARE\DEVICEMAP\SERIALCOMM.
#include "shell/port_map_win32.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "shell/port_map.h"

// Opened, read and closed afresh for every position: nothing is cached.
bool ReadPortMapValue(uint32_t index, char* name, int nameCapacity, char* data, int dataCapacity) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return false;
    DWORD nameLength = static_cast<DWORD>(nameCapacity);
    DWORD dataLength = static_cast<DWORD>(dataCapacity);
    LONG result = RegEnumValueA(key, index, name, &nameLength, nullptr, nullptr,
                                reinterpret_cast<BYTE*>(data), &dataLength);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS || dataCapacity <= 0) return false;
    // Registry text need not carry its terminator.
    data[dataLength < static_cast<DWORD>(dataCapacity) ? dataLength : dataCapacity - 1] = 0;
    return true;
}

bool FormatPortDevice(int n, char* path, int capacity) {
    int written = std::snprintf(path, capacity, "\\\\.\\COM%d", n);
    return written > 0 && written < capacity;
}

// Only COM numbers name ports here.
bool PortEntryIsDevicePath(const char*) {
    return false;
}

std::vector<MappedComPort> ListMappedComPorts() {
    std::vector<MappedComPort> ports;
    char name[256], data[256];
    for (uint32_t i = 0; ReadPortMapValue(i, name, sizeof name, data, sizeof data); ++i)
        if (_strnicmp(data, "COM", 3) == 0) ports.push_back({data, name});
    return ports;
}

bool FindMappedComPort(const std::string& device, MappedComPort& found) {
    std::string wanted = PortNameOf(device);
    for (const MappedComPort& p : ListMappedComPorts()) {
        if (_stricmp(p.name.c_str(), wanted.c_str()) != 0) continue;
        found = p;
        return true;
    }
    return false;
}

std::string ResolvePortName(const std::string& given) {
    return given;
}

// Present ports are the ones the map holds right now.
bool PortDeviceExists(const std::string& device) {
    MappedComPort found;
    return FindMappedComPort(device, found);
}
