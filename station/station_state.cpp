#include "station/station_state.h"

#include <algorithm>
#include <map>
#include <set>

namespace {

using Json = nlohmann::json;

enum { MostReasons = 10, MostTextLength = 64 };

std::string Lookup(const std::map<size_t, std::string>& texts, size_t slot) {
    auto it = texts.find(slot);
    return it == texts.end() ? std::string() : it->second;
}

// What a tile shows: the result while the scanner stays, otherwise the phase;
// a slot not yet begun is "starting", one whose process ended "stopped".
const char* TileState(const FleetSlot& s) {
    if (s.childEnded) return "stopped";
    if (!s.started) return "starting";
    if (s.showEnd) return ResultName(ResultOfOutcome(s.end.outcome));
    return RunPhaseName(s.phase == RunPhase::Done ? RunPhase::Waiting : s.phase);
}

Json Counts(const int (&results)[ResultCount]) {
    Json counts = Json::object();
    for (int r = 0; r < ResultCount; ++r)
        counts[ResultName(static_cast<UpgradeResult>(r))] = results[r];
    return counts;
}

Json IdentityOrNull(bool known, const IdentityTexts& id) {
    return known ? IdentityJson(id) : Json(nullptr);
}

Json EndOf(const FleetSlot& s) {
    if (!s.showEnd) return nullptr;
    const UpgradeRecord& record = s.endRecord;  // one that could not be read has no time
    std::string time = !s.endRecordRead         ? std::string()
                       : record.endedAt.empty() ? record.time
                                                : record.endedAt;
    return {{"outcome", OutcomeName(s.end.outcome)},
            {"message", s.end.message},
            {"seconds", s.end.seconds},
            {"time", time}};
}

Json HintsJson(const FleetSlot& s) {
    Json hints = Json::array();
    for (const RunEvent& h : s.hints)
        hints.push_back({{"hint", HintName(h.hint)}, {"facts", h.facts}});
    return hints;
}

Json ResultJson(const FleetSlot& s) {
    return s.showEnd ? Json(ResultName(ResultOfOutcome(s.end.outcome))) : Json(nullptr);
}

Json SlotJson(const FleetSlot& s, size_t index, const StationRun& run) {
    Json trace = Json::array();
    for (const std::string& line : s.trace) trace.push_back(line);
    return {{"index", index},
            {"label", s.label},
            {"port", s.port},
            {"state", TileState(s)},
            {"phase", RunPhaseName(s.phase)},
            {"result", ResultJson(s)},
            {"percent", s.progress.percent},
            {"rate", s.progress.rate},
            {"left", s.progress.left},
            {"sent", s.progress.sent},
            {"total", s.progress.total},
            {"scanner", IdentityOrNull(s.hasScanner, s.scanner)},
            {"from", s.hasScanner ? Json(s.scanner.software) : Json(nullptr)},
            {"to", s.hasHeader ? Json(s.header.software) : Json(nullptr)},
            {"end", EndOf(s)},
            {"hints", HintsJson(s)},
            {"trace", trace},
            {"counts", Counts(s.results)},
            {"serial", Lookup(run.serials, index)},
            {"lastSerial", Lookup(run.lastSerials, index)},
            {"checkSlot", SlotNeedsCheck(s)},
            {"childEnded", s.childEnded}};
}

// The failures' messages, the commonest first.
Json Reasons(const std::vector<UpgradeRecord>& records) {
    std::map<std::pair<std::string, std::string>, int> counts;
    for (const UpgradeRecord& r : records)
        if (RecordResult(r) == ResultFailed) ++counts[{OutcomeName(r.outcome), r.message}];
    std::vector<std::pair<int, std::pair<std::string, std::string>>> ranked;
    for (const auto& c : counts) ranked.push_back({c.second, c.first});
    std::stable_sort(ranked.begin(), ranked.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    Json reasons = Json::array();
    for (size_t i = 0; i < ranked.size() && i < MostReasons; ++i)
        reasons.push_back({{"outcome", ranked[i].second.first},
                           {"message", ranked[i].second.second},
                           {"count", ranked[i].first}});
    return reasons;
}

Json SoftwareJson(const StationImage& i) {
    return i.hasHeader ? Json(i.software) : Json(nullptr);
}

Json ImageJson(const StationImage& i) {
    return {{"name", i.name},
            {"size", i.size},
            {"sha256", i.sha256},
            {"hasHeader", i.hasHeader},
            {"module", i.hasHeader ? Json(i.module) : Json(nullptr)},
            {"software", SoftwareJson(i)}};
}

Json TimeOrNull(const std::string& time) {
    return time.empty() ? Json(nullptr) : Json(time);
}

Json LineJson(const StationRun& run) {
    if (!run.onLine) return nullptr;
    const LineState& l = run.line;
    return {{"connected", l.connected},
            {"downSince", TimeOrNull(l.downSince)},
            {"refused", l.refused},
            {"rejected", l.rejected},
            {"reason", l.reason},
            {"waiting", l.waiting},
            {"oldestWaiting", TimeOrNull(l.oldestWaiting)}};
}

Json BeatSlotJson(const FleetSlot& s) {
    return {{"label", s.label},        {"state", TileState(s)},   {"phase", RunPhaseName(s.phase)},
            {"result", ResultJson(s)}, {"sent", s.progress.sent}, {"total", s.progress.total},
            {"hints", HintsJson(s)}};
}

}  // namespace

void CountStationResult(StationRun& run, UpgradeOutcome outcome) {
    auto since = std::chrono::steady_clock::now() - run.startedAt;
    StationMinute& m = run.perMinute[static_cast<int>(
        std::chrono::duration_cast<std::chrono::minutes>(since).count())];
    ++m.results[ResultOfOutcome(outcome)];
}

Json StationState(const FleetModel& model, const StationRun& run, bool readOnly) {
    double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - run.startedAt).count();
    int done = 0;
    for (int r : model.results) done += r;
    Json slots = Json::array(), history = Json::array();
    for (size_t i = 0; i < model.slots.size(); ++i)
        slots.push_back(SlotJson(model.slots[i], i, run));
    for (const auto& m : run.perMinute) {
        Json minute = Counts(m.second.results);
        minute["minute"] = m.first;
        history.push_back(minute);
    }
    Json counts = Counts(model.results);
    counts["perHour"] = elapsed > 0 ? done * 3600.0 / elapsed : 0.0;
    return {{"version", StationStateVersion},
            {"run",
             {{"started", run.started},
              {"elapsed", elapsed},
              {"stopping", run.stopping},
              {"ended", run.ended},
              {"readOnly", readOnly},
              {"operator", run.operatorName},
              {"lot", run.lot},
              {"access", run.access}}},
            {"image", ImageJson(run.image)},
            {"counts", counts},
            {"reasons", Reasons(run.records)},
            {"history", history},
            {"line", LineJson(run)},
            {"slots", slots}};
}

Json StationBeat(const FleetModel& model, const StationRun& run) {
    Json slots = Json::array();
    for (const FleetSlot& s : model.slots) slots.push_back(BeatSlotJson(s));
    const LineState& l = run.line;
    return {{"version", StationBeatVersion},
            {"image", {{"name", run.image.name}, {"software", SoftwareJson(run.image)}}},
            {"operator", run.operatorName},
            {"lot", run.lot},
            {"stopping", run.stopping},
            {"ended", run.ended},
            {"counts", Counts(model.results)},
            {"waiting", l.waiting},
            {"oldestWaiting", TimeOrNull(l.oldestWaiting)},
            {"lineDownSince", TimeOrNull(l.downSince)},
            {"slots", slots}};
}

UpgradeRecord StationRecord(const UpgradeRecord& record, size_t slot, const std::string& label,
                            StationRun& run) {
    UpgradeRecord kept = record;
    kept.slot = label;
    kept.operatorName = run.operatorName;
    kept.lot = run.lot;
    kept.imageSha256 = run.image.sha256;
    kept.unitSerial = run.serials[slot];
    run.lastSerials[slot] = kept.unitSerial;
    run.serials.erase(slot);
    return kept;
}

void KeepSerialForRetry(StationRun& run, size_t slot) {
    if (run.serials[slot].empty()) run.serials[slot] = run.lastSerials[slot];
}

bool StationTextIsFit(const std::string& text) {
    if (text.size() > MostTextLength) return false;
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7F) return false;
    return true;
}
