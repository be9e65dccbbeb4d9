// Dialogs built from registered templates, and the modal run on the virtual clock.
#include "afx/headless/Desktop.h"

using namespace desktop;

namespace {

// Dialog units to pixels for a 14-point font (base units 7 x 14).
CRect DialogUnitsToPixels(short x, short y, short cx, short cy)
{
    return CRect(x * 7 / 4, y * 14 / 8, (x + cx) * 7 / 4, (y + cy) * 14 / 8);
}

}  // namespace

namespace headless {

void RegisterTemplate(UINT id, const AfxDlgTemplate& dialogTemplate)
{
    D().templates[id] = &dialogTemplate;
}

void CloseBox(HWND hwnd)
{
    Deliver(AfxMsg{hwnd, WM_SYSCOMMAND, SC_CLOSE, 0});
}

bool DialogEnded(const CDialog& dialog)
{
    return AfxBackend::Ended(dialog);
}

}  // namespace headless

// ---------------------------------------------------------------------------------------------
// CDialog
BOOL CDialog::Create(UINT templateId, CWnd* parent)
{
    const auto found = D().templates.find(templateId);
    if (found == D().templates.end())
        return FALSE;
    const AfxDlgTemplate& t = *found->second;
    m_nIDTemplate = templateId;
    m_pParentWnd = parent;
    m_ended = false;

    auto dialog = std::make_unique<HWND__>();
    dialog->className = "#32770";
    dialog->style = t.style;
    dialog->exStyle = t.exStyle;
    dialog->text = t.caption;
    dialog->rect = DialogUnitsToPixels(0, 0, t.cx, t.cy);
    dialog->object = this;
    m_hWnd = dialog.get();
    D().windows.push_back(std::move(dialog));

    HWND firstTabStop = nullptr;
    for (int i = 0; i < t.controlCount; ++i) {
        const AfxDlgItem& c = t.controls[i];
        auto control = std::make_unique<HWND__>();
        control->parent = m_hWnd;
        control->id = c.id;
        control->className = c.className;
        control->style = c.style;
        control->exStyle = c.exStyle;
        control->text = c.text;
        control->rect = DialogUnitsToPixels(c.x, c.y, c.cx, c.cy);
        control->formatRect = CRect(0, 0, control->rect.Width(), control->rect.Height());
        if (control->className == "msctls_trackbar32")
            control->text.clear();  // a trackbar keeps no caption
        if (!firstTabStop && (c.style & WS_TABSTOP))
            firstTabStop = control.get();
        m_hWnd->children.push_back(control.get());
        D().windows.push_back(std::move(control));
    }
    // The default focus goes to the first control that takes it.
    if (OnInitDialog())
        D().focus = firstTabStop;
    return TRUE;
}

INT_PTR CDialog::DoModal()
{
    if (!Create(m_nIDTemplate, m_pParentWnd))
        return -1;
    // With nothing on the virtual clock that could end the run, stop rather than hang.
    while (!m_ended && (!D().timers.empty() || !D().sent.empty()))
        headless::RunFor(1000);
    DestroyWindow();
    return m_result;
}

void CDialog::EndDialog(int result)
{
    m_ended = true;
    m_result = result;
}
