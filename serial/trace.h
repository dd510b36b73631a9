// The log on standard output: every received byte, and the few lines that
// share it. Written by the background writer, so that neither the reader nor
// the upgrade ever waits for standard output.
#pragma once
#include <cstdint>

// The bytes as received, an LF written before each CR. Queued; the writer
// flushes after every piece, so a monitored line shows bytes as they arrive.
void TraceReceived(const unsigned char* bytes, int count);

// One fixed text of the log: the "\n" around a block transfer, "Bad hComm \n".
void TraceLine(const char* text);

// Waits until everything queued so far is written.
void TraceFlush();

// Bytes the queue had no room for while standard output was not taking them.
uint64_t TraceLostBytes();

// Where the received bytes go instead of standard output, as received (no LF
// added), while the log's own lines are left out; nullptr restores standard
// output. Called on the reader thread: it must not wait for anything slow.
typedef void (*TraceSink)(const unsigned char* bytes, int count);
void SetTraceSink(TraceSink sink);
