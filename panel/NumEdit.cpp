#include "panel/NumEdit.h"

// clang-format off
BEGIN_MESSAGE_MAP(CNumEdit, CEdit)
    ON_WM_CHAR()
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
    if (Accepts(ch, text))
        CEdit::OnChar(ch, repeatCount, flags);
}
