// Speed of the link: echo turnaround, ring throughput, and a whole upgrade at
// 57600 baud compared with the time the bytes need on the wire.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>

#include <cstdio>
#include <memory>
#include <random>
#include <string>

#include "serial/rx_ring.h"
#include "serial/serial.h"
#include "sim/bootsim.h"
#include "upgrade/boot_console.h"
#include "upgrade/progress.h"
#include "upgrade/upgrade.h"

namespace {

// Byte times of 10 bits at 57600 baud.
constexpr double kByteSeconds = 10.0 / 57600.0;

std::unique_ptr<sim::BootSim> StartSim(bool lineRate) {
    sim::BootSimOptions options;
    options.lineRate = lineRate;
    auto s = std::make_unique<sim::BootSim>(options);
    if (!s->Start() || SerialOpen(s->DevicePath().c_str(), 57600) != 0) return nullptr;
    return s;
}

void BM_EchoTurnaround(benchmark::State& state) {
    auto s = StartSim(false);
    if (!s) return state.SkipWithError("emulator did not start");
    // An unknown command: echoed character by character, answered with the prompt.
    const char command[] = "status 2000";
    for (auto _ : state) {
        if (!SendBootCommand(command)) return state.SkipWithError("echo failed");
        WriteExecute();
        for (int b; (b = RxReadByte(150)) >= 0 && b != '>';) {
        }
    }
    SerialClose();
    state.counters["echoes"] = benchmark::Counter(static_cast<double>(state.iterations() * 11),
                                                  benchmark::Counter::kIsRate);
}

void BM_RingPushAndRead(benchmark::State& state) {
    // The trace is part of the cost; send it where it costs no terminal time.
    std::fflush(stdout);
    int saved = dup(1);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    unsigned char block[128] = {};
    for (auto _ : state) {
        RxPush(block, sizeof block);
        for (int i = 0; i < 128; ++i) benchmark::DoNotOptimize(RxReadByte(0));
    }
    std::fflush(stdout);
    dup2(saved, 1);
    close(null);
    close(saved);
    state.SetBytesProcessed(state.iterations() * 128);
}

void BM_UpgradeAtLineRate(benchmark::State& state) {
    std::vector<unsigned char> image(45000);
    std::mt19937 rng(1);
    for (auto& b : image) b = static_cast<unsigned char>(rng());
    image[0] = 'x';
    const char* path = "/tmp/orvane-bench.bin";
    std::FILE* f = std::fopen(path, "wb");
    std::fwrite(image.data(), 1, image.size(), f);
    std::fclose(f);
    // Blocks of 132 bytes out, one ACK back each.
    double wire = ((image.size() + 127) / 128) * 133 * kByteSeconds;
    for (auto _ : state) {
        auto s = StartSim(true);
        if (!s) return state.SkipWithError("emulator did not start");
        auto start = std::chrono::steady_clock::now();
        RunUpgrade(path, 0);
        double took =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        SerialClose();
        // A failed run would look fast.
        if (UpgradeRun.outcome != OutcomeSuccess) return state.SkipWithError(StatusText);
        state.counters["wire_efficiency"] = wire / took;
    }
    std::remove(path);
}

}  // namespace

BENCHMARK(BM_EchoTurnaround)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_RingPushAndRead);
BENCHMARK(BM_UpgradeAtLineRate)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK_MAIN();
