// The recording of one upgrade, or of monitor mode: every byte that crossed
// the line, both ways, with its time and the phase it belongs to, one JSON
// object a line (docs/recording-format.md). Written as it goes by a thread of
// its own, so a crash or an unplug keeps everything up to that moment and
// the upgrade never waits for the file.
#pragma once
#include <string>

#include "cli/options.h"
#include "upgrade/outcome.h"

struct RecordingStart {
    std::string port, device;
    std::string image;  // empty in monitor mode
    unsigned baud = 0;
};

struct RecordingEnd {
    UpgradeOutcome outcome = OutcomeNothingError;
    std::string message;
    int exitStatus = 0;
    double seconds = 0;
};

// Where the next upgrade on `port` records to: FILE itself, or, when every
// upgrade has a file of its own (several ports, --loop), a file named after
// the port and the time in the folder FILE.
std::string RecordingPath(const FlashOptions& options, const std::string& port);

// Starts recording into `path`; false when the file cannot be written.
bool StartRecording(const std::string& path, const RecordingStart& start);

// Writes the last object and closes the file; nothing when none is open.
void FinishRecording(const RecordingEnd& end);
