// Windows serial-port map: the values of HKLM\HARDWARE\DEVICEMAP\SERIALCOMM.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "shell/adapter_win32.h"
#include "shell/port_details.h"
#include "shell/port_map.h"
#include "shell/port_name_win32.h"

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

namespace {

// The map's COM ports, with nothing looked up beyond it.
std::vector<PortDetails> MappedPorts() {
    std::vector<PortDetails> ports;
    char name[256], data[256];
    for (uint32_t i = 0; ReadPortMapValue(i, name, sizeof name, data, sizeof data); ++i) {
        if (_strnicmp(data, "COM", 3) != 0) continue;
        PortDetails d;
        d.name = data;
        d.device = std::string("\\\\.\\") + data;
        d.description = name;  // the driver's name for it, e.g. \Device\Serial0
        ports.push_back(d);
    }
    return ports;
}

bool FindMappedPort(const std::string& device, PortDetails& found) {
    std::string wanted = PortNameOf(device);
    for (const PortDetails& p : MappedPorts()) {
        if (_stricmp(p.name.c_str(), wanted.c_str()) != 0) continue;
        found = p;
        return true;
    }
    return false;
}

}  // namespace

std::vector<PortDetails> ListPortDetails() {
    std::vector<PortDetails> ports = MappedPorts();
    for (PortDetails& d : ports) AddAdapterDetails(d, d.description.c_str());
    return ports;
}

bool DetailsOfDevice(const std::string& device, PortDetails& details) {
    if (!FindMappedPort(device, details)) return false;
    AddAdapterDetails(details, details.description.c_str());
    return true;
}

std::string ResolvePortName(const std::string& given) {
    return given;
}

// Present ports are the ones the map holds right now.
bool PortDeviceExists(const std::string& device) {
    PortDetails found;
    return FindMappedPort(device, found);
}
