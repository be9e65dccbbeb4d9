// The virtual clock: timers with the system's semantics, messages sent from another thread, and
// the worker thread's turns, all on one millisecond count that only the tests move.
#include <algorithm>

#include "afx/headless/Desktop.h"

namespace desktop {

// Marks timers that expire up to `until` as ready; a timer that expires again while a tick is
// still pending keeps one pending tick, as the system's timers do.
void ExpireTimers(DWORD until)
{
    for (Timer& t : D().timers) {
        while (t.due <= until) {
            if (!t.ready) {
                t.ready = true;
                t.readyAt = t.due;
            }
            t.due += t.period;
        }
    }
}

void RunWorker()
{
    D().workerAt = kNever;
    if (D().worker)
        D().worker();
}

// Moves the clock on; the worker runs at the times it asked for on the way, even while the
// panel's thread waits.
void AdvanceTo(DWORD time)
{
    while (D().workerAt <= time) {
        if (D().workerAt > D().now)
            D().now = D().workerAt;
        RunWorker();
    }
    ExpireTimers(time);
    if (time > D().now)
        D().now = time;
}

// Delivers the oldest sent message that has arrived (for hwnd only, when given).
bool DeliverArrived(HWND hwnd)
{
    auto& q = D().sent;
    for (auto it = q.begin(); it != q.end(); ++it) {
        if (it->at > D().now || (hwnd && it->hwnd != hwnd))
            continue;
        const SentMessage m = *it;
        q.erase(it);
        Send(m.hwnd, m.message, m.wParam, m.lParam);
        RunWorker();  // the sender was waiting for this to be handled
        return true;
    }
    return false;
}

static bool DeliverOneTimer()
{
    Timer* first = nullptr;
    for (Timer& t : D().timers)
        if (t.ready && (!first || t.readyAt < first->readyAt))
            first = &t;
    if (!first)
        return false;
    first->ready = false;
    Deliver(AfxMsg{first->hwnd, WM_TIMER, first->id, 0});
    return true;
}

Timer* FindTimer(HWND hwnd, UINT_PTR id)
{
    for (Timer& t : D().timers)
        if (t.hwnd == hwnd && t.id == id)
            return &t;
    return nullptr;
}

}  // namespace desktop

using namespace desktop;

namespace headless {

DWORD Now()
{
    return D().now;
}

void RunFor(DWORD ms)
{
    const DWORD end = D().now + ms;
    for (;;) {
        // Sent messages first, then timer ticks, as the system retrieves them.
        ExpireTimers(D().now);
        if (DeliverArrived(nullptr) || DeliverOneTimer())
            continue;
        if (D().now >= end)
            break;
        DWORD next = end;
        for (const SentMessage& m : D().sent)
            if (m.at > D().now)
                next = std::min(next, m.at);
        for (const Timer& t : D().timers)
            next = std::min(next, t.due);
        next = std::min(next, D().workerAt);
        AdvanceTo(next);
    }
}

void SendFromThread(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, DWORD at)
{
    D().sent.push_back(SentMessage{hwnd, message, wParam, lParam, at});
}

bool DeliverArrivedSend(HWND hwnd)
{
    return DeliverArrived(hwnd);
}

bool SendWaiting(HWND hwnd)
{
    for (const SentMessage& m : D().sent)
        if (m.hwnd == hwnd && m.at <= D().now)
            return true;
    return false;
}

void SetWorker(std::function<void()> work)
{
    D().worker = std::move(work);
}

void WakeWorkerAt(DWORD at)
{
    D().workerAt = std::min(D().workerAt, std::max(at, D().now));
}

void DropSends(HWND hwnd, UINT message)
{
    auto& q = D().sent;
    q.erase(std::remove_if(
                q.begin(), q.end(), [&](const SentMessage& m) { return m.hwnd == hwnd && m.message == message; }),
        q.end());
}

bool TimerRunning(HWND hwnd, UINT_PTR id)
{
    return FindTimer(hwnd, id) != nullptr;
}

UINT TimerPeriod(HWND hwnd, UINT_PTR id)
{
    const Timer* t = FindTimer(hwnd, id);
    return t ? t->period : 0;
}

}  // namespace headless

UINT_PTR CWnd::SetTimer(UINT_PTR id, UINT elapse, void*)
{
    // Starting a running timer replaces it: new period, counted from now, no pending tick.
    KillTimer(id);
    const UINT period = elapse == 0 ? 1 : elapse;
    D().timers.push_back(Timer{m_hWnd, id, period, D().now + period, false, 0});
    return id;
}

BOOL CWnd::KillTimer(UINT_PTR id)
{
    auto& timers = D().timers;
    const auto before = timers.size();
    timers.erase(
        std::remove_if(timers.begin(), timers.end(), [&](const Timer& t) { return t.hwnd == m_hWnd && t.id == id; }),
        timers.end());
    return timers.size() != before;
}

void AfxSleep(DWORD milliseconds)
{
    AdvanceTo(D().now + milliseconds);
}
