#include "cli/upgrade_command.h"

#include <chrono>
#include <string>

#include "cli/adapter_hints.h"
#include "cli/cli_platform.h"
#include "cli/hints.h"
#include "cli/interrupts.h"
#include "cli/output_files.h"
#include "cli/question.h"
#include "cli/recording.h"
#include "cli/report.h"
#include "cli/run_output.h"
#include "codec/access_mode.h"
#include "serial/rx_ring.h"
#include "serial/serial.h"
#include "shell/port_discovery.h"
#include "shell/port_map.h"
#include "upgrade/boot_console.h"
#include "upgrade/image.h"
#include "upgrade/session.h"
#include "upgrade/upgrade.h"

// Links and bare names are resolved anew at each look: a port may come and
// go, and a COM port may appear.
std::string DeviceOf(const std::string& given) {
    DiscoverSerialPorts(nullptr, nullptr);
    char device[ImagePathSize];
    return ResolvePortEntry(ResolvePortName(given).c_str(), device, sizeof device) ? device : "";
}

namespace {

using Clock = std::chrono::steady_clock;

enum { ProbeIntervalMs = 500, ProbeBudget = 250, DrainBudget = 150 };

// Looks in a row that must find no console before a scanner counts as gone.
enum { SilentProbesForGone = 2 };

// How long a look for the scanner just upgraded listens for any answer at
// all (charged 2 per ms): far past an echo, so a busy machine that is slow
// to take in the answer does not make a scanner that stays look gone.
enum { LeaveListenBudget = 2000 };

struct PortRun {
    const FlashOptions& options;
    std::string given;  // the port as the user named it
    int done = 0, failed = 0, current = 0;
    bool lastFailed = false;   // the last scanner's upgrade failed: a retry may take it again
    bool notRecorded = false;  // a report or recording asked for was not written
};

enum PortLook { PortGone, PortWontOpen, PortOpened };

// Opens the port for a look at its scanner, with nothing left unread.
PortLook OpenForLook(const std::string& given) {
    std::string device = DeviceOf(given);
    if (device.empty() || !PortDeviceExists(device)) return PortGone;
    if (OpenUpgradePort(device.c_str()) < 0) return PortWontOpen;
    // What the console still prints (after "go 5000", say) is no answer to this look.
    DrainConsole(DrainBudget);
    RxFlush();
    return PortOpened;
}

// The port is there, opens, and its console answers a lone carriage return.
bool ScannerAnswers(const std::string& given) {
    if (OpenForLook(given) != PortOpened) return false;
    bool answers = WakeConsole(ProbeBudget);
    SerialClose();
    return answers;
}

enum WaitEnd { ScannerReady, WaitTimedOut, WaitStopped };

WaitEnd WaitForScanner(const PortRun& r) {
    auto deadline = Clock::now() + std::chrono::seconds(r.options.waitSeconds);
    EmitEvent(PhaseEvent(RunPhase::Waiting));
    for (;;) {
        if (StopRequested()) return WaitStopped;
        if (ScannerAnswers(r.given)) return ScannerReady;
        if (r.options.waitSeconds >= 0 && Clock::now() >= deadline) return WaitTimedOut;
        if (!PauseUnlessStopped(ProbeIntervalMs)) return WaitStopped;
    }
}

// A look for the scanner just upgraded: there while its port is there and
// anything at all answers a carriage return; a port that is there but does
// not open now is no sign that the scanner has gone.
bool ScannerStays(const std::string& given) {
    PortLook look = OpenForLook(given);
    if (look != PortOpened) return look == PortWontOpen;
    SerialWrite("\r", 1);
    bool heard = RxReadByte(LeaveListenBudget) >= 0;
    SerialClose();
    return heard;
}

// The scanner just upgraded must leave before the next one is taken: its
// console stops answering, or its port goes. One look that finds nothing is
// not enough, as a console busy with something else misses a wake-up too.
bool WaitUntilGone(const PortRun& r) {
    bool told = false;
    for (int silent = 0; silent < SilentProbesForGone;) {
        // The same scanner again, asked for after it failed; a request that
        // comes after a success is late for a scanner already gone.
        if (TakeRetryRequest() && r.lastFailed) break;
        silent = ScannerStays(r.given) ? 0 : silent + 1;
        if (silent == 0 && !told) {
            EmitEvent(PhaseEvent(RunPhase::Leaving));
            told = true;
        }
        if (!PauseUnlessStopped(ProbeIntervalMs)) return false;
    }
    return !StopRequested();
}

int ExitStatusOf(UpgradeOutcome outcome) {
    switch (outcome) {
        case OutcomeSuccess:
        case OutcomeAlreadyCurrent:
            return ExitSuccess;
        case OutcomePortRefused:
            return ExitPortNotOpened;
        case OutcomeInvalidFileType:
            return ExitInvalidType;
        default:
            return ExitUpgradeFailed;
    }
}

void Warn(const std::string& text) {
    EmitEvent(MessageEvent(MessageLevel::Warning, text));
}

// Where and when an upgrade begins, for its record.
ReportEntry BegunEntry(const PortRun& r) {
    ReportEntry e;
    e.time = UtcTimestamp();
    e.startedAt = LocalTimeNow();
    e.port = r.given;
    e.device = DeviceOf(r.given);
    e.image = r.options.image;
    return e;
}

// The recording closed and the record kept, as asked; false when any of it
// could not be written, which has been said.
bool KeepRecords(const PortRun& r, const ReportEntry& e, const UpgradeRecord& record) {
    std::string why;
    bool kept = FinishRecording({e.outcome, e.message, e.exitStatus, e.seconds}, why);
    if (!kept) Warn(why);
    // A child's record reaches the report through its parent, the one writer.
    if (r.options.report.empty() || r.options.child) return kept;
    if (!AppendOutputLine(r.options.report, RecordLine(record), why)) {
        Warn("cannot append to the report " + r.options.report + ": " + why);
        kept = false;
    }
    return kept;
}

// The outcome shown and recorded; an interrupt says where it left the scanner.
// What could not be recorded is said before the result, which stays last.
// `entry`: where and when the upgrade began.
int Conclude(PortRun& r, ReportEntry entry, Clock::time_point t0) {
    UpgradeOutcome outcome = UpgradeRun.outcome;
    std::string message = StatusText;
    int status = ExitStatusOf(outcome);
    if (Interrupted()) {
        outcome = InterruptedOutcome();
        message = OutcomeText(outcome);
        status = ExitInterruptedBase + InterruptSignal();
    } else {
        std::string entry = ResolvePortName(r.given);
        HintAfterAttempt(entry);
        HintAdapterTiming(entry);
    }
    entry.outcome = outcome;
    entry.message = message;
    entry.exitStatus = status;
    entry.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    UpgradeRecord record = ReportRecord(entry);
    if (!KeepRecords(r, entry, record)) {
        r.notRecorded = true;
        if (status == ExitSuccess) status = ExitNotRecorded;
    }
    NoteScannerState(outcome);
    EmitEnd(outcome, message, status, RecordJson(record));
    ++(outcome == OutcomeSuccess          ? r.done
       : outcome == OutcomeAlreadyCurrent ? r.current
                                          : r.failed);
    r.lastFailed = outcome != OutcomeSuccess && outcome != OutcomeAlreadyCurrent;
    return status;
}

int UpgradeOnce(PortRun& r) {
    TakeRetryRequest();  // one asked for before this upgrade is for a scanner of the past
    ReportEntry begun = BegunEntry(r);
    const std::string& device = begun.device;
    auto t0 = Clock::now();
    BeginUpgradeOutput(r.options.image);
    std::string why;
    if (!r.options.record.empty() &&
        !StartRecording(r.options, {r.given, device, r.options.image, UpgradeBaud}, why)) {
        Warn(why);
        r.notRecorded = true;
    }
    if (device.empty())
        RecordRefusal(OutcomePortRefused);
    else
        UpgradeScanner(device.c_str(), r.options.image.c_str(), r.options.fontBox);
    return Conclude(r, begun, t0);
}

int TimedOut(PortRun& r) {
    BeginUpgradeOutput(r.options.image);
    RecordRefusal(OutcomeNotConnected);
    return Conclude(r, BegunEntry(r), Clock::now());
}

int StoppedWaiting(const PortRun& r) {
    if (Interrupted() && r.done + r.failed + r.current == 0) {
        UpgradeRun = UpgradeRunState();
        int status = ExitInterruptedBase + InterruptSignal();
        EmitEnd(InterruptedOutcome(), OutcomeText(InterruptedOutcome()), status, nullptr);
        return status;
    }
    RunEvent summary;
    summary.kind = EventKind::Summary;
    summary.done = r.done;
    summary.failed = r.failed;
    summary.current = r.current;
    summary.exitStatus = r.failed > 0    ? ExitUpgradeFailed
                         : r.notRecorded ? ExitNotRecorded
                                         : ExitSuccess;
    EmitEvent(summary);
    return summary.exitStatus;
}

void UseAccessWord(const FlashOptions& o) {
    SkipCurrentScanners = o.skipCurrent;
    if (!o.hasAccess) return;
    AccessMode = ParseAccessWord(o.access.c_str());
    WarnAboutAccessWord(o.access);
}

}  // namespace

bool CheckArguments(const FlashOptions& o) {
    if (o.image.size() < ImagePathSize) return CheckOutputs(o);
    std::fprintf(stderr, "orvane-flash: the image path is %zu characters long; at most %d fit\n",
                 o.image.size(), ImagePathSize - 1);
    return false;
}

int UpgradeOnePort(const FlashOptions& o) {
    PortRun r{o, o.ports.front()};
    UseAccessWord(o);
    InstallQuestion(o);
    SetProgressHooks(RunProgressHooks());
    KeepConsoleFlowing();
    for (;;) {
        // Production mode takes each scanner only once it is there.
        if (o.wait || o.loop) {
            WaitEnd waited = WaitForScanner(r);
            if (waited == WaitStopped) return StoppedWaiting(r);
            if (waited == WaitTimedOut) return TimedOut(r);
        }
        int status = UpgradeOnce(r);
        if (!o.loop || Interrupted()) return status;
        RunEvent tally;
        tally.kind = EventKind::Tally;
        tally.done = r.done;
        tally.failed = r.failed;
        tally.current = r.current;
        EmitEvent(tally);
        if (StopRequested() || !WaitUntilGone(r)) return StoppedWaiting(r);
    }
}
