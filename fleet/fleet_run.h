// A several-ports run: a child process per slot of the model, each running
// the single-port upgrade; their events are decoded into the model, the
// report is appended by this one writer, and every view is told. Requests
// to the children are typed.
#pragma once
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "fleet/fleet_model.h"

struct FleetView {
    // Each event as it is applied, under the model's lock; must not wait.
    std::function<void(const FleetModel& model, size_t slot, const RunEvent& event)> onEvent;
    // A few times a second, and once at the end, under the model's lock.
    std::function<void(const FleetModel& model)> onTick;
};

struct FleetSetup {
    std::string program;                              // this program
    std::vector<std::vector<std::string>> arguments;  // a child's, per slot
    // Keeps each upgrade's record (the report, appended by this one writer;
    // a station's spool), before any view is told of its end; false with the
    // reason when it could not. May be empty.
    std::function<bool(const UpgradeRecord& record, std::string& why)> keepRecord;
    std::vector<FleetView> views;
};

// Runs until every child has ended; the model then holds how each ended.
void RunFleet(FleetModel& model, const FleetSetup& setup);

// The lock over the model while a run is under way, for readers elsewhere.
std::mutex& FleetLock();

// From any thread while the run is under way: a request to every child still
// running, or to one slot's.
void RequestAllChildren(ChildRequest request);
void RequestChild(size_t slot, ChildRequest request);
