// The recording format: every line the utility writes reads back to the same
// values and the same bytes, and whatever else a file holds is refused with
// its file and line, quickly and without growing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <vector>

#include "events/recording_format.h"

namespace fs = std::filesystem;

namespace {

const char kStartText[] =
    R"({"access":"end-user","device":"/dev/pts/1","format":1,"image":{"digest":"fnv1a64:c08e5d449814b184","header":{"customer":"ORVANE","hardware":"HW-A1","module":"5800","software":"1.00.01"},"path":"fw.bin","payload":1976,"size":3000},"line":{"baud":57600,"data_bits":8,"dtr":true,"flow_control":"none","parity":"none","rts":true,"stop_bits":1},"port":"/dev/pts/1","record":"start","time":"2026-12-07T12:40:55Z","utility":"orvane-flash 1.0.0"})";

std::string Piece(int64_t us, const char* dir = "to-scanner", const char* bytes = "0d") {
    return R"({"us":)" + std::to_string(us) + R"(,"dir":")" + dir + R"(","bytes":")" + bytes +
           R"(","phase":"handshake"})";
}

// The error for one line, or "" when it is read.
std::string LineError(const std::string& text) {
    RecordingLine line;
    std::string error;
    return ParseRecordingLine(text, line, error) ? "" : error;
}

// The error for a whole recording, or "" when it is read.
std::string RecordingError(const std::string& text, Recording* out = nullptr) {
    Recording r;
    std::string error;
    std::istringstream in(text);
    bool ok = ParseRecording(in, "rec", out ? *out : r, error);
    EXPECT_EQ(ok, error.empty());
    return error;
}

std::string FileError(const std::string& path) {
    Recording r;
    std::string error;
    EXPECT_FALSE(ReadRecording(path, r, error));
    return error;
}

RecordingLine Parsed(const std::string& text) {
    RecordingLine line;
    std::string error;
    EXPECT_TRUE(ParseRecordingLine(text, line, error)) << error << " in " << text;
    return line;
}

class TempDir {
   public:
    TempDir() {
        path_ = fs::temp_directory_path() /
                ("orvane-rec-" + std::to_string(getpid()) + "-" +
                 std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
        fs::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    std::string File(const std::string& name, const std::string& text) const {
        std::string path = (path_ / name).string();
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    std::string Path(const std::string& name) const { return (path_ / name).string(); }

   private:
    fs::path path_;
};

}  // namespace

TEST(RecordingFormat, EveryKindOfLineReadsBackToItsValuesAndBytes) {
    RecordedStart start;
    start.utility = "orvane-flash 1.0.0 (abc)";
    start.time = "2026-12-07T12:40:55Z";
    start.port = "/dev/serial/by-id/usb-X";
    start.device = "/dev/ttyUSB0";
    start.line.baud = 57600;
    start.access = "reseller";
    RecordedImage& image = start.image.emplace();
    image.path = "fw.bin";
    image.size = 45000;
    image.payload = 43976;
    image.digest = 0x21766effcc2273eaull;
    image.header = RecordedIdentity{"ORVANE", "5800", "HW-A1", "1.00.01"};

    RecordingLine line = Parsed(EncodeStartLine(start));
    ASSERT_EQ(RecordingLineKind::Start, line.kind);
    EXPECT_EQ("/dev/serial/by-id/usb-X", line.start.port);
    EXPECT_EQ(57600, line.start.line.baud);
    EXPECT_EQ("reseller", line.start.access);
    ASSERT_TRUE(line.start.image && line.start.image->header);
    EXPECT_EQ(0x21766effcc2273eaull, line.start.image->digest);
    EXPECT_EQ("HW-A1", line.start.image->header->hardware);
    EXPECT_EQ(EncodeStartLine(start), EncodeStartLine(line.start));

    // An image that could not be read, an image without a header, and monitor mode.
    const char* shown[] = {R"("image":{"path":"gone.bin","size":null})", R"("header":null)",
                           R"("image":null)"};
    for (int variant = 0; variant < 3; ++variant) {
        RecordedStart s = start;
        if (variant == 0) s.image = RecordedImage{"gone.bin", false, 0, 0, 0, {}};
        if (variant == 1) s.image->header.reset();
        if (variant == 2) s.image.reset();
        const std::string text = EncodeStartLine(s);
        EXPECT_NE(std::string::npos, text.find(shown[variant])) << text;
        line = Parsed(text);
        EXPECT_EQ(text, EncodeStartLine(line.start));
        EXPECT_EQ(variant == 2, !line.start.image);
    }

    RecordedPiece piece{98731, true, {0x01, 0xfe, 0x00}, RunPhase::Upload, 7};
    line = Parsed(EncodePieceLine(piece));
    ASSERT_EQ(RecordingLineKind::Piece, line.kind);
    EXPECT_EQ(piece.bytes, line.piece.bytes);
    EXPECT_EQ(RunPhase::Upload, line.piece.phase);
    EXPECT_EQ(7, line.piece.block);
    EXPECT_EQ(R"({"block":7,"bytes":"01fe00","dir":"to-scanner","phase":"upload","us":98731})",
              EncodePieceLine(line.piece));
    piece = {1252, false, {0x0d, 0x0a}, RunPhase::KeyCode, 0};
    EXPECT_EQ(R"({"bytes":"0d0a","dir":"from-scanner","phase":"key-code","us":1252})",
              EncodePieceLine(piece));
    EXPECT_FALSE(Parsed(EncodePieceLine(piece)).piece.toScanner);

    RecordedEnd end{1, 0.19374376,
                    RecordedResult{"not-finished", "upgrade not finish!!!", "not-finished",
                                   "upgrade not finish!!!", false, true, 7, 10}};
    const std::string endText = EncodeEndLine(end);
    line = Parsed(endText);
    ASSERT_EQ(RecordingLineKind::End, line.kind);
    ASSERT_TRUE(line.end.result);
    EXPECT_TRUE(line.end.result->lineLost);
    EXPECT_EQ(10, line.end.result->blocksResent);
    EXPECT_EQ(endText, EncodeEndLine(line.end));
    EXPECT_EQ(R"({"exit":0,"record":"end","seconds":2.5})", EncodeEndLine(RecordedEnd{0, 2.5, {}}));
    EXPECT_FALSE(Parsed(R"({"exit":0,"record":"end","seconds":2.5})").end.result);
}

// The corpus was written by the utility itself: each line, read and encoded
// again, gives the very same bytes.
TEST(RecordingFormat, TheUtilitysOwnRecordingsReencodeByteForByte) {
    int files = 0;
    for (const auto& entry : fs::directory_iterator(ORVANE_RECORDINGS_DIR)) {
        if (entry.path().extension() != ".jsonl") continue;
        ++files;
        Recording r;
        std::string error;
        ASSERT_TRUE(ReadRecording(entry.path().string(), r, error)) << error;
        EXPECT_TRUE(r.end) << entry.path();
        std::ifstream in(entry.path());
        size_t pieces = 0;
        for (std::string text; std::getline(in, text);) {
            RecordingLine line = Parsed(text);
            pieces += line.kind == RecordingLineKind::Piece;
            EXPECT_EQ(text, EncodeRecordingLine(line)) << entry.path();
        }
        EXPECT_EQ(pieces, r.pieces.size());
    }
    EXPECT_GE(files, 6);
}

TEST(RecordingFormat, FieldsOfTheWrongTypeOrRangeAreRefusedByName) {
    const struct {
        std::string line, error;
    } cases[] = {
        {R"({"us":1,"dir":"to-scanner","bytes":13,"phase":"handshake"})",
         "bytes: 13 is not a text"},
        {R"({"us":"1","dir":"to-scanner","bytes":"0d","phase":"handshake"})",
         "us: \"1\" is not an integer"},
        {R"({"us":1.5,"dir":"to-scanner","bytes":"0d","phase":"handshake"})",
         "us: 1.5 is not an integer"},
        {R"({"us":-1,"dir":"to-scanner","bytes":"0d","phase":"handshake"})",
         "us: -1 is not an integer from 0"},
        {R"({"us":31622400000001,"dir":"to-scanner","bytes":"0d","phase":"handshake"})",
         "to 31622400000000"},
        {R"({"us":9223372036854775808,"dir":"to-scanner","bytes":"0d","phase":"handshake"})",
         "us: 9223372036854775808 is not"},
        {R"({"us":1e300,"dir":"to-scanner","bytes":"0d","phase":"handshake"})",
         "us: 1e+300 is not an integer"},
        {R"({"us":1,"dir":"sideways","bytes":"0d","phase":"handshake"})",
         "dir: \"sideways\" is neither"},
        {R"({"us":1,"dir":"to-scanner","bytes":"0d","phase":"whoru"})",
         "phase: \"whoru\" is not the name of a phase"},
        {R"({"us":1,"dir":"to-scanner","bytes":"0d","phase":"upload","block":0})",
         "block: 0 is not an integer from 1 to 2147483647"},
        {R"({"us":1,"dir":"to-scanner","bytes":"0d","phase":"upload","block":2147483648})",
         "block: 2147483648"},
        {R"({"us":1,"dir":"to-scanner","phase":"handshake"})", "no \"bytes\""},
        {R"({"record":"middle"})", "record: \"middle\" is neither \"start\" nor \"end\""},
        {R"({"record":"end","exit":"0","seconds":1})", "exit: \"0\" is not an integer"},
        {R"({"record":"end","exit":0,"seconds":-1})", "seconds: -1 is not a number"},
        {R"({"record":"end","exit":0,"seconds":1,"outcome":"success"})", "no \"message\""},
        {R"({"record":"start","format":2})", "format 2 is newer than this program reads (1)"},
        {R"({"record":"start","format":"1"})", "format: \"1\" is not an integer"},
        {R"({"record":"start","format":1})", "no \"utility\""},
        {"[1,2]", "not a JSON object"},
        {"{\"us\":1", "not a JSON object"},
        {"", "not a JSON object"},
        {std::string(kStartText).replace(std::string(kStartText).find("fnv1a64:c0"), 10, "md5:c0"),
         "image.digest: \"md5:c08e5d449814b184\" is not"},
        {std::string(kStartText)
             .replace(std::string(kStartText).find("\"baud\":57600"), 12, "\"baud\":true"),
         "line.baud: true is not an integer"},
        {std::string(kStartText)
             .replace(std::string(kStartText).find("\"customer\":\"ORVANE\""), 19,
                      "\"customer\":5"),
         "image.header.customer: 5 is not a text"},
    };
    for (const auto& c : cases) {
        std::string error = LineError(c.line);
        EXPECT_NE(std::string::npos, error.find(c.error)) << c.line << "\n  gave: " << error;
    }
    EXPECT_EQ("", LineError(kStartText));
}

TEST(RecordingFormat, BytesAreAnEvenNumberOfHexDigitsInEitherCase) {
    EXPECT_EQ((std::vector<uint8_t>{0x0d, 0x0a, 0xff}),
              Parsed(Piece(1, "to-scanner", "0D0aFf")).piece.bytes);
    EXPECT_TRUE(Parsed(Piece(1, "to-scanner", "")).piece.bytes.empty());
    for (const char* bad : {"0d0", "zz", "0dzz", "0x0d", "0d 0a", "0d\\u0000"})
        EXPECT_NE(std::string::npos, LineError(Piece(1, "to-scanner", bad)).find("bytes:")) << bad;
}

TEST(RecordingFormat, ARecordingMayLackItsStartOrItsEndButNotEverything) {
    const std::string start = std::string(kStartText) + "\n";
    const std::string end = R"({"exit":0,"record":"end","seconds":1.5})";
    Recording r;
    // A crashed run: no end object, and its last line cut off in the middle.
    EXPECT_EQ("", RecordingError(start + Piece(5) + "\n" + Piece(7) + "\n{\"us\":9,\"di", &r));
    EXPECT_EQ(2u, r.pieces.size());
    EXPECT_TRUE(r.start);
    EXPECT_FALSE(r.end);
    // The start object after the first piece, or none: the pieces are what is played.
    EXPECT_EQ("", RecordingError(Piece(5) + "\n" + start + Piece(7) + "\n" + end, &r));
    EXPECT_TRUE(r.start && r.end);
    EXPECT_EQ(2u, r.pieces.size());
    EXPECT_EQ("", RecordingError(Piece(5) + "\n", &r));
    EXPECT_FALSE(r.start);
    // Fields a later writer adds, blank lines and carriage returns.
    EXPECT_EQ("", RecordingError(start + "\r\n" + R"({"us":5,"dir":"to-scanner","bytes":"0d",)" +
                                     R"("phase":"handshake","later":[1,{"x":2}]})" + "\r\n" + end,
                                 &r));
    ASSERT_EQ(1u, r.pieces.size());
    EXPECT_TRUE(r.end);

    EXPECT_EQ("rec: no object at all: not a recording", RecordingError(""));
    EXPECT_EQ("rec: no object at all: not a recording", RecordingError("\n\r\n"));
    EXPECT_EQ("rec:3: us falls from 7 to 6",
              RecordingError(start + Piece(7) + "\n" + Piece(6) + "\n"));
    EXPECT_EQ("rec:3: a second start object", RecordingError(start + Piece(7) + "\n" + start));
    EXPECT_EQ("rec:3: a line after the end object",
              RecordingError(start + end + "\n" + Piece(7) + "\n"));
    // A whole last line is read even without its newline, and judged.
    EXPECT_EQ("rec:2: phase: \"x\" is not the name of a phase",
              RecordingError(start + R"({"us":5,"dir":"to-scanner","bytes":"0d","phase":"x"})"));
    EXPECT_EQ("rec:2: longer than 1048576 bytes",
              RecordingError(start + std::string(kMaxRecordingLineBytes + 1, ' ') + "\n"));
}

TEST(RecordingFormat, OnlyARegularFileOfBoundedSizeIsRead) {
    TempDir dir;
    EXPECT_EQ(dir.Path("") + ": a directory, not a recording", FileError(dir.Path("")));
    EXPECT_EQ("/dev/null: not a regular file, not a recording", FileError("/dev/null"));
    EXPECT_EQ("/dev/zero: not a regular file, not a recording", FileError("/dev/zero"));
    EXPECT_EQ(dir.Path("none") + ": no such file", FileError(dir.Path("none")));

    const std::string big = dir.File("big.jsonl", std::string(kStartText) + "\n");
    fs::resize_file(big, kMaxRecordingBytes + 1);  // sparse: nothing is read to refuse it
    EXPECT_EQ(big + ": 67108865 bytes, larger than 67108864 bytes", FileError(big));

    const std::string longLine =
        dir.File("long.jsonl", std::string(kMaxRecordingLineBytes * 3, 'x'));
    EXPECT_EQ(longLine + ":1: longer than 1048576 bytes", FileError(longLine));

    Recording r;
    std::string error;
    const std::string good =
        dir.File("good.jsonl", std::string(kStartText) + "\n" + Piece(3) + "\n");
    EXPECT_TRUE(ReadRecording(good, r, error)) << error;
    EXPECT_EQ(1u, r.pieces.size());
}

// Nothing ever writes into the FIFO: a reader that opened it would wait for ever.
TEST(RecordingFormat, AFifoIsRefusedWithoutWaitingForAWriter) {
    TempDir dir;
    const std::string fifo = dir.Path("fifo");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    auto refused = std::async(std::launch::async, [&] { return FileError(fifo); });
    if (refused.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
        ADD_FAILURE() << "reading a FIFO hangs";
        close(open(fifo.c_str(), O_WRONLY | O_NONBLOCK));  // lets the reader see its end
    }
    EXPECT_EQ(fifo + ": not a regular file, not a recording", refused.get());
}
