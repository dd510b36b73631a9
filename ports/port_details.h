// What the system tells about its serial ports beyond the map's COM numbers:
// for listings, for the doctor and for hints.
#pragma once
#include <string>
#include <vector>

struct PortDetails {
    std::string name;    // "COM34"
    std::string device;  // "/dev/ttyUSB1", "\\.\COM5"
    std::string byId;    // a /dev/serial/by-id link to it, or empty
    std::string byPath;  // a /dev/serial/by-path link to it (the USB socket), or empty
    // The USB device behind it, when there is one: ids in hex, the maker's
    // name, its serial number.
    std::string vendorId, productId, vendor, serial;
    std::string description;  // the product's own text, or the driver's name for the port
    std::string driver;       // the kernel driver ("ftdi_sio"), or the kind of driver on Windows
    int latencyMs = -1;       // the adapter's latency timer; -1 when it has none or it is unknown
    std::string latencySetting;  // where that timer is set: a sysfs attribute, a registry key
};

// The ports of the system's map, in COM order.
std::vector<PortDetails> ListPortDetails();

// The details of one device (a path, or "\\.\COM5"); false when the system's
// map does not hold it.
bool DetailsOfDevice(const std::string& device, PortDetails& details);

// How to lower this adapter's latency timer on this system, as one clause.
std::string LatencyTimerFix(const PortDetails& details);
