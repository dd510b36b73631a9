#include "upgrade/upgrade.h"

#include <cstdio>
#include <cstring>

#include "codec/image_header.h"
#include "codec/key_code.h"
#include "codec/scanner_identity.h"
#include "serial/rx_ring.h"
#include "shell/access_mode.h"
#include "shell/progress.h"
#include "upgrade/boot_console.h"
#include "upgrade/xmodem.h"

char StatusText[StatusTextSize];

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

// Measures the image: -1 when it cannot be opened.
int64_t MeasureImage(const char* imagePath) {
    FILE* f = std::fopen(imagePath, "rb");
    if (!f) return -1;
    std::fseek(f, 0, SEEK_END);
    int64_t size = std::ftell(f);
    std::fclose(f);
    return size < 0 ? 0 : size;
}

bool QueryScannerIdentity() {
    ShowProgress(0);
    if (!SendBootCommand("whoru")) return FailWrite("whoru");
    int n = CollectReply(IdentityBudget, reply);
    if (!ReplyEndsWithPrompt(reply, n)) return Fail("Get scanner ID failed");
    if (!DecodeScannerIdentity(reply, n - BootPromptLength))
        return Fail("Got a invalid scanner ID");
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
    if (!SendBootCommand(code.bytes, KeyCodeLength)) return Fail("Write \"getid\" fail");
    int n = CollectReply(ReplyBudget, reply);
    return ReplyHasPrompt(reply, n) || Fail("Get scanner ID failed");
}

bool Erase(const char* command, const char* failure) {
    ShowProgress(1);
    if (!SendBootCommand(command)) return FailWrite(command);
    int n = CollectReply(ReplyBudget, reply);
    return ReplyHasSuccessMark(reply, n) || Fail(failure);
}

const char* ParameterEraseCommand() {
    return AccessMode == Reseller ? "erase 71000 7" : "erase 70000 8";
}

bool StartUpload() {
    ShowProgress(1);
    if (!SendBootCommand("upload 2000")) return FailWrite("upload 2000");
    RxFlush();
    WriteExecute();
    return true;
}

bool RunSteps(const char* imagePath) {
    int64_t size = MeasureImage(imagePath);
    if (size < 0) {
        std::snprintf(StatusText, sizeof StatusText, "cannot open %s", imagePath);
        return false;
    }
    SetProgressRange(0, static_cast<uint32_t>(BlockCountFor(size) + 2));
    if (!WakeConsole(HandshakeBudget))
        return Fail("Scanner is not connected or not in upgrade mode");
    if (ReadImageHeader(imagePath)) {
        if (!QueryScannerIdentity() || !CheckIdentities() || !SendImageKey()) return false;
    }
    char command[CommandCapacity];
    std::snprintf(command, sizeof command, "erase 2000 %x",
                  static_cast<unsigned>(SectorCountFor(size)));
    if (!Erase(command, "Erase Flash failed")) return false;
    if (!Erase(ParameterEraseCommand(), "Erase parameter area failed")) return false;
    if (!StartUpload()) return false;
    SetStatusText(XmodemSend(imagePath) < 0 ? "upgrade not finish!!!" : "upgrade success!!!");
    return true;
}

}  // namespace

int32_t BlockCountFor(int64_t imageSize) {
    return static_cast<int32_t>((imageSize + 127) / 128);
}

int32_t SectorCountFor(int64_t imageSize) {
    return static_cast<int32_t>((imageSize + 4095) / 4096);
}

const char* RunUpgrade(const char* imagePath, uint16_t fontTargetWord) {
    (void)fontTargetWord;  // handed over by the dialog; the boot loader is told nothing of it
    SetStatusText("nothing error");
    RxFlush();
    RunSteps(imagePath);
    return StatusText;
}

void StartFirmware() {
    DrainConsole(ReplyBudget);
    RxFlush();
    if (!WakeConsole(ReplyBudget)) return;
    if (!SendBootCommand("go 5000")) {
        FailWrite("go 5000");
        return;
    }
    RxFlush();
    WriteExecute();
}
