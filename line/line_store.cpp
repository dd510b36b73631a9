#include "line/line_store.h"

#include <libpq-fe.h>
#include <poll.h>
#include <sys/random.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <set>

#include "station/sha256.h"
#include "upgrade/outcome.h"

struct LineStore {
    PGconn* conn = nullptr;
    std::set<std::string> prepared;  // statement names prepared on this connection
};

namespace {

using Result = std::unique_ptr<PGresult, void (*)(PGresult*)>;
using Values = std::vector<std::optional<std::string>>;

// A batch or a migration that waits longer than this gives way, so a caller
// never hangs on a lock or a stuck server.
const char* const StatementTimeout = "10s";
const char* const ViewTokenSetting = "view_token";
// Well under what one index entry may hold.
const size_t MostIndexedBytes = 1024;

// ---- Statements, prepared once per connection ----

struct Statement {
    const char* name;
    const char* sql;
};

const Statement InsertRecord = {
    "insert_record",
    "INSERT INTO upgrade_records (record_id, station, seq, slot, port, operator, lot, "
    "unit_serial, image_name, image_size, image_sha256, version_before, version_after, result, "
    "message, hint, started_at, ended_at, duration_s, body) "
    "VALUES ($1::uuid, $2, $3::bigint, $4, $5, $6, $7, $8, $9, $10::bigint, $11, $12, $13, $14, "
    "$15, $16, $17::timestamptz, $18::timestamptz, $19::double precision, $20::jsonb) "
    "ON CONFLICT (record_id) DO NOTHING RETURNING 1"};
const Statement SameRecord = {
    "same_record",
    "SELECT station = $2 AND body = $3::jsonb FROM upgrade_records WHERE record_id = $1::uuid"};
const Statement AddConflict = {
    "add_conflict",
    "INSERT INTO record_conflicts (record_id, station, body) SELECT $1::uuid, $2, $3::jsonb "
    "WHERE NOT EXISTS (SELECT 1 FROM record_conflicts "
    "WHERE record_id = $1::uuid AND station = $2 AND body = $3::jsonb)"};
// Held until COMMIT, so a revocation waits for a batch under way.
const Statement StationForBatch = {
    "station_for_batch", "SELECT revoked_at IS NOT NULL FROM stations WHERE name = $1 FOR SHARE"};
const Statement InsertStation = {
    "insert_station",
    "INSERT INTO stations (name, key_hash) VALUES ($1, $2) ON CONFLICT (name) DO UPDATE "
    "SET key_hash = excluded.key_hash, revoked_at = NULL WHERE stations.revoked_at IS NOT NULL "
    "RETURNING 1"};
const Statement RevokeStationSql = {
    "revoke_station",
    "UPDATE stations SET revoked_at = coalesce(revoked_at, now()) WHERE name = $1 RETURNING 1"};
const Statement StationKey = {
    "station_key", "SELECT key_hash, revoked_at IS NOT NULL FROM stations WHERE name = $1"};
const Statement MarkHeard = {"mark_heard",
                             "UPDATE stations SET last_heard = now() WHERE name = $1"};
const Statement AddSetting = {
    "add_setting",
    "INSERT INTO line_settings (name, value) VALUES ($1, $2) ON CONFLICT (name) DO NOTHING"};
const Statement PutSetting = {"put_setting",
                              "INSERT INTO line_settings (name, value) VALUES ($1, $2) "
                              "ON CONFLICT (name) DO UPDATE SET value = excluded.value"};
const Statement GetSetting = {"get_setting", "SELECT value FROM line_settings WHERE name = $1"};
const Statement LotBodies = {
    "lot_bodies", "SELECT body::text FROM upgrade_records WHERE lot = $1 ORDER BY ended_at, seq"};
// The supervisor's figures in one JSON text: totals, reasons and repeats of
// the last day; lots and images seen in the last week, each counted whole.
const Statement Summary = {
    "summary",
    "WITH recent AS (SELECT * FROM upgrade_records WHERE received_at > now() - interval '1 day'), "
    "lots AS (SELECT lot, max(received_at) AS last FROM upgrade_records "
    "WHERE received_at > now() - interval '7 days' GROUP BY lot ORDER BY last DESC LIMIT 50), "
    "images AS (SELECT image_name, image_sha256, max(received_at) AS last FROM upgrade_records "
    "WHERE received_at > now() - interval '7 days' GROUP BY 1, 2 ORDER BY last DESC LIMIT 50), "
    "reasons AS (SELECT hint, min(message) AS message, count(*) AS n FROM recent "
    "WHERE result = 'failed' GROUP BY hint, CASE WHEN hint IS NULL THEN message END "
    "ORDER BY n DESC LIMIT 20), "
    "serials AS (SELECT DISTINCT unit_serial FROM recent WHERE unit_serial <> ''), "
    "repeats AS (SELECT u.unit_serial, count(*) AS n, max(u.received_at) AS last, "
    "json_agg(json_build_object('station', u.station, 'slot', u.slot, 'result', u.result, "
    "'endedAt', u.ended_at) ORDER BY u.ended_at) AS records FROM upgrade_records u "
    "JOIN serials USING (unit_serial) GROUP BY u.unit_serial HAVING count(*) > 1 "
    "ORDER BY last DESC LIMIT 20) "
    "SELECT json_build_object("
    "'totals', (SELECT json_build_object("
    "'passed', count(*) FILTER (WHERE result = 'passed'), "
    "'failed', count(*) FILTER (WHERE result = 'failed'), "
    "'already_current', count(*) FILTER (WHERE result = 'already_current')) FROM recent), "
    "'lots', (SELECT coalesce(json_agg(json_build_object('lot', l.lot, "
    "'passed', c.passed, 'failed', c.failed, 'already_current', c.current, "
    "'lastEnded', c.last) ORDER BY l.last DESC), '[]') FROM lots l CROSS JOIN LATERAL ("
    "SELECT count(*) FILTER (WHERE result = 'passed') AS passed, "
    "count(*) FILTER (WHERE result = 'failed') AS failed, "
    "count(*) FILTER (WHERE result = 'already_current') AS current, max(ended_at) AS last "
    "FROM upgrade_records u WHERE u.lot = l.lot) c), "
    "'images', (SELECT coalesce(json_agg(json_build_object('image', i.image_name, "
    "'sha256', i.image_sha256, 'passed', c.passed, 'failed', c.failed, "
    "'already_current', c.current) ORDER BY i.last DESC), '[]') FROM images i "
    "CROSS JOIN LATERAL (SELECT count(*) FILTER (WHERE result = 'passed') AS passed, "
    "count(*) FILTER (WHERE result = 'failed') AS failed, "
    "count(*) FILTER (WHERE result = 'already_current') AS current FROM upgrade_records u "
    "WHERE u.image_sha256 = i.image_sha256 AND u.image_name = i.image_name) c), "
    "'reasons', (SELECT coalesce(json_agg(json_build_object('hint', r.hint, "
    "'message', r.message, 'count', r.n, 'where', (SELECT coalesce(json_agg(json_build_object("
    "'station', w.station, 'slot', w.slot, 'count', w.n)), '[]') FROM (SELECT station, slot, "
    "count(*) AS n FROM recent f WHERE f.result = 'failed' AND f.hint IS NOT DISTINCT FROM "
    "r.hint AND (r.hint IS NOT NULL OR f.message = r.message) GROUP BY station, slot "
    "ORDER BY n DESC, station, slot LIMIT 5) w)) ORDER BY r.n DESC), '[]') FROM reasons r), "
    "'repeats', (SELECT coalesce(json_agg(json_build_object('unitSerial', p.unit_serial, "
    "'count', p.n, 'records', p.records) ORDER BY p.last DESC), '[]') FROM repeats p))::text"};
const Statement ListStations = {
    "list_stations",
    "SELECT name, coalesce(to_char(last_heard AT TIME ZONE 'UTC', "
    "'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"'), ''), revoked_at IS NOT NULL FROM stations "
    "ORDER BY name"};

// ---- Migrations: never edit one that has shipped, add the next ----

const char* const Migration1[] = {
    "CREATE TABLE stations (name text PRIMARY KEY, key_hash text NOT NULL, "
    "created_at timestamptz NOT NULL DEFAULT now(), revoked_at timestamptz, "
    "last_heard timestamptz)",
    "CREATE TABLE upgrade_records (record_id uuid PRIMARY KEY, "
    "station text NOT NULL REFERENCES stations (name), seq bigint NOT NULL, slot text NOT NULL, "
    "port text NOT NULL, operator text NOT NULL, lot text NOT NULL, unit_serial text, "
    "image_name text NOT NULL, image_size bigint, image_sha256 text NOT NULL, "
    "version_before text, version_after text, result text NOT NULL "
    "CHECK (result IN ('passed', 'failed', 'already_current')), message text NOT NULL, "
    "hint text, started_at timestamptz NOT NULL, ended_at timestamptz NOT NULL, "
    "duration_s double precision NOT NULL, body jsonb NOT NULL, "
    "received_at timestamptz NOT NULL DEFAULT now(), UNIQUE (station, seq))",
    "CREATE INDEX upgrade_records_lot ON upgrade_records (lot)",
    "CREATE INDEX upgrade_records_image_sha256 ON upgrade_records (image_sha256)",
    "CREATE INDEX upgrade_records_image_name ON upgrade_records (image_name)",
    "CREATE INDEX upgrade_records_ended_at ON upgrade_records (ended_at)",
    "CREATE INDEX upgrade_records_unit_serial ON upgrade_records (unit_serial)",
    "CREATE TABLE record_conflicts (id bigserial PRIMARY KEY, record_id uuid NOT NULL, "
    "station text NOT NULL, body jsonb NOT NULL, "
    "received_at timestamptz NOT NULL DEFAULT now())",
    "CREATE INDEX record_conflicts_record_id ON record_conflicts (record_id)",
    "CREATE TABLE line_settings (name text PRIMARY KEY, value text NOT NULL)",
};

// A station whose spool was lost numbers its records from 1 again: its
// numbers order its records, the record id alone tells one from another.
const char* const Migration2[] = {
    "ALTER TABLE upgrade_records DROP CONSTRAINT upgrade_records_station_seq_key",
    "CREATE INDEX upgrade_records_station_seq ON upgrade_records (station, seq)",
    "CREATE INDEX upgrade_records_received_at ON upgrade_records (received_at)",
};

struct Migration {
    const char* const* statements;
    size_t count;
};
const Migration Migrations[] = {{Migration1, std::size(Migration1)},
                                {Migration2, std::size(Migration2)}};
static_assert(std::size(Migrations) == LineSchemaVersion, "one migration per schema version");

// ---- Texts ----

std::string TrimmedLine(const char* text) {
    std::string line = text ? text : "";
    while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) line.pop_back();
    return line;
}

bool IsDigitAt(const std::string& text, size_t at) {
    return at < text.size() && text[at] >= '0' && text[at] <= '9';
}

// 2024-05-01T10:00:00[.fff](Z|+hh:mm|-hh:mm): a zone is required, or the
// server's own would be taken.
bool IsIsoTime(const std::string& text) {
    const char* shape = "dddd-dd-ddTdd:dd:dd";
    size_t at = 0;
    for (; shape[at]; ++at) {
        if (shape[at] == 'd' ? !IsDigitAt(text, at) : text.size() <= at || text[at] != shape[at])
            return false;
    }
    if (at < text.size() && text[at] == '.') {
        if (!IsDigitAt(text, ++at)) return false;
        while (IsDigitAt(text, at)) ++at;
    }
    if (text.size() == at + 1 && text[at] == 'Z') return true;
    return text.size() == at + 6 && (text[at] == '+' || text[at] == '-') &&
           IsDigitAt(text, at + 1) && IsDigitAt(text, at + 2) && text[at + 3] == ':' &&
           IsDigitAt(text, at + 4) && IsDigitAt(text, at + 5);
}

// ---- Secrets ----

// From the kernel: std::random_device may take the processor's instruction.
bool FillRandom(unsigned char* bytes, size_t count) {
    size_t got = 0;
    while (got < count) {
        const ssize_t n = getrandom(bytes + got, count - got, 0);
        if (n < 0 && errno != EINTR) return false;
        if (n > 0) got += static_cast<size_t>(n);
    }
    return true;
}

// 32 random bytes as 64 hex digits; empty if the system gave none.
std::string NewSecret() {
    unsigned char bytes[32];
    if (!FillRandom(bytes, sizeof bytes)) return "";
    std::string hex;
    for (unsigned char b : bytes) {
        hex += "0123456789abcdef"[b >> 4];
        hex += "0123456789abcdef"[b & 15];
    }
    return hex;
}

// Takes as long wherever the first difference is.
bool SameSecret(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    unsigned char difference = 0;
    for (size_t i = 0; i < a.size(); ++i) difference |= a[i] ^ b[i];
    return difference == 0;
}

// ---- Connection and statements ----

void IgnoreNotice(void*, const char*) {}

// 22: data exception (a malformed uuid, time or JSON); 23: a constraint;
// 54: a limit passed (a text too long for its index).
bool IsBadInput(const char* sqlState) {
    const std::string kind = sqlState ? std::string(sqlState, 2) : "";
    return kind == "22" || kind == "23" || kind == "54";
}

// Anything but bad input is the database's: a lost connection, a timeout, a
// deadlock, a schema not there. The caller may try again later.
StoreResult Failure(LineStore* s, const PGresult* r, std::string& why) {
    const char* sqlState = r ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
    const char* primary = r ? PQresultErrorField(r, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
    const std::string text = TrimmedLine(primary ? primary : PQerrorMessage(s->conn));
    if (PQstatus(s->conn) == CONNECTION_OK && IsBadInput(sqlState)) {
        why = text;
        return StoreRefused;
    }
    why = "database unavailable: " + text;
    return StoreUnavailable;
}

bool Succeeded(const PGresult* r) {
    const ExecStatusType status = PQresultStatus(r);
    return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
}

// A statement without parameters: transaction control and migrations.
StoreResult Command(LineStore* s, const char* sql, Result& out, std::string& why) {
    out.reset(PQexecParams(s->conn, sql, 0, nullptr, nullptr, nullptr, nullptr, 0));
    return Succeeded(out.get()) ? StoreOk : Failure(s, out.get(), why);
}

StoreResult Command(LineStore* s, const char* sql, std::string& why) {
    Result r(nullptr, PQclear);
    return Command(s, sql, r, why);
}

StoreResult Run(LineStore* s, const Statement& st, const Values& values, Result& out,
                std::string& why) {
    if (!s->prepared.count(st.name)) {
        out.reset(PQprepare(s->conn, st.name, st.sql, 0, nullptr));
        if (!Succeeded(out.get())) return Failure(s, out.get(), why);
        s->prepared.insert(st.name);
    }
    std::vector<const char*> texts;
    for (const auto& v : values) texts.push_back(v ? v->c_str() : nullptr);
    out.reset(PQexecPrepared(s->conn, st.name, static_cast<int>(texts.size()), texts.data(),
                             nullptr, nullptr, 0));
    return Succeeded(out.get()) ? StoreOk : Failure(s, out.get(), why);
}

StoreResult Run(LineStore* s, const Statement& st, const Values& values, std::string& why) {
    Result r(nullptr, PQclear);
    return Run(s, st, values, r, why);
}

std::string ValueAt(const Result& r, int row, int column) {
    return PQgetvalue(r.get(), row, column);
}

StoreResult SetUpSession(LineStore* s, std::string& why) {
    const std::string encoding = TrimmedLine(PQparameterStatus(s->conn, "server_encoding"));
    if (encoding != "UTF8") {
        why = "the database's encoding is " + encoding + ", not UTF8";
        return StoreRefused;
    }
    const char* const values[] = {StatementTimeout};
    Result r(PQexecParams(s->conn,
                          "SELECT set_config('statement_timeout', $1, false), "
                          "set_config('idle_in_transaction_session_timeout', $1, false), "
                          "set_config('TimeZone', 'UTC', false)",
                          1, nullptr, values, nullptr, nullptr, 0),
             PQclear);
    return Succeeded(r.get()) ? StoreOk : Failure(s, r.get(), why);
}

// An idle connection hears nothing, but a server going away says so and
// closes it: read until that close is seen.
void HearServer(PGconn* conn) {
    for (int i = 0; i < 8 && PQstatus(conn) == CONNECTION_OK; ++i) {
        pollfd ready = {PQsocket(conn), POLLIN, 0};
        if (poll(&ready, 1, 0) <= 0 || !PQconsumeInput(conn)) return;
    }
}

// Finds a connection the server has closed (a stop, a restart) before it is
// used, and connects again once.
StoreResult Reach(LineStore* s, std::string& why) {
    HearServer(s->conn);
    if (PQstatus(s->conn) == CONNECTION_OK && PQtransactionStatus(s->conn) != PQTRANS_IDLE)
        Command(s, "ROLLBACK", why);
    if (PQstatus(s->conn) == CONNECTION_OK && PQtransactionStatus(s->conn) == PQTRANS_IDLE)
        return StoreOk;
    PQreset(s->conn);
    s->prepared.clear();
    if (PQstatus(s->conn) != CONNECTION_OK) {
        why = "database unavailable: " + TrimmedLine(PQerrorMessage(s->conn));
        return StoreUnavailable;
    }
    return SetUpSession(s, why);
}

// A transaction that failed unseen would answer COMMIT with ROLLBACK.
StoreResult Commit(LineStore* s, std::string& why) {
    Result end(nullptr, PQclear);
    const StoreResult r = Command(s, "COMMIT", end, why);
    if (r != StoreOk || std::string(PQcmdStatus(end.get())) == "COMMIT") return r;
    why = "database unavailable: the transaction was rolled back";
    return StoreUnavailable;
}

// BEGIN, the body, COMMIT; ROLLBACK when anything failed.
template <typename Body>
StoreResult InTransaction(LineStore* s, std::string& why, Body body) {
    StoreResult r = Reach(s, why);
    if (r == StoreOk) r = Command(s, "BEGIN", why);
    if (r != StoreOk) return r;
    r = body();
    if (r == StoreOk) r = Commit(s, why);
    if (r != StoreOk && PQstatus(s->conn) == CONNECTION_OK) {
        std::string ignored;
        Command(s, "ROLLBACK", ignored);
    }
    return r;
}

// ---- Migrations ----

StoreResult ApplyMigration(LineStore* s, int version, std::string& why) {
    const Migration& m = Migrations[version - 1];
    for (size_t i = 0; i < m.count; ++i) {
        const StoreResult r = Command(s, m.statements[i], why);
        if (r != StoreOk) return r;
    }
    const std::string text = std::to_string(version);
    const char* const params[] = {text.c_str()};
    Result r(PQexecParams(s->conn, "INSERT INTO schema_migrations (version) VALUES ($1::integer)",
                          1, nullptr, params, nullptr, nullptr, 0),
             PQclear);
    return Succeeded(r.get()) ? StoreOk : Failure(s, r.get(), why);
}

// Under the migration lock, held until the transaction ends: servers
// starting at once take turns.
StoreResult LockSchemaVersion(LineStore* s, int& have, std::string& why) {
    StoreResult r = Command(s, "SELECT pg_advisory_xact_lock(7245091337001)", why);
    if (r == StoreOk)
        r = Command(s,
                    "CREATE TABLE IF NOT EXISTS schema_migrations (version integer PRIMARY KEY, "
                    "applied_at timestamptz NOT NULL DEFAULT now())",
                    why);
    Result found(nullptr, PQclear);
    if (r == StoreOk)
        r = Command(s, "SELECT coalesce(max(version), 0) FROM schema_migrations", found, why);
    if (r == StoreOk) have = std::atoi(PQgetvalue(found.get(), 0, 0));
    return r;
}

// One transaction: the next migration, if any is missing; `current` once
// none is.
StoreResult MigrateOnce(LineStore* s, bool& current, std::string& why) {
    return InTransaction(s, why, [&] {
        int have = 0;
        const StoreResult r = LockSchemaVersion(s, have, why);
        if (r != StoreOk) return r;
        if (have > LineSchemaVersion) {
            why = "the database's schema is version " + std::to_string(have) +
                  ", newer than this program's " + std::to_string(LineSchemaVersion) +
                  ": upgrade the program";
            return StoreRefused;
        }
        current = have == LineSchemaVersion;
        return current ? StoreOk : ApplyMigration(s, have + 1, why);
    });
}

// ---- Records ----

std::string FormatDouble(double value) {
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

std::optional<std::string> OptionalNumber(const std::optional<int64_t>& n) {
    if (!n) return std::nullopt;
    return std::to_string(*n);
}

// In InsertRecord's order.
Values RowValues(const LineRecordRow& row) {
    return {row.recordId,
            row.station,
            std::to_string(row.seq),
            row.slot,
            row.port,
            row.operatorName,
            row.lot,
            row.unitSerial,
            row.imageName,
            OptionalNumber(row.imageSize),
            row.imageSha256,
            row.versionBefore,
            row.versionAfter,
            row.result,
            row.message,
            row.hint,
            row.startedAt,
            row.endedAt,
            FormatDouble(row.durationS),
            row.body};
}

// Why a row cannot be stored as it is; empty if it can.
std::string RowProblem(const LineRecordRow& row, const std::string& station) {
    if (row.station != station) return "it claims another station";
    for (const auto& v : RowValues(row))
        if (v && v->find('\0') != std::string::npos) return "a text holds a NUL byte";
    UpgradeResult result;
    if (!ResultFromName(row.result.c_str(), result)) return "the result is no result's name";
    if (!IsIsoTime(row.startedAt) || !IsIsoTime(row.endedAt))
        return "a time is not ISO 8601 with a zone";
    if (!std::isfinite(row.durationS)) return "the duration is not a number";
    const std::string serial = row.unitSerial.value_or("");
    for (const std::string* text : {&row.lot, &row.imageName, &row.imageSha256, &serial})
        if (text->size() > MostIndexedBytes) return "a lot, serial or image name is too long";
    return "";
}

StoreResult CheckStationOpen(LineStore* s, const std::string& station, std::string& why) {
    Result found(nullptr, PQclear);
    const StoreResult r = Run(s, StationForBatch, {station}, found, why);
    if (r != StoreOk) return r;
    if (PQntuples(found.get()) == 0)
        why = "no station named " + station;
    else if (ValueAt(found, 0, 0) == "t")
        why = "the station " + station + " is revoked";
    else
        return StoreOk;
    return StoreRefused;
}

StoreResult StoreRow(LineStore* s, const LineRecordRow& row, StoredCounts& got, std::string& why) {
    Result r(nullptr, PQclear);
    StoreResult result = Run(s, InsertRecord, RowValues(row), r, why);
    if (result != StoreOk) return result;
    if (PQntuples(r.get()) == 1) {
        ++got.inserted;
        return StoreOk;
    }
    const Values key = {row.recordId, row.station, row.body};
    result = Run(s, SameRecord, key, r, why);
    if (result != StoreOk) return result;
    if (PQntuples(r.get()) == 1 && ValueAt(r, 0, 0) == "t") {
        ++got.alreadyThere;
        return StoreOk;
    }
    ++got.conflicting;
    return Run(s, AddConflict, key, why);
}

StoreResult StoreBatch(LineStore* s, const std::string& station,
                       const std::vector<LineRecordRow>& rows, StoredCounts& got,
                       std::string& why) {
    StoreResult r = CheckStationOpen(s, station, why);
    for (size_t i = 0; r == StoreOk && i < rows.size(); ++i) {
        r = StoreRow(s, rows[i], got, why);
        if (r != StoreOk) why = "record " + std::to_string(i + 1) + ": " + why;
    }
    return r;
}

StoreResult SetViewToken(LineStore* s, const Statement& st, std::string& tokenOut,
                         std::string& why) {
    const std::string token = NewSecret();
    if (token.empty()) {
        why = "no random bytes from the system";
        return StoreUnavailable;
    }
    Result found(nullptr, PQclear);
    StoreResult r = Reach(s, why);
    if (r == StoreOk) r = Run(s, st, {ViewTokenSetting, token}, why);
    if (r == StoreOk) r = Run(s, GetSetting, {ViewTokenSetting}, found, why);
    if (r == StoreOk && PQntuples(found.get()) != 1) {
        why = "database unavailable: the view token went missing";
        r = StoreUnavailable;
    }
    if (r == StoreOk) tokenOut = ValueAt(found, 0, 0);
    return r;
}

}  // namespace

LineStore* OpenLineStore(const std::string& conninfo, std::string& why) {
    // Before dbname, which conninfo expands into: its own settings win there.
    // After it, what exact storage needs.
    const char* const keys[] = {"connect_timeout",
                                "application_name",
                                "keepalives_idle",
                                "keepalives_interval",
                                "keepalives_count",
                                "tcp_user_timeout",
                                "dbname",
                                "client_encoding",
                                nullptr};
    const char* const values[] = {"5",     "orvane-flash line", "10",   "5",    "3",
                                  "15000", conninfo.c_str(),    "UTF8", nullptr};
    PGconn* conn = PQconnectdbParams(keys, values, 1);
    if (!conn) {
        why = "out of memory";
        return nullptr;
    }
    PQsetNoticeProcessor(conn, IgnoreNotice, nullptr);
    auto* s = new LineStore;
    s->conn = conn;
    if (PQstatus(conn) != CONNECTION_OK) {
        why = "database unavailable: " + TrimmedLine(PQerrorMessage(conn));
    } else if (SetUpSession(s, why) == StoreOk) {
        return s;
    }
    CloseLineStore(s);
    return nullptr;
}

void CloseLineStore(LineStore* store) {
    if (!store) return;
    PQfinish(store->conn);
    delete store;
}

StoreResult MigrateLineStore(LineStore* store, std::string& why) {
    for (int step = 0; step <= LineSchemaVersion; ++step) {
        bool current = false;
        const StoreResult r = MigrateOnce(store, current, why);
        if (r != StoreOk || current) return r;
    }
    why = "database unavailable: the migrations did not finish";
    return StoreUnavailable;
}

StoreResult AddStation(LineStore* store, const std::string& name, std::string& keyOut,
                       std::string& why) {
    if (!StationNameIsFit(name)) {
        why = "a station's name is 1 to 64 printable characters";
        return StoreRefused;
    }
    const std::string key = NewSecret();
    if (key.empty()) {
        why = "no random bytes from the system";
        return StoreUnavailable;
    }
    Result added(nullptr, PQclear);
    StoreResult r = Reach(store, why);
    if (r == StoreOk) r = Run(store, InsertStation, {name, StationKeyHash(key)}, added, why);
    if (r != StoreOk) return r;
    if (PQntuples(added.get()) == 0) {
        why = "a station named " + name + " is in use: revoke it first";
        return StoreRefused;
    }
    keyOut = key;
    return StoreOk;
}

StoreResult RevokeStation(LineStore* store, const std::string& name, std::string& why) {
    if (!StationNameIsFit(name)) {
        why = "a station's name is 1 to 64 printable characters";
        return StoreRefused;
    }
    Result revoked(nullptr, PQclear);
    StoreResult r = Reach(store, why);
    if (r == StoreOk) r = Run(store, RevokeStationSql, {name}, revoked, why);
    if (r == StoreOk && PQntuples(revoked.get()) == 0) {
        why = "no station named " + name;
        r = StoreRefused;
    }
    return r;
}

StationKeyResult CheckStationKey(LineStore* store, const std::string& name,
                                 const std::string& key) {
    if (!StationNameIsFit(name)) return StationKeyUnknown;
    std::string why;
    Result found(nullptr, PQclear);
    if (Reach(store, why) != StoreOk || Run(store, StationKey, {name}, found, why) != StoreOk)
        return StationKeyUnavailable;
    const bool known = PQntuples(found.get()) == 1;
    // Hashed and compared for an unknown name too: no quicker answer to tell it by.
    const std::string stored = known ? ValueAt(found, 0, 0) : std::string(64, '0');
    if (!SameSecret(StationKeyHash(key), stored) || !known) return StationKeyUnknown;
    if (ValueAt(found, 0, 1) == "t") return StationKeyRevoked;
    if (Run(store, MarkHeard, {name}, why) != StoreOk) return StationKeyUnavailable;
    return StationKeyCurrent;
}

std::string StationKeyHash(const std::string& key) {
    Sha256 s;
    Sha256Start(s);
    Sha256Add(s, key.data(), key.size());
    return Sha256Finish(s);
}

LineRecordRow LineRowOf(const UpgradeRecord& r) {
    LineRecordRow row;
    row.recordId = r.recordId, row.station = r.station, row.seq = r.seq;
    row.slot = r.slot, row.port = r.port, row.operatorName = r.operatorName, row.lot = r.lot;
    if (!r.unitSerial.empty()) row.unitSerial = r.unitSerial;
    // The file's name: its folder differs from station to station.
    row.imageName = r.image.substr(r.image.find_last_of("/\\") + 1);
    row.imageSha256 = r.imageSha256;
    if (r.imageSize >= 0) row.imageSize = r.imageSize;
    if (!VersionBefore(r).empty()) row.versionBefore = VersionBefore(r);
    if (!VersionAfter(r).empty()) row.versionAfter = VersionAfter(r);
    row.result = ResultName(RecordResult(r));
    row.message = r.message;
    if (!r.hint.empty()) row.hint = r.hint;
    row.startedAt = r.startedAt, row.endedAt = r.endedAt, row.durationS = r.seconds;
    row.body = RecordLine(r);
    return row;
}

StoreResult StoreRecords(LineStore* store, const std::string& station,
                         const std::vector<LineRecordRow>& rows, StoredCounts& counts,
                         std::string& why) {
    counts = StoredCounts();
    if (!StationNameIsFit(station)) {
        why = "a station's name is 1 to 64 printable characters";
        return StoreRefused;
    }
    for (size_t i = 0; i < rows.size(); ++i) {
        const std::string problem = RowProblem(rows[i], station);
        if (!problem.empty()) {
            why = "record " + std::to_string(i + 1) + ": " + problem;
            return StoreRefused;
        }
    }
    StoredCounts got;
    const StoreResult r =
        InTransaction(store, why, [&] { return StoreBatch(store, station, rows, got, why); });
    if (r == StoreOk) counts = got;
    return r;
}

StoreResult ViewToken(LineStore* store, std::string& tokenOut, std::string& why) {
    return SetViewToken(store, AddSetting, tokenOut, why);
}

StoreResult NewViewToken(LineStore* store, std::string& tokenOut, std::string& why) {
    return SetViewToken(store, PutSetting, tokenOut, why);
}

StoreResult LineSummary(LineStore* store, std::string& json, std::string& why) {
    Result found(nullptr, PQclear);
    StoreResult r = Reach(store, why);
    if (r == StoreOk) r = Run(store, Summary, {}, found, why);
    if (r == StoreOk) json = ValueAt(found, 0, 0);
    return r;
}

StoreResult LotRecords(LineStore* store, const std::string& lot, std::vector<std::string>& bodies,
                       std::string& why) {
    Result found(nullptr, PQclear);
    StoreResult r = Reach(store, why);
    if (r == StoreOk) r = Run(store, LotBodies, {lot}, found, why);
    if (r != StoreOk) return r;
    bodies.clear();
    for (int i = 0; i < PQntuples(found.get()); ++i) bodies.push_back(ValueAt(found, i, 0));
    return StoreOk;
}

StoreResult StationsSeen(LineStore* store, std::vector<LineStationSeen>& out, std::string& why) {
    Result found(nullptr, PQclear);
    StoreResult r = Reach(store, why);
    if (r == StoreOk) r = Run(store, ListStations, {}, found, why);
    if (r != StoreOk) return r;
    out.clear();
    for (int i = 0; i < PQntuples(found.get()); ++i)
        out.push_back({ValueAt(found, i, 0), ValueAt(found, i, 1), ValueAt(found, i, 2) == "t"});
    return StoreOk;
}
