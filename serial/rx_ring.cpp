#include "serial/rx_ring.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {

enum { RxRingSlots = 4096, RxRingMask = 0xFFF };

struct RxRingState {
    unsigned char storage[RxRingSlots];
    std::atomic<unsigned> writeIndex;
    std::atomic<unsigned> readIndex;
};

RxRingState RxRing;
std::mutex ringLock;
std::condition_variable ringFilled;
std::atomic<bool> linkDown{false};
std::atomic<bool> halted{false};
std::atomic<RxDriverBacklog> driverBacklog{nullptr};
std::atomic<bool> draining{false};

enum { BacklogWaitMs = 1000 };  // for the reader to take in bytes that have already come

bool DriverHoldsBytes() {
    RxDriverBacklog backlog = driverBacklog.load();
    return backlog && backlog() > 0;
}

// In this order: the reader marks itself draining before it takes bytes from the driver.
bool BytesStillComing() {
    return DriverHoldsBytes() || draining.load();
}

bool RxIsEmpty() {
    return RxRing.writeIndex.load(std::memory_order_acquire) ==
           RxRing.readIndex.load(std::memory_order_acquire);
}

}  // namespace

void RxPush(const unsigned char* bytes, int count) {
    if (count <= 0) return;
    {
        std::lock_guard<std::mutex> lock(ringLock);
        unsigned w = RxRing.writeIndex.load(std::memory_order_relaxed);
        unsigned r = RxRing.readIndex.load(std::memory_order_relaxed);
        for (int i = 0; i < count; ++i) {
            RxRing.storage[w] = bytes[i];
            w = (w + 1) & RxRingMask;
            if (w == r) r = (r + 1) & RxRingMask;
        }
        RxRing.readIndex.store(r, std::memory_order_release);
        RxRing.writeIndex.store(w, std::memory_order_release);
    }
    ringFilled.notify_one();
}

namespace {

// The budget is charged 2 per 1-ms pause: an empty ring waits half of it and a pause.
int BudgetWaitMs(int budget_ms) {
    return budget_ms < 0 ? 1 : budget_ms / 2 + 1;
}

}  // namespace

// Not the draining mark: the reader keeps it a moment after its bytes are in.
bool RxHasWaiting() {
    return !RxIsEmpty() || DriverHoldsBytes();
}

int RxReadByte(int budget_ms) {
    std::unique_lock<std::mutex> lock(ringLock);
    if (halted) return -1;
    if (RxIsEmpty()) {
        auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(BudgetWaitMs(budget_ms));
        auto ready = [] { return !RxIsEmpty() || linkDown || halted; };
        bool arrived = ringFilled.wait_until(lock, deadline, ready);
        if (!arrived && BytesStillComing())
            arrived = ringFilled.wait_for(lock, std::chrono::milliseconds(BacklogWaitMs), ready);
        else if (!arrived)
            arrived = ready();
        if (!arrived || RxIsEmpty() || halted) return -1;
    }
    unsigned r = RxRing.readIndex.load(std::memory_order_relaxed);
    int byte = RxRing.storage[r];
    RxRing.readIndex.store((r + 1) & RxRingMask, std::memory_order_release);
    return byte;
}

void RxFlush() {
    std::lock_guard<std::mutex> lock(ringLock);
    RxRing.readIndex.store(0, std::memory_order_release);
    RxRing.writeIndex.store(0, std::memory_order_release);
}

void RxSetDriverBacklog(RxDriverBacklog backlog) {
    driverBacklog = backlog;
}

void RxSetDraining(bool on) {
    draining = on;
}

bool RxLinkIsDown() {
    return linkDown;
}

bool RxHalted() {
    return halted;
}

// Told under the lock, as the caller may be a thread the program does not wait for.
void RxHalt() {
    std::lock_guard<std::mutex> lock(ringLock);
    halted = true;
    ringFilled.notify_all();
}

void RxSetLinkDown(bool down) {
    {
        std::lock_guard<std::mutex> lock(ringLock);
        linkDown.store(down);
    }
    ringFilled.notify_all();
}
