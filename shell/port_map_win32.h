// Windows serial-port map: the names a Windows user knows a port by, and the
// COM ports the map holds.
#pragma once
#include <string>
#include <vector>

// "COM5" for the device "\\.\COM5"; anything else as it is.
inline std::string PortNameOf(const std::string& device) {
    return device.compare(0, 4, "\\\\.\\") == 0 ? device.substr(4) : device;
}

// A COM port of the map: its name and the driver's name for it.
struct MappedComPort {
    std::string name;     // "COM5"
    std::string mapName;  // "\Device\Serial0"
};

// The map's COM ports, read afresh, in the map's order.
std::vector<MappedComPort> ListMappedComPorts();

// The map's entry for a device ("\\.\COM5" or "COM5", in any case); false
// when the map holds no such port.
bool FindMappedComPort(const std::string& device, MappedComPort& found);
