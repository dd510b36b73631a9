#include "line/line_server.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "events/upgrade_record.h"
#include "line/line_workers.h"
#include "web/web_room.h"

namespace {

using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;

const char* const kKeyPrefix = "/api/station/";
enum { MostBody = 4 << 20, MostBeatBytes = 64 << 10, SummaryMs = 2000, WatchMs = 250 };
// Deliveries ask for new figures at most this often: under a stream of them
// the figures' query, which reads the day's records, ran back to back.
enum { SummaryAfterDeliveryMs = 1000 };
// As long as the store takes a lot.
enum { MostLotBytes = 1024 };
// A beat whose key was checked this recently is taken without the database,
// so the supervisor keeps seeing stations while it is away.
constexpr auto kKeyRemembered = std::chrono::seconds(60);
const int kRetryAfterSeconds = 2;

struct StationSeen {
    Json beat;  // null until one came
    Clock::time_point heard;
    std::string lastHeard;  // ISO 8601 UTC; from the database until a beat came
    bool beating = false, revoked = false, online = false;
};

struct KeyChecked {
    std::string hash;
    Clock::time_point at;
};

struct Line {
    std::mutex lock;
    std::map<std::string, StationSeen> stations;
    std::map<std::string, KeyChecked> keys;
    Json summary = Json::object();
    std::thread watcher;
    std::condition_variable wake;
    bool stopping = false;
    std::atomic<bool> summaryQueued{false};
    std::atomic<bool> summaryOwed{false};  // records came since the last figures
};

Line& TheLine() {
    static Line line;
    return line;
}

WebReply Reply(int status, const std::string& text) {
    WebReply reply;
    reply.status = status;
    reply.body = text + "\n";
    return reply;
}

WebReply JsonReply(const Json& body) {
    WebReply reply;
    reply.type = "application/json";
    reply.body = body.dump(-1, ' ', false, Json::error_handler_t::replace);
    return reply;
}

WebReply Unavailable(const std::string& why) {
    WebReply reply = Reply(503, "the line's database is unavailable: " + why);
    reply.retryAfter = kRetryAfterSeconds;
    return reply;
}

// ---- A station's request: its name, its key, its body ----

struct StationRequest {
    std::string station, key;
    Json body;
};

bool IsKey(const std::string& key) {
    if (key.size() != 64) return false;
    for (char c : key)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

// The refusal in `refusal` when the request is not one a station sends.
bool ReadStationRequest(const WebRequest& request, StationRequest& got, WebReply& refusal) {
    const std::string bearer = "Bearer ";
    if (request.authorization.compare(0, bearer.size(), bearer) != 0 ||
        !IsKey(request.authorization.substr(bearer.size()))) {
        refusal = Reply(401, "a station's key is needed: Authorization: Bearer <key>");
        return false;
    }
    got.key = request.authorization.substr(bearer.size());
    got.body = Json::parse(request.body, nullptr, false);
    if (!request.post || !got.body.is_object()) {
        refusal = Reply(400, "a station sends a JSON object by POST");
        return false;
    }
    const Json& name = got.body["station"];
    if (!name.is_string() || !StationNameIsFit(name.get<std::string>())) {
        refusal = Reply(400, "\"station\" is a station's name: 1 to 64 printable characters");
        return false;
    }
    got.station = name.get<std::string>();
    return true;
}

void RememberKey(const StationRequest& got) {
    std::lock_guard<std::mutex> guard(TheLine().lock);
    TheLine().keys[got.station] = {StationKeyHash(got.key), Clock::now()};
}

void ForgetKey(const std::string& station) {
    std::lock_guard<std::mutex> guard(TheLine().lock);
    TheLine().keys.erase(station);
}

bool KeyRemembered(const StationRequest& got) {
    std::lock_guard<std::mutex> guard(TheLine().lock);
    auto found = TheLine().keys.find(got.station);
    return found != TheLine().keys.end() && found->second.hash == StationKeyHash(got.key) &&
           Clock::now() - found->second.at < kKeyRemembered;
}

// On a worker: the key checked against the database; false with the refusal.
bool CheckKey(LineStore* store, const StationRequest& got, WebReply& refusal) {
    if (!store) {
        refusal = Unavailable("not reachable");
        return false;
    }
    switch (CheckStationKey(store, got.station, got.key)) {
        case StationKeyCurrent:
            NoteLineStoreResult(StoreOk);
            RememberKey(got);
            return true;
        case StationKeyRevoked:
            ForgetKey(got.station);
            refusal = Reply(403, "the station " + got.station + " is revoked");
            return false;
        case StationKeyUnknown:
            ForgetKey(got.station);
            refusal = Reply(401, "no station of that name has this key");
            return false;
        case StationKeyUnavailable:
            break;
    }
    NoteLineStoreResult(StoreUnavailable);
    refusal = Unavailable("the key could not be checked");
    return false;
}

// ---- Records ----

bool ReadRecords(const StationRequest& got, std::vector<LineRecordRow>& rows, WebReply& refusal) {
    const Json& records = got.body["records"];
    if (!records.is_array() || records.empty() || records.size() > LineMostBatch) {
        refusal = Reply(
            400, "\"records\" is a list of 1 to " + std::to_string(LineMostBatch) + " records");
        return false;
    }
    for (size_t i = 0; i < records.size(); ++i) {
        UpgradeRecord record;
        std::string why;
        if (RecordFromJson(records[i], record, why) && record.station != got.station)
            why = "it is another station's";
        else if (why.empty() && record.seq <= 0)
            why = "it has no sequence number";
        if (!why.empty()) {
            refusal = Reply(400, "record " + std::to_string(i + 1) + ": " + why);
            return false;
        }
        rows.push_back(LineRowOf(record));
    }
    return true;
}

void StoreDelivery(LineStore* store, const StationRequest& got,
                   const std::vector<LineRecordRow>& rows, const WebAnswer& answer) {
    WebReply refusal;
    if (!CheckKey(store, got, refusal)) return answer(refusal);
    StoredCounts counts;
    std::string why;
    const StoreResult result = StoreRecords(store, got.station, rows, counts, why);
    NoteLineStoreResult(result);
    if (result == StoreUnavailable) return answer(Unavailable(why));
    if (result == StoreRefused) return answer(Reply(400, why));
    TheLine().summaryOwed = true;
    TheLine().wake.notify_all();
    answer(JsonReply({{"inserted", counts.inserted},
                      {"already", counts.alreadyThere},
                      {"conflicting", counts.conflicting}}));
}

void DeliverRecords(const StationRequest& got, const WebAnswer& answer) {
    std::vector<LineRecordRow> rows;
    WebReply refusal;
    if (!ReadRecords(got, rows, refusal)) return answer(refusal);
    bool queued = QueueLineJob(
        [got, rows, answer](LineStore* store) { StoreDelivery(store, got, rows, answer); });
    if (!queued) answer(Unavailable("too much is waiting for it"));
}

// ---- Beats ----

void KeepBeat(const StationRequest& got) {
    {
        std::lock_guard<std::mutex> guard(TheLine().lock);
        StationSeen& seen = TheLine().stations[got.station];
        seen.beat = got.body["beat"];
        seen.heard = Clock::now();
        seen.lastHeard = LineTimeNow();
        seen.beating = true;
        seen.online = true;
    }
    NoteWebRoomChanged();
}

void TakeBeat(const StationRequest& got, const WebAnswer& answer) {
    const Json& beat = got.body["beat"];
    if (!beat.is_object() || beat.dump().size() > MostBeatBytes) {
        return answer(Reply(
            400, "\"beat\" is an object of at most " + std::to_string(MostBeatBytes) + " bytes"));
    }
    if (KeyRemembered(got)) {
        KeepBeat(got);
        return answer(JsonReply({{"ok", true}}));
    }
    bool queued = QueueLineJob([got, answer](LineStore* store) {
        WebReply refusal;
        if (!CheckKey(store, got, refusal)) return answer(refusal);
        KeepBeat(got);
        answer(JsonReply({{"ok", true}}));
    });
    if (!queued) answer(Unavailable("too much is waiting for it"));
}

// ---- A lot's records as CSV ----

// A file name any system takes: letters, digits, dot, dash, underscore.
std::string FileNameOf(const std::string& lot) {
    std::string name;
    for (char c : lot.substr(0, 64)) {
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                     c == '.' || c == '-' || c == '_';
        name += plain ? c : '_';
    }
    return "lot-" + name + ".csv";
}

void LotCsv(LineStore* store, const std::string& lot, const WebAnswer& answer) {
    if (!store) return answer(Unavailable("not reachable"));
    std::vector<std::string> bodies;
    std::string why;
    const StoreResult result = LotRecords(store, lot, bodies, why);
    NoteLineStoreResult(result);
    if (result == StoreRefused) return answer(Reply(400, why));  // not UTF-8, say
    if (result != StoreOk) return answer(Unavailable(why));
    std::vector<UpgradeRecord> records;
    for (const std::string& body : bodies) {
        UpgradeRecord record;
        Json json = Json::parse(body, nullptr, false);
        if (RecordFromJson(json, record, why)) records.push_back(record);
    }
    WebReply reply;
    reply.type = "text/csv; charset=utf-8";
    reply.body = RecordsAsCsv(records);
    reply.download = FileNameOf(lot);
    answer(reply);
}

void ExportLot(const WebRequest& request, const WebAnswer& answer) {
    std::string lot;
    if (!WebQueryValue(request.query, "lot", lot) || lot.size() > MostLotBytes ||
        lot.find('\0') != std::string::npos)
        return answer(Reply(400, "lot=<a lot, percent-encoded> is needed"));
    if (!QueueLineJob([lot, answer](LineStore* store) { LotCsv(store, lot, answer); }))
        answer(Unavailable("too much is waiting for it"));
}

bool Route(const WebRequest& request, const WebAnswer& answer) {
    if (request.path.compare(0, std::string(kKeyPrefix).size(), kKeyPrefix) == 0) {
        StationRequest got;
        WebReply refusal;
        if (request.path != "/api/station/records" && request.path != "/api/station/beat")
            return false;
        if (!ReadStationRequest(request, got, refusal)) {
            answer(refusal);
        } else if (request.path == "/api/station/records") {
            DeliverRecords(got, answer);
        } else {
            TakeBeat(got, answer);
        }
        return true;
    }
    if (request.post || request.path != "/api/lot.csv") return false;
    ExportLot(request, answer);
    return true;
}

// ---- The supervisor's state ----

void TakeSummary(LineStore* store) {
    std::string text, why;
    std::vector<LineStationSeen> known;
    StoreResult result = store ? LineSummary(store, text, why) : StoreUnavailable;
    if (result == StoreOk) result = StationsSeen(store, known, why);
    NoteLineStoreResult(result);
    TheLine().summaryQueued = false;
    if (result != StoreOk) return NoteWebRoomChanged();
    Json summary = Json::parse(text, nullptr, false);
    std::lock_guard<std::mutex> guard(TheLine().lock);
    if (summary.is_object()) TheLine().summary = summary;
    for (const LineStationSeen& station : known) {
        StationSeen& seen = TheLine().stations[station.name];
        seen.revoked = station.revoked;
        if (!seen.beating) seen.lastHeard = station.lastHeard;
    }
    NoteWebRoomChanged();
}

void QueueSummary() {
    if (TheLine().summaryQueued.exchange(true)) return;
    if (!QueueLineJob(TakeSummary)) TheLine().summaryQueued = false;
}

Json StationJson(const std::string& name, const StationSeen& seen) {
    return {{"name", name},
            {"online", seen.online},
            {"lastHeard", seen.lastHeard.empty() ? Json(nullptr) : Json(seen.lastHeard)},
            {"revoked", seen.revoked},
            {"beat", seen.beat}};
}

std::string StateText(bool) {
    std::string downSince;
    const bool reachable = LineDatabaseReachable(downSince);
    Json state = {
        {"version", 1},
        {"now", LineTimeNow()},
        {"database", {{"ok", reachable}, {"since", reachable ? Json(nullptr) : Json(downSince)}}}};
    std::lock_guard<std::mutex> guard(TheLine().lock);
    Json stations = Json::array();
    for (const auto& [name, seen] : TheLine().stations) stations.push_back(StationJson(name, seen));
    state["stations"] = stations;
    for (const char* part : {"totals", "lots", "images", "reasons", "repeats"}) {
        const Json& value = TheLine().summary.contains(part) ? TheLine().summary[part] : Json();
        state[part] = value.is_null()
                          ? (std::string(part) == "totals" ? Json::object() : Json::array())
                          : value;
    }
    return state.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// Marks stations OFFLINE after missed beats, and asks for new figures.
void Watch() {
    Line& line = TheLine();
    auto lastSummary = Clock::now() - std::chrono::milliseconds(SummaryMs);
    std::unique_lock<std::mutex> guard(line.lock);
    while (!line.stopping) {
        bool changed = false;
        const auto now = Clock::now();
        for (auto& [name, seen] : line.stations) {
            const bool online =
                seen.beating && now - seen.heard < std::chrono::milliseconds(LineOfflineMs);
            changed = changed || online != seen.online;
            seen.online = online;
        }
        if (changed) NoteWebRoomChanged();
        const auto since = now - lastSummary;
        if (since >= std::chrono::milliseconds(SummaryMs) ||
            (line.summaryOwed && since >= std::chrono::milliseconds(SummaryAfterDeliveryMs))) {
            lastSummary = now;
            line.summaryOwed = false;
            guard.unlock();
            QueueSummary();
            guard.lock();
        }
        line.wake.wait_for(guard, std::chrono::milliseconds(WatchMs));
    }
}

}  // namespace

bool StartLineServer(const LineServerSetup& setup, std::string& why) {
    WebRoomSetup room;
    room.name = "line";
    room.address = setup.address;
    room.port = setup.port;
    room.hostNames = setup.hostNames;
    room.token = NewWebToken();  // nobody is given it: every page only looks
    room.readOnlyToken = setup.viewToken;
    room.bodyLimit = MostBody;
    room.mostConnections = 256;
    room.keyPrefix = kKeyPrefix;
    room.state = StateText;
    room.slowRoute = Route;
    room.findPage = FindLinePageFile;
    StartLineWorkers(setup.conninfo, setup.workers);
    if (!StartWebRoom(room, why)) {
        StopLineWorkers();
        return false;
    }
    TheLine().stopping = false;
    TheLine().watcher = std::thread(Watch);
    return true;
}

unsigned short LineServerPort() {
    return WebRoomPort();
}

void StopLineServer() {
    Line& line = TheLine();
    {
        std::lock_guard<std::mutex> guard(line.lock);
        line.stopping = true;
    }
    line.wake.notify_all();
    if (line.watcher.joinable()) line.watcher.join();
    // Deliveries under way are answered before the room closes.
    StopLineWorkers();
    StopWebRoom();
}
