// Control wrappers: each method is one message to the control.
#include "afx/win32/winsys.h"

#include "afx/afxwin.h"

namespace {

LRESULT Send(HWND hwnd, UINT message, WPARAM wParam = 0, LPARAM lParam = 0)
{
    return ::SendMessageW(hwnd, message, wParam, lParam);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// CButton

void CButton::SetCheck(int check)
{
    Send(m_hWnd, BM_SETCHECK, static_cast<WPARAM>(check));
}

int CButton::GetCheck() const
{
    return static_cast<int>(Send(m_hWnd, BM_GETCHECK));
}

// ---------------------------------------------------------------------------------------------
// CEdit

void CEdit::SetRect(const CRect& rect)
{
    RECT r{rect.left, rect.top, rect.right, rect.bottom};
    Send(m_hWnd, EM_SETRECT, 0, reinterpret_cast<LPARAM>(&r));
}

// ---------------------------------------------------------------------------------------------
// CSliderCtrl

void CSliderCtrl::SetRange(int minPos, int maxPos, BOOL redraw)
{
    // The two-message form: TBM_SETRANGE packs both ends into 16 bits each.
    Send(m_hWnd, TBM_SETRANGEMIN, FALSE, minPos);
    Send(m_hWnd, TBM_SETRANGEMAX, redraw, maxPos);
}

void CSliderCtrl::SetPos(int pos)
{
    Send(m_hWnd, TBM_SETPOS, TRUE, pos);
}

int CSliderCtrl::GetPos() const
{
    return static_cast<int>(Send(m_hWnd, TBM_GETPOS));
}

void CSliderCtrl::ClearTics(BOOL redraw)
{
    Send(m_hWnd, TBM_CLEARTICS, redraw);
}

BOOL CSliderCtrl::SetTic(int pos)
{
    return static_cast<BOOL>(Send(m_hWnd, TBM_SETTIC, 0, pos));
}

// ---------------------------------------------------------------------------------------------
// CComboBoxEx

int CComboBoxEx::InsertItem(int index, const char* text)
{
    COMBOBOXEXITEMA item{};
    item.mask = CBEIF_TEXT;
    item.iItem = index;
    item.pszText = const_cast<char*>(text);
    return static_cast<int>(::SendMessageA(m_hWnd, CBEM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item)));
}

void CComboBoxEx::ResetContent()
{
    Send(m_hWnd, CB_RESETCONTENT);
}

int CComboBoxEx::GetCurSel() const
{
    return static_cast<int>(Send(m_hWnd, CB_GETCURSEL));
}

int CComboBoxEx::SetCurSel(int index)
{
    return static_cast<int>(Send(m_hWnd, CB_SETCURSEL, static_cast<WPARAM>(index)));
}
