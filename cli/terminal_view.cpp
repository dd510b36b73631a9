#include "cli/terminal_view.h"

#include <chrono>
#include <cstdio>

#include "cli/adapter_hints.h"
#include "cli/cli_platform.h"
#include "cli/terminal_text.h"
#include "serial/background_writer.h"
#include "serial/trace.h"

namespace {

using Clock = std::chrono::steady_clock;

enum { BarWidth = 30, RedrawMs = 100, StderrBound = 1 << 20, BarKey = 1 };

void WriteErr(void*, const char* bytes, size_t count) {
    std::fwrite(bytes, 1, count, stderr);
}

void FlushErr(void*) {
    std::fflush(stderr);
}

const WriterSink kStderr = {WriteErr, FlushErr, nullptr, StderrBound};

struct View {
    bool live = false;
    Verbosity verbosity = Normal;
    std::string port, image;
    Clock::time_point started, lastDraw, lastPlain;
    ProgressFigures progress;
    std::string status, printed;
    bool drawn = false;
    int drawnLength = 0;
    long heldBack = 0;
    uint64_t lostShown = 0;
} v;

void Put(std::string text, int key = 0) {
    PutToStderr(std::move(text), key);
}

std::string Format(const char* format, double a, double b = 0) {
    char text[64];
    std::snprintf(text, sizeof text, format, a, b);
    return text;
}

// "3.8/42.9 KB  5.2 KB/s  8 s left", or with ", " between the parts.
std::string Extras(const ProgressFigures& p, const char* between = "  ") {
    std::string text = Format("%.1f/%.1f KB", p.sent / 1024.0, p.total / 1024.0);
    if (p.rate > 0) text += between + Format("%.1f KB/s", p.rate / 1024.0);
    if (p.left >= 0) text += between + Format("%.0f s left", p.left);
    return text;
}

std::string ClearBar() {
    if (!v.drawn) return std::string();
    std::string clear = "\r" + std::string(v.drawnLength, ' ') + "\r";
    v.drawn = false;
    v.drawnLength = 0;
    return clear;
}

bool Counting() {
    return v.progress.blocksAcked > 0;
}

// Fits the terminal: the bar shrinks first, then the numbers go, then the text is cut.
std::string BarText() {
    const ProgressFigures& p = v.progress;
    int columns = TerminalColumns() - 1;
    std::string core = Format("%3.0f%%  ", p.percent) + v.status;
    std::string extras = Counting() ? "  " + Extras(p) : "";
    int room = columns - static_cast<int>(core.size() + extras.size()) - 3;
    if (room < 10 && !extras.empty()) {
        extras.clear();
        room = columns - static_cast<int>(core.size()) - 3;
    }
    std::string line;
    if (room >= 10) {
        int width = room < BarWidth ? room : BarWidth;
        int filled = p.percent * width / 100;
        line = "[" + std::string(filled, '#') + std::string(width - filled, '.') + "] ";
    }
    line += core + extras;
    if (static_cast<int>(line.size()) > columns) line.resize(columns);
    return line;
}

// Spaces, not a control sequence, cover what the last bar left: any terminal takes them.
std::string DrawBar() {
    std::string line = BarText();
    int length = static_cast<int>(line.size());
    std::string text =
        "\r" + line + std::string(v.drawnLength > length ? v.drawnLength - length : 0, ' ');
    v.drawn = true;
    v.drawnLength = length > v.drawnLength ? length : v.drawnLength;
    v.lastDraw = Clock::now();
    return text;
}

void WriteLine(const std::string& text) {
    bool redraw = v.drawn;
    std::string out = ClearBar() + TerminalText(text) + "\n";
    if (redraw) out += DrawBar();
    Put(out);
}

// Kilobyte lines at most once a second; every other change of text at once.
void PrintPlainStatus(bool last) {
    if (v.status.empty() || v.status == v.printed) return;
    auto now = Clock::now();
    if (Counting() && !last && now - v.lastPlain < std::chrono::seconds(1)) return;
    std::string line = v.status;
    if (Counting())
        line += Format("  (%.0f%%, ", v.progress.percent) + Extras(v.progress, ", ") + ")";
    Put(line + "\n");
    v.printed = v.status;
    v.lastPlain = now;
}

void ShowProgress(const ProgressFigures& p) {
    bool textChanged = p.text != v.status;
    bool last = p.blocksToSend > 0 && p.blocksAcked >= p.blocksToSend;
    v.progress = p;
    if (!p.text.empty()) v.status = p.text;
    if (v.verbosity == Quiet || v.status.empty()) return;
    if (!v.live) return PrintPlainStatus(last);
    if (textChanged || last || Clock::now() - v.lastDraw >= std::chrono::milliseconds(RedrawMs))
        Put(DrawBar(), BarKey);
}

void ShowWaiting(RunPhase phase) {
    if (v.verbosity == Quiet) return;
    if (phase == RunPhase::Waiting) WriteLine("waiting for the scanner on " + v.port + "...");
    if (phase == RunPhase::Leaving) WriteLine("waiting for the scanner to leave " + v.port + "...");
}

void ShowTrace(const RunEvent& e) {
    if (v.verbosity != Verbose) return;
    if (e.trace == TraceKind::Note)
        WriteLine(Format("[%7.3f] ", e.seconds) + e.text);
    else
        WriteLine(EventLine(e));
}

// The notes that come before the result: received bytes held back or lost.
void NoteTraceBytes() {
    if (v.heldBack > 0)
        WriteLine("note: " + std::to_string(v.heldBack) +
                  " received bytes not shown (standard output is this terminal); > trace.log "
                  "keeps them");
    v.heldBack = 0;
    if (uint64_t lost = TraceLostBytes(); lost > v.lostShown) {
        WriteLine("note: " + std::to_string(lost - v.lostShown) +
                  " received bytes missing from the trace: standard output did not take them");
        v.lostShown = lost;
    }
}

// One summary line, then the result message last; a finished bar stays on its line.
void ShowEnd(const RunEvent& e) {
    NoteTraceBytes();
    std::string out;
    if (v.drawn && e.outcome == OutcomeSuccess) {
        out = "\n";
        v.drawn = false;
        v.drawnLength = 0;
    }
    out += ClearBar();
    double took = std::chrono::duration<double>(Clock::now() - v.started).count();
    if (v.verbosity != Quiet && !v.image.empty())
        out += TerminalText(v.image) + " on " + TerminalText(v.port) + Format(", %.1f s", took) +
               AnswerDelaySummary() + "\n";
    Put(out + TerminalText(e.message) + "\n");
}

}  // namespace

std::string TallyText(int done, int failed, int current) {
    std::string text = std::to_string(done) + " upgraded, " + std::to_string(failed) + " failed";
    return current > 0 ? text + ", " + std::to_string(current) + " already current" : text;
}

void PutToStderr(std::string text, int key) {
    PostToWriter(&kStderr, std::move(text), key);
}

void StartTerminalView(bool live, Verbosity verbosity, const std::string& port) {
    v.live = live;
    v.verbosity = verbosity;
    v.port = port;
    v.started = Clock::now();
}

void ResetTerminalView(const std::string& image) {
    v.image = image.substr(image.find_last_of("/\\") + 1);
    v.started = Clock::now();
    v.progress = ProgressFigures();
    v.status.clear(), v.printed.clear();
}

void ShowOnTerminal(const RunEvent& e) {
    switch (e.kind) {
        case EventKind::Phase:
            return ShowWaiting(e.phase);
        case EventKind::Progress:
            return ShowProgress(e.progress);
        case EventKind::Hint:
            if (v.verbosity != Quiet) WriteLine(EventLine(e));
            return;
        case EventKind::Trace:
            return ShowTrace(e);
        case EventKind::Message:
            if (v.verbosity != Quiet || e.level == MessageLevel::Warning) WriteLine(EventLine(e));
            return;
        case EventKind::Tally:
            return WriteLine(v.port + ": " + TallyText(e.done, e.failed, e.current));
        case EventKind::End:
            return ShowEnd(e);
        case EventKind::Summary:
            return WriteLine("stopped: " + TallyText(e.done, e.failed, e.current));
        default:
            return;
    }
}

void ShowLineOnTerminal(const std::string& text) {
    WriteLine(text);
}

void ShowPromptOnTerminal(const char* prompt) {
    Put(ClearBar() + prompt);
}

void EndPromptOnTerminal() {
    Put("\n");
}

void NoteTraceHeldBack(long bytes) {
    v.heldBack += bytes;
}
