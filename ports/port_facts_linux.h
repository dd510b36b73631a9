// The look at a port on Linux, and its test hooks: a whole system under
// another root, and another user.
#pragma once
#include <string>
#include <vector>

#include "ports/port_facts.h"

// Every system path (/sys, /dev, /proc, /run/udev, /etc, the udev rule folders,
// /usr/bin) read below `root`; nullptr for the real system. Under another
// root no trial open is made.
void SetSystemRoot(const char* root);

struct DoctorUser {
    int uid;
    int gid;
    std::vector<int> groups;  // what this login carries
    std::string name;
};

// nullptr: the user running this process.
void SetDoctorUser(const DoctorUser* user);

// Processes with the device open, this one left out. The process that holds
// the master of pseudo-terminal `ptyIndex` is its far end, not a holder; -1
// for a device that is no pseudo-terminal.
std::vector<PortHolder> Holders(const std::string& device, int ptyIndex);

// brltty is installed (it takes CH340 and CP210x adapters on some desktops).
bool BrlttyInstalled();
