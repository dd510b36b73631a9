#include "fleet/fleet_model.h"

namespace {

bool EndedWell(int exitStatus) {
    return exitStatus == ExitSuccess || exitStatus == ExitNotRecorded;
}

// A new scanner: what the last one left is no longer shown.
void BeginUpgrade(FleetSlot& s) {
    s.showEnd = false;
    s.hints.clear();
    s.trace.clear();
    s.progress = ProgressFigures();
    s.hasScanner = false;
}

void CountEnd(FleetModel& m, FleetSlot& s, const RunEvent& e) {
    s.end = e;
    s.showEnd = true;
    s.phase = RunPhase::Done;
    s.endRecord = UpgradeRecord();
    s.endRecordWhy.clear();
    s.endRecordRead = RecordFromJson(e.record, s.endRecord, s.endRecordWhy);
    if (s.endRecordRead) m.records.push_back(s.endRecord);
    UpgradeResult result = ResultOfOutcome(e.outcome);
    ++s.results[result], ++m.results[result];
    // A port that would not open or a scanner that never came is no scanner failed.
    if (result != ResultFailed)
        s.failuresInRow = 0;
    else if (e.outcome != OutcomePortRefused && e.outcome != OutcomeNotConnected)
        ++s.failuresInRow;
}

void AddTrace(FleetSlot& s, const RunEvent& e) {
    s.trace.push_back(EventLine(e));
    while (s.trace.size() > TraceTailLines) s.trace.pop_front();
}

}  // namespace

void AddSlot(FleetModel& m, const std::string& port, const std::string& label) {
    FleetSlot s;
    s.port = port;
    s.label = label.empty() ? port : label;
    m.slots.push_back(s);
    ++m.version;
}

void ApplyEvent(FleetModel& m, size_t slot, const RunEvent& e) {
    if (slot >= m.slots.size()) return;
    FleetSlot& s = m.slots[slot];
    s.started = true;
    ++m.version;
    switch (e.kind) {
        case EventKind::Phase:
            if (e.phase == RunPhase::Waiting) BeginUpgrade(s);
            s.phase = e.phase;
            return;
        case EventKind::Image:
            BeginUpgrade(s);
            s.hasHeader = e.hasIdentity;
            s.header = e.identity;
            return;
        case EventKind::Progress:
            s.phase = e.phase;
            s.progress = e.progress;
            return;
        case EventKind::Scanner:
            s.hasScanner = true;
            s.scanner = e.identity;
            return;
        case EventKind::Hint:
            s.hints.push_back(e);
            return;
        case EventKind::Trace:
            return AddTrace(s, e);
        case EventKind::Message:
            s.messages.push_back(e);
            return;
        case EventKind::Tally:
            s.tallied = true;
            s.tallyDone = e.done;
            s.tallyFailed = e.failed;
            s.tallyCurrent = e.current;
            return;
        case EventKind::End:
            return CountEnd(m, s, e);
        default:
            return;
    }
}

void EndSlot(FleetModel& m, size_t slot, int exitStatus) {
    if (slot >= m.slots.size()) return;
    m.slots[slot].childEnded = true;
    m.slots[slot].childExit = exitStatus;
    ++m.version;
}

bool SlotNeedsCheck(const FleetSlot& s) {
    return s.failuresInRow >= FailuresForSlotCheck;
}

// Exit 0 only when every child ended well; an interrupt's own status when
// the run was stopped; 5 when all succeeded but something was not recorded.
FleetSummary SummarizeFleet(const FleetModel& m, bool interrupted) {
    FleetSummary summary;
    int interruptedStatus = 0;
    bool notRecorded = m.notRecorded;
    for (const FleetSlot& s : m.slots) {
        if (EndedWell(s.childExit))
            ++summary.succeeded;
        else
            ++summary.failed;
        if (s.childExit == ExitNotRecorded) notRecorded = true;
        if (s.childExit >= ExitInterruptedBase) interruptedStatus = s.childExit;
    }
    if (summary.failed == 0)
        summary.exitStatus = notRecorded ? ExitNotRecorded : ExitSuccess;
    else
        summary.exitStatus =
            interruptedStatus && interrupted ? interruptedStatus : ExitUpgradeFailed;
    return summary;
}
