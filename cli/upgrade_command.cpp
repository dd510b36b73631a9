#include "cli/upgrade_command.h"

#include <chrono>
#include <cstring>
#include <string>

#include "cli/adapter_hints.h"
#include "cli/display.h"
#include "cli/hints.h"
#include "cli/interrupts.h"
#include "cli/report.h"
#include "cli/view.h"
#include "codec/access_mode.h"
#include "serial/rx_ring.h"
#include "serial/serial.h"
#include "shell/main_dialog.h"
#include "shell/port_details.h"
#include "shell/port_discovery.h"
#include "upgrade/boot_console.h"
#include "upgrade/upgrade.h"

namespace {

using Clock = std::chrono::steady_clock;

enum { ProbeIntervalMs = 500, ProbeBudget = 250, DrainBudget = 150, UpgradeBaud = 57600 };

// Looks in a row that must find no console before a scanner counts as gone.
enum { SilentProbesForGone = 2 };

const char kNotConnected[] = "Scanner is not connected or not in upgrade mode";

struct PortRun {
    const FlashOptions& options;
    std::string given;  // the port as the user named it
    int done = 0, failed = 0;
};

std::string DeviceOf(const std::string& entry) {
    char device[ImagePathSize];
    return ResolvePortEntry(entry.c_str(), device, sizeof device) ? device : "";
}

// The port is there, opens, and its console answers a lone carriage return.
// Links and bare names are resolved anew at each look: a port may come and go.
bool ScannerAnswers(const std::string& given) {
    std::string entry = ResolvePortName(given);
    if (entry.size() >= PortEntrySize) return false;
    DiscoverSerialPorts(nullptr, nullptr);  // a COM port may have appeared
    std::string device = DeviceOf(entry);
    if (device.empty() || !PortDeviceExists(device)) return false;
    if (SerialOpen(device.c_str(), UpgradeBaud) < 0) return false;
    // What the console still prints (after "go 5000", say) is no answer to this look.
    DrainConsole(DrainBudget);
    RxFlush();
    bool answers = WakeConsole(ProbeBudget);
    SerialClose();
    return answers;
}

enum WaitEnd { ScannerReady, WaitTimedOut, WaitStopped };

WaitEnd WaitForScanner(const PortRun& r) {
    auto deadline = Clock::now() + std::chrono::seconds(r.options.waitSeconds);
    DisplayWaiting("waiting for the scanner on " + r.given + "...");
    for (;;) {
        if (StopRequested()) return WaitStopped;
        if (ScannerAnswers(r.given)) return ScannerReady;
        if (r.options.waitSeconds >= 0 && Clock::now() >= deadline) return WaitTimedOut;
        if (!PauseUnlessStopped(ProbeIntervalMs)) return WaitStopped;
    }
}

// The scanner just upgraded must leave before the next one is taken: its
// console stops answering, or its port goes. One look that finds nothing is
// not enough, as a console busy with something else misses a wake-up too.
bool WaitUntilGone(const PortRun& r) {
    bool told = false;
    for (int silent = 0; silent < SilentProbesForGone;) {
        silent = ScannerAnswers(r.given) ? 0 : silent + 1;
        if (silent == 0 && !told) {
            DisplayWaiting("waiting for the scanner to leave " + r.given + "...");
            told = true;
        }
        if (!PauseUnlessStopped(ProbeIntervalMs)) return false;
    }
    return !StopRequested();
}

void Record(const PortRun& r, const std::string& time, const std::string& entry,
            const std::string& message, int status, double seconds) {
    if (r.options.report.empty()) return;
    ReportEntry e{time, r.given, DeviceOf(entry), r.options.image, message, status, seconds};
    std::string line = ReportLine(e);
    if (r.options.child) return DisplayReportLine(line);
    if (!AppendReportLine(r.options.report, line))
        DisplayLine("warning: cannot append to " + r.options.report, true);
}

int Conclude(PortRun& r, const std::string& time, const std::string& entry, Clock::time_point t0,
             std::string message, int status) {
    if (Interrupted()) {
        message = InterruptedMessage();
        status = ExitInterruptedBase + InterruptSignal();
    }
    DisplayResult(message.c_str(), status);
    Record(r, time, entry, message, status,
           std::chrono::duration<double>(Clock::now() - t0).count());
    ++(status == ExitSuccess ? r.done : r.failed);
    return status;
}

int Outcome(UpgradeCommandOutcome outcome, const std::string& entry, std::string& message) {
    switch (outcome) {
        case PortRefused:
            message = "Cannot open this com port";
            HintRefusedPort(entry);
            return ExitPortNotOpened;
        case InvalidFileType:
            message = "Invalid file type";
            HintInvalidFileType();
            return ExitInvalidType;
        case WorkerStarted:
            message = StatusText;
            if (!Interrupted()) HintAfterUpgrade(StatusText);
            if (!Interrupted()) HintAdapterTiming(entry, StatusText);
            return message == "upgrade success!!!" ? ExitSuccess : ExitUpgradeFailed;
        default:
            message = "Cannot start the upgrade";
            return ExitUpgradeFailed;
    }
}

int UpgradeOnce(PortRun& r) {
    UpgradeRun = UpgradeRecord();
    std::string entry = ResolvePortName(r.given), time = UtcTimestamp(), message;
    auto t0 = Clock::now();
    DisplayNewUpgrade(r.options.image);
    if (entry.size() >= PortEntrySize) {
        DisplayLine("hint: " + r.given +
                    " leads to no device, and a name this long is taken only "
                    "as a link to one");
        return Conclude(r, time, entry, t0, "Cannot open this com port", ExitPortNotOpened);
    }
    SetPortEntry(entry);
    int status = Outcome(RunUpgradeCommand(), entry, message);
    return Conclude(r, time, entry, t0, message, status);
}

int TimedOut(PortRun& r) {
    UpgradeRun = UpgradeRecord();
    DisplayNewUpgrade(r.options.image);
    HintAfterUpgrade(kNotConnected);
    return Conclude(r, UtcTimestamp(), ResolvePortName(r.given), Clock::now(), kNotConnected,
                    ExitUpgradeFailed);
}

int StoppedWaiting(const PortRun& r) {
    if (Interrupted() && r.done + r.failed == 0) {
        UpgradeRun = UpgradeRecord();
        DisplayResult(InterruptedMessage().c_str(), ExitInterruptedBase + InterruptSignal());
        return ExitInterruptedBase + InterruptSignal();
    }
    DisplayLine(
        "stopped: " + std::to_string(r.done) + " upgraded, " + std::to_string(r.failed) + " failed",
        true);
    return r.failed == 0 ? ExitSuccess : ExitUpgradeFailed;
}

void UseAccessWord(const FlashOptions& o) {
    if (!o.hasAccess) return;
    AccessMode = ParseAccessWord(o.access.c_str());
    WarnAboutAccessWord(o.access);
}

}  // namespace

bool CheckArgumentLengths(const FlashOptions& o) {
    if (o.image.size() < ImagePathSize) return true;
    std::fprintf(stderr, "orvane-flash: the image path is %zu characters long; at most %d fit\n",
                 o.image.size(), ImagePathSize - 1);
    return false;
}

int UpgradeOnePort(const FlashOptions& o) {
    PortRun r{o, o.ports.front()};
    UseAccessWord(o);
    InstallCliView(o);
    InitializeMainDialog();
    for (;;) {
        // Production mode takes each scanner only once it is there.
        if (o.wait || o.loop) {
            WaitEnd waited = WaitForScanner(r);
            if (waited == WaitStopped) return StoppedWaiting(r);
            if (waited == WaitTimedOut) return TimedOut(r);
        }
        int status = UpgradeOnce(r);
        if (!o.loop || Interrupted()) return status;
        DisplayTally(r.done, r.failed);
        if (StopRequested() || !WaitUntilGone(r)) return StoppedWaiting(r);
    }
}
