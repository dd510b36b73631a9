// The emulated scanner's own encoders: key codes, image headers and identity
// replies, built forward from the formats rather than by running decoders backwards.
#pragma once
#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace sim {

using Bytes = std::vector<uint8_t>;
using FullCode = std::array<uint8_t, 9>;

struct Identity {
    std::string customerId;
    std::string moduleNo;
    std::string hardware;
    std::string software;
};

// A key code for `key` with the free values a (0..5), d1 and d2 (0..9).
FullCode MakeKeyCode(uint8_t key, int a, int d1, int d2);
FullCode RandomKeyCode(uint8_t key, std::mt19937& rng);

// Positions 1, 2, 3, 4, 6, 7, 8.
std::array<uint8_t, 7> ShortForm(const FullCode& code);

// The scanner's check of a received key code: the key, or -1.
int CheckKeyCode(const uint8_t code[9]);

// How a header field is written.
struct FieldStyle {
    bool rejectedKey = false;  // a field key code that fails verification
    bool nestDigits = true;    // write digits (sometimes) through nested key codes
    int lengthOverride = -1;   // store this length instead of the text's
};

// One scrambled header field for `text` under field key `key`.
Bytes EncodeHeaderField(const std::string& text, uint8_t key, std::mt19937& rng,
                        const FieldStyle& style = FieldStyle());

// A 1024-byte header carrying the identity and the image key.
Bytes BuildImageHeader(const Identity& id, uint8_t imageKey, std::mt19937& rng);

// The identity reply to "whoru" (without the prompt that follows it).
Bytes EncodeIdentityReply(const Identity& id, uint8_t replyKey, std::mt19937& rng,
                          const Bytes& extra = Bytes());

// The plain variant: four 0-terminated texts, a key code place that fails verification.
Bytes PlainIdentityReply(const Identity& id);

// Appends checksum and CR LF to fields + key code.
void SealIdentityReply(Bytes& reply);

}  // namespace sim
