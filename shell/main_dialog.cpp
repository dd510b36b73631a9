#include "shell/main_dialog.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <thread>

#include "codec/scanner_identity.h"
#include "serial/serial.h"
#include "serial/trace.h"
#include "shell/port_discovery.h"
#include "upgrade/session.h"
#include "upgrade/upgrade.h"

std::atomic<int> BusyMark{0};
const char CloseDuringUpgradeCaption[] = "Upgrade running";
const char CloseDuringUpgradeQuestion[] =
    "An upgrade is running. Closing now leaves the scanner unfinished. Close anyway?";
char ImagePath[ImagePathSize];
uint16_t FontTargetWord;

namespace {

enum { WorkerPauseMs = 300 };

const DialogView* view = nullptr;
std::atomic<bool> workerActive{false};

// Worker-side updates are applied on the UI thread before the worker goes on.
void ApplyStatusLine(void* text) {
    view->display.setStatusLine(static_cast<const char*>(text));
}
void ApplyRange(void* range) {
    const unsigned* r = static_cast<const unsigned*>(range);
    view->display.setProgressRange(r[0], r[1]);
}
void ApplyPosition(void* position) {
    view->display.setProgressPosition(*static_cast<uint32_t*>(position));
}
void ApplyFace(void* busy) {
    view->showButtonFace(*static_cast<bool*>(busy));
}

void UiStatusLine(const char* text) {
    view->runOnUiThread(ApplyStatusLine, const_cast<char*>(text));
}
void UiRange(unsigned low, unsigned high) {
    unsigned range[2] = {low, high};
    view->runOnUiThread(ApplyRange, range);
}
void UiPosition(uint32_t position) {
    view->runOnUiThread(ApplyPosition, &position);
}
void UiFace(bool busy) {
    view->runOnUiThread(ApplyFace, &busy);
}

const DisplayHooks dialogDisplay = {UiStatusLine, UiRange, UiPosition};
const ProgressHooks dialogProgress = {ShowUpgradeProgress, nullptr};

UpgradeCommandOutcome Refuse(UpgradeCommandOutcome command, UpgradeOutcome outcome) {
    SetStatusLine(OutcomeText(outcome));
    return command;
}

UpgradeCommandOutcome StartUpgradeOn(const char* device) {
    if (OpenUpgradePort(device) < 0) return Refuse(PortRefused, OutcomePortRefused);
    int word = DecideFontTargetWord(ImagePath, view->isFontBoxTicked());
    if (word < 0) {
        SerialClose();  // so that a later attempt can open it again
        return Refuse(InvalidFileType, OutcomeInvalidFileType);
    }
    FontTargetWord = static_cast<uint16_t>(word);
    BusyMark = 1;
    workerActive = true;
    if (view->startWorker(UpgradeWorker)) return WorkerStarted;
    workerActive = false;
    SerialClose();
    BusyMark = 0;
    return Refuse(WorkerNotStarted, OutcomeNotStarted);
}

UpgradeCommandOutcome StartMonitorOn(const char* device) {
    if (OpenMonitorPort(device) < 0) return Refuse(PortRefused, OutcomePortRefused);
    BusyMark = 1;  // for the rest of the run: the port only listens from now on
    return MonitorStarted;
}

// Runs the file chooser with the caller's filter pair and the built-in font pair.
int BrowseForImage(const char* firstName, const char* firstPattern, const char* title, char* path,
                   int pathCapacity, char* name, int nameCapacity) {
    char filters[FilterListSize];
    int n = 0;
    for (const char* text : {firstName, firstPattern, "FONT file", "*.fon", ""}) {
        int len = static_cast<int>(std::strlen(text));
        if (n + len + 1 > FilterListSize) break;
        std::memcpy(filters + n, text, len + 1);
        n += len + 1;
    }
    path[0] = 0;
    return view->chooseFile(filters, title, path, pathCapacity, name, nameCapacity) ? 1 : 0;
}

}  // namespace

void SetDialogView(const DialogView* v) {
    view = v;
    SetDisplay(v ? &dialogDisplay : nullptr);
    SetProgressHooks(v ? &dialogProgress : nullptr);
    SetOverrideQuestion(v ? v->askYesNo : nullptr);
}

void InitializeMainDialog() {
    view->showButtonFace(false);
    char path[ImagePathSize], name[ImagePathSize];
    name[0] = 0;
    if (BrowseForImage("BIN file", "*.bin", "Open file", path, sizeof path, name, sizeof name)) {
        view->setImageName(name);
        std::snprintf(ImagePath, sizeof ImagePath, "%s", path);
    }
    view->showFontBox(DecideFontTargetWord(ImagePath, false) > 0);  // a font file
    DiscoverSerialPorts(view->addPortName, view->selectFirstPort);
}

UpgradeCommandOutcome RunUpgradeCommand() {
    if (BusyMark) return CommandIgnored;
    SetStatusLine("");
    char entry[PortEntrySize] = {0};
    view->readPortEntry(entry, sizeof entry);
    entry[PortEntrySize - 1] = 0;
    char device[ImagePathSize];
    if (!ResolvePortEntry(entry, device, sizeof device))
        return Refuse(PortRefused, OutcomePortRefused);
    return entry[0] == '^' ? StartMonitorOn(device) : StartUpgradeOn(device);
}

void UpgradeWorker() {
    std::this_thread::sleep_for(std::chrono::milliseconds(WorkerPauseMs));
    UiFace(true);
    SetStatusLine("");
    UpgradeOnOpenPort(ImagePath, FontTargetWord);
    SetStatusLine(StatusText);
    UiFace(false);
    workerActive = false;
    BusyMark = 0;
}

bool UpgradeWorkerRunning() {
    return workerActive;
}

void EndProgramIfStillBusy() {
    TraceFlush();
    if (!workerActive && !BusyMark) return;
    std::fflush(stdout);
    std::_Exit(0);
}
