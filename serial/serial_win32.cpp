// Serial port channel on Win32 overlapped I/O.
#include <process.h>
#include <windows.h>

#include <atomic>
#include <cstring>

#include "serial/rx_ring.h"
#include "serial/serial.h"
#include "serial/serial_report.h"
#include "serial/serial_status.h"
#include "serial/serial_win32_calls.h"

SerialWin32Calls SerialWin32System = {CreateFileA,    SetCommMask,  SetupComm, SetCommTimeouts,
                                      SetCommState,   GetCommState, PurgeComm, WaitCommEvent,
                                      ClearCommError, ReadFile,     WriteFile, GetOverlappedResult,
                                      CancelIoEx,     CloseHandle};

namespace {

SerialWin32Calls& calls = SerialWin32System;

const DWORD QueueBytes = 1024, ReadPiece = 128, ReaderEndWaitMs = 5000;
// Limits inside the 1024-byte queue, for drivers that check them; flow
// control is off, so they change nothing on the line.
const WORD QueueXonLim = 256, QueueXoffLim = 256;
const int MaxFailedWaits = 1000;  // in a row, on a device that still answers

static_assert(sizeof(DCB) == 28, "the driver expects DCBlength 28");

// One open port, held by the channel and by its reader: whoever lets go last
// closes the handle, so a reader that a driver keeps waiting never finds its
// handle closed, or reused by a later open.
struct PortLink {
    HANDLE port;
    HANDLE stop;  // set by SerialClose: ends the reader's waits
    std::atomic<int> holders;
    std::atomic<bool> closing;
};

PortLink* link = nullptr;
HANDLE port = INVALID_HANDLE_VALUE;
OVERLAPPED writeRecord;  // one record: only the worker writes, never two at once
HANDLE reader = nullptr;
std::atomic<HANDLE> openPort{INVALID_HANDLE_VALUE};  // for the ring's look at the driver

void LetGo(PortLink* l) {
    if (l->holders.fetch_sub(1) != 1) return;
    calls.closePort(l->port);
    CloseHandle(l->stop);
    delete l;
}

// Built from zeros: nothing of the port's previous settings survives.
DCB LineSettings(uint32_t baud) {
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
    return dcb;
}

// Some drivers refuse a record whose XON limit exceeds their queue and keep
// their previous speed: the record goes again with both limits inside the
// queue, and the state is read back. False unless the line is at `baud` 8N1.
bool ApplyLineSettings(HANDLE h, uint32_t baud, SerialPortReport& report) {
    DCB dcb = LineSettings(baud);
    bool taken = calls.setCommState(h, &dcb) != 0;
    if (!taken) {
        report.settingsRetried = true;
        dcb = LineSettings(baud);
        dcb.XonLim = QueueXonLim;
        dcb.XoffLim = QueueXoffLim;
        taken = calls.setCommState(h, &dcb) != 0;
    }
    DCB back;
    std::memset(&back, 0, sizeof back);
    back.DCBlength = sizeof back;
    if (!calls.getCommState(h, &back)) return false;
    report.speedFound = back.BaudRate;
    return taken && back.BaudRate == baud && back.ByteSize == 8 && back.Parity == NOPARITY &&
           back.StopBits == ONESTOPBIT;
}

// False when the port will not take what the upgrade needs: its receive
// events, write time-outs, speed and 8N1. Queue sizes are only a request a
// driver may decline, and a failed purge leaves bytes the exchange flushes.
bool ConfigurePort(HANDLE h, uint32_t baud) {
    SerialPortReport report = {baud, 0, LowLatencyNotAsked, false};
    bool ok = calls.setCommMask(h, EV_RXCHAR) != 0;
    if (!calls.setupComm(h, QueueBytes, QueueBytes))
        SerialNote("settings: the driver kept its own queue sizes");
    COMMTIMEOUTS timeouts = {0, 0, 0, 10, 10};
    ok = calls.setCommTimeouts(h, &timeouts) != 0 && ok;
    ok = ApplyLineSettings(h, baud, report) && ok;
    if (report.settingsRetried)
        SerialNote(
            ok ? "settings: taken at the second try, with XON/XOFF limits inside the queue"
               : "settings: refused by the driver, also with XON/XOFF limits inside the queue");
    if (!calls.purgeComm(h, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR))
        SerialNote("settings: the driver did not purge the port");
    SerialRecordPort(report);
    return ok;
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
    if (!calls.clearCommError(h, &errors, &status)) return 0;
    return status.cbInQue;
}

// Waits until the driver is done with the record, ending its I/O once
// SerialClose asks: a new event mask ends a pending wait for events (the
// documented way, and the one Wine knows), CancelIoEx ends anything else.
// Neither the record nor the handle outlives the wait.
bool FinishIo(PortLink* l, OVERLAPPED* record, DWORD* got) {
    HANDLE waits[2] = {record->hEvent, l->stop};
    if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
        calls.setCommMask(l->port, 0);
        calls.cancelIoEx(l->port, record);
    }
    return calls.getOverlappedResult(l->port, record, got, TRUE) != 0;
}

DWORD ReadWaiting(PortLink* l, OVERLAPPED* record, unsigned char* buffer, DWORD count) {
    DWORD got = 0;
    if (calls.readFile(l->port, buffer, count, &got, record)) return got;
    if (GetLastError() != ERROR_IO_PENDING) return 0;
    return FinishIo(l, record, &got) ? got : 0;
}

// Empties the input queue; a failed read is asked again. Marked as draining
// from before the first look until the last push, as on Linux, so a deadline
// that falls while bytes are between the driver and the ring waits for them.
void DrainInput(PortLink* l, OVERLAPPED* record) {
    unsigned char buffer[ReadPiece];
    RxSetDraining(true);
    for (DWORD waiting = WaitingBytes(l->port); waiting > 0 && !l->closing;
         waiting = WaitingBytes(l->port)) {
        DWORD got = ReadWaiting(l, record, buffer, waiting < ReadPiece ? waiting : ReadPiece);
        if (got > 0) SerialDeliverReceived(buffer, static_cast<int>(got));
    }
    RxSetDraining(false);
}

// The port's status can still be read: the device has not gone.
bool DeviceAnswers(HANDLE h) {
    DWORD errors = 0;
    COMSTAT status;
    return calls.clearCommError(h, &errors, &status) != 0;
}

// Waits for received characters on the reader's own record. The events, or
// -1 once SerialClose asked the reader to end, or -2 when the device failed.
long AwaitReceiveEvent(PortLink* l, OVERLAPPED* record, DWORD* events) {
    *events = 0;
    ResetEvent(record->hEvent);
    if (!calls.waitCommEvent(l->port, events, record)) {
        if (GetLastError() != ERROR_IO_PENDING) return l->closing ? -1 : -2;
        DWORD ignored = 0;
        if (!FinishIo(l, record, &ignored)) return l->closing ? -1 : -2;
    }
    return l->closing ? -1 : static_cast<long>(*events);
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

// SerialReaderThread of this platform, handed the link of the port it was
// started for, so that it never reads a later open's. The wait and the reads
// each have a record of their own, as the handle is overlapped: a wait
// without one may report completion before anything came.
void RunReader(PortLink* l) {
    OVERLAPPED waitRecord = NewRecord(), readRecord = NewRecord();
    DWORD seen = 0;  // filled by the wait; outlives it, as FinishIo waits for the driver
    long events = 0;
    for (int failedWaits = 0; failedWaits < MaxFailedWaits;) {
        events = AwaitReceiveEvent(l, &waitRecord, &seen);
        if (events == -1) break;
        // A failed wait on a port that still answers is asked again: only a
        // device that has gone ends the line.
        if (events == -2 && !DeviceAnswers(l->port)) break;
        failedWaits = events == -2 ? failedWaits + 1 : 0;
        // After an empty mask or a failed wait, bytes may wait that no new event will announce.
        DrainInput(l, &readRecord);
        if (events <= 0 || !(events & EV_RXCHAR)) Sleep(1);
    }
    CloseHandle(waitRecord.hEvent);
    CloseHandle(readRecord.hEvent);
    if (events == -2 && !l->closing) RxSetLinkDown(true);
    SerialReaderEnded();
    LetGo(l);
}

unsigned __stdcall ReaderEntry(void* arg) {
    RunReader(static_cast<PortLink*>(arg));
    return 0;
}

// The reader's hold and count are taken before it starts.
void StartReader(PortLink* l) {
    SerialReaderStarting();
    reader = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, ReaderEntry, l, 0, nullptr));
    if (reader) return;
    SerialReaderEnded();
    LetGo(l);
}

}  // namespace

SerialOpenFailure SerialFailureFromError(DWORD err) {
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

int SerialOpen(const char* device_path, uint32_t baud) {
    SerialClose();
    HANDLE h =
        calls.createFile(device_path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) return SerialRefuseOpen(SerialFailureFromError(GetLastError()));
    if (!ConfigurePort(h, baud)) {
        calls.closePort(h);
        return SerialRefuseOpen(SerialSettingsRefused);
    }
    SerialNoteOpened();
    RenewWriteRecord();
    PortLink* l = new PortLink;
    l->port = h;
    l->stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    l->holders = 2;  // the channel and the reader
    l->closing = false;
    link = l;
    port = h;
    openPort = h;
    RxSetDriverBacklog(DriverBacklog);
    RxSetLinkDown(false);
    StartReader(l);
    return 0;
}

void SerialWrite(const void* bytes, uint32_t length) {
    if (port == INVALID_HANDLE_VALUE || SerialHalted()) return;
    DWORD sent = 0;
    std::unique_lock<std::mutex> hold = SerialHoldTap();
    bool done = calls.writeFile(port, bytes, length, &sent, &writeRecord) ||
                (GetLastError() == ERROR_IO_PENDING &&
                 calls.getOverlappedResult(port, &writeRecord, &sent, TRUE));
    if (done && sent > 0)
        SerialNoteWritten(static_cast<const unsigned char*>(bytes), static_cast<int>(sent));
}

// The reader is woken and waited for before the channel lets go of the port,
// so the next open starts exactly one new reader. A reader that a driver
// keeps waiting longer than that closes the port itself once it is free.
void SerialClose() {
    PortLink* l = link;
    if (!l) return;
    l->closing = true;
    openPort = INVALID_HANDLE_VALUE;
    link = nullptr;
    port = INVALID_HANDLE_VALUE;
    SetEvent(l->stop);
    if (reader) {
        WaitForSingleObject(reader, ReaderEndWaitMs);
        CloseHandle(reader);
        reader = nullptr;
    }
    LetGo(l);
    RxSetLinkDown(true);
}
