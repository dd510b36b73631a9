// The log on standard output: every received byte, and the few lines that share it.
#pragma once

// The bytes as received, an LF written before each CR; flushed at once so
// that a monitored line shows bytes as they arrive.
void TraceReceived(const unsigned char* bytes, int count);

// One fixed text of the log: the "\n" around a block transfer, "Bad hComm \n".
void TraceLine(const char* text);

// Where the received bytes go instead of standard output, as received (no LF
// added), while the log's own lines are left out; nullptr restores standard
// output. For a front end whose standard output is the terminal it draws on.
typedef void (*TraceSink)(const unsigned char* bytes, int count);
void SetTraceSink(TraceSink sink);
