#include "cli/station_line.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <vector>

#include "cli/cli_platform.h"
#include "cli/terminal_text.h"
#include "cli/terminal_view.h"
#include "spool/line_client.h"
#include "spool/line_sender.h"
#include "spool/record_spool.h"

namespace {

// The last attempt is short: the operator is waiting for the prompt.
enum { MostKeyFileBytes = 4096, KeyDigits = 64, LastTryMs = 3000, KeepDeliveredDays = 30 };

struct Line {
    std::string url, station, key, spoolPath;
    RecordSpool* spool = nullptr;
    // Set once the sender's threads run, which may ask for it before then.
    std::atomic<LineSender*> sender{nullptr};
} line;

bool Refuse(const std::string& why) {
    std::fprintf(stderr, "orvane-flash: %s\n", TerminalText(why).c_str());
    return false;
}

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// A waiting record of another name would stop every delivery at it: the
// line refuses it for this station's key.
bool SpoolIsThisStations(std::string& why) {
    std::vector<SpooledRecord> waiting;
    if (!PendingRecords(line.spool, std::numeric_limits<int>::max(), waiting, why)) return false;
    for (const SpooledRecord& spooled : waiting) {
        UpgradeRecord record;
        std::string unread;
        if (!RecordFromJson(nlohmann::json::parse(spooled.body, nullptr, false), record, unread) ||
            record.station == line.station)
            continue;
        why = "the spool " + line.spoolPath + " holds records of the station '" + record.station +
              "' that the line has not taken: run that station (--station " + record.station +
              ") to deliver them, or name another spool with --spool";
        return false;
    }
    return true;
}

bool OpenSpoolOf(const FlashOptions& o) {
    std::string why;
    line.spoolPath = o.spool;
    if (line.spoolPath.empty() && !PrepareSpoolPath(line.spoolPath, why))
        return Refuse(why + "; name one with --spool FILE");
    line.spool = OpenSpool(line.spoolPath, why);
    if (!line.spool) return Refuse(why);
    if (!SpoolIsThisStations(why)) {
        CloseSpool(line.spool);
        line.spool = nullptr;
        return Refuse(why);
    }
    // Delivered records are kept a while, for a look at what went; no harm if not.
    PruneDelivered(line.spool, KeepDeliveredDays * 86400, why);
    return true;
}

}  // namespace

bool ReadStationKey(const std::string& path, std::string& key, std::string& why) {
    const std::string what = "--station-key " + path + ": ";
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
        why = what + "not a regular file";
        return false;
    }
    if (std::filesystem::file_size(path, ec) > MostKeyFileBytes || ec) {
        why = what + "too large for a key file, which holds one line";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    std::string first;
    std::getline(in, first);
    while (!first.empty() && (first.back() == '\r' || first.back() == ' ' || first.back() == '\t'))
        first.pop_back();
    if (first.size() != KeyDigits || !std::all_of(first.begin(), first.end(), IsHexDigit)) {
        why = what + "its first line is not a station's key (64 hex digits, as " +
              "'orvane-flash line add-station' printed it)";
        return false;
    }
    key = first;
    return true;
}

bool OpenStationLine(const FlashOptions& o) {
    if (o.lineUrl.empty()) return true;
    LineAddress address;
    std::string why;
    if (!ParseLineUrl(o.lineUrl, address, why)) return Refuse("--line: " + why);
    if (!StationNameIsFit(o.stationName))
        return Refuse("--station: a station's name is printable text of 1 to 64 characters");
    if (!ReadStationKey(o.stationKeyFile, line.key, why)) return Refuse(why);
    line.url = o.lineUrl;
    line.station = o.stationName;
    return OpenSpoolOf(o);
}

bool StationOnLine() {
    return line.spool != nullptr;
}

bool StartStationLine(std::function<std::string()> beat, std::function<void()> changed) {
    if (!line.spool) return true;
    LineSenderSetup setup{line.url, line.station, line.key, line.spool, beat, changed};
    std::string why;
    line.sender = StartLineSender(setup, why);
    if (!line.sender) return Refuse(why);
    changed();  // a change its threads told of before they could read it
    return true;
}

bool SpoolStationRecord(UpgradeRecord& record, std::string& why) {
    record.station = line.station;
    record.seq = 0;  // the spool numbers it; the sender puts the number in
    int64_t seq = SpoolRecord(line.spool, record.recordId, RecordLine(record), why);
    if (seq < 0) return false;
    record.seq = seq;
    NoteRecordSpooled(line.sender);
    return true;
}

void NoteStationLineChanged() {
    NoteLineChanged(line.sender);
}

LineState StationLineState() {
    return LineStateOf(line.sender);
}

// The terminal's words for the line.
namespace {

enum class Seen { Connecting, Connected, Down, Refused, Rejected };

struct Said {
    Seen seen = Seen::Connecting;
    std::string reason, downSince, downClock;
    bool connectedOnce = false;
} said;

Seen SeenOf(const LineState& s) {
    if (s.refused) return Seen::Refused;
    if (s.rejected) return Seen::Rejected;
    if (!s.downSince.empty()) return Seen::Down;
    return s.connected ? Seen::Connected : Seen::Connecting;
}

std::string Records(int64_t n) {
    return std::to_string(n) + (n == 1 ? " record" : " records");
}

std::string RowOf(Seen seen, const LineState& s) {
    std::string kept = " - " + Records(s.waiting) + " kept here";
    switch (seen) {
        case Seen::Connecting:
            return "line: connecting to " + line.url;
        case Seen::Connected:
            return s.waiting > 0 ? "line: connected, sending " + Records(s.waiting)
                                 : "line: connected";
        case Seen::Down:
            return "line: unreachable since " + said.downClock + kept + " (" + s.reason + ")";
        case Seen::Refused:
            return "line: refused this station: " + s.reason + kept;
        default:
            return "line: refused records: " + s.reason + kept;
    }
}

std::string NewsOf(Seen seen, const LineState& s) {
    switch (seen) {
        case Seen::Connecting:
            return "";
        case Seen::Connected:
            return said.connectedOnce ? "line: connected again" : "line: connected to " + line.url;
        case Seen::Down:
            return "line: unreachable since " + said.downClock + " (" + s.reason +
                   "); the records are kept here";
        case Seen::Refused:
            return "line: refused this station: " + s.reason + "; the records are kept here";
        default:
            return "line: refused a batch of records: " + s.reason + "; they stay here";
    }
}

}  // namespace

FleetStatus StationLineStatus(const LineState& s) {
    if (!line.sender) return {};
    if (s.downSince != said.downSince) {
        said.downSince = s.downSince;
        said.downClock = LocalTimeNow().substr(11, 8);  // its time of day, here
    }
    Seen seen = SeenOf(s);
    FleetStatus status;
    status.row = RowOf(seen, s);
    bool refusal = seen == Seen::Refused || seen == Seen::Rejected;
    if (seen != said.seen || (refusal && s.reason != said.reason)) status.news = NewsOf(seen, s);
    said.connectedOnce = said.connectedOnce || seen == Seen::Connected;
    said.seen = seen;
    said.reason = s.reason;
    return status;
}

void EndStationLine() {
    bool sent = line.sender != nullptr;
    int64_t left = StopLineSender(line.sender.exchange(nullptr), LastTryMs);
    CloseSpool(line.spool);
    line.spool = nullptr;
    if (!sent) return;  // it never started: nothing to say
    std::string where = TerminalText(line.spoolPath);
    if (left == 0)
        PutToStderr("line: every record delivered\n");
    else if (left > 0)
        PutToStderr("line: " + Records(left) + " kept in the spool " + where +
                    "; the station sends them when it next runs on the line\n");
    else
        PutToStderr("line: cannot count the records left in the spool " + where + "\n");
}
