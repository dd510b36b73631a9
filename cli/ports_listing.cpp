#include "cli/ports_listing.h"

#include <cstdio>
#include <string>

#include "cli/options.h"
#include "shell/port_details.h"

namespace {

std::string UsbLine(const PortDetails& p) {
    std::string line;
    if (!p.vendorId.empty()) line = p.vendorId + ":" + p.productId;
    for (const std::string* part : {&p.vendor, &p.description})
        if (!part->empty()) line += (line.empty() ? "" : "  ") + *part;
    if (!p.serial.empty()) line += (line.empty() ? "serial " : "  serial ") + p.serial;
    return line;
}

}  // namespace

// One line per port that scripts can take apart (name, then device), the
// details indented below it.
int ListPorts() {
    std::vector<PortDetails> ports = ListPortDetails();
    for (const PortDetails& p : ports) {
        std::printf("%-6s %s\n", p.name.c_str(), p.device.c_str());
        if (!p.byId.empty()) std::printf("       by-id: %s\n", p.byId.c_str());
        std::string usb = UsbLine(p);
        if (!usb.empty())
            std::printf("       %s%s\n", p.vendorId.empty() ? "" : "usb: ", usb.c_str());
    }
    if (ports.empty()) std::fputs("no serial ports found\n", stderr);
    return ExitSuccess;
}
