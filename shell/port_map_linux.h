// Linux serial-port map: real serial devices under /sys/class/tty, each given a COM number.
//   ttyS<k>   -> COM(1 + k),   k < 32
//   ttyUSB<k> -> COM(33 + k),  k < 64
//   ttyACM<k> -> COM(97 + k),  k < 64
//   ttyAMA<k> -> COM(161 + k), k < 16
//   rfcomm<k> -> COM(177 + k), k < 16
#pragma once
#include <string>
#include <vector>

// Test hook: read another tree instead of /sys/class/tty and /dev.
void SetPortMapRoots(const char* sysClassTty, const char* dev);

// The folders the map reads: /sys/class/tty and /dev, or a test's stand-ins.
std::string PortMapTtyRoot();
std::string PortMapDevRoot();

// The COM number of a device name such as "ttyUSB1", or -1.
int ComNumberForDevice(const char* deviceName);

// A port the map holds: its COM number and its tty ("ttyUSB1").
struct MappedTty {
    int com;
    std::string tty;
};

// The map read afresh, in COM order.
std::vector<MappedTty> ListMappedTtys();

// The COM number of a tty the map holds (one with hardware behind it), or -1.
int MappedComNumber(const std::string& ttyName);

// The sysfs folder of the USB device a tty hangs off, or empty.
std::string UsbDeviceFolder(const std::string& ttyName);
