// What both Windows programs set up before anything else.
#pragma once

// The key code's tick count comes from GetTickCount, and standard output is
// binary, so that the received-byte trace goes out unchanged (no CR added
// before each LF).
void PrepareWindowsProgram();
