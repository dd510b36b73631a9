#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "codec/image_header.h"
#include "sim/sim_codec.h"
#include "tests/temp_file.h"
#include "upgrade/image.h"

namespace {

using sim::Bytes;

const sim::Identity kIdentity = {"ACME-RETAIL", "5800", "HW-A1", "1.02.07"};

struct HeaderBuilder {
    Bytes bytes = {'B', 'I', 'N', 0};
    std::mt19937 rng{7};
    HeaderBuilder() { bytes.resize(36, 0xAA); }
    HeaderBuilder& Field(const std::string& text, uint8_t key, sim::FieldStyle style = {}) {
        Bytes f = sim::EncodeHeaderField(text, key, rng, style);
        bytes.insert(bytes.end(), f.begin(), f.end());
        return *this;
    }
    HeaderBuilder& Raw(const Bytes& raw) {
        bytes.insert(bytes.end(), raw.begin(), raw.end());
        return *this;
    }
    HeaderBuilder& Key(uint8_t key) {
        for (uint8_t b : sim::ShortForm(sim::RandomKeyCode(key, rng))) bytes.push_back(b);
        return *this;
    }
    const unsigned char* Done() {
        bytes.resize(ImageHeaderSize, 0x55);
        return bytes.data();
    }
};

// One encoded character: `first` at stream value s, then a nested key code.
Bytes NestedCharacter(uint8_t carrier, int nestedKey, uint8_t s, bool validCode = true) {
    int a = (carrier >= 'a' ? carrier - 'a' : carrier - 'A');
    sim::FullCode code = sim::MakeKeyCode(static_cast<uint8_t>(nestedKey), a, 3, 8);
    if (!validCode) code[7] ^= 0x01;
    Bytes out = {static_cast<uint8_t>(carrier ^ s)};
    int i = 1;
    for (int place : {2, 3, 4, 6, 7, 8})
        out.push_back(static_cast<uint8_t>(code[place] ^ (s + i++)));
    return out;
}

// A field with key k holding raw encoded characters after the length byte.
Bytes FieldOf(uint8_t k, int length, const Bytes& characters) {
    Bytes out;
    std::mt19937 rng(3);
    for (uint8_t b : sim::ShortForm(sim::RandomKeyCode(k, rng))) out.push_back(b);
    out.push_back(static_cast<uint8_t>(length ^ k));
    out.insert(out.end(), characters.begin(), characters.end());
    return out;
}

}  // namespace

TEST(ImageHeader, DecodesWhatTheScannerSideEncodes) {
    for (uint32_t seed = 1; seed <= 200; ++seed) {
        std::mt19937 rng(seed);
        sim::Identity id = {"Cust-" + std::to_string(seed) + "-abcdef",
                            "MOD" + std::to_string(seed % 97), "HWaF09",
                            "V" + std::to_string(seed) + ".Eb"};
        Bytes header = sim::BuildImageHeader(id, static_cast<uint8_t>(seed), rng);
        ASSERT_TRUE(DecodeImageHeader(header.data())) << seed;
        EXPECT_EQ(id.customerId, ImageId.customerId);
        EXPECT_EQ(id.moduleNo, ImageId.moduleNo);
        EXPECT_EQ(id.hardware, ImageId.hardware);
        EXPECT_EQ(id.software, ImageId.software);
        EXPECT_EQ(seed & 0xFF, ImageId.key);
    }
}

TEST(ImageHeader, NestedHexLetters) {
    char member[16];
    // Key 7 -> digit 7 whichever case; 12 -> "c" from an upper-case carrier, "C" from lower;
    // a rejected code or a key of 16 or more keeps the letter; the stream runs on by seven.
    const uint8_t k = 0x40;
    Bytes chars;
    uint8_t s = k + 1;
    for (auto [carrier, key, valid] : {std::tuple<uint8_t, int, bool>{'B', 7, true},
                                       {'e', 7, true},
                                       {'D', 12, true},
                                       {'d', 12, true},
                                       {'A', 12, false},
                                       {'f', 200, true}}) {
        Bytes c = NestedCharacter(carrier, key, s, valid);
        chars.insert(chars.end(), c.begin(), c.end());
        s = static_cast<uint8_t>(s + 7);
    }
    chars.push_back(static_cast<uint8_t>('G' ^ s));
    Bytes field = FieldOf(k, 7, chars);
    field.resize(ImageHeaderSize, 0);
    EXPECT_EQ(7 + 1 + 6 * 7 + 1, DecodeHeaderField(field.data(), 0, member, sizeof member));
    EXPECT_STREQ("77cCAfG", member);
}

TEST(ImageHeader, RejectedFieldKeyShiftsTheNextField) {
    sim::FieldStyle rejected;
    rejected.rejectedKey = true;
    HeaderBuilder b;
    b.Field("CUST", 1).Field("", 2, rejected).Field("HW", 3).Field("SW1", 4).Key(99);
    ASSERT_TRUE(DecodeImageHeader(b.Done()));
    EXPECT_STREQ("CUST", ImageId.customerId);
    EXPECT_STREQ("", ImageId.moduleNo);  // rejected: empty, only its key code consumed
    EXPECT_STREQ("HW", ImageId.hardware);
    EXPECT_STREQ("SW1", ImageId.software);
    EXPECT_EQ(99, ImageId.key);
}

TEST(ImageHeader, ZeroLengthAndStreamWrap) {
    char member[48];
    Bytes empty = FieldOf(0x33, 0, {});
    empty.resize(ImageHeaderSize, 0xEE);
    EXPECT_EQ(8, DecodeHeaderField(empty.data(), 0, member, sizeof member));
    EXPECT_STREQ("", member);

    std::mt19937 rng(5);
    Bytes wrap = sim::EncodeHeaderField("0123456789xyz0123456789", 250, rng);
    size_t used = wrap.size();
    wrap.resize(ImageHeaderSize, 0);
    EXPECT_EQ(static_cast<int>(used), DecodeHeaderField(wrap.data(), 0, member, sizeof member));
    EXPECT_STREQ("0123456789xyz0123456789", member);
}

TEST(ImageHeader, RejectsMissingOrBrokenHeaders) {
    HeaderBuilder good;
    good.Field("C", 1).Field("M", 2).Field("H", 3).Field("S", 4).Key(5);
    Bytes bytes(good.Done(), good.Done() + ImageHeaderSize);

    Bytes wrongMagic = bytes;
    wrongMagic[3] = '1';
    EXPECT_FALSE(DecodeImageHeader(wrongMagic.data()));

    HeaderBuilder badKey;
    badKey.Field("C", 1).Field("M", 2).Field("H", 3).Field("S", 4).Raw(
        {'X', '0', '0', '0', 'a', 'b', 'c'});
    EXPECT_FALSE(DecodeImageHeader(badKey.Done()));
    EXPECT_STREQ("S", ImageId.software);  // texts decoded before the key code was judged

    TempFile full(bytes);
    EXPECT_TRUE(ReadImageHeader(full.Path()));
    TempFile shortFile(Bytes(bytes.begin(), bytes.end() - 1));
    EXPECT_FALSE(ReadImageHeader(shortFile.Path()));
    EXPECT_FALSE(ReadImageHeader("/nonexistent/image.bin"));
}

TEST(ImageHeader, OverlongTextIsCutButFieldConsumedWhole) {
    std::string longCustomer(60, 'k');
    HeaderBuilder b;
    b.Field(longCustomer, 9).Field("MODULE-NUMBER-15", 10).Field("HW", 11).Field("SW", 12).Key(13);
    ASSERT_TRUE(DecodeImageHeader(b.Done()));
    EXPECT_EQ(std::string(47, 'k'), ImageId.customerId);
    EXPECT_STREQ("MODULE-NUMBER-1", ImageId.moduleNo);
    EXPECT_STREQ("HW", ImageId.hardware);
    EXPECT_EQ(13, ImageId.key);
}

TEST(ImageHeader, HostileHeadersNeverReadPastTheEnd) {
    // Length 255 of seven-byte characters in every field runs far past 1024 bytes.
    sim::FieldStyle huge;
    huge.lengthOverride = 255;
    HeaderBuilder b;
    b.Field(std::string(255, 'a'), 1, huge);
    EXPECT_FALSE(DecodeImageHeader(b.Done()));
    EXPECT_LE(std::strlen(ImageId.customerId), 47u);

    // A field that starts in the last bytes of the header.
    char member[16];
    Bytes tail(ImageHeaderSize, 0);
    EXPECT_EQ(ImageHeaderSize,
              DecodeHeaderField(tail.data(), ImageHeaderSize - 3, member, sizeof member));
    EXPECT_STREQ("", member);

    // Random headers behind a valid magic: decoding must stay inside the buffer.
    std::mt19937 rng(11);
    for (int i = 0; i < 20000; ++i) {
        Bytes h(ImageHeaderSize);
        for (auto& byte : h) byte = static_cast<uint8_t>(rng());
        h[0] = 'B', h[1] = 'I', h[2] = 'N', h[3] = 0;
        DecodeImageHeader(h.data());
        ASSERT_LT(std::strlen(ImageId.customerId), sizeof ImageId.customerId);
        ASSERT_LT(std::strlen(ImageId.software), sizeof ImageId.software);
    }
}
