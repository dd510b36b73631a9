// What an upgrade tells a front end as it goes: what happened, in which
// phase, and how many blocks are through.
#pragma once
#include <cstdint>

#include "upgrade/upgrade.h"

enum ProgressStep {
    StepMeasured,    // the image is measured: its counts are known
    StepPhase,       // the run entered `phase`
    StepIdentified,  // ScannerId holds its answer
    StepBlockAcked,  // one more block acknowledged
    StepUploaded     // every block acknowledged and EOT sent
};

struct UpgradeProgress {
    ProgressStep step;
    RunPhase phase;
    int32_t blockCount;    // 128-byte blocks of the whole file, header included
    int32_t payloadSize;   // bytes the scanner receives
    int32_t blocksToSend;  // blocks the scanner receives, the last short one included
    int32_t blocksAcked;
};

struct ProgressHooks {
    // On the upgrade's thread: a front end that may be slow to draw hands it on.
    void (*progress)(const UpgradeProgress& progress);
    // One line about each exchange with the scanner; may be nullptr.
    void (*noteExchange)(const char* text);
};

void SetProgressHooks(const ProgressHooks* hooks);  // nullptr reports nothing

void ReportProgress(ProgressStep step, int32_t blocksAcked = 0);

// The run is in `phase` from now on, and says so.
void EnterPhase(RunPhase phase);

// Formats a line for noteExchange, only when a front end takes them.
void NoteExchange(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
