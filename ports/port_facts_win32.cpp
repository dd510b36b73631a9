// The look at a COM port on Windows: the port map, its details and a trial open.
#include <windows.h>

#include <string>

#include "ports/port_details.h"
#include "ports/port_facts.h"
#include "serial/serial_win32_calls.h"
#include "shell/port_map_win32.h"

namespace {

// Opened as an upgrade opens it, and closed at once.
SerialOpenFailure TrialOpen(const std::string& device) {
    HANDLE h = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) return SerialFailureFromError(GetLastError());
    CloseHandle(h);
    return SerialOpenOk;
}

}  // namespace

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
