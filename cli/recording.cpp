#include "cli/recording.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <deque>
#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "cli/report.h"
#include "codec/image_header.h"
#include "serial/serial.h"
#include "upgrade/image.h"
#include "upgrade/progress.h"
#include "upgrade/upgrade.h"

namespace {

using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;

enum { RecordingFormat = 1, LookMs = 10 };

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
        for (const Piece& p : pieces) std::fprintf(rec.file, "%s\n", PieceLine(p).c_str());
        std::fflush(rec.file);
        guard.lock();
        if (stopping && rec.pieces.empty()) return;
    }
}

void WriteLine(const std::string& line) {
    std::fprintf(rec.file, "%s\n", line.c_str());
    std::fflush(rec.file);
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

}  // namespace

std::string RecordingPath(const FlashOptions& o, const std::string& port) {
    if (!o.child && !o.loop && o.ports.size() < 2) return o.record;
    std::error_code ec;
    std::filesystem::create_directories(o.record, ec);
    std::time_t now = std::time(nullptr);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", std::gmtime(&now));
    static int upgrades = 0;
    return (std::filesystem::path(o.record) /
            (FileNameOf(port) + "-" + stamp + "-" + std::to_string(++upgrades) + ".jsonl"))
        .string();
}

bool StartRecording(const std::string& path, const RecordingStart& start) {
    FinishRecording(RecordingEnd());
    rec.file = std::fopen(path.c_str(), "wb");
    if (!rec.file) return false;
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

void FinishRecording(const RecordingEnd& end) {
    if (!rec.file) return;
    SerialSetLineTap(nullptr);
    {
        std::lock_guard<std::mutex> guard(rec.lock);
        rec.stop = true;
    }
    rec.queued.notify_one();
    rec.writer.join();
    WriteLine(EndLine(end));
    std::fclose(rec.file);
    rec.file = nullptr;
}
