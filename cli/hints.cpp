#include "cli/hints.h"

#include "cli/display.h"
#include "codec/access_mode.h"
#include "codec/image_header.h"
#include "codec/scanner_identity.h"
#include "shell/port_refusal.h"
#include "upgrade/upgrade.h"

namespace {

void Hint(const std::string& text) {
    DisplayLine("hint: " + text);
}

std::string Identity(const char* module, const char* software, const char* customer,
                     const char* hardware) {
    return std::string("module ") + module + ", software " + software + ", customer " + customer +
           ", hardware " + hardware;
}

void HintMismatch() {
    Hint("scanner: " + Identity(ScannerId.moduleNo, ScannerId.software, ScannerId.customerId,
                                ScannerId.hardware));
    Hint("image:   " +
         Identity(ImageId.moduleNo, ImageId.software, ImageId.customerId, ImageId.hardware) +
         "; only the override access word (--access WORD) lets the upgrade go on");
}

void HintTransfer() {
    switch (UpgradeRun.transferEnd) {
        case TransferImageShort:
            return Hint(
                "the image file came up short of its measured size while it was sent (cut or "
                "unreadable); the scanner stays in upgrade mode: run the upgrade again");
        case TransferImageChanged:
            return Hint(
                "the image file changed while it was sent; leave it alone during an upgrade and "
                "run the upgrade again");
        case TransferSurplusAnswer:
            return Hint(
                "an answer came that the scanner cannot have given for the block it followed "
                "(noise, a doubled byte or an answer held back on the line), so the upload was "
                "stopped rather than trusted; check the cable and run the upgrade again");
        case TransferRejected:
            return Hint(
                "the scanner refused a block (damaged on the line?); it stays in upgrade mode: "
                "check the cable and run the upgrade again");
        default:
            break;
    }
    if (UpgradeRun.lineLost)
        Hint(
            "the line went away during the transfer (cable or adapter unplugged?); reconnect and "
            "run the upgrade again: the scanner stays in upgrade mode");
    else
        Hint("the transfer broke off; the scanner stays in upgrade mode: run the upgrade again");
}

// The likely cause of what the upgrade itself ended with.
void HintCause(UpgradeOutcome outcome) {
    switch (outcome) {
        case OutcomeNotConnected:
            return Hint(
                "check the cable and put the scanner into upgrade mode (its boot loader); then run "
                "again, or add --wait to wait for it");
        case OutcomeModuleMismatch:
        case OutcomeSoftwareMismatch:
            return HintMismatch();
        case OutcomeEraseFlashFailed:
            return Hint(UpgradeRun.headerPresent
                            ? "the scanner refused the erase after the image key: this usually "
                              "means the image is for another scanner"
                            : "the scanner did not confirm the flash erase; run the upgrade again");
        case OutcomeNotFinished:
            return HintTransfer();
        case OutcomeCannotOpenImage:
            return Hint("the image must be a regular file that can be read, at most 2 GB");
        case OutcomeEmptyImage:
            return Hint(
                "the image holds nothing for the scanner (no bytes after its 1024-byte header)");
        case OutcomeWriteFail:
            return Hint(
                "the scanner stopped echoing; check the cable, put the scanner back into upgrade "
                "mode and run the upgrade again");
        case OutcomeGetIdFailed:
        case OutcomeInvalidId:
            return Hint(
                "the scanner's answer was not understood; check the cable and run the upgrade "
                "again");
        case OutcomeEraseParameterFailed:
            return Hint(
                "the scanner did not confirm the parameter-area erase; run the upgrade again");
        case OutcomeInvalidFileType:
            return Hint("the image must be a firmware image (.bin) or a font file (.fon)");
        default:
            return;
    }
}

}  // namespace

// What became of the scanner is said whenever the start step changed the
// picture: a message that replaced the upgrade's own, a scanner not started.
void HintAfterAttempt(const std::string& entry) {
    const UpgradeRecord& r = UpgradeRun;
    if (r.upgradeOutcome == OutcomePortRefused) return HintRefusedPort(entry);
    if (r.outcome != r.upgradeOutcome)
        Hint(std::string("the upgrade itself ended: ") + r.upgradeMessage);
    if (r.upgradeOutcome == OutcomeSuccess && !r.started)
        Hint(
            "the scanner holds the new image but did not answer the start command: power it off "
            "and on");
    HintCause(r.upgradeOutcome);
}

void HintRefusedPort(const std::string& entry) {
    std::string reason;
    if (!ExplainRefusedPort(entry.c_str(), reason)) reason += "; 'orvane-flash ports' lists them";
    Hint(reason);
}

void WarnAboutAccessWord(const std::string& word) {
    if (ParseAccessWord(word.c_str()) != EndUser) return;
    DisplayLine("warning: '" + word +
                "' is no access word (they are compared exactly, case included); the upgrade "
                "runs in end-user mode");
}
