// The dialogs' status line and progress bar: what an upgrade's progress
// looks like there, worked out in this one place.
#pragma once
#include <cstdint>

#include "upgrade/progress.h"

// The two controls, as a front end provides them; each call returns once applied.
struct DisplayHooks {
    void (*setStatusLine)(const char* text);
    void (*setProgressRange)(unsigned low, unsigned high);
    void (*setProgressPosition)(uint32_t position);
};

void SetDisplay(const DisplayHooks* hooks);  // nullptr shows nothing

// Step 0 "handshaking...", 1 "erasing flash...", n >= 2 the kilobytes acknowledged.
void ShowProgress(uint32_t step);
// Each bound cut to its low 16 bits, as the bar takes them.
void SetProgressRange(uint32_t low, uint32_t high);
void SetStatusLine(const char* text);

// The step text, into a buffer of at least 64 characters.
void FormatStepText(uint32_t step, char* text, int capacity);

// The step a progress report stands for: 0 while the scanner is asked who it
// is, 1 before the key code, each erase and the upload, k + 2 once k blocks
// are acknowledged; -1 for a report that moves neither text nor bar.
int32_t ProgressStepNumber(const UpgradeProgress& progress);

// The dialogs' progress hook: the range once the image is measured, each
// step, and a full bar once every block is through.
void ShowUpgradeProgress(const UpgradeProgress& progress);
