// Any bytes as one line of a recording and as a whole recording: the reader
// either refuses them in words or gives values in range, and what it gives
// encodes to a line it reads back to the same bytes. An exception, a crash or
// a leak is a finding.
#include <cstdint>
#include <sstream>
#include <string>

#include "events/recording_format.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

void CheckPiece(const RecordedPiece& p) {
    FUZZ_CHECK(p.us >= 0 && p.us <= kMaxRecordingMicroseconds);
    FUZZ_CHECK(p.block >= 0);
    FUZZ_CHECK(static_cast<int>(p.phase) >= 0 && p.phase < RunPhase::Count);
}

// The line read encodes to text that reads back to the same encoding.
void CheckLine(const std::string& text) {
    RecordingLine line;
    std::string error;
    if (!ParseRecordingLine(text, line, error)) {
        FUZZ_CHECK(!error.empty());
        return;
    }
    if (line.kind == RecordingLineKind::Piece) {
        CheckPiece(line.piece);
        FUZZ_CHECK(line.piece.bytes.size() * 2 <= text.size());
    }
    const std::string encoded = EncodeRecordingLine(line);
    RecordingLine back;
    FUZZ_CHECK(ParseRecordingLine(encoded, back, error));
    FUZZ_CHECK(back.kind == line.kind);
    FUZZ_CHECK(EncodeRecordingLine(back) == encoded);
}

void CheckRecording(const std::string& text) {
    std::istringstream in(text);
    Recording r;
    std::string error;
    if (!ParseRecording(in, "fuzz", r, error)) {
        FUZZ_CHECK(error.compare(0, 5, "fuzz:") == 0);
        return;
    }
    FUZZ_CHECK(r.start || r.end || !r.pieces.empty());
    int64_t last = 0;
    for (const RecordedPiece& p : r.pieces) {
        CheckPiece(p);
        FUZZ_CHECK(p.us >= last);
        last = p.us;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    CheckLine(text);
    CheckRecording(text);
    return 0;
}
