// A Windows port's details: the port map, the kind of driver and, for FTDI
// adapters, the latency timer in the registry (read only).
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "ports/port_details.h"
#include "shell/port_map_win32.h"

namespace {

// FTDI's driver keeps each port's settings under its bus's device instances:
// the COM name in PortName, the timer in milliseconds in LatencyTimer.
const char kFtdiBus[] = "SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS";

struct DriverKind {
    const char* mapPrefix;  // the map's name for the port, without its number
    const char* kind;
};

const DriverKind kinds[] = {{"\\Device\\VCP", "FTDI"},
                            {"\\Device\\Serial", "built-in serial"},
                            {"\\Device\\USBSER", "USB CDC (usbser)"},
                            {"\\Device\\Silabser", "CP210x"},
                            {"\\Device\\ProlificSerial", "PL2303"}};

bool ReadText(HKEY key, const char* value, char* text, DWORD capacity) {
    DWORD type = 0, size = capacity - 1;
    if (RegQueryValueExA(key, value, nullptr, &type, reinterpret_cast<BYTE*>(text), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ)
        return false;
    text[size] = 0;
    return true;
}

// The latency timer of the FTDI instance whose port is `com`, in `key`'s
// "Device Parameters"; -1 when it is not that port.
int LatencyOf(const std::string& path, const std::string& com) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return -1;
    char port[64];
    DWORD latency = 0, type = 0, size = sizeof latency;
    bool mine = ReadText(key, "PortName", port, sizeof port) && _stricmp(port, com.c_str()) == 0;
    bool read = mine &&
                RegQueryValueExA(key, "LatencyTimer", nullptr, &type,
                                 reinterpret_cast<BYTE*>(&latency), &size) == ERROR_SUCCESS &&
                type == REG_DWORD;
    RegCloseKey(key);
    return read ? static_cast<int>(latency) : -1;
}

// The names of a key's subkeys, each handed to `visit` until it says stop.
template <typename Visit>
bool ForEachSubkey(const std::string& path, Visit visit) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    char name[256];
    bool stopped = false;
    for (DWORD i = 0; !stopped; ++i) {
        DWORD length = sizeof name;
        if (RegEnumKeyExA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        stopped = visit(path + "\\" + name);
    }
    RegCloseKey(key);
    return stopped;
}

void FindFtdiLatency(PortDetails& d) {
    ForEachSubkey(kFtdiBus, [&](const std::string& device) {
        return ForEachSubkey(device, [&](const std::string& instance) {
            std::string parameters = instance + "\\Device Parameters";
            int latency = LatencyOf(parameters, d.name);
            if (latency < 0) return false;
            d.latencyMs = latency;
            d.latencySetting = "HKLM\\" + parameters;
            d.driver = "FTDI";
            return true;
        });
    });
}

// The kind of driver, from the map's name for the port ("\Device\VCP0"), and
// for an FTDI adapter its latency timer and the registry key that holds it.
PortDetails DetailsOf(const MappedComPort& p) {
    PortDetails d;
    d.name = p.name;
    d.device = "\\\\.\\" + p.name;
    d.description = p.mapName;  // the driver's name for it, e.g. \Device\Serial0
    for (const DriverKind& k : kinds)
        if (std::strncmp(p.mapName.c_str(), k.mapPrefix, std::strlen(k.mapPrefix)) == 0)
            d.driver = k.kind;
    FindFtdiLatency(d);
    return d;
}

}  // namespace

std::vector<PortDetails> ListPortDetails() {
    std::vector<PortDetails> ports;
    for (const MappedComPort& p : ListMappedComPorts()) ports.push_back(DetailsOf(p));
    return ports;
}

bool DetailsOfDevice(const std::string& device, PortDetails& details) {
    MappedComPort found;
    if (!FindMappedComPort(device, found)) return false;
    details = DetailsOf(found);
    return true;
}

std::string LatencyTimerFix(const PortDetails& d) {
    if (d.latencyMs >= 0)
        return "Device Manager > Ports (COM & LPT) > " + d.name +
               " > Properties > Port Settings > Advanced > Latency Timer (msec): 1";
    std::string driver = d.driver.empty() ? "" : " (" + d.driver + ")";
    return "its driver" + driver +
           " has no latency timer to lower; an FTDI adapter, whose timer can be set to 1 ms, "
           "answers sooner";
}
