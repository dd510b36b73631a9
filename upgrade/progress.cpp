#include "upgrade/progress.h"

#include <cstdarg>
#include <cstdio>

namespace {

const DisplayHooks* display = nullptr;

// The step text always fits the 64 characters of its buffer.
void FormatStepText(uint32_t step, char* text, int capacity) {
    if (step == 0)
        std::snprintf(text, capacity, "handshaking...");
    else if (step == 1)
        std::snprintf(text, capacity, "erasing flash...");
    else
        std::snprintf(text, capacity, "%dK byte(s) sent",
                      static_cast<int32_t>((step - 2) * 128) / 1024);
}

}  // namespace

void SetDisplay(const DisplayHooks* hooks) {
    display = hooks;
}

void ShowProgress(uint32_t step) {
    char text[64];
    FormatStepText(step, text, sizeof text);
    SetStatusLine(text);
    if (display) display->setProgressPosition(step);
}

void SetProgressRange(uint32_t low, uint32_t high) {
    if (display) display->setProgressRange(low & 0xFFFF, high & 0xFFFF);
}

void SetStatusLine(const char* text) {
    if (display) display->setStatusLine(text);
}

void NoteExchange(const char* format, ...) {
    if (!display || !display->noteExchange) return;
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    display->noteExchange(text);
}
