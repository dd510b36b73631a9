// The log on standard output: every received byte, and the few lines that share it.
#pragma once

// The bytes as received, an LF written before each CR; flushed at once so
// that a monitored line shows bytes as they arrive.
void TraceReceived(const unsigned char* bytes, int count);

// One fixed text of the log: the "\n" around a block transfer, "Bad hComm \n".
void TraceLine(const char* text);
