// Why a COM port did not open, on Windows.
#include <string>

#include "shell/port_details.h"
#include "shell/port_name_win32.h"

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
        default:
            return name + " could not be opened";
    }
}
