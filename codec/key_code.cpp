#include "codec/key_code.h"

#include <chrono>

namespace {

uint32_t SteadyTicks() {
    auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

TickSource tickSource = SteadyTicks;

// The relations are defined on bytes read as signed 8-bit numbers.
int Signed(unsigned char b) {
    return b >= 0x80 ? b - 256 : b;
}

}  // namespace

uint32_t ReadTickCount() {
    return tickSource();
}

void SetTickSource(TickSource source) {
    tickSource = source ? source : SteadyTicks;
}

int KeyCodeDecode(const unsigned char code[KeyCodeLength]) {
    if (code[0] != 'C' || code[5] != '#') return -1;
    int p1 = Signed(code[1]), p2 = Signed(code[2]), p3 = Signed(code[3]);
    int p4 = Signed(code[4]), p7 = Signed(code[7]), p8 = Signed(code[8]);
    if (p1 + 20 != p7 - 27) return -1;
    if (p8 != ((((p7 & 1) | 6) << 4) | (p2 - 48))) return -1;
    if (p3 - p4 != p1 - 65 && p4 - p3 != p1 - 65) return -1;
    return (code[6] - code[1] - 35) & 0xFF;
}

int KeyCodeDecodeShort(const unsigned char s[KeyCodeShortLength]) {
    const unsigned char full[KeyCodeLength] = {'C', s[0], s[1], s[2], s[3], '#', s[4], s[5], s[6]};
    return KeyCodeDecode(full);
}

KeyCode KeyCodeMake(unsigned char key) {
    uint32_t t = ReadTickCount();
    unsigned a = ((t >> 13) & 255) % 6;
    unsigned d1 = ((t >> 9) & 255) % 10;
    unsigned d2 = ((t >> 5) & 255) % 10;
    KeyCode code;
    code.bytes[0] = 'C';
    code.bytes[1] = static_cast<unsigned char>('A' + a);
    code.bytes[2] = static_cast<unsigned char>('0' + d1);
    code.bytes[3] = static_cast<unsigned char>('0' + d2);
    code.bytes[4] = static_cast<unsigned char>(d2 < a ? '0' + d2 + a : '0' + d2 - a);
    code.bytes[5] = '#';
    code.bytes[6] = static_cast<unsigned char>(code.bytes[1] + key + 35);
    code.bytes[7] = static_cast<unsigned char>(code.bytes[1] + 47);
    code.bytes[8] = static_cast<unsigned char>((((code.bytes[7] & 1) | 6) << 4) | d1);
    return code;
}
