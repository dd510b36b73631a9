// What both serial channels record the same way: why an open failed and how
// many reader threads are alive.
#pragma once
#include <mutex>

#include "serial/serial.h"

// Records the reason, writes "Bad hComm \n" to standard output, returns -1.
int SerialRefuseOpen(SerialOpenFailure why);
void SerialNoteOpened();

// The reader's hand-over of what it took from the driver: into the ring
// first, then to the trace.
void SerialDeliverReceived(const unsigned char* bytes, int count);

// What a write handed to the driver, for the line's tap.
void SerialNoteWritten(const unsigned char* bytes, int count);

// Held around a write and its note while a tap listens, so that the tap never
// hears an answer before the bytes it answers; without a tap, nothing is held.
std::unique_lock<std::mutex> SerialHoldTap();

// Counted before the thread starts, so the count is right as soon as the open returns.
void SerialReaderStarting();
void SerialReaderEnded();
