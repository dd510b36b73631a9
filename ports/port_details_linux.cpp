// A Linux port's details: sysfs for the driver, the USB device and the
// latency timer, /dev/serial for its stable names.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ports/port_details.h"
#include "shell/port_map_linux.h"

namespace fs = std::filesystem;

namespace {

std::string ReadLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

// The /dev/serial/<folder> link that leads to `device`, if any.
std::string StableLink(const std::string& device, const char* folder) {
    std::error_code ec;
    fs::path target = fs::weakly_canonical(device, ec);
    for (const fs::directory_entry& link :
         fs::directory_iterator(PortMapDevRoot() + "/serial/" + folder, ec)) {
        std::error_code linkError;
        fs::path leadsTo = fs::canonical(link.path(), linkError);
        if (!linkError && leadsTo == target) return link.path().string();
    }
    return std::string();
}

// The driver's name and, where it has one (FTDI), its latency timer. The
// serial core's own port and controller devices stand between an 8250 port
// and its driver.
void ReadDriver(const fs::path& entry, PortDetails& d) {
    fs::path dir = entry / "device";
    for (int up = 0; up < 3; ++up, dir /= "..") {
        std::error_code ec;
        std::string driver = fs::read_symlink(dir / "driver", ec).string();
        if (ec) break;
        if (driver.find("/serial-base/") != std::string::npos) continue;
        d.driver = fs::path(driver).filename().string();
        break;
    }
    fs::path latency = entry / "device/latency_timer";
    std::string value = ReadLine(latency);
    if (value.empty()) return;
    d.latencyMs = std::atoi(value.c_str());
    d.latencySetting = latency.string();
}

PortDetails DetailsOf(const MappedTty& p) {
    PortDetails d;
    d.name = "COM" + std::to_string(p.com);
    d.device = PortMapDevRoot() + "/" + p.tty;
    d.byId = StableLink(d.device, "by-id");
    d.byPath = StableLink(d.device, "by-path");
    ReadDriver(fs::path(PortMapTtyRoot()) / p.tty, d);
    fs::path usb = UsbDeviceFolder(p.tty);
    if (!usb.empty()) {
        d.vendorId = ReadLine(usb / "idVendor");
        d.productId = ReadLine(usb / "idProduct");
        d.vendor = ReadLine(usb / "manufacturer");
        d.description = ReadLine(usb / "product");
        d.serial = ReadLine(usb / "serial");
    }
    return d;
}

}  // namespace

std::vector<PortDetails> ListPortDetails() {
    std::vector<PortDetails> ports;
    for (const MappedTty& p : ListMappedTtys()) ports.push_back(DetailsOf(p));
    return ports;
}

bool DetailsOfDevice(const std::string& device, PortDetails& details) {
    std::error_code ec;
    std::string name = fs::canonical(device, ec).filename().string();
    int com = ec ? -1 : MappedComNumber(name);
    if (com < 0) return false;
    details = DetailsOf({com, name});
    return true;
}

std::string LatencyTimerFix(const PortDetails& d) {
    if (!d.latencySetting.empty())
        return "echo 1 | sudo tee " + d.latencySetting +
               " (until it is unplugged), or for good a udev rule: orvane-flash doctor "
               "--udev-rule -p " +
               d.device;
    std::string driver = d.driver.empty() ? "" : " (" + d.driver + ")";
    return "its driver" + driver +
           " has no latency timer to lower; an FTDI adapter, whose timer can be set to 1 ms, "
           "answers sooner";
}
