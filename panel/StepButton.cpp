#include "panel/StepButton.h"

// clang-format off
BEGIN_MESSAGE_MAP(CStepButton, CButton)
    ON_WM_CAPTURECHANGED()
    ON_WM_CANCELMODE()
    ON_WM_ENABLE()
END_MESSAGE_MAP()
// clang-format on

void CStepButton::HoldLost()
{
    if (CWnd* parent = GetParent())
        parent->SendMessage(WM_STEP_HOLD_LOST, static_cast<WPARAM>(GetDlgCtrlID()));
}

void CStepButton::OnCaptureChanged(HWND newCapture)
{
    // A button that takes the capture it already holds is told so too: that is no loss.
    if (newCapture != m_hWnd)
        HoldLost();
    Default();
}

void CStepButton::OnCancelMode()
{
    HoldLost();
    Default();
}

void CStepButton::OnEnable(BOOL enabled)
{
    if (!enabled)
        HoldLost();
    Default();
}
