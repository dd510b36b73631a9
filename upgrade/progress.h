// Progress and status display: the status line and the progress bar.
#pragma once
#include <cstdint>

// What a front end provides to show progress; each call returns once applied.
struct DisplayHooks {
    void (*setStatusLine)(const char* text);
    void (*setProgressRange)(unsigned low, unsigned high);
    void (*setProgressPosition)(uint32_t position);
};

void SetDisplay(const DisplayHooks* hooks);  // nullptr shows nothing

// Step 0 "handshaking...", 1 "erasing flash...", n >= 2 the kilobytes acknowledged.
void ShowProgress(uint32_t step);
void SetProgressRange(uint32_t low, uint32_t high);
void SetStatusLine(const char* text);
