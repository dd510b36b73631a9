// orvane-flash: the upgrade from the command line, for automation, for Linux
// and for several scanners at once.
#include <cstdio>
#include <string>

#include "cli/adapter_hints.h"
#include "cli/cli_platform.h"
#include "cli/display.h"
#include "cli/doctor.h"
#include "cli/fleet.h"
#include "cli/hints.h"
#include "cli/interrupts.h"
#include "cli/options.h"
#include "cli/ports_listing.h"
#include "cli/upgrade_command.h"
#include "cli/view.h"
#include "codec/image_header.h"
#include "serial/serial.h"
#include "serial/serial_report.h"
#include "serial/trace.h"
#include "shell/main_dialog.h"
#include "shell/port_details.h"
#include "upgrade/image.h"

namespace {

void OnParentRequest(char request) {
    if (request == 'i')
        Interrupt(2);
    else
        RequestStop();  // 'g', or the parent is gone: finish what is in progress
}

DisplayMode ChooseDisplay(const FlashOptions& o) {
    if (o.child) return DisplayEvents;
    return StderrIsTerminal() ? DisplayLive : DisplayPlain;
}

int Upgrade(const FlashOptions& o) {
    if (!CheckArgumentLengths(o)) return ExitUsage;
    StartInterrupts(o.loop ? InterruptFinishesFirst : InterruptStopsAtOnce);
    if (o.ports.size() > 1) return UpgradeSeveralPorts(o);
    if (o.child) WatchParent(OnParentRequest);
    DisplayMode mode = ChooseDisplay(o);
    StartDisplay(mode, o.verbosity, o.ports.front());
    SerialSetNoteSink(NoteAdapter);
    // The bytes received would land in the middle of the bar.
    if (mode == DisplayLive && StdoutSharesTerminal()) SetTraceSink(CollectTrace);
    return UpgradeOnePort(o);
}

int Monitor(const FlashOptions& o) {
    StartDisplay(DisplayPlain, o.verbosity, o.ports.front());
    SerialSetNoteSink(NoteAdapter);
    InstallCliView(o);
    InitializeMainDialog();
    std::string entry = ResolvePortName(o.ports.front());
    SetPortEntry("^" + entry);
    if (RunUpgradeCommand() != MonitorStarted) {
        HintRefusedPort("^" + entry);
        DisplayResult("Cannot open this com port", ExitPortNotOpened);
        return ExitPortNotOpened;
    }
    std::fputs("monitoring at 9600 baud; Ctrl-C ends\n", stderr);
    WaitUntilStopRequested();
    SerialClose();
    return ExitSuccess;
}

int Info(const FlashOptions& o) {
    if (OpenImage(o.image.c_str()) < 0) {
        std::fprintf(stderr, "cannot open %s\n", o.image.c_str());
        return ExitUpgradeFailed;
    }
    bool header = DecodeMeasuredHeader();
    CloseImage();
    if (!header) {
        std::puts("no header: no identity check and no key code");
        return ExitSuccess;
    }
    std::printf("customer-id: %s\nmodule: %s\nhardware: %s\nsoftware: %s\nkey: %d\n",
                ImageId.customerId, ImageId.moduleNo, ImageId.hardware, ImageId.software,
                ImageId.key);
    return ExitSuccess;
}

}  // namespace

int main(int argc, char** argv) {
    WatchInterrupts(Interrupt);
    FlashOptions options;
    int parsed = ParseFlashOptions(argc, argv, options);
    if (parsed >= 0) return parsed;
    int status = ExitUsage;
    if (options.command == "upgrade")
        status = Upgrade(options);
    else if (options.command == "monitor")
        status = Monitor(options);
    else if (options.command == "info")
        status = Info(options);
    else if (options.command == "ports")
        status = ListPorts(options.json);
    else if (options.command == "doctor")
        status = RunDoctor(options);
    NoteProgramEnding();
    return status;
}
