// Serial port channel on Win32 overlapped I/O.
#include <process.h>
#include <windows.h>

#include <atomic>
#include <cstring>

#include "serial/rx_ring.h"
#include "serial/serial.h"
#include "serial/serial_status.h"

namespace {

const DWORD QueueBytes = 1024, ReadPiece = 128, ReaderEndWaitMs = 5000;
const int MaxFailedWaits = 1000;  // in a row, on a device that still answers

static_assert(sizeof(DCB) == 28, "the driver expects DCBlength 28");

HANDLE port = INVALID_HANDLE_VALUE;
OVERLAPPED writeRecord;  // one record: only the worker writes, never two at once
HANDLE reader = nullptr;
HANDLE stopReader = nullptr;                         // set by SerialClose: ends the reader's wait
std::atomic<HANDLE> openPort{INVALID_HANDLE_VALUE};  // for the ring's look at the driver
std::atomic<bool> closing{false};

SerialOpenFailure FailureFromError(DWORD err) {
    switch (err) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_DEV_NOT_EXIST:
        case ERROR_BAD_UNIT:
            return SerialNoDevice;
        case ERROR_ACCESS_DENIED:  // what Windows answers for a port another program holds
        case ERROR_SHARING_VIOLATION:
        case ERROR_BUSY:
            return SerialBusy;
        case ERROR_INVALID_FUNCTION:
        case ERROR_NOT_SUPPORTED:
            return SerialNotSerial;
        default:
            return SerialOtherFailure;
    }
}

// Built from zeros: nothing of the port's previous settings survives.
void ApplyLineSettings(HANDLE h, uint32_t baud) {
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = baud;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.fParity = FALSE;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.XonLim = 2048;
    dcb.XoffLim = 512;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    SetCommState(h, &dcb);
}

void ConfigurePort(HANDLE h, uint32_t baud) {
    SetCommMask(h, EV_RXCHAR);
    SetupComm(h, QueueBytes, QueueBytes);
    COMMTIMEOUTS timeouts = {0, 0, 0, 10, 10};
    SetCommTimeouts(h, &timeouts);
    ApplyLineSettings(h, baud);
    PurgeComm(h, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
}

void RenewWriteRecord() {
    if (writeRecord.hEvent) CloseHandle(writeRecord.hEvent);
    std::memset(&writeRecord, 0, sizeof writeRecord);
    writeRecord.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

// Bytes waiting in the driver's input queue; 0 when the query fails.
DWORD WaitingBytes(HANDLE h) {
    DWORD errors = 0;
    COMSTAT status;
    if (!ClearCommError(h, &errors, &status)) return 0;
    return status.cbInQue;
}

DWORD ReadWaiting(HANDLE h, OVERLAPPED* record, unsigned char* buffer, DWORD count) {
    DWORD got = 0;
    if (ReadFile(h, buffer, count, &got, record)) return got;
    if (GetLastError() != ERROR_IO_PENDING) return 0;
    if (!GetOverlappedResult(h, record, &got, TRUE)) return 0;
    return got;
}

// Empties the input queue; a failed read is asked again.
void DrainInput(HANDLE h, OVERLAPPED* record) {
    unsigned char buffer[ReadPiece];
    RxSetDraining(true);
    for (DWORD waiting = WaitingBytes(h); waiting > 0 && !closing; waiting = WaitingBytes(h)) {
        DWORD got = ReadWaiting(h, record, buffer, waiting < ReadPiece ? waiting : ReadPiece);
        if (got > 0) SerialDeliverReceived(buffer, static_cast<int>(got));
    }
    RxSetDraining(false);
}

// The port's status can still be read: the device has not gone.
bool DeviceAnswers(HANDLE h) {
    DWORD errors = 0;
    COMSTAT status;
    return ClearCommError(h, &errors, &status) != 0;
}

// Filled by the pending wait whenever it completes, so it outlives every wait.
DWORD pendingEvents = 0;

// Waits for received characters on the reader's own record. The events, or
// -1 once SerialClose asked the reader to end, or -2 when the device failed.
long AwaitReceiveEvent(HANDLE h, OVERLAPPED* record) {
    pendingEvents = 0;
    ResetEvent(record->hEvent);
    if (!WaitCommEvent(h, &pendingEvents, record)) {
        if (GetLastError() != ERROR_IO_PENDING) return -2;
        HANDLE waits[2] = {record->hEvent, stopReader};
        DWORD woke = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
        DWORD ignored = 0;
        if (woke != WAIT_OBJECT_0) {
            // A new mask ends a pending wait at once: the documented way to stop it.
            SetCommMask(h, 0);
            WaitForSingleObject(record->hEvent, ReaderEndWaitMs);
            return -1;
        }
        if (!GetOverlappedResult(h, record, &ignored, FALSE)) return closing ? -1 : -2;
    }
    return closing ? -1 : static_cast<long>(pendingEvents);
}

OVERLAPPED NewRecord() {
    OVERLAPPED record;
    std::memset(&record, 0, sizeof record);
    record.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return record;
}

int DriverBacklog() {
    HANDLE h = openPort.load();
    return h == INVALID_HANDLE_VALUE ? 0 : static_cast<int>(WaitingBytes(h));
}

unsigned __stdcall ReaderEntry(void*) {
    SerialReaderThread();
    return 0;
}

void StartReader() {
    SerialReaderStarting();
    reader = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, ReaderEntry, nullptr, 0, nullptr));
    if (!reader) SerialReaderEnded();
}

}  // namespace

int SerialOpen(const char* device_path, uint32_t baud) {
    SerialClose();
    HANDLE h = CreateFileA(device_path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) return SerialRefuseOpen(FailureFromError(GetLastError()));
    SerialNoteOpened();
    ConfigurePort(h, baud);
    RenewWriteRecord();
    port = h;
    openPort = h;
    RxSetDriverBacklog(DriverBacklog);
    closing = false;
    stopReader = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    RxSetLinkDown(false);
    StartReader();
    return 0;
}

void SerialWrite(const void* bytes, uint32_t length) {
    if (port == INVALID_HANDLE_VALUE || SerialHalted()) return;
    DWORD sent = 0;
    std::unique_lock<std::mutex> hold = SerialHoldTap();
    bool done = WriteFile(port, bytes, length, &sent, &writeRecord) ||
                (GetLastError() == ERROR_IO_PENDING &&
                 GetOverlappedResult(port, &writeRecord, &sent, TRUE));
    if (done && sent > 0)
        SerialNoteWritten(static_cast<const unsigned char*>(bytes), static_cast<int>(sent));
}

// The reader is woken and waited for before the handle closes, so the next
// open starts exactly one new reader and the old one never touches a handle
// that has been closed or given to something else.
void SerialClose() {
    if (port == INVALID_HANDLE_VALUE) return;
    closing = true;
    openPort = INVALID_HANDLE_VALUE;
    SetEvent(stopReader);
    if (reader) {
        WaitForSingleObject(reader, ReaderEndWaitMs);
        CloseHandle(reader);
        reader = nullptr;
    }
    CloseHandle(port);
    CloseHandle(stopReader);
    stopReader = nullptr;
    port = INVALID_HANDLE_VALUE;
    RxSetLinkDown(true);
}

// The wait and the reads each have a record of their own, as the handle is
// overlapped: a wait without one may report completion before anything came.
void SerialReaderThread() {
    HANDLE h = port;
    OVERLAPPED waitRecord = NewRecord(), readRecord = NewRecord();
    long events = 0;
    for (int failedWaits = 0; failedWaits < MaxFailedWaits;) {
        events = AwaitReceiveEvent(h, &waitRecord);
        if (events == -1) break;
        // A failed wait on a port that still answers is asked again: only a
        // device that has gone ends the line.
        if (events == -2 && !DeviceAnswers(h)) break;
        failedWaits = events == -2 ? failedWaits + 1 : 0;
        // After an empty mask or a failed wait, bytes may wait that no new event will announce.
        DrainInput(h, &readRecord);
        if (events <= 0 || !(events & EV_RXCHAR)) Sleep(1);
    }
    CloseHandle(waitRecord.hEvent);
    CloseHandle(readRecord.hEvent);
    if (events == -2) RxSetLinkDown(true);
    SerialReaderEnded();
}
