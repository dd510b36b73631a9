// A process of its own on a spool, for record_spool_test to kill or to run
// beside another. Its lines on standard output:
//   spool_writer SPOOL spool PREFIX COUNT
//     spools PREFIX-0 .. PREFIX-(COUNT-1): "ID SEQ" once each is on disk,
//     "failed ID REASON" for one that is not, "done" at the end;
//   spool_writer SPOOL hold
//     spools "held-back" in a transaction it keeps open: "held" while it holds
//     the write lock, then waits for its standard input to close.
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "spool/record_spool.h"

namespace {

void Say(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

int SpoolAll(const std::string& path, const std::string& prefix, int count) {
    std::string why;
    RecordSpool* spool = OpenSpool(path, why);
    if (!spool) {
        Say("failed open " + why);
        return 1;
    }
    for (int i = 0; i < count; ++i) {
        std::string id = prefix + "-" + std::to_string(i);
        int64_t seq = SpoolRecord(spool, id, "{\"record\":\"" + id + "\"}", why);
        Say(seq < 0 ? "failed " + id + " " + why : id + " " + std::to_string(seq));
    }
    CloseSpool(spool);
    Say("done");
    return 0;
}

int HoldLock(const std::string& path) {
    sqlite3* db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK ||
        sqlite3_exec(db,
                     "BEGIN IMMEDIATE; INSERT INTO records(record_id, body, spooled_at)"
                     " VALUES('held-back', 'x', 'now')",
                     nullptr, nullptr, nullptr) != SQLITE_OK) {
        Say(std::string("failed hold ") + sqlite3_errmsg(db));
        return 1;
    }
    Say("held");
    while (std::getchar() != EOF) {
    }
    sqlite3_close(db);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string mode = argc > 2 ? argv[2] : "";
    if (argc == 5 && mode == "spool") return SpoolAll(argv[1], argv[3], std::atoi(argv[4]));
    if (argc == 3 && mode == "hold") return HoldLock(argv[1]);
    std::fputs("usage: spool_writer SPOOL spool PREFIX COUNT | spool_writer SPOOL hold\n", stderr);
    return 2;
}
