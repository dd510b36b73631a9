// The record of each upgrade: one JSON object per line, appended to the file
// the user named and flushed at once.
#pragma once
#include <string>

#include "events/upgrade_record.h"
#include "upgrade/outcome.h"

struct ReportEntry {
    std::string time;       // when the upgrade began, ISO 8601 UTC
    std::string startedAt;  // the same, in local time with its offset
    std::string port, device, image;
    UpgradeOutcome outcome = OutcomeNothingError;
    std::string message;  // as shown: the outcome's message
    int exitStatus = 0;
    double seconds = 0;
};

// The whole record, the rest taken from the run just ended, with a new id.
UpgradeRecord ReportRecord(const ReportEntry& entry);

// Now, as ISO 8601 UTC with seconds.
std::string UtcTimestamp();

// The access mode as records name it: "end-user", "reseller", "override".
const char* AccessName();
