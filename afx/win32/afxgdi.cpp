// Drawing wrappers: brushes, device contexts and the paint context.
#include "afx/win32/winsys.h"

#include <memory>
#include <unordered_map>

#include "afx/afxwin.h"

namespace {

RECT ToRect(const CRect& rect)
{
    return RECT{rect.left, rect.top, rect.right, rect.bottom};
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// CBrush

BOOL CBrush::CreateSolidBrush(COLORREF color)
{
    DeleteObject();
    m_hObject = ::CreateSolidBrush(color);
    return m_hObject != nullptr;
}

BOOL CBrush::DeleteObject()
{
    if (m_hObject == nullptr)
        return FALSE;
    const BOOL deleted = ::DeleteObject(m_hObject);
    m_hObject = nullptr;
    return deleted;
}

// ---------------------------------------------------------------------------------------------
// CDC

CDC* CDC::FromHandle(HDC hdc)
{
    if (hdc == nullptr)
        return nullptr;
    // Temporary wrappers, one per handle, kept until the program ends; only the drawing thread
    // uses them.
    static auto* const wrappers = new std::unordered_map<HDC, std::unique_ptr<CDC>>;
    auto& dc = (*wrappers)[hdc];
    if (!dc)
        dc = std::make_unique<CDC>();
    dc->m_hDC = hdc;
    return dc.get();
}

int CDC::FillRect(const CRect& rect, CBrush* brush)
{
    const RECT r = ToRect(rect);
    return ::FillRect(m_hDC, &r, brush->m_hObject);
}

int CDC::FrameRect(const CRect& rect, CBrush* brush)
{
    const RECT r = ToRect(rect);
    return ::FrameRect(m_hDC, &r, brush->m_hObject);
}

int CDC::DrawText(const char* text, int count, CRect* rect, UINT format)
{
    RECT r = ToRect(*rect);
    const int height = ::DrawTextA(m_hDC, text, count, &r, format);
    *rect = CRect(r.left, r.top, r.right, r.bottom);
    return height;
}

int CDC::SetBkMode(int mode)
{
    return ::SetBkMode(m_hDC, mode);
}

BOOL CDC::DrawIcon(int x, int y, HICON icon)
{
    return ::DrawIcon(m_hDC, x, y, icon);
}

// ---------------------------------------------------------------------------------------------
// CPaintDC

CPaintDC::CPaintDC(CWnd* wnd) : m_pWnd(wnd), m_ps(new PAINTSTRUCT{})
{
    m_hDC = ::BeginPaint(m_pWnd->m_hWnd, static_cast<PAINTSTRUCT*>(m_ps));
}

CPaintDC::~CPaintDC()
{
    auto* ps = static_cast<PAINTSTRUCT*>(m_ps);
    ::EndPaint(m_pWnd->m_hWnd, ps);
    delete ps;
}

int AfxGetSystemMetrics(int index)
{
    return ::GetSystemMetrics(index);
}
