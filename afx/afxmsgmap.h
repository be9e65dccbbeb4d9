// Message tables: a static, ordered table per class, searched from the most derived class up, with
// typed adapters from a message's parameters to each handler's arguments. Included by afxwin.h.
#pragma once

#include "afx/afxtypes.h"

class CWnd;

typedef LRESULT (*AfxHandler)(CWnd* self, WPARAM wParam, LPARAM lParam);

struct AFX_MSGMAP_ENTRY {
    UINT message;
    UINT code;  // notification code of a WM_COMMAND entry
    UINT id;    // control id of a WM_COMMAND entry
    AfxHandler handler;
};

struct AFX_MSGMAP {
    const AFX_MSGMAP* (*base)();
    const AFX_MSGMAP_ENTRY* entries;
};

#define DECLARE_MESSAGE_MAP()                         \
protected:                                            \
    static const AFX_MSGMAP* GetThisMessageMap();     \
    const AFX_MSGMAP* GetMessageMap() const override; \
                                                      \
private:

#define BEGIN_MESSAGE_MAP(theClass, baseClass)        \
    const AFX_MSGMAP* theClass::GetMessageMap() const \
    {                                                 \
        return GetThisMessageMap();                   \
    }                                                 \
    const AFX_MSGMAP* theClass::GetThisMessageMap()   \
    {                                                 \
        typedef theClass ThisClass;                   \
        typedef baseClass TheBaseClass;               \
        static const AFX_MSGMAP_ENTRY entries[] = {

#define END_MESSAGE_MAP()                                                      \
    {                                                                          \
        0, 0, 0, nullptr                                                       \
    }                                                                          \
    }                                                                          \
    ;                                                                          \
    static const AFX_MSGMAP map = {&TheBaseClass::GetThisMessageMap, entries}; \
    return &map;                                                               \
    }

#define AFX_SELF (static_cast<ThisClass*>(self))

#define ON_COMMAND(id, memberFxn)                                                    \
    {WM_COMMAND, BN_CLICKED, (UINT)(id), [](CWnd* self, WPARAM, LPARAM) -> LRESULT { \
         (AFX_SELF->*(memberFxn))();                                                 \
         return 0;                                                                   \
     }},

#define ON_BN_CLICKED(id, memberFxn) ON_COMMAND(id, memberFxn)

#define ON_WM_PAINT()                                            \
    {WM_PAINT, 0, 0, [](CWnd* self, WPARAM, LPARAM) -> LRESULT { \
         AFX_SELF->OnPaint();                                    \
         return 0;                                               \
     }},

#define ON_WM_QUERYDRAGICON() \
    {WM_QUERYDRAGICON, 0, 0,  \
        [](CWnd* self, WPARAM, LPARAM) -> LRESULT { return reinterpret_cast<LRESULT>(AFX_SELF->OnQueryDragIcon()); }},

#define ON_WM_TIMER()                                                   \
    {WM_TIMER, 0, 0, [](CWnd* self, WPARAM wParam, LPARAM) -> LRESULT { \
         AFX_SELF->OnTimer(static_cast<UINT_PTR>(wParam));              \
         return 0;                                                      \
     }},

#define ON_WM_CHAR()                                                                     \
    {WM_CHAR, 0, 0, [](CWnd* self, WPARAM wParam, LPARAM lParam) -> LRESULT {            \
         AFX_SELF->OnChar(static_cast<UINT>(wParam), static_cast<UINT>(lParam & 0xFFFF), \
             static_cast<UINT>((lParam >> 16) & 0xFFFF));                                \
         return 0;                                                                       \
     }},

#define ON_WM_SYSCOMMAND()                                                          \
    {WM_SYSCOMMAND, 0, 0, [](CWnd* self, WPARAM wParam, LPARAM lParam) -> LRESULT { \
         AFX_SELF->OnSysCommand(static_cast<UINT>(wParam), lParam);                 \
         return 0;                                                                  \
     }},

#define ON_WM_ACTIVATE()                                                                            \
    {WM_ACTIVATE, 0, 0, [](CWnd* self, WPARAM wParam, LPARAM lParam) -> LRESULT {                   \
         AFX_SELF->OnActivate(LOWORD(wParam), reinterpret_cast<HWND>(lParam), HIWORD(wParam) != 0); \
         return 0;                                                                                  \
     }},

#define ON_WM_CANCELMODE()                                            \
    {WM_CANCELMODE, 0, 0, [](CWnd* self, WPARAM, LPARAM) -> LRESULT { \
         AFX_SELF->OnCancelMode();                                    \
         return 0;                                                    \
     }},

#define ON_WM_CAPTURECHANGED()                                                   \
    {WM_CAPTURECHANGED, 0, 0, [](CWnd* self, WPARAM, LPARAM lParam) -> LRESULT { \
         AFX_SELF->OnCaptureChanged(reinterpret_cast<HWND>(lParam));             \
         return 0;                                                               \
     }},

#define ON_WM_ENABLE()                                                   \
    {WM_ENABLE, 0, 0, [](CWnd* self, WPARAM wParam, LPARAM) -> LRESULT { \
         AFX_SELF->OnEnable(wParam != 0);                                \
         return 0;                                                       \
     }},

#define ON_WM_KILLFOCUS()                                                   \
    {WM_KILLFOCUS, 0, 0, [](CWnd* self, WPARAM wParam, LPARAM) -> LRESULT { \
         AFX_SELF->OnKillFocus(reinterpret_cast<HWND>(wParam));             \
         return 0;                                                          \
     }},

#define ON_MESSAGE(message, memberFxn) \
    {(UINT)(message), 0, 0,            \
        [](CWnd* self, WPARAM wParam, LPARAM lParam) -> LRESULT { return (AFX_SELF->*(memberFxn))(wParam, lParam); }},
