// The files a run writes beside the scanner (the report, the recordings):
// checked before anything is written, so that none of them can harm the
// image or another output, and written so that a failed write is known.
#pragma once
#include <string>

#include "cli/options.h"

// With several ports or --loop, --record names a folder with a file per upgrade.
bool RecordsToFolder(const FlashOptions& options);

// An output that is the image or the same file as another output (a link
// counts as the file it names), or that is not a regular file (or a folder
// where a folder is meant), is said on standard error: false, and nothing
// has been opened for writing.
bool CheckOutputs(const FlashOptions& options);

// One line appended in a single write; false with the reason.
bool AppendOutputLine(const std::string& path, const std::string& line, std::string& why);
