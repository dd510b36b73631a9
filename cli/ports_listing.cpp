#include "cli/ports_listing.h"

#include <cstdio>
#include <string>

#include "cli/options.h"
#include "cli/terminal_text.h"

namespace {

using Json = nlohmann::json;

Json TextOrNull(const std::string& text) {
    return text.empty() ? Json(nullptr) : Json(text);
}

// "ftdi_sio  latency timer 16 ms"
std::string DriverLine(const PortDetails& p) {
    std::string line = p.driver;
    if (p.latencyMs >= 0)
        line += (line.empty() ? "" : "  ") + std::string("latency timer ") +
                std::to_string(p.latencyMs) + " ms";
    return line;
}

std::string UsbLine(const PortDetails& p) {
    std::string line;
    if (!p.vendorId.empty()) line = p.vendorId + ":" + p.productId;
    for (const std::string* part : {&p.vendor, &p.description})
        if (!part->empty()) line += (line.empty() ? "" : "  ") + *part;
    if (!p.serial.empty()) line += (line.empty() ? "serial " : "  serial ") + p.serial;
    return line;
}

// An indented line of a port's details, shown escaped; none when empty.
void Detail(const char* label, const std::string& text) {
    if (!text.empty()) std::printf("       %s%s\n", label, TerminalText(text).c_str());
}

}  // namespace

Json PortJson(const PortDetails& p) {
    Json usb = nullptr;
    if (!p.vendorId.empty())
        usb = {{"vendor_id", p.vendorId},
               {"product_id", p.productId},
               {"vendor", TextOrNull(p.vendor)},
               {"serial", TextOrNull(p.serial)}};
    return {{"name", p.name},
            {"device", p.device},
            {"by_id", TextOrNull(p.byId)},
            {"by_path", TextOrNull(p.byPath)},
            {"description", TextOrNull(p.description)},
            {"driver", TextOrNull(p.driver)},
            {"latency_ms", p.latencyMs >= 0 ? Json(p.latencyMs) : Json(nullptr)},
            {"usb", usb}};
}

// One line per port that scripts can take apart (name, then device), the
// details indented below it.
int ListPorts(bool json) {
    std::vector<PortDetails> ports = ListPortDetails();
    if (json) {
        Json list = Json::array();
        for (const PortDetails& p : ports) list.push_back(PortJson(p));
        std::string text =
            Json{{"ports", list}}.dump(2, ' ', false, Json::error_handler_t::replace);
        std::printf("%s\n", text.c_str());
        return ExitSuccess;
    }
    // Every text but the COM name comes from sysfs, udev or the device itself.
    for (const PortDetails& p : ports) {
        std::printf("%-6s %s\n", TerminalText(p.name).c_str(), TerminalText(p.device).c_str());
        Detail("by-id: ", p.byId);
        Detail("by-path: ", p.byPath);
        Detail(p.vendorId.empty() ? "" : "usb: ", UsbLine(p));
        Detail("driver: ", DriverLine(p));
    }
    if (ports.empty()) std::fputs("no serial ports found\n", stderr);
    return ExitSuccess;
}
