// orvane-mkimage: writes a test image, a 1024-byte header and a deterministic
// pseudo-random payload, for runs against the emulated scanner.
#include <climits>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>

#include "sim/sim_codec.h"
#include "sim/sim_options.h"

namespace {

struct Config {
    std::string out;
    long size = 45000;
    sim::Identity identity = {"ORVANE", "5800", "HW-A1", "1.00.00"};
    int key = 90;
    bool header = true;
    long seed = 1;
};

// -1 to go on, otherwise the exit status.
int Parse(int argc, char** argv, Config& c) {
    CLI::App app(
        "Writes a test image, a 1024-byte header and a deterministic pseudo-random\n"
        "payload, for runs against the emulated scanner.",
        "orvane-mkimage");
    app.footer("\nExit status: 0 written, 1 cannot write FILE, 2 usage error.\n");
    sim::Once(app.add_option("--out", c.out, "The image file to write"))
        ->required()
        ->type_name("FILE");
    sim::Once(app.add_option("--size", c.size, "Whole file size in bytes, header included"))
        ->check(CLI::Range(0L, static_cast<long>(INT_MAX)).description(""))
        ->capture_default_str()
        ->type_name("N");
    sim::AddIdentityOptions(app, c.identity, "Identity the header carries");
    sim::Once(app.add_option("--key", c.key, "Image key carried by the header, 0 to 255"))
        ->check(CLI::Range(0, 255).description(""))
        ->capture_default_str()
        ->type_name("N");
    bool noHeader = false;
    sim::Once(app.add_flag("--no-header", noHeader,
                           "Payload only; it never begins with the header magic"));
    sim::Once(app.add_option("--seed", c.seed, "Seed for the header's free bytes and the payload"))
        ->check(CLI::Range(0L, LONG_MAX).description(""))
        ->capture_default_str()
        ->type_name("N");
    const int status = sim::ParseCommandLine(app, argc, argv);
    if (status >= 0) return status;
    c.header = !noHeader;
    if (c.header && c.size < 1024) {
        std::fprintf(stderr, "orvane-mkimage: a header needs --size >= 1024\n");
        return 2;
    }
    return -1;
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
    if (parsed >= 0) return parsed;
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
