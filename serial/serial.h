// Serial port channel: one port for the whole program, opened with the scanner's line settings.
#pragma once
#include <cstdint>

// Opens and configures the port, starts SerialReaderThread. 0, or -1 when the
// device failed to open ("Bad hComm \n" on standard output).
int SerialOpen(const char* device_path, uint32_t baud);

// Returns once the bytes went to the driver, the write failed or its time
// (10 ms per byte + 10 ms) ran out. Reports nothing.
void SerialWrite(const void* bytes, uint32_t length);

// Closes the port; its reader thread ends.
void SerialClose();

// Moves every received byte into the receive ring until the port is closed or gone.
void SerialReaderThread();

// Why the last SerialOpen failed, for the front ends' hints.
enum SerialOpenFailure {
    SerialOpenOk,
    SerialNoDevice,
    SerialBusy,
    SerialDenied,
    SerialNotSerial,
    SerialSettingsRefused,  // the driver would not take the line's speed or 8N1
    SerialOtherFailure
};
SerialOpenFailure SerialLastOpenFailure();

// Reader threads alive right now (0 or 1 in normal use).
int SerialReaderThreadCount();

// Stops all talk with the scanner for the rest of the program: nothing more is
// written, and every read answers -1 at once. Safe from any thread; used when
// the user interrupts an upgrade.
void SerialHalt();
bool SerialHalted();

// Hears every byte that crosses the line, both ways, as it crosses: what a
// write handed to the driver (on the writer's thread) and what the reader
// took in (on the reader's thread, before the ring has it, so before anyone
// can answer it). It must not wait for anything slow. nullptr: nobody.
typedef void (*LineTap)(bool toScanner, const unsigned char* bytes, int count);
void SerialSetLineTap(LineTap tap);
