// One upgrade of one scanner from start to end, as every front end runs it:
// the port opened, the upgrade and the start step run, the port closed.
#pragma once
#include <cstdint>

#include "upgrade/outcome.h"

// The image's type from the last four characters of its path, case ignored:
// the font target word 0x200 or 0x240 for a font (".fon", box ticked or not),
// 0 for firmware (".bin"), -1 for anything else.
int DecideFontTargetWord(const char* path, bool fontBoxTicked);

// Opens the port for an upgrade: 0, or -1 when it did not open.
int OpenUpgradePort(const char* device);

// On the port just opened: the upgrade, the start step whatever its result,
// then the port closed. The outcome StatusText shows.
UpgradeOutcome UpgradeOnOpenPort(const char* imagePath, uint16_t fontTargetWord);

// The whole of it: the port opened (a port that does not open is reported
// before the image's type), the image's type judged, the upgrade run.
UpgradeOutcome UpgradeScanner(const char* device, const char* imagePath, bool fontBoxTicked);

// An attempt that ends before any upgrade runs (a port that did not open, an
// image of another type): StatusText and the record say so.
UpgradeOutcome RecordRefusal(UpgradeOutcome outcome);

// Monitor mode: the port opened at 9600 baud, only to listen. 0, or -1.
int OpenMonitorPort(const char* device);
