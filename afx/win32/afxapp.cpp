// The application object, control registration and the panel's fixed waits.
#include "afx/win32/winsys.h"

#include "afx/afxwin.h"
#include "afx/win32/afxwin32.h"

HICON CWinApp::LoadIcon(UINT id) const
{
    return ::LoadIconW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(id));
}

void AfxInitCommonControls()
{
    // Trackbar, extended combo box and the standard classes the template names.
    static const BOOL registered = [] {
        INITCOMMONCONTROLSEX classes{};
        classes.dwSize = sizeof classes;
        classes.dwICC = ICC_BAR_CLASSES | ICC_USEREX_CLASSES | ICC_STANDARD_CLASSES;
        return ::InitCommonControlsEx(&classes);
    }();
    (void)registered;
}

void AfxEnableControlContainer()
{
    AfxInitCommonControls();
}

void AfxSleep(DWORD milliseconds)
{
    ::Sleep(milliseconds);
}
