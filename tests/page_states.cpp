// Prints the station's page state for every state a tile can show, as the
// station's own code builds it from events: a bench of eight tiles per
// screen, and one of 32 for the wide screen. The page's tests draw them.
//
//     page_states > states.json   {"screens": [state, ...], "wide": state}
#include <cstdio>
#include <vector>

#include "station/station_state.h"
#include "upgrade/upgrade.h"

namespace {

using Json = nlohmann::json;

// Makes one tile's slot reach the state it stands for.
struct TileMaker {
    const char* what;
    void (*make)(FleetModel& m, size_t slot, int variant);
    int variants;
};

RunEvent ImageEvent() {
    RunEvent e;
    e.kind = EventKind::Image;
    e.path = "/srv/images/scanner-fw-2.00.00.bin";
    e.size = 61440;
    e.hasIdentity = true;
    e.identity = {"ACME", "5800", "HW-B", "2.00.00"};
    return e;
}

RunEvent ScannerEvent() {
    RunEvent e;
    e.kind = EventKind::Scanner;
    e.hasIdentity = true;
    e.identity = {"ACME", "5800", "HW-B", "1.04.07"};
    return e;
}

RunEvent EndEvent(UpgradeOutcome outcome, double seconds) {
    RunEvent e;
    e.kind = EventKind::End;
    e.outcome = outcome;
    char message[StatusTextSize];
    FormatOutcome(outcome, "upload 2000", message, sizeof message);
    e.message = message;
    e.seconds = seconds;
    e.record = {{"time", "2026-12-08T14:03:27Z"},
                {"result", ResultName(ResultOfOutcome(outcome))},
                {"outcome", OutcomeName(outcome)},
                {"message", message}};
    return e;
}

void Begin(FleetModel& m, size_t slot) {
    ApplyEvent(m, slot, PhaseEvent(RunPhase::Waiting));
    ApplyEvent(m, slot, ImageEvent());
}

void InPhase(FleetModel& m, size_t slot, int variant) {
    static const RunPhase kShown[] = {
        RunPhase::Waiting, RunPhase::Handshake,  RunPhase::Identity,
        RunPhase::KeyCode, RunPhase::FlashErase, RunPhase::ParameterErase,
        RunPhase::Upload,  RunPhase::Start,      RunPhase::Leaving};
    Begin(m, slot);
    RunPhase phase = kShown[variant];
    if (phase >= RunPhase::KeyCode) ApplyEvent(m, slot, ScannerEvent());
    if (phase != RunPhase::Upload) return ApplyEvent(m, slot, PhaseEvent(phase));
    RunEvent p;
    p.kind = EventKind::Progress;
    p.phase = RunPhase::Upload;
    p.progress.blocksAcked = 193, p.progress.blocksToSend = 473;
    p.progress.sent = 24704, p.progress.total = 60416, p.progress.percent = 40;
    p.progress.rate = 5530, p.progress.left = 6.5;
    ApplyEvent(m, slot, p);
}

Json FactsOf(HintKind kind) {
    Json identity = {
        {"module", "5800"}, {"software", "1.04.07"}, {"customer", "ACME"}, {"hardware", "HW-B"}};
    switch (kind) {
        case HintKind::UpgradeEndedAs:
            return {{"message", "upgrade not finish!!!"}};
        case HintKind::MismatchScanner:
        case HintKind::MismatchImage:
            return identity;
        case HintKind::PortRefused:
            return {{"port", "/dev/ttyUSB7"}, {"reason", "/dev/ttyUSB7: no such device"}};
        case HintKind::AnswersHeldBack:
            return {{"delay_ms", 12.5}, {"fix", "set the latency timer of ttyUSB7 to 1 ms"}};
        case HintKind::LatencyTimerLong:
            return {{"latency_ms", 16}, {"fix", "set the latency timer of ttyUSB7 to 1 ms"}};
        default:
            return Json::object();
    }
}

void FailedWithHint(FleetModel& m, size_t slot, int variant) {
    HintKind kind = static_cast<HintKind>(variant);
    InPhase(m, slot, 6);
    ApplyEvent(m, slot, HintEvent(kind, FactsOf(kind)));
    ApplyEvent(m, slot, HintEvent(HintKind::TransferBrokeOff));  // the second, for Details
    ApplyEvent(m, slot, EndEvent(OutcomeNotFinished, 14.2));
}

void Passed(FleetModel& m, size_t slot, int) {
    InPhase(m, slot, 6);
    ApplyEvent(m, slot, EndEvent(OutcomeSuccess, 12.9));
}

void AlreadyCurrent(FleetModel& m, size_t slot, int) {
    Begin(m, slot);
    ApplyEvent(m, slot, ScannerEvent());
    ApplyEvent(m, slot, EndEvent(OutcomeAlreadyCurrent, 1.4));
}

void Stopped(FleetModel& m, size_t slot, int) {
    EndSlot(m, slot, ExitUpgradeFailed);
}

void Starting(FleetModel&, size_t, int) {}

const TileMaker kTiles[] = {
    {"phase", InPhase, 9},
    {"passed", Passed, 1},
    {"already current", AlreadyCurrent, 1},
    {"stopped", Stopped, 1},
    {"starting", Starting, 1},
    {"failed", FailedWithHint, static_cast<int>(HintKind::Count)},
};

using Tile = std::pair<const TileMaker*, int>;

std::vector<Tile> EveryTile() {
    std::vector<Tile> all;
    for (const TileMaker& t : kTiles)
        for (int v = 0; v < t.variants; ++v) all.push_back({&t, v});
    return all;
}

// The bench of `count` slots takes the tiles of `all` from `first` on.
Json Bench(const std::vector<Tile>& all, size_t first, size_t count, StationRun& run) {
    FleetModel m;
    for (size_t i = 0; i < count; ++i) {
        char label[8];
        std::snprintf(label, sizeof label, "%c%zu", static_cast<char>('A' + i / 8), i % 8 + 1);
        AddSlot(m, "/dev/ttyUSB" + std::to_string(i), label);
    }
    for (size_t i = 0; i < count; ++i) {
        const auto& tile = all[(first + i) % all.size()];
        tile.first->make(m, i, tile.second);
    }
    run.records = m.records;  // the failure reasons are counted from them
    return StationState(m, run, false);
}

}  // namespace

int main() {
    StationRun run;
    run.started = "2026-12-08T13:51:02Z";
    run.startedAt = std::chrono::steady_clock::now() - std::chrono::minutes(12);
    run.access = "end-user";
    run.operatorName = "Ines Park";
    run.lot = "LOT-0412";
    run.image = {"scanner-fw-2.00.00.bin",
                 "/srv/images/scanner-fw-2.00.00.bin",
                 61440,
                 "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08",
                 true,
                 "5800",
                 "2.00.00"};
    for (int minute = 0; minute < 12; ++minute) {
        StationMinute& m = run.perMinute[minute];
        m.results[ResultPassed] = 4 + minute % 3;
        m.results[ResultFailed] = minute % 4 == 1;
        m.results[ResultAlreadyCurrent] = minute % 5 == 2;
    }
    // On a line: refused on the screens, whose words are the longest; down on
    // the bench, connected on the wide screen.
    run.onLine = true;
    run.line.refused = true;
    run.line.reason = "this station's key is revoked";
    run.line.waiting = 12;
    run.line.oldestWaiting = "2026-12-08T13:52:40.118Z";
    std::vector<Tile> all = EveryTile();
    Json screens = Json::array();
    for (size_t first = 0; first < all.size(); first += 8)
        screens.push_back(Bench(all, first, 8, run));
    // A bench as a shift sees it: uploads, ends, one failure.
    const TileMaker& phase = kTiles[0];
    std::vector<Tile> typical = {{&phase, 6}, {&kTiles[1], 0}, {&kTiles[5], 10}, {&kTiles[2], 0},
                                 {&phase, 0}, {&phase, 4},     {&phase, 8},      {&kTiles[1], 0}};
    Json out = {{"screens", screens}};
    run.serials[4] = "SN-48213-0007";  // scanned for the scanner to come
    run.line.refused = false;
    run.line.downSince = "2026-12-08T13:58:05.402Z";
    run.line.reason = "cannot connect to the line at 10.0.4.2:8470: Connection refused";
    out["bench"] = Bench(typical, 0, 8, run);
    run.serials.clear();
    run.line = LineState();
    run.line.connected = true;
    out["wide"] = Bench(all, 0, 32, run);
    std::puts(out.dump(1, ' ', false, Json::error_handler_t::replace).c_str());
    return 0;
}
