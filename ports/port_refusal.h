// Why a port did not open, in one sentence, for the front ends to show: after
// a failed open, and beside the dialogs' "Cannot open this com port".
#pragma once
#include <string>

#include "serial/serial.h"

// Why the device did not open and what would help; the platform's own words
// (port_refusal_posix.cpp, port_refusal_win32.cpp).
std::string ExplainOpenFailure(const std::string& device, SerialOpenFailure why);

// The reason the device did not open; or, when the entry names no port of
// this system (false), a sentence that says so.
bool ExplainRefusedPort(const char* entry, std::string& reason);
