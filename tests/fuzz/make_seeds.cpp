// Seed inputs for the fuzzers, from the emulated scanner's encoders and the recording's:
//   make_seeds DIR   writes DIR/key_code/, DIR/image_header/, DIR/scanner_identity/ and
//                    DIR/recording/.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "events/recording_format.h"
#include "sim/sim_codec.h"

namespace fs = std::filesystem;

namespace {

using sim::Bytes;

class SeedDir {
   public:
    explicit SeedDir(const fs::path& dir) : dir_(dir) { fs::create_directories(dir_); }
    void Write(const Bytes& bytes) {
        char name[32];
        std::snprintf(name, sizeof name, "seed-%04d", count_++);
        std::ofstream out(dir_ / name, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        if (!out) throw std::runtime_error("cannot write " + (dir_ / name).string());
    }
    int Count() const { return count_; }

   private:
    fs::path dir_;
    int count_ = 0;
};

Bytes FromCode(const sim::FullCode& code) {
    return Bytes(code.begin(), code.end());
}

int KeyCodeSeeds(SeedDir& out, std::mt19937& rng) {
    for (int key = 0; key < 256; ++key) {
        uint8_t k = static_cast<uint8_t>(key);
        // Every free value appears, in both forms of the position-4 relation.
        out.Write(FromCode(sim::MakeKeyCode(k, key % 6, key % 10, (key / 6) % 10)));
        if (key % 8 == 0) {
            // Near misses: one byte off.
            sim::FullCode bad = sim::RandomKeyCode(k, rng);
            bad[1 + key / 8 % 8] ^= static_cast<uint8_t>(1u << (key / 64));
            out.Write(FromCode(bad));
        }
    }
    out.Write(Bytes{'C', 'A', '0', '7', '7', '#', 'd', 'p', '`'});
    return out.Count();
}

// The header layout field by field, for styles the whole-header encoder does not use.
struct StyledHeader {
    Bytes bytes = {'B', 'I', 'N', 0};
    std::mt19937& rng;
    explicit StyledHeader(std::mt19937& r) : rng(r) { bytes.resize(36, 0x5A); }
    StyledHeader& Field(const std::string& text, uint8_t key, sim::FieldStyle style = {}) {
        Bytes f = sim::EncodeHeaderField(text, key, rng, style);
        bytes.insert(bytes.end(), f.begin(), f.end());
        return *this;
    }
    StyledHeader& Key(uint8_t key, bool valid = true) {
        sim::FullCode code = sim::RandomKeyCode(key, rng);
        if (!valid) code[7] ^= 1;
        for (uint8_t b : sim::ShortForm(code)) bytes.push_back(b);
        return *this;
    }
    Bytes Done() {
        bytes.resize(1024, 0);
        return bytes;
    }
};

int ImageHeaderSeeds(SeedDir& out, std::mt19937& rng) {
    const sim::Identity ids[] = {
        {"", "", "", ""},
        {"RETAIL-NORTH", "5800", "HW-A1", "1.02.07"},
        {"abcdefABCDEF0123456789", "Fa9e", "dEAD", "bEEf-42"},
        {std::string(47, 'c'), std::string(15, 'm'), std::string(15, 'h'), std::string(15, 's')},
        {std::string(60, 'K'), "MODULE-NUMBER-15", "HW", "SW"},  // over-long: cut on decoding
        {"  spaces  ", "~!@#$%^&*()", "{}[]|\\", "<>?/.,"},
    };
    int key = 0;
    for (const sim::Identity& id : ids) {
        for (int i = 0; i < 4; ++i) {
            out.Write(sim::BuildImageHeader(id, static_cast<uint8_t>(key), rng));
            key = (key + 73) & 0xFF;
        }
    }

    sim::FieldStyle rejected;
    rejected.rejectedKey = true;
    sim::FieldStyle plainDigits;
    plainDigits.nestDigits = false;
    sim::FieldStyle huge;
    huge.lengthOverride = 255;
    sim::FieldStyle shorter;
    shorter.lengthOverride = 2;
    out.Write(StyledHeader(rng)
                  .Field("CUST", 1)
                  .Field("", 2, rejected)
                  .Field("HW", 3)
                  .Field("SW1", 4)
                  .Key(99)
                  .Done());
    out.Write(StyledHeader(rng)
                  .Field("", 5, rejected)
                  .Field("", 6, rejected)
                  .Field("", 7, rejected)
                  .Field("", 8, rejected)
                  .Key(9)
                  .Done());
    out.Write(StyledHeader(rng)
                  .Field("0123456789", 250, plainDigits)
                  .Field("77", 251)
                  .Field("9", 252)
                  .Field("1.0", 253)
                  .Key(254)
                  .Done());
    out.Write(StyledHeader(rng).Field(std::string(255, 'a'), 1, huge).Done());
    out.Write(StyledHeader(rng)
                  .Field("C", 1)
                  .Field("M", 2)
                  .Field("H", 3)
                  .Field(std::string(200, 'E'), 4, huge)
                  .Done());
    out.Write(StyledHeader(rng)
                  .Field("LONGER", 10, shorter)
                  .Field("M", 11)
                  .Field("H", 12)
                  .Field("S", 13)
                  .Key(14)
                  .Done());
    out.Write(StyledHeader(rng)
                  .Field("C", 1)
                  .Field("M", 2)
                  .Field("H", 3)
                  .Field("S", 4)
                  .Key(5, false)
                  .Done());
    // Long fields that push the image key to the header's last bytes: 36 + 3 * 263 + 8 + 181
    // puts it at 1014, where it just fits; six more characters put it past the end.
    const std::string filler(255, 'x');
    for (int last : {181, 187}) {
        out.Write(StyledHeader(rng)
                      .Field(filler, 1)
                      .Field(filler, 2)
                      .Field(filler, 3)
                      .Field(std::string(last, 'y'), 4)
                      .Key(0x42)
                      .Done());
    }
    Bytes noMagic = sim::BuildImageHeader(ids[1], 1, rng);
    noMagic[3] = '1';
    out.Write(noMagic);
    return out.Count();
}

// Each reply with a leading byte for the mode and the answer, every combination.
void WriteReply(SeedDir& out, const Bytes& reply) {
    for (uint8_t selector = 0; selector < 9; ++selector) {
        Bytes seed = {selector};
        seed.insert(seed.end(), reply.begin(), reply.end());
        out.Write(seed);
    }
}

int ScannerIdentitySeeds(SeedDir& out, std::mt19937& rng) {
    const sim::Identity ids[] = {
        {"", "", "", ""},
        {"RETAIL-NORTH", "5800", "HW-A1", "1.00"},
        {std::string(48, 'c'), std::string(16, 'm'), std::string(32, 'h'), std::string(16, 's')},
        {std::string(47, 'c'), "M", "", "S"},
        {std::string(48, '\xF0'), "M", "H", "S"},
    };
    uint8_t key = 0;
    for (const sim::Identity& id : ids) {
        WriteReply(out, sim::EncodeIdentityReply(id, key, rng));
        WriteReply(out, sim::EncodeIdentityReply(id, static_cast<uint8_t>(key + 0x80), rng,
                                                 Bytes{1, 2, 3, 0xFF}));
        WriteReply(out, sim::PlainIdentityReply(id));
        key = static_cast<uint8_t>(key + 51);
    }

    // Only a key code and the seal: the fields run into them.
    Bytes bare;
    for (uint8_t b : sim::ShortForm(sim::RandomKeyCode(0x80, rng))) bare.push_back(b);
    sim::SealIdentityReply(bare);
    WriteReply(out, bare);

    // Plain texts with no closing zeros.
    Bytes unclosed(300, 'x');
    const uint8_t invalid[7] = {'X', '0', '0', '0', 'K', 'q', 'a'};
    unclosed.insert(unclosed.end(), invalid, invalid + 7);
    sim::SealIdentityReply(unclosed);
    WriteReply(out, unclosed);

    Bytes badSum = sim::EncodeIdentityReply(ids[1], 77, rng);
    badSum[badSum.size() - 3] ^= 1;
    WriteReply(out, badSum);
    return out.Count();
}

}  // namespace

Bytes FromText(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

// Each kind of line alone, and a short recording of all of them.
int RecordingSeeds(SeedDir& out) {
    RecordedStart start;
    start.utility = "orvane-flash 1.0.0";
    start.time = "2026-12-07T12:40:55Z";
    start.port = start.device = "/dev/pts/1";
    start.line.baud = 57600;
    start.access = "end-user";
    start.image = RecordedImage{"fw.bin",
                                true,
                                3000,
                                1976,
                                0xc08e5d449814b184ull,
                                RecordedIdentity{"ORVANE", "5800", "HW-A1", "1.00.01"}};
    const std::string lines[] = {
        EncodeStartLine(start),
        EncodePieceLine({989, true, {0x0d}, RunPhase::Handshake, 0}),
        EncodePieceLine(
            {1264, false, {0x0d, 0x0a, 'B', 'o', 'o', 't', '>'}, RunPhase::Handshake, 0}),
        EncodePieceLine({98731, true, {0x01, 0x01, 0xfe}, RunPhase::Upload, 1}),
        EncodeEndLine({0, 0.427182166,
                       RecordedResult{"success", "upgrade success!!!", "success",
                                      "upgrade success!!!", true, false, 16, 0}}),
        EncodeEndLine({0, 2.5, {}}),
    };
    std::string recording;
    for (const std::string& line : lines) {
        out.Write(FromText(line));
        recording += line + "\n";
    }
    out.Write(FromText(recording));
    return out.Count();
}

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    fs::path dir = argv[1];
    std::mt19937 rng(1);  // the same seeds on every run
    try {
        SeedDir keyCodes(dir / "key_code");
        SeedDir headers(dir / "image_header");
        SeedDir replies(dir / "scanner_identity");
        int keyCodeCount = KeyCodeSeeds(keyCodes, rng);
        int headerCount = ImageHeaderSeeds(headers, rng);
        int replyCount = ScannerIdentitySeeds(replies, rng);
        SeedDir recordings(dir / "recording");
        int recordingCount = RecordingSeeds(recordings);
        std::printf("key_code: %d, image_header: %d, scanner_identity: %d, recording: %d seeds\n",
                    keyCodeCount, headerCount, replyCount, recordingCount);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
