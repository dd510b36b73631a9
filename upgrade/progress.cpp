#include "upgrade/progress.h"

#include <cstdarg>
#include <cstdio>

namespace {
const ProgressHooks* hooks = nullptr;
}  // namespace

void SetProgressHooks(const ProgressHooks* h) {
    hooks = h;
}

void ReportProgress(ProgressStep step, int32_t blocksAcked) {
    if (!hooks || !hooks->progress) return;
    UpgradeProgress p = {step,
                         UpgradeRun.phase,
                         UpgradeRun.blockCount,
                         UpgradeRun.payloadSize,
                         UpgradeRun.blocksToSend,
                         blocksAcked};
    hooks->progress(p);
}

void EnterPhase(RunPhase phase) {
    UpgradeRun.phase = phase;
    ReportProgress(StepPhase);
}

void NoteExchange(const char* format, ...) {
    if (!hooks || !hooks->noteExchange) return;
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    hooks->noteExchange(text);
}
