#include "sim/sim_codec.h"

namespace sim {

namespace {

uint8_t U8(int v) {
    return static_cast<uint8_t>(v & 0xFF);
}

bool IsHexLetter(uint8_t c) {
    return (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

int Pick(std::mt19937& rng, int lo, int hi) {
    return std::uniform_int_distribution<int>(lo, hi)(rng);
}

void AppendScrambled(Bytes& out, uint8_t value, uint8_t& stream) {
    out.push_back(U8(value ^ stream));
    stream = U8(stream + 1);
}

// A carrier letter followed by the six remaining bytes of a nested key code for v.
void AppendNested(Bytes& out, uint8_t carrier, uint8_t v, uint8_t& stream, std::mt19937& rng) {
    int a = (carrier >= 'a' ? carrier - 'a' : carrier - 'A');
    FullCode code = MakeKeyCode(v, a, Pick(rng, 0, 9), Pick(rng, 0, 9));
    AppendScrambled(out, carrier, stream);
    for (int place : {2, 3, 4, 6, 7, 8}) AppendScrambled(out, code[place], stream);
}

void AppendCharacter(Bytes& out, uint8_t c, uint8_t& stream, std::mt19937& rng, bool nestDigits) {
    if (IsHexLetter(c)) {
        bool upper = c <= 'F';
        int value = 10 + (upper ? c - 'A' : c - 'a');
        if (Pick(rng, 0, 1) == 0) {
            // Carried by the same letter in the other case, nested key 10..15.
            uint8_t carrier = U8(upper ? c - 'A' + 'a' : c - 'a' + 'A');
            AppendNested(out, carrier, U8(value), stream, rng);
        } else {
            // Carried by itself with a nested key of 16 or more: it stays as it is.
            AppendNested(out, c, U8(Pick(rng, 16, 255)), stream, rng);
        }
    } else if (nestDigits && c >= '0' && c <= '9' && Pick(rng, 0, 1) == 0) {
        uint8_t carrier = U8((Pick(rng, 0, 1) ? 'A' : 'a') + Pick(rng, 0, 5));
        AppendNested(out, carrier, U8(c - '0'), stream, rng);
    } else {
        AppendScrambled(out, c, stream);
    }
}

void AppendShort(Bytes& out, const FullCode& code) {
    for (uint8_t b : ShortForm(code)) out.push_back(b);
}

}  // namespace

FullCode MakeKeyCode(uint8_t key, int a, int d1, int d2) {
    FullCode c;
    c[0] = 'C';
    c[1] = U8('A' + a);
    c[2] = U8('0' + d1);
    c[3] = U8('0' + d2);
    // Either form of the position-4 relation is valid; pick the one that stays a digit.
    c[4] = U8(d2 >= a ? '0' + d2 - a : '0' + d2 + a);
    c[5] = '#';
    c[6] = U8(c[1] + key + 35);
    c[7] = U8('p' + a);
    c[8] = U8((a % 2 == 0 ? 0x60 : 0x70) | d1);
    return c;
}

FullCode RandomKeyCode(uint8_t key, std::mt19937& rng) {
    return MakeKeyCode(key, Pick(rng, 0, 5), Pick(rng, 0, 9), Pick(rng, 0, 9));
}

std::array<uint8_t, 7> ShortForm(const FullCode& c) {
    return {c[1], c[2], c[3], c[4], c[6], c[7], c[8]};
}

int CheckKeyCode(const uint8_t code[9]) {
    // Signed 8-bit readings, compared in plain int arithmetic.
    auto s = [&](int i) { return static_cast<int>(static_cast<int8_t>(code[i])); };
    if (code[0] != 'C' || code[5] != '#') return -1;
    if (s(7) != s(1) + 47) return -1;
    int high = (s(7) % 2 != 0) ? 0x70 : 0x60;
    if (s(8) != (high | (s(2) - 48))) return -1;
    int diff = s(1) - 65;
    if (s(3) - s(4) != diff && s(4) - s(3) != diff) return -1;
    return U8(code[6] - code[1] - 35);
}

Bytes EncodeHeaderField(const std::string& text, uint8_t key, std::mt19937& rng,
                        const FieldStyle& style) {
    Bytes out;
    FullCode code = RandomKeyCode(key, rng);
    if (style.rejectedKey) code[7] = U8(code[7] + 1);
    AppendShort(out, code);
    if (style.rejectedKey) return out;
    uint8_t stream = key;
    int length = style.lengthOverride >= 0 ? style.lengthOverride : static_cast<int>(text.size());
    AppendScrambled(out, U8(length), stream);
    for (unsigned char c : text) AppendCharacter(out, c, stream, rng, style.nestDigits);
    return out;
}

Bytes BuildImageHeader(const Identity& id, uint8_t imageKey, std::mt19937& rng) {
    Bytes h = {'B', 'I', 'N', 0};
    for (int i = 0; i < 32; ++i) h.push_back(U8(Pick(rng, 0, 255)));
    for (const std::string* text : {&id.customerId, &id.moduleNo, &id.hardware, &id.software}) {
        Bytes field = EncodeHeaderField(*text, U8(Pick(rng, 0, 255)), rng);
        h.insert(h.end(), field.begin(), field.end());
    }
    AppendShort(h, RandomKeyCode(imageKey, rng));
    while (h.size() < 1024) h.push_back(U8(Pick(rng, 0, 255)));
    h.resize(1024);
    return h;
}

Bytes EncodeIdentityReply(const Identity& id, uint8_t replyKey, std::mt19937& rng,
                          const Bytes& extra) {
    struct Field {
        const std::string* text;
        size_t capacity;
        int start;
    };
    const Field fields[4] = {{&id.customerId, 48, 0},
                             {&id.moduleNo, 16, 48},
                             {&id.hardware, 32, 64},
                             {&id.software, 16, 96}};
    Bytes out;
    for (const Field& f : fields) {
        uint8_t stream = U8(replyKey + f.start);
        std::string text = f.text->substr(0, f.capacity);
        for (unsigned char c : text) AppendScrambled(out, c, stream);
        if (text.size() < f.capacity) AppendScrambled(out, 0, stream);
    }
    out.insert(out.end(), extra.begin(), extra.end());
    AppendShort(out, RandomKeyCode(replyKey, rng));
    SealIdentityReply(out);
    return out;
}

Bytes PlainIdentityReply(const Identity& id) {
    Bytes out;
    for (const std::string* text : {&id.customerId, &id.moduleNo, &id.hardware, &id.software}) {
        out.insert(out.end(), text->begin(), text->end());
        out.push_back(0);
    }
    // "X" at position 1 cannot satisfy the position-7 relation.
    const uint8_t invalid[7] = {'X', '0', '0', '0', 'K', 'q', 'a'};
    out.insert(out.end(), invalid, invalid + 7);
    SealIdentityReply(out);
    return out;
}

void SealIdentityReply(Bytes& reply) {
    uint8_t sum = 0;
    for (uint8_t b : reply) sum = U8(sum + b);
    reply.push_back(sum);
    reply.push_back(0x0D);
    reply.push_back(0x0A);
}

}  // namespace sim
