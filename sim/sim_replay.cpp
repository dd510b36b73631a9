#include "sim/sim_replay.h"

#include <cstdio>

#include "sim/sim_codec.h"

namespace sim {

namespace {

constexpr int kKeyCodeLength = 9;
constexpr int kPatienceMs = 60000;  // for the utility's next byte: far past its own waits
constexpr int kLongestDelayMs = 10000;

bool LineLost(const Recording& r) {
    return r.end && r.end->result && r.end->result->lineLost;
}

// The recorded gap between two pieces at `speed`, at most kLongestDelayMs;
// safe for any times and speeds.
int DelayMs(int64_t fromUs, int64_t toUs, double speed) {
    if (!(speed > 0) || toUs <= fromUs) return 0;
    // Exact as unsigned: the difference of two int64 values fits.
    const uint64_t gapUs = static_cast<uint64_t>(toUs) - static_cast<uint64_t>(fromUs);
    const double ms = static_cast<double>(gapUs) / 1000.0 / speed;
    if (!(ms > 0)) return 0;
    return ms >= kLongestDelayMs ? kLongestDelayMs : static_cast<int>(ms);
}

std::string HexBytes(const std::vector<uint8_t>& bytes, size_t from, size_t count) {
    std::string text;
    char part[4];
    for (size_t i = from; i < bytes.size() && i < from + count; ++i) {
        std::snprintf(part, sizeof part, "%s%02x", text.empty() ? "" : " ", bytes[i]);
        text += part;
    }
    return text.empty() ? "nothing" : text;
}

std::string Where(uint64_t offset, const RecordedPiece& piece) {
    std::string where =
        "byte " + std::to_string(offset) + " to the scanner (" + RunPhaseName(piece.phase);
    if (piece.block > 0) where += ", block " + std::to_string(piece.block);
    return where + ")";
}

class Player {
   public:
    Player(SimLine& line, const Recording& r, double speed) : line_(line), r_(r), speed_(speed) {}

    ReplayOutcome Play(const std::function<void()>& closeLine) {
        for (const RecordedPiece& piece : r_.pieces) {
            if (piece.toScanner ? !Expect(piece) : !Answer(piece)) return out_;
            lastUs_ = piece.us;
            ++out_.played;
        }
        out_.complete = true;
        if (LineLost(r_)) {
            line_.Drain(2000);
            closeLine();
        }
        return out_;
    }

   private:
    // The utility's bytes, as the recording has them; a key code by its key.
    bool Expect(const RecordedPiece& piece) {
        for (size_t i = 0; i < piece.bytes.size(); ++i) {
            int got = line_.Read(kPatienceMs);
            if (got < 0) return got == kLineClosed ? false : Diverge(piece, i, {});
            ++out_.received;
            lastSent_ = piece.bytes[i];
            lastGot_ = static_cast<uint8_t>(got);
            if (piece.phase == RunPhase::KeyCode && keyBytes_ < kKeyCodeLength) {
                if (!TakeKeyCodeByte(piece)) return false;
            } else if (got != piece.bytes[i]) {
                return Diverge(piece, i, {lastGot_});
            }
            ++offset_;
        }
        return true;
    }

    bool TakeKeyCodeByte(const RecordedPiece& piece) {
        recordedCode_[keyBytes_] = lastSent_;
        sentCode_[keyBytes_] = lastGot_;
        if (++keyBytes_ < kKeyCodeLength) return true;
        int recorded = CheckKeyCode(recordedCode_), sent = CheckKeyCode(sentCode_);
        if (recorded == sent) return true;
        out_.diverged = true;
        out_.divergence = "divergence at " + Where(offset_ + 1 - kKeyCodeLength, piece) +
                          ": a key code for key " + std::to_string(recorded) +
                          " expected, one for key " + std::to_string(sent) + " received";
        return false;
    }

    bool Diverge(const RecordedPiece& piece, size_t i, std::vector<uint8_t> received) {
        // What else has already come, to show beside what was expected.
        for (int b; received.size() < 8 && (b = line_.Read(50)) >= 0;)
            received.push_back(static_cast<uint8_t>(b));
        out_.diverged = true;
        out_.divergence = "divergence at " + Where(offset_, piece) + ": expected " +
                          HexBytes(piece.bytes, i, 8) + ", received " +
                          HexBytes(received, 0, received.size());
        return false;
    }

    // The scanner's bytes after their recorded delay; an echo of a key code
    // byte echoes the byte that came.
    bool Answer(const RecordedPiece& piece) {
        const int wait = DelayMs(lastUs_, piece.us, speed_);
        if (wait > 0 && !line_.Pause(wait)) return false;
        std::vector<uint8_t> bytes = piece.bytes;
        if (piece.phase == RunPhase::KeyCode && bytes.size() == 1 && bytes[0] == lastSent_)
            bytes[0] = lastGot_;
        line_.Write(bytes.data(), bytes.size());
        return !line_.Closed();
    }

    SimLine& line_;
    const Recording& r_;
    double speed_;
    ReplayOutcome out_;
    uint64_t offset_ = 0;
    int64_t lastUs_ = 0;
    uint8_t lastSent_ = 0, lastGot_ = 0;
    uint8_t recordedCode_[kKeyCodeLength] = {}, sentCode_[kKeyCodeLength] = {};
    int keyBytes_ = 0;
};

}  // namespace

ReplayOutcome PlayRecording(SimLine& line, const Recording& recording, double speed,
                            const std::function<void()>& closeLine) {
    ReplayOutcome out = Player(line, recording, speed).Play(closeLine);
    if (!out.complete || LineLost(recording)) return out;
    // Past the recording's end the utility has nothing more to say.
    int b = line.Read(kReplaySettleMs);
    if (b < 0) return out;  // quiet, or stopped with all of it played
    std::vector<uint8_t> extra = {static_cast<uint8_t>(b)};
    for (int more; extra.size() < 8 && (more = line.Read(50)) >= 0;)
        extra.push_back(static_cast<uint8_t>(more));
    out.diverged = true;
    out.divergence = "divergence after the recording's end (byte " + std::to_string(out.received) +
                     " to the scanner): received " + HexBytes(extra, 0, extra.size());
    return out;
}

std::string MissingAtStop(const Recording& recording, const ReplayOutcome& outcome) {
    uint64_t offset = 0;
    const RecordedPiece* next = nullptr;
    size_t at = 0;
    for (const RecordedPiece& piece : recording.pieces) {
        if (!piece.toScanner) continue;
        if (!next && outcome.received < offset + piece.bytes.size()) {
            next = &piece;
            at = static_cast<size_t>(outcome.received - offset);
        }
        offset += piece.bytes.size();
    }
    const std::string stopped = "stopped before the end of the recording: ";
    if (next)
        return stopped + std::to_string(outcome.received) + " of " + std::to_string(offset) +
               " bytes from the utility came; missing from " + Where(outcome.received, *next) +
               ": " + HexBytes(next->bytes, at, 8);
    size_t answers = 0;
    for (size_t i = outcome.played; i < recording.pieces.size(); ++i)
        answers += recording.pieces[i].toScanner ? 0 : 1;
    return stopped + "every byte from the utility came, but the scanner's last " +
           std::to_string(answers) + " answer(s) were not played";
}

}  // namespace sim
