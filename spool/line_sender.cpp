// The line's sender: a thread for the records, a thread for the beats, and
// the state both keep under one lock. Neither holds the lock while it talks
// to the line, reads the spool or asks the station for its beat.
#include "spool/line_sender.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

#include "events/upgrade_record.h"
#include "spool/line_client.h"

namespace {

using Json = nlohmann::json;
using Duration = LineClock::duration;

enum { MostPerBatch = 100, MostReasonBytes = 200 };
constexpr Duration kFirstBackoff = std::chrono::milliseconds(500);
constexpr Duration kMostBackoff = std::chrono::seconds(10);
// A refused key or batch is tried again now and then: it may have been put right.
constexpr Duration kRefusedRetry = std::chrono::seconds(30);
constexpr Duration kMostRetryAfter = std::chrono::minutes(5);
constexpr Duration kBeatEvery = std::chrono::seconds(2);
constexpr Duration kBeatGap = std::chrono::milliseconds(200);
// How long a thread with nothing to do sleeps before it looks again.
constexpr Duration kIdle = std::chrono::minutes(1);

}  // namespace

struct LineSender {
    LineSenderSetup setup;
    LineAddress address;
    std::string authorization;
    // When everything must be done by: far off until the sender is stopped.
    std::atomic<LineClock::rep> cutoff{LineClock::time_point::max().time_since_epoch().count()};
    std::mutex lock;
    std::condition_variable wake;
    // Under the lock.
    LineState state;
    bool batchesFail = false;  // the last batch found no line
    bool spooled = true;       // records may wait that have not been counted
    bool lineBack = false;     // a beat went through while batches found no line
    bool beatDue = true;
    bool stopping = false;
    std::thread records, beats;
};

// What an answer tells of the line.
namespace {

enum class Heard { Taken, Unreachable, Refused, Rejected };

Heard HeardOf(const LineAnswer& a) {
    if (a.status == 200) return Heard::Taken;
    if (a.status == 401 || a.status == 403) return Heard::Refused;
    if (a.status >= 400 && a.status < 500 && a.status != 408 && a.status != 429)
        return Heard::Rejected;
    return Heard::Unreachable;  // no answer, 503, or the line's proxy in trouble
}

// The line's own words, its first line, cut short.
std::string ReasonOf(const LineAnswer& a) {
    if (a.status == 0) return a.why;
    std::string text = a.body.substr(0, a.body.find_first_of("\r\n"));
    text.erase(0, text.find_first_not_of(" \t"));
    text.erase(text.find_last_not_of(" \t") + 1);
    if (text.size() > MostReasonBytes) text = text.substr(0, MostReasonBytes) + "...";
    if (a.status == 401 || a.status == 403)
        return text.empty() ? "HTTP " + std::to_string(a.status) : text;
    std::string status = "the line answered " + std::to_string(a.status);
    return text.empty() ? status : status + ": " + text;
}

// Now in ISO 8601 UTC with milliseconds, as the spool writes its times.
std::string IsoUtcNow() {
    int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::system_clock::now().time_since_epoch())
                     .count();
    int64_t days = ms / 86400000 + 719468, of = ms % 86400000;
    int64_t era = days / 146097, doe = days - era * 146097;
    int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100), mp = (5 * doy + 2) / 153;
    int64_t day = doy - (153 * mp + 2) / 5 + 1, month = mp < 10 ? mp + 3 : mp - 9;
    int64_t year = yoe + era * 400 + (month <= 2);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", static_cast<int>(year),
                  static_cast<int>(month), static_cast<int>(day), static_cast<int>(of / 3600000),
                  static_cast<int>(of / 60000 % 60), static_cast<int>(of / 1000 % 60),
                  static_cast<int>(of % 1000));
    return text;
}

// Under the lock. A refusal's reason outranks why the line is not reached.
void Learn(LineSender* s, Heard heard, const std::string& reason, bool batch) {
    LineState& st = s->state;
    if (heard == Heard::Unreachable) {
        st.connected = false;
        if (st.downSince.empty()) st.downSince = IsoUtcNow();
        if (!st.refused && !st.rejected) st.reason = reason;
        if (batch) s->batchesFail = true;
        return;
    }
    if (batch) s->batchesFail = false;
    if (heard == Heard::Refused) {
        st.connected = false;
        st.refused = true;
        st.reason = reason;
        return;
    }
    st.connected = true;
    if (heard == Heard::Rejected) {
        st.rejected = true;
        st.reason = reason;
        return;
    }
    st.refused = false;
    if (batch) st.rejected = false;
    if (!batch && s->batchesFail) s->lineBack = true;
    if (!s->batchesFail) st.downSince.clear();
    if (!st.rejected && st.downSince.empty()) st.reason.clear();
}

// Changes the state under the lock, and tells the station when it changed;
// the other thread looks again (the line may be back).
template <class Change>
void Update(LineSender* s, Change change) {
    bool differs = false;
    {
        std::lock_guard<std::mutex> guard(s->lock);
        LineState before = s->state;
        change();
        differs = before != s->state;
    }
    s->wake.notify_all();
    if (differs && s->setup.changed) s->setup.changed();
}

void RefreshWaiting(LineSender* s) {
    int64_t count = 0;
    std::string oldest, why;
    if (!WaitingSummary(s->setup.spool, count, oldest, why)) return;
    Update(s, [&] {
        s->state.waiting = count;
        s->state.oldestWaiting = oldest;
    });
}

LineClock::time_point CutoffOf(const LineSender* s) {
    return LineClock::time_point(Duration(s->cutoff.load()));
}

}  // namespace

// The records' thread.
namespace {

struct Attempt {
    bool sent = false;
    bool spoolFailed = false;
    Heard heard = Heard::Taken;
    int retryAfter = -1;
};

// A spooled record with its sequence number. One that does not read as a
// record goes as it was spooled: the line refuses the batch and says why,
// and nothing is lost here.
Json Numbered(const SpooledRecord& spooled) {
    Json body = Json::parse(spooled.body, nullptr, false);
    UpgradeRecord record;
    std::string why;
    if (!RecordFromJson(body, record, why)) return body.is_discarded() ? Json(spooled.body) : body;
    record.seq = spooled.seq;
    return RecordJson(record);
}

std::string BatchBody(const std::string& station, const std::vector<SpooledRecord>& batch) {
    Json records = Json::array();
    for (const SpooledRecord& r : batch) records.push_back(Numbered(r));
    Json body = {{"station", station}, {"records", records}};
    return body.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Attempt SendBatch(LineSender* s, LineConnection* c) {
    Attempt attempt;
    std::vector<SpooledRecord> batch;
    std::string why;
    attempt.spoolFailed = !PendingRecords(s->setup.spool, MostPerBatch, batch, why);
    if (attempt.spoolFailed || batch.empty()) return attempt;
    attempt.sent = true;
    LineAnswer answer =
        PostToLine(c, "/api/station/records", s->authorization, BatchBody(s->setup.station, batch));
    attempt.heard = HeardOf(answer);
    attempt.retryAfter = answer.retryAfter;
    std::vector<int64_t> seqs;
    for (const SpooledRecord& r : batch) seqs.push_back(r.seq);
    // Not marked, it is sent again, and the line counts it as there already.
    if (attempt.heard == Heard::Taken)
        attempt.spoolFailed = !MarkDelivered(s->setup.spool, seqs, why);
    Update(s, [&] { Learn(s, attempt.heard, ReasonOf(answer), true); });
    return attempt;
}

// When to try next. `hold`: the line asked for the wait, or refused; a new
// record does not cut it short.
void Schedule(const Attempt& a, Duration& backoff, LineClock::time_point& next, bool& hold) {
    LineClock::time_point now = LineClock::now();
    hold = a.spoolFailed || a.heard != Heard::Taken;
    if (a.spoolFailed) {
        next = now + kMostBackoff;
    } else if (a.heard == Heard::Taken) {
        next = now;
        backoff = kFirstBackoff;
    } else if (a.heard != Heard::Unreachable) {
        next = now + kRefusedRetry;
    } else {
        Duration asked = std::min<Duration>(std::chrono::seconds(a.retryAfter), kMostRetryAfter);
        hold = a.retryAfter >= 0;
        next = now + std::max(backoff, asked);
        backoff = std::min<Duration>(backoff * 2, kMostBackoff);
    }
}

// Until the next attempt is due, a record is spooled or the line is back;
// false once the sender stops.
bool WaitForRecords(LineSender* s, LineClock::time_point& next, bool hold) {
    std::unique_lock<std::mutex> guard(s->lock);
    LineClock::time_point until = s->state.waiting > 0 ? next : LineClock::now() + kIdle;
    s->wake.wait_until(guard, until,
                       [&] { return s->stopping || s->spooled || (!hold && s->lineBack); });
    if (!hold && (s->spooled || s->lineBack)) next = LineClock::now();
    s->spooled = s->lineBack = false;
    return !s->stopping;
}

// Stopping: batches while the line takes them and the cutoff allows.
void LastDeliveries(LineSender* s, LineConnection* c) {
    while (LineClock::now() < CutoffOf(s)) {
        Attempt a = SendBatch(s, c);
        if (!a.sent || a.spoolFailed || a.heard != Heard::Taken) break;
    }
    RefreshWaiting(s);
}

void DeliverRecords(LineSender* s) {
    LineConnection* c = OpenLineConnection(s->address, [s] { return CutoffOf(s); });
    Duration backoff = kFirstBackoff;
    LineClock::time_point next = LineClock::now();
    bool hold = false;
    while (WaitForRecords(s, next, hold)) {
        RefreshWaiting(s);
        if (LineClock::now() < next) continue;
        Attempt a = SendBatch(s, c);
        if (a.sent || a.spoolFailed) Schedule(a, backoff, next, hold);
    }
    LastDeliveries(s, c);
    CloseLineConnection(c);
}

}  // namespace

// The beats' thread.
namespace {

// Until a beat is due: every 2 s, 200 ms after a change at the soonest, every
// 30 s while the line refuses the station; false once the sender stops.
bool WaitForBeat(LineSender* s, LineClock::time_point last) {
    std::unique_lock<std::mutex> guard(s->lock);
    for (;;) {
        if (s->stopping) return false;
        LineClock::time_point due = last + (s->state.refused ? kRefusedRetry : kBeatEvery);
        if (s->beatDue && !s->state.refused) due = std::min(due, last + kBeatGap);
        if (LineClock::now() >= due) break;
        s->wake.wait_until(guard, due);
    }
    s->beatDue = false;
    return true;
}

// A beat the line refuses as malformed is this program's fault, not the
// line's state: it is not shown as one.
void SendBeat(LineSender* s, LineConnection* c) {
    std::string body =
        "{\"station\":" + Json(s->setup.station).dump() + ",\"beat\":" + s->setup.beat() + "}";
    LineAnswer answer = PostToLine(c, "/api/station/beat", s->authorization, body);
    Heard heard = HeardOf(answer);
    if (heard != Heard::Rejected) Update(s, [&] { Learn(s, heard, ReasonOf(answer), false); });
}

void SendBeats(LineSender* s) {
    LineConnection* c = OpenLineConnection(s->address, [s] { return CutoffOf(s); });
    LineClock::time_point last = LineClock::now() - kBeatEvery;
    while (WaitForBeat(s, last)) {
        last = LineClock::now();
        SendBeat(s, c);
    }
    bool owed = false;
    {
        std::lock_guard<std::mutex> guard(s->lock);
        owed = s->beatDue;  // the station changed since the last one: it ended, say
    }
    if (owed && LineClock::now() < CutoffOf(s)) SendBeat(s, c);
    CloseLineConnection(c);
}

}  // namespace

LineSender* StartLineSender(const LineSenderSetup& setup, std::string& why) {
    LineAddress address;
    if (!ParseLineUrl(setup.url, address, why)) return nullptr;
    if (!setup.spool || !setup.beat || setup.station.empty() || setup.key.empty()) {
        why = "the line's sender needs a spool, a station's name, its key and its beat";
        return nullptr;
    }
    LineSender* s = new LineSender;
    s->setup = setup;
    s->address = address;
    s->authorization = "Bearer " + setup.key;
    s->records = std::thread(DeliverRecords, s);
    s->beats = std::thread(SendBeats, s);
    return s;
}

void NoteRecordSpooled(LineSender* s) {
    if (!s) return;
    std::lock_guard<std::mutex> guard(s->lock);
    s->spooled = true;
    s->wake.notify_all();
}

void NoteLineChanged(LineSender* s) {
    if (!s) return;
    std::lock_guard<std::mutex> guard(s->lock);
    s->beatDue = true;
    s->wake.notify_all();
}

LineState LineStateOf(LineSender* s) {
    if (!s) return LineState();
    std::lock_guard<std::mutex> guard(s->lock);
    return s->state;
}

int64_t StopLineSender(LineSender* s, int lastTryMs) {
    if (!s) return -1;
    LineClock::time_point cutoff =
        LineClock::now() + std::chrono::milliseconds(std::max(0, lastTryMs));
    s->cutoff = cutoff.time_since_epoch().count();
    {
        std::lock_guard<std::mutex> guard(s->lock);
        s->stopping = true;
        s->wake.notify_all();
    }
    s->records.join();
    s->beats.join();
    int64_t left = WaitingCount(s->setup.spool);
    delete s;
    return left;
}
