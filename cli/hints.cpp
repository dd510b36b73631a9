#include "cli/hints.h"

#include <cstring>

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

bool Is(const char* message, const char* text) {
    return std::strcmp(message, text) == 0;
}

bool StartsWith(const char* message, const char* text) {
    return std::strncmp(message, text, std::strlen(text)) == 0;
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
            Hint(
                "the image file came up short of its measured size while it was sent (cut or "
                "unreadable); the scanner stays in upgrade mode: run the upgrade again");
            return;
        case TransferImageChanged:
            Hint(
                "the image file changed while it was sent; leave it alone during an upgrade and "
                "run the upgrade again");
            return;
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

}  // namespace

void HintAfterUpgrade(const char* message) {
    if (Is(message, "Scanner is not connected or not in upgrade mode")) {
        Hint(
            "check the cable and put the scanner into upgrade mode (its boot loader); then run "
            "again, or add --wait to wait for it");
    } else if (Is(message, "Mismatch Module NO.") || Is(message, "Mismatch Software ID")) {
        HintMismatch();
    } else if (Is(message, "Erase Flash failed")) {
        Hint(UpgradeRun.headerPresent
                 ? "the scanner refused the erase after the image key: this usually means the "
                   "image is for another scanner"
                 : "the scanner did not confirm the flash erase; run the upgrade again");
    } else if (Is(message, "upgrade not finish!!!")) {
        HintTransfer();
    } else if (StartsWith(message, "cannot open ")) {
        Hint("the image must be a regular file that can be read, at most 2 GB");
    } else if (StartsWith(message, "empty image ")) {
        Hint("the image holds nothing for the scanner (no bytes after its 1024-byte header)");
    } else if (StartsWith(message, "Write \"")) {
        Hint(
            "the scanner stopped echoing; check the cable, put the scanner back into upgrade "
            "mode and run the upgrade again");
    } else if (Is(message, "Get scanner ID failed") || Is(message, "Got a invalid scanner ID")) {
        Hint("the scanner's answer was not understood; check the cable and run the upgrade again");
    } else if (Is(message, "Erase parameter area failed")) {
        Hint("the scanner did not confirm the parameter-area erase; run the upgrade again");
    }
}

void HintRefusedPort(const std::string& entry) {
    std::string reason;
    if (!ExplainRefusedPort(entry.c_str(), reason)) reason += "; 'orvane-flash ports' lists them";
    Hint(reason);
}

void HintInvalidFileType() {
    Hint("the image must be a firmware image (.bin) or a font file (.fon)");
}

void WarnAboutAccessWord(const std::string& word) {
    if (ParseAccessWord(word.c_str()) != EndUser) return;
    DisplayLine("warning: '" + word +
                "' is no access word (they are compared exactly, case included); the upgrade "
                "runs in end-user mode");
}

std::string InterruptedMessage() {
    if (UpgradeRun.uploadCompleted)
        return "interrupted after the upload: the scanner holds the new image but was not told "
               "to start it; run the upgrade again, or restart the scanner";
    if (UpgradeRun.flashTouched)
        return "interrupted: the scanner was left erased and unfinished; it stays in upgrade "
               "mode: run the upgrade again";
    return "interrupted before any erase: the scanner is untouched";
}
