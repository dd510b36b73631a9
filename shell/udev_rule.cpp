#include "shell/udev_rule.h"

namespace {

bool NameCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-';
}

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

// A serial number fit for a rule: printable, with nothing udev would take
// for a pattern or the end of the value.
bool SerialIsUsable(const std::string& serial) {
    if (serial.empty()) return false;
    for (char c : serial)
        if (c < 0x21 || c > 0x7e || c == '"' || c == '*' || c == '?' || c == '[' || c == '\\')
            return false;
    return true;
}

// The keys that pick out this adapter and no other.
std::string Match(const PortFacts& f) {
    const PortDetails& d = f.details;
    std::string match = "SUBSYSTEM==\"tty\", ATTRS{idVendor}==" + Quoted(d.vendorId) +
                        ", ATTRS{idProduct}==" + Quoted(d.productId);
    if (SerialIsUsable(d.serial))
        match += ", ATTRS{serial}==" + Quoted(d.serial);
    else if (!f.usbPath.empty())
        match += ", ENV{ID_PATH}==" + Quoted(f.usbPath);
    else
        match += ", KERNELS==" + Quoted(f.usbDevice);
    if (!f.usbInterface.empty()) match += ", ENV{ID_USB_INTERFACE_NUM}==" + Quoted(f.usbInterface);
    return match;
}

std::string Actions(const PortFacts& f, const std::string& name) {
    std::string group = f.serialGroup.empty() ? std::string("dialout") : f.serialGroup;
    std::string actions = "SYMLINK+=" + Quoted(name) + ", GROUP=" + Quoted(group) +
                          ", MODE=\"0660\", TAG+=\"uaccess\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"";
    if (f.details.driver == "ftdi_sio") actions += ", ATTR{device/latency_timer}=\"1\"";
    return actions;
}

std::string Header(const PortFacts& f, const std::string& name) {
    const PortDetails& d = f.details;
    std::string what = d.vendor.empty() ? d.description : d.vendor + " " + d.description;
    std::string by = SerialIsUsable(d.serial)
                         ? "its serial number " + d.serial
                         : "the USB socket " + (f.usbPath.empty() ? f.usbDevice : f.usbPath) +
                               " (it has no serial number): another socket needs another rule";
    return "# " + UdevRuleFile(name) + "\n# " + what + " (" + d.vendorId + ":" + d.productId +
           "), now " + d.device + ", matched by " + by +
           ".\n# Save it there, then reload udev and apply it (or plug the adapter in again):\n"
           "#   sudo udevadm control --reload-rules\n"
           "#   sudo udevadm trigger --action=add --subsystem-match=tty\n"
           "# It gives /dev/" +
           name + ", access for the logged-in user and the group, keeps ModemManager away" +
           (d.driver == "ftdi_sio" ? " and sets a 1 ms latency timer" : "") + ".\n";
}

}  // namespace

bool LinkNameIsValid(const std::string& name) {
    if (name.empty() || name.size() > 64 || name[0] == '.' || name[0] == '-') return false;
    for (char c : name)
        if (!NameCharacter(c)) return false;
    return true;
}

std::string DefaultLinkName(const PortFacts& f) {
    std::string tail = SerialIsUsable(f.details.serial) ? f.details.serial : f.usbDevice;
    for (char& c : tail)
        if (!NameCharacter(c)) c = '_';
    return "scanner-" + tail;
}

std::string UdevRuleFile(const std::string& name) {
    return "/etc/udev/rules.d/70-orvane-" + name + ".rules";
}

bool MakeUdevRule(const PortFacts& f, const std::string& name, std::string& rule,
                  std::string& why) {
    const PortDetails& d = f.details;
    if (d.vendorId.empty() || d.productId.empty()) {
        why = f.given +
              " is no USB adapter: a rule finds an adapter by its USB ids and serial number "
              "or socket";
        return false;
    }
    if (!SerialIsUsable(d.serial) && f.usbPath.empty() && f.usbDevice.empty()) {
        why = f.given + " has no serial number, and its USB socket is unknown";
        return false;
    }
    rule = Header(f, name) + Match(f) + ", " + Actions(f, name) + "\n";
    return true;
}
