// Upgrade sequence: one whole upgrade over an open port, and the closing start step.
#pragma once
#include <cstdint>

#include "upgrade/outcome.h"
#include "upgrade/run_phase.h"

enum { StatusTextSize = 1024 };

// The boot loader's line rate, and the rate monitor mode listens at.
enum { UpgradeBaud = 57600, MonitorBaud = 9600 };

// The result message of the current or last upgrade.
extern char StatusText[StatusTextSize];

// Set by a front end that upgrades scanner after scanner: a scanner whose
// software version equals the image's is left as it is, the run ending after
// the identity with OutcomeAlreadyCurrent. False by default.
extern bool SkipCurrentScanners;

// Runs the upgrade; returns StatusText, which holds exactly one result message.
const char* RunUpgrade(const char* imagePath, uint16_t fontTargetWord);

// Tells the boot loader to start the firmware when its console still answers.
void StartFirmware();

// StatusText becomes the message of `outcome`, with `detail` for its %s, and
// the run's record its outcome.
void SetOutcome(UpgradeOutcome outcome, const char* detail = "");

// Why the block transfer ended.
enum TransferEnd {
    TransferNotStarted,
    TransferNoStartSignal,
    TransferRejected,       // a block answered with something else than ACK
    TransferUnanswered,     // every resend of a block went unanswered
    TransferSurplusAnswer,  // an answer came that no block of ours can have drawn
    TransferImageShort,     // the file delivered less than was measured
    TransferImageChanged,   // the file no longer holds the bytes that were measured
    TransferCompleted
};

// How far the current or last run got, beyond its message: for displays,
// records and the words said after an interrupt. Written on the worker only.
struct UpgradeRunState {
    // The last one entered; measuring the image, and any time before a run,
    // count as the handshake.
    RunPhase phase = RunPhase::Handshake;
    UpgradeOutcome outcome;         // what StatusText shows now
    UpgradeOutcome upgradeOutcome;  // what the upgrade itself ended with, before the start step
    char upgradeMessage[StatusTextSize];
    bool started;   // "go 5000" was written, echoed and executed
    int32_t block;  // the block counter of the block on the line, 0 before the first
    int32_t imageSize;
    int32_t blockCount;
    bool headerPresent;      // ImageId holds the image's identity
    bool scannerIdentified;  // ScannerId holds what this run's reply decoded to
    bool flashTouched;       // an erase command has been typed: the old firmware may be gone
    bool uploadCompleted;    // the transfer ended with EOT
    TransferEnd transferEnd;
    bool lineLost;         // the device went away during the run
    int32_t payloadSize;   // bytes the scanner receives: the image without its header
    int32_t blocksToSend;  // blocks the scanner receives, the last short one included
    int32_t blocksSent;    // distinct blocks written to the line
    int32_t blocksResent;  // sends of a block that drew no answer
    int64_t answerWaitUs;  // from each block's last byte written to its answer, summed
    int32_t answersTimed;  // answers to blocks sent once, the ones in answerWaitUs
};

extern UpgradeRunState UpgradeRun;

// Where an interrupt left the scanner, from how far the run got.
UpgradeOutcome InterruptedOutcome();
