// Several ports at once: each port is upgraded by a child process running the
// same single-port upgrade; this process only starts them, shows them and
// sums them up.
#pragma once
#include "cli/options.h"

int UpgradeSeveralPorts(const FlashOptions& options);
