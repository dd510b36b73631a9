// A udev rule for one USB serial adapter: a stable link /dev/NAME, access for
// the logged-in user and the serial group, ModemManager told to leave it
// alone and, for FTDI, a 1 ms latency timer. It matches the adapter by its
// USB serial number or, when it has none, by the USB socket it is plugged into.
#pragma once
#include <string>

#include "ports/port_facts.h"

// The rule file's text, comments saying where to save it and how to reload
// udev included; false with the reason when the port has no USB adapter or
// its ids, socket or interface cannot go into a match literally. The
// device's own text reaches the comments only escaped (\xNN, \\), and the
// serial number a match only when udev takes every character of it as it is.
bool MakeUdevRule(const PortFacts& facts, const std::string& name, std::string& rule,
                  std::string& why);

// "scanner-A10K3Q7", or after the socket when there is no usable serial
// number; always a valid link name.
std::string DefaultLinkName(const PortFacts& facts);

// Letters, digits, '.', '_' and '-', as a file name under /dev and /etc.
bool LinkNameIsValid(const std::string& name);

// Where the rule goes: before the seat rules (73-) that act on TAG "uaccess".
std::string UdevRuleFile(const std::string& name);
