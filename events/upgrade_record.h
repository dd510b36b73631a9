// An upgrade's record: what the report file, the station's exports and the
// line keep of each upgrade. Written to and read from JSON, CSV and SQL
// columns here only; nothing else reads a record by its keys.
#pragma once
#include <cstdint>
#include <ctime>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "events/run_events.h"
#include "upgrade/outcome.h"

struct UpgradeRecord {
    std::string recordId;            // a random UUID, made when the upgrade ends
    std::string station;             // the station's name on a line; empty elsewhere
    int64_t seq = 0;                 // the station's own number for it, 0 until it has one
    std::string time;                // when it ended, ISO 8601 UTC ("...Z")
    std::string startedAt, endedAt;  // ISO 8601 with the local UTC offset
    std::string slot, port, device;
    std::string operatorName, lot, unitSerial;
    std::string image;  // its path or name as given
    int64_t imageSize = -1;
    std::string imageSha256;
    bool hasHeader = false, hasScanner = false;
    IdentityTexts header, scanner;  // the image's; the scanner's before the upgrade
    std::string access;
    UpgradeOutcome outcome = OutcomeNothingError;
    std::string message;  // as shown
    UpgradeOutcome upgradeOutcome = OutcomeNothingError;
    std::string upgradeMessage;  // what the upgrade itself ended with
    bool started = false;        // the firmware was told to start
    std::string hint;            // the first hint's name; empty without one
    int exitStatus = 0;
    double seconds = 0;
    int32_t blocksSent = 0, blocksResent = 0;
    double answerDelayMs = -1;  // -1: not timed
};

// A new record id: a random (version 4) UUID in lower-case hex.
std::string NewRecordId();

// A station's name on a line (the station's own and the line server's rule):
// 1 to 64 characters of UTF-8, none a control character.
bool StationNameIsFit(const std::string& name);

// "2026-12-09T14:03:27+01:00" from the same moment broken down in local time
// and in UTC: the offset is their difference.
std::string IsoTimeWithOffset(const std::tm& local, const std::tm& utc);

UpgradeResult RecordResult(const UpgradeRecord& record);
// The software version before: the scanner's, when it said who it is.
std::string VersionBefore(const UpgradeRecord& record);
// After: the image's when it passed, the scanner's when it was current
// already or nothing was touched; empty when not known.
std::string VersionAfter(const UpgradeRecord& record);

nlohmann::json RecordJson(const UpgradeRecord& record);
// False, with the reason, for anything that is not a record.
bool RecordFromJson(const nlohmann::json& json, UpgradeRecord& record, std::string& why);

// One line of JSON, no line end; texts that are not UTF-8 are replaced.
std::string RecordLine(const UpgradeRecord& record);
std::string RecordsAsJsonLines(const std::vector<UpgradeRecord>& records);
// A column per field, identities flattened; text a spreadsheet would take for
// a formula is made inert.
std::string RecordsAsCsv(const std::vector<UpgradeRecord>& records);

// The line's columns and their values, in the order of RecordSqlColumns;
// a value absent is SQL NULL.
struct SqlValue {
    bool null = false;
    std::string text;
};
const std::vector<std::string>& RecordSqlColumns();
std::vector<SqlValue> RecordSqlValues(const UpgradeRecord& record);
