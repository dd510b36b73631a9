// The first byte picks the access mode and the user's answer, the rest is an identity reply.
// Whatever the reply, texts stay terminated inside their members and the question is asked
// only in Override mode; what is accepted, asked and decoded is checked against the
// scanner side's own encoders.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>

#include "codec/access_mode.h"
#include "codec/scanner_identity.h"
#include "sim/sim_codec.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

enum Answer { NoQuestion, AnswerNo, AnswerYes };

Answer answer = NoQuestion;
int asked = 0;

bool Ask(const char* caption, const char* text) {
    FUZZ_CHECK(AccessMode == Override);
    FUZZ_CHECK(caption != nullptr && text != nullptr);
    ++asked;
    return answer == AnswerYes;
}

void SetUp(uint8_t selector) {
    const AccessLevel modes[3] = {EndUser, Reseller, Override};
    AccessMode = modes[selector % 3];
    answer = static_cast<Answer>(selector / 3 % 3);
    SetOverrideQuestion(answer == NoQuestion ? nullptr : Ask);
}

// Terminated filler: a rejected reply must leave it exactly as it was.
void Scribble() {
    std::memset(&ScannerId, 'Z', sizeof ScannerId);
    ScannerId.customerId[sizeof ScannerId.customerId - 1] = 0;
    ScannerId.moduleNo[sizeof ScannerId.moduleNo - 1] = 0;
    ScannerId.hardware[sizeof ScannerId.hardware - 1] = 0;
    ScannerId.software[sizeof ScannerId.software - 1] = 0;
}

bool AllTerminated() {
    return Terminated(ScannerId.customerId) && Terminated(ScannerId.moduleNo) &&
           Terminated(ScannerId.hardware) && Terminated(ScannerId.software);
}

bool Untouched(const ScannerIdentity& before) {
    return std::memcmp(&before, &ScannerId, sizeof before) == 0;
}

sim::Identity Decoded() {
    return {ScannerId.customerId, ScannerId.moduleNo, ScannerId.hardware, ScannerId.software};
}

// Exactly the reply's size on the heap, so a read past it is an ASan report.
struct Reply {
    std::unique_ptr<unsigned char[]> bytes;
    size_t size;
    Reply(const uint8_t* data, size_t n) : bytes(new unsigned char[n]), size(n) {
        if (n) std::memcpy(bytes.get(), data, n);
    }
    bool Decode() const { return DecodeScannerIdentity(bytes.get(), static_cast<int>(size)); }
};

// Checksum and CR LF as the scanner seals its replies.
bool Sealed(const Reply& r) {
    if (r.size < 10) return false;
    sim::Bytes body(r.bytes.get(), r.bytes.get() + r.size - 3);
    sim::SealIdentityReply(body);
    return std::equal(body.begin(), body.end(), r.bytes.get());
}

// The scanner's own check of the key code in front of the seal.
int ReplyKey(const Reply& r) {
    const unsigned char* s = r.bytes.get() + r.size - 10;
    const uint8_t full[9] = {'C', s[0], s[1], s[2], s[3], '#', s[4], s[5], s[6]};
    return sim::CheckKeyCode(full);
}

// The decoded texts, encoded again, give the bytes they came from. Encoded closing zeros may
// lie past the reply's end, where the decoder stopped.
bool ReencodesToReply(const sim::Bytes& encoded, const Reply& r) {
    size_t n = std::min(encoded.size(), r.size);
    return std::equal(encoded.begin(), encoded.begin() + n, r.bytes.get());
}

void CheckAnyReply(const uint8_t* data, size_t size) {
    Reply reply(data, size);
    Scribble();
    const ScannerIdentity before = ScannerId;
    asked = 0;
    bool accepted = reply.Decode();

    bool sealed = Sealed(reply);
    int key = sealed ? ReplyKey(reply) : -1;
    bool plain = sealed && key < 0 && AccessMode == Override;
    FUZZ_CHECK(asked == (plain && answer != NoQuestion ? 1 : 0));
    FUZZ_CHECK(accepted == (sealed && (key >= 0 || (plain && answer == AnswerYes))));
    FUZZ_CHECK(AllTerminated());
    if (!sealed || (key < 0 && !plain)) FUZZ_CHECK(Untouched(before));

    sim::Identity got = Decoded();
    if (sealed && key >= 0) {
        std::mt19937 rng(0);
        sim::Bytes again = sim::EncodeIdentityReply(got, static_cast<uint8_t>(key), rng);
        again.resize(again.size() - 10);  // the texts alone
        FUZZ_CHECK(ReencodesToReply(again, reply));
    }
    // A text cut at its capacity no longer shows how long it was.
    if (plain && got.customerId.size() < 48 && got.moduleNo.size() < 16 &&
        got.hardware.size() < 32 && got.software.size() < 16) {
        sim::Bytes again = sim::PlainIdentityReply(got);
        again.resize(again.size() - 10);
        FUZZ_CHECK(ReencodesToReply(again, reply));
    }
}

bool Decodes(const sim::Identity& id) {
    const sim::Identity got = Decoded();
    return got.customerId == id.customerId && got.moduleNo == id.moduleNo &&
           got.hardware == id.hardware && got.software == id.software;
}

// Replies the scanner side encodes, texts within the members' capacities.
void RoundTrips(InputReader& in) {
    std::mt19937 rng(in.Word());
    uint8_t replyKey = in.Byte();
    sim::Identity id = {in.Printable(48), in.Printable(16), in.Printable(32), in.Printable(16)};
    sim::Bytes extra(in.Byte() % 9);
    for (uint8_t& b : extra) b = in.Byte();

    // Scrambled under a valid key code: accepted in every mode, nothing asked.
    sim::Bytes scrambled = sim::EncodeIdentityReply(id, replyKey, rng, extra);
    Scribble();
    asked = 0;
    FUZZ_CHECK(Reply(scrambled.data(), scrambled.size()).Decode());
    FUZZ_CHECK(asked == 0);
    FUZZ_CHECK(Decodes(id));

    // Plain: only in Override mode, and only when the user says yes.
    sim::Bytes plainReply = sim::PlainIdentityReply(id);
    Scribble();
    const ScannerIdentity before = ScannerId;
    asked = 0;
    bool accepted = Reply(plainReply.data(), plainReply.size()).Decode();
    bool override = AccessMode == Override;
    FUZZ_CHECK(accepted == (override && answer == AnswerYes));
    FUZZ_CHECK(asked == (override && answer != NoQuestion ? 1 : 0));
    FUZZ_CHECK(override ? Decodes(id) : Untouched(before));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    SetUp(data[0]);
    CheckAnyReply(data + 1, size - 1);
    if (size > 1 + 5) {
        InputReader in(data + 1, size - 1);
        RoundTrips(in);
    }
    return 0;
}
