#include "cli/fleet_rows.h"

#include <cstdio>
#include <map>
#include <memory>

#include "cli/cli_platform.h"
#include "cli/terminal_text.h"
#include "cli/terminal_view.h"
#include "serial/background_writer.h"

namespace {

enum { RowsKey = 2 };

bool EndedWell(int exitStatus) {
    return exitStatus == ExitSuccess || exitStatus == ExitNotRecorded;
}

std::string Identity(const FleetSlot& s) {
    return s.hasScanner ? s.scanner.module + " " + s.scanner.software : "";
}

std::string PhaseWord(const FleetSlot& s) {
    if (!s.started) return "starting";
    if (s.showEnd) return ResultLabel(ResultOfOutcome(s.end.outcome));
    return RunPhaseLabel(s.phase);
}

std::string ShownText(const FleetSlot& s) {
    if (s.showEnd) return s.end.message;
    if (s.phase == RunPhase::Waiting) return "for the scanner";
    if (s.phase == RunPhase::Leaving) return "for the scanner to leave";
    return s.progress.text;
}

std::string Cut(std::string line, int columns) {
    if (static_cast<int>(line.size()) > columns - 1) line.resize(columns - 1);
    return line;
}

std::string RowText(const FleetSlot& s, int columns) {
    char numbers[64] = "";
    const ProgressFigures& p = s.progress;
    if (!s.showEnd && !p.text.empty()) {
        int n = std::snprintf(numbers, sizeof numbers, "%3d%%", p.percent);
        if (p.rate > 0)
            std::snprintf(numbers + n, sizeof numbers - n, " %5.1f KB/s %4.0f s", p.rate / 1024,
                          p.left);
    }
    // The running count before the text, which the width may cut.
    std::string tally = s.tallied ? std::to_string(s.tallyDone) + " ok " +
                                        std::to_string(s.tallyFailed) + " failed  "
                                  : "";
    char text[512];
    std::snprintf(text, sizeof text, "%-16s %-14s %-9s %-22s %s%s", TerminalText(s.label).c_str(),
                  TerminalText(Identity(s)).c_str(), PhaseWord(s).c_str(), numbers, tally.c_str(),
                  TerminalText(ShownText(s)).c_str());
    return Cut(text, columns);
}

struct Rows {
    bool live = false;
    bool drawn = false;
    size_t lines = 0;  // drawn last time
    Verbosity verbosity = Normal;
    std::map<size_t, std::string> printed;  // the last progress text printed per slot
};

// The status row, when there is one, under the slots'.
void DrawRows(Rows& r, const FleetModel& model, const std::string& status) {
    int columns = TerminalColumns();
    std::string out;
    if (r.drawn) out = "\x1b[" + std::to_string(r.lines) + "A";
    for (const FleetSlot& s : model.slots) out += "\r\x1b[2K" + RowText(s, columns) + "\n";
    if (!status.empty()) out += "\r\x1b[2K" + Cut(TerminalText(status), columns) + "\n";
    size_t lines = model.slots.size() + !status.empty();
    if (r.drawn && lines < r.lines) out += "\x1b[J";  // the status row gone
    r.lines = lines;
    r.drawn = true;
    PutToStderr(out, RowsKey);
}

void PrintLine(const FleetSlot& s, const std::string& text) {
    PutToStderr(TerminalText(s.label) + ": " + TerminalText(text) + "\n");
}

// Plain lines: each change of text but the kilobyte counts, waiting, hints,
// messages, the result; the dialogue with -v.
void PrintEvent(Rows& r, const FleetModel& model, size_t slot, const RunEvent& e) {
    const FleetSlot& s = model.slots[slot];
    switch (e.kind) {
        case EventKind::Progress:
            if (e.progress.blocksAcked > 0 || r.printed[slot] == e.progress.text) return;
            r.printed[slot] = e.progress.text;
            return PrintLine(s, e.progress.text);
        case EventKind::Phase:
            if (e.phase == RunPhase::Waiting)
                PrintLine(s, "waiting for the scanner on " + s.port + "...");
            if (e.phase == RunPhase::Leaving)
                PrintLine(s, "waiting for the scanner to leave " + s.port + "...");
            return;
        case EventKind::Trace:
            if (r.verbosity == Verbose) PrintLine(s, EventLine(e));
            return;
        case EventKind::Hint:
        case EventKind::Message:
            return PrintLine(s, EventLine(e));
        case EventKind::End:
            r.printed[slot].clear();
            return PrintLine(s, e.message);
        default:
            return;
    }
}

void PrintSlotSummary(const FleetSlot& s) {
    std::string port = TerminalText(s.label);
    std::string out;
    if (s.tallied)
        out += "  " + port + ": " + TallyText(s.tallyDone, s.tallyFailed, s.tallyCurrent) + "\n";
    if (!EndedWell(s.childExit)) {
        std::string message = s.showEnd ? s.end.message : "";
        for (const RunEvent& m : s.messages)
            if (message.empty()) message = m.text;  // no upgrade ended: what it said instead
        out += "  " + port + ": " + TerminalText(message) + "\n";
    }
    // A success can come with hints too: a scanner that was not started.
    for (const RunEvent& hint : s.hints) out += "    " + TerminalText(EventLine(hint)) + "\n";
    PutToStderr(out);
}

}  // namespace

FleetView TerminalFleetView(const FlashOptions& o, bool live, std::function<FleetStatus()> status) {
    auto rows = std::make_shared<Rows>();
    rows->live = live;
    rows->verbosity = o.verbosity;
    FleetView view;
    view.onEvent = [rows](const FleetModel& model, size_t slot, const RunEvent& e) {
        if (!rows->live) PrintEvent(*rows, model, slot, e);
    };
    view.onTick = [rows, status](const FleetModel& model) {
        FleetStatus now = status ? status() : FleetStatus();
        if (rows->live) DrawRows(*rows, model, now.row);
        if (!rows->live && !now.news.empty()) PutToStderr(TerminalText(now.news) + "\n");
    };
    return view;
}

int ShowFleetSummary(const FleetModel& model, const FlashOptions& o, bool interrupted) {
    FleetSummary summary = SummarizeFleet(model, interrupted);
    std::string out;
    for (const FleetSlot& s : model.slots)
        for (const RunEvent& m : s.messages)
            if (m.level == MessageLevel::Warning) out += TerminalText(EventLine(m)) + "\n";
    if (o.loop) {
        int done = 0, failed = 0, current = 0;
        for (const FleetSlot& s : model.slots)
            done += s.tallyDone, failed += s.tallyFailed, current += s.tallyCurrent;
        out += std::to_string(model.slots.size()) + " ports: " + TallyText(done, failed, current) +
               "\n";
    } else {
        out += std::to_string(summary.succeeded) + " succeeded, " + std::to_string(summary.failed) +
               " failed\n";
    }
    PutToStderr(out);
    for (const FleetSlot& s : model.slots) PrintSlotSummary(s);
    FlushWriter();
    return summary.exitStatus;
}
