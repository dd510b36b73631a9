#include "shell/progress_display.h"

#include <cstdio>

namespace {
const DisplayHooks* display = nullptr;
}  // namespace

void SetDisplay(const DisplayHooks* hooks) {
    display = hooks;
}

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

int32_t ProgressStepNumber(const UpgradeProgress& p) {
    if (p.step == StepBlockAcked) return p.blocksAcked + 2;
    if (p.step != StepPhase) return -1;
    switch (p.phase) {
        case RunPhase::Identity:
            return 0;
        case RunPhase::KeyCode:
        case RunPhase::FlashErase:
        case RunPhase::ParameterErase:
        case RunPhase::Upload:
            return 1;
        default:
            return -1;
    }
}

// A headered image's range counts the header's blocks too, which are never
// sent: at the end the bar is filled to its range's end.
void ShowUpgradeProgress(const UpgradeProgress& p) {
    if (p.step == StepMeasured) {
        SetProgressRange(0, static_cast<uint32_t>(p.blockCount) + 2);
    } else if (p.step == StepUploaded) {
        if (display) display->setProgressPosition(static_cast<uint32_t>(p.blockCount) + 2);
    } else if (ProgressStepNumber(p) >= 0) {
        ShowProgress(static_cast<uint32_t>(ProgressStepNumber(p)));
    }
}
