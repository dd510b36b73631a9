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

static_assert(sizeof(DCB) == 28, "the driver expects DCBlength 28");

HANDLE port = INVALID_HANDLE_VALUE;
OVERLAPPED writeRecord;  // one record: only the worker writes, never two at once
HANDLE reader = nullptr;
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
    for (DWORD waiting = WaitingBytes(h); waiting > 0 && !closing; waiting = WaitingBytes(h)) {
        DWORD got = ReadWaiting(h, record, buffer, waiting < ReadPiece ? waiting : ReadPiece);
        if (got > 0) RxPush(buffer, static_cast<int>(got));
    }
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
    closing = false;
    RxSetLinkDown(false);
    StartReader();
    return 0;
}

void SerialWrite(const void* bytes, uint32_t length) {
    if (port == INVALID_HANDLE_VALUE) return;
    DWORD sent = 0;
    if (WriteFile(port, bytes, length, &sent, &writeRecord)) return;
    if (GetLastError() != ERROR_IO_PENDING) return;
    GetOverlappedResult(port, &writeRecord, &sent, TRUE);
}

// The close ends the reader's wait; the reader is waited for, so that the
// next open starts exactly one new reader and the old one never sees a
// handle that has been given to something else.
void SerialClose() {
    if (port == INVALID_HANDLE_VALUE) return;
    closing = true;
    CloseHandle(port);
    if (reader) {
        WaitForSingleObject(reader, ReaderEndWaitMs);
        CloseHandle(reader);
        reader = nullptr;
    }
    port = INVALID_HANDLE_VALUE;
    RxSetLinkDown(true);
}

void SerialReaderThread() {
    HANDLE h = port;
    OVERLAPPED readRecord;
    std::memset(&readRecord, 0, sizeof readRecord);
    readRecord.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    bool deviceFailed = false;
    while (!closing) {
        DWORD events = 0;
        // An empty mask means the mask was changed under the wait: the port is going.
        if (!WaitCommEvent(h, &events, nullptr) || events == 0) {
            deviceFailed = !closing;
            break;
        }
        if (events & EV_RXCHAR) DrainInput(h, &readRecord);
    }
    CloseHandle(readRecord.hEvent);
    if (deviceFailed) RxSetLinkDown(true);
    SerialReaderEnded();
}
