// CWnd over real windows: the handle maps, subclassing, the shared window procedure and the
// one-call wrappers.
#include "afx/win32/winsys.h"

#include <memory>
#include <unordered_map>
#include <vector>

#include "afx/afxwin.h"
#include "afx/win32/afxwin32.h"

namespace {

// Handed out for a window no object is bound to. It never owns or destroys the window.
class CTempWnd final : public CWnd {
public:
    explicit CTempWnd(HWND hwnd) { m_hWnd = hwnd; }
    ~CTempWnd() override { m_hWnd = nullptr; }
};

// Window -> object. Deliberately never destroyed: temporaries live until the program ends, and
// an object destroyed during static destruction must still find the map.
struct HandleMaps {
    SRWLOCK lock = SRWLOCK_INIT;
    std::unordered_map<HWND, CWnd*> permanent;
    std::unordered_map<HWND, std::unique_ptr<CTempWnd>> temporary;
};

HandleMaps& Maps()
{
    static HandleMaps* const maps = new HandleMaps;
    return *maps;
}

// The worker thread may look windows up too.
class MapLock {
public:
    MapLock() { AcquireSRWLockExclusive(&Maps().lock); }
    ~MapLock() { ReleaseSRWLockExclusive(&Maps().lock); }
    MapLock(const MapLock&) = delete;
    MapLock& operator=(const MapLock&) = delete;
};

bool Bind(CWnd* wnd, HWND hwnd)
{
    MapLock lock;
    return Maps().permanent.emplace(hwnd, wnd).second;
}

void Unbind(CWnd* wnd)
{
    MapLock lock;
    auto& permanent = Maps().permanent;
    const auto at = permanent.find(wnd->m_hWnd);
    if (at != permanent.end() && at->second == wnd)
        permanent.erase(at);
}

// An owner-drawn control draws itself: the parent's WM_DRAWITEM goes to the control's object.
bool ReflectDrawItem(LPARAM lParam)
{
    const auto* dis = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
    if (dis == nullptr || dis->CtlType == ODT_MENU)
        return false;
    CWnd* control = AfxLookupPermanent(dis->hwndItem);
    if (control == nullptr)
        return false;
    CDC dc;
    dc.m_hDC = dis->hDC;
    AfxDrawItem item;
    item.dc = &dc;
    item.rect = CRect(dis->rcItem.left, dis->rcItem.top, dis->rcItem.right, dis->rcItem.bottom);
    item.itemState = dis->itemState;
    item.hwndItem = dis->hwndItem;
    control->DrawItem(&item);
    return true;
}

}  // namespace

CWnd* AfxLookupPermanent(HWND hwnd)
{
    MapLock lock;
    const auto& permanent = Maps().permanent;
    const auto at = permanent.find(hwnd);
    return at == permanent.end() ? nullptr : at->second;
}

LRESULT CALLBACK AfxWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    CWnd* wnd = AfxLookupPermanent(hwnd);
    if (wnd == nullptr)
        return ::DefWindowProcW(hwnd, message, wParam, lParam);
    if (message == WM_DRAWITEM && ReflectDrawItem(lParam))
        return TRUE;
    const LRESULT result = wnd->WindowProc(message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        // The window is gone; the object outlives it unbound.
        Unbind(wnd);
        wnd->m_hWnd = nullptr;
        AfxBackend::Unsubclassed(*wnd);
    }
    return result;
}

// ---------------------------------------------------------------------------------------------
// Binding

CWnd::~CWnd()
{
    if (m_hWnd == nullptr)
        return;
    // The window must not call into a dead object: destroy it as the framework does, or, when
    // this thread may not (another thread's window), give it back its own procedure.
    if (!::DestroyWindow(m_hWnd) || m_hWnd != nullptr)
        UnsubclassWindow();
}

CWnd* CWnd::FromHandle(HWND hwnd)
{
    if (hwnd == nullptr)
        return nullptr;
    MapLock lock;
    auto& maps = Maps();
    const auto bound = maps.permanent.find(hwnd);
    if (bound != maps.permanent.end())
        return bound->second;
    auto& temp = maps.temporary[hwnd];
    if (!temp)
        temp = std::make_unique<CTempWnd>(hwnd);
    temp->m_hWnd = hwnd;
    return temp.get();
}

BOOL CWnd::SubclassWindow(HWND hwnd)
{
    if (hwnd == nullptr || m_hWnd != nullptr || !::IsWindow(hwnd))
        return FALSE;
    if (!Bind(this, hwnd))
        return FALSE;  // another object already owns this window
    m_hWnd = hwnd;
    const LONG_PTR original = ::SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&AfxWndProc));
    if (original == 0) {
        Unbind(this);
        m_hWnd = nullptr;
        return FALSE;
    }
    m_pfnSuper = reinterpret_cast<void*>(original);
    return TRUE;
}

BOOL CWnd::SubclassDlgItem(UINT id, CWnd* parent)
{
    if (parent == nullptr || parent->m_hWnd == nullptr)
        return FALSE;
    return SubclassWindow(::GetDlgItem(parent->m_hWnd, static_cast<int>(id)));
}

HWND CWnd::UnsubclassWindow()
{
    const HWND hwnd = m_hWnd;
    if (hwnd == nullptr)
        return nullptr;
    if (m_pfnSuper != nullptr && ::IsWindow(hwnd))
        ::SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_pfnSuper));
    Unbind(this);
    m_hWnd = nullptr;
    m_pfnSuper = nullptr;
    return hwnd;
}

LRESULT CWnd::DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (m_pfnSuper != nullptr)
        return ::CallWindowProcW(reinterpret_cast<WNDPROC>(m_pfnSuper), m_hWnd, message, wParam, lParam);
    return ::DefWindowProcW(m_hWnd, message, wParam, lParam);
}

// ---------------------------------------------------------------------------------------------
// One call each

CWnd* CWnd::GetDlgItem(int id) const
{
    return FromHandle(::GetDlgItem(m_hWnd, id));
}

int CWnd::GetDlgCtrlID() const
{
    return ::GetDlgCtrlID(m_hWnd);
}

CWnd* CWnd::GetParent() const
{
    const HWND parent = ::GetParent(m_hWnd);
    return parent ? FromHandle(parent) : nullptr;
}

void CWnd::SetDlgItemText(int id, const char* text)
{
    ::SetDlgItemTextA(m_hWnd, id, text);
}

void CWnd::SetWindowText(const char* text)
{
    ::SetWindowTextA(m_hWnd, text);
}

int CWnd::GetWindowText(CString& text) const
{
    std::vector<char> buffer(static_cast<std::size_t>(::GetWindowTextLengthA(m_hWnd)) + 1);
    const int copied = ::GetWindowTextA(m_hWnd, buffer.data(), static_cast<int>(buffer.size()));
    buffer[static_cast<std::size_t>(copied > 0 ? copied : 0)] = '\0';
    text = buffer.data();
    return text.GetLength();
}

BOOL CWnd::EnableWindow(BOOL enable)
{
    return ::EnableWindow(m_hWnd, enable);
}

BOOL CWnd::IsWindowEnabled() const
{
    return ::IsWindowEnabled(m_hWnd);
}

BOOL CWnd::ModifyStyle(DWORD remove, DWORD add, UINT flags)
{
    const auto style = static_cast<DWORD>(::GetWindowLongPtrW(m_hWnd, GWL_STYLE));
    const DWORD changed = (style & ~remove) | add;
    if (changed == style)
        return FALSE;
    ::SetWindowLongPtrW(m_hWnd, GWL_STYLE, static_cast<LONG_PTR>(changed));
    if (flags != 0)
        ::SetWindowPos(m_hWnd, nullptr, 0, 0, 0, 0, flags | SWP_NOSIZE | SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    return TRUE;
}

void CWnd::GetClientRect(CRect* rect) const
{
    RECT r{};
    ::GetClientRect(m_hWnd, &r);
    *rect = CRect(r.left, r.top, r.right, r.bottom);
}

BOOL CWnd::IsIconic() const
{
    return ::IsIconic(m_hWnd);
}

HICON CWnd::SetIcon(HICON icon, BOOL bigIcon)
{
    return reinterpret_cast<HICON>(
        ::SendMessageW(m_hWnd, WM_SETICON, bigIcon ? ICON_BIG : ICON_SMALL, reinterpret_cast<LPARAM>(icon)));
}

CWnd* CWnd::GetFocus()
{
    return FromHandle(::GetFocus());
}

UINT_PTR CWnd::SetTimer(UINT_PTR id, UINT elapse, void*)
{
    return ::SetTimer(m_hWnd, id, elapse, nullptr);
}

BOOL CWnd::KillTimer(UINT_PTR id)
{
    return ::KillTimer(m_hWnd, id);
}

LRESULT CWnd::SendMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    return ::SendMessageA(m_hWnd, message, wParam, lParam);
}

BOOL CWnd::DestroyWindow()
{
    const HWND hwnd = m_hWnd;
    if (hwnd == nullptr)
        return FALSE;
    const BOOL destroyed = ::DestroyWindow(hwnd);
    // A bound window unbinds itself at WM_NCDESTROY; an unbound one just lets go.
    if (destroyed && m_hWnd == hwnd && AfxLookupPermanent(hwnd) != this)
        m_hWnd = nullptr;
    return destroyed;
}
