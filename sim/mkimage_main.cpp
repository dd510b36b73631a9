// orvane-mkimage: writes a test image, a 1024-byte header and a deterministic
// pseudo-random payload, for runs against the emulated scanner.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>

#include "sim/sim_codec.h"

namespace {

const char kUsage[] =
    "usage: orvane-mkimage --out FILE [--size N] [--customer S --module S --hardware S\n"
    "                      --software S --key N] [--no-header] [--seed N]\n"
    "  --size N      whole file size in bytes, header included (default 45000)\n"
    "  --key N       image key carried by the header, 0 to 255 (default 90)\n"
    "  --no-header   payload only; it never begins with the header magic\n"
    "  --seed N      seed for the header's free bytes and the payload (default 1)\n"
    "  identity defaults: ORVANE, 5800, HW-A1, 1.00.00\n";

struct Config {
    std::string out;
    long size = 45000;
    sim::Identity identity = {"ORVANE", "5800", "HW-A1", "1.00.00"};
    int key = 90;
    bool header = true;
    unsigned long seed = 1;
};

bool ToLong(const std::string& text, long& value) {
    char* end = nullptr;
    value = std::strtol(text.c_str(), &end, 0);
    return !text.empty() && *end == '\0';
}

bool TakeValue(const std::string& option, const std::string& value, Config& c) {
    long n = 0;
    if (option == "--out")
        c.out = value;
    else if (option == "--customer")
        c.identity.customerId = value;
    else if (option == "--module")
        c.identity.moduleNo = value;
    else if (option == "--hardware")
        c.identity.hardware = value;
    else if (option == "--software")
        c.identity.software = value;
    else if (!ToLong(value, n))
        return false;
    else if (option == "--size" && n >= 0 && n <= INT_MAX)
        c.size = n;
    else if (option == "--key" && n >= 0 && n <= 255)
        c.key = static_cast<int>(n);
    else if (option == "--seed" && n >= 0)
        c.seed = static_cast<unsigned long>(n);
    else
        return false;
    return true;
}

// 0: go on, 1: error, 2: help shown.
int Parse(int argc, char** argv, Config& c) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help") return 2;
        if (a == "--no-header") {
            c.header = false;
        } else if (i + 1 >= argc || !TakeValue(a, argv[++i], c)) {
            std::fprintf(stderr, "orvane-mkimage: bad option %s\n", a.c_str());
            return 1;
        }
    }
    if (c.out.empty()) std::fprintf(stderr, "orvane-mkimage: --out is required\n");
    if (c.header && c.size < 1024)
        std::fprintf(stderr, "orvane-mkimage: a header needs --size >= 1024\n");
    return c.out.empty() || (c.header && c.size < 1024) ? 1 : 0;
}

sim::Bytes BuildImage(const Config& c) {
    std::mt19937 rng(static_cast<uint32_t>(c.seed));
    sim::Bytes image;
    if (c.header) image = sim::BuildImageHeader(c.identity, static_cast<uint8_t>(c.key), rng);
    std::uniform_int_distribution<int> byte(0, 255);
    while (image.size() < static_cast<size_t>(c.size))
        image.push_back(static_cast<uint8_t>(byte(rng)));
    // A headerless image must not look like one to the block sender.
    if (!c.header && image.size() >= 4 && image[0] == 'B' && image[1] == 'I' && image[2] == 'N' &&
        image[3] == 0)
        image[3] = 0xFF;
    return image;
}

}  // namespace

int main(int argc, char** argv) {
    Config config;
    const int parsed = Parse(argc, argv, config);
    if (parsed != 0) {
        std::fputs(kUsage, parsed == 2 ? stdout : stderr);
        return parsed == 2 ? 0 : 2;
    }
    const sim::Bytes image = BuildImage(config);
    std::ofstream out(config.out, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()), static_cast<long>(image.size()));
    out.close();
    if (!out) {
        std::fprintf(stderr, "orvane-mkimage: cannot write %s\n", config.out.c_str());
        return 1;
    }
    std::printf(
        "mkimage: wrote %s (%zu bytes, %s)\n", config.out.c_str(), image.size(),
        config.header ? ("header, key " + std::to_string(config.key)).c_str() : "no header");
    return 0;
}
