#include "upgrade/session.h"

#include <cctype>
#include <cstring>

#include "serial/serial.h"
#include "upgrade/upgrade.h"

namespace {

bool HasFileType(const char* path, const char* suffix) {
    size_t n = std::strlen(path), m = std::strlen(suffix);
    if (n < m) return false;
    for (size_t i = 0; i < m; ++i)
        if (std::tolower(static_cast<unsigned char>(path[n - m + i])) != suffix[i]) return false;
    return true;
}

}  // namespace

UpgradeOutcome RecordRefusal(UpgradeOutcome outcome) {
    UpgradeRun = UpgradeRunState();
    SetOutcome(outcome);
    UpgradeRun.upgradeOutcome = outcome;
    std::memcpy(UpgradeRun.upgradeMessage, StatusText, sizeof StatusText);
    return outcome;
}

int DecideFontTargetWord(const char* path, bool fontBoxTicked) {
    if (HasFileType(path, ".fon")) return fontBoxTicked ? 0x200 : 0x240;
    if (HasFileType(path, ".bin")) return 0;
    return -1;
}

int OpenUpgradePort(const char* device) {
    return SerialOpen(device, UpgradeBaud) < 0 ? -1 : 0;
}

UpgradeOutcome UpgradeOnOpenPort(const char* imagePath, uint16_t fontTargetWord) {
    RunUpgrade(imagePath, fontTargetWord);
    StartFirmware();
    SerialClose();
    return UpgradeRun.outcome;
}

UpgradeOutcome UpgradeScanner(const char* device, const char* imagePath, bool fontBoxTicked) {
    if (OpenUpgradePort(device) < 0) return RecordRefusal(OutcomePortRefused);
    int word = DecideFontTargetWord(imagePath, fontBoxTicked);
    if (word < 0) {
        SerialClose();
        return RecordRefusal(OutcomeInvalidFileType);
    }
    return UpgradeOnOpenPort(imagePath, static_cast<uint16_t>(word));
}

int OpenMonitorPort(const char* device) {
    return SerialOpen(device, MonitorBaud) < 0 ? -1 : 0;
}
