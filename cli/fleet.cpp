#include "cli/fleet.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "cli/cli_platform.h"
#include "cli/interrupts.h"
#include "cli/output_files.h"
#include "cli/report.h"
#include "cli/terminal_text.h"

namespace {

using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;

enum { RedrawMs = 100 };

struct Row {
    std::string port;
    Child* child = nullptr;
    std::string identity, phase = "starting", text, message;
    int percent = -1;
    double rate = 0, left = -1;
    int done = 0, failed = 0;
    bool tallied = false, ended = false;
    int exitStatus = ExitUpgradeFailed;
    std::vector<std::string> lines;  // hints and the like, for the summary
};

struct ChildLine {
    size_t row;
    bool end;
    std::string text;
};

struct Fleet {
    explicit Fleet(const FlashOptions& o) : options(o) {}
    const FlashOptions& options;
    std::vector<Row> rows;
    bool live = false;
    bool drawn = false;
    int forwarded = 0;                  // interrupts passed on to the children
    std::vector<std::string> warnings;  // said before the summary
    bool notRecorded = false;
    std::mutex lock;
    std::condition_variable arrived;
    std::deque<ChildLine> lines;
    std::vector<std::thread> readers;
};

void Read(Fleet& f, size_t row) {
    std::string text;
    while (ReadChildLine(f.rows[row].child, text)) {
        std::lock_guard<std::mutex> guard(f.lock);
        f.lines.push_back({row, false, text});
        f.arrived.notify_one();
    }
    std::lock_guard<std::mutex> guard(f.lock);
    f.lines.push_back({row, true, ""});
    f.arrived.notify_one();
}

void Plain(const Fleet& f, const Row& row, const std::string& text) {
    if (!f.live)
        std::fprintf(stderr, "%s: %s\n", TerminalText(row.port).c_str(),
                     TerminalText(text).c_str());
}

void TakeProgress(Row& row, const Json& e) {
    row.phase = e.value("phase", row.phase);
    row.text = e.value("text", row.text);
    row.percent = e.value("percent", row.percent);
    row.rate = e.value("rate", 0.0);
    row.left = e.value("left", -1.0);
}

void TakeEvent(Fleet& f, Row& row, const std::string& line) {
    Json e = Json::parse(line, nullptr, false);
    if (!e.is_object()) {  // not an event: whatever the child said, kept as it is
        row.lines.push_back(line);
        return Plain(f, row, line);
    }
    std::string ev = e.value("ev", "");
    if (ev == "progress") {
        bool changed = e.value("text", "") != row.text;
        row.message.clear();  // a new upgrade under way
        TakeProgress(row, e);
        if (changed && !e.value("counting", false)) Plain(f, row, row.text);
    } else if (ev == "scanner") {
        row.identity = e.value("module", "") + " " + e.value("software", "");
    } else if (ev == "line" || ev == "waiting") {
        std::string text = e.value("text", "");
        if (ev == "waiting") {
            row.phase = "waiting", row.text = text, row.message.clear();
            row.percent = -1, row.rate = 0;
        } else {
            row.lines.push_back(text);
        }
        Plain(f, row, text);
    } else if (ev == "result") {
        row.message = e.value("message", "");
        row.phase = e.value("exit", 1) == 0 ? "done" : "failed";
        Plain(f, row, row.message);
    } else if (ev == "tally") {
        row.done = e.value("done", 0), row.failed = e.value("failed", 0), row.tallied = true;
    } else if (ev == "report" && !f.options.report.empty()) {
        std::string why;
        if (!AppendOutputLine(f.options.report, e.value("line", ""), why)) {
            f.warnings.push_back("warning: cannot append to the report " + f.options.report + ": " +
                                 why);
            f.notRecorded = true;
        }
    }
}

// "waiting for the scanner to leave PORT..." as "for the scanner to leave":
// the row names its port and its phase already.
std::string WaitingFor(const Row& row) {
    std::string text = row.text;
    for (const std::string& cut :
         {std::string("waiting "), " on " + row.port, " " + row.port, std::string("...")}) {
        size_t at = text.find(cut);
        if (at != std::string::npos) text.erase(at, cut.size());
    }
    return text;
}

std::string RowText(const Row& row, int columns) {
    char numbers[64] = "";
    if (row.percent >= 0) {
        int n = std::snprintf(numbers, sizeof numbers, "%3d%%", row.percent);
        if (row.rate > 0)
            std::snprintf(numbers + n, sizeof numbers - n, " %5.1f KB/s %4.0f s", row.rate / 1024,
                          row.left);
    }
    // The running count before the text, which the width may cut.
    std::string tally =
        row.tallied ? std::to_string(row.done) + " ok " + std::to_string(row.failed) + " failed  "
                    : "";
    std::string shown = row.message.empty() ? row.text : row.message;
    if (row.phase == "waiting") shown = WaitingFor(row);
    char text[512];
    std::snprintf(text, sizeof text, "%-16s %-14s %-9s %-22s %s%s", TerminalText(row.port).c_str(),
                  TerminalText(row.identity).c_str(), row.phase.c_str(), numbers, tally.c_str(),
                  TerminalText(shown).c_str());
    std::string line = text;
    if (static_cast<int>(line.size()) > columns - 1) line.resize(columns - 1);
    return line;
}

void Draw(Fleet& f) {
    if (!f.live) return;
    int columns = TerminalColumns();
    if (f.drawn) std::fprintf(stderr, "\x1b[%zuA", f.rows.size());
    for (const Row& row : f.rows)
        std::fprintf(stderr, "\r\x1b[2K%s\n", RowText(row, columns).c_str());
    std::fflush(stderr);
    f.drawn = true;
}

void ForwardInterrupts(Fleet& f) {
    for (int n = InterruptCount(); f.forwarded < n; ++f.forwarded) {
        char request = f.forwarded == 0 && f.options.loop ? 'g' : 'i';
        for (Row& row : f.rows)
            if (row.child && !row.ended) SendToChild(row.child, request);
    }
}

bool AllEnded(const Fleet& f) {
    for (const Row& row : f.rows)
        if (!row.ended) return false;
    return true;
}

void Serve(Fleet& f) {
    auto lastDraw = Clock::now();
    Draw(f);
    while (!AllEnded(f)) {
        std::deque<ChildLine> got;
        {
            std::unique_lock<std::mutex> guard(f.lock);
            f.arrived.wait_for(guard, std::chrono::milliseconds(RedrawMs),
                               [&f] { return !f.lines.empty(); });
            got.swap(f.lines);
        }
        ForwardInterrupts(f);
        for (const ChildLine& line : got) {
            Row& row = f.rows[line.row];
            if (line.end)
                row.ended = true;
            else
                TakeEvent(f, row, line.text);
        }
        if (Clock::now() - lastDraw >= std::chrono::milliseconds(RedrawMs)) {
            Draw(f);
            lastDraw = Clock::now();
        }
    }
    Draw(f);
}

void Start(Fleet& f) {
    std::string program = ProgramPath();
    for (size_t i = 0; i < f.rows.size(); ++i) {
        Row& row = f.rows[i];
        row.child = StartChild(program, ChildArguments(f.options, row.port));
        if (!row.child) {
            row.ended = true;
            row.message = "cannot start a process for this port";
        }
    }
    for (size_t i = 0; i < f.rows.size(); ++i)
        if (f.rows[i].child) f.readers.emplace_back(Read, std::ref(f), i);
}

int Summarize(Fleet& f) {
    int succeeded = 0, interruptedStatus = 0;
    for (Row& row : f.rows) {
        if (row.child) row.exitStatus = FinishChild(row.child);
        if (row.exitStatus == ExitNotRecorded) f.notRecorded = true;
        if (row.exitStatus == ExitSuccess || row.exitStatus == ExitNotRecorded) ++succeeded;
        if (row.exitStatus >= ExitInterruptedBase) interruptedStatus = row.exitStatus;
    }
    for (const std::string& warning : f.warnings)
        std::fprintf(stderr, "%s\n", TerminalText(warning).c_str());
    int failed = static_cast<int>(f.rows.size()) - succeeded;
    if (f.options.loop) {
        int done = 0, bad = 0;
        for (const Row& row : f.rows) done += row.done, bad += row.failed;
        std::fprintf(stderr, "%zu ports: %d upgraded, %d failed\n", f.rows.size(), done, bad);
    } else {
        std::fprintf(stderr, "%d succeeded, %d failed\n", succeeded, failed);
    }
    // A success can come with hints too: a scanner that was not started.
    for (const Row& row : f.rows) {
        std::string port = TerminalText(row.port);
        if (row.tallied)
            std::fprintf(stderr, "  %s: %d upgraded, %d failed\n", port.c_str(), row.done,
                         row.failed);
        if (row.exitStatus != ExitSuccess && row.exitStatus != ExitNotRecorded)
            std::fprintf(stderr, "  %s: %s\n", port.c_str(), TerminalText(row.message).c_str());
        for (const std::string& line : row.lines)
            if (line.compare(0, 5, "hint:") == 0)
                std::fprintf(stderr, "    %s\n", TerminalText(line).c_str());
    }
    if (failed == 0) return f.notRecorded ? ExitNotRecorded : ExitSuccess;
    return interruptedStatus && Interrupted() ? interruptedStatus : ExitUpgradeFailed;
}

}  // namespace

int UpgradeSeveralPorts(const FlashOptions& options) {
    Fleet f(options);
    f.live = StderrIsTerminal() && EnableTerminalControls();
    for (const std::string& port : options.ports) {
        f.rows.emplace_back();
        f.rows.back().port = port;
    }
    Start(f);
    Serve(f);
    for (std::thread& t : f.readers) t.join();
    return Summarize(f);
}
