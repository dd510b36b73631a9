// The terminal's view of a several-ports run: a row per port redrawn in
// place on a terminal, or plain lines prefixed with the port elsewhere; and
// the summary at the end. It reads the fleet model only.
#pragma once
#include "cli/options.h"
#include "fleet/fleet_run.h"

FleetView TerminalFleetView(const FlashOptions& options, bool live);

// The summary lines after the run; its exit status.
int ShowFleetSummary(const FleetModel& model, const FlashOptions& options, bool interrupted);
