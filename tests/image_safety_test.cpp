// Nothing unsound reaches the scanner's flash: images that must be refused
// before the first erase, and images that change while they are being sent.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "tests/upgrade_fixture.h"

namespace {

namespace fs = std::filesystem;

class ImageSafetyTest : public UpgradeTest {
   protected:
    void SetUp() override {
        UpgradeTest::SetUp();
        dir = fs::temp_directory_path() /
              ("orvane-safety-" + std::to_string(getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override {
        UpgradeTest::TearDown();
        fs::remove_all(dir);
    }
    std::string Make(const std::string& name, const Bytes& bytes) {
        std::string path = (dir / name).string();
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
        return path;
    }
    // A refused image: the message, and the scanner only asked to start.
    void ExpectRefused(const std::string& path, const std::string& message) {
        EXPECT_EQ(message + " " + path, RunPath(path.c_str())) << path;
        sim::BootSimReport r = Settled();
        EXPECT_TRUE(r.erases.empty()) << path;
        EXPECT_EQ((std::vector<std::string>{"go 5000"}), r.commands) << path;
    }
    // Success, and the flash holds exactly `image` (its payload, then the last block's fill).
    void ExpectFlashHolds(const Bytes& image) {
        sim::BootSimReport r = Settled();
        EXPECT_TRUE(r.eot);
        size_t blocks = image.size() / 128 + 1;
        ASSERT_EQ(blocks * 128, r.flash.size());
        EXPECT_TRUE(std::equal(image.begin(), image.end(), r.flash.begin()));
    }
    fs::path dir;
};

}  // namespace

TEST_F(ImageSafetyTest, ImagesWithNothingToSendAreRefusedBeforeAnyErase) {
    ExpectRefused(Make("empty.bin", {}), "empty image");
    Bytes headerOnly = HeaderedImage(1024, kScanner, 9);
    ExpectRefused(Make("header-only.bin", headerOnly), "empty image");
    // One byte after the header is something to send.
    headerOnly.push_back(0x5A);
    EXPECT_EQ("upgrade success!!!", RunPath(Make("one-byte.bin", headerOnly).c_str()));
}

TEST_F(ImageSafetyTest, WhatIsNoRegularFileIsRefusedWithoutWaiting) {
    fs::create_directory(dir / "folder.bin");
    ExpectRefused((dir / "folder.bin").string(), "cannot open");
    // No writer: opening it for reading in the usual way would wait for ever.
    ASSERT_EQ(0, mkfifo((dir / "fifo.bin").c_str(), 0600));
    ExpectRefused((dir / "fifo.bin").string(), "cannot open");
    for (const char* device : {"/dev/zero", "/dev/null"}) {
        fs::path link = dir / (fs::path(device).filename().string() + ".bin");
        fs::create_symlink(device, link);
        ExpectRefused(link.string(), "cannot open");
    }
}

TEST_F(ImageSafetyTest, AnImageTooLargeForItsSizeFieldIsRefused) {
    std::string path = Make("huge.bin", {});
    ASSERT_EQ(0, truncate(path.c_str(), 2147483648LL));  // sparse: costs no disk
    ExpectRefused(path, "cannot open");
}

TEST_F(ImageSafetyTest, ALinkToAGoodImageIsFollowed) {
    Bytes image = Payload(5000, 21);
    fs::create_symlink(Make("real.bin", image), dir / "link.bin");
    EXPECT_EQ("upgrade success!!!", RunPath((dir / "link.bin").c_str()));
    ExpectFlashHolds(image);
}

TEST_F(ImageSafetyTest, AnImageCutShortDuringTheTransferFailsWithoutEot) {
    Bytes image = HeaderedImage(45000, kScanner, 9);
    std::string path = Make("fw.bin", image);
    options.onBlock = [path](int block) {
        if (block == 5) {
            ASSERT_EQ(0, truncate(path.c_str(), 19 * 1024));
        }
    };
    EXPECT_EQ("upgrade not finish!!!", RunPath(path.c_str()));
    EXPECT_EQ(TransferImageShort, UpgradeRun.transferEnd);
    sim::BootSimReport r = Settled();
    EXPECT_FALSE(r.eot);
    EXPECT_LT(r.flash.size(), image.size() - 1024);
}

TEST_F(ImageSafetyTest, BytesAddedDuringTheTransferAreNotSent) {
    Bytes image = Payload(45000, 22);
    std::string path = Make("fw.bin", image);
    options.onBlock = [path](int block) {
        if (block == 5) std::ofstream(path, std::ios::app) << std::string(30000, 'x');
    };
    EXPECT_EQ("upgrade success!!!", RunPath(path.c_str()));
    ExpectFlashHolds(image);
}

TEST_F(ImageSafetyTest, AByteChangedInPlaceDuringTheTransferFailsWithoutEot) {
    Bytes image = Payload(45000, 23);
    std::string path = Make("fw.bin", image);
    options.onBlock = [path, &image](int block) {
        if (block != 3) return;
        std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(30000);
        f.put(static_cast<char>(image[30000] ^ 0xFF));
    };
    EXPECT_EQ("upgrade not finish!!!", RunPath(path.c_str()));
    EXPECT_EQ(TransferImageChanged, UpgradeRun.transferEnd);
    EXPECT_FALSE(Settled().eot);
}

TEST_F(ImageSafetyTest, AFileSwappedInAfterTheIdentityCheckIsNotWhatIsSent) {
    Bytes image = HeaderedImage(20000, kScanner, 9);
    std::string path = Make("fw.bin", image);
    std::string other = Make("other.bin", Payload(60000, 24));
    std::atomic<bool> swapped{false};
    options.onLog = [&](const std::string& line) {
        if (swapped || line.compare(0, 5, "erase") != 0) return;
        fs::rename(other, path);
        swapped = true;
    };
    EXPECT_EQ("upgrade success!!!", RunPath(path.c_str()));
    EXPECT_TRUE(swapped);
    ExpectFlashHolds(Bytes(image.begin() + 1024, image.end()));
}
