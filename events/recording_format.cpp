#include "events/recording_format.h"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>

namespace {

using Json = nlohmann::json;

// Every name and literal of the format.
const char kRecord[] = "record", kStart[] = "start", kEnd[] = "end";
const char kFormat[] = "format", kUtility[] = "utility", kTime[] = "time", kPort[] = "port",
           kDevice[] = "device", kLine[] = "line", kAccess[] = "access", kImage[] = "image";
const char kBaud[] = "baud", kDataBits[] = "data_bits", kParity[] = "parity",
           kStopBits[] = "stop_bits", kFlowControl[] = "flow_control", kDtr[] = "dtr",
           kRts[] = "rts";
const char kPath[] = "path", kSize[] = "size", kPayload[] = "payload", kDigest[] = "digest",
           kHeader[] = "header";
const char kCustomer[] = "customer", kModule[] = "module", kHardware[] = "hardware",
           kSoftware[] = "software";
const char kUs[] = "us", kDir[] = "dir", kBytes[] = "bytes", kPhase[] = "phase", kBlock[] = "block";
const char kToScanner[] = "to-scanner", kFromScanner[] = "from-scanner";
const char kExit[] = "exit", kSeconds[] = "seconds", kOutcome[] = "outcome", kMessage[] = "message",
           kUpgradeOutcome[] = "upgrade_outcome", kUpgradeMessage[] = "upgrade_message",
           kStarted[] = "started", kLineLost[] = "line_lost", kBlocksSent[] = "blocks_sent",
           kBlocksResent[] = "blocks_resent";
const char kDigestPrefix[] = "fnv1a64:";
constexpr size_t kDigestDigits = 16;
constexpr int64_t kInt32Max = std::numeric_limits<int32_t>::max();

// Identity texts are the scanner's bytes: what is not UTF-8 is replaced, never refused.
std::string DumpReplacing(const Json& j) {
    return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string Hex(const uint8_t* bytes, size_t count) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(count * 2);
    for (size_t i = 0; i < count; ++i) {
        hex += digits[bytes[i] >> 4];
        hex += digits[bytes[i] & 15];
    }
    return hex;
}

std::string DigestText(uint64_t digest) {
    uint8_t bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(digest >> (56 - 8 * i));
    return kDigestPrefix + Hex(bytes, sizeof bytes);
}

Json IdentityJson(const RecordedIdentity& id) {
    return {{kCustomer, id.customer},
            {kModule, id.module},
            {kHardware, id.hardware},
            {kSoftware, id.software}};
}

Json ImageJson(const std::optional<RecordedImage>& image) {
    if (!image) return nullptr;
    if (!image->readable) return {{kPath, image->path}, {kSize, nullptr}};
    Json j = {{kPath, image->path},
              {kSize, image->size},
              {kPayload, image->payload},
              {kDigest, DigestText(image->digest)},
              {kHeader, nullptr}};
    if (image->header) j[kHeader] = IdentityJson(*image->header);
    return j;
}

Json LineJson(const RecordedLine& line) {
    return {{kBaud, line.baud},
            {kDataBits, line.dataBits},
            {kParity, line.parity},
            {kStopBits, line.stopBits},
            {kFlowControl, line.flowControl},
            {kDtr, line.dtr},
            {kRts, line.rts}};
}

// --- Reading -----------------------------------------------------------------

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool FromHex(const std::string& hex, std::vector<uint8_t>& bytes) {
    if (hex.size() % 2 != 0) return false;
    bytes.clear();
    bytes.reserve(hex.size() / 2);
    for (size_t i = 0; i < hex.size(); i += 2) {
        int high = HexDigit(hex[i]), low = HexDigit(hex[i + 1]);
        if (high < 0 || low < 0) return false;
        bytes.push_back(static_cast<uint8_t>(high << 4 | low));
    }
    return true;
}

bool DigestFromText(const std::string& text, uint64_t& digest) {
    const size_t prefix = sizeof kDigestPrefix - 1;
    std::vector<uint8_t> bytes;
    if (text.size() != prefix + kDigestDigits || text.compare(0, prefix, kDigestPrefix) != 0 ||
        !FromHex(text.substr(prefix), bytes))
        return false;
    digest = 0;
    for (uint8_t b : bytes) digest = digest << 8 | b;
    return true;
}

// A value as it stands in the line, cut short: for saying what is wrong with it.
std::string Shown(const Json& value) {
    std::string text = DumpReplacing(value);
    return text.size() > 40 ? text.substr(0, 37) + "..." : text;
}

// The fields of one object, each checked as it is taken; the first problem
// is kept in `error`, named by the field's path ("image.header.module").
class Fields {
   public:
    Fields(const Json& object, std::string& error, std::string prefix = "")
        : object_(object), error_(error), prefix_(std::move(prefix)) {}

    const Json* Find(const char* key) const {
        auto it = object_.find(key);
        return it == object_.end() ? nullptr : &*it;
    }

    bool Text(const char* key, std::string& out) {
        const Json* v = Present(key);
        if (!v) return false;
        if (!v->is_string()) return Wrong(key, *v, "is not a text");
        out = v->get_ref<const std::string&>();
        return true;
    }

    bool Flag(const char* key, bool& out) {
        const Json* v = Present(key);
        if (!v) return false;
        if (!v->is_boolean()) return Wrong(key, *v, "is not true or false");
        out = v->get<bool>();
        return true;
    }

    bool Integer(const char* key, int64_t min, int64_t max, int64_t& out) {
        const Json* v = Present(key);
        if (!v) return false;
        bool fits = false;
        if (v->is_number_unsigned()) {
            uint64_t u = v->get<uint64_t>();
            fits = u <= static_cast<uint64_t>(max) && (min <= 0 || u >= static_cast<uint64_t>(min));
            if (fits) out = static_cast<int64_t>(u);
        } else if (v->is_number_integer()) {
            int64_t i = v->get<int64_t>();
            fits = i >= min && i <= max;
            if (fits) out = i;
        }
        if (fits) return true;
        return Wrong(
            key, *v,
            "is not an integer from " + std::to_string(min) + " to " + std::to_string(max));
    }

    template <typename T>
    bool Integer(const char* key, int64_t min, int64_t max, T& out) {
        int64_t wide = 0;
        if (!Integer(key, min, max, wide)) return false;
        out = static_cast<T>(wide);
        return true;
    }

    bool Number(const char* key, double min, double max, double& out) {
        const Json* v = Present(key);
        if (!v) return false;
        if (v->is_number()) {
            double d = v->get<double>();
            if (std::isfinite(d) && d >= min && d <= max) {
                out = d;
                return true;
            }
        }
        return Wrong(key, *v, "is not a number from " + Shown(min) + " to " + Shown(max));
    }

    // An object nested under `key`, or null when `nullable`.
    const Json* Object(const char* key, bool nullable) {
        const Json* v = Present(key);
        if (!v) return nullptr;
        if (v->is_object() || (nullable && v->is_null())) return v;
        Wrong(key, *v, nullable ? "is neither an object nor null" : "is not an object");
        return nullptr;
    }

    std::string Path(const char* key) const { return prefix_ + key; }

    bool Wrong(const char* key, const Json& value, const std::string& what) {
        error_ = Path(key) + ": " + Shown(value) + " " + what;
        return false;
    }

   private:
    const Json* Present(const char* key) {
        const Json* v = Find(key);
        if (!v) error_ = "no \"" + Path(key) + "\"";
        return v;
    }

    const Json& object_;
    std::string& error_;
    std::string prefix_;
};

bool ParseIdentity(const Json& j, std::string& error, RecordedIdentity& id) {
    Fields f(j, error, std::string(kImage) + "." + kHeader + ".");
    return f.Text(kCustomer, id.customer) && f.Text(kModule, id.module) &&
           f.Text(kHardware, id.hardware) && f.Text(kSoftware, id.software);
}

bool ParseImage(const Json& j, std::string& error, RecordedImage& image) {
    Fields f(j, error, std::string(kImage) + ".");
    if (!f.Text(kPath, image.path)) return false;
    const Json* size = f.Find(kSize);
    image.readable = !(size && size->is_null());
    if (!image.readable) return true;
    std::string digest;
    if (!f.Integer(kSize, 0, kInt32Max, image.size) ||
        !f.Integer(kPayload, 0, kInt32Max, image.payload) || !f.Text(kDigest, digest))
        return false;
    if (!DigestFromText(digest, image.digest))
        return f.Wrong(kDigest, digest, "is not \"fnv1a64:\" and 16 hex digits");
    const Json* header = f.Object(kHeader, true);
    if (!header) return false;
    if (header->is_null()) return true;
    image.header.emplace();
    return ParseIdentity(*header, error, *image.header);
}

bool ParseLineSettings(const Json& j, std::string& error, RecordedLine& line) {
    Fields f(j, error, std::string(kLine) + ".");
    return f.Integer(kBaud, 0, kInt32Max, line.baud) && f.Integer(kDataBits, 5, 8, line.dataBits) &&
           f.Text(kParity, line.parity) && f.Integer(kStopBits, 1, 2, line.stopBits) &&
           f.Text(kFlowControl, line.flowControl) && f.Flag(kDtr, line.dtr) &&
           f.Flag(kRts, line.rts);
}

bool ParseStart(const Json& j, std::string& error, RecordedStart& s) {
    Fields f(j, error);
    int64_t format = 0;
    if (!f.Integer(kFormat, 1, kInt32Max, format)) return false;
    if (format > kRecordingFormat) {
        error = "format " + std::to_string(format) + " is newer than this program reads (" +
                std::to_string(kRecordingFormat) + ")";
        return false;
    }
    s.format = static_cast<int>(format);
    if (!f.Text(kUtility, s.utility) || !f.Text(kTime, s.time) || !f.Text(kPort, s.port) ||
        !f.Text(kDevice, s.device) || !f.Text(kAccess, s.access))
        return false;
    const Json* line = f.Object(kLine, false);
    if (!line || !ParseLineSettings(*line, error, s.line)) return false;
    const Json* image = f.Object(kImage, true);
    if (!image) return false;
    if (image->is_null()) return true;
    s.image.emplace();
    return ParseImage(*image, error, *s.image);
}

bool ParsePiece(const Json& j, std::string& error, RecordedPiece& p) {
    Fields f(j, error);
    std::string dir, bytes, phase;
    if (!f.Integer(kUs, 0, kMaxRecordingMicroseconds, p.us) || !f.Text(kDir, dir) ||
        !f.Text(kBytes, bytes) || !f.Text(kPhase, phase))
        return false;
    if (dir != kToScanner && dir != kFromScanner)
        return f.Wrong(
            kDir, dir,
            std::string("is neither \"") + kToScanner + "\" nor \"" + kFromScanner + "\"");
    p.toScanner = dir == kToScanner;
    if (!FromHex(bytes, p.bytes))
        return f.Wrong(kBytes, bytes, "is not an even number of hex digits");
    if (!RunPhaseFromName(phase, p.phase))
        return f.Wrong(kPhase, phase, "is not the name of a phase");
    p.block = 0;
    return !f.Find(kBlock) || f.Integer(kBlock, 1, kInt32Max, p.block);
}

bool ParseEnd(const Json& j, std::string& error, RecordedEnd& e) {
    Fields f(j, error);
    if (!f.Integer(kExit, std::numeric_limits<int32_t>::min(), kInt32Max, e.exit) ||
        !f.Number(kSeconds, 0, kMaxRecordingMicroseconds / 1e6, e.seconds))
        return false;
    e.result.reset();
    if (!f.Find(kOutcome)) return true;  // monitor mode
    RecordedResult& r = e.result.emplace();
    return f.Text(kOutcome, r.outcome) && f.Text(kMessage, r.message) &&
           f.Text(kUpgradeOutcome, r.upgradeOutcome) && f.Text(kUpgradeMessage, r.upgradeMessage) &&
           f.Flag(kStarted, r.started) && f.Flag(kLineLost, r.lineLost) &&
           f.Integer(kBlocksSent, 0, kInt32Max, r.blocksSent) &&
           f.Integer(kBlocksResent, 0, kInt32Max, r.blocksResent);
}

// Lines of at most kMaxRecordingLineBytes from at most kMaxRecordingBytes.
class LineReader {
   public:
    explicit LineReader(std::istream& in) : buf_(in.rdbuf()) {}

    // False at the end, or when a bound is crossed (then `TooLong` or `TooBig`).
    bool Next(std::string& line, bool& terminated) {
        line.clear();
        terminated = false;
        if (!buf_) return false;
        for (;;) {
            const int c = buf_->sbumpc();
            if (c == std::char_traits<char>::eof()) return !line.empty();
            if (++total_ > kMaxRecordingBytes) {
                tooBig_ = true;
                return false;
            }
            if (c == '\n') {
                terminated = true;
                return true;
            }
            if (line.size() >= kMaxRecordingLineBytes) {
                tooLong_ = true;
                return false;
            }
            line.push_back(static_cast<char>(c));
        }
    }

    bool TooLong() const { return tooLong_; }
    bool TooBig() const { return tooBig_; }

   private:
    std::streambuf* buf_;
    uint64_t total_ = 0;
    bool tooLong_ = false, tooBig_ = false;
};

// Where the lines stand so far: what may come next.
class RecordingBuilder {
   public:
    explicit RecordingBuilder(Recording& out) : out_(out) { out_ = Recording(); }

    bool Add(RecordingLine& line, std::string& error) {
        if (out_.end) return Fail(error, "a line after the end object");
        switch (line.kind) {
            case RecordingLineKind::Start:
                if (out_.start) return Fail(error, "a second start object");
                out_.start = std::move(line.start);
                return true;
            case RecordingLineKind::Piece:
                if (line.piece.us < lastUs_)
                    return Fail(error, "us falls from " + std::to_string(lastUs_) + " to " +
                                           std::to_string(line.piece.us));
                lastUs_ = line.piece.us;
                out_.pieces.push_back(std::move(line.piece));
                return true;
            case RecordingLineKind::End:
                out_.end = std::move(line.end);
                return true;
        }
        return Fail(error, "a line of no known kind");
    }

    bool Empty() const { return !out_.start && out_.pieces.empty() && !out_.end; }

   private:
    static bool Fail(std::string& error, const std::string& what) {
        error = what;
        return false;
    }

    Recording& out_;
    int64_t lastUs_ = 0;
};

bool FailAt(std::string& error, const std::string& name, uint64_t line, const std::string& what) {
    error = name + ":" + std::to_string(line) + ": " + what;
    return false;
}

}  // namespace

std::string EncodeStartLine(const RecordedStart& s) {
    Json line = {{kRecord, kStart},         {kFormat, s.format}, {kUtility, s.utility},
                 {kTime, s.time},           {kPort, s.port},     {kDevice, s.device},
                 {kLine, LineJson(s.line)}, {kAccess, s.access}, {kImage, ImageJson(s.image)}};
    return DumpReplacing(line);
}

std::string EncodePieceLine(const RecordedPiece& p) {
    Json line = {{kUs, p.us},
                 {kDir, p.toScanner ? kToScanner : kFromScanner},
                 {kBytes, Hex(p.bytes.data(), p.bytes.size())},
                 {kPhase, RunPhaseName(p.phase)}};
    if (p.block > 0) line[kBlock] = p.block;
    return line.dump();
}

std::string EncodeEndLine(const RecordedEnd& e) {
    Json line = {{kRecord, kEnd}, {kExit, e.exit}, {kSeconds, e.seconds}};
    if (e.result) {
        const RecordedResult& r = *e.result;
        line[kOutcome] = r.outcome;
        line[kMessage] = r.message;
        line[kUpgradeOutcome] = r.upgradeOutcome;
        line[kUpgradeMessage] = r.upgradeMessage;
        line[kStarted] = r.started;
        line[kLineLost] = r.lineLost;
        line[kBlocksSent] = r.blocksSent;
        line[kBlocksResent] = r.blocksResent;
    }
    return DumpReplacing(line);
}

std::string EncodeRecordingLine(const RecordingLine& line) {
    switch (line.kind) {
        case RecordingLineKind::Start:
            return EncodeStartLine(line.start);
        case RecordingLineKind::Piece:
            return EncodePieceLine(line.piece);
        case RecordingLineKind::End:
            return EncodeEndLine(line.end);
    }
    return "";
}

bool ParseRecordingLine(const std::string& text, RecordingLine& line, std::string& error) {
    if (text.size() > kMaxRecordingLineBytes) {
        error = "longer than " + std::to_string(kMaxRecordingLineBytes) + " bytes";
        return false;
    }
    const Json j = Json::parse(text, nullptr, false);
    if (!j.is_object()) {
        error = "not a JSON object";
        return false;
    }
    Fields f(j, error);
    const Json* record = f.Find(kRecord);
    if (!record) {
        line.kind = RecordingLineKind::Piece;
        return ParsePiece(j, error, line.piece);
    }
    if (*record == kStart) {
        line.kind = RecordingLineKind::Start;
        line.start = RecordedStart();
        return ParseStart(j, error, line.start);
    }
    if (*record == kEnd) {
        line.kind = RecordingLineKind::End;
        return ParseEnd(j, error, line.end);
    }
    return f.Wrong(kRecord, *record,
                   std::string("is neither \"") + kStart + "\" nor \"" + kEnd + "\"");
}

bool ParseRecording(std::istream& in, const std::string& name, Recording& out, std::string& error) {
    RecordingBuilder builder(out);
    LineReader reader(in);
    std::string text, why;
    bool terminated = false;
    uint64_t number = 0;
    RecordingLine line;
    while (reader.Next(text, terminated)) {
        ++number;
        if (!text.empty() && text.back() == '\r') text.pop_back();
        if (text.empty()) continue;
        // The last line, cut off by a crash in the middle of writing it.
        if (!terminated && !Json::accept(text)) break;
        if (!ParseRecordingLine(text, line, why) || !builder.Add(line, why))
            return FailAt(error, name, number, why);
    }
    if (reader.TooLong())
        return FailAt(error, name, number + 1,
                      "longer than " + std::to_string(kMaxRecordingLineBytes) + " bytes");
    if (reader.TooBig()) {
        error = name + ": larger than " + std::to_string(kMaxRecordingBytes) + " bytes";
        return false;
    }
    if (builder.Empty()) {
        error = name + ": no object at all: not a recording";
        return false;
    }
    return true;
}

bool ReadRecording(const std::string& path, Recording& out, std::string& error) {
    namespace fs = std::filesystem;
    std::error_code ec;
    // Looked at without opening it: a FIFO or a device is never read.
    const fs::file_status status = fs::status(path, ec);
    if (status.type() == fs::file_type::not_found) {
        error = path + ": no such file";
        return false;
    }
    if (ec) {
        error = path + ": cannot be read: " + ec.message();
        return false;
    }
    if (!fs::is_regular_file(status)) {
        error = path + (fs::is_directory(status) ? ": a directory" : ": not a regular file") +
                ", not a recording";
        return false;
    }
    const uintmax_t size = fs::file_size(path, ec);
    if (!ec && size > kMaxRecordingBytes) {
        error = path + ": " + std::to_string(size) + " bytes, larger than " +
                std::to_string(kMaxRecordingBytes) + " bytes";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": cannot be opened";
        return false;
    }
    return ParseRecording(in, path, out, error);
}
