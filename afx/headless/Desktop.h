// What the headless backend's files share: the desktop (windows, focus and capture, the virtual
// clock with its timers, sent messages and the worker) and the routing of messages through it.
// Not part of the framework's interface.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "afx/headless/Headless.h"

// A device context records what is drawn on it.
struct HDC__ {
    std::vector<headless::DrawOp>* ops;
};

// The backend's access to the state the framework's objects keep private.
struct AfxBackend {
    static bool Ended(const CDialog& dialog) { return dialog.m_ended; }
};

namespace desktop {

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

Desktop& D();
bool Alive(HWND hwnd);
HWND TopLevel(HWND hwnd);

// Routing: a message straight to the window (its object, or the control's own behaviour), and a
// queued message through the modal loop (pre-translation, the dialog manager, dispatch).
LRESULT Send(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
// The focus moves: the window losing it is told which takes it, and the other way round.
void SetFocusTo(HWND hwnd);
void Deliver(AfxMsg msg);
// What the system's controls do by themselves with a message nobody handled.
LRESULT ControlDefault(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
// The window that had the mouse captured is told it lost it.
void ReleaseCapture();
// Where the system sends mouse input: a disabled control passes it to its parent.
HWND MouseTarget(HWND hwnd);

// The virtual clock.
void ExpireTimers(DWORD until);
void AdvanceTo(DWORD time);
void RunWorker();
bool DeliverArrived(HWND hwnd);
Timer* FindTimer(HWND hwnd, UINT_PTR id);

}  // namespace desktop
