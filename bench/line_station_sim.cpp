// One station on a line, without ports: spools records at a steady rate
// through the spool and the real sender, as cli/station_line.cpp does, then
// waits until the line server has taken every one. bench/line_bench.py runs
// many at once and reads the times from the spools.
//
//     line_station_sim --line URL --station NAME --station-key FILE --spool FILE
//                      [--rate R --seconds S | --count N] [--start-at MS] [--deadline S]
//
// Prints "spooled N" once the last record is on disk, then one JSON line.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "events/upgrade_record.h"
#include "spool/line_sender.h"
#include "spool/record_spool.h"

namespace {

using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;

struct Options {
    std::string url, station, keyFile, spoolPath;
    double rate = 55, seconds = 20, deadline = 120;
    int count = -1;
    int64_t startAtMs = 0;  // system clock, so that every sim starts together
};

// A station's beat that never changes: the sender needs one, the line keeps it.
std::string StaticBeat(const std::string& station) {
    Json beat = {{"version", 1},
                 {"image", {{"name", "scanner-fw-2.00.00.bin"}, {"software", "2.00.00"}}},
                 {"operator", "Ines Park"},
                 {"lot", "LOT-" + station},
                 {"stopping", false},
                 {"ended", false},
                 {"counts", {{"passed", 0}, {"failed", 0}, {"already_current", 0}}},
                 {"waiting", 0},
                 {"oldestWaiting", nullptr},
                 {"lineDownSince", nullptr},
                 {"slots", Json::array()}};
    return beat.dump();
}

std::string IsoNow(bool local) {
    std::time_t now = std::time(nullptr);
    std::tm lt{}, utc{};
    localtime_r(&now, &lt);
    gmtime_r(&now, &utc);
    if (local) return IsoTimeWithOffset(lt, utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

// What a 16-slot station keeps of an upgrade; one in twenty fails.
UpgradeRecord RecordOf(const std::string& station, int n) {
    UpgradeRecord r;
    r.recordId = NewRecordId();
    r.time = IsoNow(false);
    r.startedAt = r.endedAt = IsoNow(true);
    r.slot = "A" + std::to_string(n % 16 + 1);
    r.port = "/dev/ttyUSB" + std::to_string(n % 16);
    r.device = "/dev/serial/by-path/pci-0000:00:14.0-usb-0:2." + std::to_string(n % 16) + ":1.0";
    r.operatorName = "Ines Park";
    r.lot = "LOT-" + std::to_string(n / 500);
    r.unitSerial = "SN-" + station + "-" + std::to_string(100000 + n);
    r.image = "scanner-fw-2.00.00.bin";
    r.imageSize = 61440;
    r.imageSha256 = std::string(64, 'a');
    r.hasScanner = r.hasHeader = true;
    r.scanner = {"ACME", "5800", "HW-B", "1.04.07"};
    r.header = {"ACME", "5800", "HW-B", "2.00.00"};
    r.access = "end-user";
    bool passed = n % 20 != 0;
    r.outcome = r.upgradeOutcome = passed ? OutcomeSuccess : OutcomeNotFinished;
    r.message = r.upgradeMessage = passed ? "upgrade success!!!" : "upgrade not finish!!!";
    r.hint = passed ? "" : "check-cable";
    r.started = passed;
    r.exitStatus = passed ? 0 : 1;
    r.seconds = 14.2;
    r.blocksSent = 480;
    r.answerDelayMs = 0.8;
    return r;
}

bool ReadKey(const std::string& path, std::string& key) {
    std::ifstream in(path);
    std::getline(in, key);
    while (!key.empty() && (key.back() == '\r' || key.back() == ' ')) key.pop_back();
    return key.size() == 64;
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<size_t>(p * values.size()))];
}

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    CLI::App app("One station on a line: spools records at a rate, waits until delivered.",
                 "line_station_sim");
    app.add_option("--line", o.url, "The line server, http://HOST:PORT")->required();
    app.add_option("--station", o.station, "The station's name")->required();
    app.add_option("--station-key", o.keyFile, "The station's key file")->required();
    app.add_option("--spool", o.spoolPath, "The station's spool")->required();
    app.add_option("--rate", o.rate, "Records a second; 0: as fast as the spool takes them");
    app.add_option("--seconds", o.seconds, "For so long");
    app.add_option("--count", o.count, "So many records, instead of rate x seconds");
    app.add_option("--start-at", o.startAtMs, "Start spooling then (ms since the epoch)");
    app.add_option("--deadline", o.deadline, "Give up waiting for delivery after S seconds");
    CLI11_PARSE(app, argc, argv);

    std::string key, why;
    if (!ReadKey(o.keyFile, key)) {
        std::fprintf(stderr, "line_station_sim: no key in %s\n", o.keyFile.c_str());
        return 2;
    }
    RecordSpool* spool = OpenSpool(o.spoolPath, why);
    if (!spool) {
        std::fprintf(stderr, "line_station_sim: %s\n", why.c_str());
        return 1;
    }
    std::string beat = StaticBeat(o.station);
    LineSenderSetup setup{o.url, o.station, key, spool, [beat] { return beat; }, nullptr};
    LineSender* sender = StartLineSender(setup, why);
    if (!sender) {
        std::fprintf(stderr, "line_station_sim: %s\n", why.c_str());
        CloseSpool(spool);
        return 1;
    }

    int count = o.count >= 0 ? o.count : static_cast<int>(o.rate * o.seconds + 0.5);
    if (o.startAtMs > 0)
        std::this_thread::sleep_until(
            std::chrono::system_clock::time_point(std::chrono::milliseconds(o.startAtMs)));
    // A phase of its own: stations do not end their upgrades in step.
    std::chrono::duration<double> period(o.rate > 0 ? 1 / o.rate : 0);
    std::mt19937 random(std::random_device{}());
    auto start = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                    period * std::uniform_real_distribution<>(0, 1)(random));
    std::vector<double> spoolMs;
    double mostLateMs = 0;
    bool failed = false;
    for (int i = 0; i < count && !failed; ++i) {
        auto due = start + std::chrono::duration_cast<Clock::duration>(period * i);
        std::this_thread::sleep_until(due);
        mostLateMs = std::max(
            mostLateMs, std::chrono::duration<double, std::milli>(Clock::now() - due).count());
        auto begun = Clock::now();
        // As cli/station_line.cpp: the spool numbers it, the sender puts the number in.
        UpgradeRecord record = RecordOf(o.station, i);
        record.station = o.station;
        record.seq = 0;
        int64_t seq = SpoolRecord(spool, record.recordId, RecordLine(record), why);
        failed = seq < 0;
        if (!failed) NoteRecordSpooled(sender);
        spoolMs.push_back(MsSince(begun));
    }
    double spoolingS = std::chrono::duration<double>(Clock::now() - start).count();
    if (failed) std::fprintf(stderr, "line_station_sim: %s\n", why.c_str());
    std::printf("spooled %zu\n", spoolMs.size());
    std::fflush(stdout);

    auto waitStart = Clock::now();
    int64_t left = WaitingCount(spool);
    while (left != 0 && MsSince(waitStart) < o.deadline * 1000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        left = WaitingCount(spool);
    }
    double waitedS = MsSince(waitStart) / 1000;
    StopLineSender(sender, 1000);
    CloseSpool(spool);
    Json summary = {{"station", o.station},
                    {"spooled", spoolMs.size()},
                    {"left", left},
                    {"spooling_s", spoolingS},
                    {"waited_s", waitedS},
                    {"spool_ms_p50", Percentile(spoolMs, 0.5)},
                    {"spool_ms_p99", Percentile(spoolMs, 0.99)},
                    {"spool_ms_max", Percentile(spoolMs, 1.0)},
                    {"most_late_ms", mostLateMs}};
    std::printf("%s\n", summary.dump().c_str());
    return failed || left != 0 ? 1 : 0;
}
