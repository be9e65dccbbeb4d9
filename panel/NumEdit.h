// A setpoint box that lets through only the keystrokes of a signed decimal number.
#pragma once

#include "afx/afxwin.h"

class CNumEdit : public CEdit {
public:
    void OnChar(UINT ch, UINT repeatCount, UINT flags);

    // Whether ch may reach a box holding text. The rules look at the whole text only, not at the
    // caret or a selection.
    static bool Accepts(UINT ch, const CString& text);

    DECLARE_MESSAGE_MAP()
};
