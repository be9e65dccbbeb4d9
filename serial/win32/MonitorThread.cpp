#include <windows.h>

#include "afx/win32/winsys.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "afx/afxwin.h"
#include "protocol/Frames.h"
#include "serial/win32/CommPortOs.h"
#include "serial/win32/LineWait.h"
#include "serial/win32/PortReport.h"

using Os = CCommPort::Os;

namespace worker {

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

// A failed query reads as none, never as whatever the status record held.
DWORD QueuedInput(HANDLE comm)
{
    DWORD errors = 0;
    COMSTAT status = {};
    if (!ClearCommError(comm, &errors, &status))
        return 0;
    return status.cbInQue;
}

}  // namespace worker

namespace {

using namespace worker;

constexpr UINT kWorkerExitCode = 100;
// The longest the worker waits without looking at the line itself.
constexpr DWORD kHeartbeatMs = 50;
// How long an ending worker waits for a write it cancelled to come back.
constexpr DWORD kWriteEndMs = 1000;
// The bytes the line carries in half a frame spacing (48 at 9600 baud, 10 bits a byte).
constexpr DWORD kLaterBytes = proto::kLineBaud / 10 * (proto::kFrameSpacingMs / 2) / 1000;

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

void Notify(const Os& os, UINT message, WPARAM wParam)
{
    SendMessageA(os.owner, message, wParam, static_cast<LPARAM>(os.portNr));
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
    return os.writes.UntilDue(MonotonicMs()) == 0 && !os.fillerPending;
}

// Hands every waiting byte to the owner, one synchronous notification each, until the queue is
// empty, a read fails or a shutdown is asked for. A frame found due meanwhile waits for the bytes already
// received then, whatever they take (a reply cut short would leave the framer to take the next
// reply's bytes as its rest), and behind bytes arriving later until the line has brought half a
// frame spacing's worth: a line that never falls quiet must not starve the operator's commands.
// Counted in bytes received, not in time: the owner may hold the worker long on one byte (the
// panel sleeps a frame spacing between a setting's two frames), and the rest of a reply that
// arrived meanwhile is not such a line.
void DrainInput(Os& os)
{
    bool frameSeen = false;
    DWORD owed = 0;   // bytes that were waiting when the frame was found due, not yet handed over
    DWORD later = 0;  // bytes handed over since, beyond those
    while (!IsSignalled(os.shutdownEvent)) {
        DWORD queued = 0;
        {
            Locked locked(os.lock);
            queued = QueuedInput(os.comm);
        }
        if (queued == 0)
            return;
        if (!frameSeen && WriteDue(os)) {
            frameSeen = true;
            owed = queued;
        }
        if (frameSeen && owed == 0 && later + queued >= kLaterBytes)
            return;

        BYTE byte = 0;
        bool read = false;
        {
            Locked locked(os.lock);
            read = ReadOneByte(os, &byte);
        }
        // A failed read ends the drain, bytes still queued or not: a driver that keeps refusing
        // them would otherwise spin the worker here. The heartbeat tries again.
        if (!read)
            return;
        Notify(os, WM_PORT_RXCHAR, byte);
        if (owed > 0)
            --owed;
        else if (frameSeen)
            ++later;
    }
}

void OnLineEvent(Os& os)
{
    bool byteTaken = false;
    if (!CollectLineWait(os, &byteTaken))
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
    os.readWaitHeld = false;  // a held-back read may start again
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

// Tells the owner of each frame that never reached the line whole, oldest first, whatever dropped
// it: a setting that never went out must not be believed sent. Not once the port is closing: its
// frames go with it, as the headless port's do.
void TellDropped(Os& os)
{
    std::vector<WriteScheduler::Bytes> dropped;
    {
        Locked guarded(os.writeGuard);
        dropped = os.writes.TakeDropped();
    }
    for (const WriteScheduler::Bytes& frame : dropped) {
        if (IsSignalled(os.shutdownEvent))
            return;
        Notify(os, WM_PORT_TXDROPPED, frame.size() > 3 ? frame[3] : 0);
    }
}

// Takes the next due frame into the worker's own buffer. The event is reset under the same guard
// Write queues under, once nothing waits, so each frame is taken once, in order; while more are
// waiting it stays set and the loop comes back for them (after any input).
bool TakeDueWrite(Os& os, WriteScheduler::Ms* finishBy)
{
    Locked guarded(os.writeGuard);
    const bool taken = os.writes.TakeDue(MonotonicMs(), os.sendBuf, finishBy);
    if (os.writes.Empty())
        ResetEvent(os.writeEvent);
    return taken;
}

// Waits for the write to finish, until finishBy at the latest. A shutdown request abandons it, so
// a write held up by flow control cannot hold Close up; so does its deadline, so such a frame never
// reaches the line late once the line moves again. An abandoned write is a dropped frame, not a
// failure to report.
BOOL AwaitWrite(Os& os, WriteScheduler::Ms finishBy, DWORD* sent, bool* abandoned)
{
    const HANDLE waits[] = {os.writeOverlapped.hEvent, os.shutdownEvent};
    const WriteScheduler::Ms left = std::max<WriteScheduler::Ms>(0, finishBy - MonotonicMs());
    if (WaitForMultipleObjects(2, waits, FALSE, static_cast<DWORD>(left)) != WAIT_OBJECT_0) {
        PurgeComm(os.comm, PURGE_TXABORT | PURGE_TXCLEAR);
        CancelIo(os.comm);           // the purge's abort flag does not end a write under Wine
        os.purgedSinceArmed = true;  // the cancel ends the input read too
        *abandoned = true;
    }
    return GetOverlappedResult(os.comm, &os.writeOverlapped, sent, TRUE);
}

// The filler's write has ended (its event is signalled): no write waits for it any more. One
// that failed is reported as any failed write is.
void CollectFillerWrite(Os& os)
{
    DWORD sent = 0;
    if (!GetOverlappedResult(os.comm, &os.writeOverlapped, &sent, FALSE)) {
        const DWORD error = GetLastError();
        if (error == ERROR_IO_INCOMPLETE)
            return;
        Report(os, "GetOverlappedResults() in WriteFile()", error);
    }
    os.fillerPending = false;
}

// Writes the next due frame, or the filler owed before it. A frame's write is waited for until
// its deadline; the filler's runs while the loop goes on (a line held for long would otherwise
// hold the worker, and the filler keeps no deadline), and no write starts until it has ended.
void SendPendingWrite(Os& os)
{
    if (os.fillerPending)
        return;
    WriteScheduler::Ms finishBy = 0;
    if (!TakeDueWrite(os, &finishBy))
        return;
    const bool filler = finishBy == WriteScheduler::kNothingDue;
    os.mayReport = true;  // a new write attempt may be reported

    const DWORD size = static_cast<DWORD>(os.sendBuf.size());
    DWORD sent = 0;
    bool refused = false;
    bool abandoned = false;
    BOOL completed = FALSE;
    DWORD error = 0;
    {
        Locked locked(os.lock);
        os.writeOverlapped.Offset = 0;
        os.writeOverlapped.OffsetHigh = 0;
        if (!filler) {
            // Unread input is discarded before every frame: a reply belongs to the command just sent.
            PurgeComm(os.comm, kAllPurgeFlags);
            os.purgedSinceArmed = true;
            DropLineWaitByte(os);
        }
        completed = WriteFile(os.comm, os.sendBuf.data(), size, &sent, &os.writeOverlapped);
        error = completed ? 0 : GetLastError();
        if (!completed && error != ERROR_IO_PENDING) {
            refused = true;
            Report(os, "WriteFile()", error);  // shown with the lock held, as a failed read's
        } else if (!completed && filler) {
            os.fillerPending = true;  // collected when its event is signalled
            return;
        } else if (!completed) {
            completed = AwaitWrite(os, finishBy, &sent, &abandoned);
            error = GetLastError();
        }
    }
    if (refused && filler) {
        Locked guarded(os.writeGuard);
        os.writes.FillerRefused(std::move(os.sendBuf));
    } else if (!refused && !filler && (!completed || sent != size)) {
        // Given up, failed or timed out part way: part of the frame may be on the line.
        Locked guarded(os.writeGuard);
        os.writes.Abandoned(std::move(os.sendBuf));
    }
    if (!completed && !refused && !abandoned)
        Report(os, "GetOverlappedResults() in WriteFile()", error);
}

// Ends the filler's write before the worker goes, so no late completion lands in a record the
// next worker uses.
void EndFillerWrite(Os& os)
{
    if (!os.fillerPending)
        return;
    CancelIo(os.comm);
    if (WaitForSingleObject(os.writeOverlapped.hEvent, kWriteEndMs) == WAIT_OBJECT_0) {
        DWORD unused = 0;
        GetOverlappedResult(os.comm, &os.writeOverlapped, &unused, FALSE);
    }
    os.fillerPending = false;
}

[[noreturn]] void EndWorker(Os& os)
{
    EndFillerWrite(os);
    EndLineWait(os);
    os.threadAlive = FALSE;
    AfxEndThread(kWorkerExitCode, TRUE);
}

}  // namespace

UINT CommMonitorThread(void* param)
{
    Os& os = *static_cast<Os*>(param);
    os.threadAlive = TRUE;
    ChooseLineWait(os);
    if (os.comm)
        PurgeComm(os.comm, kAllPurgeFlags);

    for (;;) {
        // After a heartbeat's pass, quietly: it reports nothing, nor does the arm that follows it.
        ArmLineWait(os);
        // Frames dropped on the way (stale, crowded out, abandoned) since the last pass; before the
        // due time is read, as the owner may take a while.
        TellDropped(os);
        // A write that is not due yet leaves the write event out of the wait until it is. While
        // the filler's write runs, its end takes the write event's place: no other write starts.
        const DWORD dueIn = MsUntilWriteDue(os);  // drops stale frames, the filler's write running or not
        const DWORD untilDue = os.fillerPending ? INFINITE : dueIn;
        const bool writeWaits = untilDue != 0 && untilDue != INFINITE;
        const bool writeFirst = writeWaits && untilDue <= kHeartbeatMs;
        os.events[kWrite] = os.fillerPending ? os.writeOverlapped.hEvent : os.writeEvent;
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
            if (os.fillerPending)
                CollectFillerWrite(os);
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
