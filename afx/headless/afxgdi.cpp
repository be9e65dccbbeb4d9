// Drawing: brushes are colours; a device context records what is drawn on it.
#include "afx/headless/Desktop.h"

using namespace desktop;

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

namespace headless {

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

int LiveBrushes()
{
    return D().liveBrushes;
}

}  // namespace headless

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
