// orvane-flash: the upgrade from the command line, for automation and for Linux.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/cli_platform.h"
#include "codec/access_mode.h"
#include "codec/image_header.h"
#include "serial/serial.h"
#include "shell/main_dialog.h"
#include "shell/port_discovery.h"
#include "upgrade/image.h"
#include "upgrade/upgrade.h"

namespace {

enum ExitCode {
    ExitSuccess = 0,
    ExitUpgradeFailed = 1,
    ExitUsage = 2,
    ExitPortNotOpened = 3,
    ExitInvalidType = 4
};

const char usage[] =
    "usage:\n"
    "  orvane-flash upgrade --port PORT [--access WORD] [--yes] [--kx5800] IMAGE\n"
    "  orvane-flash info IMAGE\n"
    "  orvane-flash monitor --port PORT\n"
    "  orvane-flash ports\n"
    "PORT is COM<n> as listed by 'orvane-flash ports', or a device path.\n"
    "IMAGE is a firmware image (.bin) or a font file (.fon).\n"
    "--kx5800 ticks the KX5800/RLT4 box for font files; --yes answers Yes to override questions.\n"
    "Exit status: 0 upgrade success, 1 upgrade failed, 2 usage, 3 port not opened, 4 invalid file "
    "type.\n";

struct Options {
    std::string command, port, image, access;
    bool hasAccess = false, yes = false, fontBox = false;
};

Options options;
std::vector<std::string> portNames;

// Progress on standard error: a live bar on a terminal, plain lines otherwise.
struct ProgressReport {
    bool live = false;
    unsigned low = 0, high = 100;
    uint32_t position = 0;
    std::string status, printed;
    std::chrono::steady_clock::time_point lastLine;
    bool drawn = false;
} report;

void DrawBar() {
    int columns = TerminalColumns();
    int width = columns > 60 ? 30 : 10;
    unsigned span = report.high > report.low ? report.high - report.low : 1;
    unsigned done = report.position > report.low ? report.position - report.low : 0;
    if (done > span) done = span;
    int filled = static_cast<int>(static_cast<unsigned long long>(done) * width / span);
    std::string bar(filled, '#');
    bar.resize(width, '.');
    std::string line = "[" + bar + "] " + std::to_string(done * 100 / span) + "% " + report.status;
    if (static_cast<int>(line.size()) > columns - 1) line.resize(columns - 1);
    std::fprintf(stderr, "\r%-*s", columns - 1, line.c_str());
    std::fflush(stderr);
    report.drawn = true;
}

// Kilobyte lines at most once a second; every other change of text at once.
void PrintPlainLine() {
    if (report.status.empty() || report.status == report.printed) return;
    auto now = std::chrono::steady_clock::now();
    bool counting = report.status.find("byte(s) sent") != std::string::npos;
    if (counting && now - report.lastLine < std::chrono::seconds(1)) return;
    std::fprintf(stderr, "%s\n", report.status.c_str());
    report.printed = report.status;
    report.lastLine = now;
}

void ShowStatus(const char* text) {
    report.status = text;
    if (report.live)
        DrawBar();
    else
        PrintPlainLine();
}
void ShowRange(unsigned low, unsigned high) {
    report.low = low;
    report.high = high;
}
void ShowPosition(uint32_t position) {
    report.position = position;
    if (report.live) DrawBar();
}
void IgnoreFace(bool) {}
void IgnoreFontBox(bool) {}
bool FontBoxTicked() {
    return options.fontBox;
}
void IgnoreName(const char*) {}
void ReadPortEntry(char* text, int capacity) {
    std::snprintf(text, capacity, "%s", options.port.c_str());
}
void AddPortName(const char* name) {
    portNames.push_back(name);
}
void SelectNothing() {}

bool ChooseImageArgument(const char*, const char*, char* path, int pathCapacity, char* name,
                         int nameCapacity) {
    if (options.image.empty()) return false;
    std::snprintf(path, pathCapacity, "%s", options.image.c_str());
    size_t slash = options.image.find_last_of("/\\");
    std::snprintf(name, nameCapacity, "%s",
                  options.image.c_str() + (slash == std::string::npos ? 0 : slash + 1));
    return true;
}

// Yes with --yes, the user's answer on a terminal, otherwise No.
bool AskOnTerminal(const char* caption, const char* text) {
    if (report.drawn) std::fputs("\n", stderr);
    report.drawn = false;
    std::fprintf(stderr, "%s\n%s\n", caption, text);
    if (options.yes) {
        std::fputs("Go on? yes (--yes)\n", stderr);
        return true;
    }
    if (!StdinIsTerminal()) {
        std::fputs("Go on? no (no terminal to ask; --yes answers yes)\n", stderr);
        return false;
    }
    std::fputs("Go on? [y/N] ", stderr);
    std::fflush(stderr);
    char answer[16] = "";
    if (!std::fgets(answer, sizeof answer, stdin)) return false;
    return answer[0] == 'y' || answer[0] == 'Y';
}

void RunHere(void (*task)(void*), void* arg) {
    task(arg);
}
bool RunWorkerToTheEnd(void (*body)()) {
    body();
    return true;
}

const DialogView cliView = {{ShowStatus, ShowRange, ShowPosition, nullptr},
                            IgnoreFace,
                            IgnoreFontBox,
                            FontBoxTicked,
                            IgnoreName,
                            ReadPortEntry,
                            AddPortName,
                            SelectNothing,
                            ChooseImageArgument,
                            AskOnTerminal,
                            RunHere,
                            RunWorkerToTheEnd};

bool ParseOptions(int argc, char** argv) {
    if (argc < 2) return false;
    options.command = argv[1];
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        if ((a == "--port" || a == "--access") && i + 1 < argc) {
            (a == "--port" ? options.port : options.access) = argv[++i];
            options.hasAccess = options.hasAccess || a == "--access";
        } else if (a == "--yes") {
            options.yes = true;
        } else if (a == "--kx5800") {
            options.fontBox = true;
        } else if (a.size() > 1 && a[0] == '-') {
            std::fprintf(stderr, "orvane-flash: unknown option %s\n", a.c_str());
            return false;
        } else if (options.image.empty()) {
            options.image = a;
        } else {
            return false;
        }
    }
    return true;
}

void PrintPortList() {
    if (portNames.empty()) {
        std::fputs("no serial ports found\n", stderr);
        return;
    }
    std::fputs("serial ports found:\n", stderr);
    for (const std::string& name : portNames) std::fprintf(stderr, "  %s\n", name.c_str());
}

// "Cannot open this com port", then what to do about it.
void ExplainRefusedPort() {
    const char* entry = options.port.c_str();
    if (entry[0] == '^') ++entry;
    char device[ImagePathSize];
    if (!ResolvePortEntry(entry, device, sizeof device)) {
        std::fprintf(stderr, "hint: %s is not a serial port of this system\n", entry);
        PrintPortList();
        return;
    }
    PrintOpenFailureHint(device, SerialLastOpenFailure());
    if (SerialLastOpenFailure() == SerialNoDevice) PrintPortList();
}

// The outcome's message as a line of its own, once.
void PrintFinalMessage(const char* message) {
    if (report.drawn) std::fprintf(stderr, "\r%-*s\r", TerminalColumns() - 1, "");
    report.drawn = false;
    if (report.live || report.printed != message) std::fprintf(stderr, "%s\n", message);
    report.printed = message;
}

int FinishCommand(UpgradeCommandOutcome outcome) {
    switch (outcome) {
        case PortRefused:
            PrintFinalMessage("Cannot open this com port");
            ExplainRefusedPort();
            return ExitPortNotOpened;
        case InvalidFileType:
            PrintFinalMessage("Invalid file type");
            return ExitInvalidType;
        case WorkerStarted:
            PrintFinalMessage(StatusText);
            return std::strcmp(StatusText, "upgrade success!!!") == 0 ? ExitSuccess
                                                                      : ExitUpgradeFailed;
        default:
            PrintFinalMessage("Cannot start the upgrade");
            return ExitUpgradeFailed;
    }
}

int Upgrade() {
    if (options.port.empty() || options.image.empty()) return ExitUsage;
    if (options.hasAccess) AccessMode = ParseAccessWord(options.access.c_str());
    report.live = StderrIsTerminal();
    InitializeMainDialog();
    return FinishCommand(RunUpgradeCommand());
}

int Monitor() {
    if (options.port.empty()) return ExitUsage;
    InitializeMainDialog();
    options.port = "^" + options.port;
    UpgradeCommandOutcome outcome = RunUpgradeCommand();
    if (outcome != MonitorStarted) return FinishCommand(outcome);
    std::fputs("monitoring at 9600 baud; Ctrl-C ends\n", stderr);
    WaitForInterrupt();
    SerialClose();
    return ExitSuccess;
}

int Info() {
    if (options.image.empty()) return ExitUsage;
    FILE* f = std::fopen(options.image.c_str(), "rb");
    if (!f) {
        std::fprintf(stderr, "cannot open %s\n", options.image.c_str());
        return ExitUpgradeFailed;
    }
    std::fclose(f);
    if (!ReadImageHeader(options.image.c_str())) {
        std::puts("no header: no identity check and no key code");
        return ExitSuccess;
    }
    std::printf("customer-id: %s\nmodule: %s\nhardware: %s\nsoftware: %s\nkey: %d\n",
                ImageId.customerId, ImageId.moduleNo, ImageId.hardware, ImageId.software,
                ImageId.key);
    return ExitSuccess;
}

int Ports() {
    DiscoverSerialPorts(AddPortName, nullptr);
    for (const std::string& name : portNames) std::puts(name.c_str());
    if (portNames.empty()) std::fputs("no serial ports found\n", stderr);
    return ExitSuccess;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(usage, stderr);
        return ExitSuccess;
    }
    int status = ExitUsage;
    if (ParseOptions(argc, argv)) {
        SetDialogView(&cliView);
        if (options.command == "upgrade")
            status = Upgrade();
        else if (options.command == "monitor")
            status = Monitor();
        else if (options.command == "info")
            status = Info();
        else if (options.command == "ports")
            status = Ports();
    }
    if (status == ExitUsage) std::fputs(usage, stderr);
    return status;
}
