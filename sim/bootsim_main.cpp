// orvane-bootsim: the emulated scanner boot loader on a pseudo-terminal, for
// running the utility and scripts without a scanner.
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "sim/bootsim.h"
#include "sim/sim_options.h"

namespace {

const char kFooter[] =
    "\nExit status: 2 usage error, 1 no pseudo-terminal. Otherwise, with --expect, 0 only\n"
    "when the last upload matched FILE; with --once alone, 0 only when a go arrived; else 0.\n";

struct Config {
    sim::BootSimOptions options;
    std::string outPath;
    std::string expectPath;
    std::string pathFile;
    std::string summaryPath;
    std::string replayPath;
    std::string expectResult;
    bool hasExpectResult = false;
    Recording recording;
    bool once = false;
};

volatile sig_atomic_t stopRequested = 0;
std::mutex printLock;

void Print(const std::string& line) {
    std::lock_guard<std::mutex> guard(printLock);
    std::printf("bootsim: %s\n", line.c_str());
    std::fflush(stdout);
}

// -1 to go on, otherwise the exit status.
int Parse(int argc, char** argv, Config& c) {
    sim::BootSimOptions& o = c.options;
    CLI::App app(
        "The emulated scanner boot loader on a pseudo-terminal, for running the utility\n"
        "and scripts without a scanner. It prints \"bootsim: device PATH\" once ready.",
        "orvane-bootsim");
    app.footer(sim::FaultHelp() + kFooter);
    sim::AddIdentityOptions(app, o.identity, "Identity the scanner reports");
    sim::Once(
        app.add_option("--key", o.expectedKey,
                       "Image key the scanner insists on, 0 to 255 (default: any key, or none)"))
        ->check(CLI::Range(0, 255).description(""))
        ->type_name("N");
    sim::Once(app.add_flag("--plain-identity", o.plainIdentity,
                           "Answer whoru with the plain, unscrambled reply"));
    sim::Once(app.add_flag("--line-rate", o.lineRate, "Pace both directions at 57600 baud 8N1"));
    // An int as before: a negative seed stands for its unsigned counterpart.
    int seed = static_cast<int>(o.seed);
    sim::Once(app.add_option("--seed", seed, "Seed for reply keys and key codes"))
        ->capture_default_str()
        ->type_name("N");
    sim::Once(
        app.add_option("--out", c.outPath, "Write the flash of each completed upload to FILE"))
        ->type_name("FILE");
    sim::Once(app.add_option("--expect", c.expectPath,
                             "After each upload compare the flash with FILE's image\n"
                             "(without its 1024-byte header when it has one)"))
        ->type_name("FILE");
    sim::Once(app.add_flag("--once", c.once,
                           "Exit after the first go; status 0 only when the last\n"
                           "--expect check passed"));
    sim::Once(
        app.add_option("--path-file", c.pathFile, "Write the device path into FILE once ready"))
        ->type_name("FILE");
    sim::Once(app.add_option("--summary", c.summaryPath,
                             "At the end write what the scanner holds and every line fault\n"
                             "injected to FILE, as one JSON object"))
        ->type_name("FILE");
    sim::AddFaultOption(app, o);
    sim::AddLineFaultOptions(app, o.lineFaults);
    const std::string replay = "Playing a recording back (orvane-flash --record)";
    sim::Once(app.add_option("--replay", c.replayPath,
                             "Play the scanner's side of the recording FILE instead: each\n"
                             "answer once the utility's bytes before it have come; the first\n"
                             "difference ends the replay (exit 1), and so does a stop before\n"
                             "all of it has played. Once it has, and the line has stayed quiet\n"
                             "for 2 s, it ends by itself (exit 0)"))
        ->type_name("FILE")
        ->group(replay);
    sim::Once(app.add_option("--replay-speed", o.replaySpeed,
                             "Play the recorded delays N times as fast (0: no delays)"))
        ->check(CLI::NonNegativeNumber.description(""))
        ->capture_default_str()
        ->type_name("N")
        ->group(replay);
    sim::Once(app.add_option("--expect-result", c.expectResult,
                             "The recording must be of a run that ended with TEXT"))
        ->type_name("TEXT")
        ->group(replay);
    const int status = sim::ParseCommandLine(app, argc, argv);
    o.seed = static_cast<uint32_t>(seed);
    c.hasExpectResult = app.count("--expect-result") > 0;
    return status;
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

std::string Hex(const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (uint8_t b : bytes) {
        hex += digits[b >> 4];
        hex += digits[b & 15];
    }
    return hex;
}

// The image and nothing else: its bytes, then the last block's fill; one more
// block when the image is a whole number of blocks long.
bool FlashHoldsExactly(const std::vector<uint8_t>& flash, const std::vector<uint8_t>& image) {
    return flash.size() == (image.size() / 128 + 1) * 128 &&
           std::equal(image.begin(), image.end(), flash.begin());
}

void WriteSummary(const Config& c, const sim::BootSimReport& r,
                  const std::vector<uint8_t>& expected) {
    nlohmann::json faults = nlohmann::json::array();
    for (const sim::LineFaultEvent& e : r.lineFaults)
        faults.push_back({{"to_scanner", e.toScanner},
                          {"index", e.index},
                          {"kind", sim::LineFaultName(e.kind)},
                          {"byte", e.byte},
                          {"value", e.value}});
    uint64_t digest = 14695981039346656037ULL;  // FNV-1a: the same bytes, the same digest
    for (uint8_t b : r.input) digest = (digest ^ b) * 1099511628211ULL;
    nlohmann::json summary = {{"flash_blocks", r.flash.size() / 128},
                              {"input", Hex(r.input)},
                              {"output", Hex(r.output)},
                              {"input_bytes", r.input.size()},
                              {"input_digest", digest},
                              {"uploads", r.uploads},
                              {"eot", r.eot},
                              {"started", r.started},
                              {"unplugged", r.unplugged},
                              {"damaged_accepted", r.damagedAccepted},
                              {"line_faults", faults},
                              {"flash_exact", nullptr}};
    if (!c.expectPath.empty()) summary["flash_exact"] = FlashHoldsExactly(r.flash, expected);
    std::ofstream(c.summaryPath) << summary.dump() << "\n";
}

// What the utility said at the end of the recorded run; empty when the
// recording has no end (a crash) or is of monitor mode.
std::string RecordedMessage(const Recording& r) {
    return r.end && r.end->result ? r.end->result->message : "";
}

// 0 when the utility did all the recording says, else 1, with the first
// difference or what a replay stopped early still lacked.
int JudgeReplay(const Config& c, const sim::BootSimReport& report) {
    const sim::ReplayOutcome& played = report.replay;
    if (played.diverged || !played.complete) {
        Print("replay: " +
              (played.diverged ? played.divergence : sim::MissingAtStop(c.recording, played)));
        return 1;
    }
    const std::string ended = RecordedMessage(c.recording);
    if (c.hasExpectResult && ended != c.expectResult) {
        Print("replay: the recording ended with \"" + ended + "\", not \"" + c.expectResult + "\"");
        return 1;
    }
    Print("replay: complete, no divergence (" + std::to_string(played.received) +
          " bytes from the utility)");
    return 0;
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
    const int parsed = Parse(argc, argv, config);
    if (parsed >= 0) return parsed;
    std::vector<uint8_t> expected;
    if (!config.expectPath.empty()) {
        std::vector<uint8_t> file;
        if (!ReadFile(config.expectPath, file)) {
            std::fprintf(stderr, "orvane-bootsim: cannot read %s\n", config.expectPath.c_str());
            return 2;
        }
        expected = ImageProper(file);
        config.options.expectedFlash = expected;
    }
    const bool replaying = !config.replayPath.empty();
    if (replaying) {
        std::string error;
        if (!ReadRecording(config.replayPath, config.recording, error)) {
            std::fprintf(stderr, "orvane-bootsim: %s\n", error.c_str());
            return 2;
        }
        config.options.replay = &config.recording;
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
        if (report.replayEnded) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    // What the utility sent last, a held-back byte included, is handled first.
    if (stopRequested && !replaying) sim.WaitUntilSettled(10000);
    sim.Stop();
    if (!config.summaryPath.empty()) WriteSummary(config, sim.Report(), expected);
    if (replaying) return JudgeReplay(config, sim.Report());
    if (!config.expectPath.empty()) return lastCheckPassed ? 0 : 1;
    return config.once && !started ? 1 : 0;
}
