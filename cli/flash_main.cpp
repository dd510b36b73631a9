// orvane-flash: the upgrade from the command line, for automation, for Linux
// and for several scanners at once.
#include <chrono>
#include <cstdio>
#include <string>

#include "cli/adapter_hints.h"
#include "cli/cli_platform.h"
#include "cli/doctor.h"
#include "cli/fleet.h"
#include "cli/hints.h"
#include "cli/interrupts.h"
#include "cli/options.h"
#include "cli/output_files.h"
#include "cli/ports_listing.h"
#include "cli/recording.h"
#include "cli/run_output.h"
#include "cli/station_command.h"
#ifdef ORVANE_LINE
#include "cli/line_command.h"
#endif
#include "cli/terminal_text.h"
#include "cli/upgrade_command.h"
#include "codec/image_header.h"
#include "serial/background_writer.h"
#include "serial/serial.h"
#include "serial/serial_report.h"
#include "serial/trace.h"
#include "shell/port_discovery.h"
#include "shell/port_map.h"
#include "upgrade/image.h"
#include "upgrade/session.h"
#include "upgrade/upgrade.h"

namespace {

// A byte 0 says the parent is gone: the upgrade in progress is finished, then the run ends.
void OnParentRequest(char byte) {
    ChildRequest request = ChildRequest::Finish;
    if (byte != 0 && !DecodeRequest(byte, request)) return;
    switch (request) {
        case ChildRequest::StopNow:
            return InterruptAtOnce(2);
        case ChildRequest::Retry:
            return RequestRetry();
        default:
            return RequestStop();
    }
}

RunView ChooseView(const FlashOptions& o) {
    if (o.child) return ViewParent;
    if (o.json) return ViewJson;
    return StderrIsTerminal() ? ViewLive : ViewPlain;
}

int Upgrade(const FlashOptions& o) {
    if (!CheckArguments(o)) return ExitUsage;
    StartInterrupts(o.loop ? InterruptFinishesFirst : InterruptStopsAtOnce);
    if (o.ports.size() > 1) return UpgradeSeveralPorts(o);
    RunView view = ChooseView(o);
    StartRunOutput(view, o.verbosity, o.ports.front());
    SerialSetNoteSink(NoteAdapter);
    // The bytes received would land in the middle of the bar.
    if (view == ViewParent || view == ViewJson || (view == ViewLive && StdoutSharesTerminal()))
        SetTraceSink(CollectTrace);
    return UpgradeOnePort(o);
}

int Monitor(const FlashOptions& o) {
    if (!CheckOutputs(o)) return ExitUsage;
    StartRunOutput(ViewPlain, o.verbosity, o.ports.front());
    SerialSetNoteSink(NoteAdapter);
    std::string device = DeviceOf(o.ports.front());
    if (device.empty() || OpenMonitorPort(device.c_str()) < 0) {
        HintRefusedPort(ResolvePortName(o.ports.front()));
        EmitEnd(OutcomePortRefused, OutcomeText(OutcomePortRefused), ExitPortNotOpened, nullptr);
        return ExitPortNotOpened;
    }
    std::string why;
    bool recorded =
        o.record.empty() || StartRecording(o, {o.ports.front(), device, "", MonitorBaud}, why);
    if (!recorded) EmitEvent(MessageEvent(MessageLevel::Warning, why));
    std::fputs("monitoring at 9600 baud; Ctrl-C ends\n", stderr);
    auto started = std::chrono::steady_clock::now();
    WaitUntilStopRequested();
    SerialClose();
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (recorded && !FinishRecording({OutcomeNothingError, "", ExitSuccess, seconds}, why)) {
        EmitEvent(MessageEvent(MessageLevel::Warning, why));
        recorded = false;
    }
    return recorded ? ExitSuccess : ExitNotRecorded;
}

int Info(const FlashOptions& o) {
    if (!CheckArguments(o)) return ExitUsage;
    if (OpenImage(o.image.c_str()) < 0) {
        char message[ImagePathSize + 32];
        FormatOutcome(OutcomeCannotOpenImage, o.image.c_str(), message, sizeof message);
        std::fprintf(stderr, "%s\n", TerminalText(message).c_str());
        return ExitUpgradeFailed;
    }
    bool header = DecodeMeasuredHeader();
    CloseImage();
    if (!header) {
        std::puts("no header: no identity check and no key code");
        return ExitSuccess;
    }
    std::printf("customer-id: %s\nmodule: %s\nhardware: %s\nsoftware: %s\nkey: %d\n",
                TerminalText(ImageId.customerId).c_str(), TerminalText(ImageId.moduleNo).c_str(),
                TerminalText(ImageId.hardware).c_str(), TerminalText(ImageId.software).c_str(),
                ImageId.key);
    return ExitSuccess;
}

int Run(const FlashOptions& o) {
    if (o.command == "upgrade") return Upgrade(o);
    if (o.command == "station") return RunStation(o);
    if (o.command == "monitor") return Monitor(o);
    if (o.command == "info") return Info(o);
    if (o.command == "ports") return ListPorts(o.json);
    if (o.command == "doctor") return RunDoctor(o);
#ifdef ORVANE_LINE
    if (o.command == "line") return RunLine(o);
#endif
    return ExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    PreparePlatform();
    FlashOptions options;
    int parsed = ParseFlashOptions(argc, argv, options);
    if (parsed >= 0) return parsed;
    WatchInterrupts(Interrupt, WaitForProgramEnd, options.child ? OnParentRequest : nullptr);
    int status = Run(options);
    StopRunOutput();
    TraceFlush();
    RestoreConsole();
    NoteProgramEnding();
    StopWatching();
    StopBackgroundWriter();
    return status;
}
