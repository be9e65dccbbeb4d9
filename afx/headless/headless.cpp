// The headless backend: windows as records, a virtual clock, and the system's message loop
// emulated closely enough that the panel's timing and input handling can be tested natively.
#include "afx/headless/Headless.h"

#include <algorithm>
#include <deque>
#include <map>
#include <memory>

// A device context records what is drawn on it.
struct HDC__ {
    std::vector<headless::DrawOp>* ops;
};

namespace {

constexpr DWORD kNever = 0xFFFFFFFF;

struct Timer {
    HWND hwnd;
    UINT_PTR id;
    UINT period;
    DWORD due;   // next expiry
    bool ready;  // expired, WM_TIMER not yet retrieved (at most one pending)
    DWORD readyAt;
};

struct SentMessage {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD at;
};

struct Desktop {
    DWORD now = 0;
    std::vector<std::unique_ptr<HWND__>> windows;
    std::map<UINT, const AfxDlgTemplate*> templates;
    std::vector<Timer> timers;
    std::deque<SentMessage> sent;
    std::map<HWND, std::unique_ptr<CWnd>> temporaries;
    HWND focus = nullptr;
    HWND pressed = nullptr;
    HWND capture = nullptr;
    int liveBrushes = 0;
    std::vector<headless::DrawOp>* paintTarget = nullptr;
    // Another thread's work on this clock (the serial port's worker) and when it next runs.
    std::function<void()> worker;
    DWORD workerAt = kNever;
};

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

// Marks timers that expire up to `until` as ready; a timer that expires again while a tick is
// still pending keeps one pending tick, as the system's timers do.
void ExpireTimers(DWORD until)
{
    for (Timer& t : D().timers) {
        while (t.due <= until) {
            if (!t.ready) {
                t.ready = true;
                t.readyAt = t.due;
            }
            t.due += t.period;
        }
    }
}

void RunWorker()
{
    D().workerAt = kNever;
    if (D().worker)
        D().worker();
}

// Moves the clock on; the worker runs at the times it asked for on the way, even while the
// panel's thread waits.
void AdvanceTo(DWORD time)
{
    while (D().workerAt <= time) {
        if (D().workerAt > D().now)
            D().now = D().workerAt;
        RunWorker();
    }
    ExpireTimers(time);
    if (time > D().now)
        D().now = time;
}

HWND TopLevel(HWND hwnd)
{
    while (hwnd && hwnd->parent)
        hwnd = hwnd->parent;
    return hwnd;
}

LRESULT Send(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

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

// What the system's controls do by themselves with a message nobody handled.
LRESULT ControlDefault(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    (void)lParam;
    const bool button = hwnd->className == "BUTTON";
    const bool enabled = (hwnd->style & WS_DISABLED) == 0;
    switch (message) {
    case WM_CHAR:
        if (hwnd->className == "EDIT" && enabled) {
            if (wParam == VK_BACK) {
                if (!hwnd->text.empty())
                    hwnd->text.pop_back();
            } else {
                hwnd->text.push_back(static_cast<char>(wParam));
            }
        }
        return 0;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:  // a button takes the second press of a double click as a press
        if (button && enabled) {
            hwnd->pressed = true;
            // The window that held the capture is told, even when it takes it again itself.
            if (const HWND previous = D().capture)
                Send(previous, WM_CAPTURECHANGED, 0, reinterpret_cast<LPARAM>(hwnd));
            D().capture = hwnd;
        }
        return 0;
    case WM_LBUTTONUP: {
        if (!button)
            return 0;
        // The button lets the capture go before it reports the click.
        const bool clicked = enabled && hwnd->pressed;
        if (D().capture == hwnd)
            ReleaseCapture();
        hwnd->pressed = false;
        if (clicked) {
            if ((hwnd->style & BS_TYPEMASK) == BS_AUTOCHECKBOX)
                hwnd->check = hwnd->check == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED;
            if (hwnd->parent)
                Send(hwnd->parent, WM_COMMAND, static_cast<WPARAM>(hwnd->id) | (BN_CLICKED << 16),
                    reinterpret_cast<LPARAM>(hwnd));
        }
        return 0;
    }
    case WM_SYSCOMMAND:
        // The close box asks the window to close.
        if ((wParam & 0xFFF0) == SC_CLOSE)
            Send(hwnd, WM_CLOSE, 0, 0);
        return 0;
    case WM_CLOSE:
        // A dialog's close request is its Cancel command.
        if (hwnd->parent == nullptr)
            Send(hwnd, WM_COMMAND, IDCANCEL, 0);
        return 0;
    case WM_CANCELMODE:
        ReleaseCapture();
        return 0;
    default:
        return 0;
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

// Delivers the oldest sent message that has arrived (for hwnd only, when given).
bool DeliverArrived(HWND hwnd)
{
    auto& q = D().sent;
    for (auto it = q.begin(); it != q.end(); ++it) {
        if (it->at > D().now || (hwnd && it->hwnd != hwnd))
            continue;
        const SentMessage m = *it;
        q.erase(it);
        Send(m.hwnd, m.message, m.wParam, m.lParam);
        RunWorker();  // the sender was waiting for this to be handled
        return true;
    }
    return false;
}

bool DeliverOneTimer()
{
    Timer* first = nullptr;
    for (Timer& t : D().timers)
        if (t.ready && (!first || t.readyAt < first->readyAt))
            first = &t;
    if (!first)
        return false;
    first->ready = false;
    Deliver(AfxMsg{first->hwnd, WM_TIMER, first->id, 0});
    return true;
}

Timer* FindTimer(HWND hwnd, UINT_PTR id)
{
    for (Timer& t : D().timers)
        if (t.hwnd == hwnd && t.id == id)
            return &t;
    return nullptr;
}

// Dialog units to pixels for a 14-point font (base units 7 x 14).
CRect DialogUnitsToPixels(short x, short y, short cx, short cy)
{
    return CRect(x * 7 / 4, y * 14 / 8, (x + cx) * 7 / 4, (y + cy) * 14 / 8);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Test interface

namespace headless {

void RegisterTemplate(UINT id, const AfxDlgTemplate& dialogTemplate)
{
    D().templates[id] = &dialogTemplate;
}

void Reset()
{
    auto templates = D().templates;
    for (auto& w : D().windows)
        if (w->object)
            w->object->m_hWnd = nullptr;
    D() = Desktop();
    D().templates = templates;
}

DWORD Now()
{
    return D().now;
}

void RunFor(DWORD ms)
{
    const DWORD end = D().now + ms;
    for (;;) {
        // Sent messages first, then timer ticks, as the system retrieves them.
        ExpireTimers(D().now);
        if (DeliverArrived(nullptr) || DeliverOneTimer())
            continue;
        if (D().now >= end)
            break;
        DWORD next = end;
        for (const SentMessage& m : D().sent)
            if (m.at > D().now)
                next = std::min(next, m.at);
        for (const Timer& t : D().timers)
            next = std::min(next, t.due);
        next = std::min(next, D().workerAt);
        AdvanceTo(next);
    }
}

void SendFromThread(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, DWORD at)
{
    D().sent.push_back(SentMessage{hwnd, message, wParam, lParam, at});
}

bool DeliverArrivedSend(HWND hwnd)
{
    return DeliverArrived(hwnd);
}

bool SendWaiting(HWND hwnd)
{
    for (const SentMessage& m : D().sent)
        if (m.hwnd == hwnd && m.at <= D().now)
            return true;
    return false;
}

void SetWorker(std::function<void()> work)
{
    D().worker = std::move(work);
}

void WakeWorkerAt(DWORD at)
{
    D().workerAt = std::min(D().workerAt, std::max(at, D().now));
}

void DropSends(HWND hwnd, UINT message)
{
    auto& q = D().sent;
    q.erase(std::remove_if(
                q.begin(), q.end(), [&](const SentMessage& m) { return m.hwnd == hwnd && m.message == message; }),
        q.end());
}

void PressLeft(HWND hwnd)
{
    const HWND target = MouseTarget(hwnd);
    D().pressed = target;
    Deliver(AfxMsg{target, WM_LBUTTONDOWN, 0, 0});
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

void CloseBox(HWND hwnd)
{
    Deliver(AfxMsg{hwnd, WM_SYSCOMMAND, SC_CLOSE, 0});
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
    D().focus = hwnd;
}

bool TimerRunning(HWND hwnd, UINT_PTR id)
{
    return FindTimer(hwnd, id) != nullptr;
}

UINT TimerPeriod(HWND hwnd, UINT_PTR id)
{
    const Timer* t = FindTimer(hwnd, id);
    return t ? t->period : 0;
}

std::vector<DrawOp> Paint(HWND button)
{
    std::vector<DrawOp> ops;
    HDC__ recorder{&ops};
    CDC canvas;
    canvas.m_hDC = &recorder;
    AfxDrawItem item;
    item.dc = &canvas;
    item.rect = CRect(0, 0, button->rect.Width(), button->rect.Height());
    item.hwndItem = button;
    if (button->object && (button->style & BS_TYPEMASK) == BS_OWNERDRAW)
        button->object->DrawItem(&item);
    return ops;
}

std::vector<DrawOp> PaintWindow(HWND hwnd)
{
    std::vector<DrawOp> ops;
    D().paintTarget = &ops;
    Send(hwnd, WM_PAINT, 0, 0);
    D().paintTarget = nullptr;
    return ops;
}

void Minimize(HWND hwnd, bool iconic)
{
    hwnd->iconic = iconic;
}

int LiveBrushes()
{
    return D().liveBrushes;
}

HWND Child(HWND parent, int id)
{
    for (HWND c : parent->children)
        if (c->id == id)
            return c;
    return nullptr;
}

bool DialogEnded(const CDialog& dialog)
{
    return dialog.m_ended;
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

DWORD CWnd::GetStyle() const
{
    return m_hWnd->style;
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

void CWnd::Invalidate(BOOL) {}

CWnd* CWnd::SetFocus()
{
    CWnd* previous = GetFocus();
    D().focus = m_hWnd;
    return previous;
}

CWnd* CWnd::GetFocus()
{
    return FromHandle(D().focus);
}

UINT_PTR CWnd::SetTimer(UINT_PTR id, UINT elapse, void*)
{
    // Starting a running timer replaces it: new period, counted from now, no pending tick.
    KillTimer(id);
    const UINT period = elapse == 0 ? 1 : elapse;
    D().timers.push_back(Timer{m_hWnd, id, period, D().now + period, false, 0});
    return id;
}

BOOL CWnd::KillTimer(UINT_PTR id)
{
    auto& timers = D().timers;
    const auto before = timers.size();
    timers.erase(
        std::remove_if(timers.begin(), timers.end(), [&](const Timer& t) { return t.hwnd == m_hWnd && t.id == id; }),
        timers.end());
    return timers.size() != before;
}

LRESULT CWnd::SendMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    return Send(m_hWnd, message, wParam, lParam);
}

BOOL CWnd::PostMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    Deliver(AfxMsg{m_hWnd, message, wParam, lParam});
    return TRUE;
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

// ---------------------------------------------------------------------------------------------
// Controls

void CButton::SetCheck(int check)
{
    m_hWnd->check = check;
}

int CButton::GetCheck() const
{
    return m_hWnd->check;
}

void CButton::SetButtonStyle(UINT style, BOOL)
{
    m_hWnd->style = (m_hWnd->style & ~static_cast<DWORD>(0xFFFF)) | (style & 0xFFFF);
}

UINT CButton::GetButtonStyle() const
{
    return m_hWnd->style & 0xFFFF;
}

void CEdit::GetRect(CRect* rect) const
{
    *rect = m_hWnd->formatRect;
}

void CEdit::SetRect(const CRect& rect)
{
    m_hWnd->formatRect = rect;
}

namespace {
int Clamp(int value, int lo, int hi)
{
    return value < lo ? lo : (value > hi ? hi : value);
}
}  // namespace

// The trackbar holds its position inside its range, as the system's control does.
void CSliderCtrl::SetRange(int minPos, int maxPos, BOOL)
{
    m_hWnd->rangeMin = minPos;
    m_hWnd->rangeMax = maxPos;
    m_hWnd->pos = Clamp(m_hWnd->pos, minPos, maxPos);
}

int CSliderCtrl::GetRangeMin() const
{
    return m_hWnd->rangeMin;
}

int CSliderCtrl::GetRangeMax() const
{
    return m_hWnd->rangeMax;
}

void CSliderCtrl::SetPos(int pos)
{
    m_hWnd->pos = Clamp(pos, m_hWnd->rangeMin, m_hWnd->rangeMax);
}

int CSliderCtrl::GetPos() const
{
    return m_hWnd->pos;
}

void CSliderCtrl::ClearTics(BOOL)
{
    m_hWnd->tics.clear();
}

BOOL CSliderCtrl::SetTic(int pos)
{
    if (pos < m_hWnd->rangeMin || pos > m_hWnd->rangeMax)
        return FALSE;
    m_hWnd->tics.push_back(pos);
    return TRUE;
}

int CSliderCtrl::GetNumTics() const
{
    // The system counts the two end marks as well.
    return static_cast<int>(m_hWnd->tics.size()) + 2;
}

// The extended combo box ignores the sort style: entries stay where they are inserted.
int CComboBoxEx::InsertItem(int index, const char* text)
{
    auto& items = m_hWnd->items;
    if (index < 0 || index > static_cast<int>(items.size()))
        index = static_cast<int>(items.size());
    items.insert(items.begin() + index, text);
    return index;
}

void CComboBoxEx::ResetContent()
{
    m_hWnd->items.clear();
    m_hWnd->curSel = -1;
}

int CComboBoxEx::GetCount() const
{
    return static_cast<int>(m_hWnd->items.size());
}

int CComboBoxEx::GetCurSel() const
{
    return m_hWnd->curSel;
}

int CComboBoxEx::SetCurSel(int index)
{
    if (index < 0 || index >= GetCount()) {
        m_hWnd->curSel = -1;
        return -1;
    }
    m_hWnd->curSel = index;
    return index;
}

CString CComboBoxEx::GetItemText(int index) const
{
    if (index < 0 || index >= GetCount())
        return CString();
    return CString(m_hWnd->items[static_cast<std::size_t>(index)].c_str());
}

// ---------------------------------------------------------------------------------------------
// Drawing: brushes are colours; a device context records what is drawn on it.

struct HBRUSH__ {
    COLORREF color;
};

namespace {
void Record(HDC hdc, headless::DrawOp op)
{
    if (hdc && hdc->ops)
        hdc->ops->push_back(std::move(op));
}
}  // namespace

BOOL CBrush::CreateSolidBrush(COLORREF color)
{
    DeleteObject();
    m_hObject = new HBRUSH__{color};
    ++D().liveBrushes;
    return TRUE;
}

BOOL CBrush::DeleteObject()
{
    if (!m_hObject)
        return FALSE;
    delete m_hObject;
    m_hObject = nullptr;
    --D().liveBrushes;
    return TRUE;
}

CDC* CDC::FromHandle(HDC hdc)
{
    static CDC temporary;
    temporary.m_hDC = hdc;
    return &temporary;
}

int CDC::FillRect(const CRect& rect, CBrush* brush)
{
    Record(m_hDC, {headless::DrawOp::Fill, rect, brush->m_hObject->color, {}, 0});
    return 1;
}

int CDC::FrameRect(const CRect& rect, CBrush* brush)
{
    Record(m_hDC, {headless::DrawOp::Frame, rect, brush->m_hObject->color, {}, 0});
    return 1;
}

int CDC::DrawText(const char* text, int count, CRect* rect, UINT format)
{
    std::string s = count < 0 ? std::string(text) : std::string(text, static_cast<std::size_t>(count));
    Record(m_hDC, {headless::DrawOp::Text, *rect, 0, s, format});
    return 1;
}

int CDC::SetBkMode(int mode)
{
    Record(m_hDC, {headless::DrawOp::BkMode, CRect(), 0, {}, static_cast<UINT>(mode)});
    return 0;
}

BOOL CDC::DrawIcon(int x, int y, HICON)
{
    Record(m_hDC, {headless::DrawOp::Icon, CRect(x, y, x, y), 0, {}, 0});
    return TRUE;
}

CPaintDC::CPaintDC(CWnd* wnd) : m_pWnd(wnd), m_ps(new HDC__{D().paintTarget})
{
    m_hDC = static_cast<HDC__*>(m_ps);
}

CPaintDC::~CPaintDC()
{
    delete static_cast<HDC__*>(m_ps);
}

int AfxGetSystemMetrics(int index)
{
    return (index == SM_CXICON || index == SM_CYICON) ? 32 : 0;
}

// ---------------------------------------------------------------------------------------------
// Application

// An icon is its resource number: nothing draws it here.
struct HICON__ {
    UINT id;
};

HICON CWinApp::LoadIcon(UINT id) const
{
    static std::map<UINT, HICON__> icons;
    HICON__& icon = icons[id];
    icon.id = id;
    return &icon;
}

void AfxEnableControlContainer() {}

void AfxSleep(DWORD milliseconds)
{
    AdvanceTo(D().now + milliseconds);
}
