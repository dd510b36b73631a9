// The record of each upgrade: one JSON object per line, appended to the file
// the user named and flushed at once.
#pragma once
#include <nlohmann/json.hpp>
#include <string>

#include "upgrade/outcome.h"

struct ReportEntry {
    std::string time;  // when the upgrade began, ISO 8601 UTC
    std::string port, device, image;
    UpgradeOutcome outcome = OutcomeNothingError;
    std::string message;  // as shown: the outcome's message
    int exitStatus = 0;
    double seconds = 0;
};

// The whole record, the rest taken from the run just ended; and as one line.
nlohmann::json ReportRecord(const ReportEntry& entry);
std::string ReportLine(const ReportEntry& entry);

// Now, as ISO 8601 UTC with seconds.
std::string UtcTimestamp();

// The access mode as records name it: "end-user", "reseller", "override".
const char* AccessName();

// How the run ended: the outcome shown and its message, what the upgrade
// itself ended with, whether the scanner was started, blocks sent and sent again.
nlohmann::json RunResultJson(UpgradeOutcome outcome, const std::string& message);

// An identity's four texts as a JSON object.
nlohmann::json IdentityJson(const char* customer, const char* module, const char* hardware,
                            const char* software);
