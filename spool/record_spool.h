// The station's records waiting for the line server, in one SQLite file: a
// record is on disk before the operator sees its result, and leaves the spool
// only after the server committed it. One spool may be used from two threads
// (the station's and the sender's); its calls take turns on a lock inside.
// Another process on the same file waits for it at most a few seconds, then
// gets a reason.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct RecordSpool;

struct SpooledRecord {
    int64_t seq = 0;
    std::string recordId;
    std::string body;
};

// The spool's usual place: $XDG_STATE_HOME (or ~/.local/state)/orvane/spool.sqlite,
// or %LOCALAPPDATA%\orvane\spool.sqlite, its folder made when missing (owner
// only on POSIX). False, with the reason, when there is no such folder.
bool PrepareSpoolPath(std::string& path, std::string& why);

// Creates the spool when the file is new or empty. nullptr, with the reason,
// when it cannot be opened, is not a spool of ours, or was written by a newer
// version; such a file is left as it was.
RecordSpool* OpenSpool(const std::string& path, std::string& why);
void CloseSpool(RecordSpool* spool);

// On disk when it returns: the record's sequence number, or -1 with the reason.
// An id spooled before stores nothing and returns the number it has (a retry
// after a crash).
int64_t SpoolRecord(RecordSpool* spool, const std::string& recordId, const std::string& body,
                    std::string& why);
// At most `most` records not yet delivered, lowest sequence number first.
bool PendingRecords(RecordSpool* spool, int most, std::vector<SpooledRecord>& out,
                    std::string& why);
// The line server committed these: all are marked, or none (an unknown number
// marks none). Marking one again keeps its first time.
bool MarkDelivered(RecordSpool* spool, const std::vector<int64_t>& seqs, std::string& why);
// Records not yet delivered, or -1.
int64_t WaitingCount(RecordSpool* spool);
// How many records wait, and when the oldest of them was spooled: ISO 8601
// UTC with milliseconds, empty when none waits.
bool WaitingSummary(RecordSpool* spool, int64_t& count, std::string& oldest, std::string& why);
// Removes records delivered more than `keepSeconds` ago; waiting ones always stay.
bool PruneDelivered(RecordSpool* spool, int64_t keepSeconds, std::string& why);
