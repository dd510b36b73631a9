#include "cli/fleet.h"

#include "cli/cli_platform.h"
#include "cli/fleet_rows.h"
#include "cli/interrupts.h"
#include "cli/output_files.h"
#include "cli/run_output.h"
#include "fleet/child_process.h"
#include "fleet/fleet_run.h"
#include "serial/background_writer.h"

namespace {

// Every event, each with its port, for a script.
FleetView JsonFleetView() {
    FleetView view;
    view.onEvent = [](const FleetModel& model, size_t slot, const RunEvent& e) {
        RunEvent tagged = e;
        tagged.port = model.slots[slot].port;
        PrintEventJson(tagged, 1 + static_cast<int>(slot));
    };
    return view;
}

int JsonSummary(const FleetModel& model) {
    FleetSummary summary = SummarizeFleet(model, Interrupted());
    RunEvent e;
    e.kind = EventKind::Summary;
    e.done = model.results[ResultPassed];
    e.failed = model.results[ResultFailed];
    e.current = model.results[ResultAlreadyCurrent];
    e.exitStatus = summary.exitStatus;
    PrintEventJson(e, 0);
    FlushWriter();
    return summary.exitStatus;
}

}  // namespace

FleetView InterruptForwarder(const FlashOptions& o) {
    auto forwarded = std::make_shared<int>(0);
    bool loop = o.loop;
    FleetView view;
    view.onTick = [forwarded, loop](const FleetModel&) {
        for (int n = InterruptCount(); *forwarded < n; ++*forwarded)
            RequestAllChildren(*forwarded == 0 && loop ? ChildRequest::Finish
                                                       : ChildRequest::StopNow);
    };
    return view;
}

int UpgradeSeveralPorts(const FlashOptions& o) {
    FleetModel model;
    FleetSetup setup;
    setup.program = ProgramPath();
    for (const std::string& port : o.ports) {
        AddSlot(model, port, "");
        setup.arguments.push_back(ChildArguments(o, port));
    }
    if (!o.report.empty())
        setup.keepRecord = [&o](const UpgradeRecord& record, std::string& why) {
            if (AppendOutputLine(o.report, RecordLine(record), why)) return true;
            why = "cannot append to the report " + o.report + ": " + why;
            return false;
        };
    bool live = !o.json && StderrIsTerminal() && EnableTerminalControls();
    setup.views.push_back(o.json ? JsonFleetView() : TerminalFleetView(o, live));
    setup.views.push_back(InterruptForwarder(o));
    RunFleet(model, setup);
    std::lock_guard<std::mutex> guard(FleetLock());
    return o.json ? JsonSummary(model) : ShowFleetSummary(model, o, Interrupted());
}
