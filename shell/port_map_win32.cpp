// Windows serial-port map: the values of HKLM\HARDWARE\DEVICEMAP\SERIALCOMM.
#include <windows.h>

#include <cstdio>

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
