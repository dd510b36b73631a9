#include "serial/serial_status.h"

#include <atomic>

#include "serial/rx_ring.h"
#include "serial/trace.h"

namespace {
std::atomic<int> readersRunning{0};
SerialOpenFailure lastOpenFailure = SerialOpenOk;
std::atomic<LineTap> lineTap{nullptr};
std::mutex tapOrder;
}  // namespace

int SerialRefuseOpen(SerialOpenFailure why) {
    lastOpenFailure = why;
    TraceLine("Bad hComm \n");
    return -1;
}

void SerialNoteOpened() {
    lastOpenFailure = SerialOpenOk;
}

SerialOpenFailure SerialLastOpenFailure() {
    return lastOpenFailure;
}

void SerialReaderStarting() {
    readersRunning.fetch_add(1);
}

void SerialReaderEnded() {
    readersRunning.fetch_sub(1);
}

int SerialReaderThreadCount() {
    return readersRunning.load();
}

void SerialHalt() {
    RxHalt();
}

bool SerialHalted() {
    return RxHalted();
}

// The tap hears of the bytes before the upgrade can answer them, so that a
// recording has them before the answer; the upgrade is woken before the
// trace takes them, so its answer never waits for the trace.
void SerialDeliverReceived(const unsigned char* bytes, int count) {
    if (LineTap tap = lineTap.load()) {
        std::lock_guard<std::mutex> hold(tapOrder);
        tap(false, bytes, count);
    }
    RxPush(bytes, count);
    TraceReceived(bytes, count);
}

void SerialNoteWritten(const unsigned char* bytes, int count) {
    if (LineTap tap = lineTap.load()) tap(true, bytes, count);
}

std::unique_lock<std::mutex> SerialHoldTap() {
    return lineTap.load() ? std::unique_lock<std::mutex>(tapOrder) : std::unique_lock<std::mutex>();
}

void SerialSetLineTap(LineTap tap) {
    lineTap = tap;
}
