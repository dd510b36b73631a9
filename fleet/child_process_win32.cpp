// Child processes on Windows.
#include <windows.h>

#include "fleet/child_process.h"

namespace {

// The quoting the runtime's argument splitting undoes.
std::string Quoted(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
    std::string out = "\"";
    size_t slashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++slashes;
            continue;
        }
        out.append(c == '"' ? 2 * slashes + 1 : slashes, '\\');
        slashes = 0;
        out += c;
    }
    out.append(2 * slashes, '\\');
    return out + "\"";
}

HANDLE Inheritable(HANDLE h) {
    SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    return h;
}

}  // namespace

std::string ProgramPath() {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    return n > 0 && n < sizeof path ? path : "orvane-flash.exe";
}

struct Child {
    HANDLE process = nullptr;
    HANDLE requests = nullptr;  // its standard input
    HANDLE lines = nullptr;     // its standard error
    std::string pending;
};

// A process group of its own: the console's Ctrl-C reaches only the parent,
// which passes it on.
Child* StartChild(const std::string& program, const std::vector<std::string>& args) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE inRead, inWrite, errRead, errWrite;
    if (!CreatePipe(&inRead, &inWrite, nullptr, 0)) return nullptr;
    if (!CreatePipe(&errRead, &errWrite, nullptr, 0)) {
        CloseHandle(inRead), CloseHandle(inWrite);
        return nullptr;
    }
    HANDLE nul =
        CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOA start = {};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdInput = Inheritable(inRead);
    start.hStdOutput = nul;
    start.hStdError = Inheritable(errWrite);
    std::string line = Quoted(program);
    for (const std::string& a : args) line += " " + Quoted(a);
    PROCESS_INFORMATION info = {};
    BOOL started = CreateProcessA(program.c_str(), &line[0], nullptr, nullptr, TRUE,
                                  CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &start, &info);
    CloseHandle(inRead), CloseHandle(errWrite), CloseHandle(nul);
    if (!started) {
        CloseHandle(inWrite), CloseHandle(errRead);
        return nullptr;
    }
    CloseHandle(info.hThread);
    Child* child = new Child;
    child->process = info.hProcess;
    child->requests = inWrite;
    child->lines = errRead;
    return child;
}

bool ReadChildLine(Child* child, std::string& line) {
    for (;;) {
        size_t end = child->pending.find('\n');
        if (end != std::string::npos) {
            line = child->pending.substr(0, end);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            child->pending.erase(0, end + 1);
            return true;
        }
        char buffer[512];
        DWORD got = 0;
        if (!ReadFile(child->lines, buffer, sizeof buffer, &got, nullptr) || got == 0) {
            line.swap(child->pending);
            child->pending.clear();
            return !line.empty();
        }
        child->pending.append(buffer, got);
    }
}

void SendToChild(Child* child, char request) {
    DWORD sent = 0;
    WriteFile(child->requests, &request, 1, &sent, nullptr);
}

int FinishChild(Child* child) {
    CloseHandle(child->requests);
    WaitForSingleObject(child->process, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(child->process, &code);
    CloseHandle(child->process);
    CloseHandle(child->lines);
    delete child;
    return static_cast<int>(code);
}
