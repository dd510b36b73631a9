// orvane-flash line: the line server's database, kept by hand: its stations
// and their keys, and the supervisor's view token.
#pragma once
#include "cli/options.h"

// Creates or migrates the schema first; the exit status.
int RunLine(const FlashOptions& options);
