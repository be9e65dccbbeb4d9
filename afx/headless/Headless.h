// The in-memory backend of the framework layer, for native tests: windows are records, time is a
// virtual clock, and input is delivered the way the system's modal loop would deliver it.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "afx/afxtemplate.h"
#include "afx/afxwin.h"

// A window: what the panel and the operator can observe of it.
struct HWND__ {
    HWND parent = nullptr;
    std::vector<HWND> children;
    int id = 0;
    std::string className;
    DWORD style = 0;
    DWORD exStyle = 0;
    std::string text;  // UTF-8
    int check = BST_UNCHECKED;
    bool pressed = false;
    CRect rect;        // in the parent's client area, pixels
    CRect formatRect;  // edit boxes: where the text is laid out
    // Trackbar.
    int rangeMin = 0;
    int rangeMax = 100;  // the platform's default range
    int pos = 0;
    std::vector<int> tics;
    // Extended combo box.
    std::vector<std::string> items;
    int curSel = -1;
    HICON bigIcon = nullptr;
    HICON smallIcon = nullptr;
    bool iconic = false;
    CWnd* object = nullptr;  // the bound object, if any
};

namespace headless {

// One drawing operation recorded on a device context.
struct DrawOp {
    enum Kind { Fill, Frame, Text, Icon, BkMode } kind;
    CRect rect;
    COLORREF color = 0;
    std::string text;
    UINT format = 0;
};

// Dialogs are built from templates registered here (the system would read its resources).
void RegisterTemplate(UINT id, const AfxDlgTemplate& dialogTemplate);

// Forgets every window, timer and queued message and sets the clock back to 0.
void Reset();

// Virtual clock, in milliseconds.
DWORD Now();
// Runs the panel's thread for ms of virtual time: queued sends, input, then due timers, as the
// system's message loop would; handlers that wait move the clock on.
void RunFor(DWORD ms);

// A message sent to hwnd from another thread, arriving at virtual time `at`; it is handled when
// the panel's thread next looks for messages.
void SendFromThread(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, DWORD at);
// Delivers a sent message that has already arrived for hwnd, if any (the one a worker is blocked
// on). TRUE if one was delivered.
bool DeliverArrivedSend(HWND hwnd);
// Drops sent messages for hwnd that have not been delivered.
void DropSends(HWND hwnd, UINT message);
// A message sent to hwnd has arrived and waits for the panel's thread: its sender is blocked.
bool SendWaiting(HWND hwnd);

// Another thread's work on the virtual clock (the serial port's worker): it runs at the times
// asked for with WakeWorkerAt (even while the panel's thread waits) and whenever a sent message
// has been handled.
void SetWorker(std::function<void()> work);
void WakeWorkerAt(DWORD at);

// Operator input, through the modal loop's pre-translation and the controls' own behaviour.
void PressLeft(HWND hwnd);    // left button down on a control
void ReleaseLeft(HWND hwnd);  // left button up on the control that was pressed
// A press queued for the control while the panel's thread was busy, taken from the queue now: it
// was aimed when it happened, so it reaches the control even if the control has been disabled since.
void PressLeftQueued(HWND hwnd);
void Click(HWND hwnd);
// The mouse capture a pressed button took goes elsewhere (the system took it away).
void LoseCapture();
void CancelMode(HWND hwnd);
void Deactivate(HWND hwnd);  // another window became the active one
void CloseBox(HWND hwnd);    // the caption's close box
void DoubleClick(HWND hwnd);
void Key(UINT vk);                               // a key press to the window that has the focus
void Type(HWND hwnd, const std::string& text);   // one WM_CHAR per character
void Paste(HWND hwnd, const std::string& text);  // replaces the text without key messages
void Focus(HWND hwnd);

// Timers of a window: running, and their period.
bool TimerRunning(HWND hwnd, UINT_PTR id);
UINT TimerPeriod(HWND hwnd, UINT_PTR id);

// Asks an owner-drawn button to draw itself; returns what it drew.
std::vector<DrawOp> Paint(HWND button);
// Sends WM_PAINT to a window; returns what its paint handler drew.
std::vector<DrawOp> PaintWindow(HWND hwnd);
void Minimize(HWND hwnd, bool iconic);
// Brushes created and not yet deleted.
int LiveBrushes();

// The child of parent with the given id.
HWND Child(HWND parent, int id);
bool DialogEnded(const CDialog& dialog);

}  // namespace headless
