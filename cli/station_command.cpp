#include "cli/station_command.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>

#include "cli/cli_platform.h"
#include "cli/fleet.h"
#include "cli/fleet_rows.h"
#include "cli/interrupts.h"
#include "cli/listen_address.h"
#include "cli/output_files.h"
#include "cli/report.h"
#include "cli/station_line.h"
#include "cli/terminal_text.h"
#include "cli/upgrade_command.h"
#include "codec/access_mode.h"
#include "codec/image_header.h"
#include "fleet/child_process.h"
#include "fleet/fleet_run.h"
#include "station/sha256.h"
#include "station/station_server.h"
#include "station/station_state.h"
#include "upgrade/image.h"

namespace {

using Json = nlohmann::json;

enum { MostSlots = 64, MostSlotsFileBytes = 1 << 16, MostLabelLength = 32 };

struct Slot {
    std::string label, port;
};

// Under FleetLock() once the run is under way.
StationRun run;
FleetModel model;

bool Refuse(const std::string& why) {
    std::fprintf(stderr, "orvane-flash: %s\n", TerminalText(why).c_str());
    return false;
}

// "A1 /dev/serial/by-path/..." a line; the port is the last word, the label
// what comes before it. Blank lines and lines starting with # are skipped.
bool ReadSlots(const std::string& path, std::vector<Slot>& slots) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec) ||
        std::filesystem::file_size(path, ec) > MostSlotsFileBytes)
        return Refuse("--slots " + path + " is not a slots file (a regular file of at most 64 KB)");
    std::ifstream in(path);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') continue;
        size_t last = line.find_last_not_of(" \t");
        size_t split = line.find_last_of(" \t", last);
        std::string where = path + ":" + std::to_string(number) + ": ";
        if (split == std::string::npos || split < first)
            return Refuse(where + "a slot needs a label and a port");
        Slot slot{line.substr(first, line.find_last_not_of(" \t", split) + 1 - first),
                  line.substr(split + 1, last - split)};
        if (slot.label.size() > MostLabelLength || !StationTextIsFit(slot.label))
            return Refuse(where + "a label is printable text of at most 32 characters");
        slots.push_back(slot);
    }
    return true;
}

bool GatherSlots(const FlashOptions& o, std::vector<Slot>& slots) {
    if (!o.slotsFile.empty() && !ReadSlots(o.slotsFile, slots)) return false;
    for (const std::string& port : o.ports)
        slots.push_back({std::to_string(slots.size() + 1), port});
    if (slots.empty()) return Refuse("a station needs a port: --port PORT or --slots FILE");
    if (slots.size() > MostSlots) return Refuse("a station takes at most 64 slots");
    for (size_t i = 0; i < slots.size(); ++i)
        for (size_t j = 0; j < i; ++j)
            if (slots[i].port == slots[j].port)
                return Refuse("the port " + slots[i].port + " is named twice");
    return true;
}

// The image card, read as the upgrade reads the image: never blocking.
bool ReadImageCard(const std::string& path, StationImage& image) {
    if (OpenImage(path.c_str()) < 0) return Refuse("cannot open the image " + path);
    image.path = path;
    image.name = path.substr(path.find_last_of("/\\") + 1);
    image.size = ImageSize();
    image.hasHeader = DecodeMeasuredHeader();
    if (image.hasHeader) image.module = ImageId.moduleNo, image.software = ImageId.software;
    Sha256 digest;
    Sha256Start(digest);
    RewindImage();
    unsigned char bytes[4096];
    for (int n; (n = ReadImage(bytes, sizeof bytes)) > 0;) Sha256Add(digest, bytes, n);
    image.sha256 = Sha256Finish(digest);
    CloseImage();
    return true;
}

bool ReadListen(const std::string& listen, StationServerSetup& server) {
    std::string why;
    return ParseListen(listen, server.address, server.port, why) || Refuse(why);
}

// The slot a port belongs to; the number of slots when none.
size_t SlotOfPort(const std::string& port) {
    for (size_t i = 0; i < model.slots.size(); ++i)
        if (model.slots[i].port == port) return i;
    return model.slots.size();
}

// Under FleetLock: the record as the station keeps it, into the line's spool
// first, when on a line, then into the report.
bool KeepRecord(const FlashOptions& o, const UpgradeRecord& record, std::string& why) {
    size_t slot = SlotOfPort(record.port);
    std::string label = slot < model.slots.size() ? model.slots[slot].label : record.port;
    UpgradeRecord kept = StationRecord(record, slot, label, run);
    std::string unspooled;
    bool spooled = !StationOnLine() || SpoolStationRecord(kept, unspooled);
    run.records.push_back(kept);
    bool reported = o.report.empty() || AppendOutputLine(o.report, RecordLine(kept), why);
    if (!reported) why = "cannot append to the report " + o.report + ": " + why;
    if (!spooled) why = reported ? unspooled : unspooled + "; " + why;
    return spooled && reported;
}

// The page and the line both hear of every change.
void NoteChanged() {
    NoteStationChanged();
    NoteStationLineChanged();
}

FleetView PageView() {
    FleetView view;
    view.onEvent = [](const FleetModel&, size_t, const RunEvent& e) {
        if (e.kind == EventKind::End) CountStationResult(run, e.outcome);
        NoteChanged();
    };
    view.onTick = [](const FleetModel&) {
        if (InterruptCount() > 0 && !run.stopping) {
            run.stopping = true;
            NoteChanged();
        }
    };
    return view;
}

bool Failed(const FleetSlot& s) {
    return s.showEnd && !s.childEnded && ResultOfOutcome(s.end.outcome) == ResultFailed;
}

StationActions Actions() {
    StationActions a;
    a.state = [](bool readOnly) {
        std::lock_guard<std::mutex> guard(FleetLock());
        return StationState(model, run, readOnly)
            .dump(-1, ' ', false, Json::error_handler_t::replace);
    };
    a.exportCsv = [] {
        std::lock_guard<std::mutex> guard(FleetLock());
        return RecordsAsCsv(run.records);
    };
    a.exportJsonl = [] {
        std::lock_guard<std::mutex> guard(FleetLock());
        return RecordsAsJsonLines(run.records);
    };
    a.retry = [](int slot) {
        std::lock_guard<std::mutex> guard(FleetLock());
        if (slot < 0 || static_cast<size_t>(slot) >= model.slots.size() ||
            !Failed(model.slots[slot]))
            return false;
        RequestChild(slot, ChildRequest::Retry);
        KeepSerialForRetry(run, slot);
        return true;
    };
    a.retryFailed = [] {
        std::lock_guard<std::mutex> guard(FleetLock());
        for (size_t i = 0; i < model.slots.size(); ++i) {
            if (!Failed(model.slots[i])) continue;
            RequestChild(i, ChildRequest::Retry);
            KeepSerialForRetry(run, i);
        }
    };
    a.finish = [] {
        std::lock_guard<std::mutex> guard(FleetLock());
        run.stopping = true;
        RequestAllChildren(ChildRequest::Finish);
        NoteStationLineChanged();
    };
    a.stopNow = [] {
        std::lock_guard<std::mutex> guard(FleetLock());
        run.stopping = true;
        RequestAllChildren(ChildRequest::StopNow);
        NoteStationLineChanged();
    };
    a.settings = [](const std::string& operatorName, const std::string& lot, std::string& why) {
        if (!StationTextIsFit(operatorName) || !StationTextIsFit(lot)) {
            why = "an operator and a lot are printable text of at most 64 characters";
            return false;
        }
        std::lock_guard<std::mutex> guard(FleetLock());
        run.operatorName = operatorName;
        run.lot = lot;
        NoteStationLineChanged();
        return true;
    };
    a.serial = [](int slot, const std::string& serial, std::string& why) {
        if (!StationTextIsFit(serial)) {
            why = "a unit serial is printable text of at most 64 characters";
            return false;
        }
        std::lock_guard<std::mutex> guard(FleetLock());
        if (static_cast<size_t>(slot) >= model.slots.size()) {
            why = "no such slot";
            return false;
        }
        run.serials[slot] = serial;
        return true;
    };
    return a;
}

void ShowAddresses(const StationServerSetup& server, bool openBrowser) {
    std::string host = LocalHostFor(server.address);
    std::string port = std::to_string(StationServerPort());
    std::string url = "http://" + host + ":" + port + "/?token=" + server.token;
    std::fprintf(stderr, "station: open %s\n", url.c_str());
    // Listening on every address, the one other machines reach it at is theirs to know.
    std::string other = server.address == "0.0.0.0" || server.address == "::"
                            ? std::string("<this machine's address>")
                            : TerminalText(server.address);
    if (!server.readOnlyToken.empty())
        std::fprintf(stderr,
                     "station: a read-only view, from other machines too: http://%s:%s/?token=%s\n",
                     other.c_str(), port.c_str(), server.readOnlyToken.c_str());
    std::fflush(stderr);
    if (openBrowser && !OpenInBrowser(url))
        std::fputs("station: no browser could be opened; open the address above\n", stderr);
}

bool SetUp(FlashOptions& o, std::vector<Slot>& slots, StationServerSetup& server) {
    o.loop = o.wait = true;
    o.waitSeconds = -1;
    o.skipCurrent = !o.reinstall;
    if (!GatherSlots(o, slots) || !ReadListen(o.listen, server)) return false;
    o.ports.clear();
    for (const Slot& s : slots) o.ports.push_back(s.port);
    if (!CheckArguments(o)) return false;
    if (!StationTextIsFit(o.operatorName) || !StationTextIsFit(o.lot))
        return Refuse("--operator and --lot take printable text of at most 64 characters");
    if (o.hasAccess) AccessMode = ParseAccessWord(o.access.c_str());
    return ReadImageCard(o.image, run.image) && OpenStationLine(o);
}

// The line's sender, on its own threads: the beat it sends, and the line's
// state into the run, for the page, the terminal and the next beat.
bool StartLine() {
    auto beat = [] {
        std::lock_guard<std::mutex> guard(FleetLock());
        return StationBeat(model, run).dump(-1, ' ', false, Json::error_handler_t::replace);
    };
    auto changed = [] {
        {
            std::lock_guard<std::mutex> guard(FleetLock());
            run.line = StationLineState();
        }
        NoteChanged();
    };
    return StartStationLine(beat, changed);
}

// The end: the line's last beat and deliveries, then the page's last state.
void EndRun() {
    {
        std::lock_guard<std::mutex> guard(FleetLock());
        run.ended = true;
    }
    NoteChanged();
    EndStationLine();
    StopStationServer();
}

}  // namespace

int RunStation(FlashOptions o) {
    std::vector<Slot> slots;
    StationServerSetup server;
    if (!SetUp(o, slots, server)) return ExitUsage;
    run.started = UtcTimestamp();
    run.startedAt = std::chrono::steady_clock::now();
    run.access = AccessName();
    run.operatorName = o.operatorName;
    run.lot = o.lot;
    run.onLine = StationOnLine();
    server.token = NewStationToken();
    if (!IsLoopback(server.address)) server.readOnlyToken = NewStationToken();
    server.actions = Actions();
    // The slots are in place before the server's thread starts, so they come
    // before any of its requests in the program's own order, not only through
    // the address printed and the socket.
    FleetSetup setup;
    setup.program = ProgramPath();
    for (const Slot& s : slots) {
        AddSlot(model, s.port, s.label);
        setup.arguments.push_back(ChildArguments(o, s.port));
    }
    std::string why;
    if (!StartStationServer(server, why)) {
        Refuse(why);
        EndStationLine();
        return ExitUsage;
    }
    if (!StartLine()) {
        StopStationServer();
        EndStationLine();
        return ExitUsage;
    }
    StartInterrupts(InterruptFinishesFirst);
    setup.keepRecord = [&o](const UpgradeRecord& record, std::string& why) {
        return KeepRecord(o, record, why);
    };
    bool live = StderrIsTerminal() && EnableTerminalControls();
    ShowAddresses(server, !o.noBrowser);
    std::function<FleetStatus()> lineStatus;
    if (run.onLine) lineStatus = [] { return StationLineStatus(run.line); };
    setup.views = {TerminalFleetView(o, live, lineStatus), PageView(), InterruptForwarder(o)};
    RunFleet(model, setup);
    EndRun();
    std::lock_guard<std::mutex> guard(FleetLock());
    return ShowFleetSummary(model, o, Interrupted());
}
