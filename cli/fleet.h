// Several ports at once: each port is upgraded by a child process running the
// same single-port upgrade; this process only starts them, shows them and
// sums them up.
#pragma once
#include "cli/options.h"
#include "fleet/fleet_run.h"

int UpgradeSeveralPorts(const FlashOptions& options);

// Interrupts reach the parent only: the first one in production mode is
// passed on as "finish, then stop", any other as "stop at once".
FleetView InterruptForwarder(const FlashOptions& options);
