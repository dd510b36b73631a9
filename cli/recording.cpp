#include "cli/recording.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "cli/cli_platform.h"
#include "cli/output_files.h"
#include "cli/report.h"
#include "codec/image_header.h"
#include "serial/serial.h"
#include "upgrade/image.h"
#include "upgrade/progress.h"
#include "upgrade/upgrade.h"

namespace {

using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;

enum { RecordingFormat = 1, LookMs = 10, MostNameChoices = 1000 };

struct Piece {
    int64_t us;
    bool toScanner;
    std::string bytes;
    std::string phase;
    int32_t block;
};

struct Recorder {
    std::mutex lock;
    std::condition_variable queued;
    std::deque<Piece> pieces;
    bool stop = false;
    std::FILE* file = nullptr;
    Clock::time_point started;
    bool monitor = false;
    std::string phase = "handshake";  // of the last write: what is received now answers it
    int32_t block = 0;
    std::thread writer;
    bool toFolder = false;
    std::string partial, final;  // written as, and moved to once complete
    std::string failure;         // the first write that failed, in words
} rec;

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char b : bytes) {
        hex += digits[b >> 4];
        hex += digits[b & 15];
    }
    return hex;
}

// On the upgrade's thread, where the run's record may be read.
const char* PhaseOfRun() {
    switch (UpgradeRun.phase) {
        case PhaseIdentity:
            return UpgradeRun.step == StepKeyCode ? "key-code" : "identity";
        case PhaseErasing:
            return UpgradeRun.step == StepParameterErase ? "parameter-erase" : "flash-erase";
        case PhaseUploading:
            return "upload";
        case PhaseStarting:
        case PhaseFinished:
            return "start";
        default:
            return "handshake";
    }
}

void Tap(bool toScanner, const unsigned char* bytes, int count) {
    Piece piece{0, toScanner, std::string(reinterpret_cast<const char*>(bytes), count), "", 0};
    const bool monitor = rec.monitor;
    std::lock_guard<std::mutex> guard(rec.lock);
    piece.us =
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - rec.started).count();
    if (toScanner && !monitor) {
        rec.phase = PhaseOfRun();
        rec.block = UpgradeRun.phase == PhaseUploading ? UpgradeRun.block : 0;
    }
    piece.phase = monitor ? "monitor" : rec.phase;
    piece.block = rec.block;
    rec.pieces.push_back(std::move(piece));
}

std::string PieceLine(const Piece& p) {
    Json line = {{"us", p.us},
                 {"dir", p.toScanner ? "to-scanner" : "from-scanner"},
                 {"bytes", Hex(p.bytes)},
                 {"phase", p.phase}};
    if (p.block > 0) line["block"] = p.block;
    return line.dump();
}

// The first failure is kept; what follows it adds nothing.
void NoteFailure() {
    if (rec.failure.empty()) rec.failure = std::strerror(errno);
}

void WriteText(const std::string& line) {
    if (std::fprintf(rec.file, "%s\n", line.c_str()) < 0) NoteFailure();
}

void Flush() {
    if (std::fflush(rec.file) != 0) NoteFailure();
}

void WriteLine(const std::string& line) {
    WriteText(line);
    Flush();
}

// Every piece queued, in order, each batch flushed. The writer looks every
// few milliseconds rather than being woken for each piece, which would take
// a core from the upgrade just as it answers.
void WriteQueued() {
    std::unique_lock<std::mutex> guard(rec.lock);
    for (;;) {
        rec.queued.wait_for(guard, std::chrono::milliseconds(LookMs), [] { return rec.stop; });
        std::deque<Piece> pieces;
        pieces.swap(rec.pieces);
        bool stopping = rec.stop;
        guard.unlock();
        for (const Piece& p : pieces) WriteText(PieceLine(p));
        Flush();
        guard.lock();
        if (stopping && rec.pieces.empty()) return;
    }
}

std::string StampNow() {
    std::time_t now = std::time(nullptr);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", std::gmtime(&now));
    return stamp;
}

std::string HexDigest(uint64_t digest) {
    char text[32];
    std::snprintf(text, sizeof text, "fnv1a64:%016llx", static_cast<unsigned long long>(digest));
    return text;
}

// The image as the upgrade will measure it; null when it cannot be read.
Json ImageJson(const std::string& path) {
    if (OpenImage(path.c_str()) < 0) return {{"path", path}, {"size", nullptr}};
    Json image = {{"path", path},
                  {"size", ImageSize()},
                  {"payload", ImagePayloadSize()},
                  {"digest", HexDigest(ImageDigest())},
                  {"header", nullptr}};
    if (DecodeMeasuredHeader())
        image["header"] =
            IdentityJson(ImageId.customerId, ImageId.moduleNo, ImageId.hardware, ImageId.software);
    CloseImage();
    return image;
}

std::string StartLine(const RecordingStart& s) {
    Json line = {{"record", "start"},
                 {"format", RecordingFormat},
                 {"utility", FlashVersionText()},
                 {"time", UtcTimestamp()},
                 {"port", s.port},
                 {"device", s.device},
                 {"line",
                  {{"baud", s.baud},
                   {"data_bits", 8},
                   {"parity", "none"},
                   {"stop_bits", 1},
                   {"flow_control", "none"},
                   {"dtr", true},
                   {"rts", true}}},
                 {"access", AccessName()},
                 {"image", nullptr}};
    if (!s.image.empty()) line["image"] = ImageJson(s.image);
    return line.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string EndLine(const RecordingEnd& e) {
    Json line = {{"record", "end"}, {"exit", e.exitStatus}, {"seconds", e.seconds}};
    if (!rec.monitor) {
        line.update(RunResultJson(e.outcome, e.message));
        line["line_lost"] = UpgradeRun.lineLost;
    }
    return line.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// "/dev/serial/by-id/usb-X" as "dev_serial_by-id_usb-X".
std::string FileNameOf(const std::string& port) {
    std::string name;
    for (char c : port) name += (c == '/' || c == '\\' || c == ':') ? '_' : c;
    while (!name.empty() && name[0] == '_') name.erase(0, 1);
    return name.empty() ? "port" : name;
}

// The n-th choice of a name for the recording of `port`: FILE itself, or in
// the folder FILE a name after the port and the time, a number added after
// the first choice. Names are kept apart by taking them exclusively.
std::string FinalName(const FlashOptions& o, const std::string& port, const std::string& stamp,
                      int n) {
    if (!RecordsToFolder(o)) return o.record;
    std::string stem = FileNameOf(port) + "-" + stamp + (n > 1 ? "-" + std::to_string(n) : "");
    return (std::filesystem::path(o.record) / (stem + ".jsonl")).string();
}

std::string PartialName(const std::string& final, int n) {
    return final + (n > 1 ? "." + std::to_string(n) : "") + ".partial";
}

bool Exists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

// A partial file taken exclusively; in a folder also a final name still free.
std::FILE* OpenPartial(const FlashOptions& o, const std::string& port, std::string& why) {
    std::error_code ec;
    if (RecordsToFolder(o)) std::filesystem::create_directories(o.record, ec);
    std::string stamp = StampNow();
    for (int n = 1; n <= MostNameChoices; ++n) {
        rec.final = FinalName(o, port, stamp, n);
        rec.partial = PartialName(rec.final, RecordsToFolder(o) ? 1 : n);
        if (RecordsToFolder(o) && Exists(rec.final)) continue;
        std::FILE* file = OpenOutputFile(rec.partial, true, why);
        if (file || Exists(rec.partial) == false) return file;
    }
    why = "no free name for it";
    return nullptr;
}

// Into place: over FILE, or under a name in the folder that nobody took meanwhile.
bool MoveIntoPlace(std::string& why) {
    if (!rec.toFolder) return MoveOutputFile(rec.partial, rec.final, true, why) == Moved;
    std::string stem = rec.final.substr(0, rec.final.size() - 6);  // without ".jsonl"
    for (int n = 1; n <= MostNameChoices; ++n) {
        std::string name = n == 1 ? rec.final : stem + "-" + std::to_string(n) + ".jsonl";
        MoveResult moved = MoveOutputFile(rec.partial, name, false, why);
        if (moved == Moved) {
            rec.final = name;
            return true;
        }
        if (moved == MoveFailed) return false;
    }
    return false;
}

}  // namespace

bool StartRecording(const FlashOptions& o, const RecordingStart& start, std::string& why) {
    std::string ignored;
    FinishRecording(RecordingEnd(), ignored);
    rec.toFolder = RecordsToFolder(o);
    rec.file = OpenPartial(o, start.port, why);
    if (!rec.file) {
        why = "cannot write the recording " + rec.partial + ": " + why;
        return false;
    }
    rec.failure.clear();
    rec.monitor = start.image.empty();
    rec.phase = "handshake";
    rec.block = 0;
    rec.stop = false;
    WriteLine(StartLine(start));
    rec.started = Clock::now();
    rec.writer = std::thread(WriteQueued);
    SerialSetLineTap(Tap);
    return true;
}

bool FinishRecording(const RecordingEnd& end, std::string& why) {
    if (!rec.file) return true;
    SerialSetLineTap(nullptr);
    {
        std::lock_guard<std::mutex> guard(rec.lock);
        rec.stop = true;
    }
    rec.queued.notify_one();
    rec.writer.join();
    WriteLine(EndLine(end));
    if (std::fclose(rec.file) != 0) NoteFailure();
    rec.file = nullptr;
    if (rec.failure.empty() && MoveIntoPlace(rec.failure)) return true;
    why = "the recording " + rec.partial + " is incomplete: " + rec.failure;
    return false;
}
