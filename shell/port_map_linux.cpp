#include "shell/port_map_linux.h"

#include <strings.h>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "shell/port_map.h"

namespace fs = std::filesystem;

namespace {

struct Family {
    const char* prefix;
    int first;
    int count;
};

const Family families[] = {{"ttyS", 1, 32},
                           {"ttyUSB", 33, 64},
                           {"ttyACM", 97, 64},
                           {"ttyAMA", 161, 16},
                           {"rfcomm", 177, 16}};

std::string sysRoot = "/sys/class/tty";
std::string devRoot = "/dev";

struct PortEntry {
    int com;
    std::string device;
    std::string label;
};

std::vector<PortEntry> snapshot;
bool snapshotTaken = false;

std::string ReadLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

// An 8250 port with no UART behind it reports type 0.
bool HasHardware(const fs::path& entry, const std::string& device) {
    std::error_code ec;
    if (!fs::exists(entry / "device", ec)) return false;
    if (device.compare(0, 4, "ttyS") != 0) return true;
    std::string type = ReadLine(entry / "type");
    return type.empty() || std::atoi(type.c_str()) != 0;
}

// The USB device a port hangs off (the first folder above it with a vendor
// id), or an empty path.
fs::path UsbDevice(const fs::path& entry) {
    std::error_code ec;
    fs::path dir = fs::canonical(entry / "device", ec);
    for (int up = 0; !ec && up < 4 && !dir.empty(); ++up, dir = dir.parent_path())
        if (fs::exists(dir / "idVendor", ec) || fs::exists(dir / "product", ec)) return dir;
    return fs::path();
}

std::string UsbProduct(const fs::path& entry) {
    fs::path usb = UsbDevice(entry);
    return usb.empty() ? std::string() : ReadLine(usb / "product");
}

bool IsComName(const std::string& text) {
    return text.size() >= 3 && strncasecmp(text.c_str(), "com", 3) == 0;
}

void TakeSnapshot() {
    snapshot.clear();
    snapshotTaken = true;
    std::error_code ec;
    for (const fs::directory_entry& e : fs::directory_iterator(sysRoot, ec)) {
        std::string device = e.path().filename().string();
        int com = ComNumberForDevice(device.c_str());
        if (com < 0 || !HasHardware(e.path(), device)) continue;
        std::string label = "COM" + std::to_string(com) + " " + device;
        std::string product = UsbProduct(e.path());
        if (!product.empty()) label += " " + product;
        snapshot.push_back({com, device, label});
    }
    std::sort(snapshot.begin(), snapshot.end(),
              [](const PortEntry& a, const PortEntry& b) { return a.com < b.com; });
}

bool CopyText(const std::string& text, char* out, int capacity) {
    return std::snprintf(out, capacity, "%s", text.c_str()) < capacity;
}

}  // namespace

void SetPortMapRoots(const char* sysClassTty, const char* dev) {
    sysRoot = sysClassTty ? sysClassTty : "/sys/class/tty";
    devRoot = dev ? dev : "/dev";
    snapshotTaken = false;
}

std::string PortMapTtyRoot() {
    return sysRoot;
}

std::string PortMapDevRoot() {
    return devRoot;
}

int ComNumberForDevice(const char* deviceName) {
    for (const Family& f : families) {
        size_t len = std::strlen(f.prefix);
        const char* digits = deviceName + len;
        if (std::strncmp(deviceName, f.prefix, len) != 0 || *digits == 0) continue;
        if (std::strspn(digits, "0123456789") != std::strlen(digits)) continue;
        long k = std::strtol(digits, nullptr, 10);
        if (k < f.count) return f.first + static_cast<int>(k);
    }
    return -1;
}

// The map is read afresh at position 0; later positions read the same snapshot.
bool ReadPortMapValue(uint32_t index, char* name, int nameCapacity, char* data, int dataCapacity) {
    if (index == 0 || !snapshotTaken) TakeSnapshot();
    if (index >= snapshot.size()) return false;
    const PortEntry& p = snapshot[index];
    return CopyText(devRoot + "/" + p.device, name, nameCapacity) &&
           CopyText(p.label, data, dataCapacity);
}

bool FormatPortDevice(int n, char* path, int capacity) {
    for (const Family& f : families) {
        if (n < f.first || n >= f.first + f.count) continue;
        return std::snprintf(path, capacity, "%s/%s%d", devRoot.c_str(), f.prefix, n - f.first) <
               capacity;
    }
    return false;
}

bool PortEntryIsDevicePath(const char* entry) {
    return entry[0] == '/';
}

std::vector<MappedTty> ListMappedTtys() {
    TakeSnapshot();
    std::vector<MappedTty> ttys;
    for (const PortEntry& p : snapshot) ttys.push_back({p.com, p.device});
    return ttys;
}

int MappedComNumber(const std::string& ttyName) {
    int com = ComNumberForDevice(ttyName.c_str());
    return com >= 0 && HasHardware(fs::path(sysRoot) / ttyName, ttyName) ? com : -1;
}

std::string UsbDeviceFolder(const std::string& ttyName) {
    return UsbDevice(fs::path(sysRoot) / ttyName).string();
}

std::string ResolvePortName(const std::string& given) {
    std::error_code ec;
    if (given.find('/') != std::string::npos) {
        fs::path device = fs::canonical(given, ec);
        return ec ? given : device.string();
    }
    if (given.empty() || IsComName(given)) return given;
    fs::path bare = fs::path(devRoot) / given;
    return fs::exists(bare, ec) ? bare.string() : given;
}

bool PortDeviceExists(const std::string& device) {
    std::error_code ec;
    return fs::exists(device, ec);
}
