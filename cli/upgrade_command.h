// The upgrade on one port: once, or in production mode one scanner after
// another, each waited for when asked.
#pragma once
#include "cli/options.h"

int UpgradeOnePort(const FlashOptions& options);

// The device a port given by the user stands for now; "" when none.
std::string DeviceOf(const std::string& given);

// What must hold before anything is opened: an image path that fits (a
// longer one is refused, never cut) and outputs that cannot harm the image
// or each other. False once the reason has been said.
bool CheckArguments(const FlashOptions& options);
