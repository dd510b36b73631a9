#include "serial/serial_status.h"

#include <atomic>

#include "serial/rx_ring.h"
#include "serial/trace.h"

namespace {
std::atomic<int> readersRunning{0};
std::atomic<bool> halted{false};
SerialOpenFailure lastOpenFailure = SerialOpenOk;
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
    halted = true;
    RxHalt();
}

bool SerialHalted() {
    return halted;
}
