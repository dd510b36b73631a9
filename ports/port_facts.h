// What a look at one port finds, for `orvane-flash doctor`: the device, who
// may open it, who holds it, and what on the system may take it away. The
// platform gathers the facts; JudgePort (port_doctor.h) judges them.
#pragma once
#include <cstdio>
#include <string>
#include <vector>

#include "ports/port_details.h"
#include "serial/serial.h"

struct PortHolder {
    int pid;
    std::string name;
};

// "1234 (minicom), 5678 (screen)", or with `pidsOnly` "1234 5678".
inline std::string HolderList(const std::vector<PortHolder>& holders, bool pidsOnly) {
    std::string text;
    for (const PortHolder& h : holders) {
        text += (text.empty() ? "" : pidsOnly ? " " : ", ") + std::to_string(h.pid);
        if (!pidsOnly) text += " (" + h.name + ")";
    }
    return text;
}

// A file's permission bits in octal, as in "mode 0660".
inline std::string ModeText(unsigned mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", mode & 07777);
    return text;
}

struct PortFacts {
    std::string given;    // as the user named it
    PortDetails details;  // device, stable names, USB ids, driver, latency timer
    bool windows = false;
    bool exists = false;
    bool isSerial = false;  // a terminal device; on Windows, a port of the system's map
    bool pseudoTerminal = false;
    bool openTried = false;  // opened and closed again as an upgrade opens it
    SerialOpenFailure openFailure = SerialOpenOk;

    // Who may open it (Linux).
    std::string owner, group;
    unsigned mode = 0;
    bool mayOpen = true;
    std::string userName;
    bool groupMayUse = false;    // the group may read and write it, and is not root's
    bool inGroupListed = false;  // the group database lists the user in the device's group
    bool inGroupNow = false;     // this login carries that group
    std::string serialGroup;     // the system's group for serial ports ("dialout", "uucp")

    // Other processes with the device open; a pseudo-terminal's far end is none.
    std::vector<PortHolder> holders;

    // What else may take the port (Linux).
    bool udevSeesIt = false;   // udev holds an entry for it, so ModemManager and brltty may act
    std::string usbPath;       // udev's ID_PATH of the USB socket, or empty
    std::string usbDevice;     // the USB device's sysfs name ("1-1.4"), or empty
    std::string usbInterface;  // udev's ID_USB_INTERFACE_NUM ("00"), or empty
    bool modemManagerRunning = false;
    bool modemManagerIgnores = false;
    bool brlttyInstalled = false;
    std::string brlttyRule;  // the brltty rule file that names this adapter's chip, or empty

    std::string latencyFix;  // how to lower the latency timer here, as one clause
};

// The platform's look at a port named as the user names one for an upgrade.
PortFacts GatherPortFacts(const std::string& given);
