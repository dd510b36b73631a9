#include "shell/startup_win32.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>

#include "codec/key_code.h"

namespace {
uint32_t WindowsTicks() {
    return GetTickCount();
}
}  // namespace

void PrepareWindowsProgram() {
    SetTickSource(WindowsTicks);
    _setmode(_fileno(stdout), _O_BINARY);
}
