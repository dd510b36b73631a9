// orvane-bootsim: the emulated scanner boot loader on a pseudo-terminal, for
// running the utility and scripts without a scanner.
#include <signal.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "sim/bootsim.h"

namespace {

const char kUsage[] =
    "usage: orvane-bootsim [options]\n"
    "  --customer S --module S --hardware S --software S   the scanner's identity\n"
    "  --key N            image key the scanner insists on (default: any key, or none)\n"
    "  --plain-identity   answer whoru with the plain, unscrambled reply\n"
    "  --line-rate        pace both directions at 57600 baud 8N1\n"
    "  --seed N           seed for reply keys and key codes (default 1)\n"
    "  --out FILE         write the flash of each completed upload to FILE\n"
    "  --expect FILE      after each upload compare the flash with FILE's image\n"
    "                     (without its 1024-byte header when it has one)\n"
    "  --once             exit after the first go; status 0 only when the last\n"
    "                     --expect check passed\n"
    "  --path-file FILE   write the device path into FILE once ready\n"
    "  --fault F          repeatable; F is one of\n"
    "       echo-none:CMD:POS    no echo of character POS (0-based) of CMD (\"C\": key code)\n"
    "       echo-wrong:CMD:POS   a changed echo of that character\n"
    "       silent               answer nothing at all\n"
    "       wrong-prompt         \"\\r\\nboot>\" instead of \"\\r\\nBoot>\"\n"
    "       no-prompt:CMD        no closing prompt after commands starting with CMD\n"
    "       no-success:N         no \"^_^\" for the Nth erase of a session (1 flash, 2 parameter)\n"
    "       bad-checksum         a wrong checksum byte in the whoru reply\n"
    "       nak-block:N          NAK block N (counted from 1) once\n"
    "       garbage-block:N      answer block N once with 'X'\n"
    "       no-answer-block:N[:T]  ignore block N, T times (default 1; \"forever\")\n"
    "       bytes-before-nak:N   N other bytes before the start signal\n"
    "       endless-before-nak   stream other bytes, never the start signal\n"
    "       unplug-after:N       hang up the line after acknowledging block N\n"
    "       no-prompt-after-upload  ignore wake-ups once an upload is done\n"
    "  --help\n";

struct Config {
    sim::BootSimOptions options;
    std::string outPath;
    std::string expectPath;
    std::string pathFile;
    bool once = false;
    bool help = false;
};

volatile sig_atomic_t stopRequested = 0;
std::mutex printLock;

void Print(const std::string& line) {
    std::lock_guard<std::mutex> guard(printLock);
    std::printf("bootsim: %s\n", line.c_str());
    std::fflush(stdout);
}

bool ToInt(const std::string& text, int& value) {
    char* end = nullptr;
    long v = std::strtol(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0' || v < INT_MIN || v > INT_MAX) return false;
    value = static_cast<int>(v);
    return true;
}

bool ParseEchoFault(const std::string& arg, bool wrong, sim::BootSimOptions& o) {
    const size_t colon = arg.rfind(':');
    sim::EchoFault fault;
    fault.wrong = wrong;
    if (colon == std::string::npos || colon == 0) return false;
    fault.command = arg.substr(0, colon);
    if (!ToInt(arg.substr(colon + 1), fault.position) || fault.position < 0) return false;
    o.echoFaults.push_back(fault);
    return true;
}

bool ParseNoAnswer(const std::string& arg, sim::BootSimOptions& o) {
    const size_t colon = arg.find(':');
    if (!ToInt(arg.substr(0, colon), o.noAnswerBlock)) return false;
    if (colon == std::string::npos) return true;
    const std::string times = arg.substr(colon + 1);
    if (times == "forever") {
        o.noAnswerTimes = INT_MAX;
        return true;
    }
    return ToInt(times, o.noAnswerTimes) && o.noAnswerTimes > 0;
}

bool SetFlagFault(const std::string& kind, sim::BootSimOptions& o) {
    const std::pair<const char*, bool*> flags[] = {
        {"silent", &o.silent},
        {"wrong-prompt", &o.wrongPrompt},
        {"bad-checksum", &o.badIdentityChecksum},
        {"endless-before-nak", &o.endlessBeforeNak},
        {"no-prompt-after-upload", &o.noPromptAfterUpload},
    };
    for (const auto& flag : flags) {
        if (kind == flag.first) return *flag.second = true;
    }
    return false;
}

bool SetNumberFault(const std::string& kind, int n, sim::BootSimOptions& o) {
    if (kind == "no-success") {
        o.noSuccessMark.push_back(n);
        return true;
    }
    const std::pair<const char*, int*> numbers[] = {
        {"nak-block", &o.nakBlock},
        {"garbage-block", &o.garbageBlock},
        {"bytes-before-nak", &o.bytesBeforeNak},
        {"unplug-after", &o.unplugAfterBlock},
    };
    for (const auto& number : numbers) {
        if (kind != number.first) continue;
        *number.second = n;
        return true;
    }
    return false;
}

bool ParseFault(const std::string& fault, sim::BootSimOptions& o) {
    const size_t colon = fault.find(':');
    const std::string kind = fault.substr(0, colon);
    if (colon == std::string::npos) return SetFlagFault(kind, o);
    const std::string arg = fault.substr(colon + 1);
    if (kind == "echo-none" || kind == "echo-wrong")
        return ParseEchoFault(arg, kind == "echo-wrong", o);
    if (kind == "no-answer-block") return ParseNoAnswer(arg, o);
    if (kind == "no-prompt") {
        o.noPromptAfter.push_back(arg);
        return !arg.empty();
    }
    int n = 0;
    return ToInt(arg, n) && n >= 0 && SetNumberFault(kind, n, o);
}

bool TakeValue(const std::string& option, const std::string& value, Config& c) {
    sim::BootSimOptions& o = c.options;
    int n = 0;
    if (option == "--customer")
        o.identity.customerId = value;
    else if (option == "--module")
        o.identity.moduleNo = value;
    else if (option == "--hardware")
        o.identity.hardware = value;
    else if (option == "--software")
        o.identity.software = value;
    else if (option == "--out")
        c.outPath = value;
    else if (option == "--expect")
        c.expectPath = value;
    else if (option == "--path-file")
        c.pathFile = value;
    else if (option == "--fault")
        return ParseFault(value, o);
    else if (option == "--key")
        return ToInt(value, o.expectedKey) && o.expectedKey >= 0 && o.expectedKey < 256;
    else if (option == "--seed")
        return ToInt(value, n) && (o.seed = static_cast<uint32_t>(n), true);
    else
        return false;
    return true;
}

bool Parse(int argc, char** argv, Config& c) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help")
            c.help = true;
        else if (a == "--once")
            c.once = true;
        else if (a == "--plain-identity")
            c.options.plainIdentity = true;
        else if (a == "--line-rate")
            c.options.lineRate = true;
        else if (i + 1 >= argc || !TakeValue(a, argv[++i], c)) {
            std::fprintf(stderr, "orvane-bootsim: bad option %s\n", a.c_str());
            return false;
        }
    }
    return true;
}

bool ReadFile(const std::string& path, std::vector<uint8_t>& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

// What the scanner should hold after an upload of `file`: the file without its header.
std::vector<uint8_t> ImageProper(const std::vector<uint8_t>& file) {
    static const uint8_t kMagic[4] = {'B', 'I', 'N', 0};
    if (file.size() < 4 || std::memcmp(file.data(), kMagic, 4) != 0) return file;
    if (file.size() <= 1024) return {};
    return std::vector<uint8_t>(file.begin() + 1024, file.end());
}

// The image must be a prefix of the flash: the last block's fill lies beyond it.
bool CheckFlash(const std::vector<uint8_t>& flash, const std::vector<uint8_t>& image) {
    for (size_t i = 0; i < image.size(); ++i) {
        if (i >= flash.size() || flash[i] != image[i]) {
            Print("image MISMATCH at byte " + std::to_string(i));
            return false;
        }
    }
    Print("image verified (" + std::to_string(image.size()) + " bytes)");
    return true;
}

void OnSignal(int) {
    stopRequested = 1;
}

void CatchSignals() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = OnSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    Config config;
    if (!Parse(argc, argv, config)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (config.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    std::vector<uint8_t> expected;
    if (!config.expectPath.empty()) {
        std::vector<uint8_t> file;
        if (!ReadFile(config.expectPath, file)) {
            std::fprintf(stderr, "orvane-bootsim: cannot read %s\n", config.expectPath.c_str());
            return 2;
        }
        expected = ImageProper(file);
    }

    std::atomic<bool> lastCheckPassed{false};
    config.options.onLog = Print;
    config.options.onUpload = [&](const std::vector<uint8_t>& flash) {
        if (!config.outPath.empty()) {
            std::ofstream out(config.outPath, std::ios::binary | std::ios::trunc);
            out.write(reinterpret_cast<const char*>(flash.data()), static_cast<long>(flash.size()));
            if (!out) Print("cannot write " + config.outPath);
        }
        if (!config.expectPath.empty()) lastCheckPassed = CheckFlash(flash, expected);
    };

    sim::BootSim sim(config.options);
    if (!sim.Start()) {
        std::fprintf(stderr, "orvane-bootsim: cannot open a pseudo-terminal\n");
        return 1;
    }
    CatchSignals();
    Print("device " + sim.DevicePath());
    if (!config.pathFile.empty()) std::ofstream(config.pathFile) << sim.DevicePath() << "\n";

    bool started = false;
    for (;;) {
        const sim::BootSimReport report = sim.Report();
        started = report.started;
        if (stopRequested || report.unplugged || (config.once && started)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    sim.Stop();
    if (!config.expectPath.empty()) return lastCheckPassed ? 0 : 1;
    return config.once && !started ? 1 : 0;
}
