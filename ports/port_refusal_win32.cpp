// Why a COM port did not open, on Windows.
#include <string>

#include "ports/port_refusal.h"
#include "serial/serial_report.h"
#include "shell/port_map_win32.h"

namespace {

// A driver that keeps its previous speed (9600 after monitor mode) would make
// every run end "not connected": this says what happened instead.
std::string ExplainSettingsRefused(const std::string& name) {
    return name + " " + RefusedSettingsText() +
           ": its driver refuses these settings; update the adapter's driver from its maker, or "
           "try another adapter";
}

}  // namespace

std::string ExplainOpenFailure(const std::string& device, SerialOpenFailure why) {
    std::string name = PortNameOf(device);
    switch (why) {
        case SerialBusy:
        case SerialDenied:
            return name +
                   " is in use by another program (a terminal, a modem or sync tool); close it "
                   "first";
        case SerialNoDevice:
            return name +
                   " is not there any more; plug the cable in again and check the port in "
                   "Device Manager";
        case SerialNotSerial:
            return name + " is not a serial port";
        case SerialSettingsRefused:
            return ExplainSettingsRefused(name);
        default:
            return name + " could not be opened";
    }
}
