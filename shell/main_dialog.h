// The main dialog's logic and its upgrade worker, written once for every dialog.
#pragma once
#include <atomic>
#include <cstdint>

#include "shell/progress_display.h"
#include "upgrade/image.h"

enum { PortEntrySize = 64, FilterListSize = 256 };

// What a dialog provides. Control functions run on the UI thread only;
// the logic reaches them from the worker through runOnUiThread.
struct DialogView {
    DisplayHooks display;  // the status line and the bar
    void (*showButtonFace)(bool busy);
    void (*showFontBox)(bool shown);
    bool (*isFontBoxTicked)();
    void (*setImageName)(const char* name);
    void (*readPortEntry)(char* text, int capacity);
    void (*addPortName)(const char* name);
    void (*selectFirstPort)();
    // Lets the user pick an existing file. `filters` is a list of name/pattern
    // pairs, each text 0-terminated, ended by an empty text.
    bool (*chooseFile)(const char* filters, const char* title, char* path, int pathCapacity,
                       char* name, int nameCapacity);
    // Asked from the worker thread; blocks it until the user answers.
    bool (*askYesNo)(const char* caption, const char* text);
    // Runs task(arg) on the UI thread and returns once it has run (at once when
    // called on the UI thread).
    void (*runOnUiThread)(void (*task)(void*), void* arg);
    // Starts body on a new thread.
    bool (*startWorker)(void (*body)());
};

enum UpgradeCommandOutcome {
    CommandIgnored,  // busy
    PortRefused,
    InvalidFileType,
    WorkerStarted,
    WorkerNotStarted,
    MonitorStarted
};

extern std::atomic<int> BusyMark;

// Asked before the dialog closes while an upgrade runs.
extern const char CloseDuringUpgradeCaption[];
extern const char CloseDuringUpgradeQuestion[];
extern char ImagePath[ImagePathSize];
extern uint16_t FontTargetWord;

// Installs the view, and with it the progress display and the override question.
void SetDialogView(const DialogView* view);

// Before the dialog shows: idle face, image chooser, font box, port discovery.
void InitializeMainDialog();

// The Upgrade button.
UpgradeCommandOutcome RunUpgradeCommand();

// Thread body of one upgrade.
void UpgradeWorker();

// True from the start of an upgrade worker until its last step; monitor mode
// sets the busy mark but runs no worker.
bool UpgradeWorkerRunning();

// After the dialog is gone: writes out the trace, then, when a worker or a
// monitored port is still going, ends the program at once (their threads
// hold the port and the shared state, so nothing is torn down under them;
// the system releases the port).
void EndProgramIfStillBusy();
