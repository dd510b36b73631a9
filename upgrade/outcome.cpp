#include "upgrade/outcome.h"

#include <cstdio>
#include <cstring>

namespace {

struct OutcomeEntry {
    const char* name;
    const char* text;
};

// In the order of UpgradeOutcome.
const OutcomeEntry kOutcomes[OutcomeCount] = {
    {"nothing-error", "nothing error"},
    {"cannot-open-image", "cannot open %s"},
    {"empty-image", "empty image %s"},
    {"not-connected", "Scanner is not connected or not in upgrade mode"},
    {"write-fail", "Write \"%s\" fail"},
    {"get-id-failed", "Get scanner ID failed"},
    {"invalid-id", "Got a invalid scanner ID"},
    {"module-mismatch", "Mismatch Module NO."},
    {"software-mismatch", "Mismatch Software ID"},
    {"erase-flash-failed", "Erase Flash failed"},
    {"erase-parameter-failed", "Erase parameter area failed"},
    {"no-start-signal", "No NAK receive"},
    {"sender-cannot-open", "Cannot open %s"},
    {"not-finished", "upgrade not finish!!!"},
    {"success", "upgrade success!!!"},
    {"port-refused", "Cannot open this com port"},
    {"invalid-file-type", "Invalid file type"},
    {"not-started", "Cannot start the upgrade"},
    {"interrupted-untouched", "interrupted before any erase: the scanner is untouched"},
    {"interrupted-erased",
     "interrupted: the scanner was left erased and unfinished; it stays in upgrade mode: run "
     "the upgrade again"},
    {"interrupted-not-started",
     "interrupted after the upload: the scanner holds the new image but was not told to start "
     "it; run the upgrade again, or restart the scanner"},
    {"already-current", "the scanner already holds this software version: nothing was written"},
};

struct ResultEntry {
    const char* name;
    const char* label;
};

// In the order of UpgradeResult.
const ResultEntry kResults[ResultCount] = {
    {"passed", "passed"}, {"failed", "failed"}, {"already_current", "current"}};

const ResultEntry& ResultEntryOf(UpgradeResult result) {
    return kResults[result >= 0 && result < ResultCount ? result : ResultFailed];
}

const OutcomeEntry& Entry(UpgradeOutcome outcome) {
    return kOutcomes[outcome >= 0 && outcome < OutcomeCount ? outcome : OutcomeNothingError];
}

}  // namespace

const char* OutcomeText(UpgradeOutcome outcome) {
    return Entry(outcome).text;
}

const char* OutcomeName(UpgradeOutcome outcome) {
    return Entry(outcome).name;
}

bool OutcomeFromName(const char* name, UpgradeOutcome& outcome) {
    for (int i = 0; i < OutcomeCount; ++i) {
        if (std::strcmp(name, kOutcomes[i].name) == 0) {
            outcome = static_cast<UpgradeOutcome>(i);
            return true;
        }
    }
    return false;
}

void FormatOutcome(UpgradeOutcome outcome, const char* detail, char* text, int capacity) {
    std::snprintf(text, capacity, OutcomeText(outcome), detail ? detail : "");
}

const char* ResultName(UpgradeResult result) {
    return ResultEntryOf(result).name;
}

const char* ResultLabel(UpgradeResult result) {
    return ResultEntryOf(result).label;
}

bool ResultFromName(const char* name, UpgradeResult& result) {
    for (int i = 0; i < ResultCount; ++i) {
        if (std::strcmp(name, kResults[i].name) == 0) {
            result = static_cast<UpgradeResult>(i);
            return true;
        }
    }
    return false;
}

UpgradeResult ResultOfOutcome(UpgradeOutcome outcome) {
    if (outcome == OutcomeSuccess) return ResultPassed;
    return outcome == OutcomeAlreadyCurrent ? ResultAlreadyCurrent : ResultFailed;
}
