// A step button: a push button that tells its parent when a hold on it ends without the button
// coming up over it, so the repeat it started cannot run on by itself.
#pragma once

#include "afx/afxwin.h"

// Sent to the parent; first parameter: the button's id.
constexpr UINT WM_STEP_HOLD_LOST = WM_USER + 0x10;

class CStepButton : public CButton {
public:
    // The mouse capture taken on the press went elsewhere (another window, a box, the system).
    void OnCaptureChanged(HWND newCapture);
    void OnCancelMode();
    void OnEnable(BOOL enabled);

    DECLARE_MESSAGE_MAP()

private:
    void HoldLost();
};
