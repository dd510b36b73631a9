// The upgrade on one port: once, or in production mode one scanner after
// another, each waited for when asked.
#pragma once
#include "cli/options.h"

int UpgradeOnePort(const FlashOptions& options);

// The device a port given by the user stands for now; "" when none.
std::string DeviceOf(const std::string& given);

// What an image path or port name must fit; a longer one is refused, never cut.
bool CheckArgumentLengths(const FlashOptions& options);
