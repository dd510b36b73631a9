// Command-line platform services on Windows.
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "cli/cli_platform.h"
#include "shell/startup_win32.h"

namespace {

struct WindowsStartUp {
    WindowsStartUp() { PrepareWindowsProgram(); }
} windowsStartUp;

HANDLE interrupted = nullptr;

BOOL WINAPI OnConsoleControl(DWORD kind) {
    if (kind != CTRL_C_EVENT && kind != CTRL_BREAK_EVENT && kind != CTRL_CLOSE_EVENT) return FALSE;
    SetEvent(interrupted);
    return TRUE;
}

// "COM5" rather than "\\.\COM5".
const char* PortName(const char* device) {
    return std::strncmp(device, "\\\\.\\", 4) == 0 ? device + 4 : device;
}

}  // namespace

bool StdinIsTerminal() {
    return _isatty(_fileno(stdin)) != 0;
}
bool StderrIsTerminal() {
    return _isatty(_fileno(stderr)) != 0;
}

int TerminalColumns() {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) return 80;
    int columns = info.srWindow.Right - info.srWindow.Left + 1;
    return columns > 20 ? columns : 80;
}

// The handler runs on a thread of its own; it only wakes the waiting one.
void WaitForInterrupt() {
    interrupted = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!interrupted) return;
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    WaitForSingleObject(interrupted, INFINITE);
    SetConsoleCtrlHandler(OnConsoleControl, FALSE);
}

void PrintOpenFailureHint(const char* device, SerialOpenFailure why) {
    const char* name = PortName(device);
    switch (why) {
        case SerialBusy:
        case SerialDenied:
            std::fprintf(stderr,
                         "hint: %s is in use by another program (a terminal, a modem or sync "
                         "tool); close it first\n",
                         name);
            break;
        case SerialNoDevice:
            std::fprintf(stderr,
                         "hint: %s is not there any more; plug the cable in again and check the "
                         "port in Device Manager\n",
                         name);
            break;
        case SerialNotSerial:
            std::fprintf(stderr, "hint: %s is not a serial port\n", name);
            break;
        default:
            std::fprintf(stderr, "hint: %s could not be opened\n", name);
            break;
    }
}
