// Every way an upgrade, or an attempt at one, can end, and its one message.
// Front ends decide from the outcome; the message is only ever shown.
#pragma once

enum UpgradeOutcome {
    OutcomeNothingError,  // a run under way
    OutcomeCannotOpenImage,
    OutcomeEmptyImage,
    OutcomeNotConnected,
    OutcomeWriteFail,  // the echo of a command failed
    OutcomeGetIdFailed,
    OutcomeInvalidId,
    OutcomeModuleMismatch,
    OutcomeSoftwareMismatch,
    OutcomeEraseFlashFailed,
    OutcomeEraseParameterFailed,
    OutcomeNoStartSignal,     // the block sender's own; the run's verdict replaces it
    OutcomeSenderCannotOpen,  // likewise
    OutcomeNotFinished,
    OutcomeSuccess,
    OutcomePortRefused,
    OutcomeInvalidFileType,
    OutcomeNotStarted,  // the upgrade's thread could not be started
    OutcomeInterruptedUntouched,
    OutcomeInterruptedErased,
    OutcomeInterruptedNotStarted,  // after the upload, before the start command
    OutcomeAlreadyCurrent,         // the scanner holds the image's software version already
    OutcomeCount
};

// The message, a printf format where it names a path or a command ("%s").
const char* OutcomeText(UpgradeOutcome outcome);

// A short stable name for records and scripts, such as "success".
const char* OutcomeName(UpgradeOutcome outcome);

// False when `name` names no outcome.
bool OutcomeFromName(const char* name, UpgradeOutcome& outcome);

// The message with `detail` in place of its %s.
void FormatOutcome(UpgradeOutcome outcome, const char* detail, char* text, int capacity);

// What an upgrade came to, as records, counts and pages name it.
enum UpgradeResult { ResultPassed, ResultFailed, ResultAlreadyCurrent, ResultCount };

// "passed", "failed", "already_current".
const char* ResultName(UpgradeResult result);
// The terminal's word for it; pages take theirs from their catalogs.
const char* ResultLabel(UpgradeResult result);
// False when `name` names no result.
bool ResultFromName(const char* name, UpgradeResult& result);
// Only a success passed; a scanner found current is neither.
UpgradeResult ResultOfOutcome(UpgradeOutcome outcome);
