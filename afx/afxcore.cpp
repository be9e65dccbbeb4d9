// The platform-independent half of the framework layer: strings, message tables and routing,
// dialog data exchange. Both backends share it, so native tests exercise the same tables.
#include "afx/afxwin.h"

#include <vector>

// ---------------------------------------------------------------------------------------------
// CString

void CString::Format(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    FormatV(format, args);
    va_end(args);
}

void CString::FormatV(const char* format, va_list args)
{
    va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length < 0) {
        m_text.clear();
        return;
    }
    std::vector<char> buffer(static_cast<std::size_t>(length) + 1);
    std::vsnprintf(buffer.data(), buffer.size(), format, args);
    m_text.assign(buffer.data(), static_cast<std::size_t>(length));
}

CString CString::Mid(int first) const
{
    if (first < 0)
        first = 0;
    if (static_cast<std::size_t>(first) >= m_text.size())
        return CString();
    return CString(m_text.c_str() + first);
}

int CString::Find(char ch) const
{
    const auto at = m_text.find(ch);
    return at == std::string::npos ? -1 : static_cast<int>(at);
}

CString& CString::operator=(const char* text)
{
    m_text = text ? text : "";
    return *this;
}

// ---------------------------------------------------------------------------------------------
// Message routing

const AFX_MSGMAP* CWnd::GetThisMessageMap()
{
    static const AFX_MSGMAP_ENTRY entries[] = {{0, 0, 0, nullptr}};
    static const AFX_MSGMAP map = {nullptr, entries};
    return &map;
}

const AFX_MSGMAP* CWnd::GetMessageMap() const
{
    return GetThisMessageMap();
}

BOOL CWnd::OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result)
{
    for (const AFX_MSGMAP* map = GetMessageMap(); map != nullptr; map = map->base ? map->base() : nullptr) {
        for (const AFX_MSGMAP_ENTRY* e = map->entries; e->handler != nullptr; ++e) {
            if (e->message != message)
                continue;
            if (message == WM_COMMAND && (e->id != LOWORD(wParam) || e->code != HIWORD(wParam)))
                continue;
            *result = e->handler(this, wParam, lParam);
            return TRUE;
        }
    }
    return FALSE;
}

LRESULT CWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    const AfxMsg outer = m_current;
    m_current = AfxMsg{m_hWnd, message, wParam, lParam};
    LRESULT result = 0;
    if (!OnWndMsg(message, wParam, lParam, &result))
        result = DefWindowProc(message, wParam, lParam);
    m_current = outer;
    return result;
}

LRESULT CWnd::Default()
{
    return DefWindowProc(m_current.message, m_current.wParam, m_current.lParam);
}

void CWnd::OnChar(UINT, UINT, UINT)
{
    Default();
}

BOOL CWnd::PreTranslateMessage(AfxMsg*)
{
    return FALSE;
}

void CWnd::DrawItem(AfxDrawItem*) {}

// ---------------------------------------------------------------------------------------------
// CDialog

// clang-format off
BEGIN_MESSAGE_MAP(CDialog, CWnd)
    ON_COMMAND(IDOK, &CDialog::OnOK)
    ON_COMMAND(IDCANCEL, &CDialog::OnCancel)
END_MESSAGE_MAP()
// clang-format on

BOOL CDialog::OnInitDialog()
{
    UpdateData(FALSE);
    return TRUE;
}

BOOL CDialog::UpdateData(BOOL saveAndValidate)
{
    CDataExchange dx(this, saveAndValidate);
    DoDataExchange(&dx);
    return TRUE;
}

void DDX_Control(CDataExchange* dx, int id, CWnd& control)
{
    if (control.m_hWnd == nullptr)
        control.SubclassDlgItem(static_cast<UINT>(id), dx->m_pDlgWnd);
}

// ---------------------------------------------------------------------------------------------
// The one application object

namespace {
CWinApp* theApplication = nullptr;
}  // namespace

CWinApp::CWinApp()
{
    theApplication = this;
}

CWinApp::~CWinApp()
{
    if (theApplication == this)
        theApplication = nullptr;
}

CWinApp* AfxGetApp()
{
    return theApplication;
}
