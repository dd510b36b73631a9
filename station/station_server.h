// The station's web server: the page, the run's state as server-sent events,
// exports, and the page's buttons and fields, in the web room (web/web_room.h)
// with the run's tokens: it only says what each request of the station's does.
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
