// The start-up reference for scripts/bench.sh: a modal dialog with no controls that first probes
// \\.\COM1 .. \\.\COM254 as the panel does when it starts, then shows itself. What the panel
// takes beyond this program's start-up is the panel's own.
#include <windows.h>

#include <cstdio>

namespace {

constexpr int kMaxPorts = 254;  // as many as the panel probes
#define EMPTYDLG_CAPTION L"AmpPanel bench: empty dialog"

// An in-memory template: no menu, the default class, a caption, no font and no controls.
struct EmptyTemplate {
    DLGTEMPLATE dialog;
    WORD menu;
    WORD windowClass;
    wchar_t caption[sizeof EMPTYDLG_CAPTION / sizeof(wchar_t)];
};

alignas(4) const EmptyTemplate kTemplate = {
    {WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_VISIBLE | DS_MODALFRAME | DS_CENTER, 0, 0, 0, 0, 200, 80},
    0,
    0,
    EMPTYDLG_CAPTION,
};

// As the panel probes: opened without access, closed at once.
int ProbePorts()
{
    int found = 0;
    for (int n = 1; n <= kMaxPorts; ++n) {
        char name[16];
        std::snprintf(name, sizeof name, "\\\\.\\COM%d", n);
        const HANDLE device = CreateFileA(name, 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (device == INVALID_HANDLE_VALUE)
            continue;
        CloseHandle(device);
        ++found;
    }
    return found;
}

INT_PTR CALLBACK EmptyDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        ProbePorts();
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDCANCEL || LOWORD(wParam) == IDOK)
            EndDialog(dialog, 0);
        return TRUE;
    case WM_CLOSE:
        EndDialog(dialog, 0);
        return TRUE;
    default:
        return FALSE;
    }
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    DialogBoxIndirectParamW(instance, &kTemplate.dialog, nullptr, EmptyDialogProc, 0);
    return 0;
}
