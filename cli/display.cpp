#include "cli/display.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <nlohmann/json.hpp>
#include <thread>
#include <utility>
#include <vector>

#include "cli/adapter_hints.h"
#include "cli/cli_platform.h"
#include "cli/interrupts.h"
#include "cli/report.h"
#include "cli/terminal_text.h"
#include "codec/scanner_identity.h"
#include "serial/trace.h"
#include "shell/progress_display.h"

namespace {

using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;

enum { BarWidth = 30, RedrawMs = 100, EventMs = 250, TraceLineLength = 72, QueuedSteps = 32 };
enum { QueuedNotes = 512 };

struct Note {
    Clock::time_point at;
    std::string text;
};

// What the upgrade handed over and the display's thread has not yet taken.
struct Pending {
    std::deque<UpgradeProgress> steps;  // every report that changes the text, in order
    bool fresh = false;
    UpgradeProgress latest{};  // the newest block count wins
    std::deque<Note> notes;
    bool scannerFresh = false;
    ScannerIdentity scanner{};
};

// Taken in at once, drawn by the display's thread.
struct Mailbox {
    std::mutex lock;
    std::condition_variable changed, applied;
    Pending pending;
    uint64_t posted = 0, done = 0;
    bool stop = false;
};

// Never destroyed: the display's thread may still wait on it while the program ends.
Mailbox& Box() {
    alignas(Mailbox) static unsigned char storage[sizeof(Mailbox)];
    static Mailbox* box = new (storage) Mailbox;
    return *box;
}

// What is on the screen; the display's thread and the main thread draw
// under outputLock.
struct State {
    DisplayMode mode = DisplayPlain;
    Verbosity verbosity = Normal;
    std::string port, image;
    Clock::time_point started, firstAck, lastDraw, lastPlain, lastEvent;
    UpgradeProgress progress{};
    std::string status, printed;
    bool drawn = false;
    int drawnLength = 0;
} d;
std::mutex outputLock;
std::thread displayThread;

// Filled by the trace's writer, shown by the display.
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

// The percent counts blocks, the last short one included; the kilobytes
// count the image's bytes.
Numbers Compute() {
    const UpgradeProgress& p = d.progress;
    Numbers n;
    n.total = p.payloadSize;
    int64_t blocks = p.blocksAcked;
    n.sent = blocks * 128 < n.total ? blocks * 128 : n.total;
    n.percent = p.blocksToSend > 0 ? static_cast<int>(blocks * 100 / p.blocksToSend) : 0;
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
    std::string extras = d.progress.phase == PhaseUploading ? "  " + Extras(n) : "";
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

// The text counts kilobytes sent.
bool Counting() {
    return d.progress.step == StepBlockAcked || d.progress.step == StepUploaded;
}

// Kilobyte lines at most once a second; every other change of text at once.
void PrintPlainStatus(bool last) {
    if (d.status.empty() || d.status == d.printed) return;
    bool counting = Counting();
    auto now = Clock::now();
    if (counting && !last && now - d.lastPlain < std::chrono::seconds(1)) return;
    std::string line = d.status;
    if (counting) {
        Numbers n = Compute();
        line += Format("  (%.0f%%, ", n.percent) + Extras(n, ", ") + ")";
    }
    std::fprintf(stderr, "%s\n", line.c_str());
    d.printed = d.status;
    d.lastPlain = now;
}

const char* PhaseName(UpgradePhase phase) {
    static const char* const names[] = {"",        "measuring", "handshake", "identity",
                                        "erasing", "uploading", "starting",  "finished"};
    return names[phase];
}

// At most a few a second, but always a change of text and the last.
void EmitProgress(bool force) {
    auto now = Clock::now();
    Numbers n = Compute();
    if (!force && now - d.lastEvent < std::chrono::milliseconds(EventMs) && n.percent < 100) return;
    d.lastEvent = now;
    Emit({{"ev", "progress"},
          {"phase", PhaseName(d.progress.phase)},
          {"counting", Counting()},
          {"text", d.status},
          {"percent", n.percent},
          {"sent", n.sent},
          {"total", n.total},
          {"rate", n.rate},
          {"left", n.left}});
}

void WriteLine(const std::string& text) {
    if (d.mode == DisplayEvents) return Emit({{"ev", "line"}, {"text", text}});
    bool redraw = d.drawn;
    ClearBar();
    std::fprintf(stderr, "%s\n", TerminalText(text).c_str());
    if (redraw) DrawBar();
    std::fflush(stderr);
}

void ShowTraceLines() {
    std::vector<std::string> lines;
    {
        std::lock_guard<std::mutex> guard(trace.lock);
        lines.swap(trace.lines);
    }
    for (const std::string& line : lines) WriteLine("rx " + line);
}

// Under outputLock. `textChanged` draws at once; a count alone waits its turn.
void ApplyProgress(const UpgradeProgress& p, bool textChanged) {
    d.progress = p;
    if (p.step == StepBlockAcked && p.blocksAcked == 1) d.firstAck = Clock::now();
    int32_t step = ProgressStepNumber(p);
    if (step >= 0) {
        char text[64];
        FormatStepText(static_cast<uint32_t>(step), text, sizeof text);
        d.status = text;
    }
    if (d.verbosity == Quiet || d.status.empty()) return;
    if (d.mode == DisplayEvents) return EmitProgress(textChanged || p.step == StepUploaded);
    if (d.verbosity == Verbose) ShowTraceLines();
    if (d.mode == DisplayPlain) return PrintPlainStatus(p.step == StepUploaded);
    if (textChanged || p.step == StepUploaded ||
        Clock::now() - d.lastDraw >= std::chrono::milliseconds(RedrawMs))
        DrawBar();
}

void ApplyScanner(const ScannerIdentity& s) {
    if (d.mode != DisplayEvents) return;
    Json event = IdentityJson(s.customerId, s.moduleNo, s.hardware, s.software);
    event["ev"] = "scanner";
    Emit(std::move(event));
}

void ApplyNote(const Note& note) {
    if (d.verbosity != Verbose) return;
    ShowTraceLines();
    WriteLine(Format("[%7.3f] ", Seconds(note.at - d.started)) + note.text);
}

void Apply(const Pending& t) {
    std::lock_guard<std::mutex> guard(outputLock);
    for (const Note& note : t.notes) ApplyNote(note);
    if (t.scannerFresh) ApplyScanner(t.scanner);
    for (const UpgradeProgress& p : t.steps) ApplyProgress(p, true);
    if (t.fresh) ApplyProgress(t.latest, false);
}

// A count drawn late is drawn once its turn comes, even when nothing new arrives.
void DisplayLoop() {
    Mailbox& box = Box();
    std::unique_lock<std::mutex> guard(box.lock);
    for (;;) {
        box.changed.wait_for(guard, std::chrono::milliseconds(RedrawMs),
                             [&box] { return box.posted != box.done || box.stop; });
        bool stopping = box.stop && box.posted == box.done;
        uint64_t upto = box.posted;
        Pending t = std::exchange(box.pending, Pending());
        guard.unlock();
        Apply(t);
        guard.lock();
        box.done = upto;
        box.applied.notify_all();
        if (stopping) return;
    }
}

// A block count waits for the display's next round (a tenth of a second);
// anything else wakes it at once.
void Post(void (*put)(Mailbox& box, const void* what), const void* what, bool wake = true) {
    Mailbox& box = Box();
    {
        std::lock_guard<std::mutex> guard(box.lock);
        put(box, what);
        ++box.posted;
    }
    if (wake) box.changed.notify_one();
}

// The reports that change the text queue up; a block count only replaces the last.
void PutProgress(Mailbox& box, const void* what) {
    const UpgradeProgress& p = *static_cast<const UpgradeProgress*>(what);
    Pending& q = box.pending;
    if (p.step == StepBlockAcked || p.step == StepMeasured) {
        q.latest = p;
        q.fresh = true;
        return;
    }
    if (q.steps.size() >= QueuedSteps) q.steps.pop_front();
    q.steps.push_back(p);
    q.fresh = false;  // this one is newer
}

// Where an interrupt that cannot wait would leave the scanner.
void NoteProgressForInterrupts(ProgressStep step) {
    if (step == StepMeasured) NoteScannerState(OutcomeInterruptedUntouched);
    if (step == StepFlashErase) NoteScannerState(OutcomeInterruptedErased);
    if (step == StepUploaded) NoteScannerState(OutcomeInterruptedNotStarted);
}

void HookProgress(const UpgradeProgress& p) {
    NoteProgressForInterrupts(p.step);
    if (p.step == StepIdentified) {
        Post(
            [](Mailbox& box, const void*) {
                box.pending.scanner = ScannerId;
                box.pending.scannerFresh = true;
            },
            nullptr);
        return;
    }
    Post(PutProgress, &p, p.step != StepBlockAcked);
}

const ProgressHooks hooks = {HookProgress, DisplayNote};

// Everything handed over so far is on the screen.
void Settle() {
    if (!displayThread.joinable()) return;
    Mailbox& box = Box();
    std::unique_lock<std::mutex> guard(box.lock);
    box.changed.notify_one();
    box.applied.wait(guard, [&box] { return box.done == box.posted; });
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
    if (!displayThread.joinable()) displayThread = std::thread(DisplayLoop);
}

void StopDisplay() {
    if (!displayThread.joinable()) return;
    {
        std::lock_guard<std::mutex> guard(Box().lock);
        Box().stop = true;
    }
    Box().changed.notify_one();
    displayThread.join();
}

void DisplayNote(const char* text) {
    if (d.verbosity != Verbose) return;
    Note note{Clock::now(), text};
    Post(
        [](Mailbox& box, const void* what) {
            if (box.pending.notes.size() < QueuedNotes)
                box.pending.notes.push_back(*static_cast<const Note*>(what));
        },
        &note);
}

const ProgressHooks* DisplayProgressHooks() {
    return &hooks;
}

void DisplayNewUpgrade(const std::string& image) {
    Settle();
    std::lock_guard<std::mutex> guard(outputLock);
    d.image = image.substr(image.find_last_of("/\\") + 1);
    d.started = d.firstAck = Clock::now();
    d.progress = UpgradeProgress();
    d.status.clear(), d.printed.clear();
}

void DisplayLine(const std::string& text, bool always) {
    if (d.verbosity == Quiet && !always) return;
    Settle();
    std::lock_guard<std::mutex> guard(outputLock);
    WriteLine(text);
}

void DisplayWaiting(const std::string& text) {
    Settle();
    std::lock_guard<std::mutex> guard(outputLock);
    if (d.mode == DisplayEvents) return Emit({{"ev", "waiting"}, {"text", text}});
    if (d.verbosity != Quiet) WriteLine(text);
}

void DisplayQuestion(const char* caption, const char* text) {
    Settle();
    std::lock_guard<std::mutex> guard(outputLock);
    ClearBar();
    if (d.mode == DisplayEvents) return Emit({{"ev", "line"}, {"text", std::string(caption)}});
    std::fprintf(stderr, "%s\n%s\n", TerminalText(caption).c_str(), text);
}

void DisplayPrompt(const char* prompt) {
    std::lock_guard<std::mutex> guard(outputLock);
    ClearBar();
    std::fputs(prompt, stderr);
    std::fflush(stderr);
}

void DisplayAnswerEnded() {
    std::lock_guard<std::mutex> guard(outputLock);
    std::fputs("\n", stderr);
}

void DisplayResult(const char* message, int exitStatus) {
    Settle();
    std::lock_guard<std::mutex> guard(outputLock);
    double took = Seconds(Clock::now() - d.started);
    if (d.mode == DisplayEvents)
        return Emit(
            {{"ev", "result"}, {"message", message}, {"exit", exitStatus}, {"seconds", took}});
    ShowTraceLines();
    long held = 0;
    {
        std::lock_guard<std::mutex> traceGuard(trace.lock);
        held = trace.heldBack;
        trace.heldBack = 0;
    }
    if (held > 0)
        WriteLine("note: " + std::to_string(held) +
                  " received bytes not shown (standard output is this terminal); > trace.log "
                  "keeps them");
    static uint64_t lostShown = 0;
    if (uint64_t lost = TraceLostBytes(); lost > lostShown) {
        WriteLine("note: " + std::to_string(lost - lostShown) +
                  " received bytes missing from the trace: standard output did not take them");
        lostShown = lost;
    }
    // A finished bar stays on its line; any other is taken away.
    if (d.drawn && exitStatus == ExitSuccess) {
        std::fputs("\n", stderr);
        d.drawn = false;
        d.drawnLength = 0;
    }
    ClearBar();
    if (d.verbosity != Quiet && !d.image.empty())
        std::fprintf(stderr, "%s on %s, %.1f s%s\n", TerminalText(d.image).c_str(),
                     TerminalText(d.port).c_str(), took, AnswerDelaySummary().c_str());
    std::fprintf(stderr, "%s\n", TerminalText(message).c_str());
    std::fflush(stderr);
}

void DisplayTally(int done, int failed) {
    Settle();
    std::lock_guard<std::mutex> guard(outputLock);
    if (d.mode == DisplayEvents) return Emit({{"ev", "tally"}, {"done", done}, {"failed", failed}});
    WriteLine(d.port + ": " + std::to_string(done) + " upgraded, " + std::to_string(failed) +
              " failed");
}

void DisplayReportLine(const std::string& line) {
    std::lock_guard<std::mutex> guard(outputLock);
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
