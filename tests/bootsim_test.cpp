// The emulated boot loader, driven from a raw client on its slave side.
#include <errno.h>
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
    bool Ok() const { return fd_ >= 0; }
    int Fd() const { return fd_; }

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

// Offsets of the scanner's identity reply: fields from 0, short key code, checksum, CR LF.
int ReplyKey(const std::string& reply) {
    const size_t m = reply.size();
    if (m < 10 || reply[m - 2] != '\r' || reply[m - 1] != '\n') return -2;
    uint8_t sum = 0;
    for (size_t i = 0; i + 3 < m; ++i) sum = uint8_t(sum + uint8_t(reply[i]));
    if (sum != uint8_t(reply[m - 3])) return -3;
    const std::string s = reply.substr(m - 10, 7);
    const uint8_t code[9] = {'C', uint8_t(s[0]), uint8_t(s[1]), uint8_t(s[2]), uint8_t(s[3]),
                             '#', uint8_t(s[4]), uint8_t(s[5]), uint8_t(s[6])};
    return sim::CheckKeyCode(code);
}

std::string Unscramble(const std::string& reply, size_t length, int stream) {
    std::string text;
    for (size_t i = 0; i < length; ++i) text += char(uint8_t(reply[i]) ^ uint8_t(stream + i));
    return text;
}

}  // namespace

TEST(BootSim, ConsoleEchoesAndPromptsAcrossReopens) {
    Running run;
    for (int session = 0; session < 3; ++session) {
        Client client(run.sim.DevicePath());
        ASSERT_TRUE(client.Ok());
        client.Send("\r");
        EXPECT_EQ(client.Read(100, 400), kPrompt);  // exactly the prompt, nothing after it
        const std::string odd("x\x00\x11\x13\xff\x7f", 6);
        EXPECT_EQ(client.Type(odd), odd);
        client.Send("\r");
        EXPECT_EQ(client.ReadUntil(kPrompt), "\r\nunknown command" + kPrompt);
    }
    const sim::BootSimReport report = run.sim.Report();
    EXPECT_EQ(report.wakes, 3);
    ASSERT_EQ(report.commands.size(), 3u);
    EXPECT_EQ(report.commands[2], std::string("x\x00\x11\x13\xff\x7f", 6));
}

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

TEST(BootSim, WhoruRepliesWithAFreshlyKeyedIdentity) {
    Running run;
    Client client(run.sim.DevicePath());
    std::string first = client.Command("whoru");
    std::string second = client.Command("whoru");
    ASSERT_GT(first.size(), kPrompt.size());
    first.resize(first.size() - kPrompt.size());
    second.resize(second.size() - kPrompt.size());
    const int key = ReplyKey(first);
    ASSERT_GE(key, 0);
    EXPECT_EQ(Unscramble(first, 7, key), std::string("ORVANE\0", 7));
    EXPECT_EQ(Unscramble(first.substr(7), 5, key + 48), std::string("5800\0", 5));
    EXPECT_NE(first, second);
}

TEST(BootSim, WhoruVariants) {
    sim::BootSimOptions plain;
    plain.plainIdentity = true;
    Running plainRun(plain);
    Client plainClient(plainRun.sim.DevicePath());
    std::string reply = plainClient.Command("whoru");
    EXPECT_EQ(reply.substr(0, 12), std::string("ORVANE\0"
                                               "5800\0",
                                               12));
    EXPECT_EQ(ReplyKey(reply.substr(0, reply.size() - kPrompt.size())), -1);

    sim::BootSimOptions bad;
    bad.badIdentityChecksum = true;
    Running badRun(bad);
    Client badClient(badRun.sim.DevicePath());
    reply = badClient.Command("whoru");
    EXPECT_EQ(ReplyKey(reply.substr(0, reply.size() - kPrompt.size())), -3);
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

TEST(BootSim, EchoAndPromptFaults) {
    sim::BootSimOptions options;
    options.echoFaults = {{"whoru", 2, true}, {"erase 70000 8", 7, false}};
    options.wrongPrompt = true;
    options.noSuccessMark = {2};
    options.noPromptAfter = {"go"};
    Running run(options);
    Client client(run.sim.DevicePath());

    EXPECT_EQ(client.Type("who"), "whO");  // bit 5 flipped, and the line is dropped
    client.Send("\r");
    EXPECT_EQ(client.Read(7, 2000), "\r\nboot>");
    client.Send("erase 70");
    EXPECT_EQ(client.Read(8, 300), "erase 7");  // no echo for the "0"
    client.Send("\r");
    EXPECT_EQ(client.Read(7, 2000), "\r\nboot>");

    EXPECT_EQ(client.Type("erase 2000 1"), "erase 2000 1");
    client.Send("\r");
    EXPECT_NE(client.ReadUntil("\r\nboot>").find("^_^"), std::string::npos);
    EXPECT_EQ(client.Type("erase 71000 7"), "erase 71000 7");
    client.Send("\r");
    EXPECT_EQ(client.ReadUntil("\r\nboot>").find("^_^"), std::string::npos);

    EXPECT_EQ(client.Type("go 5000"), "go 5000");
    client.Send("\r");
    EXPECT_EQ(client.Read(100, 500), "\r\nstarting firmware at 0x5000");
    EXPECT_TRUE(run.sim.Report().started);
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

TEST(BootSim, UnplugHangsUpTheClient) {
    sim::BootSimOptions options;
    options.unplugAfterBlock = 1;
    Running run(options);
    Client client(run.sim.DevicePath());
    EXPECT_EQ(client.Type("upload 2000"), "upload 2000");
    client.Send("\r");
    EXPECT_EQ(client.Read(1, 2000), std::string(1, kNak));
    client.Send(Block(1, Data(1)));
    EXPECT_EQ(client.Read(1, 2000), std::string(1, kAck));
    ASSERT_TRUE(run.sim.WaitFor([](const sim::BootSimReport& r) { return r.unplugged; }, 5000));

    pollfd p = {client.Fd(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 2000), 1);
    char byte;
    const bool hungUp =
        (p.revents & POLLHUP) != 0 || (read(client.Fd(), &byte, 1) < 0 && errno == EIO);
    EXPECT_TRUE(hungUp);
}
