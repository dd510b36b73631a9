#include "cli/recording.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>

#include "cli/cli_platform.h"
#include "cli/output_files.h"
#include "cli/report.h"
#include "codec/image_header.h"
#include "events/recording_format.h"
#include "serial/background_writer.h"
#include "serial/serial.h"
#include "upgrade/image.h"
#include "upgrade/upgrade.h"

namespace {

using Clock = std::chrono::steady_clock;

// Room for a minute of a busy line while the writer is held up elsewhere.
enum { RecordingBound = 16 << 20, MostNameChoices = 1000 };

struct Recorder {
    std::mutex lock;  // a write is tapped under it, as a piece received is: order kept
    std::FILE* file = nullptr;
    Clock::time_point started;
    bool monitor = false;
    RunPhase phase = RunPhase::Handshake;  // of the last write: what is received now answers it
    int32_t block = 0;
    bool toFolder = false;
    std::string partial, final;  // written as, and moved to once complete
    std::string failure;         // the first write that failed, in words
    uint64_t lostBefore = 0;     // bytes the writer dropped before this recording
} rec;

// The first failure is kept; what follows it adds nothing. On the writer's thread.
void NoteFailure() {
    if (rec.failure.empty()) rec.failure = std::strerror(errno);
}

void WriteToFile(void*, const char* bytes, size_t count) {
    if (std::fwrite(bytes, 1, count, rec.file) != count) NoteFailure();
}

void FlushFile(void*) {
    if (std::fflush(rec.file) != 0) NoteFailure();
}

const WriterSink kFile = {WriteToFile, FlushFile, nullptr, RecordingBound};

void Post(const std::string& line) {
    PostToWriter(&kFile, line + "\n");
}

// On the upgrade's thread for a write, where the run's record may be read.
void Tap(bool toScanner, const unsigned char* bytes, int count) {
    RecordedPiece piece;
    piece.toScanner = toScanner;
    piece.bytes.assign(bytes, bytes + count);
    std::lock_guard<std::mutex> guard(rec.lock);
    piece.us =
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - rec.started).count();
    if (toScanner && !rec.monitor) {
        rec.phase = UpgradeRun.phase;
        rec.block = UpgradeRun.phase == RunPhase::Upload ? UpgradeRun.block : 0;
    }
    piece.phase = rec.monitor ? RunPhase::Monitor : rec.phase;
    piece.block = rec.block;
    Post(EncodePieceLine(piece));
}

std::string StampNow() {
    std::time_t now = std::time(nullptr);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", std::gmtime(&now));
    return stamp;
}

// The image as the upgrade will measure it; only its path when it cannot be read.
RecordedImage ImageFacts(const std::string& path) {
    RecordedImage image;
    image.path = path;
    image.readable = OpenImage(path.c_str()) >= 0;
    if (!image.readable) return image;
    image.size = ImageSize();
    image.payload = ImagePayloadSize();
    image.digest = ImageDigest();
    if (DecodeMeasuredHeader())
        image.header = RecordedIdentity{ImageId.customerId, ImageId.moduleNo, ImageId.hardware,
                                        ImageId.software};
    CloseImage();
    return image;
}

RecordedStart StartOf(const RecordingStart& s) {
    RecordedStart start;
    start.utility = FlashVersionText();
    start.time = UtcTimestamp();
    start.port = s.port;
    start.device = s.device;
    start.line.baud = s.baud;
    start.access = AccessName();
    if (!s.image.empty()) start.image = ImageFacts(s.image);
    return start;
}

RecordedEnd EndOf(const RecordingEnd& e) {
    RecordedEnd end;
    end.exit = e.exitStatus;
    end.seconds = e.seconds;
    if (rec.monitor) return end;
    RecordedResult r;
    r.outcome = OutcomeName(e.outcome);
    r.message = e.message;
    r.upgradeOutcome = OutcomeName(UpgradeRun.upgradeOutcome);
    r.upgradeMessage = UpgradeRun.upgradeMessage;
    r.started = UpgradeRun.started;
    r.lineLost = UpgradeRun.lineLost;
    r.blocksSent = UpgradeRun.blocksSent;
    r.blocksResent = UpgradeRun.blocksResent;
    end.result = r;
    return end;
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
    rec.lostBefore = WriterLostBytes(&kFile);
    rec.monitor = start.image.empty();
    rec.phase = RunPhase::Handshake;
    rec.block = 0;
    Post(EncodeStartLine(StartOf(start)));
    rec.started = Clock::now();
    SerialSetLineTap(Tap);
    return true;
}

bool FinishRecording(const RecordingEnd& end, std::string& why) {
    if (!rec.file) return true;
    SerialSetLineTap(nullptr);
    Post(EncodeEndLine(EndOf(end)));
    FlushWriter();
    if (std::fclose(rec.file) != 0) NoteFailure();
    rec.file = nullptr;
    uint64_t lost = WriterLostBytes(&kFile) - rec.lostBefore;
    if (lost > 0 && rec.failure.empty())
        rec.failure = std::to_string(lost) + " bytes found no room while the writer was held up";
    if (rec.failure.empty() && MoveIntoPlace(rec.failure)) return true;
    why = "the recording " + rec.partial + " is incomplete: " + rec.failure;
    return false;
}
