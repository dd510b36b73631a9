// orvane-flash doctor: is each port ready for an upgrade, and if not, the
// exact fix for each problem; or a udev rule for one adapter.
#pragma once
#include "cli/options.h"

int RunDoctor(const FlashOptions& options);
