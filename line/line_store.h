// The line server's store: the factory's PostgreSQL, which only the line
// server writes. Stations and their keys, the upgrade records they deliver
// (each kept exactly once), and the supervisor's view token. Every write is
// one transaction; every query is parameterised. A LineStore serves one
// thread at a time.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "events/upgrade_record.h"

struct LineStore;

// Unavailable: the database could not be reached or gave up for now (try
// again later). Refused: the input was not fit; trying again will not help.
enum StoreResult { StoreOk, StoreUnavailable, StoreRefused };

enum { LineSchemaVersion = 2 };

// Null with the reason when the database cannot be reached. conninfo is
// libpq's; a connect_timeout it names wins over ours.
LineStore* OpenLineStore(const std::string& conninfo, std::string& why);
void CloseLineStore(LineStore* store);

// Applies the migrations the database lacks, each in its own transaction.
// Refused when the database's schema is newer than this program's.
StoreResult MigrateLineStore(LineStore* store, std::string& why);

// A new station, or a revoked one again, with a new key (64 hex digits) of
// which only the SHA-256 is kept. Refused for a name in use.
StoreResult AddStation(LineStore* store, const std::string& name, std::string& keyOut,
                       std::string& why);
// Refused for a name never added; revoking twice does no harm.
StoreResult RevokeStation(LineStore* store, const std::string& name, std::string& why);

// Unknown: no station of that name, or not its key.
enum StationKeyResult {
    StationKeyCurrent,
    StationKeyRevoked,
    StationKeyUnknown,
    StationKeyUnavailable
};
// What the store keeps of a key: its SHA-256, in hex.
std::string StationKeyHash(const std::string& key);
// A current key marks the station as heard now.
StationKeyResult CheckStationKey(LineStore* store, const std::string& name, const std::string& key);

// One upgrade record's columns as the station delivered it, and its JSON text.
struct LineRecordRow {
    std::string recordId;  // a UUID
    std::string station;
    int64_t seq = 0;
    std::string slot, port, operatorName, lot;
    std::optional<std::string> unitSerial;
    std::string imageName;
    std::optional<int64_t> imageSize;
    std::string imageSha256;
    std::optional<std::string> versionBefore, versionAfter;
    std::string result;  // passed, failed or already_current
    std::string message;
    std::optional<std::string> hint;
    std::string startedAt, endedAt;  // ISO 8601 with a zone: 2024-05-01T10:00:00Z
    double durationS = 0;
    std::string body;
};

// A station's record as the store keeps it: its columns and its JSON.
LineRecordRow LineRowOf(const UpgradeRecord& record);

struct StoredCounts {
    int inserted = 0;
    int alreadyThere = 0;  // the same record, delivered before
    int conflicting = 0;   // kept aside in record_conflicts, flagged
};

// Stores a batch from `station` (authenticated by the caller) in one
// transaction, and returns once it is committed. A record id already kept
// with other content is kept in record_conflicts and never overwrites. Unavailable after a
// lost connection at COMMIT too: the batch may then be there, and sending it
// again counts it as already there.
StoreResult StoreRecords(LineStore* store, const std::string& station,
                         const std::vector<LineRecordRow>& rows, StoredCounts& counts,
                         std::string& why);

// The token of the supervisor's read-only page: made once and kept; a new
// one replaces it.
StoreResult ViewToken(LineStore* store, std::string& tokenOut, std::string& why);
StoreResult NewViewToken(LineStore* store, std::string& tokenOut, std::string& why);

struct LineStationSeen {
    std::string name;
    std::string lastHeard;  // ISO 8601 UTC, empty if never heard
    bool revoked = false;
};
// The supervisor's figures as one JSON object: "totals", "lots", "images",
// "reasons" and "repeats" (see docs/line.md).
StoreResult LineSummary(LineStore* store, std::string& json, std::string& why);
// Every record of a lot, as stored (JSON), oldest first.
StoreResult LotRecords(LineStore* store, const std::string& lot, std::vector<std::string>& bodies,
                       std::string& why);

// Every station, by name.
StoreResult StationsSeen(LineStore* store, std::vector<LineStationSeen>& out, std::string& why);
