#include "cli/run_output.h"

#include <chrono>
#include <cstdio>
#include <mutex>

#include "cli/interrupts.h"
#include "cli/terminal_view.h"
#include "codec/image_header.h"
#include "codec/scanner_identity.h"
#include "serial/background_writer.h"
#include "shell/progress_display.h"
#include "upgrade/image.h"
#include "upgrade/upgrade.h"

namespace {

using Clock = std::chrono::steady_clock;

enum { ProgressEveryMs = 100, JsonBound = 1 << 20, ProgressKey = 1, TraceLineLength = 72 };

struct Output {
    std::mutex lock;
    RunView view = ViewPlain;
    Verbosity verbosity = Normal;
    std::string port;
    Clock::time_point started, firstAck, lastProgress;
    bool phaseSent = false;
    RunPhase phase = RunPhase::Handshake;
    std::string text;       // the status line's text so far
    std::string firstHint;  // of the upgrade under way, for its record
    std::string traceLine;  // received bytes not yet a whole line
} out;

void WriteOut(void*, const char* bytes, size_t count) {
    std::fwrite(bytes, 1, count, stdout);
}

void FlushOut(void*) {
    std::fflush(stdout);
}

void WriteErr(void*, const char* bytes, size_t count) {
    std::fwrite(bytes, 1, count, stderr);
}

void FlushErr(void*) {
    std::fflush(stderr);
}

// Events for a script on standard output, or for the parent on standard error.
const WriterSink kJsonOut = {WriteOut, FlushOut, nullptr, JsonBound};
const WriterSink kJsonErr = {WriteErr, FlushErr, nullptr, JsonBound};

bool OnTerminal() {
    return out.view == ViewLive || out.view == ViewPlain;
}

double SinceStart() {
    return std::chrono::duration<double>(Clock::now() - out.started).count();
}

// Under the lock. A newer progress report replaces one still waiting.
void Dispatch(const RunEvent& e) {
    if (OnTerminal()) return ShowOnTerminal(e);
    const WriterSink* sink = out.view == ViewJson ? &kJsonOut : &kJsonErr;
    PostToWriter(sink, EncodeEvent(e) + "\n", e.kind == EventKind::Progress ? ProgressKey : 0);
}

void DispatchScanner() {
    RunEvent e;
    e.kind = EventKind::Scanner;
    e.hasIdentity = true;
    e.identity = ScannerTexts();
    Dispatch(e);
}

// The percent counts blocks, the last short one included; the kilobytes
// count the image's bytes.
ProgressFigures Figures(const UpgradeProgress& p) {
    ProgressFigures f;
    f.blocksAcked = p.blocksAcked;
    f.blocksToSend = p.blocksToSend;
    f.total = p.payloadSize;
    f.sent = int64_t(p.blocksAcked) * 128 < f.total ? int64_t(p.blocksAcked) * 128 : f.total;
    f.percent =
        p.blocksToSend > 0 ? static_cast<int>(int64_t(p.blocksAcked) * 100 / p.blocksToSend) : 0;
    double since = std::chrono::duration<double>(Clock::now() - out.firstAck).count();
    if (p.blocksAcked > 1 && since > 0) f.rate = (p.blocksAcked - 1) * 128 / since;
    if (f.rate > 0) f.left = (f.total - f.sent) / f.rate;
    return f;
}

// A change of phase at once; progress when its text changes, at the last
// block, and otherwise a few times a second.
void DispatchProgress(const UpgradeProgress& p) {
    RunPhase phase = p.phase;
    if (!out.phaseSent || phase != out.phase) {
        out.phase = phase;
        out.phaseSent = true;
        Dispatch(PhaseEvent(phase));
    }
    if (p.step == StepBlockAcked && p.blocksAcked == 1) out.firstAck = Clock::now();
    int32_t step = ProgressStepNumber(p);
    if (step < 0 && p.step != StepUploaded) return;  // no figures move
    std::string text = out.text;
    if (step >= 0) {
        char formatted[64];
        FormatStepText(static_cast<uint32_t>(step), formatted, sizeof formatted);
        text = formatted;
    }
    if (text.empty()) return;
    bool due = Clock::now() - out.lastProgress >= std::chrono::milliseconds(ProgressEveryMs);
    if (text == out.text && p.step != StepUploaded && !due) return;
    out.text = text;
    out.lastProgress = Clock::now();
    RunEvent e;
    e.kind = EventKind::Progress;
    e.phase = phase;
    e.progress = Figures(p);
    e.progress.text = text;
    Dispatch(e);
}

// Where an interrupt that cannot wait would leave the scanner.
void NoteProgressForInterrupts(const UpgradeProgress& p) {
    if (p.step == StepMeasured) NoteScannerState(OutcomeInterruptedUntouched);
    if (p.step == StepPhase && p.phase == RunPhase::FlashErase)
        NoteScannerState(OutcomeInterruptedErased);
    if (p.step == StepUploaded) NoteScannerState(OutcomeInterruptedNotStarted);
}

void HookProgress(const UpgradeProgress& p) {
    NoteProgressForInterrupts(p);
    std::lock_guard<std::mutex> guard(out.lock);
    if (p.step == StepIdentified) return DispatchScanner();
    DispatchProgress(p);
}

void HookNote(const char* text) {
    EmitNote(text);
}

const ProgressHooks hooks = {HookProgress, HookNote};

// The image as the upgrade will measure it, for views that show it.
RunEvent ImageEvent(const std::string& path) {
    RunEvent e;
    e.kind = EventKind::Image;
    e.path = path;
    if (OpenImage(path.c_str()) < 0) return e;
    e.size = ImageSize();
    e.hasIdentity = DecodeMeasuredHeader();
    if (e.hasIdentity) e.identity = ImageTexts();
    CloseImage();
    return e;
}

// Under the lock: received bytes as lines of printable text.
void AppendTraceByte(unsigned char b) {
    if (b == '\n' || out.traceLine.size() >= TraceLineLength) {
        if (!out.traceLine.empty()) Dispatch(TraceEvent(TraceKind::Received, out.traceLine));
        out.traceLine.clear();
        if (b == '\n') return;
    }
    if (b == '\r') return;
    if (b >= 0x20 && b < 0x7F && b != '\\') {
        out.traceLine += static_cast<char>(b);
        return;
    }
    char shown[8];
    std::snprintf(shown, sizeof shown, "\\x%02x", b);
    out.traceLine += shown;
}

}  // namespace

void StartRunOutput(RunView view, Verbosity verbosity, const std::string& port) {
    std::lock_guard<std::mutex> guard(out.lock);
    out.view = view;
    out.verbosity = verbosity;
    out.port = port;
    out.started = Clock::now();
    if (OnTerminal()) StartTerminalView(view == ViewLive, verbosity, port);
}

void StopRunOutput() {
    FlushWriter();
}

void EmitEvent(const RunEvent& e) {
    std::lock_guard<std::mutex> guard(out.lock);
    if (e.kind == EventKind::Hint && out.firstHint.empty()) out.firstHint = HintName(e.hint);
    Dispatch(e);
}

std::string FirstHintName() {
    std::lock_guard<std::mutex> guard(out.lock);
    return out.firstHint;
}

void PrintEventJson(const RunEvent& e, int progressKey) {
    PostToWriter(&kJsonOut, EncodeEvent(e) + "\n", e.kind == EventKind::Progress ? progressKey : 0);
}

IdentityTexts ScannerTexts() {
    return {ScannerId.customerId, ScannerId.moduleNo, ScannerId.hardware, ScannerId.software};
}

IdentityTexts ImageTexts() {
    return {ImageId.customerId, ImageId.moduleNo, ImageId.hardware, ImageId.software};
}

const ProgressHooks* RunProgressHooks() {
    return &hooks;
}

void BeginUpgradeOutput(const std::string& image) {
    std::lock_guard<std::mutex> guard(out.lock);
    out.started = out.firstAck = out.lastProgress = Clock::now();
    out.phaseSent = false;
    out.text.clear();
    out.firstHint.clear();
    if (OnTerminal()) return ResetTerminalView(image);
    Dispatch(ImageEvent(image));
}

void EmitEnd(UpgradeOutcome outcome, const std::string& message, int exitStatus,
             const nlohmann::json& record) {
    RunEvent e;
    e.kind = EventKind::End;
    e.outcome = outcome;
    e.message = message;
    e.exitStatus = exitStatus;
    e.record = record;
    std::lock_guard<std::mutex> guard(out.lock);
    e.seconds = SinceStart();
    Dispatch(e);
}

// Only what a view will show is made: notes for a terminal with -v, always
// for the other views.
void EmitNote(const char* text) {
    std::lock_guard<std::mutex> guard(out.lock);
    if (OnTerminal() && out.verbosity != Verbose) return;
    RunEvent e = TraceEvent(TraceKind::Note, text);
    e.seconds = SinceStart();
    Dispatch(e);
}

void ShowQuestion(const char* caption, const std::vector<std::string>& lines) {
    std::lock_guard<std::mutex> guard(out.lock);
    if (!OnTerminal()) return Dispatch(MessageEvent(MessageLevel::Info, caption));
    ShowLineOnTerminal(caption);
    for (const std::string& line : lines) ShowLineOnTerminal(line);
}

void ShowAnswerLine(const std::string& text) {
    std::lock_guard<std::mutex> guard(out.lock);
    if (!OnTerminal()) return Dispatch(MessageEvent(MessageLevel::Info, text));
    ShowLineOnTerminal(text);
}

// On the screen before the answer is read.
void ShowPrompt(const char* prompt) {
    {
        std::lock_guard<std::mutex> guard(out.lock);
        ShowPromptOnTerminal(prompt);
    }
    FlushWriter();
}

void EndAnswer() {
    std::lock_guard<std::mutex> guard(out.lock);
    EndPromptOnTerminal();
}

void CollectTrace(const unsigned char* bytes, int count) {
    std::lock_guard<std::mutex> guard(out.lock);
    if (OnTerminal() && out.verbosity != Verbose) return NoteTraceHeldBack(count);
    for (int i = 0; i < count; ++i) AppendTraceByte(bytes[i]);
}
