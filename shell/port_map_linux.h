// Linux serial-port map: real serial devices under /sys/class/tty, each given a COM number.
//   ttyS<k>   -> COM(1 + k),   k < 32
//   ttyUSB<k> -> COM(33 + k),  k < 64
//   ttyACM<k> -> COM(97 + k),  k < 64
//   ttyAMA<k> -> COM(161 + k), k < 16
//   rfcomm<k> -> COM(177 + k), k < 16
#pragma once
#include <string>

// Test hook: read another tree instead of /sys/class/tty and /dev.
void SetPortMapRoots(const char* sysClassTty, const char* dev);

// The COM number of a device name such as "ttyUSB1", or -1.
int ComNumberForDevice(const char* deviceName);

// The sysfs name of the USB device a tty hangs off ("1-1.4"), or empty.
std::string UsbDeviceOf(const std::string& ttyName);
