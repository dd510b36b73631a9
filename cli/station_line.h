// A station on a line: its name and key, its spool, and the sender that
// delivers the spool's records and the station's beats to the line server;
// and what the terminal says of the line. Without --line, none of it runs.
#pragma once
#include <functional>
#include <string>

#include "cli/fleet_rows.h"
#include "cli/options.h"
#include "events/upgrade_record.h"
#include "spool/line_state.h"

// The station's key from its file: a regular file, small, its first line 64
// hex digits. False, with the reason.
bool ReadStationKey(const std::string& path, std::string& key, std::string& why);

// Checks --line and its parts, reads the key and opens the spool; false when
// refused, said on standard error. True, doing nothing, without --line.
bool OpenStationLine(const FlashOptions& options);
bool StationOnLine();

// Starts the sender: `beat` gives the station's beat, `changed` is called on
// the sender's threads when the line's state changed.
bool StartStationLine(std::function<std::string()> beat, std::function<void()> changed);

// On disk when it returns: the record takes the station's name and the
// spool's number for it. False, with the reason.
bool SpoolStationRecord(UpgradeRecord& record, std::string& why);

// The station changed: the line hears of it soon.
void NoteStationLineChanged();
LineState StationLineState();

// The line's row under the slots, and news of it for plain output; on the
// run's thread only.
FleetStatus StationLineStatus(const LineState& state);

// Stops the sender after one last attempt, closes the spool and says what
// is left in it.
void EndStationLine();
