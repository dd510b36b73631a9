// The calls the Windows channel makes on its port handle, as a table that a
// test may replace; each entry defaults to the system's own call. And its
// reading of an open's error, for others that open ports the same way.
#pragma once
#include <windows.h>

#include "serial/serial.h"

SerialOpenFailure SerialFailureFromError(DWORD err);

struct SerialWin32Calls {
    decltype(&CreateFileA) createFile;
    decltype(&SetCommMask) setCommMask;
    decltype(&SetupComm) setupComm;
    decltype(&SetCommTimeouts) setCommTimeouts;
    decltype(&SetCommState) setCommState;
    decltype(&GetCommState) getCommState;
    decltype(&PurgeComm) purgeComm;
    decltype(&WaitCommEvent) waitCommEvent;
    decltype(&ClearCommError) clearCommError;
    decltype(&ReadFile) readFile;
    decltype(&WriteFile) writeFile;
    decltype(&GetOverlappedResult) getOverlappedResult;
    decltype(&CancelIoEx) cancelIoEx;
    decltype(&CloseHandle) closePort;  // the port handle only
};

extern SerialWin32Calls SerialWin32System;
