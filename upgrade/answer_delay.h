// The adapter's share of each block's turn: the mean time from a block's last
// byte written to its answer, less the block's own time on the wire.
#pragma once
#include <cstdint>

// Milliseconds, never below 0 (a pseudo-terminal is faster than the wire);
// -1 when no answer was timed.
double AnswerDelayMs(int64_t waitUs, int32_t answers, uint32_t baud);

// Of the current or last run, at the upgrade's line rate.
double UpgradeAnswerDelayMs();
