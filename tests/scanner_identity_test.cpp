#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "codec/access_mode.h"
#include "codec/image_header.h"
#include "codec/scanner_identity.h"
#include "sim/sim_codec.h"

namespace {

using sim::Bytes;

struct Question {
    static int asked;
    static bool answer;
    static std::string caption, text;
    static bool Ask(const char* c, const char* t) {
        ++asked;
        caption = c;
        text = t;
        return answer;
    }
};
int Question::asked = 0;
bool Question::answer = false;
std::string Question::caption, Question::text;

class ScannerIdentityTest : public ::testing::Test {
   protected:
    void SetUp() override {
        Question::asked = 0;
        SetOverrideQuestion(Question::Ask);
        AccessMode = EndUser;
        std::memset(&ScannerId, 0, sizeof ScannerId);
    }
    void TearDown() override {
        SetOverrideQuestion(nullptr);
        AccessMode = EndUser;
    }
    bool Decode(const Bytes& reply) {
        return DecodeScannerIdentity(reply.data(), static_cast<int>(reply.size()));
    }
    std::mt19937 rng{21};
};

void ExpectIdentity(const sim::Identity& id) {
    EXPECT_EQ(id.customerId, ScannerId.customerId);
    EXPECT_EQ(id.moduleNo, ScannerId.moduleNo);
    EXPECT_EQ(id.hardware, ScannerId.hardware);
    EXPECT_EQ(id.software, ScannerId.software);
}

}  // namespace

TEST_F(ScannerIdentityTest, DecodesScrambledRepliesUnderEveryKey) {
    sim::Identity id = {"ACME", "5800", "HW-A1", "1.00"};
    for (int key = 0; key < 256; ++key) {
        ASSERT_TRUE(Decode(sim::EncodeIdentityReply(id, static_cast<uint8_t>(key), rng))) << key;
        ExpectIdentity(id);
    }
}

TEST_F(ScannerIdentityTest, CapacityLengthFieldsAndTrailingBytes) {
    sim::Identity full = {std::string(48, 'c'), std::string(16, 'm'), std::string(32, 'h'),
                          std::string(16, 's')};
    ASSERT_TRUE(Decode(sim::EncodeIdentityReply(full, 250, rng)));
    ExpectIdentity(full);
    // 47 characters plus the closing byte take the same 48 bytes as 48 characters.
    sim::Identity oneShort = {std::string(47, 'c'), "M", "", "S"};
    ASSERT_TRUE(Decode(sim::EncodeIdentityReply(oneShort, 0xF0, rng, Bytes{1, 2, 3, 0xFF})));
    ExpectIdentity(oneShort);
}

TEST_F(ScannerIdentityTest, RejectsDamagedReplies) {
    sim::Identity id = {"A", "B", "C", "D"};
    Bytes good = sim::EncodeIdentityReply(id, 77, rng);
    Bytes badSum = good;
    badSum[good.size() - 3] ^= 0x01;
    EXPECT_FALSE(Decode(badSum));
    Bytes noLf = good;
    noLf.back() = 0x0D;
    EXPECT_FALSE(Decode(noLf));
    for (size_t n = 0; n < 10; ++n) EXPECT_FALSE(Decode(Bytes(good.end() - n, good.end()))) << n;
    EXPECT_STREQ("", ScannerId.moduleNo);  // left as it was

    // Checksum carries out of eight bits are dropped.
    Bytes heavy = sim::EncodeIdentityReply({std::string(48, '\xF0'), "M", "H", "S"}, 1, rng);
    EXPECT_TRUE(Decode(heavy));
}

TEST_F(ScannerIdentityTest, FieldsRunningPastTheReplyStopAtItsEnd) {
    // Only a key code, checksum and CR LF: the fields would read them and beyond.
    std::mt19937 r(1);
    Bytes reply;
    for (uint8_t b : sim::ShortForm(sim::RandomKeyCode(0x80, r))) reply.push_back(b);
    sim::SealIdentityReply(reply);
    ASSERT_TRUE(Decode(reply));
    size_t total = std::strlen(ScannerId.customerId) + std::strlen(ScannerId.moduleNo) +
                   std::strlen(ScannerId.hardware) + std::strlen(ScannerId.software);
    EXPECT_LE(total, reply.size());
}

TEST_F(ScannerIdentityTest, PlainReplyOnlyInOverrideModeAndOnlyWithYes) {
    sim::Identity id = {"PLAIN", "5800", "HW", "2.00"};
    Bytes plain = sim::PlainIdentityReply(id);
    for (AccessLevel mode : {EndUser, Reseller}) {
        AccessMode = mode;
        EXPECT_FALSE(Decode(plain));
        EXPECT_STREQ("", ScannerId.customerId);
    }
    EXPECT_EQ(0, Question::asked);

    AccessMode = Override;
    Question::answer = false;
    EXPECT_FALSE(Decode(plain));
    Question::answer = true;
    EXPECT_TRUE(Decode(plain));
    EXPECT_EQ(2, Question::asked);
    EXPECT_EQ("Got a unencrypt ID", Question::caption);
    ExpectIdentity(id);
}

TEST_F(ScannerIdentityTest, OverlongPlainTextsAreCut) {
    AccessMode = Override;
    Question::answer = true;
    Bytes reply(300, 'x');  // no closing zeros at all
    const uint8_t invalid[7] = {'X', '0', '0', '0', 'K', 'q', 'a'};
    for (uint8_t b : invalid) reply.push_back(b);
    sim::SealIdentityReply(reply);
    ASSERT_TRUE(Decode(reply));
    EXPECT_EQ(48u, std::strlen(ScannerId.customerId));
    EXPECT_STREQ("", ScannerId.software);
}

TEST_F(ScannerIdentityTest, ConfirmationShowsOldScannerAndNewImage) {
    std::strcpy(ScannerId.customerId, "OLDC");
    std::strcpy(ScannerId.moduleNo, "OLDM");
    std::strcpy(ScannerId.hardware, "OLDH");
    std::strcpy(ScannerId.software, "OLDS");
    std::strcpy(ImageId.customerId, "NEWC");
    std::strcpy(ImageId.moduleNo, "NEWM");
    std::strcpy(ImageId.hardware, "NEWH");
    std::strcpy(ImageId.software, "NEWS");

    EXPECT_FALSE(ConfirmOverride("Mismatch Module NO."));  // EndUser: nothing asked
    EXPECT_EQ(0, Question::asked);

    AccessMode = Override;
    Question::answer = true;
    EXPECT_TRUE(ConfirmOverride("Mismatch Module NO."));
    EXPECT_EQ("Mismatch Module NO.", Question::caption);
    EXPECT_EQ(
        "Old Customer ID\t: OLDC\nNew Customer ID\t: NEWC\nOld Module No\t: OLDM\nNew Module No\t: "
        "NEWM\nOld Hardware\t: OLDH\nNew Hardware\t: NEWH\nOld Software\t: OLDS\nNew Software\t: "
        "NEWS",
        Question::text);

    SetOverrideQuestion(nullptr);
    EXPECT_FALSE(ConfirmOverride("Mismatch Software ID"));
}

TEST_F(ScannerIdentityTest, LongestMessageFitsWhole) {
    AccessMode = Override;
    Question::answer = true;
    std::memset(ScannerId.customerId, 'c', 48);
    std::memset(ScannerId.moduleNo, 'm', 16);
    std::memset(ScannerId.hardware, 'h', 32);
    std::memset(ScannerId.software, 's', 16);
    std::memset(ImageId.customerId, 'C', 47);
    ImageId.customerId[47] = 0;
    for (char* m : {ImageId.moduleNo, ImageId.hardware, ImageId.software}) {
        std::memset(m, 'X', 15);
        m[15] = 0;
    }
    ASSERT_TRUE(ConfirmOverride("Mismatch Software ID"));
    EXPECT_EQ(339u, Question::text.size());
}
