#include <gtest/gtest.h>

#include <cstring>

#include "codec/key_code.h"

namespace {

int Decode(const char* text) {
    unsigned char code[9];
    std::memcpy(code, text, 9);
    return KeyCodeDecode(code);
}

int Decode(std::initializer_list<int> bytes) {
    unsigned char code[9];
    int i = 0;
    for (int b : bytes) code[i++] = static_cast<unsigned char>(b);
    return KeyCodeDecode(code);
}

uint32_t fixedTick = 0;
uint32_t FixedTick() {
    return fixedTick;
}

struct TickGuard {
    explicit TickGuard(uint32_t t) {
        fixedTick = t;
        SetTickSource(FixedTick);
    }
    ~TickGuard() { SetTickSource(nullptr); }
};

}  // namespace

// Worked by hand: t = 18016 gives a = 2, d1 = 5, d2 = 1 (d2 < a, so position 4 is "0" + 1 + 2).
TEST(KeyCode, MadeCodeWorkedByHand) {
    TickGuard tick(18016);
    KeyCode code = KeyCodeMake(0x10);
    EXPECT_EQ(0, std::memcmp(code.bytes, "CC513#vre", 9));
    EXPECT_EQ(0x10, KeyCodeDecode(code.bytes));
}

TEST(KeyCode, DecodesHandWorkedCodes) {
    EXPECT_EQ(0, Decode("CA077#dp`"));   // "A": positions 3 and 4 equal
    EXPECT_EQ(-1, Decode("CA078#dp`"));  // "A" with 3 and 4 differing
    EXPECT_EQ(3, Decode("CC124#ira"));
    EXPECT_EQ(-1, Decode("DC124#ira"));  // wrong fixed characters
    EXPECT_EQ(-1, Decode("CC124$ira"));
}

TEST(KeyCode, RelationsReadBytesAsSigned) {
    // Position 4: only the second form holds (4 - 2 == 'C' - 'A').
    EXPECT_EQ(0x10, Decode({'C', 'C', '1', '2', '4', '#', 0x43 + 0x10 + 35, 'r', 'a'}));
    // Only the first form holds (5 - 4 == 'B' - 'A'); position 2 below "0" makes position 8
    // negative: 0x70 | -8 == -8, stored as 0xF8.
    EXPECT_EQ(0, Decode({'C', 'B', '(', '5', '4', '#', 'B' + 35, 'q', 0xF8}));
    EXPECT_EQ(-1, Decode({'C', 'B', '(', '5', '4', '#', 'B' + 35, 'q', 0x78}));
    // Byte 1 at 0x90 (-112): position 7 must be -65 (0xBF), 3 - 4 == -177.
    EXPECT_EQ(77, Decode({'C', 0x90, '3', 0x9C, 0x4D, '#', 0x00, 0xBF, 0x73}));
    // Byte 1 in 0x51..0x7F can never be matched by position 7.
    EXPECT_EQ(-1, Decode({'C', 0x60, '0', '0', '0', '#', 0, 0x8F, 0x60}));
    EXPECT_EQ(-1, Decode({'C', 0x60, '0', '0', '0', '#', 0, 0x0F, 0x60}));
}

TEST(KeyCode, KeyWrapsModulo256) {
    // 0x05 - 'F' - 35 = -100, so the key is 156.
    EXPECT_EQ(156, Decode({'C', 'F', '2', '9', '4', '#', 0x05, 'u', 'r'}));
}

TEST(KeyCode, MakeThenDecodeHoldsForAllKeysAndTicks) {
    for (uint32_t t = 0; t < (1u << 21); t += 4093) {
        TickGuard tick(t * 2654435761u);
        for (int key = 0; key < 256; ++key) {
            KeyCode code = KeyCodeMake(static_cast<unsigned char>(key));
            ASSERT_EQ(key, KeyCodeDecode(code.bytes)) << "tick " << t;
            for (int i : {0, 1, 2, 3, 4, 5, 7, 8})
                ASSERT_TRUE(code.bytes[i] >= 0x20 && code.bytes[i] < 0x7F);
        }
    }
}

TEST(KeyCode, FreeCharactersFollowTickBits5To20) {
    TickGuard first(0);
    KeyCode a = KeyCodeMake(42);
    fixedTick = 31;  // below bit 5: same code
    EXPECT_EQ(0, std::memcmp(a.bytes, KeyCodeMake(42).bytes, 9));
    fixedTick = 1u << 13;
    EXPECT_NE(0, std::memcmp(a.bytes, KeyCodeMake(42).bytes, 9));
}

TEST(KeyCode, ShortFormRebuildsTheFixedCharacters) {
    const unsigned char shortForm[7] = {'C', '5', '1', '3', 'v', 'r', 'e'};
    EXPECT_EQ(0x10, KeyCodeDecodeShort(shortForm));
}
