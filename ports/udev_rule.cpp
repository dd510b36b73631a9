#include "ports/udev_rule.h"

#include <cstdio>

namespace {

// A value that goes into a rule (a match or an assignment) must be one udev
// takes literally: no quote to end it, no '*', '?', '[' or '|' of a pattern.
bool SafeCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-' || c == ':';
}

bool NameCharacter(char c) {
    return SafeCharacter(c) && c != ':';
}

bool AllSafe(const std::string& text) {
    if (text.empty()) return false;
    for (char c : text)
        if (!SafeCharacter(c)) return false;
    return true;
}

bool IsHexId(const std::string& id) {
    if (id.size() != 4) return false;
    for (char c : id)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))
            return false;
    return true;
}

// A serial number udev matches literally in ATTRS{serial}=="...".
bool SerialIsUsable(const std::string& serial) {
    if (serial.empty()) return false;
    for (char c : serial)
        if (!SafeCharacter(c) && c != '+') return false;
    return true;
}

// Text from the device or sysfs as a comment may carry it: printable ASCII
// as it is, a backslash doubled, anything else as \xNN, so that no line end
// (udev ends a line at '\r' too) or control character gets through.
std::string Escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        unsigned char b = static_cast<unsigned char>(c);
        if (c == '\\') {
            out += "\\\\";
        } else if (b >= 0x20 && b <= 0x7e) {
            out += c;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", b);
            out += hex;
        }
    }
    return out;
}

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

// The key that stands for the USB socket: udev's path of it, or else the USB
// device's sysfs name; empty when neither can be matched literally.
std::string SocketKey(const PortFacts& f) {
    if (AllSafe(f.usbPath)) return "ENV{ID_PATH}==" + Quoted(f.usbPath);
    if (AllSafe(f.usbDevice)) return "KERNELS==" + Quoted(f.usbDevice);
    return std::string();
}

std::string SocketName(const PortFacts& f) {
    return AllSafe(f.usbPath) ? f.usbPath : f.usbDevice;
}

// The keys that pick out this adapter and no other.
std::string Match(const PortFacts& f) {
    const PortDetails& d = f.details;
    std::string match = "SUBSYSTEM==\"tty\", ATTRS{idVendor}==" + Quoted(d.vendorId) +
                        ", ATTRS{idProduct}==" + Quoted(d.productId) + ", ";
    match += SerialIsUsable(d.serial) ? "ATTRS{serial}==" + Quoted(d.serial) : SocketKey(f);
    if (!f.usbInterface.empty()) match += ", ENV{ID_USB_INTERFACE_NUM}==" + Quoted(f.usbInterface);
    return match;
}

std::string Group(const PortFacts& f) {
    return f.serialGroup.empty() ? std::string("dialout") : f.serialGroup;
}

std::string Actions(const PortFacts& f, const std::string& name) {
    std::string actions = "SYMLINK+=" + Quoted(name) + ", GROUP=" + Quoted(Group(f)) +
                          ", MODE=\"0660\", TAG+=\"uaccess\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"";
    if (f.details.driver == "ftdi_sio") actions += ", ATTR{device/latency_timer}=\"1\"";
    return actions;
}

// How the rule tells this adapter from others, for the comment.
std::string MatchedBy(const PortFacts& f) {
    const std::string& serial = f.details.serial;
    if (SerialIsUsable(serial)) return "its serial number " + serial;
    std::string why = serial.empty() ? "it has no serial number"
                                     : "it has no serial number udev can match literally, only " +
                                           Escaped(serial);
    return "the USB socket " + SocketName(f) + " (" + why + "): another socket needs another rule";
}

std::string Header(const PortFacts& f, const std::string& name) {
    const PortDetails& d = f.details;
    std::string what = d.vendor.empty() ? d.description : d.vendor + " " + d.description;
    return "# " + UdevRuleFile(name) + "\n# " + Escaped(what) + " (" + d.vendorId + ":" +
           d.productId + "), now " + Escaped(d.device) + ", matched by " + MatchedBy(f) +
           ".\n# Save it there, then reload udev and apply it (or plug the adapter in again):\n"
           "#   sudo udevadm control --reload-rules\n"
           "#   sudo udevadm trigger --action=add --subsystem-match=tty\n"
           "# It gives /dev/" +
           name + ", access for the logged-in user and the group, keeps ModemManager away" +
           (d.driver == "ftdi_sio" ? " and sets a 1 ms latency timer" : "") + ".\n";
}

// Why no rule can be made from these facts; empty when one can. The reasons
// carry the device's text raw: whoever shows them escapes them.
std::string Refusal(const PortFacts& f, const std::string& name) {
    const PortDetails& d = f.details;
    if (d.vendorId.empty() || d.productId.empty())
        return f.given +
               " is no USB adapter: a rule finds an adapter by its USB ids and serial number "
               "or socket";
    if (!IsHexId(d.vendorId) || !IsHexId(d.productId))
        return f.given + " gives USB ids " + d.vendorId + ":" + d.productId +
               ", not four hex digits each";
    if (!SerialIsUsable(d.serial) && SocketKey(f).empty())
        return f.given +
               (d.serial.empty() ? " has no serial number"
                                 : " has no serial number udev can match literally") +
               (f.usbPath.empty() && f.usbDevice.empty()
                    ? ", and its USB socket is unknown"
                    : ", and the name of its USB socket, " +
                          (f.usbPath.empty() ? f.usbDevice : f.usbPath) +
                          ", holds characters a udev match cannot take literally");
    if (!f.usbInterface.empty() && !AllSafe(f.usbInterface))
        return f.given + " gives the USB interface number " + f.usbInterface +
               ", not one udev can match literally";
    if (!LinkNameIsValid(Group(f)))
        return "the serial group " + Group(f) + " is no name a rule can give";
    if (!LinkNameIsValid(name)) return name + " is no name for a link under /dev";
    return std::string();
}

}  // namespace

bool LinkNameIsValid(const std::string& name) {
    if (name.empty() || name.size() > 64 || name[0] == '.' || name[0] == '-') return false;
    for (char c : name)
        if (!NameCharacter(c)) return false;
    return true;
}

// Cut to fit LinkNameIsValid's 64 characters; --name picks another.
std::string DefaultLinkName(const PortFacts& f) {
    std::string tail = SerialIsUsable(f.details.serial) ? f.details.serial : f.usbDevice;
    for (char& c : tail)
        if (!NameCharacter(c)) c = '_';
    return ("scanner-" + tail).substr(0, 64);
}

std::string UdevRuleFile(const std::string& name) {
    return "/etc/udev/rules.d/70-orvane-" + name + ".rules";
}

bool MakeUdevRule(const PortFacts& f, const std::string& name, std::string& rule,
                  std::string& why) {
    why = Refusal(f, name);
    if (!why.empty()) return false;
    rule = Header(f, name) + Match(f) + ", " + Actions(f, name) + "\n";
    return true;
}
