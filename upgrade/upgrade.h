// Upgrade sequence: one whole upgrade over an open port, and the closing start step.
#pragma once
#include <cstdint>

enum { StatusTextSize = 1024 };

// The result message of the current or last upgrade.
extern char StatusText[StatusTextSize];

// Runs the upgrade; returns StatusText, which holds exactly one result message.
const char* RunUpgrade(const char* imagePath, uint16_t fontTargetWord);

// Tells the boot loader to start the firmware when its console still answers.
void StartFirmware();

// Image measures of one run.
int32_t BlockCountFor(int64_t imageSize);
int32_t SectorCountFor(int64_t imageSize);
