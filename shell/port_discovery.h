// Serial port discovery: the COM ports the system knows.
#pragma once
#include <cstdint>

enum { PortTableSize = 256, PortMapPositions = 1024, PortDataSize = 256 };

// Presence marks by COM port number.
extern unsigned char PortTable[PortTableSize];

// Clears PortTable, marks and lists every port found, selects the first.
// `addPort` receives each listed text; `selectFirst` runs at the end.
void DiscoverSerialPorts(void (*addPort)(const char* name), void (*selectFirst)());

// "COM" in any case followed by a number read like atoi; false when not "COM".
bool ParseComNumber(const char* text, long* number);

// Leading white space, an optional sign, digits; no digits give 0.
long ReadPortNumber(const char* text);

// The device a port entry names: a COM port found by discovery, or a device
// path where the platform takes one; "^" in front names the same for monitor
// mode. False when it names neither.
bool ResolvePortEntry(const char* entry, char* device, int capacity);
