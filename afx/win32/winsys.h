// The system headers for Win32 backend files. Include this first, before any project header:
// the framework headers define their constants only where <windows.h> has not, and the A/W
// macros below would otherwise rename our wrappers' methods (CWnd::SendMessage and friends)
// in some translation units and not in others.
#pragma once

#include <windows.h>
#include <commctrl.h>

#undef SendMessage
#undef PostMessage
#undef SetWindowText
#undef GetWindowText
#undef SetDlgItemText
#undef DrawText
#undef LoadIcon
#undef DefWindowProc
