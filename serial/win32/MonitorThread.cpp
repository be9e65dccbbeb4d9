#include <windows.h>

#include "afx/win32/winsys.h"

#include <algorithm>

#include "afx/afxwin.h"
#include "protocol/Frames.h"
#include "serial/win32/CommPortOs.h"
#include "serial/win32/PortReport.h"

namespace {

using Os = CCommPort::Os;

constexpr DWORD kAllPurgeFlags = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
constexpr UINT kWorkerExitCode = 100;
// How long an ending worker waits for its line-event wait to come back.
constexpr DWORD kWaitEndMs = 1000;
// The longest the worker waits without looking at the line itself.
constexpr DWORD kHeartbeatMs = 50;

enum EventIndex : DWORD { kShutdown = 0, kPortEvent = 1, kWrite = 2, kEventCount = 3 };

// Which line events are announced, in this order, after the input has been drained.
struct LineNotification {
    DWORD event;
    UINT message;
};
constexpr LineNotification kLineNotifications[] = {
    {EV_CTS, WM_PORT_CTS},
    {EV_RXFLAG, WM_PORT_RXFLAG},
    {EV_BREAK, WM_PORT_BREAK},
    {EV_ERR, WM_PORT_ERR},
    {EV_RING, WM_PORT_RING},
};

class Locked {
public:
    explicit Locked(CRITICAL_SECTION& lock) : lock_(lock) { EnterCriticalSection(&lock_); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
    ~Locked() { LeaveCriticalSection(&lock_); }

private:
    CRITICAL_SECTION& lock_;
};

// Shows the report box, within the budget: one report per write attempt, none from a pass the
// heartbeat started.
void Report(Os& os, const char* label, DWORD error)
{
    if (!os.mayReport || os.heartbeatPass)
        return;
    os.mayReport = false;
    ReportPortError(label, error, os.portNr);
}

bool IsSignalled(HANDLE event)
{
    return WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

HANDLE PortEvent(const Os& os)
{
    return os.overlapped.hEvent;
}

// Bytes waiting in the input queue. A failed query reads as none, never as whatever the status
// record held.
DWORD QueuedInput(HANDLE comm)
{
    DWORD errors = 0;
    COMSTAT status = {};
    if (!ClearCommError(comm, &errors, &status))
        return 0;
    return status.cbInQue;
}

void Notify(const Os& os, UINT message, WPARAM wParam)
{
    SendMessageA(os.owner, message, wParam, static_cast<LPARAM>(os.portNr));
}

// Whether the line wait can be a one-byte read: when bytes are all the port subscribes to.
//
// Under Wine (8.0), a WaitCommEvent that has to wait starts a thread of Wine's own (wait_for_event
// in ntdll's serial code), which ends itself without the loader's thread shutdown: what its start
// allocated, about 460 bytes, is never freed. Such a wait comes with nearly every burst of input
// (up to a hundred a second, Wine polling the line every 10 ms), so the panel's memory grew for as
// long as bytes arrived. A pending read waits for input as well, as an ordinary asynchronous
// request with no thread, and ends on the first byte as the wait would. Any other subscribed
// event still needs WaitCommEvent.
bool LineWaitIsARead(const Os& os)
{
    DWORD mask = 0;
    return os.comm && GetCommMask(os.comm, &mask) && mask == EV_RXCHAR;
}

// Holds the input read back until the next heartbeat; its port event must not wake the loop.
void HoldInputRead(Os& os)
{
    os.readWaitHeld = true;
    ResetEvent(PortEvent(os));
}

// Starts the one-byte read that waits for input, under the port lock as every read. Its end
// signals the port event, whether it comes at once or later. A refused read is held back until
// the heartbeat and not reported: a line that fails for good is reported by the writes, once
// each, as before (under Wine the WaitCommEvent it replaces never failed on a hung-up line).
void ArmInputRead(Os& os)
{
    if (os.waitPending || os.readWaitHeld)
        return;
    Locked locked(os.lock);
    DWORD got = 0;
    if (ReadFile(os.comm, &os.waitByte, 1, &got, &os.overlapped)) {
        os.waitPending = true;  // collected as a read that ended later is
        SetEvent(PortEvent(os));
    } else if (GetLastError() == ERROR_IO_PENDING) {
        os.waitPending = true;
    } else {
        HoldInputRead(os);
    }
}

// Starts a wait for a line event unless one is still outstanding: a second wait on the port
// is refused by the system, and would share the first one's record.
void ArmLineEventWait(Os& os)
{
    if (os.readWait)
        return ArmInputRead(os);
    while (!os.waitPending) {
        if (WaitCommEvent(os.comm, &os.eventMask, &os.overlapped)) {
            // An event was already there: go and drain if it brought bytes.
            if (QueuedInput(os.comm) > 0 || IsSignalled(os.shutdownEvent)) {
                SetEvent(PortEvent(os));
                return;
            }
            continue;
        }
        const DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            os.waitPending = true;
            return;
        }
        if (error != ERROR_INVALID_PARAMETER)
            Report(os, "WaitCommEvent()", error);
        // No wait runs: a stale signal must not spin the loop.
        ResetEvent(PortEvent(os));
        return;
    }
}

// The port event is signalled: collects the outstanding wait. False when the signal was stale
// and the wait is in fact still running.
bool CollectLineEventWait(Os& os)
{
    if (!os.waitPending)
        return true;
    DWORD unused = 0;
    if (!GetOverlappedResult(os.comm, &os.overlapped, &unused, FALSE) && GetLastError() == ERROR_IO_INCOMPLETE) {
        ResetEvent(PortEvent(os));
        if (!HasOverlappedIoCompleted(&os.overlapped))
            return false;
    }
    os.waitPending = false;
    return true;
}

// The port event is signalled: collects the input read, with its byte if it took one. False
// when the signal was stale and the read is in fact still waiting. A read ended by a purge (on
// Windows the purge's abort flag ends it) is started again at once; one that ended without a
// byte otherwise, a failure included (not reported, as a refused one), waits for the heartbeat.
bool CollectInputRead(Os& os, bool* byteTaken)
{
    *byteTaken = false;
    if (!os.waitPending)
        return true;
    DWORD got = 0;
    if (GetOverlappedResult(os.comm, &os.overlapped, &got, FALSE)) {
        os.waitPending = false;
        *byteTaken = got == 1;
        if (!*byteTaken)
            HoldInputRead(os);
        return true;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_IO_INCOMPLETE) {
        ResetEvent(PortEvent(os));
        // Ended between the two looks: its signal was just reset, so it is collected now.
        return HasOverlappedIoCompleted(&os.overlapped) && CollectInputRead(os, byteTaken);
    }
    os.waitPending = false;
    if (error != ERROR_OPERATION_ABORTED)
        HoldInputRead(os);
    return true;
}

// A byte the input read has already taken is unread input, which a write purges: it is dropped
// with the rest. A read still waiting stays, and takes the first byte that comes after the purge.
// A failed read is left for the loop to collect.
void DropInputReadByte(Os& os)
{
    if (!os.readWait || !os.waitPending || !HasOverlappedIoCompleted(&os.overlapped))
        return;
    DWORD got = 0;
    if (GetOverlappedResult(os.comm, &os.overlapped, &got, FALSE) || GetLastError() == ERROR_OPERATION_ABORTED)
        os.waitPending = false;  // a signal left behind is found stale and reset by the loop
}

// Ends the outstanding wait before the worker goes, so no late completion lands in a record
// the next worker uses. Changing the mask ends a pending wait (with mask 0) on Windows and
// under Wine alike; cancelling the I/O does not end it under Wine, but does end the input read.
void EndLineEventWait(Os& os)
{
    if (!os.waitPending)
        return;
    if (os.readWait)
        CancelIo(os.comm);  // the worker's own request
    else
        SetCommMask(os.comm, os.commEvents);
    if (WaitForSingleObject(PortEvent(os), kWaitEndMs) == WAIT_OBJECT_0) {
        DWORD unused = 0;
        GetOverlappedResult(os.comm, &os.overlapped, &unused, FALSE);
    }
    os.waitPending = false;
}

// Reads one byte under the port lock. A failure is reported (while the lock is held) and
// delivers nothing.
bool ReadOneByte(Os& os, BYTE* byte)
{
    DWORD got = 0;
    if (ReadFile(os.comm, byte, 1, &got, &os.readOverlapped))
        return got == 1;
    const DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING) {
        Report(os, "ReadFile()", error);
        return false;
    }
    if (!GetOverlappedResult(os.comm, &os.readOverlapped, &got, TRUE)) {
        Report(os, "GetOverlappedResults() in ReadFile()", GetLastError());
        return false;
    }
    return got == 1;
}

bool WriteDue(Os& os)
{
    Locked guarded(os.writeGuard);
    return os.writes.UntilDue(MonotonicMs()) == 0;
}

// Hands every waiting byte to the owner, one synchronous notification each, until the queue is
// empty or a shutdown is asked for. A frame found due meanwhile waits for the bytes already
// received then, whatever they take (a reply cut short would leave the framer to take the next
// reply's bytes as its rest), and behind bytes arriving later for half a frame spacing at most:
// a line that never falls quiet must not starve the operator's commands.
void DrainInput(Os& os)
{
    WriteScheduler::Ms frameSeenAt = WriteScheduler::kNothingDue;
    DWORD owed = 0;  // bytes that were waiting when the frame was found due
    while (!IsSignalled(os.shutdownEvent)) {
        DWORD queued = 0;
        {
            Locked locked(os.lock);
            queued = QueuedInput(os.comm);
        }
        if (queued == 0)
            return;
        if (frameSeenAt == WriteScheduler::kNothingDue && WriteDue(os)) {
            frameSeenAt = MonotonicMs();
            owed = queued;
        }
        if (owed == 0 && frameSeenAt != WriteScheduler::kNothingDue
            && MonotonicMs() - frameSeenAt >= proto::kFrameSpacingMs / 2)
            return;

        BYTE byte = 0;
        bool read = false;
        {
            Locked locked(os.lock);
            read = ReadOneByte(os, &byte);
        }
        if (read)
            Notify(os, WM_PORT_RXCHAR, byte);
        if (owed > 0)
            --owed;
    }
}

void OnLineEvent(Os& os)
{
    bool byteTaken = false;
    if (!(os.readWait ? CollectInputRead(os, &byteTaken) : CollectLineEventWait(os)))
        return;
    // The input read's byte came first: it goes first.
    if (byteTaken)
        Notify(os, WM_PORT_RXCHAR, os.waitByte);
    // The subscribed mask, not the event that fired.
    DWORD mask = 0;
    GetCommMask(os.comm, &mask);
    if (mask & EV_RXCHAR)
        DrainInput(os);
    for (const LineNotification& notification : kLineNotifications) {
        if (mask & notification.event)
            Notify(os, notification.message, 0);
    }
}

// Looks at the line when no event came for a while. The port event is a manual-reset event
// that the loop resets when it judges a signal stale; should a completion's signal be lost that
// way (or no wait be running after a refused re-arm), the line would otherwise go unread for good.
void OnHeartbeat(Os& os)
{
    os.readWaitHeld = false;
    if (!os.waitPending || HasOverlappedIoCompleted(&os.overlapped))
        OnLineEvent(os);
    else if (!os.readWait && (os.commEvents & EV_RXCHAR))
        DrainInput(os);  // bytes waiting while the wait still runs (a waiting read gets them first)
}

// Milliseconds until the next frame is due, INFINITE when none is waiting.
DWORD MsUntilWriteDue(Os& os)
{
    Locked guarded(os.writeGuard);
    const WriteScheduler::Ms until = os.writes.UntilDue(MonotonicMs());
    return until == WriteScheduler::kNothingDue ? INFINITE : static_cast<DWORD>(until);
}

// Takes the next due frame into the worker's own buffer. The event is reset under the same guard
// Write queues under, once nothing waits, so each frame is taken once, in order; while more are
// waiting it stays set and the loop comes back for them (after any input).
bool TakeDueWrite(Os& os)
{
    Locked guarded(os.writeGuard);
    const bool taken = os.writes.TakeDue(MonotonicMs(), os.sendBuf);
    if (os.writes.Empty())
        ResetEvent(os.writeEvent);
    return taken;
}

// Waits for the write to finish. A shutdown request abandons it, so a write held up by flow
// control cannot hold Close up; so does the age bound, so such a frame never reaches the line
// late once the line moves again. An abandoned write is dropped, not reported.
BOOL AwaitWrite(Os& os, DWORD* sent, bool* abandoned)
{
    const HANDLE waits[] = {os.writeOverlapped.hEvent, os.shutdownEvent};
    if (WaitForMultipleObjects(2, waits, FALSE, static_cast<DWORD>(WriteScheduler::kMaxAgeMs)) != WAIT_OBJECT_0) {
        PurgeComm(os.comm, PURGE_TXABORT | PURGE_TXCLEAR);
        CancelIo(os.comm);  // the purge's abort flag does not end a write under Wine
        *abandoned = true;
    }
    return GetOverlappedResult(os.comm, &os.writeOverlapped, sent, TRUE);
}

void SendPendingWrite(Os& os)
{
    if (!TakeDueWrite(os))
        return;
    os.mayReport = true;  // a new write attempt may be reported

    EnterCriticalSection(&os.lock);
    os.writeOverlapped.Offset = 0;
    os.writeOverlapped.OffsetHigh = 0;
    // Unread input is discarded before every write: a reply belongs to the command just sent.
    PurgeComm(os.comm, kAllPurgeFlags);
    DropInputReadByte(os);

    const DWORD size = static_cast<DWORD>(os.sendBuf.size());
    DWORD sent = 0;
    if (WriteFile(os.comm, os.sendBuf.data(), size, &sent, &os.writeOverlapped)) {
        LeaveCriticalSection(&os.lock);
        return;
    }
    DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING) {
        Report(os, "WriteFile()", error);
        LeaveCriticalSection(&os.lock);
        return;
    }
    bool abandoned = false;
    const BOOL completed = AwaitWrite(os, &sent, &abandoned);
    error = GetLastError();
    LeaveCriticalSection(&os.lock);
    if (!completed && !abandoned)
        Report(os, "GetOverlappedResults() in WriteFile()", error);
}

[[noreturn]] void EndWorker(Os& os)
{
    EndLineEventWait(os);
    os.threadAlive = FALSE;
    AfxEndThread(kWorkerExitCode, TRUE);
}

}  // namespace

UINT CommMonitorThread(void* param)
{
    Os& os = *static_cast<Os*>(param);
    os.threadAlive = TRUE;
    os.waitPending = false;
    os.readWaitHeld = false;
    os.readWait = LineWaitIsARead(os);
    if (os.comm)
        PurgeComm(os.comm, kAllPurgeFlags);

    for (;;) {
        // After a heartbeat's pass, quietly: it reports nothing, nor does the arm that follows it.
        ArmLineEventWait(os);
        // A write that is not due yet leaves the write event out of the wait until it is.
        const DWORD untilDue = MsUntilWriteDue(os);
        const bool writeWaits = untilDue != 0 && untilDue != INFINITE;
        const bool writeFirst = writeWaits && untilDue <= kHeartbeatMs;
        const DWORD woken = WaitForMultipleObjects(
            writeWaits ? kWrite : kEventCount, os.events, FALSE, writeFirst ? untilDue : kHeartbeatMs);
        os.heartbeatPass = woken == WAIT_TIMEOUT && !writeFirst;
        switch (woken) {
        case WAIT_OBJECT_0 + kShutdown:
            EndWorker(os);
        case WAIT_OBJECT_0 + kPortEvent:
            OnLineEvent(os);
            // A due write goes next: on a line that never falls quiet the port event would
            // always win the wait.
            if (MsUntilWriteDue(os) == 0)
                SendPendingWrite(os);
            break;
        case WAIT_OBJECT_0 + kWrite:
            SendPendingWrite(os);
            break;
        case WAIT_TIMEOUT:
            if (writeFirst)
                SendPendingWrite(os);
            else
                OnHeartbeat(os);
            break;
        default:  // a failed wait: start again
            break;
        }
    }
}
