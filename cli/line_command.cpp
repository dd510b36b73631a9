#include "cli/line_command.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "cli/cli_platform.h"
#include "cli/interrupts.h"
#include "cli/listen_address.h"
#include "cli/terminal_text.h"
#include "line/line_server.h"
#include "line/line_store.h"

namespace {

int Fail(const std::string& why) {
    std::fprintf(stderr, "orvane-flash line: %s\n", TerminalText(why).c_str());
    return ExitUpgradeFailed;
}

// The store, its schema as this program knows it; nullptr when not, said.
LineStore* OpenStore(const FlashOptions& o) {
    std::string why;
    LineStore* store = OpenLineStore(o.db, why);
    if (!store) {
        Fail("cannot reach the database: " + why);
        return nullptr;
    }
    if (MigrateLineStore(store, why) != StoreOk) {
        Fail(why);
        CloseLineStore(store);
        return nullptr;
    }
    return store;
}

// The key is the last line, alone, so that a script can take it.
int AddOne(LineStore* store, const std::string& name) {
    std::string key, why;
    if (AddStation(store, name, key, why) != StoreOk) return Fail(why);
    std::printf("station %s added; its key, for a file only the station's user can read:\n%s\n",
                TerminalText(name).c_str(), key.c_str());
    return ExitSuccess;
}

int Revoke(LineStore* store, const std::string& name) {
    std::string why;
    if (RevokeStation(store, name, why) != StoreOk) return Fail(why);
    std::printf("station %s revoked: its key opens nothing now\n", TerminalText(name).c_str());
    return ExitSuccess;
}

int NewToken(LineStore* store) {
    std::string token, why;
    if (NewViewToken(store, token, why) != StoreOk) return Fail(why);
    std::printf("a new view token; addresses with the old one open nothing now:\n%s\n",
                token.c_str());
    return ExitSuccess;
}

// A line server may start before its database: it waits, saying so once.
LineStore* WaitForStore(const FlashOptions& o) {
    bool said = false;
    while (!StopRequested()) {
        std::string why;
        LineStore* store = OpenLineStore(o.db, why);
        if (store) return store;
        if (!said)
            std::fprintf(stderr, "line: waiting for the database: %s\n", TerminalText(why).c_str());
        said = true;
        PauseUnlessStopped(2000);
    }
    return nullptr;
}

// The schema as this program knows it and the page's token; false, said, when not.
bool PrepareStore(const FlashOptions& o, std::string& viewToken) {
    LineStore* store = WaitForStore(o);
    if (!store) return false;
    std::string why;
    StoreResult r = MigrateLineStore(store, why);
    if (r == StoreOk) r = ViewToken(store, viewToken, why);
    CloseLineStore(store);
    if (r != StoreOk) Fail(why);
    return r == StoreOk;
}

int Serve(const FlashOptions& o) {
    LineServerSetup setup;
    setup.conninfo = o.db;
    setup.hostNames = o.hostNames;
    std::string why;
    if (!ParseListen(o.listen, setup.address, setup.port, why)) return Fail(why);
    StartInterrupts(InterruptStopsAtOnce);
    if (!PrepareStore(o, setup.viewToken)) return ExitUpgradeFailed;
    if (!StartLineServer(setup, why)) return Fail(why);
    std::string url = "http://" + LocalHostFor(setup.address) + ":" +
                      std::to_string(LineServerPort()) + "/?token=" + setup.viewToken;
    std::fprintf(stderr, "line: the supervisor's page (read-only): %s\n", url.c_str());
    std::fprintf(stderr, "line: stations deliver to http://%s:%u/ ; Ctrl-C stops\n",
                 LocalHostFor(setup.address).c_str(), LineServerPort());
    std::fflush(stderr);
    if (!o.noBrowser && !OpenInBrowser(url))
        std::fputs("line: no browser could be opened; open the address above\n", stderr);
    WaitUntilStopRequested();
    StopLineServer();
    std::fputs("line: stopped\n", stderr);
    return ExitSuccess;
}

}  // namespace

int RunLine(const FlashOptions& o) {
    if (o.lineAction == "serve") return Serve(o);
    bool named = o.lineAction == "add-station" || o.lineAction == "revoke-station";
    if (named && !StationNameIsFit(o.stationName))
        return Fail("a station's name is printable text of 1 to 64 characters");
    LineStore* store = OpenStore(o);
    if (!store) return ExitUpgradeFailed;
    int status = o.lineAction == "add-station"      ? AddOne(store, o.stationName)
                 : o.lineAction == "revoke-station" ? Revoke(store, o.stationName)
                                                    : NewToken(store);
    CloseLineStore(store);
    return status;
}
