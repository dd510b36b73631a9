// The station's web server: the page, the run's state as server-sent events,
// exports, and the page's buttons. One thread of its own with asynchronous
// I/O, so that no client, slow, stalled or hostile, holds up anything else;
// what it sends is built from the run's model when something changed, the
// newest state replacing one a client has not yet taken.
//
// Nobody else drives it: every request needs the run's token (in the opened
// address once, then in a strict HTTP-only cookie); a Host that is neither
// the listening address nor localhost is refused, and a request that changes
// anything must come from the page's own origin. A second token, for a
// supervisor's screen, may only look.
#pragma once
#include <functional>
#include <string>

struct StationActions {
    // The whole state, as JSON, and the records as CSV and as JSON Lines.
    std::function<std::string(bool readOnly)> state;
    std::function<std::string()> exportCsv, exportJsonl;
    // Buttons; false when there was nothing to do.
    std::function<bool(int slot)> retry;
    std::function<void()> retryFailed, finish, stopNow;
    // False, with the reason, for settings it refuses.
    std::function<bool(const std::string& operatorName, const std::string& lot, std::string& why)>
        settings;
    // The unit serial scanned for a slot's scanner; false, with the reason, when refused.
    std::function<bool(int slot, const std::string& serial, std::string& why)> serial;
};

struct StationServerSetup {
    std::string address = "127.0.0.1";  // where to listen
    unsigned short port = 0;            // 0: any free port
    std::string token, readOnlyToken;   // readOnlyToken empty: none
    StationActions actions;
};

// Listens and serves on a thread of its own; false with the reason.
bool StartStationServer(const StationServerSetup& setup, std::string& why);
// The port it listens on.
unsigned short StationServerPort();
// The state changed: clients get it at their next turn (a few times a second).
void NoteStationChanged();
// Sends every page the last state, closes every connection and joins the thread.
void StopStationServer();

// A random token of 32 hex digits.
std::string NewStationToken();
