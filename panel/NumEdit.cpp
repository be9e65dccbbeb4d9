#include "panel/NumEdit.h"

// clang-format off
BEGIN_MESSAGE_MAP(CNumEdit, CEdit)
    ON_WM_CHAR()
    ON_WM_KILLFOCUS()
    ON_MESSAGE(WM_PASTE, &CNumEdit::OnTextEdited)
    ON_MESSAGE(WM_CUT, &CNumEdit::OnTextEdited)
    ON_MESSAGE(WM_CLEAR, &CNumEdit::OnTextEdited)
    ON_MESSAGE(WM_UNDO, &CNumEdit::OnTextEdited)
END_MESSAGE_MAP()
// clang-format on

bool CNumEdit::Accepts(UINT ch, const CString& text)
{
    switch (ch) {
    case '.':
        return !text.IsEmpty() && text.Find('.') < 0;
    case '-':
        return text.IsEmpty();
    case VK_BACK:
        return true;
    default:
        return ch >= '0' && ch <= '9';
    }
}

// A refused character is dropped without a sound.
void CNumEdit::OnChar(UINT ch, UINT repeatCount, UINT flags)
{
    CString text;
    GetWindowText(text);
    if (!Accepts(ch, text))
        return;
    m_typed = true;
    CEdit::OnChar(ch, repeatCount, flags);
}

LRESULT CNumEdit::OnTextEdited(WPARAM, LPARAM)
{
    m_typed = true;
    return Default();
}

void CNumEdit::OnKillFocus(HWND newFocus)
{
    Default();
    if (CWnd* parent = GetParent())
        parent->SendMessage(WM_SETPOINT_LEFT, static_cast<WPARAM>(GetDlgCtrlID()), reinterpret_cast<LPARAM>(newFocus));
}

void CNumEdit::ShowValue(const char* text)
{
    SetWindowText(text);
    m_typed = false;
}
