#include "cli/line_command.h"

#include <cstdio>

#include "cli/terminal_text.h"
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

}  // namespace

int RunLine(const FlashOptions& o) {
    bool named = o.lineAction == "add-station" || o.lineAction == "revoke-station";
    if (named && !LineStationNameIsFit(o.stationName))
        return Fail("a station's name is printable text of 1 to 64 characters");
    LineStore* store = OpenStore(o);
    if (!store) return ExitUpgradeFailed;
    int status = o.lineAction == "add-station"      ? AddOne(store, o.stationName)
                 : o.lineAction == "revoke-station" ? Revoke(store, o.stationName)
                                                    : NewToken(store);
    CloseLineStore(store);
    return status;
}
