// The command line of orvane-flash.
#pragma once
#include <string>
#include <vector>

#include "events/run_events.h"

enum Verbosity { Quiet = -1, Normal = 0, Verbose = 1 };

struct FlashOptions {
    std::string command;  // "upgrade", "station", "info", "monitor", "ports", "doctor" or "line"
    std::vector<std::string> ports;
    std::string image;
    std::string access;
    bool hasAccess = false;
    bool yes = false;
    bool fontBox = false;
    Verbosity verbosity = Normal;
    bool wait = false;
    int waitSeconds = -1;  // -1: until interrupted
    bool loop = false;
    std::string report;
    std::string record;        // a recording per upgrade: a file, or a folder of them
    bool child = false;        // one port of several: events to the parent on standard error
    bool json = false;         // JSON on standard output: upgrade's events, ports, doctor
    bool udevRule = false;     // doctor: a udev rule for the one port named
    std::string ruleName;      // doctor --name: the rule's link under /dev
    bool skipCurrent = false;  // (internal) leave a scanner that holds the image's version

    // station
    std::string slotsFile;  // a slot per line: its label and its port
    std::string operatorName, lot;
    std::string listen;  // ADDR:PORT; empty: loopback, any free port
    bool noBrowser = false;
    bool reinstall = false;  // upgrade scanners that hold the image's version too

    // station on a line; --station names it (stationName)
    std::string lineUrl;         // the line server its records go to
    std::string stationKeyFile;  // the file of its key
    std::string spool;           // the records waiting for the line; "": the usual place

    // line
    std::string lineAction;   // "serve", "add-station", "revoke-station" or "new-view-token"
    std::string stationName;  // add-station, revoke-station; station --station
    std::string db;           // the database, as libpq's connection string
    std::vector<std::string> hostNames;  // serve: more names the line server is reached by
};

// -1 to go on; otherwise the exit status to end with (0 after --help or
// --version, ExitUsage after a usage error, which has been explained).
int ParseFlashOptions(int argc, char** argv, FlashOptions& options);

// "orvane-flash 1.0.0 (its git description)".
std::string FlashVersionText();

// The arguments that make a child run the same upgrade on one port.
std::vector<std::string> ChildArguments(const FlashOptions& options, const std::string& port);
