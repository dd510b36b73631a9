// The model of a several-ports run: a slot per port with what its child
// last told (phase, progress, identities, hints, the dialogue's last lines,
// the last upgrade's end), the counts over the run and its summary. Built
// only from typed events; every view of the run (the terminal's rows, the
// station's page) reads this one model, so no two views can disagree.
#pragma once
#include <deque>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "events/run_events.h"
#include "events/upgrade_record.h"

enum { TraceTailLines = 12, FailuresForSlotCheck = 3 };

struct FleetSlot {
    std::string port;   // as the user named it
    std::string label;  // the slot's name on a bench: the port unless named
    bool started = false;

    RunPhase phase = RunPhase::Waiting;
    ProgressFigures progress;
    bool hasScanner = false, hasHeader = false;
    IdentityTexts scanner, header;

    // The upgrade under way or last ended: shown until the next scanner comes.
    bool showEnd = false;
    RunEvent end;
    // Its record, read once from the end's JSON; when it could not be, why.
    bool endRecordRead = false;
    UpgradeRecord endRecord;
    std::string endRecordWhy;
    std::vector<RunEvent> hints;
    std::vector<RunEvent> messages;  // of the whole run, for the summary
    std::deque<std::string> trace;   // the dialogue's last lines

    int results[ResultCount] = {};  // upgrades that ended so, by UpgradeResult
    int failuresInRow = 0;          // a slot that fails scanner after scanner: check the slot
    bool tallied = false;           // production mode's count came from the child
    int tallyDone = 0, tallyFailed = 0, tallyCurrent = 0;

    bool childEnded = false;
    int childExit = 1;
};

struct FleetModel {
    std::vector<FleetSlot> slots;
    std::vector<UpgradeRecord> records;  // every upgrade's record, in the order they ended
    int results[ResultCount] = {};
    bool notRecorded = false;  // a record could not be kept
    uint64_t version = 0;      // grows with every change, for views that poll
};

void AddSlot(FleetModel& model, const std::string& port, const std::string& label);

void ApplyEvent(FleetModel& model, size_t slot, const RunEvent& event);

// The child of `slot` has ended with `exitStatus`.
void EndSlot(FleetModel& model, size_t slot, int exitStatus);

// A failed scanner's slot that failed this many in a row (cable or adapter, likely).
bool SlotNeedsCheck(const FleetSlot& slot);

// The end of the run: its exit status from every child's, and the counts.
struct FleetSummary {
    int succeeded = 0, failed = 0;  // children that ended well or not
    int exitStatus = 0;
};
FleetSummary SummarizeFleet(const FleetModel& model, bool interrupted);
