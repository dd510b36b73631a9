// The record spool: one SQLite file in WAL mode, each commit synced before it
// returns. The connection is opened without SQLite's own mutex; the spool's
// lock serializes every call, which also keeps an error's message with the
// call that failed.
#include "spool/record_spool.h"

#include <sqlite3.h>

#include <mutex>

struct RecordSpool {
    sqlite3* db = nullptr;
    std::mutex lock;
};

namespace {

// Raised when the table changes; a file with a higher number is refused.
const int kSchemaVersion = 1;
// "ORVS" in the file's header: tells a spool from another program's database.
const int kApplicationId = 0x4F525653;
// Long enough for another process's commit on a slow disk, short enough for
// the operator's screen.
const int kBusyMilliseconds = 5000;

const char kCreateTable[] =
    "CREATE TABLE records("
    " seq INTEGER PRIMARY KEY AUTOINCREMENT,"
    " record_id TEXT NOT NULL UNIQUE,"
    " body BLOB NOT NULL,"
    " spooled_at TEXT NOT NULL,"
    " delivered_at TEXT);"
    "CREATE INDEX records_waiting ON records(seq) WHERE delivered_at IS NULL;";

// Times are UTC text with milliseconds, so that as text they sort as times.
const char kInsert[] =
    "INSERT INTO records(record_id, body, spooled_at)"
    " VALUES(?1, ?2, strftime('%Y-%m-%dT%H:%M:%fZ', 'now'))";
const char kMark[] =
    "UPDATE records SET delivered_at = coalesce(delivered_at,"
    " strftime('%Y-%m-%dT%H:%M:%fZ', 'now')) WHERE seq = ?1";
const char kPrune[] =
    "DELETE FROM records WHERE delivered_at IS NOT NULL"
    " AND delivered_at <= strftime('%Y-%m-%dT%H:%M:%fZ', 'now', ?1)";
const char kPending[] =
    "SELECT seq, record_id, body FROM records WHERE delivered_at IS NULL ORDER BY seq LIMIT ?1";

enum class SpoolFile { New, Ours, Newer, Foreign };

// A prepared statement, finalized when it goes out of scope.
struct Statement {
    sqlite3_stmt* stmt = nullptr;
    int rc;
    Statement(sqlite3* db, const char* sql) : rc(sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr)) {}
    ~Statement() { sqlite3_finalize(stmt); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
};

std::string Reason(sqlite3* db, int rc, const std::string& doing) {
    switch (rc & 0xff) {
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return doing + ": the spool is in use by another process (waited " +
                   std::to_string(kBusyMilliseconds / 1000) + " s)";
        case SQLITE_NOTADB:
            return doing + ": it is not a spool (not an SQLite file)";
        default:
            return doing + ": " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
    }
}

// For statements without values: transactions and settings.
bool Exec(sqlite3* db, const char* sql, const std::string& doing, std::string& why) {
    int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) why = Reason(db, rc, doing);
    return rc == SQLITE_OK;
}

void Rollback(sqlite3* db) {
    if (!sqlite3_get_autocommit(db)) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
}

bool Commit(sqlite3* db, const std::string& doing, std::string& why) {
    if (Exec(db, "COMMIT", doing, why)) return true;
    Rollback(db);
    return false;
}

// Steps a statement without values to its first row.
bool FirstRow(sqlite3* db, const Statement& s, const std::string& doing, std::string& why) {
    int rc = s.rc == SQLITE_OK ? sqlite3_step(s.stmt) : s.rc;
    if (rc == SQLITE_ROW) return true;
    why = rc == SQLITE_DONE ? doing + ": " + sqlite3_sql(s.stmt) + " gave no row"
                            : Reason(db, rc, doing);
    return false;
}

bool QueryInt(sqlite3* db, const char* sql, int64_t& value, const std::string& doing,
              std::string& why) {
    Statement s(db, sql);
    if (!FirstRow(db, s, doing, why)) return false;
    value = sqlite3_column_int64(s.stmt, 0);
    return true;
}

// Bytes as they were bound: a TEXT value comes back unconverted as a blob.
std::string ColumnBytes(sqlite3_stmt* stmt, int column) {
    const void* bytes = sqlite3_column_blob(stmt, column);
    int size = sqlite3_column_bytes(stmt, column);
    return bytes ? std::string(static_cast<const char*>(bytes), size) : std::string();
}

bool Usable(RecordSpool* spool, const std::string& doing, std::string& why) {
    if (!spool) why = doing + ": the spool is not open";
    return spool != nullptr;
}

}  // namespace

// Opening: the file is only read until it is known to be new or a spool of ours.
namespace {

// New is a file with nothing in it, not even an application id (a zero-length one).
bool ClassifyFile(sqlite3* db, SpoolFile& kind, const std::string& doing, std::string& why) {
    int64_t app = 0, version = 0, objects = 0;
    if (!QueryInt(db, "PRAGMA application_id", app, doing, why) ||
        !QueryInt(db, "PRAGMA user_version", version, doing, why) ||
        !QueryInt(db, "SELECT count(*) FROM sqlite_master", objects, doing, why))
        return false;
    if (app == kApplicationId && version > kSchemaVersion)
        kind = SpoolFile::Newer;
    else if (app == kApplicationId && version == kSchemaVersion)
        kind = SpoolFile::Ours;
    else if (app == 0 && version == 0 && objects == 0)
        kind = SpoolFile::New;
    else
        kind = SpoolFile::Foreign;
    return true;
}

bool AcceptFile(SpoolFile kind, const std::string& doing, std::string& why) {
    if (kind == SpoolFile::Newer)
        why = doing + ": the spool was written by a newer version of orvane-flash";
    else if (kind == SpoolFile::Foreign)
        why = doing + ": it is not a spool of orvane-flash (an SQLite file of something else)";
    return kind == SpoolFile::New || kind == SpoolFile::Ours;
}

// The three reads share one snapshot: another process may be making the spool.
bool ReadKind(sqlite3* db, SpoolFile& kind, const std::string& doing, std::string& why) {
    if (!Exec(db, "BEGIN", doing, why)) return false;
    bool read = ClassifyFile(db, kind, doing, why);
    Rollback(db);
    return read && AcceptFile(kind, doing, why);
}

// The journal mode after asking for WAL, or the error.
int AskForWal(sqlite3* db, std::string& mode) {
    Statement s(db, "PRAGMA journal_mode = WAL");
    int rc = s.rc == SQLITE_OK ? sqlite3_step(s.stmt) : s.rc;
    const unsigned char* text = rc == SQLITE_ROW ? sqlite3_column_text(s.stmt, 0) : nullptr;
    mode = text ? reinterpret_cast<const char*>(text) : "";
    return rc;
}

// Turning a new file to WAL needs it alone, and SQLite does not wait for that
// itself: another process opening it at the same moment is waited for here.
bool UseWal(sqlite3* db, const std::string& doing, std::string& why) {
    std::string mode;
    int rc = AskForWal(db, mode);
    for (int waited = 0; (rc & 0xff) == SQLITE_BUSY && waited < kBusyMilliseconds; waited += 10) {
        sqlite3_sleep(10);
        rc = AskForWal(db, mode);
    }
    if (rc != SQLITE_ROW) {
        why = Reason(db, rc, doing);
        return false;
    }
    if (mode == "wal") return true;
    why = doing + ": its folder cannot hold a write-ahead log (journal mode " + mode + ")";
    return false;
}

// Checked again under the write lock: another process may have made it meanwhile.
bool CreateSchema(sqlite3* db, const std::string& doing, std::string& why) {
    if (!Exec(db, "BEGIN IMMEDIATE", doing, why)) return false;
    SpoolFile kind = SpoolFile::Foreign;
    std::string marks = "PRAGMA application_id = " + std::to_string(kApplicationId) +
                        "; PRAGMA user_version = " + std::to_string(kSchemaVersion);
    bool made = ClassifyFile(db, kind, doing, why) && AcceptFile(kind, doing, why) &&
                (kind == SpoolFile::Ours ||
                 (Exec(db, kCreateTable, doing, why) && Exec(db, marks.c_str(), doing, why)));
    if (!made) {
        Rollback(db);
        return false;
    }
    return Commit(db, doing, why);
}

bool PrepareFile(sqlite3* db, const std::string& doing, std::string& why) {
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, kBusyMilliseconds);
    sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    SpoolFile kind = SpoolFile::Foreign;
    if (!Exec(db, "PRAGMA trusted_schema = OFF", doing, why) || !ReadKind(db, kind, doing, why))
        return false;
    // SQLite opens a write-protected file for reading; spooling would fail later.
    if (sqlite3_db_readonly(db, "main") != 0) {
        why = doing + ": the file is write-protected";
        return false;
    }
    if (!UseWal(db, doing, why) || !Exec(db, "PRAGMA synchronous = FULL", doing, why)) return false;
    return kind == SpoolFile::Ours || CreateSchema(db, doing, why);
}

}  // namespace

RecordSpool* OpenSpool(const std::string& path, std::string& why) {
    const std::string doing = "cannot open the spool " + path;
    if (!sqlite3_threadsafe()) {
        why = doing + ": this SQLite was built without thread support";
        return nullptr;
    }
    sqlite3* db = nullptr;
    int rc =
        sqlite3_open_v2(path.c_str(), &db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK || !PrepareFile(db, doing, why)) {
        if (rc != SQLITE_OK) why = Reason(db, rc, doing);
        sqlite3_close(db);
        return nullptr;
    }
    RecordSpool* spool = new RecordSpool;
    spool->db = db;
    return spool;
}

void CloseSpool(RecordSpool* spool) {
    if (!spool) return;
    sqlite3_close(spool->db);
    delete spool;
}

// Spooling.
namespace {

// The record's sequence number, or -1 when the id is not spooled.
bool FindRecord(sqlite3* db, const std::string& recordId, int64_t& seq, const std::string& doing,
                std::string& why) {
    Statement s(db, "SELECT seq FROM records WHERE record_id = ?1");
    int rc = s.rc;
    if (rc == SQLITE_OK)
        rc = sqlite3_bind_text64(s.stmt, 1, recordId.data(), recordId.size(), SQLITE_STATIC,
                                 SQLITE_UTF8);
    if (rc == SQLITE_OK) rc = sqlite3_step(s.stmt);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
        why = Reason(db, rc, doing);
        return false;
    }
    seq = rc == SQLITE_ROW ? sqlite3_column_int64(s.stmt, 0) : -1;
    return true;
}

bool InsertRecord(sqlite3* db, const std::string& recordId, const std::string& body, int64_t& seq,
                  const std::string& doing, std::string& why) {
    Statement s(db, kInsert);
    int rc = s.rc;
    if (rc == SQLITE_OK)
        rc = sqlite3_bind_text64(s.stmt, 1, recordId.data(), recordId.size(), SQLITE_STATIC,
                                 SQLITE_UTF8);
    if (rc == SQLITE_OK)
        rc = sqlite3_bind_blob64(s.stmt, 2, body.data(), body.size(), SQLITE_STATIC);
    if (rc == SQLITE_OK) rc = sqlite3_step(s.stmt);
    if (rc != SQLITE_DONE) {
        why = Reason(db, rc, doing);
        return false;
    }
    seq = sqlite3_last_insert_rowid(db);
    return true;
}

}  // namespace

int64_t SpoolRecord(RecordSpool* spool, const std::string& recordId, const std::string& body,
                    std::string& why) {
    const std::string doing = "cannot spool the record";
    if (!Usable(spool, doing, why)) return -1;
    if (recordId.empty()) {
        why = doing + ": it has no id";
        return -1;
    }
    std::lock_guard<std::mutex> hold(spool->lock);
    sqlite3* db = spool->db;
    if (!Exec(db, "BEGIN IMMEDIATE", doing, why)) return -1;
    int64_t seq = -1;
    if (!FindRecord(db, recordId, seq, doing, why) ||
        (seq < 0 && !InsertRecord(db, recordId, body, seq, doing, why))) {
        Rollback(db);
        return -1;
    }
    return Commit(db, doing, why) ? seq : -1;
}

bool PendingRecords(RecordSpool* spool, int most, std::vector<SpooledRecord>& out,
                    std::string& why) {
    const std::string doing = "cannot read the waiting records";
    out.clear();
    if (!Usable(spool, doing, why)) return false;
    if (most < 1) {
        why = doing + ": asked for " + std::to_string(most);
        return false;
    }
    std::lock_guard<std::mutex> hold(spool->lock);
    Statement s(spool->db, kPending);
    int rc = s.rc == SQLITE_OK ? sqlite3_bind_int(s.stmt, 1, most) : s.rc;
    while (rc == SQLITE_OK || rc == SQLITE_ROW) {
        rc = sqlite3_step(s.stmt);
        if (rc == SQLITE_ROW)
            out.push_back(
                {sqlite3_column_int64(s.stmt, 0), ColumnBytes(s.stmt, 1), ColumnBytes(s.stmt, 2)});
    }
    if (rc == SQLITE_DONE) return true;
    out.clear();
    why = Reason(spool->db, rc, doing);
    return false;
}

// Delivery.
namespace {

bool MarkEach(sqlite3* db, const std::vector<int64_t>& seqs, const std::string& doing,
              std::string& why) {
    Statement s(db, kMark);
    if (s.rc != SQLITE_OK) {
        why = Reason(db, s.rc, doing);
        return false;
    }
    for (int64_t seq : seqs) {
        sqlite3_reset(s.stmt);
        int rc = sqlite3_bind_int64(s.stmt, 1, seq);
        if (rc == SQLITE_OK) rc = sqlite3_step(s.stmt);
        if (rc != SQLITE_DONE) {
            why = Reason(db, rc, doing);
            return false;
        }
        if (sqlite3_changes(db) == 0) {
            why = doing + ": no record " + std::to_string(seq) + " in the spool";
            return false;
        }
    }
    return true;
}

}  // namespace

bool MarkDelivered(RecordSpool* spool, const std::vector<int64_t>& seqs, std::string& why) {
    const std::string doing = "cannot mark records delivered";
    if (!Usable(spool, doing, why)) return false;
    if (seqs.empty()) return true;
    std::lock_guard<std::mutex> hold(spool->lock);
    sqlite3* db = spool->db;
    if (!Exec(db, "BEGIN IMMEDIATE", doing, why)) return false;
    if (!MarkEach(db, seqs, doing, why)) {
        Rollback(db);
        return false;
    }
    return Commit(db, doing, why);
}

int64_t WaitingCount(RecordSpool* spool) {
    if (!spool) return -1;
    std::lock_guard<std::mutex> hold(spool->lock);
    int64_t count = -1;
    std::string why;
    const char sql[] = "SELECT count(*) FROM records WHERE delivered_at IS NULL";
    return QueryInt(spool->db, sql, count, "", why) ? count : -1;
}

bool WaitingSummary(RecordSpool* spool, int64_t& count, std::string& oldest, std::string& why) {
    const std::string doing = "cannot count the waiting records";
    if (!Usable(spool, doing, why)) return false;
    std::lock_guard<std::mutex> hold(spool->lock);
    Statement s(spool->db,
                "SELECT count(*), min(spooled_at) FROM records WHERE delivered_at IS NULL");
    if (!FirstRow(spool->db, s, doing, why)) return false;
    count = sqlite3_column_int64(s.stmt, 0);
    oldest = ColumnBytes(s.stmt, 1);
    return true;
}

bool PruneDelivered(RecordSpool* spool, int64_t keepSeconds, std::string& why) {
    const std::string doing = "cannot prune delivered records";
    if (!Usable(spool, doing, why)) return false;
    if (keepSeconds < 0) {
        why = doing + ": cannot keep them " + std::to_string(keepSeconds) + " s";
        return false;
    }
    std::lock_guard<std::mutex> hold(spool->lock);
    const std::string back = "-" + std::to_string(keepSeconds) + " seconds";
    Statement s(spool->db, kPrune);
    int rc = s.rc;
    if (rc == SQLITE_OK)
        rc = sqlite3_bind_text64(s.stmt, 1, back.data(), back.size(), SQLITE_STATIC, SQLITE_UTF8);
    if (rc == SQLITE_OK) rc = sqlite3_step(s.stmt);
    if (rc == SQLITE_DONE) return true;
    why = Reason(spool->db, rc, doing);
    return false;
}
