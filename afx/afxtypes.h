// The platform's basic types and the message, style and key constants the panel uses.
//
// This header never includes <windows.h>, so the panel compiles natively. On Windows every
// typedef below is exactly the one <windows.h> makes (a repeated identical typedef is legal C++),
// and every constant is defined only if <windows.h> has not defined it already: Win32 backend
// files include <windows.h> first.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
typedef int BOOL;
typedef unsigned char BYTE;
typedef unsigned short WORD;
typedef unsigned int UINT;
typedef unsigned long DWORD;
typedef long LONG;
typedef DWORD COLORREF;
#if defined(_WIN64)
typedef unsigned long long UINT_PTR;
typedef long long LONG_PTR;
typedef long long INT_PTR;
#else
typedef unsigned int UINT_PTR;
typedef long LONG_PTR;
typedef int INT_PTR;
#endif
#else
typedef int BOOL;
typedef std::uint8_t BYTE;
typedef std::uint16_t WORD;
typedef unsigned int UINT;
typedef std::uint32_t DWORD;
typedef std::int32_t LONG;
typedef DWORD COLORREF;
typedef std::uintptr_t UINT_PTR;
typedef std::intptr_t LONG_PTR;
typedef std::intptr_t INT_PTR;
#endif
typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef LONG_PTR LRESULT;

// Opaque handles, spelled as <windows.h> spells them in its strict form. The headless backend
// defines these structures itself.
struct HWND__;
typedef HWND__* HWND;
struct HICON__;
typedef HICON__* HICON;
typedef HICON HCURSOR;
struct HDC__;
typedef HDC__* HDC;
struct HBRUSH__;
typedef HBRUSH__* HBRUSH;

#ifndef TRUE
#define FALSE 0
#define TRUE 1
#endif

#ifndef RGB
#define RGB(r, g, b) ((COLORREF)(((BYTE)(r) | ((WORD)((BYTE)(g)) << 8)) | (((DWORD)(BYTE)(b)) << 16)))
#define GetRValue(rgb) ((BYTE)(rgb))
#define GetGValue(rgb) ((BYTE)(((WORD)(rgb)) >> 8))
#define GetBValue(rgb) ((BYTE)((rgb) >> 16))
#endif

#ifndef LOWORD
#define LOWORD(l) ((WORD)(((UINT_PTR)(l)) & 0xffff))
#define HIWORD(l) ((WORD)((((UINT_PTR)(l)) >> 16) & 0xffff))
#endif

// Messages.
#ifndef WM_PAINT
#define WM_ENABLE 0x000A
#define WM_CLOSE 0x0010
#define WM_ACTIVATE 0x0006
#define WM_SETFOCUS 0x0007
#define WM_KILLFOCUS 0x0008
#define WM_CANCELMODE 0x001F
#define WM_PAINT 0x000F
#define WM_ICONERASEBKGND 0x0027
#define WM_DRAWITEM 0x002B
#define WM_QUERYDRAGICON 0x0037
#define WM_KEYDOWN 0x0100
#define WM_CHAR 0x0102
#define WM_COMMAND 0x0111
#define WM_CUT 0x0300
#define WM_PASTE 0x0302
#define WM_CLEAR 0x0303
#define WM_UNDO 0x0304
#define WM_SYSCOMMAND 0x0112
#define WM_TIMER 0x0113
#define WM_LBUTTONDOWN 0x0201
#define WM_LBUTTONUP 0x0202
#define WM_LBUTTONDBLCLK 0x0203
#define WM_CAPTURECHANGED 0x0215
#define WM_DEVICECHANGE 0x0219
#define WM_USER 0x0400
#endif

#ifndef BN_CLICKED
#define BN_CLICKED 0
#endif

#ifndef SC_CLOSE
#define SC_CLOSE 0xF060
#define WA_INACTIVE 0
#endif

#ifndef IDOK
#define IDOK 1
#define IDCANCEL 2
#endif

#ifndef VK_RETURN
#define VK_CANCEL 0x03
#define VK_BACK 0x08
#define VK_RETURN 0x0D
#define VK_ESCAPE 0x1B
#endif

// Window, control and dialog styles (the template's and the panel's).
#ifndef WS_CHILD
#define WS_OVERLAPPED 0x00000000L
#define WS_TABSTOP 0x00010000L
#define WS_GROUP 0x00020000L
#define WS_SYSMENU 0x00080000L
#define WS_DLGFRAME 0x00400000L
#define WS_BORDER 0x00800000L
#define WS_CAPTION 0x00C00000L
#define WS_VSCROLL 0x00200000L
#define WS_HSCROLL 0x00100000L
#define WS_DISABLED 0x08000000L
#define WS_VISIBLE 0x10000000L
#define WS_CHILD 0x40000000L
#define WS_POPUP 0x80000000L
#define WS_EX_DLGMODALFRAME 0x00000001L
#define WS_EX_APPWINDOW 0x00040000L
#endif

#ifndef BS_PUSHBUTTON
#define BS_PUSHBUTTON 0x00000000L
#define BS_AUTOCHECKBOX 0x00000003L
#define BS_OWNERDRAW 0x0000000BL
#define BS_TYPEMASK 0x0000000FL
#endif

#ifndef BST_CHECKED
#define BST_UNCHECKED 0x0000
#define BST_CHECKED 0x0001
#endif

#ifndef ES_CENTER
#define ES_LEFT 0x0000L
#define ES_CENTER 0x0001L
#define ES_MULTILINE 0x0004L
#define ES_AUTOHSCROLL 0x0080L
#endif

#ifndef SS_LEFT
#define SS_LEFT 0x00000000L
#define SS_CENTER 0x00000001L
#define SS_CENTERIMAGE 0x00000200L
#endif

#ifndef CBS_DROPDOWNLIST
#define CBS_DROPDOWNLIST 0x0003L
#define CBS_SORT 0x0100L
#endif

#ifndef TBS_HORZ
#define TBS_AUTOTICKS 0x0001
#define TBS_HORZ 0x0000
#define TBS_BOTTOM 0x0000
#endif

#ifndef DS_MODALFRAME
#define DS_SETFONT 0x40L
#define DS_MODALFRAME 0x80L
#endif

// Text drawing.
#ifndef DT_CENTER
#define DT_CENTER 0x00000001
#define DT_VCENTER 0x00000004
#define DT_SINGLELINE 0x00000020
#endif
#ifndef TRANSPARENT
#define TRANSPARENT 1
#endif
#ifndef SM_CXICON
#define SM_CXICON 11
#define SM_CYICON 12
#endif
