#include "cli/interrupts.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <utility>

#include "cli/cli_platform.h"
#include "cli/options.h"
#include "serial/serial.h"
#include "upgrade/upgrade.h"

namespace {

std::mutex lock;
std::condition_variable changed;
InterruptPolicy policy = InterruptStopsAtOnce;
int interrupts = 0;
int lastSignal = 0;
bool stopRequested = false;
bool interrupted = false;
bool ending = false;
bool retryRequested = false;

}  // namespace

void StartInterrupts(InterruptPolicy p) {
    std::lock_guard<std::mutex> guard(lock);
    policy = p;
}

// Waiters are told under the lock: a waiter that ends the program then cannot
// tear the condition down while the telling is still under way.
namespace {

// A program still running this long after a second interrupt is held up
// somewhere no interrupt reaches (a terminal that takes no output, say).
enum { ForcedEndMs = 5000 };

std::atomic<UpgradeOutcome> leftAs{OutcomeInterruptedUntouched};

void EndUnlessEnding(int signalNumber) {
    {
        std::unique_lock<std::mutex> guard(lock);
        if (changed.wait_for(guard, std::chrono::milliseconds(ForcedEndMs), [] { return ending; }))
            return;
    }
    char line[StatusTextSize + 64];
    FormatOutcome(leftAs.load(), "the image", line, sizeof line);
    std::string text = std::string("orvane-flash: stopped at once: ") + line + "\n";
    EndProgramNow(ExitInterruptedBase + signalNumber, text.c_str());
}

void Take(int signalNumber, bool atOnce) {
    bool second = false;
    {
        std::lock_guard<std::mutex> guard(lock);
        ++interrupts;
        lastSignal = signalNumber;
        stopRequested = true;
        interrupted = atOnce || policy == InterruptStopsAtOnce || interrupts >= 2;
        second = interrupts >= 2;
        if (interrupted) SerialHalt();
        changed.notify_all();
    }
    if (second) EndUnlessEnding(signalNumber);
}

}  // namespace

void NoteScannerState(UpgradeOutcome ifStoppedNow) {
    leftAs = ifStoppedNow;
}

void Interrupt(int signalNumber) {
    Take(signalNumber, false);
}

void InterruptAtOnce(int signalNumber) {
    Take(signalNumber, true);
}

void RequestStop() {
    std::lock_guard<std::mutex> guard(lock);
    stopRequested = true;
    changed.notify_all();
}

void RequestRetry() {
    std::lock_guard<std::mutex> guard(lock);
    retryRequested = true;
    changed.notify_all();
}

bool TakeRetryRequest() {
    std::lock_guard<std::mutex> guard(lock);
    return std::exchange(retryRequested, false);
}

bool StopRequested() {
    std::lock_guard<std::mutex> guard(lock);
    return stopRequested;
}

bool Interrupted() {
    std::lock_guard<std::mutex> guard(lock);
    return interrupted;
}

int InterruptCount() {
    std::lock_guard<std::mutex> guard(lock);
    return interrupts;
}

int InterruptSignal() {
    std::lock_guard<std::mutex> guard(lock);
    return lastSignal;
}

bool PauseUnlessStopped(int ms) {
    std::unique_lock<std::mutex> guard(lock);
    changed.wait_for(guard, std::chrono::milliseconds(ms),
                     [] { return stopRequested || retryRequested; });
    return !stopRequested;
}

void WaitUntilStopRequested() {
    std::unique_lock<std::mutex> guard(lock);
    changed.wait(guard, [] { return stopRequested; });
}

void NoteProgramEnding() {
    std::lock_guard<std::mutex> guard(lock);
    ending = true;
    changed.notify_all();
}

bool WaitForProgramEnd(int ms) {
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, std::chrono::milliseconds(ms), [] { return ending; });
}
