// The name a Windows user knows a port by.
#pragma once
#include <string>

// "COM5" for the device "\\.\COM5"; anything else as it is.
inline std::string PortNameOf(const std::string& device) {
    return device.compare(0, 4, "\\\\.\\") == 0 ? device.substr(4) : device;
}
