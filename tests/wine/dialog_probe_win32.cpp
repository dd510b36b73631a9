// Test helper: reads the running upgrade dialog from another process, so a
// script can check what the user sees without reading pixels.
//   dialog_probe show            the dialog and its controls, one line each
//   dialog_probe wait-status T S until the status line reads T (S seconds at most)
//   dialog_probe close           asks the dialog to close, as its close box does
//   dialog_probe show-box C      the controls of the message box captioned C
//   dialog_probe answer-box C A  presses Yes (A = yes) or No in that box
// Exit status 0 on success, 1 when the dialog or the awaited text did not come.
#include <windows.h>

#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char caption[] = "Orvane 5800 Imager Firmware Upgrade Utility Ver. 1.00.00";

HWND FindDialog(int seconds) {
    for (int i = 0; i < seconds * 10; ++i) {
        // The window exists before its initialisation ends; it shows afterwards.
        HWND dialog = FindWindowA(nullptr, caption);
        if (dialog && IsWindowVisible(dialog)) return dialog;
        Sleep(100);
    }
    return nullptr;
}

void Text(HWND window, char* text, int capacity) {
    text[0] = 0;
    SendMessageA(window, WM_GETTEXT, capacity, reinterpret_cast<LPARAM>(text));
}

void PrintRect(const char* what, HWND window) {
    RECT r;
    GetWindowRect(window, &r);
    std::printf("%s %ld %ld %ld %ld\n", what, r.left, r.top, r.right - r.left, r.bottom - r.top);
}

// The wide messages: the narrow CB_GETLBTEXT loses all but the first
// character when Wine marshals it to another process.
void PrintPorts(HWND combo) {
    LRESULT count = SendMessageW(combo, CB_GETCOUNT, 0, 0);
    std::printf("ports");
    for (LRESULT i = 0; i < count; ++i) {
        wchar_t item[256] = L"";
        char text[256] = "";
        if (SendMessageW(combo, CB_GETLBTEXTLEN, i, 0) < 256)
            SendMessageW(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(item));
        WideCharToMultiByte(CP_ACP, 0, item, -1, text, sizeof text, nullptr, nullptr);
        std::printf(" %s", text);
    }
    std::printf("\n");
}

void PrintControl(HWND control) {
    char className[64] = "", text[1024];
    GetClassNameA(control, className, sizeof className);
    Text(control, text, sizeof text);
    LONG style = GetWindowLongA(control, GWL_STYLE);
    std::printf("control %d class=%s style=0x%08lx visible=%d text=%s\n", GetDlgCtrlID(control),
                className, static_cast<unsigned long>(style), IsWindowVisible(control) ? 1 : 0,
                text);
}

int Show(HWND dialog) {
    char text[256];
    Text(dialog, text, sizeof text);
    std::printf("caption %s\n", text);
    std::printf("style 0x%08lx\n", static_cast<unsigned long>(GetWindowLongA(dialog, GWL_STYLE)));
    PrintRect("window", dialog);
    for (HWND c = GetWindow(dialog, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) PrintControl(c);
    PrintPorts(GetDlgItem(dialog, 1003));
    HWND bar = GetDlgItem(dialog, 1002);
    std::printf("progress %ld range %ld %ld\n",
                static_cast<long>(SendMessageA(bar, PBM_GETPOS, 0, 0)),
                static_cast<long>(SendMessageA(bar, PBM_GETRANGE, TRUE, 0)),
                static_cast<long>(SendMessageA(bar, PBM_GETRANGE, FALSE, 0)));
    std::printf("checked %ld\n",
                static_cast<long>(SendDlgItemMessageA(dialog, 1008, BM_GETCHECK, 0, 0)));
    std::printf("face %p\n", reinterpret_cast<void*>(
                                 SendDlgItemMessageA(dialog, 1000, BM_GETIMAGE, IMAGE_BITMAP, 0)));
    PrintRect("upgrade-button", GetDlgItem(dialog, 1000));
    return 0;
}

int WaitStatus(HWND dialog, const char* wanted, int seconds) {
    char status[1024] = "";
    for (int i = 0; i < seconds * 10; ++i) {
        Text(GetDlgItem(dialog, 1005), status, sizeof status);
        if (std::strcmp(status, wanted) == 0) {
            std::printf("status %s\n", status);
            return 0;
        }
        Sleep(100);
    }
    std::printf("status %s (waited for: %s)\n", status, wanted);
    return 1;
}

HWND FindBox(const char* boxCaption) {
    HWND box = nullptr;
    for (int i = 0; i < 100 && !box; ++i, Sleep(100)) box = FindWindowA(nullptr, boxCaption);
    if (!box) std::printf("no box\n");
    return box;
}

int ShowBox(const char* boxCaption) {
    HWND box = FindBox(boxCaption);
    if (!box) return 1;
    for (HWND c = GetWindow(box, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) PrintControl(c);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    if (std::strcmp(argv[1], "show-box") == 0 && argc == 3) return ShowBox(argv[2]);
    if (std::strcmp(argv[1], "answer-box") == 0 && argc == 4) {
        HWND box = FindBox(argv[2]);
        WPARAM button = std::strcmp(argv[3], "yes") == 0 ? IDYES : IDNO;
        return box && PostMessageA(box, WM_COMMAND, button, 0) ? 0 : 1;
    }
    HWND dialog = FindDialog(20);
    if (!dialog) {
        std::printf("no dialog\n");
        return 1;
    }
    if (std::strcmp(argv[1], "show") == 0) return Show(dialog);
    if (std::strcmp(argv[1], "wait-status") == 0 && argc == 4)
        return WaitStatus(dialog, argv[2], std::atoi(argv[3]));
    if (std::strcmp(argv[1], "close") == 0) return PostMessageA(dialog, WM_CLOSE, 0, 0) ? 0 : 1;
    return 2;
}
