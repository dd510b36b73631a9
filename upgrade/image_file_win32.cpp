// The image file on Windows.
#include <windows.h>

#include "upgrade/image_file.h"

namespace {
const int MaxHandles = 4;
HANDLE handles[MaxHandles] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE,
                              INVALID_HANDLE_VALUE};
}  // namespace

// Shared for reading only: nobody can change the image while it is being sent.
// A device, pipe or console name is refused: only disk files are images.
int ImageFileOpen(const char* path, int64_t* size) {
    int slot = 0;
    while (slot < MaxHandles && handles[slot] != INVALID_HANDLE_VALUE) ++slot;
    if (slot == MaxHandles) return -1;
    HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return -1;
    BY_HANDLE_FILE_INFORMATION info;
    LARGE_INTEGER length;
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || !GetFileSizeEx(h, &length)) {
        CloseHandle(h);
        return -1;
    }
    handles[slot] = h;
    *size = length.QuadPart;
    return slot;
}

int ImageFileRead(int handle, int64_t offset, unsigned char* bytes, int count) {
    if (handle < 0 || handle >= MaxHandles || handles[handle] == INVALID_HANDLE_VALUE) return -1;
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFF);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    if (ReadFile(handles[handle], bytes, static_cast<DWORD>(count), &got, &at))
        return static_cast<int>(got);
    return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
}

void ImageFileClose(int handle) {
    if (handle < 0 || handle >= MaxHandles || handles[handle] == INVALID_HANDLE_VALUE) return;
    CloseHandle(handles[handle]);
    handles[handle] = INVALID_HANDLE_VALUE;
}
