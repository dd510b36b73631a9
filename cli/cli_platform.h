// What the command-line front end needs of the platform.
#pragma once
#include "serial/serial.h"

bool StdinIsTerminal();
bool StderrIsTerminal();
int TerminalColumns();  // 80 when unknown

// Blocks until the user interrupts (Ctrl-C) or the process is asked to stop.
void WaitForInterrupt();

// One line on standard error naming the likely fix for a port that did not open.
void PrintOpenFailureHint(const char* device, SerialOpenFailure why);
