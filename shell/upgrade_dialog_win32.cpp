// orvane-upgrade.exe: the Windows dialog. Start-up, the dialog procedure and
// the view over the template's controls; the behaviour is the shared shell logic.
#include <windows.h>

#include <commctrl.h>
#include <commdlg.h>
#include <process.h>

#include <cstdio>
#include <cstring>

#include "codec/access_mode.h"
#include "shell/main_dialog.h"
#include "shell/resources/resource_ids.h"
#include "shell/startup_win32.h"

namespace {

const UINT WM_RUN_TASK = WM_APP + 1;  // lParam: a UiTask to run on the dialog's thread

HINSTANCE programInstance;
HBITMAP idleFace, busyFace;
HWND dialog;
DWORD dialogThread;
void (*workerBody)();

struct UiTask {
    void (*task)(void*);
    void* arg;
};

HWND Control(int id) {
    return GetDlgItem(dialog, id);
}

void SetStatus(const char* text) {
    SetWindowTextA(Control(IDC_STATUS), text);
}
void SetRange(unsigned low, unsigned high) {
    SendMessageA(Control(IDC_PROGRESS), PBM_SETRANGE, 0, MAKELPARAM(low & 0xFFFF, high & 0xFFFF));
}
void SetPosition(uint32_t position) {
    SendMessageA(Control(IDC_PROGRESS), PBM_SETPOS, position, 0);
}
void ShowFace(bool busy) {
    SendDlgItemMessageA(dialog, IDC_UPGRADE, BM_SETIMAGE, IMAGE_BITMAP,
                        reinterpret_cast<LPARAM>(busy ? busyFace : idleFace));
}
void ShowFontBox(bool shown) {
    ShowWindow(Control(IDC_FONT_BOX), shown ? SW_SHOW : SW_HIDE);
}
bool FontBoxTicked() {
    return SendMessageA(Control(IDC_FONT_BOX), BM_GETCHECK, 0, 0) != 0;
}
void SetImageName(const char* name) {
    SetWindowTextA(Control(IDC_IMAGE_NAME), name);
}
void ReadPortEntry(char* text, int capacity) {
    GetWindowTextA(Control(IDC_PORT), text, capacity);
}
void AddPortName(const char* name) {
    SendMessageA(Control(IDC_PORT), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
}
void SelectFirstPort() {
    SendMessageA(Control(IDC_PORT), CB_SETCURSEL, 0, 0);
}

bool ChooseFile(const char* filters, const char* title, char* path, int pathCapacity, char* name,
                int nameCapacity) {
    OPENFILENAMEA chooser;
    std::memset(&chooser, 0, sizeof chooser);
    chooser.lStructSize = sizeof chooser;
    chooser.hwndOwner = dialog;
    chooser.lpstrFilter = filters;
    chooser.nFilterIndex = 1;
    chooser.lpstrFile = path;
    chooser.nMaxFile = pathCapacity;
    chooser.lpstrFileTitle = name;
    chooser.nMaxFileTitle = nameCapacity;
    chooser.lpstrTitle = title;
    chooser.Flags = OFN_FILEMUSTEXIST;
    return GetOpenFileNameA(&chooser) != 0;
}

// No owner: the dialog stays usable while the worker waits for the answer.
bool AskYesNo(const char* caption, const char* text) {
    return MessageBoxA(nullptr, text, caption, MB_YESNO) == IDYES;
}

// SendMessage returns once the dialog's thread has run the task.
void RunOnUiThread(void (*task)(void*), void* arg) {
    if (GetCurrentThreadId() == dialogThread) {
        task(arg);
        return;
    }
    UiTask work = {task, arg};
    SendMessageA(dialog, WM_RUN_TASK, 0, reinterpret_cast<LPARAM>(&work));
}

unsigned __stdcall WorkerEntry(void*) {
    workerBody();
    return 0;
}

// Neither kept nor waited for.
bool StartWorker(void (*body)()) {
    workerBody = body;
    uintptr_t thread = _beginthreadex(nullptr, 0, WorkerEntry, nullptr, 0, nullptr);
    if (thread == 0) return false;
    CloseHandle(reinterpret_cast<HANDLE>(thread));
    return true;
}

const DialogView win32View = {{SetStatus, SetRange, SetPosition},
                              ShowFace,
                              ShowFontBox,
                              FontBoxTicked,
                              SetImageName,
                              ReadPortEntry,
                              AddPortName,
                              SelectFirstPort,
                              ChooseFile,
                              AskYesNo,
                              RunOnUiThread,
                              StartWorker};

bool ConfirmCloseDuringUpgrade(HWND window) {
    return MessageBoxA(window, CloseDuringUpgradeQuestion, CloseDuringUpgradeCaption,
                       MB_YESNO | MB_DEFBUTTON2) == IDYES;
}

INT_PTR CALLBACK MainDialog(HWND window, UINT message, WPARAM first, LPARAM second) {
    switch (message) {
        case WM_INITDIALOG:
            dialog = window;
            dialogThread = GetCurrentThreadId();
            InitializeMainDialog();
            return TRUE;
        case WM_COMMAND:
            // Escape's IDCANCEL and every other command are ignored.
            if (!BusyMark && LOWORD(first) == IDC_UPGRADE) RunUpgradeCommand();
            return FALSE;
        case WM_RUN_TASK: {
            const UiTask* work = reinterpret_cast<const UiTask*>(second);
            work->task(work->arg);
            return TRUE;
        }
        case WM_CLOSE:
            // Monitor mode holds the port too, but nothing is left half done there.
            if (UpgradeWorkerRunning() && !ConfirmCloseDuringUpgrade(window)) return TRUE;
            return DefWindowProcA(window, message, first, second);
        case WM_DESTROY:
            PostQuitMessage(0);
            return FALSE;
    }
    return FALSE;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    programInstance = instance;
    BusyMark = 0;
    idleFace = LoadBitmapA(instance, MAKEINTRESOURCEA(IDB_IDLE_FACE));
    busyFace = LoadBitmapA(instance, MAKEINTRESOURCEA(IDB_BUSY_FACE));
    AccessMode = SelectAccessMode(__argc, __argv);
    PrepareWindowsProgram();
    InitCommonControls();  // registers the progress bar's window class
    SetDialogView(&win32View);
    DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, MainDialog, 0);
    DeleteObject(idleFace);
    DeleteObject(busyFace);
    EndProgramIfStillBusy();
    return 0;
}
