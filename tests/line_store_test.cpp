// The line server's store against a PostgreSQL of the test's own
// (pg_cluster.py): the schema and its versions, each record kept once,
// hostile texts kept exactly, station keys, and a server that goes away.
#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <thread>

#include "line/line_store.h"
#include "station/sha256.h"

namespace {

using Rows = std::vector<std::vector<std::optional<std::string>>>;
using Connection = std::unique_ptr<PGconn, void (*)(PGconn*)>;
using Store = std::unique_ptr<LineStore, void (*)(LineStore*)>;

std::string TestConninfo() {
    const char* conninfo = std::getenv("ORVANE_TEST_PG");
    return conninfo ? conninfo : "";
}

void ControlServer(const char* verb) {
    const char* control = std::getenv("ORVANE_TEST_PG_CONTROL");
    ASSERT_NE(nullptr, control) << "run under tests/pg_cluster.py";
    ASSERT_EQ(0, std::system((std::string(control) + " " + verb).c_str()));
}

Connection Connect(const std::string& conninfo) {
    Connection c(PQconnectdb(conninfo.c_str()), PQfinish);
    EXPECT_EQ(CONNECTION_OK, PQstatus(c.get())) << PQerrorMessage(c.get());
    return c;
}

Rows Query(PGconn* c, const std::string& sql, const std::vector<std::string>& params = {}) {
    std::vector<const char*> texts;
    for (const auto& p : params) texts.push_back(p.c_str());
    std::unique_ptr<PGresult, void (*)(PGresult*)> r(
        PQexecParams(c, sql.c_str(), static_cast<int>(texts.size()), nullptr, texts.data(), nullptr,
                     nullptr, 0),
        PQclear);
    const ExecStatusType status = PQresultStatus(r.get());
    EXPECT_TRUE(status == PGRES_TUPLES_OK || status == PGRES_COMMAND_OK)
        << sql << ": " << PQresultErrorMessage(r.get());
    Rows rows(PQntuples(r.get()));
    for (size_t i = 0; i < rows.size(); ++i)
        for (int j = 0; j < PQnfields(r.get()); ++j)
            rows[i].push_back(PQgetisnull(r.get(), i, j)
                                  ? std::nullopt
                                  : std::optional<std::string>(PQgetvalue(r.get(), i, j)));
    return rows;
}

std::string One(PGconn* c, const std::string& sql, const std::vector<std::string>& params = {}) {
    const Rows rows = Query(c, sql, params);
    return rows.size() == 1 && rows[0].size() == 1 && rows[0][0] ? *rows[0][0] : "(none)";
}

// A database no test used before, for the schema's tests.
std::string FreshDatabase() {
    static int made = 0;
    const std::string name = "fresh_" + std::to_string(++made);
    Query(Connect(TestConninfo()).get(), "CREATE DATABASE " + name);
    return TestConninfo() + " dbname=" + name;
}

Store OpenStore(const std::string& conninfo) {
    std::string why;
    Store store(OpenLineStore(conninfo, why), CloseLineStore);
    EXPECT_NE(nullptr, store) << why;
    return store;
}

// The shared database, migrated.
Store OpenMigrated() {
    Store store = OpenStore(TestConninfo());
    std::string why;
    if (store) {
        EXPECT_EQ(StoreOk, MigrateLineStore(store.get(), why)) << why;
    }
    return store;
}

std::string NewStation(LineStore* store, const std::string& name) {
    std::string key, why;
    EXPECT_EQ(StoreOk, AddStation(store, name, key, why)) << why;
    return key;
}

LineRecordRow Record(const std::string& station, int64_t seq) {
    static int made = 0;
    char id[40];
    std::snprintf(id, sizeof id, "00000000-0000-4000-8000-%012d", ++made);
    LineRecordRow row;
    row.recordId = id;
    row.station = station;
    row.seq = seq;
    row.slot = "3", row.port = "/dev/ttyUSB3", row.operatorName = "Ana", row.lot = "L-7";
    row.imageName = "scanner-2.4.img", row.imageSize = 1048576;
    row.imageSha256 = std::string(64, 'a');
    row.result = "passed", row.message = "upgraded";
    row.startedAt = "2024-05-01T10:00:00Z", row.endedAt = "2024-05-01T10:01:30.250+02:00";
    row.durationS = 90.25;
    row.body = nlohmann::json{{"record_id", row.recordId}, {"seq", seq}}.dump();
    return row;
}

StoredCounts Stored(LineStore* store, const std::string& station,
                    const std::vector<LineRecordRow>& rows) {
    StoredCounts counts;
    std::string why;
    EXPECT_EQ(StoreOk, StoreRecords(store, station, rows, counts, why)) << why;
    return counts;
}

std::string CountOf(PGconn* c, const std::string& table, const std::string& recordId) {
    return One(c, "SELECT count(*) FROM " + table + " WHERE record_id = $1::uuid", {recordId});
}

}  // namespace

TEST(LineSchema, AFreshDatabaseIsMigratedOnceAndANewerOneRefused) {
    const std::string conninfo = FreshDatabase();
    Store store = OpenStore(conninfo);
    std::string why;
    ASSERT_EQ(StoreOk, MigrateLineStore(store.get(), why)) << why;
    Connection db = Connect(conninfo);
    EXPECT_EQ("line_settings,record_conflicts,stations,upgrade_records",
              One(db.get(),
                  "SELECT string_agg(tablename, ',' ORDER BY tablename) FROM pg_tables "
                  "WHERE schemaname = 'public' AND tablename <> 'schema_migrations'"));
    EXPECT_EQ("8", One(db.get(),
                       "SELECT count(*) FROM pg_indexes "
                       "WHERE tablename = 'upgrade_records'"));
    const char* const appliedSql =
        "SELECT string_agg(version || ' ' || applied_at, ',' ORDER BY version) "
        "FROM schema_migrations";
    const std::string applied = One(db.get(), appliedSql);
    EXPECT_EQ(0u, applied.rfind("1 ", 0)) << applied;
    EXPECT_NE(std::string::npos, applied.find(",2 ")) << applied;
    ASSERT_EQ(StoreOk, MigrateLineStore(store.get(), why)) << why;
    EXPECT_EQ(applied, One(db.get(), appliedSql));

    Query(db.get(), "INSERT INTO schema_migrations (version) VALUES (7)");
    EXPECT_EQ(StoreRefused, MigrateLineStore(store.get(), why));
    EXPECT_EQ(
        "the database's schema is version 7, newer than this program's 2: upgrade the program",
        why);
}

TEST(LineSchema, ServersStartingAtOnceApplyEachMigrationOnce) {
    const std::string conninfo = FreshDatabase();
    std::vector<Store> stores;
    for (int i = 0; i < 4; ++i) stores.push_back(OpenStore(conninfo));
    std::vector<StoreResult> results(stores.size(), StoreUnavailable);
    std::vector<std::string> whys(stores.size());
    std::vector<std::thread> threads;
    for (size_t i = 0; i < stores.size(); ++i)
        threads.emplace_back([&, i] { results[i] = MigrateLineStore(stores[i].get(), whys[i]); });
    for (auto& t : threads) t.join();
    for (size_t i = 0; i < stores.size(); ++i) EXPECT_EQ(StoreOk, results[i]) << whys[i];
    EXPECT_EQ("1,2", One(Connect(conninfo).get(),
                         "SELECT string_agg(version::text, ',' ORDER BY version) "
                         "FROM schema_migrations"));
}

TEST(LineRecords, ABatchDeliveredFiveTimesIsKeptOnce) {
    Store store = OpenMigrated();
    NewStation(store.get(), "five");
    std::vector<LineRecordRow> batch = {Record("five", 1), Record("five", 2), Record("five", 3)};
    const StoredCounts first = Stored(store.get(), "five", batch);
    EXPECT_EQ(3, first.inserted);
    // The same JSON, its keys in another order and spaced: the same record.
    batch[1].body = "{ \"seq\" : 2, \"record_id\" : \"" + batch[1].recordId + "\" }";
    for (int again = 0; again < 4; ++again) {
        const StoredCounts counts = Stored(store.get(), "five", batch);
        EXPECT_EQ(0, counts.inserted);
        EXPECT_EQ(3, counts.alreadyThere);
        EXPECT_EQ(0, counts.conflicting);
    }
    Connection db = Connect(TestConninfo());
    EXPECT_EQ("3", One(db.get(), "SELECT count(*) FROM upgrade_records WHERE station = 'five'"));
    EXPECT_EQ("0", One(db.get(), "SELECT count(*) FROM record_conflicts WHERE station = 'five'"));
}

// A station's own record reaches its columns: what it does not know is NULL.
TEST(LineRecords, AStationsRecordFillsItsColumns) {
    Store store = OpenMigrated();
    NewStation(store.get(), "typed");
    UpgradeRecord r;
    r.recordId = NewRecordId();
    r.station = "typed", r.seq = 7, r.slot = "A1", r.port = "/dev/ttyUSB0", r.lot = "L-1";
    r.image = "C:\\images\\v2/fw 2.bin";
    r.startedAt = "2026-12-09T10:00:00+01:00", r.endedAt = "2026-12-09T10:00:14+01:00";
    r.hasScanner = true, r.scanner.software = "1.04.07";
    r.outcome = OutcomeAlreadyCurrent, r.message = "already", r.seconds = 1.5;
    EXPECT_EQ(1, Stored(store.get(), "typed", {LineRowOf(r)}).inserted);
    Connection db = Connect(TestConninfo());
    EXPECT_EQ("already_current|1.04.07|1.04.07|t|t|2026-12-09 09:00:14+00|fw 2.bin",
              One(db.get(),
                  "SELECT concat_ws('|', result, version_before, version_after, "
                  "unit_serial IS NULL, hint IS NULL, ended_at, image_name) FROM upgrade_records "
                  "WHERE record_id = $1",
                  {r.recordId}));
}

TEST(LineRecords, OtherContentUnderAKeptIdIsSetAsideNeverOverwriting) {
    Store store = OpenMigrated();
    NewStation(store.get(), "clash");
    const LineRecordRow original = Record("clash", 1);
    Stored(store.get(), "clash", {original});
    LineRecordRow changed = original;
    changed.message = "changed", changed.result = "failed";
    changed.body = nlohmann::json{{"record_id", original.recordId}, {"seq", 1}, {"x", 1}}.dump();
    // A station whose spool was lost numbers from 1 again: its record is kept all the same.
    LineRecordRow sameSeq = Record("clash", 1);
    for (int twice = 0; twice < 2; ++twice) {
        const StoredCounts counts = Stored(store.get(), "clash", {changed, sameSeq});
        EXPECT_EQ(twice == 0 ? 1 : 0, counts.inserted);
        EXPECT_EQ(twice == 0 ? 0 : 1, counts.alreadyThere);
        EXPECT_EQ(1, counts.conflicting);
    }
    Connection db = Connect(TestConninfo());
    EXPECT_EQ("upgraded passed true",
              One(db.get(),
                  "SELECT message || ' ' || result || ' ' || (body = $2::jsonb) "
                  "FROM upgrade_records WHERE record_id = $1::uuid",
                  {original.recordId, original.body}));
    EXPECT_EQ("true 1", One(db.get(),
                            "SELECT bool_and(body = $2::jsonb) || ' ' || count(*) "
                            "FROM record_conflicts WHERE record_id = $1::uuid",
                            {original.recordId, changed.body}));
    EXPECT_EQ("1", CountOf(db.get(), "upgrade_records", sameSeq.recordId));
    EXPECT_EQ("0", CountOf(db.get(), "record_conflicts", sameSeq.recordId));
}

TEST(LineRecords, HostileTextsAreKeptExactly) {
    Store store = OpenMigrated();
    const std::string station = "工位-🦊-'); DROP TABLE stations; --";
    NewStation(store.get(), station);
    const std::string drop = "'); DROP TABLE upgrade_records; --";
    const std::string quotes = "\"a\" 'b' `c` \\ \\\\ \\' $1 $$ %s %n";
    const std::string wide = "检测 🦊🏭 Ünïcödé \u202e ﷽ \t\n";
    LineRecordRow row = Record(station, 1);
    row.slot = drop, row.port = quotes, row.operatorName = wide, row.lot = drop + wide;
    row.unitSerial = quotes, row.imageName = "../" + drop, row.imageSha256 = wide;
    row.versionBefore = quotes + wide, row.versionAfter = drop, row.hint = "\\x00 \\u0000";
    row.message = std::string(10000, 'M') + wide;
    row.body = nlohmann::json{{"message", row.message}, {"slot", drop}, {"port", quotes}}.dump();
    EXPECT_EQ(1, Stored(store.get(), station, {row}).inserted);

    const Rows kept = Query(Connect(TestConninfo()).get(),
                            "SELECT station, slot, port, operator, lot, unit_serial, image_name, "
                            "image_sha256, version_before, version_after, hint, message, "
                            "body->>'message', body->>'slot', body->>'port' "
                            "FROM upgrade_records WHERE record_id = $1::uuid",
                            {row.recordId});
    ASSERT_EQ(1u, kept.size());
    const std::vector<std::optional<std::string>> expected = {station,
                                                              row.slot,
                                                              row.port,
                                                              row.operatorName,
                                                              row.lot,
                                                              row.unitSerial,
                                                              row.imageName,
                                                              row.imageSha256,
                                                              row.versionBefore,
                                                              row.versionAfter,
                                                              row.hint,
                                                              row.message,
                                                              row.message,
                                                              drop,
                                                              quotes};
    EXPECT_EQ(expected, kept[0]);
    std::string key, why;
    EXPECT_EQ(StoreRefused, AddStation(store.get(), std::string(10000, 'n'), key, why));
}

TEST(LineRecords, ABatchWithOneBadRowLeavesNothing) {
    Store store = OpenMigrated();
    NewStation(store.get(), "bad-rows");
    NewStation(store.get(), "other");
    std::vector<LineRecordRow> batch = {Record("bad-rows", 1), Record("bad-rows", 2),
                                        Record("bad-rows", 3)};
    const auto refused = [&](std::vector<LineRecordRow> rows, const std::string& reason) {
        StoredCounts counts;
        std::string why;
        EXPECT_EQ(StoreRefused, StoreRecords(store.get(), "bad-rows", rows, counts, why));
        EXPECT_EQ(0u, why.rfind(reason, 0)) << why;
    };
    auto claims = batch;
    claims[2].station = "other";
    refused(claims, "record 3: it claims another station");
    auto noZone = batch;
    noZone[1].endedAt = "2024-05-01T10:01:30";
    refused(noZone, "record 2: a time is not ISO 8601 with a zone");
    auto nul = batch;
    nul[0].lot = std::string("L\0-7", 4);
    refused(nul, "record 1: a text holds a NUL byte");
    auto longSerial = batch;
    longSerial[1].unitSerial = std::string(5000, 's');
    refused(longSerial, "record 2: a lot, serial or image name is too long");
    // Found only by the database, after two rows went in.
    auto badId = batch;
    badId[2].recordId = "'); DROP TABLE upgrade_records; --";
    refused(badId, "record 3: invalid input syntax for type uuid");
    auto badJson = batch;
    badJson[2].body = "{\"unclosed\": ";
    refused(badJson, "record 3: invalid input syntax for type json");

    Connection db = Connect(TestConninfo());
    EXPECT_EQ("0",
              One(db.get(), "SELECT count(*) FROM upgrade_records WHERE station = 'bad-rows'"));
    EXPECT_EQ(3, Stored(store.get(), "bad-rows", batch).inserted);
}

TEST(LineStations, AKeyChecksOnlyForItsCurrentStation) {
    Store store = OpenMigrated();
    const std::string key = NewStation(store.get(), "keyed");
    ASSERT_EQ(64u, key.size());
    EXPECT_EQ(StationKeyCurrent, CheckStationKey(store.get(), "keyed", key));
    EXPECT_EQ(StationKeyUnknown, CheckStationKey(store.get(), "keyed", key.substr(1) + "0"));
    EXPECT_EQ(StationKeyUnknown, CheckStationKey(store.get(), "Keyed", key));
    EXPECT_EQ(StationKeyUnknown, CheckStationKey(store.get(), "keyed", ""));

    Connection db = Connect(TestConninfo());
    Sha256 s;
    Sha256Start(s);
    Sha256Add(s, key.data(), key.size());
    EXPECT_EQ(Sha256Finish(s), One(db.get(), "SELECT key_hash FROM stations WHERE name = 'keyed'"));

    std::string again, why;
    EXPECT_EQ(StoreRefused, AddStation(store.get(), "keyed", again, why));
    EXPECT_EQ(StationKeyCurrent, CheckStationKey(store.get(), "keyed", key));
    ASSERT_EQ(StoreOk, RevokeStation(store.get(), "keyed", why)) << why;
    EXPECT_EQ(StationKeyRevoked, CheckStationKey(store.get(), "keyed", key));
    StoredCounts counts;
    EXPECT_EQ(StoreRefused, StoreRecords(store.get(), "keyed", {Record("keyed", 1)}, counts, why));
    EXPECT_EQ(StoreRefused, RevokeStation(store.get(), "never-added", why));

    ASSERT_EQ(StoreOk, AddStation(store.get(), "keyed", again, why)) << why;
    EXPECT_NE(key, again);
    EXPECT_EQ(StationKeyUnknown, CheckStationKey(store.get(), "keyed", key));
    EXPECT_EQ(StationKeyCurrent, CheckStationKey(store.get(), "keyed", again));
}

TEST(LineStations, TheSupervisorSeesWhoWasHeardAndWhoIsRevoked) {
    Store store = OpenMigrated();
    const std::string key = NewStation(store.get(), "seen-heard");
    NewStation(store.get(), "seen-quiet");
    std::string why;
    RevokeStation(store.get(), "seen-quiet", why);
    CheckStationKey(store.get(), "seen-heard", key);
    std::vector<LineStationSeen> seen;
    ASSERT_EQ(StoreOk, StationsSeen(store.get(), seen, why)) << why;
    std::map<std::string, LineStationSeen> byName;
    for (const auto& s : seen) byName[s.name] = s;
    ASSERT_EQ(1u, byName.count("seen-heard"));
    EXPECT_EQ(24u, byName["seen-heard"].lastHeard.size()) << byName["seen-heard"].lastHeard;
    EXPECT_FALSE(byName["seen-heard"].revoked);
    EXPECT_EQ("", byName["seen-quiet"].lastHeard);
    EXPECT_TRUE(byName["seen-quiet"].revoked);
}

TEST(LineViewToken, MadeOnceAndKeptUntilReplaced) {
    Store store = OpenMigrated();
    Store other = OpenStore(TestConninfo());
    std::string first, again, fresh, why;
    ASSERT_EQ(StoreOk, ViewToken(store.get(), first, why)) << why;
    EXPECT_EQ(64u, first.size());
    ASSERT_EQ(StoreOk, ViewToken(other.get(), again, why)) << why;
    EXPECT_EQ(first, again);
    ASSERT_EQ(StoreOk, NewViewToken(store.get(), fresh, why)) << why;
    EXPECT_NE(first, fresh);
    ASSERT_EQ(StoreOk, ViewToken(other.get(), again, why)) << why;
    EXPECT_EQ(fresh, again);
}

// These two take the server away; the last in this file.
TEST(LineUnavailable, AStoppedServerIsUnavailableUntilItIsBack) {
    Store store = OpenMigrated();
    const std::string key = NewStation(store.get(), "outage");
    const std::vector<LineRecordRow> batch = {Record("outage", 1), Record("outage", 2)};
    ControlServer("stop");
    StoredCounts counts;
    std::string why;
    EXPECT_EQ(StoreUnavailable, StoreRecords(store.get(), "outage", batch, counts, why));
    EXPECT_EQ(0u, why.rfind("database unavailable: ", 0)) << why;
    EXPECT_EQ(StationKeyUnavailable, CheckStationKey(store.get(), "outage", key));
    EXPECT_EQ(nullptr, OpenLineStore(TestConninfo(), why));
    ControlServer("start");
    EXPECT_EQ(2, Stored(store.get(), "outage", batch).inserted);
    // A restart between two calls: the next one connects again and succeeds.
    ControlServer("stop");
    ControlServer("start");
    EXPECT_EQ(StationKeyCurrent, CheckStationKey(store.get(), "outage", key));
    ControlServer("stop");
    ControlServer("start");
    EXPECT_EQ(2, Stored(store.get(), "outage", batch).alreadyThere);
}

TEST(LineUnavailable, AConnectionLostMidBatchLeavesNothingOfIt) {
    Store store = OpenMigrated();
    NewStation(store.get(), "cut");
    const std::vector<LineRecordRow> batch = {Record("cut", 1), Record("cut", 2), Record("cut", 3)};
    // Another session holds the third record's id, uncommitted: the batch
    // waits there, its first two rows written.
    Connection holder = Connect(TestConninfo());
    Query(holder.get(), "BEGIN");
    Query(holder.get(),
          "INSERT INTO upgrade_records (record_id, station, seq, slot, port, operator, lot, "
          "image_name, image_sha256, result, message, started_at, ended_at, duration_s, body) "
          "VALUES ($1::uuid, 'cut', 99, '', '', '', '', '', '', 'passed', '', now(), now(), 0, "
          "'{}')",
          {batch[2].recordId});
    StoreResult result = StoreOk;
    std::string why;
    std::thread storing([&] {
        StoredCounts counts;
        result = StoreRecords(store.get(), "cut", batch, counts, why);
    });
    Connection watcher = Connect(TestConninfo());
    std::string pid;
    for (int tries = 0; tries < 3000 && pid.empty(); ++tries) {  // ends a hang only
        const Rows waiting = Query(watcher.get(),
                                   "SELECT pid FROM pg_stat_activity WHERE application_name = "
                                   "'orvane-flash line' AND wait_event_type = 'Lock'");
        if (waiting.size() == 1)
            pid = *waiting[0][0];
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_FALSE(pid.empty());
    if (!pid.empty()) Query(watcher.get(), "SELECT pg_terminate_backend($1::integer)", {pid});
    storing.join();
    EXPECT_EQ(StoreUnavailable, result) << why;
    Query(holder.get(), "ROLLBACK");
    EXPECT_EQ("0",
              One(watcher.get(), "SELECT count(*) FROM upgrade_records WHERE station = 'cut'"));
    EXPECT_EQ(3, Stored(store.get(), "cut", batch).inserted);
}

TEST(LineSummary, CountsLotsImagesReasonsAndRepeatsAcrossStations) {
    const std::string conninfo = FreshDatabase();
    Store store = OpenStore(conninfo);
    std::string why;
    ASSERT_EQ(StoreOk, MigrateLineStore(store.get(), why)) << why;
    NewStation(store.get(), "a");
    NewStation(store.get(), "b");
    auto row = [](const std::string& station, const std::string& lot, const std::string& result,
                  const std::string& serial) {
        LineRecordRow r = Record(station, 1);
        r.lot = lot, r.result = result;
        if (result == "failed") r.hint = "check-cable", r.message = "no answer", r.slot = "A2";
        if (!serial.empty()) r.unitSerial = serial;
        return r;
    };
    Stored(store.get(), "a",
           {row("a", "S-1", "passed", "U1"), row("a", "S-1", "failed", ""),
            row("a", "S-1", "failed", "U1"), row("a", "S-2", "already_current", "")});
    Stored(store.get(), "b", {row("b", "S-1", "passed", "U2"), row("b", "S-1", "failed", "")});
    std::string text;
    ASSERT_EQ(StoreOk, LineSummary(store.get(), text, why)) << why;
    const nlohmann::json s = nlohmann::json::parse(text);
    EXPECT_EQ(nlohmann::json({{"passed", 2}, {"failed", 3}, {"already_current", 1}}), s["totals"]);
    ASSERT_EQ(2u, s["lots"].size());
    for (const auto& lot : s["lots"]) {
        const bool first = lot["lot"] == "S-1";
        EXPECT_EQ(first ? 2 : 0, lot["passed"]) << lot;
        EXPECT_EQ(first ? 3 : 0, lot["failed"]) << lot;
        EXPECT_EQ(first ? 0 : 1, lot["already_current"]) << lot;
    }
    ASSERT_EQ(1u, s["images"].size());
    EXPECT_EQ(6, s["images"][0]["passed"].get<int>() + s["images"][0]["failed"].get<int>() +
                     s["images"][0]["already_current"].get<int>());
    ASSERT_EQ(1u, s["reasons"].size());
    EXPECT_EQ("check-cable", s["reasons"][0]["hint"]);
    EXPECT_EQ(3, s["reasons"][0]["count"]);
    EXPECT_EQ(nlohmann::json::parse(R"([{"station":"a","slot":"A2","count":2},
                                        {"station":"b","slot":"A2","count":1}])"),
              s["reasons"][0]["where"]);
    ASSERT_EQ(1u, s["repeats"].size());
    EXPECT_EQ("U1", s["repeats"][0]["unitSerial"]);
    EXPECT_EQ(2, s["repeats"][0]["count"]);

    std::vector<std::string> bodies;
    ASSERT_EQ(StoreOk, LotRecords(store.get(), "S-2", bodies, why)) << why;
    EXPECT_EQ(1u, bodies.size());
    ASSERT_EQ(StoreOk, LotRecords(store.get(), "'; DROP TABLE upgrade_records; --", bodies, why));
    EXPECT_TRUE(bodies.empty());
}
