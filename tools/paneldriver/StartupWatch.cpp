// Start-up timing of the panel, seen from a second process.
#include "tools/paneldriver/StartupWatch.h"

#include <cstdio>

double Now()
{
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(count.QuadPart) / static_cast<double>(frequency.QuadPart);
}

std::string Seconds(double t)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.6f", t);
    return text;
}

namespace {

// Progress of a watch on standard error, as it happens, so that the caller can look at the
// processes while the panel is still slow to answer.
void Report(const char* what, double t)
{
    std::fprintf(stderr, "%s %.6f\n", what, t);
    std::fflush(stderr);
}

// What the sending thread shares with the watching one.
struct Send {
    HWND window;
    UINT timeoutMs;
    double until;
    volatile LONG done;
    double firstAnswer;
    double worstWait;
    double worstFrom;
    volatile double pendingSince;
};

// Sends WM_NULL every 20 ms until the hold ends or a send goes unanswered. A named function: the
// i686 build's thread entry must have the system's calling convention.
DWORD WINAPI SendUntilDone(LPVOID param)
{
    auto* s = static_cast<Send*>(param);
    for (;;) {
        const double from = Now();
        s->pendingSince = from;
        DWORD_PTR result = 0;
        const bool answered = SendMessageTimeoutW(s->window, WM_NULL, 0, 0, SMTO_NORMAL, s->timeoutMs, &result);
        const double at = Now();
        s->pendingSince = -1.0;
        if (at - from > s->worstWait) {
            s->worstWait = at - from;
            s->worstFrom = from;
        }
        if (!answered)
            break;
        if (s->firstAnswer < 0) {
            s->firstAnswer = at;
            Report("answer", at);
        }
        if (at >= s->until)
            break;
        Sleep(20);
    }
    InterlockedExchange(&s->done, 1);
    return 0;
}

}  // namespace

// Start-up timing: when the panel's window first exists (shown or not), when it is first shown,
// when its thread first answers a message sent to it, and the longest wait for an answer while
// messages are sent to it every 20 ms until holdMs after the window appeared. One thread sends
// while this one watches for the window to be shown and for a send that waits longer than 2 s.
std::string WatchStartUp(const wchar_t* caption, int timeoutMs, int holdMs, HWND* found)
{
    const double started = Now();
    const double deadline = started + timeoutMs / 1000.0;
    HWND window = nullptr;
    while (!(window = FindWindowW(nullptr, caption)) && Now() < deadline)
        Sleep(2);
    if (!window)
        return "err no window captioned as the panel";
    const double appeared = Now();
    Report("window", appeared);
    const bool shownAtFirst = IsWindowVisible(window) != FALSE;

    Send send = {window, static_cast<UINT>(timeoutMs), appeared + holdMs / 1000.0, 0, -1.0, 0.0, -1.0, -1.0};
    const HANDLE sender = CreateThread(nullptr, 0, SendUntilDone, &send, 0, nullptr);
    if (!sender)
        return "err cannot start the sending thread";
    double shown = shownAtFirst ? appeared : -1.0;
    double reportedStuck = -1.0;
    while (InterlockedCompareExchange(&send.done, 0, 0) == 0) {
        if (shown < 0 && IsWindowVisible(window))
            shown = Now();
        const double pending = send.pendingSince;
        if (pending > 0 && pending != reportedStuck && Now() - pending > 2.0) {
            Report("stuck", pending);
            reportedStuck = pending;
        }
        Sleep(2);
    }
    WaitForSingleObject(sender, INFINITE);
    CloseHandle(sender);
    *found = window;
    return "ok " + Seconds(started) + " " + Seconds(appeared) + " " + Seconds(shown) + " " + Seconds(send.firstAnswer)
        + " " + Seconds(send.worstWait) + " " + Seconds(send.worstFrom);
}
