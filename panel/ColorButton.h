// The output switch: an owner-drawn push button filled with a colour that tells whether the
// amplifier's output is on, framed one pixel wide in the complementary colour.
#pragma once

#include "afx/afxwin.h"

class CColorButton : public CButton {
public:
    // Takes effect at the next drawing; the panel always changes the caption right after, which
    // repaints the button.
    void SetColor(COLORREF newColor) { m_color = newColor; }
    void DrawItem(AfxDrawItem* item) override;

    // Each of red, green and blue replaced by 255 minus its value.
    static COLORREF Complement(COLORREF rgb);

protected:
    COLORREF m_color = RGB(0, 0, 0);
};
