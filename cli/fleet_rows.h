// The terminal's view of a several-ports run: a row per port redrawn in
// place on a terminal, or plain lines prefixed with the port elsewhere; and
// the summary at the end. It reads the fleet model only.
#pragma once
#include <functional>
#include <string>

#include "cli/options.h"
#include "fleet/fleet_run.h"

// A status of the run's own beside its slots' (a station's line): `row`, kept
// under the slots on a live terminal; `news`, a line printed in plain output
// when something changed ("" for none).
struct FleetStatus {
    std::string row, news;
};

// `status`, when given, is asked on every tick, under the model's lock.
FleetView TerminalFleetView(const FlashOptions& options, bool live,
                            std::function<FleetStatus()> status = nullptr);

// The summary lines after the run; its exit status.
int ShowFleetSummary(const FleetModel& model, const FlashOptions& options, bool interrupted);
