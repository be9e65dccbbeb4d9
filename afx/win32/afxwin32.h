// What the Win32 backend files share among themselves; not part of the framework's interface.
#pragma once

#include "afx/win32/winsys.h"

#include "afx/afxwin.h"

// The procedure every bound window runs: it hands each message to the window's object.
LRESULT CALLBACK AfxWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// The object bound to hwnd (subclassed by it), or nullptr. Never makes a temporary wrapper.
CWnd* AfxLookupPermanent(HWND hwnd);

// Registers the common control classes the panel's template uses; safe to call repeatedly.
void AfxInitCommonControls();

// The backend's access to the state the framework's objects keep private.
struct AfxBackend {
    static void SetCurrent(CWnd& wnd, const AfxMsg& msg) { wnd.m_current = msg; }
    static void Unsubclassed(CWnd& wnd) { wnd.m_pfnSuper = nullptr; }
    static bool Ended(const CDialog& dialog) { return dialog.m_ended; }
};
