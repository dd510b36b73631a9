#include "sim/sim_xmodem.h"

#include <cstdint>

namespace sim {

namespace {

constexpr uint8_t kSoh = 0x01;
constexpr uint8_t kEot = 0x04;
constexpr uint8_t kAck = 0x06;
constexpr uint8_t kNak = 0x15;
constexpr uint8_t kCan = 0x18;
constexpr uint8_t kCr = 0x0D;
constexpr int kBlockSize = 132;
constexpr int kStartWaitMs = 3000;  // silence before the start signal is repeated
constexpr int kByteGapMs = 1000;    // a block that stalls this long is thrown away
constexpr int kMaxWaits = 10;

// What a confused line might carry before the start signal; never a NAK.
const char kJunk[] = "\r\nC";

class Receiver {
   public:
    explicit Receiver(SimMachine& machine) : m_(machine), o_(machine.Options()) {
        noAnswerLeft_ = o_.noAnswerTimes;
    }

    UploadResult Run() {
        m_.Update([](BootSimReport& r) {
            r.flash.clear();
            r.eot = false;
        });
        if (o_.endlessBeforeNak) return StreamForever();
        for (int i = 0; i < o_.bytesBeforeNak; ++i) m_.SayByte(kJunk[i % 3]);
        m_.SayByte(kNak);
        return TakeBlocks();
    }

   private:
    UploadResult End(UploadEnd end) {
        result_.end = end;
        return result_;
    }

    // The start signal never comes; a carriage return still gets the console back.
    UploadResult StreamForever() {
        for (int i = 0;; ++i) {
            m_.SayByte(kJunk[i % 3]);
            int b = m_.Next(1);
            if (b == kLineClosed) return End(UploadEnd::Closed);
            if (b == kCr || b == kCan) return End(UploadEnd::Aborted);
        }
    }

    UploadResult TakeBlocks() {
        int naks = 1;
        int idle = 0;
        for (;;) {
            int b = m_.Next(kStartWaitMs);
            if (b == kLineClosed) return End(UploadEnd::Closed);
            if (b == kLineTimeout) {
                // Only the first start signal is repeated: this utility takes a NAK
                // between blocks as a rejected block, not as a request to resend.
                if (anyBlock_) {
                    if (++idle >= kMaxWaits) return End(UploadEnd::GaveUp);
                    continue;
                }
                if (naks >= kMaxWaits) return End(UploadEnd::GaveUp);
                m_.SayByte(kNak);
                ++naks;
                continue;
            }
            idle = 0;
            if (b == kEot) return Finish();
            if (b == kCr || b == kCan) return End(UploadEnd::Aborted);
            if (b != kSoh) continue;  // noise between blocks
            anyBlock_ = true;
            uint8_t block[kBlockSize] = {kSoh};
            int rest = ReadRest(block);
            if (rest == kLineClosed) return End(UploadEnd::Closed);
            if (rest == kLineTimeout) {
                m_.SayByte(kNak);
                continue;
            }
            if (!Judge(block)) return End(UploadEnd::Unplugged);
        }
    }

    int ReadRest(uint8_t* block) {
        for (int i = 1; i < kBlockSize; ++i) {
            int b = m_.Next(kByteGapMs);
            if (b < 0) return b;
            block[i] = static_cast<uint8_t>(b);
        }
        return 0;
    }

    UploadResult Finish() {
        m_.SayByte(kAck);
        m_.Update([](BootSimReport& r) {
            r.eot = true;
            ++r.uploads;
        });
        return End(UploadEnd::Done);
    }

    // Answers one complete block; false once the line has been unplugged.
    bool Judge(const uint8_t* block) {
        const uint8_t number = block[1];
        m_.Update([number](BootSimReport& r) { r.blockNumbers.push_back(number); });
        uint8_t sum = 0;
        for (int i = 3; i < 131; ++i) sum = static_cast<uint8_t>(sum + block[i]);
        const bool intact = block[2] == static_cast<uint8_t>(255 - number) && sum == block[131];
        if (intact && number == static_cast<uint8_t>(expected_)) return Accept(block);
        // A resend of the block before: our ACK got lost, and the data is stored already.
        const bool repeat = expected_ > 1 && number == static_cast<uint8_t>(expected_ - 1);
        m_.SayByte(intact && repeat ? kAck : kNak);
        return true;
    }

    bool Accept(const uint8_t* block) {
        if (o_.onBlock) o_.onBlock(expected_);
        if (expected_ == o_.noAnswerBlock && noAnswerLeft_ > 0) {
            --noAnswerLeft_;
            return true;
        }
        if (expected_ == o_.nakBlock && !nakDone_) {
            nakDone_ = true;
            m_.SayByte(kNak);
            return true;
        }
        if (expected_ == o_.garbageBlock && !garbageDone_) {
            garbageDone_ = true;
            m_.SayByte('X');
            return true;
        }
        const bool damaged = DiffersFromExpected(block);
        m_.Update([block, damaged](BootSimReport& r) {
            r.flash.insert(r.flash.end(), block + 3, block + 131);
            r.damagedAccepted += damaged ? 1 : 0;
        });
        result_.bytes += 128;
        ++result_.blocks;
        if (expected_ == o_.holdAckBlock && !holdDone_) {
            holdDone_ = true;
            m_.SayHeld(kAck, o_.holdAckMs);
        } else if (expected_ == o_.doubleAckBlock) {
            m_.Say(Bytes{kAck, kAck});
        } else {
            m_.SayByte(kAck);
        }
        if (expected_ == o_.unplugAfterBlock) {
            m_.Unplug();
            return false;
        }
        ++expected_;
        return true;
    }

    // Past the image's end the last block holds fill: only the image's bytes count.
    bool DiffersFromExpected(const uint8_t* block) const {
        const std::vector<uint8_t>& want = o_.expectedFlash;
        if (want.empty()) return false;
        const size_t at = result_.bytes;
        for (size_t i = 0; i < 128 && at + i < want.size(); ++i)
            if (block[3 + i] != want[at + i]) return true;
        return false;
    }

    SimMachine& m_;
    const BootSimOptions& o_;
    UploadResult result_;
    int expected_ = 1;  // block counter; its low 8 bits are the wire number
    int noAnswerLeft_ = 0;
    bool nakDone_ = false;
    bool garbageDone_ = false;
    bool holdDone_ = false;
    bool anyBlock_ = false;
};

}  // namespace

UploadResult ReceiveUpload(SimMachine& machine) {
    return Receiver(machine).Run();
}

}  // namespace sim
