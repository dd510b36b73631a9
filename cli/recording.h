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

// Starts recording the upgrade on `start.port`. The recording is written
// beside its name, as NAME.partial, and moved into place when it is complete:
// FILE itself, or, when every upgrade has a file of its own (several ports,
// --loop), a new file in the folder FILE named after the port and the time.
// False, with the reason, when it cannot be written.
bool StartRecording(const FlashOptions& options, const RecordingStart& start, std::string& why);

// Writes the last object, closes the file and moves it into place; true when
// nothing is open. False, with the reason, when any of it could not be
// written: the file then stays under its partial name.
bool FinishRecording(const RecordingEnd& end, std::string& why);
