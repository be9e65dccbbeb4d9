#include "panel/ColorButton.h"

namespace {

// At most this many characters of the caption are drawn.
constexpr int kMaxCaption = 511;

}  // namespace

COLORREF CColorButton::Complement(COLORREF rgb)
{
    return RGB(255 - GetRValue(rgb), 255 - GetGValue(rgb), 255 - GetBValue(rgb));
}

// Focus and pressed states look the same as the normal one: only the colour carries meaning.
void CColorButton::DrawItem(AfxDrawItem* item)
{
    CString caption;
    GetWindowText(caption);
    const int length = caption.GetLength() < kMaxCaption ? caption.GetLength() : kMaxCaption;

    CDC* dc = item->dc;
    CBrush fill(m_color);
    dc->FillRect(item->rect, &fill);

    CRect textRect = item->rect;
    const int oldMode = dc->SetBkMode(TRANSPARENT);
    dc->DrawText(caption, length, &textRect, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    dc->SetBkMode(oldMode);

    CBrush frame(Complement(m_color));
    dc->FrameRect(item->rect, &frame);
}
