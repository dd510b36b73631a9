// Whole upgrades over a pseudo-terminal against the emulated scanner.
#include "tests/upgrade_fixture.h"

TEST_F(UpgradeTest, TypicalUpgradeWithHeader) {
    Bytes image = HeaderedImage(45000, {"ORVANE", "5800", "HW-A1", "1.00.01"}, 0x5A);
    options.expectedKey = 0x5A;
    EXPECT_EQ("upgrade success!!!", Run(image));
    EXPECT_EQ(OutcomeSuccess, outcome);
    EXPECT_TRUE(UpgradeRun.started);
    EXPECT_EQ((std::vector<std::string>{"whoru", "<key code>", "erase 2000 b", "erase 70000 8",
                                        "upload 2000", "go 5000"}),
              Commands());
    sim::BootSimReport r = Settled();
    EXPECT_TRUE(r.keyAccepted);
    // 43976 bytes after the header: 343 full blocks and one of 72 bytes.
    ASSERT_EQ(344u * 128, r.flash.size());
    EXPECT_TRUE(std::equal(image.begin() + 1024, image.end(), r.flash.begin()));
    EXPECT_TRUE(std::equal(r.flash.begin() + 343 * 128 - 56, r.flash.begin() + 343 * 128,
                           r.flash.begin() + 343 * 128 + 72));  // the fill repeats block 343
    // What the dialog shows: its range, every block acknowledged, a full bar at the end.
    EXPECT_EQ(0u, display.low);
    EXPECT_EQ(354u, display.high);
    EXPECT_TRUE(std::is_sorted(display.positions.begin(), display.positions.end()));
    for (uint32_t k = 1; k <= 344; ++k)
        EXPECT_NE(display.positions.end(),
                  std::find(display.positions.begin(), display.positions.end(), k + 2));
    EXPECT_EQ(354u, display.positions.back());
    EXPECT_EQ("handshaking...", display.texts.front());
    EXPECT_EQ("erasing flash...", display.texts[1]);
    EXPECT_EQ("43K byte(s) sent", display.texts.back());
    EXPECT_EQ(0, questions);
}

TEST_F(UpgradeTest, ImageWithoutHeaderSkipsTheIdentitySteps) {
    Bytes image = Payload(4097, 3);
    options.expectedKey = -1;
    EXPECT_EQ("upgrade success!!!", Run(image));
    EXPECT_EQ((std::vector<std::string>{"erase 2000 2", "erase 70000 8", "upload 2000", "go 5000"}),
              Commands());
    EXPECT_EQ("erasing flash...", display.texts.front());
    Bytes flash = Settled().flash;
    ASSERT_EQ(33u * 128, flash.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
}

TEST_F(UpgradeTest, ResellerErasesItsOwnParameterArea) {
    AccessMode = Reseller;
    EXPECT_EQ("upgrade success!!!", Run(Payload(300, 4)));
    EXPECT_EQ("erase 71000 7", Commands()[1]);
}

TEST_F(UpgradeTest, ModuleMismatchIsAskedOnlyInOverrideMode) {
    Bytes image = HeaderedImage(3000, {"ORVANE", "5900", "HW-A1", "0.1"}, 9);
    EXPECT_EQ("Mismatch Module NO.", Run(image));
    EXPECT_EQ(0, questions);

    AccessMode = Override;
    EXPECT_EQ("Mismatch Module NO.", Run(image));
    EXPECT_EQ(1, questions);
    answerYes = true;
    // Yes: the older software is not even compared, the key code follows.
    EXPECT_EQ("upgrade success!!!", Run(image));
    EXPECT_EQ(2, questions);
    EXPECT_EQ("<key code>", Commands()[1]);
}

TEST_F(UpgradeTest, SoftwareVersionsCompareAsText) {
    options.identity.software = "9";
    Bytes image = HeaderedImage(3000, {"ORVANE", "5800", "HW-A1", "10"}, 9);
    EXPECT_EQ("Mismatch Software ID", Run(image));
    options.identity.software = "10";
    EXPECT_EQ("upgrade success!!!", Run(image));  // equal: no question
    EXPECT_EQ(0, questions);
}

TEST_F(UpgradeTest, PlainIdentityReplyNeedsOverrideAndYes) {
    options.plainIdentity = true;
    Bytes image = HeaderedImage(2000, kScanner, 1);
    EXPECT_EQ("Got a invalid scanner ID", Run(image));
    AccessMode = Override;
    answerYes = true;
    EXPECT_EQ("upgrade success!!!", Run(image));
    EXPECT_EQ(1, questions);
}

TEST_F(UpgradeTest, EveryFailureHasItsMessage) {
    Bytes image = HeaderedImage(5000, kScanner, 0x33);
    struct Case {
        const char* expected;
        void (*arrange)(sim::BootSimOptions&);
    };
    const Case cases[] = {
        {"Scanner is not connected or not in upgrade mode",
         [](sim::BootSimOptions& o) { o.silent = true; }},
        {"Scanner is not connected or not in upgrade mode",
         [](sim::BootSimOptions& o) { o.wrongPrompt = true; }},
        {"Write \"whoru\" fail",
         [](sim::BootSimOptions& o) {
             o.echoFaults.push_back({"whoru", 2, false});
         }},
        {"Get scanner ID failed",
         [](sim::BootSimOptions& o) { o.noPromptAfter.push_back("whoru"); }},
        {"Got a invalid scanner ID", [](sim::BootSimOptions& o) { o.badIdentityChecksum = true; }},
        {"Write \"getid\" fail",
         [](sim::BootSimOptions& o) {
             o.echoFaults.push_back({"C", 4, true});
         }},
        {"Get scanner ID failed", [](sim::BootSimOptions& o) { o.noPromptAfter.push_back("C"); }},
        {"Write \"erase 2000 2\" fail",
         [](sim::BootSimOptions& o) {
             o.echoFaults.push_back({"erase 2000", 6, true});
         }},
        {"Erase Flash failed", [](sim::BootSimOptions& o) { o.noSuccessMark.push_back(1); }},
        {"Erase Flash failed", [](sim::BootSimOptions& o) { o.expectedKey = 0x34; }},
        {"Write \"erase 70000 8\" fail",
         [](sim::BootSimOptions& o) {
             o.echoFaults.push_back({"erase 70000 8", 7, false});
         }},
        {"Erase parameter area failed",
         [](sim::BootSimOptions& o) { o.noSuccessMark.push_back(2); }},
        {"Write \"upload 2000\" fail",
         [](sim::BootSimOptions& o) {
             o.echoFaults.push_back({"upload 2000", 10, false});
         }},
        {"upgrade not finish!!!", [](sim::BootSimOptions& o) { o.nakBlock = 5; }},
        {"upgrade not finish!!!", [](sim::BootSimOptions& o) { o.garbageBlock = 1; }},
        {"Write \"go 5000\" fail",
         [](sim::BootSimOptions& o) {
             o.echoFaults.push_back({"go 5000", 3, false});
         }},
    };
    for (const Case& c : cases) {
        options = sim::BootSimOptions();
        options.identity = kScanner;
        options.expectedKey = 0x33;
        c.arrange(options);
        EXPECT_EQ(c.expected, Run(image)) << c.expected;
    }
}

TEST_F(UpgradeTest, NothingButOneCarriageReturnReachesASilentScanner) {
    options.silent = true;
    TempFile file(Payload(1000, 5));
    sim = std::make_unique<sim::BootSim>(options);
    ASSERT_TRUE(sim->Start());
    ASSERT_EQ(0, SerialOpen(sim->DevicePath().c_str(), 57600));
    EXPECT_STREQ("Scanner is not connected or not in upgrade mode", RunUpgrade(file.Path(), 0));
    EXPECT_EQ("\r", Text(Settled().input));
}

TEST_F(UpgradeTest, MissingImageWritesNothing) {
    EXPECT_EQ("cannot open /nonexistent/fw.bin", RunPath("/nonexistent/fw.bin"));
    // Only the start step spoke to the scanner.
    EXPECT_EQ((std::vector<std::string>{"go 5000"}), Commands());
    EXPECT_EQ(1, Settled().wakes);
}

TEST_F(UpgradeTest, StartStepWithoutPromptKeepsTheResult) {
    options.noPromptAfterUpload = true;
    EXPECT_EQ("upgrade success!!!", Run(Payload(500, 6)));
    sim::BootSimReport r = Settled();
    EXPECT_FALSE(r.started);
    EXPECT_EQ(std::string::npos, Text(r.input).find("go"));
}

TEST_F(UpgradeTest, Block256IsNumberedZero) {
    Bytes image = Payload(257 * 128 + 10, 7);
    EXPECT_EQ("upgrade success!!!", Run(image));
    std::vector<int> numbers = Settled().blockNumbers;
    ASSERT_EQ(258u, numbers.size());
    EXPECT_EQ(255, numbers[254]);
    EXPECT_EQ(0, numbers[255]);
    EXPECT_EQ(1, numbers[256]);
    EXPECT_NE(std::find(display.positions.begin(), display.positions.end(), 258u),
              display.positions.end());
}

TEST_F(UpgradeTest, UnansweredBlockIsSentAgain) {
    options.noAnswerBlock = 3;
    Bytes image = Payload(1000, 8);
    EXPECT_EQ("upgrade success!!!", Run(image));
    std::vector<int> numbers = Settled().blockNumbers;
    EXPECT_EQ(2, std::count(numbers.begin(), numbers.end(), 3));
    EXPECT_TRUE(std::equal(image.begin(), image.end(), Settled().flash.begin()));
}

TEST_F(UpgradeTest, UnplugMidTransferEndsPromptly) {
    options.unplugAfterBlock = 10;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ("upgrade not finish!!!", Run(Payload(20000, 9)));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_TRUE(sim->WaitFor([](const sim::BootSimReport& r) { return r.unplugged; }, kSettleMs));
}

TEST_F(UpgradeTest, EndlessChatterInsteadOfNakEndsInBoundedTime) {
    options.endlessBeforeNak = true;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ("upgrade not finish!!!", Run(Payload(2000, 10)));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(40));
}

TEST_F(UpgradeTest, HeaderMagicAloneDecidesWhatIsSkipped) {
    // 1024 + 300 bytes behind a magic whose header does not decode: still skipped,
    // and no identity exchange happens.
    Bytes image = Payload(1324, 11);
    image[0] = 'B', image[1] = 'I', image[2] = 'N', image[3] = 0;
    EXPECT_EQ("upgrade success!!!", Run(image));
    EXPECT_EQ("erase 2000 1", Commands()[0]);
    Bytes flash = Settled().flash;
    ASSERT_EQ(3u * 128, flash.size());
    EXPECT_TRUE(std::equal(image.begin() + 1024, image.end(), flash.begin()));
    EXPECT_TRUE(
        std::equal(flash.begin() + 128 + 44, flash.begin() + 256, flash.begin() + 256 + 44));
}

TEST_F(UpgradeTest, WholeBlockImageEndsWithARepeatedBlock) {
    Bytes image = Payload(256, 12);
    EXPECT_EQ("upgrade success!!!", Run(image));
    Bytes flash = Settled().flash;
    ASSERT_EQ(3u * 128, flash.size());
    EXPECT_TRUE(std::equal(flash.begin() + 128, flash.begin() + 256, flash.begin() + 256));
}
