// The recording of an upgrade (docs/recording-format.md): every byte that
// crossed the line, one JSON object a line. This is the one place that spells
// the format: the writer's lines are made here, and a recording is read back
// here. Recordings come from other people's machines, so the reader takes any
// bytes: it refuses what is not a recording with "FILE:LINE: what is wrong",
// never throws, and never holds more than the bounds below.
//
// What the reader refuses:
// - anything but a regular file (a directory, a device such as /dev/null or
//   /dev/zero, a FIFO: it is never opened, so it cannot hang the reader);
// - a file over kMaxRecordingBytes, or a line over kMaxRecordingLineBytes;
// - a file with no object at all (an empty one);
// - a start object of a format newer than kRecordingFormat;
// - a field missing or of the wrong type or range: `us` an integer from 0 to
//   kMaxRecordingMicroseconds that never falls, `dir` one of its two names,
//   `bytes` an even number of hex digits (either case), `phase` a name of
//   upgrade/run_phase.h, `block` from 1 to INT32_MAX;
// - a second start object, and anything after the end object.
// What it takes:
// - no start object, or one after the first pieces: it only describes the
//   run, and the pieces are read as this format's;
// - no end object: a crashed run stops without one;
// - a last line without its newline that is no whole object: where a crash
//   cut the file off; it is left out;
// - fields it does not know (a later writer may add some), empty lines, and
//   a carriage return before a newline.
#pragma once
#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <vector>

#include "upgrade/run_phase.h"

constexpr int kRecordingFormat = 1;

// A 2 MB image records as about 13 MB; resends and long monitor sessions
// take the rest.
constexpr uint64_t kMaxRecordingBytes = 64ull << 20;
// A received piece is at most a few thousand bytes, written as twice as many
// hex digits; a start line holds a few paths.
constexpr size_t kMaxRecordingLineBytes = 1u << 20;
// A year: past any upgrade or monitor session, and small enough that any
// difference of two times is exact as a double.
constexpr int64_t kMaxRecordingMicroseconds = 366ll * 24 * 3600 * 1000000;

// One piece that crossed the line.
struct RecordedPiece {
    int64_t us = 0;  // since the recording began
    bool toScanner = false;
    std::vector<uint8_t> bytes;
    RunPhase phase = RunPhase::Handshake;
    int32_t block = 0;  // in the upload, the block on the line; 0 before the first
};

// The identity an image header names.
struct RecordedIdentity {
    std::string customer, module, hardware, software;
};

struct RecordedImage {
    std::string path;
    bool readable = true;  // false: only the path is known
    int64_t size = 0;      // the whole file
    int64_t payload = 0;   // what the scanner receives
    uint64_t digest = 0;   // FNV-1a 64 of the whole file
    std::optional<RecordedIdentity> header;
};

// The line as the utility set it: it always uses 8N1, no flow control, DTR and RTS on.
struct RecordedLine {
    int64_t baud = 0;
    int dataBits = 8;
    std::string parity = "none";
    int stopBits = 1;
    std::string flowControl = "none";
    bool dtr = true, rts = true;
};

// The first object: what was upgraded, where and how.
struct RecordedStart {
    int format = kRecordingFormat;
    std::string utility;  // the utility's version text
    std::string time;     // UTC, ISO 8601
    std::string port;     // as given
    std::string device;   // as opened
    RecordedLine line;
    std::string access;                  // the access mode's name
    std::optional<RecordedImage> image;  // none in monitor mode
};

// What an upgrade ended with (a monitor session has none).
struct RecordedResult {
    std::string outcome, message;                // what the user was shown
    std::string upgradeOutcome, upgradeMessage;  // the upgrade's own, before the start step
    bool started = false;                        // "go 5000" written and echoed
    bool lineLost = false;                       // the device went away during the run
    int64_t blocksSent = 0, blocksResent = 0;
};

// The last object.
struct RecordedEnd {
    int64_t exit = 0;
    double seconds = 0;
    std::optional<RecordedResult> result;  // none for monitor mode
};

struct Recording {
    std::optional<RecordedStart> start;
    std::vector<RecordedPiece> pieces;
    std::optional<RecordedEnd> end;  // none when the run crashed
};

enum class RecordingLineKind { Start, Piece, End };

// One line read: its kind, and the member of that kind filled in.
struct RecordingLine {
    RecordingLineKind kind = RecordingLineKind::Piece;
    RecordedStart start;
    RecordedPiece piece;
    RecordedEnd end;
};

// The text of one line, without its newline, byte for byte as the utility
// writes it.
std::string EncodeStartLine(const RecordedStart& start);
std::string EncodePieceLine(const RecordedPiece& piece);
std::string EncodeEndLine(const RecordedEnd& end);
// The line of whichever kind `line` is.
std::string EncodeRecordingLine(const RecordingLine& line);

// One line of text; false with what is wrong in `error` (no file or line number).
bool ParseRecordingLine(const std::string& text, RecordingLine& line, std::string& error);

// A whole recording from `in`, named `name` in errors: "NAME:LINE: what is wrong".
bool ParseRecording(std::istream& in, const std::string& name, Recording& out, std::string& error);

// A recording file: false, with "PATH: ..." or "PATH:LINE: ..." in `error`.
bool ReadRecording(const std::string& path, Recording& out, std::string& error);
