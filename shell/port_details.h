// What the system tells about its serial ports beyond their COM numbers: for
// listings, for turning what a user typed into a device, and for hints.
#pragma once
#include <string>
#include <vector>

#include "serial/serial.h"

struct PortDetails {
    std::string name;    // "COM34"
    std::string device;  // "/dev/ttyUSB1", "\\.\COM5"
    std::string byId;    // a /dev/serial/by-id link to it, or empty
    // The USB device behind it, when there is one: ids in hex, the maker's
    // name, its serial number.
    std::string vendorId, productId, vendor, serial;
    std::string description;  // the product's own text, or the driver's name for the port
};

// The ports of the system's map, in COM order.
std::vector<PortDetails> ListPortDetails();

// A link resolved to the device it names, and a bare device name ("ttyUSB0")
// as its path; anything else (a COM name, a missing path) as given.
std::string ResolvePortName(const std::string& given);

// The device is there right now (it may still be busy or refused).
bool PortDeviceExists(const std::string& device);

// Why the device did not open and what would help, as one sentence.
std::string ExplainOpenFailure(const std::string& device, SerialOpenFailure why);
