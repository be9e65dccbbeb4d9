// Windows as records, the routing of messages to them, and the operator's input as the system
// delivers it.
#include <algorithm>

#include "afx/headless/Desktop.h"

namespace desktop {

Desktop& D()
{
    static Desktop desktop;
    return desktop;
}

bool Alive(HWND hwnd)
{
    for (const auto& w : D().windows)
        if (w.get() == hwnd)
            return true;
    return false;
}

HWND TopLevel(HWND hwnd)
{
    while (hwnd && hwnd->parent)
        hwnd = hwnd->parent;
    return hwnd;
}

// The window that had the mouse captured is told it lost it.
void ReleaseCapture()
{
    const HWND lost = D().capture;
    D().capture = nullptr;
    if (lost) {
        lost->pressed = false;
        Send(lost, WM_CAPTURECHANGED, 0, 0);
    }
}

LRESULT Send(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (hwnd == nullptr || !Alive(hwnd))
        return 0;
    if (hwnd->object)
        return hwnd->object->WindowProc(message, wParam, lParam);
    return ControlDefault(hwnd, message, wParam, lParam);
}

void SetFocusTo(HWND hwnd)
{
    const HWND old = D().focus;
    if (old == hwnd)
        return;
    D().focus = hwnd;
    if (old)
        Send(old, WM_KILLFOCUS, reinterpret_cast<WPARAM>(hwnd), 0);
    if (hwnd)
        Send(hwnd, WM_SETFOCUS, reinterpret_cast<WPARAM>(old), 0);
}

// One queued message through the modal loop: pre-translation from the target window up to the
// dialog, then the dialog manager's keys, then dispatch.
void Deliver(AfxMsg msg)
{
    for (HWND h = msg.hwnd; h; h = h->parent)
        if (h->object && h->object->PreTranslateMessage(&msg))
            return;
    if (msg.message == WM_KEYDOWN && (msg.wParam == VK_RETURN || msg.wParam == VK_ESCAPE || msg.wParam == VK_CANCEL)) {
        // The dialog manager: Enter presses the default button; Escape and Ctrl+Break cancel.
        Send(TopLevel(msg.hwnd), WM_COMMAND, msg.wParam == VK_RETURN ? IDOK : IDCANCEL, 0);
        return;
    }
    Send(msg.hwnd, msg.message, msg.wParam, msg.lParam);
}

// Where the system sends mouse input: a disabled control passes it to its parent.
HWND MouseTarget(HWND hwnd)
{
    while (hwnd->parent && (hwnd->style & WS_DISABLED))
        hwnd = hwnd->parent;
    return hwnd;
}

}  // namespace desktop

using namespace desktop;

namespace headless {

void Reset()
{
    auto templates = D().templates;
    for (auto& w : D().windows)
        if (w->object)
            w->object->m_hWnd = nullptr;
    D() = Desktop();
    D().templates = templates;
}

HWND Child(HWND parent, int id)
{
    for (HWND c : parent->children)
        if (c->id == id)
            return c;
    return nullptr;
}

void PressLeft(HWND hwnd)
{
    const HWND target = MouseTarget(hwnd);
    D().pressed = target;
    Deliver(AfxMsg{target, WM_LBUTTONDOWN, 0, 0});
}

void PressLeftQueued(HWND hwnd)
{
    D().pressed = hwnd;
    Deliver(AfxMsg{hwnd, WM_LBUTTONDOWN, 0, 0});
}

void ReleaseLeft(HWND hwnd)
{
    const HWND target = D().pressed ? D().pressed : MouseTarget(hwnd);
    D().pressed = nullptr;
    Deliver(AfxMsg{target, WM_LBUTTONUP, 0, 0});
}

void LoseCapture()
{
    ReleaseCapture();
}

void CancelMode(HWND hwnd)
{
    Send(hwnd, WM_CANCELMODE, 0, 0);
}

void Deactivate(HWND hwnd)
{
    Send(hwnd, WM_ACTIVATE, WA_INACTIVE, 0);
}

void Click(HWND hwnd)
{
    PressLeft(hwnd);
    ReleaseLeft(hwnd);
}

void DoubleClick(HWND hwnd)
{
    Click(hwnd);
    const HWND target = MouseTarget(hwnd);
    D().pressed = target;
    Deliver(AfxMsg{target, WM_LBUTTONDBLCLK, 0, 0});
    ReleaseLeft(hwnd);
}

void Key(UINT vk)
{
    Deliver(AfxMsg{D().focus, WM_KEYDOWN, vk, 0});
}

void Type(HWND hwnd, const std::string& text)
{
    for (char ch : text)
        Deliver(AfxMsg{hwnd, WM_CHAR, static_cast<unsigned char>(ch), 1});
}

void Paste(HWND hwnd, const std::string& text)
{
    hwnd->text = text;
}

void Focus(HWND hwnd)
{
    SetFocusTo(hwnd);
}

void Minimize(HWND hwnd, bool iconic)
{
    hwnd->iconic = iconic;
}

}  // namespace headless

// ---------------------------------------------------------------------------------------------
// CWnd
CWnd::~CWnd()
{
    if (m_hWnd && Alive(m_hWnd) && m_hWnd->object == this)
        m_hWnd->object = nullptr;
}

CWnd* CWnd::FromHandle(HWND hwnd)
{
    if (!hwnd)
        return nullptr;
    if (hwnd->object)
        return hwnd->object;
    auto& temp = D().temporaries[hwnd];
    if (!temp) {
        temp = std::make_unique<CWnd>();
        temp->m_hWnd = hwnd;
    }
    return temp.get();
}

BOOL CWnd::SubclassWindow(HWND hwnd)
{
    if (!hwnd || hwnd->object)
        return FALSE;
    m_hWnd = hwnd;
    hwnd->object = this;
    return TRUE;
}

BOOL CWnd::SubclassDlgItem(UINT id, CWnd* parent)
{
    return SubclassWindow(headless::Child(parent->m_hWnd, static_cast<int>(id)));
}

HWND CWnd::UnsubclassWindow()
{
    HWND hwnd = m_hWnd;
    if (hwnd)
        hwnd->object = nullptr;
    m_hWnd = nullptr;
    return hwnd;
}

CWnd* CWnd::GetDlgItem(int id) const
{
    return FromHandle(headless::Child(m_hWnd, id));
}

int CWnd::GetDlgCtrlID() const
{
    return m_hWnd ? m_hWnd->id : 0;
}

CWnd* CWnd::GetParent() const
{
    return m_hWnd && m_hWnd->parent ? FromHandle(m_hWnd->parent) : nullptr;
}

void CWnd::SetDlgItemText(int id, const char* text)
{
    if (HWND item = headless::Child(m_hWnd, id))
        item->text = text;
}

void CWnd::SetWindowText(const char* text)
{
    m_hWnd->text = text;
}

int CWnd::GetWindowText(CString& text) const
{
    text = m_hWnd->text.c_str();
    return text.GetLength();
}

BOOL CWnd::EnableWindow(BOOL enable)
{
    const BOOL wasDisabled = (m_hWnd->style & WS_DISABLED) != 0;
    if (enable)
        m_hWnd->style &= ~static_cast<DWORD>(WS_DISABLED);
    else
        m_hWnd->style |= WS_DISABLED;
    if (wasDisabled == (enable != FALSE))
        Send(m_hWnd, WM_ENABLE, enable, 0);
    return wasDisabled;
}

BOOL CWnd::IsWindowEnabled() const
{
    return (m_hWnd->style & WS_DISABLED) == 0;
}

BOOL CWnd::ModifyStyle(DWORD remove, DWORD add, UINT)
{
    const DWORD before = m_hWnd->style;
    m_hWnd->style = (before & ~remove) | add;
    return before != m_hWnd->style;
}

void CWnd::GetClientRect(CRect* rect) const
{
    *rect = CRect(0, 0, m_hWnd->rect.Width(), m_hWnd->rect.Height());
}

BOOL CWnd::IsIconic() const
{
    return m_hWnd->iconic;
}

HICON CWnd::SetIcon(HICON icon, BOOL bigIcon)
{
    HICON& slot = bigIcon ? m_hWnd->bigIcon : m_hWnd->smallIcon;
    HICON previous = slot;
    slot = icon;
    return previous;
}

CWnd* CWnd::GetFocus()
{
    return FromHandle(D().focus);
}

LRESULT CWnd::SendMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    return Send(m_hWnd, message, wParam, lParam);
}

BOOL CWnd::DestroyWindow()
{
    HWND hwnd = m_hWnd;
    if (!hwnd || !Alive(hwnd))
        return FALSE;
    auto& timers = D().timers;
    std::vector<HWND> doomed{hwnd};
    for (std::size_t i = 0; i < doomed.size(); ++i)
        doomed.insert(doomed.end(), doomed[i]->children.begin(), doomed[i]->children.end());
    for (HWND w : doomed) {
        timers.erase(
            std::remove_if(timers.begin(), timers.end(), [&](const Timer& t) { return t.hwnd == w; }), timers.end());
        D().sent.erase(
            std::remove_if(D().sent.begin(), D().sent.end(), [&](const SentMessage& m) { return m.hwnd == w; }),
            D().sent.end());
        if (w->object)
            w->object->m_hWnd = nullptr;
        D().temporaries.erase(w);
        if (D().focus == w)
            D().focus = nullptr;
    }
    auto& windows = D().windows;
    windows.erase(std::remove_if(windows.begin(), windows.end(),
                      [&](const std::unique_ptr<HWND__>& w) {
                          return std::find(doomed.begin(), doomed.end(), w.get()) != doomed.end();
                      }),
        windows.end());
    return TRUE;
}

LRESULT CWnd::DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    return ControlDefault(m_hWnd, message, wParam, lParam);
}
