// CDialog over the system's dialog manager, with a modal loop of our own.
#include "afx/win32/winsys.h"

#include "afx/afxwin.h"
#include "afx/win32/afxwin32.h"

namespace {

// The dialog manager calls this for every message; only WM_INITDIALOG is ours. From then on the
// window is subclassed, so every message reaches the object's WindowProc first, and its default
// processing returns here through the dialog manager.
INT_PTR CALLBACK AfxDlgProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message != WM_INITDIALOG)
        return FALSE;
    auto* dialog = reinterpret_cast<CDialog*>(lParam);
    if (!dialog->SubclassWindow(hwnd))
        return FALSE;
    AfxBackend::SetCurrent(*dialog, AfxMsg{hwnd, message, wParam, lParam});
    const BOOL focusDefault = dialog->OnInitDialog();
    AfxBackend::SetCurrent(*dialog, AfxMsg{});
    return focusDefault;
}

// Gives msg to the PreTranslateMessage of every bound window from its target up to the dialog.
// A message for no window of the dialog (a thread message, another top-level window) still goes
// to the dialog, the program's main window.
bool PreTranslate(CDialog& dialog, MSG& msg)
{
    AfxMsg pending{msg.hwnd, msg.message, msg.wParam, msg.lParam};
    bool reachedDialog = false;
    bool handled = false;
    for (HWND hwnd = msg.hwnd; hwnd != nullptr && !handled && !reachedDialog; hwnd = ::GetParent(hwnd)) {
        reachedDialog = hwnd == dialog.m_hWnd;
        CWnd* wnd = AfxLookupPermanent(hwnd);
        handled = wnd != nullptr && wnd->PreTranslateMessage(&pending);
    }
    if (!handled && !reachedDialog)
        handled = dialog.PreTranslateMessage(&pending) != FALSE;
    msg.hwnd = pending.hwnd;
    msg.message = pending.message;
    msg.wParam = pending.wParam;
    msg.lParam = pending.lParam;
    return handled;
}

// Pre-translation first, then the dialog manager's keyboard handling, then dispatch.
void RunModalLoop(CDialog& dialog)
{
    MSG msg;
    while (!AfxBackend::Ended(dialog) && dialog.m_hWnd != nullptr) {
        const BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
        if (got == -1)
            return;
        if (got == 0) {
            // Someone asked the program to quit: leave the request for the loop outside.
            ::PostQuitMessage(static_cast<int>(msg.wParam));
            return;
        }
        if (PreTranslate(dialog, msg))
            continue;
        if (dialog.m_hWnd != nullptr && ::IsDialogMessageW(dialog.m_hWnd, &msg))
            continue;
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
}

}  // namespace

BOOL CDialog::Create(UINT templateId, CWnd* parent)
{
    if (m_hWnd != nullptr)
        return FALSE;
    m_nIDTemplate = templateId;
    m_pParentWnd = parent;
    m_ended = false;
    m_result = -1;
    AfxInitCommonControls();
    // Wide API: the template's 16-bit texts reach the controls unconverted.
    const HWND hwnd = ::CreateDialogParamW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(templateId),
        parent != nullptr ? parent->m_hWnd : nullptr, &AfxDlgProc, reinterpret_cast<LPARAM>(this));
    return hwnd != nullptr && hwnd == m_hWnd;
}

INT_PTR CDialog::DoModal()
{
    if (!Create(m_nIDTemplate, m_pParentWnd))
        return -1;
    const HWND owner = m_pParentWnd != nullptr ? m_pParentWnd->m_hWnd : nullptr;
    const bool ownerDisabled = owner != nullptr && !::EnableWindow(owner, FALSE);
    ::ShowWindow(m_hWnd, SW_SHOW);
    RunModalLoop(*this);
    if (ownerDisabled)
        ::EnableWindow(owner, TRUE);
    DestroyWindow();
    return m_result;
}

void CDialog::EndDialog(int result)
{
    m_result = result;
    m_ended = true;
    // Wakes the loop when this was called while it waits (a message sent from another thread).
    if (m_hWnd != nullptr)
        ::PostMessageW(m_hWnd, WM_NULL, 0, 0);
}
