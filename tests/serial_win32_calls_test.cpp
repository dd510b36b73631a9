// The Windows channel against stand-ins for its port calls: a settings record
// the driver refuses is given again, a port that keeps another speed is
// refused at open, and a close ends a waiting reader before the handle goes.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "ports/port_refusal.h"
#include "serial/serial.h"
#include "serial/serial_report.h"
#include "serial/serial_win32_calls.h"
#include "tests/trace_capture.h"

namespace {

HANDLE const FakePort = reinterpret_cast<HANDLE>(static_cast<intptr_t>(0x4240));

// A driver with a 1024-byte queue that checks the XON limit against it, and
// a wait for received characters that ends only when cancelled.
struct FakeComm {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::string> calls;
    DWORD baud = 9600;           // what the port runs at: 9600 after monitor mode
    bool checksXonLimit = true;  // refuses a record whose XON limit exceeds the queue
    bool keepsSpeed = false;     // takes every record and stays at its speed
    bool cancelHangs = false;    // a cancelled wait does not end until `Release`
    OVERLAPPED* pendingWait = nullptr;

    void Note(const std::string& call) {
        std::lock_guard<std::mutex> guard(lock);
        calls.push_back(call);
        changed.notify_all();
    }
    bool Saw(const std::string& call) {
        return std::find(calls.begin(), calls.end(), call) != calls.end();
    }
    // True once `call` was made; the bound only ends a hang.
    bool WaitFor(const std::string& call) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, std::chrono::seconds(20), [&] { return Saw(call); });
    }
    size_t Position(const std::string& call) {
        std::lock_guard<std::mutex> guard(lock);
        return std::find(calls.begin(), calls.end(), call) - calls.begin();
    }
    void Release() {
        std::lock_guard<std::mutex> guard(lock);
        if (pendingWait) SetEvent(pendingWait->hEvent);
        pendingWait = nullptr;
    }
};
FakeComm* comm = nullptr;

HANDLE WINAPI FakeCreateFile(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
    comm->Note("CreateFile");
    return FakePort;
}
BOOL WINAPI FakeSetCommMask(HANDLE, DWORD) {
    return TRUE;
}
BOOL WINAPI FakeSetupComm(HANDLE, DWORD, DWORD) {
    return TRUE;
}
BOOL WINAPI FakeSetCommTimeouts(HANDLE, LPCOMMTIMEOUTS) {
    return TRUE;
}
BOOL WINAPI FakeSetCommState(HANDLE, LPDCB dcb) {
    comm->Note("SetCommState XonLim " + std::to_string(dcb->XonLim));
    if (comm->checksXonLimit && dcb->XonLim > 1024) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!comm->keepsSpeed) comm->baud = dcb->BaudRate;
    return TRUE;
}
BOOL WINAPI FakeGetCommState(HANDLE, LPDCB dcb) {
    dcb->BaudRate = comm->baud;
    dcb->ByteSize = 8;
    dcb->Parity = NOPARITY;
    dcb->StopBits = ONESTOPBIT;
    return TRUE;
}
BOOL WINAPI FakePurgeComm(HANDLE, DWORD) {
    return TRUE;
}
BOOL WINAPI FakeWaitCommEvent(HANDLE, LPDWORD, LPOVERLAPPED record) {
    {
        std::lock_guard<std::mutex> guard(comm->lock);
        comm->pendingWait = record;
    }
    comm->Note("WaitCommEvent");
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}
BOOL WINAPI FakeClearCommError(HANDLE, LPDWORD errors, LPCOMSTAT status) {
    *errors = 0;
    ZeroMemory(status, sizeof *status);
    return TRUE;
}
BOOL WINAPI FakeReadFile(HANDLE, LPVOID, DWORD, LPDWORD got, LPOVERLAPPED) {
    *got = 0;
    return TRUE;
}
BOOL WINAPI FakeWriteFile(HANDLE, LPCVOID, DWORD length, LPDWORD sent, LPOVERLAPPED) {
    *sent = length;
    return TRUE;
}
BOOL WINAPI FakeGetOverlappedResult(HANDLE, LPOVERLAPPED record, LPDWORD got, BOOL wait) {
    if (wait) WaitForSingleObject(record->hEvent, INFINITE);
    comm->Note("GetOverlappedResult");
    *got = 0;
    SetLastError(ERROR_OPERATION_ABORTED);
    return FALSE;
}
BOOL WINAPI FakeCancelIoEx(HANDLE, LPOVERLAPPED) {
    comm->Note("CancelIoEx");
    if (!comm->cancelHangs) comm->Release();
    return TRUE;
}
BOOL WINAPI FakeClosePort(HANDLE h) {
    comm->Note(h == FakePort ? "CloseHandle port" : "CloseHandle other");
    return TRUE;
}

const SerialWin32Calls fakeCalls = {FakeCreateFile,      FakeSetCommMask,   FakeSetupComm,
                                    FakeSetCommTimeouts, FakeSetCommState,  FakeGetCommState,
                                    FakePurgeComm,       FakeWaitCommEvent, FakeClearCommError,
                                    FakeReadFile,        FakeWriteFile,     FakeGetOverlappedResult,
                                    FakeCancelIoEx,      FakeClosePort};

class FakeCommTest : public ::testing::Test {
   protected:
    void SetUp() override {
        comm = &fake;
        saved = SerialWin32System;
        SerialWin32System = fakeCalls;
    }
    void TearDown() override {
        fake.Release();
        SerialClose();
        fake.WaitFor("CloseHandle port");
        SerialWin32System = saved;
    }
    FakeComm fake;
    SerialWin32Calls saved;
    TraceCapture trace;
};

}  // namespace

TEST_F(FakeCommTest, ARefusedSettingsRecordIsGivenAgainWithLimitsInsideTheQueue) {
    ASSERT_EQ(0, SerialOpen("\\\\.\\COM9", 57600));
    EXPECT_EQ(fake.Position("SetCommState XonLim 2048") + 1,
              fake.Position("SetCommState XonLim 256"));
    SerialPortReport report = SerialLastPortReport();
    EXPECT_TRUE(report.settingsRetried);
    EXPECT_EQ(57600u, report.speedFound);
    EXPECT_EQ(1, SerialReaderThreadCount());

    fake.checksXonLimit = false;  // a driver that takes the record as it is
    SerialClose();
    ASSERT_EQ(0, SerialOpen("\\\\.\\COM9", 9600));
    EXPECT_FALSE(SerialLastPortReport().settingsRetried);
}

TEST_F(FakeCommTest, APortThatKeepsAnotherSpeedIsRefusedAtOpen) {
    fake.keepsSpeed = true;  // takes the record, stays at 9600
    EXPECT_EQ(-1, SerialOpen("\\\\.\\COM9", 57600));
    EXPECT_EQ(SerialSettingsRefused, SerialLastOpenFailure());
    EXPECT_EQ(0, SerialReaderThreadCount());
    EXPECT_TRUE(fake.Saw("CloseHandle port"));
    EXPECT_EQ("Bad hComm \n", trace.Take());
    EXPECT_EQ(9600u, SerialLastPortReport().speedFound);
    EXPECT_EQ(
        "COM9 did not take 57600 baud 8N1 (the driver kept 9600 baud): its driver refuses these "
        "settings; update the adapter's driver from its maker, or try another adapter",
        ExplainOpenFailure("\\\\.\\COM9", SerialSettingsRefused));

    fake.keepsSpeed = false;
    fake.checksXonLimit = false;
    fake.baud = 9600;
    fake.calls.clear();
    // A driver that refuses every record: tried twice, then refused.
    SerialWin32System.setCommState = [](HANDLE, LPDCB) -> BOOL { return FALSE; };
    EXPECT_EQ(-1, SerialOpen("\\\\.\\COM9", 57600));
    EXPECT_TRUE(SerialLastPortReport().settingsRetried);
    EXPECT_EQ(9600u, SerialLastPortReport().speedFound);
}

TEST_F(FakeCommTest, CloseEndsAWaitingReaderBeforeTheHandleCloses) {
    ASSERT_EQ(0, SerialOpen("\\\\.\\COM9", 57600));
    ASSERT_TRUE(fake.WaitFor("WaitCommEvent"));
    SerialClose();
    EXPECT_EQ(0, SerialReaderThreadCount());
    ASSERT_TRUE(fake.Saw("CloseHandle port"));
    EXPECT_LT(fake.Position("CancelIoEx"), fake.Position("GetOverlappedResult"));
    EXPECT_LT(fake.Position("GetOverlappedResult"), fake.Position("CloseHandle port"));
}

// A driver that does not end the cancelled wait: the close returns, and the
// reader, not the close, lets go of the handle once its wait is over.
TEST_F(FakeCommTest, AReaderKeptWaitingClosesThePortItselfOnceFree) {
    fake.cancelHangs = true;
    ASSERT_EQ(0, SerialOpen("\\\\.\\COM9", 57600));
    ASSERT_TRUE(fake.WaitFor("WaitCommEvent"));
    SerialClose();
    EXPECT_TRUE(fake.Saw("CancelIoEx"));
    EXPECT_FALSE(fake.Saw("CloseHandle port"));
    fake.Release();
    ASSERT_TRUE(fake.WaitFor("CloseHandle port"));
    EXPECT_LT(fake.Position("GetOverlappedResult"), fake.Position("CloseHandle port"));
}
