// "upgrade success!!!" only when the scanner took every block: rejected last
// blocks, late answers and answers the line made up are failures.
#include "tests/upgrade_fixture.h"

namespace {

// The scanner holds the first `blocks` blocks of the image and no more.
void ExpectFlashPrefix(const sim::BootSimReport& r, const Bytes& image, size_t blocks) {
    ASSERT_EQ(blocks * 128, r.flash.size());
    const size_t n = std::min(image.size(), r.flash.size());
    EXPECT_TRUE(std::equal(image.begin(), image.begin() + n, r.flash.begin()));
}

}  // namespace

TEST_F(UpgradeTest, ARejectedLastBlockFailsWithoutEot) {
    struct Case {
        Bytes image;
        Bytes sent;  // what the scanner should get
        int blocks;
    };
    Bytes headered = HeaderedImage(2044, kScanner, 0x21);
    const Case cases[] = {
        {Payload(1834, 21), Payload(1834, 21), 15},
        {headered, Bytes(headered.begin() + 1024, headered.end()), 8},
        {Payload(1280, 22), Payload(1280, 22), 11},  // the last block repeats the one before
    };
    for (const Case& c : cases) {
        options = sim::BootSimOptions();
        options.identity = kScanner;
        options.nakBlock = c.blocks;
        EXPECT_EQ("upgrade not finish!!!", Run(c.image)) << c.blocks;
        sim::BootSimReport r = Settled();
        EXPECT_EQ(TransferRejected, UpgradeRun.transferEnd);
        EXPECT_EQ(0, r.uploads);  // no EOT reached the scanner
        ExpectFlashPrefix(r, c.sent, c.blocks - 1);
        EXPECT_TRUE(r.started);  // the start step still runs
    }
}

TEST_F(UpgradeTest, AnAckHeldPastTheAnswerWaitIsNotTakenForALaterBlock) {
    Bytes image = Payload(5300, 23);  // 42 blocks
    options.holdAckBlock = 9;
    options.holdAckMs = 4000;
    options.nakBlock = 42;
    EXPECT_EQ("upgrade not finish!!!", Run(image));
    ExpectFlashPrefix(Settled(), image, 41);
    EXPECT_EQ(0, Settled().uploads);

    options.nakBlock = -1;
    EXPECT_EQ("upgrade success!!!", Run(image));
    EXPECT_EQ(1, UpgradeRun.blocksResent);
    ExpectFlashPrefix(Settled(), image, 42);
    EXPECT_EQ(1, Settled().uploads);
}

TEST_F(UpgradeTest, AnAnswerTheLineMadeUpIsDoubt) {
    Bytes image = Payload(1000, 24);  // 8 blocks
    for (bool paced : {false, true}) {
        options.lineRate = paced;
        options.doubleAckBlock = 5;
        EXPECT_EQ("upgrade not finish!!!", Run(image)) << paced;
        EXPECT_EQ(TransferSurplusAnswer, UpgradeRun.transferEnd) << paced;
        EXPECT_EQ(0, Settled().uploads);
    }
    // The doubled ACK of the block before the last, and the last one rejected:
    // the made-up answer must not pass for the last block's.
    for (bool paced : {false, true}) {
        options.lineRate = paced;
        options.doubleAckBlock = 7;
        options.nakBlock = 8;
        EXPECT_EQ("upgrade not finish!!!", Run(image)) << paced;
        EXPECT_EQ(0, Settled().uploads);
    }
    // Doubled at the first block: taken for the second block's answer, the
    // answers would run one ahead to the end, where a scanner slow to reject
    // the last block must not see its EOT.
    options.lineRate = true;
    options.doubleAckBlock = 1;
    options.nakBlock = 8;
    EXPECT_EQ("upgrade not finish!!!", Run(image));
    EXPECT_EQ(TransferSurplusAnswer, UpgradeRun.transferEnd);
    EXPECT_EQ(0, Settled().uploads);
}

// A line faster than its nominal rate (a pseudo-terminal, a USB port) whose
// first answer was slow on a busy machine has not shown a rate: the quick
// answers after it are answers, not doubt.
TEST_F(UpgradeTest, ASlowFirstAnswerOnAFastLineIsNoDoubt) {
    Bytes image = Payload(2000, 25);  // 16 blocks
    options.holdAckBlock = 1;
    options.holdAckMs = 40;
    EXPECT_EQ("upgrade success!!!", Run(image));
    EXPECT_EQ(TransferCompleted, UpgradeRun.transferEnd);
    ExpectFlashPrefix(Settled(), image, 16);
}
