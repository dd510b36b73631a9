// Whole upgrades over a pseudo-terminal against the emulated scanner: the
// fixture shared by the upgrade tests.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "codec/access_mode.h"
#include "codec/scanner_identity.h"
#include "serial/rx_ring.h"
#include "serial/serial.h"
#include "shell/progress_display.h"
#include "sim/bootsim.h"
#include "tests/temp_file.h"
#include "tests/trace_capture.h"
#include "upgrade/progress.h"
#include "upgrade/session.h"
#include "upgrade/upgrade.h"

namespace {

using sim::Bytes;

// What a dialog would show of the run, and the reports it was made from.
struct Display {
    std::vector<std::string> texts;
    std::vector<uint32_t> positions;
    unsigned low = 0, high = 0;
    std::vector<UpgradeProgress> reports;
} display;

const DisplayHooks recordingHooks = {[](const char* t) { display.texts.push_back(t); },
                                     [](unsigned lo, unsigned hi) {
                                         display.low = lo;
                                         display.high = hi;
                                     },
                                     [](uint32_t p) { display.positions.push_back(p); }};

const ProgressHooks recordingProgress = {[](const UpgradeProgress& p) {
                                             display.reports.push_back(p);
                                             ShowUpgradeProgress(p);
                                         },
                                         nullptr};

int questions = 0;
bool answerYes = false;
bool Answer(const char*, const char*) {
    ++questions;
    return answerYes;
}

const sim::Identity kScanner = {"ORVANE", "5800", "HW-A1", "1.00.00"};

// Only a bound for a hung emulator, never a pass condition.
const int kSettleMs = 20000;

Bytes Payload(size_t size, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes b(size);
    for (auto& x : b) x = static_cast<uint8_t>(rng());
    if (size >= 4 && b[0] == 'B') b[0] = 'b';  // never a header by accident
    return b;
}

Bytes HeaderedImage(size_t size, const sim::Identity& id, uint8_t key) {
    std::mt19937 rng(key);
    Bytes image = sim::BuildImageHeader(id, key, rng);
    Bytes rest = Payload(size - image.size(), key + 1u);
    image.insert(image.end(), rest.begin(), rest.end());
    return image;
}

inline std::string Text(const Bytes& b) {
    return std::string(b.begin(), b.end());
}

class UpgradeTest : public ::testing::Test {
   protected:
    void SetUp() override {
        display = Display();
        questions = 0;
        answerYes = false;
        SetDisplay(&recordingHooks);
        SetProgressHooks(&recordingProgress);
        SetOverrideQuestion(Answer);
        AccessMode = EndUser;
        options.identity = kScanner;
    }
    void TearDown() override {
        SerialClose();
        SetDisplay(nullptr);
        SetProgressHooks(nullptr);
        SetOverrideQuestion(nullptr);
        AccessMode = EndUser;
    }

    // Runs the upgrade as the worker does and returns the result shown.
    std::string Run(const Bytes& image, const char* suffix = ".bin") {
        TempFile file(image, suffix);
        return RunPath(file.Path());
    }
    std::string RunPath(const char* path) {
        sim = std::make_unique<sim::BootSim>(options);
        EXPECT_TRUE(sim->Start());
        EXPECT_EQ(0, OpenUpgradePort(sim->DevicePath().c_str()));
        outcome = UpgradeOnOpenPort(path, 0);
        return StatusText;
    }
    // The report once the emulator has handled everything it was sent.
    sim::BootSimReport Settled() {
        EXPECT_TRUE(sim->WaitUntilSettled(kSettleMs));
        return sim->Report();
    }
    std::vector<std::string> Commands() {
        std::vector<std::string> c = Settled().commands;
        for (std::string& s : c)
            if (s.size() == 9 && s[0] == 'C' && s[5] == '#') s = "<key code>";
        return c;
    }

    TraceCapture trace;
    sim::BootSimOptions options;
    std::unique_ptr<sim::BootSim> sim;
    UpgradeOutcome outcome = OutcomeNothingError;
};

}  // namespace
