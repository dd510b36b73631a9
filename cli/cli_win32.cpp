// Command-line platform services on Windows.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <shellapi.h>  // after windows.h, which it needs

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>

#include <atomic>

#include "cli/cli_platform.h"
#include "events/upgrade_record.h"
#include "shell/startup_win32.h"

namespace {

void (*interruptHandler)(int) = nullptr;
bool (*programEnd)(int) = nullptr;
std::atomic<bool> interruptSeen{false};  // ends a question waiting for its answer

// The console's mode before QuickEdit was turned off, to put back.
DWORD savedInputMode = 0;
bool inputModeSaved = false;

bool IsConsole(DWORD which) {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(which), &mode) != 0;
}

// Ctrl-C and Ctrl-Break count as SIGINT, closing the console as SIGHUP. The
// console's close ends the process once the handler returns, so that one
// waits a little for the program to end by itself.
BOOL WINAPI OnConsoleControl(DWORD kind) {
    if (!interruptHandler) return FALSE;
    switch (kind) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            interruptSeen = true;
            interruptHandler(2);
            return TRUE;
        case CTRL_CLOSE_EVENT:
            interruptSeen = true;
            interruptHandler(1);
            if (programEnd) programEnd(4000);
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

void PreparePlatform() {
    PrepareWindowsProgram();
}

// QuickEdit (on by default) blocks every write to the console while the user
// has a selection in it: one click would stall the upgrade's output.
void KeepConsoleFlowing() {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (!GetConsoleMode(in, &mode) || !(mode & ENABLE_QUICK_EDIT_MODE)) return;
    savedInputMode = mode;
    inputModeSaved = true;
    SetConsoleMode(in, (mode & ~ENABLE_QUICK_EDIT_MODE) | ENABLE_EXTENDED_FLAGS);
}

void RestoreConsole() {
    if (inputModeSaved) SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), savedInputMode);
    inputModeSaved = false;
}

bool StdinIsConsole() {
    return IsConsole(STD_INPUT_HANDLE);
}
bool StderrIsTerminal() {
    return IsConsole(STD_ERROR_HANDLE);
}
bool StdoutSharesTerminal() {
    return IsConsole(STD_OUTPUT_HANDLE) && IsConsole(STD_ERROR_HANDLE);
}

int TerminalColumns() {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) return 80;
    int columns = info.srWindow.Right - info.srWindow.Left + 1;
    return columns > 20 ? columns : 80;
}

bool EnableTerminalControls() {
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    return GetConsoleMode(err, &mode) && SetConsoleMode(err, mode | 0x0004);
}

namespace {

enum { ParentLookMs = 50 };

std::thread parentWatcher;
std::atomic<bool> stopWatching{false};

// A pipe cannot be waited on together with a stop flag: it is looked at
// often instead, so the watcher can be ended and joined.
void WatchParent(void (*onRequest)(char)) {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    while (!stopWatching) {
        DWORD waiting = 0;
        if (!PeekNamedPipe(in, nullptr, 0, nullptr, &waiting, nullptr)) break;
        if (waiting == 0) {
            Sleep(ParentLookMs);
            continue;
        }
        char requests[64];
        DWORD got = 0;
        if (!ReadFile(in, requests, waiting < sizeof requests ? waiting : sizeof requests, &got,
                      nullptr) ||
            got == 0)
            break;
        for (DWORD i = 0; i < got; ++i) onRequest(requests[i]);
    }
    if (!stopWatching) onRequest(0);
}

}  // namespace

void WatchInterrupts(void (*onInterrupt)(int), bool (*waitForEnd)(int),
                     void (*onParentRequest)(char)) {
    interruptHandler = onInterrupt;
    programEnd = waitForEnd;
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    if (onParentRequest) parentWatcher = std::thread(WatchParent, onParentRequest);
}

void StopWatching() {
    stopWatching = true;
    if (parentWatcher.joinable()) parentWatcher.join();
}

void EndProgramNow(int status, const char* line) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), line, static_cast<DWORD>(std::strlen(line)), &written,
              nullptr);
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
    _exit(status);
}

// Ctrl-C ends a console read at once, with nothing read.
bool ReadAnswer(char* line, int capacity) {
    if (!std::fgets(line, capacity, stdin) || interruptSeen) return false;
    line[std::strcspn(line, "\r\n")] = 0;
    return true;
}

namespace {

std::string LastErrorText() {
    char text[256] = "";
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             GetLastError(), 0, text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == '.'))
        text[--n] = 0;
    return n > 0 ? text : "error " + std::to_string(GetLastError());
}

}  // namespace

std::string LocalTimeNow() {
    std::time_t now = std::time(nullptr);
    std::tm local{}, utc{};
    localtime_s(&local, &now);
    gmtime_s(&utc, &now);
    return IsoTimeWithOffset(local, utc);
}

bool OpenInBrowser(const std::string& url) {
    HINSTANCE done = ShellExecuteA(nullptr, "open", url.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    return reinterpret_cast<INT_PTR>(done) > 32;
}

std::FILE* OpenOutputFile(const std::string& path, bool createNew, std::string& why) {
    DWORD access = createNew ? GENERIC_WRITE : FILE_APPEND_DATA;
    HANDLE h = CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           createNew ? CREATE_NEW : OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        why = LastErrorText();
        return nullptr;
    }
    if (GetFileType(h) != FILE_TYPE_DISK) {
        CloseHandle(h);
        why = "not a regular file";
        return nullptr;
    }
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), createNew ? 0 : _O_APPEND);
    std::FILE* file = fd < 0 ? nullptr : _fdopen(fd, createNew ? "wb" : "ab");
    if (!file) {
        why = "cannot use the file";
        if (fd >= 0)
            _close(fd);
        else
            CloseHandle(h);
    }
    return file;
}

MoveResult MoveOutputFile(const std::string& from, const std::string& to, bool replace,
                          std::string& why) {
    if (MoveFileExA(from.c_str(), to.c_str(), replace ? MOVEFILE_REPLACE_EXISTING : 0))
        return Moved;
    DWORD error = GetLastError();
    why = LastErrorText();
    return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? MoveNameTaken : MoveFailed;
}
