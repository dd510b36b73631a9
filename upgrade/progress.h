// Progress and status display: the status line and the progress bar.
#pragma once
#include <cstdint>

// What a front end provides to show progress; each call returns once applied.
struct DisplayHooks {
    void (*setStatusLine)(const char* text);
    void (*setProgressRange)(unsigned low, unsigned high);
    void (*setProgressPosition)(uint32_t position);
    // Optional: one line about each exchange with the scanner (a command
    // sent, a reply judged), for a front end that shows them; may be nullptr.
    void (*noteExchange)(const char* text);
};

void SetDisplay(const DisplayHooks* hooks);  // nullptr shows nothing

// Step 0 "handshaking...", 1 "erasing flash...", n >= 2 the kilobytes acknowledged.
void ShowProgress(uint32_t step);
void SetProgressRange(uint32_t low, uint32_t high);
void SetStatusLine(const char* text);

// Formats a line for noteExchange, only when a front end takes them.
void NoteExchange(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
