// Our small stand-in for the part of the platform's application framework the panel uses:
// application object, dialog, control wrappers, strings, drawing, message tables and threads.
// Two backends implement it: afx/win32 over the real system, afx/headless in memory for tests.
// Each wrapper is thin: it holds its window handle; each method is one message or one call.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

#include "afx/afxmsgmap.h"
#include "afx/afxtypes.h"

#if defined(__MINGW32__)
#define AFX_PRINTF_FORMAT(fmt, args) __attribute__((format(__MINGW_PRINTF_FORMAT, fmt, args)))
#elif defined(__GNUC__)
#define AFX_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define AFX_PRINTF_FORMAT(fmt, args)
#endif

// ---------------------------------------------------------------------------------------------
// Value types

// 8-bit text, as the framework's string class of the time.
class CString {
public:
    CString() = default;
    CString(const char* text) : m_text(text ? text : "") {}  // NOLINT: implicit as in the framework

    // printf-style; the result is measured first, so any length fits.
    void Format(const char* format, ...) AFX_PRINTF_FORMAT(2, 3);
    void FormatV(const char* format, va_list args);

    int GetLength() const { return static_cast<int>(m_text.size()); }
    BOOL IsEmpty() const { return m_text.empty(); }
    // The text from position first on (empty when first is past the end).
    CString Mid(int first) const;
    int Find(char ch) const;

    operator const char*() const { return m_text.c_str(); }  // NOLINT: as in the framework

    CString& operator=(const char* text);
    bool operator==(const char* other) const { return m_text == (other ? other : ""); }
    bool operator!=(const char* other) const { return !(*this == other); }

    const std::string& str() const { return m_text; }

private:
    std::string m_text;
};

class CRect {
public:
    LONG left = 0, top = 0, right = 0, bottom = 0;

    CRect() = default;
    CRect(LONG l, LONG t, LONG r, LONG b) : left(l), top(t), right(r), bottom(b) {}
    LONG Width() const { return right - left; }
    LONG Height() const { return bottom - top; }
    void OffsetRect(LONG dx, LONG dy)
    {
        left += dx;
        right += dx;
        top += dy;
        bottom += dy;
    }
    bool operator==(const CRect& o) const
    {
        return left == o.left && top == o.top && right == o.right && bottom == o.bottom;
    }
};

// A queued message as the modal loop hands it to PreTranslateMessage.
struct AfxMsg {
    HWND hwnd = nullptr;
    UINT message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
};

class CWnd;
class CDC;
class CDialog;

// What an owner-drawn control is asked to draw.
struct AfxDrawItem {
    CDC* dc = nullptr;
    CRect rect;
    UINT itemState = 0;
    HWND hwndItem = nullptr;
};

// ---------------------------------------------------------------------------------------------
// Windows

class CDataExchange {
public:
    explicit CDataExchange(CWnd* dialog, BOOL saveAndValidate) : m_pDlgWnd(dialog), m_bSaveAndValidate(saveAndValidate)
    {
    }
    CWnd* m_pDlgWnd;
    BOOL m_bSaveAndValidate;
};

class CWnd {
public:
    CWnd() = default;
    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;
    virtual ~CWnd();

    HWND m_hWnd = nullptr;

    // The object bound to a window, or a temporary wrapper that lives until the program ends.
    static CWnd* FromHandle(HWND hwnd);
    // Routes the window's messages through this object's message table; the window's own
    // procedure becomes the default processing.
    BOOL SubclassWindow(HWND hwnd);
    BOOL SubclassDlgItem(UINT id, CWnd* parent);
    HWND UnsubclassWindow();

    CWnd* GetDlgItem(int id) const;
    int GetDlgCtrlID() const;
    CWnd* GetParent() const;
    void SetDlgItemText(int id, const char* text);
    void SetWindowText(const char* text);
    int GetWindowText(CString& text) const;
    BOOL EnableWindow(BOOL enable = TRUE);
    BOOL IsWindowEnabled() const;
    BOOL ModifyStyle(DWORD remove, DWORD add, UINT flags = 0);
    void GetClientRect(CRect* rect) const;
    BOOL IsIconic() const;
    HICON SetIcon(HICON icon, BOOL bigIcon);
    static CWnd* GetFocus();

    UINT_PTR SetTimer(UINT_PTR id, UINT elapse, void* unused = nullptr);
    BOOL KillTimer(UINT_PTR id);

    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);

    BOOL DestroyWindow();

    // Modal loops give every queued message to the window it is for first.
    virtual BOOL PreTranslateMessage(AfxMsg* msg);
    // Table first, then default processing.
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    virtual LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    // An owner-drawn control draws itself; its parent reflects the request here.
    virtual void DrawItem(AfxDrawItem* item);

    // Default processing of the message being handled.
    LRESULT Default();
    void OnChar(UINT ch, UINT repeatCount, UINT flags);

protected:
    static const AFX_MSGMAP* GetThisMessageMap();
    virtual const AFX_MSGMAP* GetMessageMap() const;
    BOOL OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);

private:
    // Each backend's own access to the state below.
    friend struct AfxBackend;
    // The window's original procedure once subclassed (Win32).
    void* m_pfnSuper = nullptr;
    // The message being handled, for Default().
    AfxMsg m_current;
};

class CDialog : public CWnd {
public:
    explicit CDialog(UINT templateId, CWnd* parent = nullptr) : m_nIDTemplate(templateId), m_pParentWnd(parent) {}

    // Creates the dialog, then runs a loop of our own until EndDialog, so PreTranslateMessage
    // sees every queued message.
    virtual INT_PTR DoModal();
    // Creates the dialog without running it (modeless; used by tests).
    BOOL Create(UINT templateId, CWnd* parent = nullptr);
    void EndDialog(int result);

    virtual BOOL OnInitDialog();
    virtual void DoDataExchange(CDataExchange* dx) { (void)dx; }
    BOOL UpdateData(BOOL saveAndValidate = TRUE);
    virtual void OnOK() { EndDialog(IDOK); }
    virtual void OnCancel() { EndDialog(IDCANCEL); }

    UINT m_nIDTemplate;
    CWnd* m_pParentWnd;

protected:
    static const AFX_MSGMAP* GetThisMessageMap();
    const AFX_MSGMAP* GetMessageMap() const override;

private:
    friend struct AfxBackend;
    // The modal run: ended, and with what.
    bool m_ended = false;
    INT_PTR m_result = -1;
};

// Binds a member object to the dialog's control (subclassing it) the first time.
void DDX_Control(CDataExchange* dx, int id, CWnd& control);

class CButton : public CWnd {
public:
    void SetCheck(int check);
    int GetCheck() const;
};

class CEdit : public CWnd {
public:
    // The formatting rectangle: where the text is laid out inside the box.
    void SetRect(const CRect& rect);
};

class CStatic : public CWnd {};

class CSliderCtrl : public CWnd {
public:
    void SetRange(int minPos, int maxPos, BOOL redraw = FALSE);
    void SetPos(int pos);
    int GetPos() const;
    void ClearTics(BOOL redraw = FALSE);
    BOOL SetTic(int pos);
};

class CComboBoxEx : public CWnd {
public:
    // Inserts an entry whose item record carries only text.
    int InsertItem(int index, const char* text);
    void ResetContent();
    int GetCurSel() const;
    int SetCurSel(int index);
};

// ---------------------------------------------------------------------------------------------
// Drawing

class CBrush {
public:
    CBrush() = default;
    explicit CBrush(COLORREF color) { CreateSolidBrush(color); }
    CBrush(const CBrush&) = delete;
    CBrush& operator=(const CBrush&) = delete;
    ~CBrush() { DeleteObject(); }
    BOOL CreateSolidBrush(COLORREF color);
    BOOL DeleteObject();
    HBRUSH m_hObject = nullptr;
};

class CDC {
public:
    HDC m_hDC = nullptr;
    static CDC* FromHandle(HDC hdc);
    HDC GetSafeHdc() const { return m_hDC; }

    int FillRect(const CRect& rect, CBrush* brush);
    int FrameRect(const CRect& rect, CBrush* brush);
    int DrawText(const char* text, int count, CRect* rect, UINT format);
    int SetBkMode(int mode);
    BOOL DrawIcon(int x, int y, HICON icon);
};

class CPaintDC : public CDC {
public:
    explicit CPaintDC(CWnd* wnd);
    CPaintDC(const CPaintDC&) = delete;
    CPaintDC& operator=(const CPaintDC&) = delete;
    ~CPaintDC();

    CWnd* m_pWnd;
    void* m_ps;  // backend paint record
};

int AfxGetSystemMetrics(int index);

// ---------------------------------------------------------------------------------------------
// Application and threads

class CWinApp {
public:
    CWinApp();
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;
    virtual ~CWinApp();
    virtual BOOL InitInstance() { return FALSE; }
    HICON LoadIcon(UINT id) const;
    void Enable3dControls() {}  // the platform draws 3-D controls by itself
    CWnd* m_pMainWnd = nullptr;
};

CWinApp* AfxGetApp();
void AfxEnableControlContainer();

typedef UINT (*AFX_THREADPROC)(void* param);
class CWinThread;
#ifndef THREAD_PRIORITY_NORMAL
#define THREAD_PRIORITY_NORMAL 0
#endif
CWinThread* AfxBeginThread(AFX_THREADPROC proc, void* param, int priority = THREAD_PRIORITY_NORMAL, UINT stackSize = 0,
    DWORD createFlags = 0, void* security = nullptr);
// Ends the calling worker thread (started by AfxBeginThread) with the given exit code.
[[noreturn]] void AfxEndThread(UINT exitCode, BOOL deleteThread = TRUE);

// The panel's fixed waits: the real clock on Windows, the virtual clock in the headless backend.
void AfxSleep(DWORD milliseconds);
