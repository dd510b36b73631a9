#include "cli/hints.h"

#include "cli/run_output.h"
#include "codec/access_mode.h"
#include "codec/image_header.h"
#include "codec/scanner_identity.h"
#include "events/run_events.h"
#include "ports/port_refusal.h"
#include "upgrade/upgrade.h"

namespace {

void Hint(HintKind kind, const nlohmann::json& facts = nlohmann::json::object()) {
    EmitEvent(HintEvent(kind, facts));
}

nlohmann::json Identity(const char* module, const char* software, const char* customer,
                        const char* hardware) {
    return {
        {"module", module}, {"software", software}, {"customer", customer}, {"hardware", hardware}};
}

void HintMismatch() {
    Hint(HintKind::MismatchScanner, Identity(ScannerId.moduleNo, ScannerId.software,
                                             ScannerId.customerId, ScannerId.hardware));
    Hint(HintKind::MismatchImage,
         Identity(ImageId.moduleNo, ImageId.software, ImageId.customerId, ImageId.hardware));
}

HintKind TransferHint() {
    switch (UpgradeRun.transferEnd) {
        case TransferImageShort:
            return HintKind::ImageShort;
        case TransferImageChanged:
            return HintKind::ImageChanged;
        case TransferSurplusAnswer:
            return HintKind::SurplusAnswer;
        case TransferRejected:
            return HintKind::BlockRefused;
        default:
            return UpgradeRun.lineLost ? HintKind::LineLost : HintKind::TransferBrokeOff;
    }
}

// The likely cause of what the upgrade itself ended with.
void HintCause(UpgradeOutcome outcome) {
    switch (outcome) {
        case OutcomeNotConnected:
            return Hint(HintKind::NotConnected);
        case OutcomeModuleMismatch:
        case OutcomeSoftwareMismatch:
            return HintMismatch();
        case OutcomeEraseFlashFailed:
            return Hint(UpgradeRun.headerPresent ? HintKind::KeyRefused
                                                 : HintKind::EraseNotConfirmed);
        case OutcomeNotFinished:
            return Hint(TransferHint());
        case OutcomeCannotOpenImage:
            return Hint(HintKind::ImageUnreadable);
        case OutcomeEmptyImage:
            return Hint(HintKind::ImageEmpty);
        case OutcomeWriteFail:
            return Hint(HintKind::EchoLost);
        case OutcomeGetIdFailed:
        case OutcomeInvalidId:
            return Hint(HintKind::ReplyNotUnderstood);
        case OutcomeEraseParameterFailed:
            return Hint(HintKind::ParameterEraseNotConfirmed);
        case OutcomeInvalidFileType:
            return Hint(HintKind::FileType);
        default:
            return;
    }
}

}  // namespace

// What became of the scanner is said whenever the start step changed the
// picture: a message that replaced the upgrade's own, a scanner not started.
void HintAfterAttempt(const std::string& entry) {
    const UpgradeRunState& r = UpgradeRun;
    if (r.upgradeOutcome == OutcomePortRefused) return HintRefusedPort(entry);
    if (r.outcome != r.upgradeOutcome)
        Hint(HintKind::UpgradeEndedAs, {{"message", r.upgradeMessage}});
    if (r.upgradeOutcome == OutcomeSuccess && !r.started) Hint(HintKind::NotStarted);
    HintCause(r.upgradeOutcome);
}

void HintRefusedPort(const std::string& entry) {
    std::string reason;
    if (!ExplainRefusedPort(entry.c_str(), reason)) reason += "; 'orvane-flash ports' lists them";
    Hint(HintKind::PortRefused, {{"port", entry}, {"reason", reason}});
}

void WarnAboutAccessWord(const std::string& word) {
    if (ParseAccessWord(word.c_str()) != EndUser) return;
    EmitEvent(MessageEvent(MessageLevel::Warning,
                           "'" + word +
                               "' is no access word (they are compared exactly, case included); "
                               "the upgrade runs in end-user mode"));
}
