// The worker's wait for the line: WaitCommEvent, or a pending one-byte read where bytes are all
// the port subscribes to.
#include <windows.h>

#include "afx/win32/winsys.h"

#include "serial/win32/CommPortOs.h"
#include "serial/win32/LineWait.h"

using Os = CCommPort::Os;

namespace worker {

namespace {

// How long an ending worker waits for its line wait to come back.
constexpr DWORD kWaitEndMs = 1000;

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
    os.purgedSinceArmed = false;
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
// when the signal was stale and the read is in fact still waiting. A read the worker's own purge
// or cancel ended (on Windows the purge's abort flag ends it) is started again at once; one that
// ended without a byte otherwise, a failure or someone else's cancel included (not reported, as a
// refused one), waits for the heartbeat: a driver that cancels every read (a device going away,
// error recovery) would otherwise have the worker restart reads as fast as they are cancelled.
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
    if (error != ERROR_OPERATION_ABORTED || !os.purgedSinceArmed)
        HoldInputRead(os);
    return true;
}

}  // namespace

void ArmLineWait(Os& os)
{
    if (os.readWait)
        ArmInputRead(os);
    else
        ArmLineEventWait(os);
}

bool CollectLineWait(Os& os, bool* byteTaken)
{
    *byteTaken = false;
    return os.readWait ? CollectInputRead(os, byteTaken) : CollectLineEventWait(os);
}

void ChooseLineWait(Os& os)
{
    os.waitPending = false;
    os.readWaitHeld = false;
    os.readWait = LineWaitIsARead(os);
}

// A byte the input read has already taken is unread input, which a write purges: it is dropped
// with the rest. A read still waiting stays, and takes the first byte that comes after the purge.
// A failed read is left for the loop to collect.
void DropLineWaitByte(Os& os)
{
    if (!os.readWait || !os.waitPending || !HasOverlappedIoCompleted(&os.overlapped))
        return;
    DWORD got = 0;
    if (GetOverlappedResult(os.comm, &os.overlapped, &got, FALSE) || GetLastError() == ERROR_OPERATION_ABORTED)
        os.waitPending = false;  // the next read resets the signal it left
}

// Ends the outstanding wait before the worker goes, so no late completion lands in a record
// the next worker uses. Changing the mask ends a pending wait (with mask 0) on Windows and
// under Wine alike; cancelling the I/O does not end it under Wine, but does end the input read.
void EndLineWait(Os& os)
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

}  // namespace worker
