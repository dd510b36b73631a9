#include "cli/report.h"

#include <ctime>

#include "cli/cli_platform.h"
#include "cli/run_output.h"
#include "codec/access_mode.h"
#include "upgrade/answer_delay.h"
#include "upgrade/upgrade.h"

const char* AccessName() {
    switch (AccessMode) {
        case Reseller:
            return "reseller";
        case Override:
            return "override";
        default:
            return "end-user";
    }
}

std::string UtcTimestamp() {
    std::time_t now = std::time(nullptr);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));
    return text;
}

namespace {

// How the run ended: the outcome shown, what the upgrade itself ended with,
// whether the scanner was started, blocks sent and sent again.
void PutHowItEnded(UpgradeRecord& r, const ReportEntry& e) {
    r.outcome = e.outcome;
    r.message = e.message;
    r.upgradeOutcome = UpgradeRun.upgradeOutcome;
    r.upgradeMessage = UpgradeRun.upgradeMessage;
    r.started = UpgradeRun.started;
    r.hint = FirstHintName();
    r.exitStatus = e.exitStatus;
    r.seconds = e.seconds;
    r.blocksSent = UpgradeRun.blocksSent;
    r.blocksResent = UpgradeRun.blocksResent;
    r.answerDelayMs = UpgradeAnswerDelayMs();
}

}  // namespace

UpgradeRecord ReportRecord(const ReportEntry& e) {
    UpgradeRecord r;
    r.recordId = NewRecordId();
    r.time = e.time;
    r.startedAt = e.startedAt;
    r.endedAt = LocalTimeNow();
    r.port = e.port;
    r.device = e.device;
    r.image = e.image;
    r.imageSize = UpgradeRun.imageSize;
    r.access = AccessName();
    r.hasHeader = UpgradeRun.headerPresent;
    if (r.hasHeader) r.header = ImageTexts();
    r.hasScanner = UpgradeRun.scannerIdentified;
    if (r.hasScanner) r.scanner = ScannerTexts();
    PutHowItEnded(r, e);
    return r;
}
