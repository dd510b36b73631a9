#include "ports/port_refusal.h"

#include "serial/serial.h"
#include "shell/port_discovery.h"
#include "upgrade/image.h"

bool ExplainRefusedPort(const char* entry, std::string& reason) {
    char device[ImagePathSize];
    if (ResolvePortEntry(entry, device, sizeof device)) {
        reason = ExplainOpenFailure(device, SerialLastOpenFailure());
        return true;
    }
    const char* named = entry[0] == '^' ? entry + 1 : entry;  // monitor mode's mark is no name
    reason = std::string(named) + " is not a serial port of this system";
    return false;
}
