// The several-ports model from events alone: what each slot shows, the
// counts, a slot that keeps failing, and the run's exit status; and the
// run's order of keeping a record and showing its end.
#include <gtest/gtest.h>

#include "fleet/fleet_model.h"
#include "fleet/fleet_run.h"

namespace {

RunEvent End(UpgradeOutcome outcome, int exitStatus) {
    RunEvent e;
    e.kind = EventKind::End;
    e.outcome = outcome;
    e.message = OutcomeName(outcome);
    e.exitStatus = exitStatus;
    e.record = {{"outcome", OutcomeName(outcome)}};
    return e;
}

RunEvent Scanner(const std::string& software) {
    RunEvent e;
    e.kind = EventKind::Scanner;
    e.identity = {"C", "5800", "HW", software};
    return e;
}

}  // namespace

TEST(FleetModel, ASlotShowsItsUpgradeUntilTheNextScannerComes) {
    FleetModel m;
    AddSlot(m, "/dev/ttyUSB0", "bench 1");
    AddSlot(m, "/dev/ttyUSB1", "");
    EXPECT_EQ("bench 1", m.slots[0].label);
    EXPECT_EQ("/dev/ttyUSB1", m.slots[1].label);

    ApplyEvent(m, 0, PhaseEvent(RunPhase::Handshake));
    ApplyEvent(m, 0, Scanner("1.00.00"));
    ApplyEvent(m, 0, HintEvent(HintKind::BlockRefused));
    for (int i = 0; i < 20; ++i) ApplyEvent(m, 0, TraceEvent(TraceKind::Note, std::to_string(i)));
    ApplyEvent(m, 0, End(OutcomeNotFinished, ExitUpgradeFailed));
    const FleetSlot& s = m.slots[0];
    EXPECT_TRUE(s.showEnd);
    EXPECT_EQ(RunPhase::Done, s.phase);
    EXPECT_EQ(1u, s.hints.size());
    ASSERT_EQ(static_cast<size_t>(TraceTailLines), s.trace.size());
    EXPECT_EQ("19", s.trace.back());
    EXPECT_EQ(1, m.results[ResultFailed]);
    EXPECT_EQ(1u, m.records.size());

    ApplyEvent(m, 0, PhaseEvent(RunPhase::Leaving));  // still shown while the scanner stays
    EXPECT_TRUE(s.showEnd);
    ApplyEvent(m, 0, PhaseEvent(RunPhase::Waiting));  // the next one
    EXPECT_FALSE(s.showEnd);
    EXPECT_TRUE(s.hints.empty());
    EXPECT_FALSE(s.hasScanner);
    EXPECT_EQ(0, m.slots[1].results[ResultPassed] +
                     m.slots[1].results[ResultFailed]);  // the other slot saw nothing
}

TEST(FleetModel, CountsPassedFailedAndAlreadyCurrentAndNamesASlotThatKeepsFailing) {
    FleetModel m;
    AddSlot(m, "p", "");
    for (int i = 0; i < FailuresForSlotCheck - 1; ++i)
        ApplyEvent(m, 0, End(OutcomeWriteFail, ExitUpgradeFailed));
    EXPECT_FALSE(SlotNeedsCheck(m.slots[0]));
    ApplyEvent(m, 0, End(OutcomeAlreadyCurrent, ExitSuccess));  // a good scanner breaks the row
    for (int i = 0; i < FailuresForSlotCheck; ++i)
        ApplyEvent(m, 0, End(OutcomeEraseFlashFailed, ExitUpgradeFailed));
    EXPECT_TRUE(SlotNeedsCheck(m.slots[0]));
    ApplyEvent(m, 0, End(OutcomeSuccess, ExitSuccess));
    EXPECT_FALSE(SlotNeedsCheck(m.slots[0]));
    EXPECT_EQ(1, m.results[ResultPassed]);
    EXPECT_EQ(1, m.results[ResultAlreadyCurrent]);
    EXPECT_EQ(2 * FailuresForSlotCheck - 1, m.results[ResultFailed]);
    const int* r = m.slots[0].results;
    EXPECT_EQ(r[ResultPassed] + r[ResultFailed] + r[ResultAlreadyCurrent],
              static_cast<int>(m.records.size()));
}

TEST(FleetModel, TheRunEndsWellOnlyWhenEveryChildDid) {
    FleetModel m;
    AddSlot(m, "a", "");
    AddSlot(m, "b", "");
    EndSlot(m, 0, ExitSuccess);
    EndSlot(m, 1, ExitSuccess);
    EXPECT_EQ(ExitSuccess, SummarizeFleet(m, false).exitStatus);
    EndSlot(m, 1, ExitNotRecorded);  // upgraded, not recorded
    FleetSummary summary = SummarizeFleet(m, false);
    EXPECT_EQ(2, summary.succeeded);
    EXPECT_EQ(ExitNotRecorded, summary.exitStatus);
    EndSlot(m, 1, ExitInterruptedBase + 2);
    EXPECT_EQ(ExitUpgradeFailed, SummarizeFleet(m, false).exitStatus);
    EXPECT_EQ(ExitInterruptedBase + 2, SummarizeFleet(m, true).exitStatus);
    m.notRecorded = true;
    EndSlot(m, 1, ExitSuccess);
    EXPECT_EQ(ExitNotRecorded, SummarizeFleet(m, false).exitStatus);
}

#ifndef _WIN32
// A view finds an end's record kept before it is told of the end: a result
// on the screen is a result on disk. One not kept is a warning after it.
TEST(FleetRun, AnEndsRecordIsKeptBeforeAnyViewIsTold) {
    UpgradeRecord record;
    record.recordId = NewRecordId();
    record.outcome = OutcomeSuccess;
    RunEvent end = End(OutcomeSuccess, ExitSuccess);
    end.record = RecordJson(record);
    FleetModel model;
    AddSlot(model, "port", "A1");
    FleetSetup setup;
    setup.program = "/bin/sh";
    setup.arguments = {{"-c", "printf '%s\\n' \"$0\" >&2", EncodeEvent(end)}};
    std::vector<std::string> order;
    setup.keepRecord = [&](const UpgradeRecord& kept, std::string& why) {
        order.push_back("kept " + kept.recordId);
        why = "the disk is full";
        return false;
    };
    FleetView view;
    view.onEvent = [&](const FleetModel&, size_t, const RunEvent& e) {
        order.push_back(e.kind == EventKind::End ? "end shown" : e.text);
    };
    setup.views = {view};
    RunFleet(model, setup);
    EXPECT_EQ(
        (std::vector<std::string>{"kept " + record.recordId, "end shown", "the disk is full"}),
        order);
    EXPECT_TRUE(model.notRecorded);
}
#endif
