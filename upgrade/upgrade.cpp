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
UpgradeRecord UpgradeRun;

namespace {

enum { HandshakeBudget = 250, IdentityBudget = 200, ReplyBudget = 150 };

ReplyBuffer reply;

void SetStatusText(const char* message) {
    std::snprintf(StatusText, sizeof StatusText, "%s", message);
}

bool Fail(const char* message) {
    SetStatusText(message);
    return false;
}

bool FailWrite(const char* command) {
    std::snprintf(StatusText, sizeof StatusText, "Write \"%s\" fail", command);
    return false;
}

bool FailWithPath(const char* format, const char* path) {
    std::snprintf(StatusText, sizeof StatusText, format, path);
    return false;
}

// Only a regular file that reads whole, with something to send, goes further:
// nothing is written to the line before this.
bool MeasureImage(const char* imagePath) {
    UpgradeRun.phase = PhaseMeasuring;
    if (OpenImage(imagePath) < 0) return FailWithPath("cannot open %s", imagePath);
    UpgradeRun.imageSize = ImageSize();
    UpgradeRun.payloadSize = ImagePayloadSize();
    NoteExchange("image %s: %d bytes, %d of them for the scanner", imagePath, UpgradeRun.imageSize,
                 UpgradeRun.payloadSize);
    if (!ImageHasPayload()) return FailWithPath("empty image %s", imagePath);
    return true;
}

void NoteIdentity(const char* whose, const char* customer, const char* module, const char* hardware,
                  const char* software) {
    NoteExchange("%s: customer \"%s\", module \"%s\", hardware \"%s\", software \"%s\"", whose,
                 customer, module, hardware, software);
}

bool QueryScannerIdentity() {
    ShowProgress(0);
    NoteIdentity("image", ImageId.customerId, ImageId.moduleNo, ImageId.hardware, ImageId.software);
    if (!SendBootCommand("whoru")) return FailWrite("whoru");
    int n = CollectReply(IdentityBudget, reply);
    if (!ReplyEndsWithPrompt(reply, n)) return Fail("Get scanner ID failed");
    if (!DecodeScannerIdentity(reply, n - BootPromptLength))
        return Fail("Got a invalid scanner ID");
    UpgradeRun.scannerIdentified = true;
    NoteIdentity("scanner", ScannerId.customerId, ScannerId.moduleNo, ScannerId.hardware,
                 ScannerId.software);
    return true;
}

// Module numbers must match; the image's software must not sort before the scanner's.
bool CheckIdentities() {
    if (std::strcmp(ScannerId.moduleNo, ImageId.moduleNo) != 0)
        return ConfirmOverride("Mismatch Module NO.") || Fail("Mismatch Module NO.");
    if (std::strcmp(ImageId.software, ScannerId.software) < 0)
        return ConfirmOverride("Mismatch Software ID") || Fail("Mismatch Software ID");
    return true;
}

bool SendImageKey() {
    KeyCode code = KeyCodeMake(ImageId.key);
    ShowProgress(1);
    NoteExchange("sending the image key in a key code");
    if (!SendBootCommand(code.bytes, KeyCodeLength)) return Fail("Write \"getid\" fail");
    int n = CollectReply(ReplyBudget, reply);
    bool accepted = ReplyHasPrompt(reply, n);
    NoteExchange(accepted ? "key code answered with the prompt" : "no prompt after the key code");
    return accepted || Fail("Get scanner ID failed");
}

bool Erase(const char* command, const char* failure) {
    ShowProgress(1);
    UpgradeRun.flashTouched = true;
    NoteExchange("sending \"%s\"", command);
    if (!SendBootCommand(command)) return FailWrite(command);
    int n = CollectReply(ReplyBudget, reply);
    bool erased = ReplyHasSuccessMark(reply, n);
    NoteExchange(erased ? "erase confirmed (^_^ and the prompt)" : "erase not confirmed");
    return erased || Fail(failure);
}

const char* ParameterEraseCommand() {
    return AccessMode == Reseller ? "erase 71000 7" : "erase 70000 8";
}

bool StartUpload() {
    ShowProgress(1);
    NoteExchange("sending \"upload 2000\"");
    if (!SendBootCommand("upload 2000")) return FailWrite("upload 2000");
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
    SetProgressRange(0, static_cast<uint32_t>(BlockCount) + 2);
    UpgradeRun.phase = PhaseHandshake;
    if (!WakeConsole(HandshakeBudget))
        return Fail("Scanner is not connected or not in upgrade mode");
    // The header check, on the header bytes that were measured.
    if (DecodeMeasuredHeader()) {
        UpgradeRun.headerPresent = true;
        UpgradeRun.phase = PhaseIdentity;
        if (!QueryScannerIdentity() || !CheckIdentities() || !SendImageKey()) return false;
    }
    UpgradeRun.phase = PhaseErasing;
    char command[CommandCapacity];
    std::snprintf(command, sizeof command, "erase 2000 %x", static_cast<unsigned>(SectorCount));
    if (!Erase(command, "Erase Flash failed")) return false;
    if (!Erase(ParameterEraseCommand(), "Erase parameter area failed")) return false;
    UpgradeRun.phase = PhaseUploading;
    if (!StartUpload()) return false;
    int sent = XmodemSend(imagePath);
    UpgradeRun.uploadCompleted = sent >= 0;
    UpgradeRun.lineLost = RxLinkIsDown();
    SetStatusText(sent < 0 ? "upgrade not finish!!!" : "upgrade success!!!");
    return true;
}

}  // namespace

const char* RunUpgrade(const char* imagePath, uint16_t fontTargetWord) {
    (void)fontTargetWord;  // handed over by the dialog; the boot loader is told nothing of it
    UpgradeRun = UpgradeRecord();
    SetStatusText("nothing error");
    RxFlush();
    RunSteps(imagePath);
    CloseImage();
    UpgradeRun.phase = PhaseFinished;
    return StatusText;
}

void StartFirmware() {
    DrainConsole(ReplyBudget);
    RxFlush();
    if (!WakeConsole(ReplyBudget)) return;
    NoteExchange("sending \"go 5000\"");
    if (!SendBootCommand("go 5000")) {
        FailWrite("go 5000");
        return;
    }
    RxFlush();
    WriteExecute();
}
