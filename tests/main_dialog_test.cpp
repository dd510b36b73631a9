#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "shell/main_dialog.h"
#include "shell/port_discovery.h"
#include "tests/fake_platform.h"
#include "tests/temp_file.h"
#include "tests/trace_capture.h"
#include "upgrade/session.h"
#include "upgrade/upgrade.h"

namespace {

// A dialog that records what the logic does to it.
struct FakeDialog {
    std::mutex mutex;
    std::vector<std::string> events;  // "status:...", "face:busy", ...
    std::vector<std::string> ports;
    std::string entry = "COM3";
    std::string chosen;  // empty: the user cancels the chooser
    std::string filters;
    bool fontBox = false, fontBoxShown = true;
    std::vector<std::thread> workers;

    void Log(const std::string& e) {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back(e);
    }
    std::vector<std::string> Events() {
        std::lock_guard<std::mutex> lock(mutex);
        return events;
    }
} * dialog;

void Status(const char* t) {
    dialog->Log(std::string("status:") + t);
}
void Range(unsigned lo, unsigned hi) {
    dialog->Log("range:" + std::to_string(lo) + ".." + std::to_string(hi));
}
void Position(uint32_t p) {
    dialog->Log("pos:" + std::to_string(p));
}
void Face(bool busy) {
    dialog->Log(busy ? "face:busy" : "face:idle");
}
void FontBox(bool shown) {
    dialog->fontBoxShown = shown;
}
bool Ticked() {
    return dialog->fontBox;
}
void Name(const char* n) {
    dialog->Log(std::string("name:") + n);
}
void Entry(char* text, int capacity) {
    std::snprintf(text, capacity, "%s", dialog->entry.c_str());
}
void AddPort(const char* n) {
    dialog->ports.push_back(n);
}
void SelectFirst() {
    dialog->Log("select-first");
}
bool Choose(const char* filters, const char*, char* path, int pc, char* name, int nc) {
    const char* end = filters;
    while (*end) end += std::strlen(end) + 1;
    dialog->filters.assign(filters, end - filters + 1);
    if (dialog->chosen.empty()) return false;
    std::snprintf(path, pc, "%s", dialog->chosen.c_str());
    std::snprintf(name, nc, "%s", dialog->chosen.substr(dialog->chosen.rfind('/') + 1).c_str());
    return true;
}
bool No(const char*, const char*) {
    return false;
}
void Direct(void (*task)(void*), void* arg) {
    task(arg);
}
bool Spawn(void (*body)()) {
    dialog->workers.emplace_back(body);
    return true;
}

const DialogView view = {{Status, Range, Position},
                         Face,
                         FontBox,
                         Ticked,
                         Name,
                         Entry,
                         AddPort,
                         SelectFirst,
                         Choose,
                         No,
                         Direct,
                         Spawn};

class MainDialogTest : public ::testing::Test {
   protected:
    void SetUp() override {
        fake::Reset();
        fake::portMap = {std::string("COM3"), std::string("COM10")};
        dialog = &d;
        d.chosen = "/images/FW.BIN";
        BusyMark = 0;
        ImagePath[0] = 0;
        SetDialogView(&view);
    }
    void TearDown() override {
        WaitIdle();
        SetDialogView(nullptr);
    }
    void WaitIdle() {
        for (std::thread& t : d.workers) t.join();
        d.workers.clear();
    }
    UpgradeCommandOutcome Press(const std::string& entry) {
        d.entry = entry;
        return RunUpgradeCommand();
    }
    TraceCapture trace;
    FakeDialog d;
};

}  // namespace

TEST_F(MainDialogTest, InitialisationChoosesTheImageFirstThenFindsPorts) {
    InitializeMainDialog();
    EXPECT_EQ(std::string("BIN file\0*.bin\0FONT file\0*.fon\0", 32), d.filters);
    EXPECT_STREQ("/images/FW.BIN", ImagePath);
    d.chosen = "/images/font.Fon";
    EXPECT_FALSE(d.fontBoxShown);
    std::vector<std::string> expected = {"face:idle", "name:FW.BIN", "select-first"};
    EXPECT_EQ(expected, d.Events());
    EXPECT_EQ((std::vector<std::string>{"COM3", "COM10"}), d.ports);

    InitializeMainDialog();
    EXPECT_TRUE(d.fontBoxShown);
}

TEST_F(MainDialogTest, PortEntriesAreReadLikeTheTextToIntegerConversion) {
    InitializeMainDialog();
    for (const char* entry : {"COM3", "com3", "Com3", "COM 3", "COM3x"}) {
        EXPECT_EQ(WorkerStarted, Press(entry)) << entry;
        WaitIdle();
    }
    EXPECT_EQ(5u, fake::serial.opened.size());
    for (const std::string& o : fake::serial.opened) EXPECT_EQ("dev:COM3@57600", o);

    for (const char* entry : {"COM", "COM300", "COM-1", "PORT3", "3", "", "COM4"}) {
        EXPECT_EQ(PortRefused, Press(entry)) << entry;
        EXPECT_EQ("status:Cannot open this com port", d.Events().back());
    }
    EXPECT_EQ(5u, fake::serial.opened.size());  // none of them tried to open anything
}

TEST_F(MainDialogTest, FileTypeDecidesTheFontTargetWord) {
    EXPECT_EQ(0, DecideFontTargetWord("FW.BIN", true));
    EXPECT_EQ(0x200, DecideFontTargetWord("font.Fon", true));
    EXPECT_EQ(0x240, DecideFontTargetWord("font.Fon", false));
    EXPECT_EQ(-1, DecideFontTargetWord("fw.hex", false));
    EXPECT_EQ(-1, DecideFontTargetWord("bin", false));
    EXPECT_EQ(-1, DecideFontTargetWord("", false));

    d.chosen = "/images/font.Fon";
    InitializeMainDialog();
    d.fontBox = true;
    EXPECT_EQ(WorkerStarted, Press("COM3"));
    EXPECT_EQ(0x200, FontTargetWord);
}

TEST_F(MainDialogTest, InvalidTypeClosesThePortEveryTime) {
    d.chosen = "/images/fw.hex";
    InitializeMainDialog();
    EXPECT_EQ(InvalidFileType, Press("COM3"));
    EXPECT_EQ(InvalidFileType, Press("COM3"));
    EXPECT_EQ("status:Invalid file type", d.Events().back());
    EXPECT_EQ(2u, fake::serial.opened.size());
    EXPECT_EQ(2, fake::serial.closes);
    EXPECT_EQ(0, BusyMark);
    // The port is judged before the image.
    EXPECT_EQ(PortRefused, Press("COM7"));
}

TEST_F(MainDialogTest, NoImageChosenGivesInvalidFileType) {
    d.chosen.clear();
    InitializeMainDialog();
    EXPECT_EQ(std::vector<std::string>({"face:idle", "select-first"}), d.Events());
    EXPECT_FALSE(d.fontBoxShown);
    EXPECT_EQ(InvalidFileType, Press("COM10"));
}

TEST_F(MainDialogTest, HeldPortIsRefused) {
    InitializeMainDialog();
    fake::serial.openFails = true;
    EXPECT_EQ(PortRefused, Press("COM3"));
    EXPECT_EQ(0, BusyMark);
}

TEST_F(MainDialogTest, WorkerRunsTheUpgradeAndClearsTheBusyMarkLast) {
    TempFile image(std::vector<unsigned char>(100, 7), ".BIN");
    d.chosen = image.Path();
    InitializeMainDialog();
    EXPECT_EQ(WorkerStarted, Press("COM3"));
    EXPECT_TRUE(UpgradeWorkerRunning());       // the worker pauses first
    EXPECT_EQ(CommandIgnored, Press("COM3"));  // a second press while busy
    WaitIdle();
    EXPECT_FALSE(UpgradeWorkerRunning());
    EXPECT_EQ(0, BusyMark);
    EXPECT_FALSE(fake::serial.open);
    std::vector<std::string> e = d.Events();
    // Nothing answers: the run fails at the handshake; the start step finds no prompt.
    EXPECT_EQ((std::vector<std::string>{"face:busy", "status:", "range:0..3",
                                        "status:Scanner is not connected or not in upgrade mode",
                                        "face:idle"}),
              std::vector<std::string>(e.end() - 5, e.end()));
    EXPECT_EQ(WorkerStarted, Press("COM3"));  // and Upgrade can be pressed again
}

TEST_F(MainDialogTest, MonitorModeListensAt9600ForTheRestOfTheRun) {
    InitializeMainDialog();
    EXPECT_EQ(PortRefused, Press("^COM4"));
    EXPECT_EQ(MonitorStarted, Press("^COM3"));
    EXPECT_EQ("dev:COM3@9600", fake::serial.opened.back());
    EXPECT_EQ("status:", d.Events().back());
    EXPECT_EQ(CommandIgnored, Press("COM3"));
    EXPECT_EQ(1, BusyMark.load());
    EXPECT_FALSE(UpgradeWorkerRunning());  // nothing left half done: closing needs no question
    EXPECT_EQ(1u, fake::serial.opened.size());
}

TEST(PortDiscovery, ListsAndMarksWhatTheMapHolds) {
    fake::Reset();
    fake::portMap = {
        std::string("COM1"),   std::nullopt,         std::string("com4"), std::string("Modem #1"),
        std::string("COM300"), std::string("COM 7"), std::nullopt,        std::string("COM3")};
    // The last position looked at, after a long gap, and one past it.
    fake::portMap.resize(PortMapPositions + 1);
    fake::portMap[PortMapPositions - 1] = std::string("COM9");
    fake::portMap[PortMapPositions] = std::string("COM8");
    std::vector<std::string> listed;
    static std::vector<std::string>* sink;
    sink = &listed;
    static int selected;
    selected = 0;
    DiscoverSerialPorts([](const char* n) { sink->push_back(n); }, [] { ++selected; });
    EXPECT_EQ((std::vector<std::string>{"COM1", "com4", "COM 7", "COM3", "COM9"}), listed);
    EXPECT_EQ(1, selected);
    for (int n = 0; n < PortTableSize; ++n)
        EXPECT_EQ(n == 1 || n == 3 || n == 4 || n == 7 || n == 9, PortTable[n] != 0) << n;

    fake::portMap.clear();
    listed.clear();
    DiscoverSerialPorts([](const char* n) { sink->push_back(n); }, [] { ++selected; });
    EXPECT_TRUE(listed.empty());
    EXPECT_EQ(2, selected);
    EXPECT_EQ(0, PortTable[1]);
}
