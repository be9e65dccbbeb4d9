// The controls: what the panel sets and reads, and what the system's controls do by themselves.
#include "afx/headless/Desktop.h"

namespace desktop {

// What the system's controls do by themselves with a message nobody handled.
LRESULT ControlDefault(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    (void)lParam;
    const bool button = hwnd->className == "BUTTON";
    const bool enabled = (hwnd->style & WS_DISABLED) == 0;
    switch (message) {
    case WM_CHAR:
        if (hwnd->className == "EDIT" && enabled) {
            if (wParam == VK_BACK) {
                if (!hwnd->text.empty())
                    hwnd->text.pop_back();
            } else {
                hwnd->text.push_back(static_cast<char>(wParam));
            }
        }
        return 0;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:  // a button takes the second press of a double click as a press
        // A button or a box pressed takes the focus, as the system's do.
        if ((button || hwnd->className == "EDIT") && enabled)
            SetFocusTo(hwnd);
        if (button && enabled) {
            hwnd->pressed = true;
            // The window that held the capture is told, even when it takes it again itself.
            if (const HWND previous = D().capture)
                Send(previous, WM_CAPTURECHANGED, 0, reinterpret_cast<LPARAM>(hwnd));
            D().capture = hwnd;
        }
        return 0;
    case WM_LBUTTONUP: {
        if (!button)
            return 0;
        // The button lets the capture go before it reports the click.
        const bool clicked = enabled && hwnd->pressed;
        if (D().capture == hwnd)
            ReleaseCapture();
        hwnd->pressed = false;
        if (clicked) {
            if ((hwnd->style & BS_TYPEMASK) == BS_AUTOCHECKBOX)
                hwnd->check = hwnd->check == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED;
            if (hwnd->parent)
                Send(hwnd->parent, WM_COMMAND, static_cast<WPARAM>(hwnd->id) | (BN_CLICKED << 16),
                    reinterpret_cast<LPARAM>(hwnd));
        }
        return 0;
    }
    case WM_SYSCOMMAND:
        // The close box asks the window to close.
        if ((wParam & 0xFFF0) == SC_CLOSE)
            Send(hwnd, WM_CLOSE, 0, 0);
        return 0;
    case WM_CLOSE:
        // A dialog's close request is its Cancel command.
        if (hwnd->parent == nullptr)
            Send(hwnd, WM_COMMAND, IDCANCEL, 0);
        return 0;
    case WM_CANCELMODE:
        ReleaseCapture();
        return 0;
    default:
        return 0;
    }
}

}  // namespace desktop

using namespace desktop;

namespace {

int Clamp(int value, int lo, int hi)
{
    return value < lo ? lo : (value > hi ? hi : value);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Controls
void CButton::SetCheck(int check)
{
    m_hWnd->check = check;
}

int CButton::GetCheck() const
{
    return m_hWnd->check;
}

void CEdit::SetRect(const CRect& rect)
{
    m_hWnd->formatRect = rect;
}

// The trackbar holds its position inside its range, as the system's control does.
void CSliderCtrl::SetRange(int minPos, int maxPos, BOOL)
{
    m_hWnd->rangeMin = minPos;
    m_hWnd->rangeMax = maxPos;
    m_hWnd->pos = Clamp(m_hWnd->pos, minPos, maxPos);
}

void CSliderCtrl::SetPos(int pos)
{
    m_hWnd->pos = Clamp(pos, m_hWnd->rangeMin, m_hWnd->rangeMax);
}

int CSliderCtrl::GetPos() const
{
    return m_hWnd->pos;
}

void CSliderCtrl::ClearTics(BOOL)
{
    m_hWnd->tics.clear();
}

BOOL CSliderCtrl::SetTic(int pos)
{
    if (pos < m_hWnd->rangeMin || pos > m_hWnd->rangeMax)
        return FALSE;
    m_hWnd->tics.push_back(pos);
    return TRUE;
}

// The extended combo box ignores the sort style: entries stay where they are inserted.
int CComboBoxEx::InsertItem(int index, const char* text)
{
    auto& items = m_hWnd->items;
    if (index < 0 || index > static_cast<int>(items.size()))
        index = static_cast<int>(items.size());
    items.insert(items.begin() + index, text);
    return index;
}

void CComboBoxEx::ResetContent()
{
    m_hWnd->items.clear();
    m_hWnd->curSel = -1;
}

int CComboBoxEx::GetCurSel() const
{
    return m_hWnd->curSel;
}

int CComboBoxEx::SetCurSel(int index)
{
    if (index < 0 || index >= static_cast<int>(m_hWnd->items.size())) {
        m_hWnd->curSel = -1;
        return -1;
    }
    m_hWnd->curSel = index;
    return index;
}
