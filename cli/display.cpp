#include "cli/display.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <nlohmann/json.hpp>
#include <vector>

#include "cli/adapter_hints.h"
#include "cli/cli_platform.h"
#include "codec/scanner_identity.h"
#include "upgrade/upgrade.h"

namespace {

using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;

enum { BarWidth = 30, RedrawsPerSecond = 10, EventsPerSecond = 4, TraceLineLength = 72 };

struct State {
    DisplayMode mode = DisplayPlain;
    Verbosity verbosity = Normal;
    std::string port, image;
    Clock::time_point started, firstAck, lastDraw, lastPlain, lastEvent;
    uint32_t position = 0;
    std::string status, printed;
    bool drawn = false, identityShown = false;
    int drawnLength = 0;
} d;

// Filled by the reader thread, shown by the display's own.
struct Trace {
    std::mutex lock;
    std::string line;
    std::vector<std::string> lines;
    long heldBack = 0;
} trace;

double Seconds(Clock::duration t) {
    return std::chrono::duration<double>(t).count();
}

struct Numbers {
    int64_t sent = 0, total = 0;
    int percent = 0;
    double rate = 0, left = -1;  // bytes per second; seconds, -1 unknown
};

bool Running() {
    return UpgradeRun.phase != PhaseIdle && UpgradeRun.phase != PhaseFinished;
}

Numbers Compute() {
    Numbers n;
    n.total = UpgradeRun.payloadSize;
    int64_t blocks = d.position >= 2 ? d.position - 2 : 0;
    n.sent = blocks * 128 < n.total ? blocks * 128 : n.total;
    n.percent = n.total > 0 ? static_cast<int>(n.sent * 100 / n.total) : 0;
    double since = Seconds(Clock::now() - d.firstAck);
    if (blocks > 1 && since > 0) n.rate = (blocks - 1) * 128 / since;
    if (n.rate > 0) n.left = (n.total - n.sent) / n.rate;
    return n;
}

std::string Format(const char* format, double a, double b = 0) {
    char text[64];
    std::snprintf(text, sizeof text, format, a, b);
    return text;
}

// "3.8/42.9 KB  5.2 KB/s  8 s left", or with ", " between the parts.
std::string Extras(const Numbers& n, const char* between = "  ") {
    std::string text = Format("%.1f/%.1f KB", n.sent / 1024.0, n.total / 1024.0);
    if (n.rate > 0) text += between + Format("%.1f KB/s", n.rate / 1024.0);
    if (n.left >= 0) text += between + Format("%.0f s left", n.left);
    return text;
}

void Emit(Json event) {
    std::string line = event.dump(-1, ' ', false, Json::error_handler_t::replace);
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

void ClearBar() {
    if (!d.drawn) return;
    std::fprintf(stderr, "\r%*s\r", d.drawnLength, "");
    d.drawn = false;
    d.drawnLength = 0;
}

// Fits the terminal: the bar shrinks first, then the numbers go, then the text is cut.
void DrawBar() {
    Numbers n = Compute();
    int columns = TerminalColumns() - 1;
    std::string core = Format("%3.0f%%  ", n.percent) + d.status;
    std::string extras = UpgradeRun.phase == PhaseUploading ? "  " + Extras(n) : "";
    int room = columns - static_cast<int>(core.size() + extras.size()) - 3;
    if (room < 10 && !extras.empty()) {
        extras.clear();
        room = columns - static_cast<int>(core.size()) - 3;
    }
    std::string line;
    if (room >= 10) {
        int width = room < BarWidth ? room : BarWidth;
        int filled = static_cast<int>(n.percent * width / 100);
        line = "[" + std::string(filled, '#') + std::string(width - filled, '.') + "] ";
    }
    line += core + extras;
    if (static_cast<int>(line.size()) > columns) line.resize(columns);
    // Spaces, not a control sequence, cover what the last bar left: any terminal takes them.
    int length = static_cast<int>(line.size());
    std::fprintf(stderr, "\r%s%*s", line.c_str(),
                 d.drawnLength > length ? d.drawnLength - length : 0, "");
    std::fflush(stderr);
    d.drawn = true;
    d.drawnLength = length > d.drawnLength ? length : d.drawnLength;
    d.lastDraw = Clock::now();
}

void RedrawSoon() {
    if (Clock::now() - d.lastDraw >= std::chrono::milliseconds(1000 / RedrawsPerSecond)) DrawBar();
}

// Kilobyte lines at most once a second; every other change of text at once.
void PrintPlainStatus() {
    if (d.status.empty() || d.status == d.printed) return;
    bool counting = d.status.find("byte(s) sent") != std::string::npos;
    auto now = Clock::now();
    if (counting && now - d.lastPlain < std::chrono::seconds(1)) return;
    std::string line = d.status;
    if (counting) {
        Numbers n = Compute();
        line += Format("  (%.0f%%, ", n.percent) + Extras(n, ", ") + ")";
    }
    std::fprintf(stderr, "%s\n", line.c_str());
    d.printed = d.status;
    d.lastPlain = now;
}

void ShowTraceLines() {
    std::vector<std::string> lines;
    {
        std::lock_guard<std::mutex> guard(trace.lock);
        lines.swap(trace.lines);
    }
    for (const std::string& line : lines) DisplayLine("rx " + line);
}

void EmitIdentityOnce() {
    if (d.identityShown || !UpgradeRun.scannerIdentified) return;
    d.identityShown = true;
    if (d.mode == DisplayEvents)
        Emit({{"ev", "scanner"},
              {"customer", ScannerId.customerId},
              {"module", ScannerId.moduleNo},
              {"hardware", ScannerId.hardware},
              {"software", ScannerId.software}});
}

const char* PhaseName() {
    static const char* const names[] = {"",        "measuring", "handshake", "identity",
                                        "erasing", "uploading", "finished"};
    return names[UpgradeRun.phase];
}

// At most a few a second, but always the first and the last.
void EmitProgress(bool force) {
    auto now = Clock::now();
    Numbers n = Compute();
    bool due = now - d.lastEvent >= std::chrono::milliseconds(1000 / EventsPerSecond);
    if (!force && !due && n.percent < 100) return;
    d.lastEvent = now;
    Emit({{"ev", "progress"},
          {"phase", PhaseName()},
          {"text", d.status},
          {"percent", n.percent},
          {"sent", n.sent},
          {"total", n.total},
          {"rate", n.rate},
          {"left", n.left}});
}

void AppendTraceByte(unsigned char b) {
    char shown[8];
    if (b == '\n' || trace.line.size() >= TraceLineLength) {
        trace.lines.push_back(trace.line);
        trace.line.clear();
        if (b == '\n') return;
    }
    if (b == '\r') return;
    if (b >= 0x20 && b < 0x7F && b != '\\') {
        trace.line += static_cast<char>(b);
        return;
    }
    std::snprintf(shown, sizeof shown, "\\x%02x", b);
    trace.line += shown;
}

}  // namespace

void StartDisplay(DisplayMode mode, Verbosity verbosity, const std::string& port) {
    d.mode = mode;
    d.verbosity = verbosity;
    d.port = port;
    d.started = Clock::now();
}

void DisplayNewUpgrade(const std::string& image) {
    d.image = image.substr(image.find_last_of("/\\") + 1);
    d.started = d.firstAck = Clock::now();
    d.position = 0;
    d.status.clear(), d.printed.clear();
    d.identityShown = false;
}

void DisplayStatusLine(const char* text) {
    EmitIdentityOnce();
    // Messages of the outcome wait for DisplayResult, after the summary.
    if (!Running() || !*text || d.verbosity == Quiet) return;
    d.status = text;
    if (d.mode == DisplayEvents) return EmitProgress(true);
    if (d.mode == DisplayLive) return DrawBar();
    PrintPlainStatus();
}

// The percent comes from the bytes acknowledged, not from the bar's range,
// which counts the header's blocks too.
void DisplayRange(unsigned, unsigned) {}

void DisplayPosition(uint32_t position) {
    if (position == 3) d.firstAck = Clock::now();
    d.position = position;
    if (d.verbosity == Quiet) return;
    if (d.mode == DisplayEvents) return EmitProgress(false);
    if (d.verbosity == Verbose) ShowTraceLines();
    if (d.mode == DisplayLive) RedrawSoon();
}

void DisplayNote(const char* text) {
    if (d.verbosity != Verbose) return;
    ShowTraceLines();
    DisplayLine(Format("[%7.3f] ", Seconds(Clock::now() - d.started)) + text);
}

void DisplayLine(const std::string& text, bool always) {
    if (d.verbosity == Quiet && !always) return;
    if (d.mode == DisplayEvents) return Emit({{"ev", "line"}, {"text", text}});
    bool redraw = d.drawn;
    ClearBar();
    std::fprintf(stderr, "%s\n", text.c_str());
    if (redraw) DrawBar();
    std::fflush(stderr);
}

void DisplayWaiting(const std::string& text) {
    if (d.mode == DisplayEvents) return Emit({{"ev", "waiting"}, {"text", text}});
    DisplayLine(text);
}

void DisplayQuestion(const char* caption, const char* text) {
    ClearBar();
    if (d.mode == DisplayEvents) return Emit({{"ev", "line"}, {"text", std::string(caption)}});
    std::fprintf(stderr, "%s\n%s\n", caption, text);
}

void DisplayPrompt(const char* prompt) {
    ClearBar();
    std::fputs(prompt, stderr);
    std::fflush(stderr);
}

void DisplayAnswerEnded() {
    std::fputs("\n", stderr);
}

void DisplayResult(const char* message, int exitStatus) {
    double took = Seconds(Clock::now() - d.started);
    if (d.mode == DisplayEvents)
        return Emit(
            {{"ev", "result"}, {"message", message}, {"exit", exitStatus}, {"seconds", took}});
    ShowTraceLines();
    long held = 0;
    {
        std::lock_guard<std::mutex> guard(trace.lock);
        held = trace.heldBack;
        trace.heldBack = 0;
    }
    if (held > 0)
        DisplayLine("note: " + std::to_string(held) +
                    " received bytes not shown (standard output is this terminal); > trace.log "
                    "keeps them");
    ClearBar();
    if (d.verbosity != Quiet && !d.image.empty())
        std::fprintf(stderr, "%s on %s, %.1f s%s\n", d.image.c_str(), d.port.c_str(), took,
                     AnswerDelaySummary().c_str());
    std::fprintf(stderr, "%s\n", message);
    std::fflush(stderr);
}

void DisplayTally(int done, int failed) {
    if (d.mode == DisplayEvents) return Emit({{"ev", "tally"}, {"done", done}, {"failed", failed}});
    DisplayLine(
        d.port + ": " + std::to_string(done) + " upgraded, " + std::to_string(failed) + " failed",
        true);
}

void DisplayReportLine(const std::string& line) {
    Emit({{"ev", "report"}, {"line", line}});
}

void CollectTrace(const unsigned char* bytes, int count) {
    std::lock_guard<std::mutex> guard(trace.lock);
    if (d.verbosity != Verbose) {
        trace.heldBack += count;
        return;
    }
    for (int i = 0; i < count; ++i) AppendTraceByte(bytes[i]);
}
