// What the station page shows, from the run's model: each slot's state word,
// progress, identities, result, hints and dialogue; the image card; the
// counts, the failure reasons ranked and the results over the shift. And the
// run's records, exported as the report holds them.
#pragma once
#include <chrono>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "fleet/fleet_model.h"
#include "spool/line_state.h"

struct StationImage {
    std::string name, path;
    int64_t size = -1;
    std::string sha256;
    bool hasHeader = false;
    std::string module, software;
};

// Results in one minute of the run, for the chart over the shift.
struct StationMinute {
    int results[ResultCount] = {};
};

struct StationRun {
    std::string started;  // ISO 8601 UTC
    std::chrono::steady_clock::time_point startedAt;
    std::string access;
    StationImage image;
    std::string operatorName, lot;
    bool stopping = false, ended = false;
    std::map<int, StationMinute> perMinute;  // by minute of the run
    std::vector<UpgradeRecord> records;      // as the report holds them, in order
    // By slot: the unit serial scanned for the next upgrade to end there, and
    // the one the last record there took.
    std::map<size_t, std::string> serials, lastSerials;
    bool onLine = false;  // its records go to a line server
    LineState line;       // as the line's sender last saw it
};

// An upgrade ended with `outcome` now: counted in its minute.
void CountStationResult(StationRun& run, UpgradeOutcome outcome);

// The page's state (station/page/station.js reads it): stable names and
// data only, every word for people is the page's.
enum { StationStateVersion = 2 };
nlohmann::json StationState(const FleetModel& model, const StationRun& run, bool readOnly);

// What the station tells the line in each beat (docs/line.md): the run, its
// counts, each slot as the page names it, and the line as the station sees it.
enum { StationBeatVersion = 1 };
nlohmann::json StationBeat(const FleetModel& model, const StationRun& run);

// A record as the station keeps it: the report's, with the slot, the
// operator, the lot, the image's SHA-256 and the unit serial scanned for the
// slot, which it takes: a serial scanned later is the next scanner's.
UpgradeRecord StationRecord(const UpgradeRecord& record, size_t slot, const std::string& label,
                            StationRun& run);

// A Retry takes the same scanner again: it gets the serial its record took,
// unless another was scanned since.
void KeepSerialForRetry(StationRun& run, size_t slot);

// An operator's name or a lot: printable, at most 64 characters.
bool StationTextIsFit(const std::string& text);
