// Why a COM port did not open, on Windows.
#include <string>

#include "shell/port_details.h"

namespace {

// "COM5" rather than "\\.\COM5".
std::string PortName(const std::string& device) {
    return device.compare(0, 4, "\\\\.\\") == 0 ? device.substr(4) : device;
}

}  // namespace

std::string ExplainOpenFailure(const std::string& device, SerialOpenFailure why) {
    std::string name = PortName(device);
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
        default:
            return name + " could not be opened";
    }
}
