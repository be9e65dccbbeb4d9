// The Win32 state behind CCommPort, shared by the port object and its monitor thread.
// Include <windows.h> before this header.
#pragma once

#include <atomic>
#include <deque>
#include <memory>
#include <vector>

#include "serial/CommPort.h"

class CWinThread;

struct CCommPort::Os {
    Os();
    Os(const Os&) = delete;
    Os& operator=(const Os&) = delete;
    ~Os();

    CWinThread* thread = nullptr;
    // Serialises configuration, status queries, reads and writes. Set up afresh at every open.
    CRITICAL_SECTION lock;
    bool lockReady = false;
    // TRUE from the worker's start until it has seen the shutdown request.
    std::atomic<BOOL> threadAlive{FALSE};
    HANDLE shutdownEvent = nullptr;
    HANDLE comm = nullptr;  // null when closed
    HANDLE writeEvent = nullptr;
    // { shutdown, port event, write }: the lowest signalled index wins.
    HANDLE events[3] = {};
    // The line-event wait only; its event is the port event. Reads and writes have records of
    // their own: one record shared by two outstanding operations can report one's completion as
    // the other's.
    OVERLAPPED overlapped = {};
    OVERLAPPED readOverlapped = {};
    OVERLAPPED writeOverlapped = {};
    COMMTIMEOUTS timeouts = {};
    DCB dcb = {};
    HWND owner = nullptr;
    UINT portNr = 0;
    DWORD commEvents = 0;
    UINT writeBufSize = 0;  // longest write accepted

    // Our own reference to the worker, so waiting for it can sleep until it ends.
    HANDLE threadHandle = nullptr;
    // Writes handed over and not yet taken by the worker, oldest first. A short queue rather
    // than one slot: while the worker is blocked handing the panel a byte, the panel may ask for
    // a second write (a set-current frame, then the status query 100 ms later), and a single
    // slot would silently drop the first one.
    struct PendingWrite {
        std::vector<BYTE> bytes;
        LONGLONG requestedAt;  // performance-counter ticks
    };
    std::deque<PendingWrite> pendingWrites;
    // The last write sent: when it was asked for and when it went out. A worker that fell behind
    // keeps the spacing the panel gave its writes (100 ms between the frames of one action).
    LONGLONG lastRequestedAt = 0;
    LONGLONG lastSentAt = 0;
    static constexpr std::size_t kMaxPendingWrites = 16;
    // Guards pendingWrites between Write and the worker's taking of a frame, held only for the
    // copy: a Write meeting a send never tears the frame being sent.
    CRITICAL_SECTION writeGuard;
    // The worker's copy of the frame it is sending.
    std::vector<BYTE> sendBuf;
    // Filled in by the outstanding line-event wait.
    DWORD eventMask = 0;
    // Whether a line-event wait is outstanding; only the worker touches it.
    bool waitPending = false;
};

// The worker started by StartMonitor; its argument is the port's Os.
UINT CommMonitorThread(void* param);
