#include "serial/serial_status.h"

#include <atomic>

#include "serial/rx_ring.h"
#include "serial/trace.h"

namespace {
std::atomic<int> readersRunning{0};
SerialOpenFailure lastOpenFailure = SerialOpenOk;
std::atomic<ReceiveListener> listener{TraceReceived};
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

void SerialSetReceiveListener(ReceiveListener l) {
    listener = l ? l : TraceReceived;
}

// The upgrade is woken before the listener hears of the bytes: its answer to
// them never waits for the trace.
void SerialDeliverReceived(const unsigned char* bytes, int count) {
    RxPush(bytes, count);
    listener.load()(bytes, count);
}
