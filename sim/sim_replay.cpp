#include "sim/sim_replay.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "sim/sim_codec.h"

namespace sim {

namespace {

constexpr int kKeyCodeLength = 9;
constexpr int kPatienceMs = 60000;  // for the utility's next byte: far past its own waits
constexpr int kLongestDelayMs = 10000;

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
    std::string where = "byte " + std::to_string(offset) + " to the scanner (" + piece.phase;
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
        }
        out_.complete = true;
        if (r_.lineLost) {
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
            if (piece.phase == "key-code" && keyBytes_ < kKeyCodeLength) {
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
        if (speed_ > 0) {
            double ms = (piece.us - lastUs_) / 1000.0 / speed_;
            int wait = static_cast<int>(std::min<double>(std::max(ms, 0.0), kLongestDelayMs));
            if (wait > 0) std::this_thread::sleep_for(std::chrono::milliseconds(wait));
        }
        std::vector<uint8_t> bytes = piece.bytes;
        if (piece.phase == "key-code" && bytes.size() == 1 && bytes[0] == lastSent_)
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
    if (!out.complete || recording.lineLost) return out;
    // Past the recording's end the utility has nothing more to say.
    for (;;) {
        int b = line.Read(1000);
        if (b == kLineClosed) return out;
        if (b < 0) continue;
        std::vector<uint8_t> extra = {static_cast<uint8_t>(b)};
        for (int more; extra.size() < 8 && (more = line.Read(50)) >= 0;)
            extra.push_back(static_cast<uint8_t>(more));
        out.diverged = true;
        out.divergence = "divergence after the recording's end (byte " +
                         std::to_string(out.received) + " to the scanner): received " +
                         HexBytes(extra, 0, extra.size());
        return out;
    }
}

std::string MissingAtStop(const Recording& recording, const ReplayOutcome& outcome) {
    uint64_t offset = 0;
    for (const RecordedPiece& piece : recording.pieces) {
        if (!piece.toScanner) continue;
        if (outcome.received < offset + piece.bytes.size()) {
            size_t at = static_cast<size_t>(outcome.received - offset);
            return "divergence at " + Where(outcome.received, piece) +
                   ": the utility stopped writing; expected " + HexBytes(piece.bytes, at, 8);
        }
        offset += piece.bytes.size();
    }
    return "";
}

}  // namespace sim
