// The spool's usual place on Windows: %LOCALAPPDATA%\orvane. SQLite takes the
// path in UTF-8, so a user name outside the code page still works.
#include <windows.h>

#include <string>

#include "spool/record_spool.h"

namespace {

std::string Utf8(const std::wstring& text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr,
                                   0, nullptr, nullptr);
    std::string out(size > 0 ? size : 0, '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], size,
                            nullptr, nullptr);
    return out;
}

std::wstring LocalAppData() {
    DWORD size = GetEnvironmentVariableW(L"LOCALAPPDATA", nullptr, 0);
    if (size == 0) return L"";
    std::wstring value(size, L'\0');
    DWORD got = GetEnvironmentVariableW(L"LOCALAPPDATA", &value[0], size);
    value.resize(got < size ? got : 0);
    return value;
}

}  // namespace

bool PrepareSpoolPath(std::string& path, std::string& why) {
    std::wstring base = LocalAppData();
    if (base.empty()) {
        why = "no folder for the spool: LOCALAPPDATA is not set";
        return false;
    }
    std::wstring folder = base + L"\\orvane";
    DWORD error = CreateDirectoryW(folder.c_str(), nullptr) ? 0 : GetLastError();
    if (error != 0 && error != ERROR_ALREADY_EXISTS) {
        why = "cannot make the folder " + Utf8(folder) + " (error " + std::to_string(error) + ")";
        return false;
    }
    DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        why = Utf8(folder) + " is not a folder";
        return false;
    }
    path = Utf8(folder + L"\\spool.sqlite");
    return true;
}
