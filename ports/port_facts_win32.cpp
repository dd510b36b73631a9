// The look at a COM port on Windows: the port map, a trial open, the kind of
// driver and, for FTDI adapters, the latency timer in the registry (read only).
#include "shell/adapter_win32.h"

#include <windows.h>

#include <cstring>
#include <string>

#include "serial/serial_win32_calls.h"
#include "shell/port_facts.h"
#include "shell/port_name_win32.h"

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

// Opened as an upgrade opens it, and closed at once.
SerialOpenFailure TrialOpen(const std::string& device) {
    HANDLE h = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) return SerialFailureFromError(GetLastError());
    CloseHandle(h);
    return SerialOpenOk;
}

}  // namespace

void AddAdapterDetails(PortDetails& d, const char* mapName) {
    for (const DriverKind& k : kinds)
        if (std::strncmp(mapName, k.mapPrefix, std::strlen(k.mapPrefix)) == 0) d.driver = k.kind;
    FindFtdiLatency(d);
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

PortFacts GatherPortFacts(const std::string& given) {
    PortFacts f;
    f.windows = true;
    f.given = given;
    f.details.name = PortNameOf(given);
    f.details.device = "\\\\.\\" + f.details.name;
    f.exists = f.isSerial = DetailsOfDevice(f.details.device, f.details);
    if (!f.exists) return f;
    f.openTried = true;
    f.openFailure = TrialOpen(f.details.device);
    f.latencyFix = LatencyTimerFix(f.details);
    return f;
}
