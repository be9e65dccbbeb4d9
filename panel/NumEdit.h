// A setpoint box that lets through only the keystrokes of a signed decimal number, and knows
// whether it holds text the operator typed since it last showed a value.
#pragma once

#include "afx/afxwin.h"

// Sent to the parent when the box loses the focus; first parameter: the box's id, second: the
// window that takes the focus.
constexpr UINT WM_SETPOINT_LEFT = WM_USER + 0x11;

class CNumEdit : public CEdit {
public:
    void OnChar(UINT ch, UINT repeatCount, UINT flags);
    void OnKillFocus(HWND newFocus);
    // Paste, cut, clear and undo change the text without a keystroke.
    LRESULT OnTextEdited(WPARAM, LPARAM);

    // Whether ch may reach a box holding text. The rules look at the whole text only, not at the
    // caret or a selection.
    static bool Accepts(UINT ch, const CString& text);

    // The operator has changed the text since the box last showed a value.
    bool Typed() const { return m_typed; }
    // Shows a value (the amplifier's); what was typed is gone.
    void ShowValue(const char* text);
    // What was typed has been sent: the box follows the amplifier's replies again.
    void Sent() { m_typed = false; }

    DECLARE_MESSAGE_MAP()

private:
    bool m_typed = false;
};
