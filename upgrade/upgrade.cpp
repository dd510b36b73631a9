#include "upgrade/upgrade.h"

#include <cstdio>
#include <cstring>

#include "codec/access_mode.h"
#include "codec/image_header.h"
#include "codec/key_code.h"
#include "codec/scanner_identity.h"
#include "serial/rx_ring.h"
#include "upgrade/boot_console.h"
#include "upgrade/image.h"
#include "upgrade/progress.h"
#include "upgrade/xmodem.h"

char StatusText[StatusTextSize];
UpgradeRunState UpgradeRun;
bool SkipCurrentScanners = false;

namespace {

enum { HandshakeBudget = 250, IdentityBudget = 200, ReplyBudget = 150 };

ReplyBuffer reply;

bool Fail(UpgradeOutcome outcome, const char* detail = "") {
    SetOutcome(outcome, detail);
    return false;
}

// Only a regular file that reads whole, with something to send, goes further:
// nothing is written to the line before this.
bool MeasureImage(const char* imagePath) {
    if (OpenImage(imagePath) < 0) return Fail(OutcomeCannotOpenImage, imagePath);
    UpgradeRun.imageSize = ImageSize();
    UpgradeRun.payloadSize = ImagePayloadSize();
    UpgradeRun.blocksToSend = UpgradeRun.payloadSize / XmodemBlockSize + 1;
    NoteExchange("image %s: %d bytes, %d of them for the scanner", imagePath, UpgradeRun.imageSize,
                 UpgradeRun.payloadSize);
    if (!ImageHasPayload()) return Fail(OutcomeEmptyImage, imagePath);
    return true;
}

void NoteIdentity(const char* whose, const char* customer, const char* module, const char* hardware,
                  const char* software) {
    NoteExchange("%s: customer \"%s\", module \"%s\", hardware \"%s\", software \"%s\"", whose,
                 customer, module, hardware, software);
}

bool QueryScannerIdentity() {
    EnterPhase(RunPhase::Identity);
    NoteIdentity("image", ImageId.customerId, ImageId.moduleNo, ImageId.hardware, ImageId.software);
    if (!SendBootCommand("whoru")) return Fail(OutcomeWriteFail, "whoru");
    int n = CollectReply(IdentityBudget, reply);
    if (!ReplyEndsWithPrompt(reply, n)) return Fail(OutcomeGetIdFailed);
    if (!DecodeScannerIdentity(reply, n - BootPromptLength)) return Fail(OutcomeInvalidId);
    UpgradeRun.scannerIdentified = true;
    ReportProgress(StepIdentified);
    NoteIdentity("scanner", ScannerId.customerId, ScannerId.moduleNo, ScannerId.hardware,
                 ScannerId.software);
    return true;
}

// Module numbers must match; the image's software must not sort before the
// scanner's. The question put in override mode bears the failure's own text.
bool AllowMismatch(UpgradeOutcome mismatch) {
    return ConfirmOverride(OutcomeText(mismatch)) || Fail(mismatch);
}

bool CheckIdentities() {
    if (std::strcmp(ScannerId.moduleNo, ImageId.moduleNo) != 0)
        return AllowMismatch(OutcomeModuleMismatch);
    if (SkipCurrentScanners && std::strcmp(ImageId.software, ScannerId.software) == 0)
        return Fail(OutcomeAlreadyCurrent);
    if (std::strcmp(ImageId.software, ScannerId.software) < 0)
        return AllowMismatch(OutcomeSoftwareMismatch);
    return true;
}

bool SendImageKey() {
    KeyCode code = KeyCodeMake(ImageId.key);
    EnterPhase(RunPhase::KeyCode);
    NoteExchange("sending the image key in a key code");
    if (!SendBootCommand(code.bytes, KeyCodeLength)) return Fail(OutcomeWriteFail, "getid");
    int n = CollectReply(ReplyBudget, reply);
    bool accepted = ReplyHasPrompt(reply, n);
    NoteExchange(accepted ? "key code answered with the prompt" : "no prompt after the key code");
    return accepted || Fail(OutcomeGetIdFailed);
}

bool Erase(RunPhase phase, const char* command, UpgradeOutcome failure) {
    EnterPhase(phase);
    UpgradeRun.flashTouched = true;
    NoteExchange("sending \"%s\"", command);
    if (!SendBootCommand(command)) return Fail(OutcomeWriteFail, command);
    int n = CollectReply(ReplyBudget, reply);
    bool erased = ReplyHasSuccessMark(reply, n);
    NoteExchange(erased ? "erase confirmed (^_^ and the prompt)" : "erase not confirmed");
    return erased || Fail(failure);
}

const char* ParameterEraseCommand() {
    return AccessMode == Reseller ? "erase 71000 7" : "erase 70000 8";
}

bool StartUpload() {
    EnterPhase(RunPhase::Upload);
    NoteExchange("sending \"upload 2000\"");
    if (!SendBootCommand("upload 2000")) return Fail(OutcomeWriteFail, "upload 2000");
    RxFlush();
    WriteExecute();
    return true;
}

bool RunSteps(const char* imagePath) {
    if (!MeasureImage(imagePath)) return false;
    // ImageSize fits 32 bits; the counts are taken in 64 so that nothing wraps.
    const int64_t size = ImageSize();
    const int32_t BlockCount = static_cast<int32_t>((size + 127) / 128);
    const int32_t SectorCount = static_cast<int32_t>((size + 4095) / 4096);
    UpgradeRun.blockCount = BlockCount;
    ReportProgress(StepMeasured);
    if (!WakeConsole(HandshakeBudget)) return Fail(OutcomeNotConnected);
    // The header check, on the header bytes that were measured.
    if (DecodeMeasuredHeader()) {
        UpgradeRun.headerPresent = true;
        if (!QueryScannerIdentity() || !CheckIdentities() || !SendImageKey()) return false;
    }
    char command[CommandCapacity];
    std::snprintf(command, sizeof command, "erase 2000 %x", static_cast<unsigned>(SectorCount));
    if (!Erase(RunPhase::FlashErase, command, OutcomeEraseFlashFailed)) return false;
    if (!Erase(RunPhase::ParameterErase, ParameterEraseCommand(), OutcomeEraseParameterFailed))
        return false;
    if (!StartUpload()) return false;
    int sent = XmodemSend(imagePath);
    UpgradeRun.uploadCompleted = sent >= 0;
    UpgradeRun.lineLost = RxLinkIsDown();
    if (sent >= 0) ReportProgress(StepUploaded, UpgradeRun.blocksToSend);
    SetOutcome(sent < 0 ? OutcomeNotFinished : OutcomeSuccess);
    return true;
}

}  // namespace

void SetOutcome(UpgradeOutcome outcome, const char* detail) {
    UpgradeRun.outcome = outcome;
    FormatOutcome(outcome, detail, StatusText, sizeof StatusText);
}

const char* RunUpgrade(const char* imagePath, uint16_t fontTargetWord) {
    (void)fontTargetWord;  // handed over by the dialog; the boot loader is told nothing of it
    UpgradeRun = UpgradeRunState();
    SetOutcome(OutcomeNothingError);
    RxFlush();
    RunSteps(imagePath);
    CloseImage();
    UpgradeRun.upgradeOutcome = UpgradeRun.outcome;
    std::memcpy(UpgradeRun.upgradeMessage, StatusText, sizeof StatusText);
    return StatusText;
}

void StartFirmware() {
    EnterPhase(RunPhase::Start);
    DrainConsole(ReplyBudget);
    RxFlush();
    if (WakeConsole(ReplyBudget)) {
        NoteExchange("sending \"go 5000\"");
        if (SendBootCommand("go 5000")) {
            RxFlush();
            WriteExecute();
            UpgradeRun.started = true;
        } else {
            SetOutcome(OutcomeWriteFail, "go 5000");
        }
    }
}

UpgradeOutcome InterruptedOutcome() {
    if (UpgradeRun.uploadCompleted) return OutcomeInterruptedNotStarted;
    return UpgradeRun.flashTouched ? OutcomeInterruptedErased : OutcomeInterruptedUntouched;
}
