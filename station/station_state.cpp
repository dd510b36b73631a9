#include "station/station_state.h"

#include <algorithm>
#include <map>
#include <set>

namespace {

using Json = nlohmann::json;

enum { MostReasons = 10, MostTextLength = 64 };

const char* const kCsvColumns[] = {"time",
                                   "slot",
                                   "port",
                                   "device",
                                   "operator",
                                   "lot",
                                   "image",
                                   "size",
                                   "sha256",
                                   "header_customer",
                                   "header_module",
                                   "header_hardware",
                                   "header_software",
                                   "scanner_customer",
                                   "scanner_module",
                                   "scanner_hardware",
                                   "scanner_software",
                                   "access",
                                   "result",
                                   "outcome",
                                   "message",
                                   "upgrade_outcome",
                                   "upgrade_message",
                                   "started",
                                   "exit",
                                   "seconds",
                                   "blocks_sent",
                                   "blocks_resent",
                                   "answer_delay_ms"};

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
    if (!known) return nullptr;
    return {{"customer", id.customer},
            {"module", id.module},
            {"hardware", id.hardware},
            {"software", id.software}};
}

Json EndOf(const FleetSlot& s) {
    if (!s.showEnd) return nullptr;
    std::string time = s.end.record.is_object() ? s.end.record.value("time", "") : "";
    return {{"outcome", OutcomeName(s.end.outcome)},
            {"message", s.end.message},
            {"seconds", s.end.seconds},
            {"time", time}};
}

Json SlotJson(const FleetSlot& s, size_t index) {
    Json hints = Json::array(), trace = Json::array();
    for (const RunEvent& h : s.hints)
        hints.push_back({{"hint", HintName(h.hint)}, {"facts", h.facts}});
    for (const std::string& line : s.trace) trace.push_back(line);
    return {
        {"index", index},
        {"label", s.label},
        {"port", s.port},
        {"state", TileState(s)},
        {"phase", RunPhaseName(s.phase)},
        {"result", s.showEnd ? Json(ResultName(ResultOfOutcome(s.end.outcome))) : Json(nullptr)},
        {"percent", s.progress.percent},
        {"rate", s.progress.rate},
        {"left", s.progress.left},
        {"sent", s.progress.sent},
        {"total", s.progress.total},
        {"scanner", IdentityOrNull(s.hasScanner, s.scanner)},
        {"from", s.hasScanner ? Json(s.scanner.software) : Json(nullptr)},
        {"to", s.hasHeader ? Json(s.header.software) : Json(nullptr)},
        {"end", EndOf(s)},
        {"hints", hints},
        {"trace", trace},
        {"counts", Counts(s.results)},
        {"checkSlot", SlotNeedsCheck(s)},
        {"childEnded", s.childEnded}};
}

// The failures' messages, the commonest first.
Json Reasons(const std::vector<Json>& records) {
    std::map<std::pair<std::string, std::string>, int> counts;
    for (const Json& r : records) {
        UpgradeResult result = ResultFailed;
        ResultFromName(r.value("result", "").c_str(), result);
        if (result != ResultFailed) continue;
        ++counts[{r.value("outcome", ""), r.value("message", "")}];
    }
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

Json ImageJson(const StationImage& i) {
    return {{"name", i.name},
            {"size", i.size},
            {"sha256", i.sha256},
            {"hasHeader", i.hasHeader},
            {"module", i.hasHeader ? Json(i.module) : Json(nullptr)},
            {"software", i.hasHeader ? Json(i.software) : Json(nullptr)}};
}

std::string CsvCell(const Json& value) {
    if (value.is_null()) return "";
    std::string text = value.is_string()
                           ? value.get<std::string>()
                           : value.dump(-1, ' ', false, Json::error_handler_t::replace);
    // A spreadsheet takes these for a formula: a leading quote keeps them text.
    if (value.is_string() && !text.empty() &&
        std::string("=+-@\t\r").find(text[0]) != std::string::npos)
        text = "'" + text;
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

Json Field(const Json& record, const std::string& column) {
    for (const char* identity : {"header", "scanner"}) {
        std::string prefix = std::string(identity) + "_";
        if (column.compare(0, prefix.size(), prefix) != 0) continue;
        const Json& id = record.contains(identity) ? record[identity] : Json();
        return id.is_object() ? id.value(column.substr(prefix.size()), Json()) : Json();
    }
    return record.value(column, Json());
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
    for (size_t i = 0; i < model.slots.size(); ++i) slots.push_back(SlotJson(model.slots[i], i));
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
            {"slots", slots}};
}

Json StationRecord(const Json& record, const std::string& slot, const StationRun& run) {
    Json kept = record;
    kept["slot"] = slot;
    kept["operator"] = run.operatorName;
    kept["lot"] = run.lot;
    kept["sha256"] = run.image.sha256;
    return kept;
}

std::string RecordsAsJsonLines(const std::vector<Json>& records) {
    std::string text;
    for (const Json& r : records)
        text += r.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
    return text;
}

// The fixed columns, then any field a record holds that they do not name.
std::vector<std::string> CsvColumns(const std::vector<Json>& records) {
    std::vector<std::string> columns(std::begin(kCsvColumns), std::end(kCsvColumns));
    std::set<std::string> named(columns.begin(), columns.end()), more;
    for (const Json& r : records)
        for (auto it = r.begin(); it != r.end(); ++it)
            if (!named.count(it.key()) && it.key() != "header" && it.key() != "scanner")
                more.insert(it.key());
    columns.insert(columns.end(), more.begin(), more.end());
    return columns;
}

std::string RecordsAsCsv(const std::vector<Json>& records) {
    std::vector<std::string> columns = CsvColumns(records);
    std::string text;
    for (size_t i = 0; i < columns.size(); ++i) text += (i ? "," : "") + columns[i];
    text += "\r\n";
    for (const Json& r : records) {
        for (size_t i = 0; i < columns.size(); ++i)
            text += (i ? "," : "") + CsvCell(Field(r, columns[i]));
        text += "\r\n";
    }
    return text;
}

bool StationTextIsFit(const std::string& text) {
    if (text.size() > MostTextLength) return false;
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7F) return false;
    return true;
}
