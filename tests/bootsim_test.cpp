// The emulated boot loader, driven from a raw client on its slave side.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "sim/bootsim.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

const std::string kPrompt = "\r\nBoot>";
constexpr uint8_t kAck = 0x06;
constexpr uint8_t kNak = 0x15;

class Client {
   public:
    explicit Client(const std::string& path) {
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY);
        termios t;
        if (fd_ >= 0 && tcgetattr(fd_, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(fd_, TCSANOW, &t);
        }
    }
    ~Client() {
        if (fd_ >= 0) close(fd_);
    }

    void Send(const Bytes& bytes) {
        ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }
    void Send(const std::string& text) { Send(Bytes(text.begin(), text.end())); }

    // Reads until `count` bytes came or `timeoutMs` passed.
    std::string Read(size_t count, int timeoutMs) {
        std::string got;
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (got.size() < count) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd p = {fd_, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
            char buffer[1024];
            ssize_t n = read(fd_, buffer, std::min(sizeof buffer, count - got.size()));
            if (n <= 0) break;
            got.append(buffer, static_cast<size_t>(n));
        }
        return got;
    }

    // Reads until the text received ends with `tail`.
    std::string ReadUntil(const std::string& tail, int timeoutMs = 3000) {
        std::string got;
        while (got.size() < tail.size() ||
               got.compare(got.size() - tail.size(), tail.size(), tail) != 0) {
            std::string one = Read(1, timeoutMs);
            if (one.empty()) break;
            got += one;
        }
        return got;
    }

    // Types a command character by character; returns the echoes.
    std::string Type(const std::string& command) {
        std::string echoes;
        for (char c : command) {
            Send(std::string(1, c));
            echoes += Read(1, 2000);
        }
        return echoes;
    }

    // Types, executes and returns the reply up to its prompt.
    std::string Command(const std::string& command) {
        EXPECT_EQ(Type(command), command);
        Send("\r");
        return ReadUntil(kPrompt);
    }

   private:
    int fd_ = -1;
};

Bytes Block(int number, const Bytes& data) {
    Bytes block = {0x01, uint8_t(number), uint8_t(255 - number)};
    uint8_t sum = 0;
    for (uint8_t b : data) sum = uint8_t(sum + b);
    block.insert(block.end(), data.begin(), data.end());
    block.push_back(sum);
    return block;
}

Bytes Data(uint8_t first) {
    Bytes data(128);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(first + i * 7);
    return data;
}

std::string Str(const sim::FullCode& code) {
    return std::string(code.begin(), code.end());
}

struct Running {
    explicit Running(const sim::BootSimOptions& options = sim::BootSimOptions()) : sim(options) {
        EXPECT_TRUE(sim.Start());
    }
    sim::BootSim sim;
};

}  // namespace

TEST(BootSim, KeyCodeUnlocksTheFlashErase) {
    sim::BootSimOptions options;
    options.expectedKey = 169;
    Running run(options);
    Client client(run.sim.DevicePath());
    EXPECT_EQ(client.Command("erase 2000 b"), "\r\nlocked" + kPrompt);

    // Key 169 with a = 0 puts a carriage return at position 6; it is data, not the end.
    const std::string key = Str(sim::MakeKeyCode(169, 0, 3, 4));
    ASSERT_EQ(key[6], '\r');
    EXPECT_EQ(client.Command(key), "\r\nkey ok" + kPrompt);
    EXPECT_NE(client.Command("erase 2000 b").find("^_^"), std::string::npos);

    EXPECT_EQ(client.Command(Str(sim::MakeKeyCode(168, 0, 3, 4))), "\r\nkey refused" + kPrompt);
    std::string broken = key;
    broken[7] = 'z';
    EXPECT_EQ(client.Command(broken), "\r\nkey error" + kPrompt);
    EXPECT_EQ(client.Command("erase 2000 b"), "\r\nlocked" + kPrompt);

    const sim::BootSimReport report = run.sim.Report();
    EXPECT_EQ(report.keyCodes.size(), 3u);
    EXPECT_EQ(report.keyReceived, 168);
    EXPECT_FALSE(report.keyAccepted);
    ASSERT_EQ(report.erases.size(), 3u);
    EXPECT_FALSE(report.erases[0].done);
    EXPECT_TRUE(report.erases[1].done);
    EXPECT_EQ(report.erases[1].sectors, 11u);
}

TEST(BootSim, UploadTakesBlocksNaksDamageAndIgnoresRepeats) {
    Running run;
    Client client(run.sim.DevicePath());
    EXPECT_EQ(client.Type("upload 2000"), "upload 2000");
    client.Send("\r");
    EXPECT_EQ(client.Read(1, 2000), std::string(1, kNak));

    Bytes damaged = Block(1, Data(1));
    damaged[50] ^= 0x40;
    client.Send(damaged);
    EXPECT_EQ(client.Read(1, 2000), std::string(1, kNak));
    client.Send(Block(1, Data(1)));
    EXPECT_EQ(client.Read(1, 2000), std::string(1, kAck));
    client.Send(Block(2, Data(9)));
    EXPECT_EQ(client.Read(1, 2000), std::string(1, kAck));
    client.Send(Block(2, Data(9)));  // as if our ACK had been lost
    EXPECT_EQ(client.Read(1, 2000), std::string(1, kAck));
    client.Send(Block(4, Data(9)));  // out of sequence
    EXPECT_EQ(client.Read(1, 2000), std::string(1, kNak));

    const Bytes stalled = Block(3, Data(5));
    client.Send(Bytes(stalled.begin(), stalled.begin() + 40));  // then nothing for a while
    EXPECT_EQ(client.Read(1, 3000), std::string(1, kNak));

    client.Send(Bytes{0x04});
    EXPECT_EQ(client.ReadUntil(kPrompt), "\x06\r\nupload done, 256 bytes" + kPrompt);

    const sim::BootSimReport report = run.sim.Report();
    Bytes flash = Data(1);
    const Bytes second = Data(9);
    flash.insert(flash.end(), second.begin(), second.end());
    EXPECT_EQ(report.flash, flash);
    EXPECT_EQ(report.blockNumbers, (std::vector<int>{1, 1, 2, 2, 4}));
    EXPECT_EQ(report.uploads, 1);
    EXPECT_TRUE(report.eot);
}

TEST(BootSim, TransferFaultsAndAbortByCarriageReturn) {
    sim::BootSimOptions options;
    options.bytesBeforeNak = 5;
    options.noAnswerBlock = 1;
    options.nakBlock = 2;
    Running run(options);
    Client client(run.sim.DevicePath());
    EXPECT_EQ(client.Type("upload 2000"), "upload 2000");
    client.Send("\r");
    const std::string start = client.Read(6, 2000);
    EXPECT_EQ(start.size(), 6u);
    EXPECT_EQ(start.find(char(kNak)), 5u);

    client.Send(Block(1, Data(1)));
    EXPECT_EQ(client.Read(1, 400), "");  // swallowed once
    client.Send(Block(1, Data(1)));
    EXPECT_EQ(client.Read(1, 2000), std::string(1, kAck));
    client.Send(Block(2, Data(2)));
    EXPECT_EQ(client.Read(1, 2000), std::string(1, kNak));

    // The utility gives up here; its next carriage return reaches the console again.
    client.Send("\r");
    EXPECT_EQ(client.ReadUntil(kPrompt), kPrompt);
    const sim::BootSimReport report = run.sim.Report();
    EXPECT_EQ(report.flash, Data(1));
    EXPECT_EQ(report.uploads, 0);
    EXPECT_FALSE(report.eot);
}

TEST(BootSim, LineRatePacesTheOutput) {
    sim::BootSimOptions options;
    options.lineRate = true;
    Running run(options);
    Client client(run.sim.DevicePath());
    const auto begin = Clock::now();
    client.Send(std::string(83, '\r'));  // 83 prompts, 581 bytes
    const std::string got = client.Read(581, 5000);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin);
    EXPECT_EQ(got.size(), 581u);
    EXPECT_GE(took.count(), 90);  // 580 byte times are 100.7 ms at 57600 baud
}
