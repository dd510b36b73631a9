// What the driver made of the port at its last open: the speed it took, its
// low-latency flag, a settings record given twice. For hints, `doctor` and -v.
#pragma once
#include <cstdint>
#include <string>

enum SerialLowLatency {
    LowLatencyNotAsked,     // no port opened yet, or a platform without the flag
    LowLatencySet,          // off before: set for this open, put back at close
    LowLatencyAlreadyOn,    // the driver had it on already
    LowLatencyUnsupported,  // the driver has no such flag (a pseudo-terminal, cdc-acm)
    LowLatencyRefused       // the driver knows the flag but would not take it
};

struct SerialPortReport {
    uint32_t speedAsked;
    uint32_t speedFound;  // what the driver reads back after the settings; 0 when unread
    SerialLowLatency lowLatency;
    bool settingsRetried;  // the driver took the settings record only at its second try
};

SerialPortReport SerialLastPortReport();

// "did not take 57600 baud 8N1 (the driver kept 9600 baud)": what a port
// refused at its last open, for the hints that follow the port's name.
std::string RefusedSettingsText();

// Short notes on what the driver did at an open ("low latency set"), for a
// verbose front end; nothing is said without a sink.
void SerialSetNoteSink(void (*note)(const char* text));

// For the channels: the report of the open in progress, and a note about it.
void SerialRecordPort(const SerialPortReport& report);
void SerialNote(const char* text);
