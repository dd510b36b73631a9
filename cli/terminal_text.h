// Text that came from outside (a file, a device, the scanner, an argument)
// made safe to show on a terminal: shown, never obeyed.
#pragma once
#include <string>

// Control characters as "\n", "\r", "\t" or "\x1b", and bytes that are not
// UTF-8 or are C1 controls as "\xNN"; printable UTF-8 stays as it is.
std::string TerminalText(const std::string& text);
