// The Win32 state behind CCommPort, shared by the port object and its monitor thread.
// Include <windows.h> before this header.
#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "serial/CommPort.h"
#include "serial/WriteScheduler.h"

class CWinThread;

// Every purge flag: pending operations aborted, both queues emptied.
constexpr DWORD kAllPurgeFlags = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

// Holds a critical section for the life of a scope.
class Locked {
public:
    explicit Locked(CRITICAL_SECTION& lock) : m_lock(lock) { EnterCriticalSection(&m_lock); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
    ~Locked() { LeaveCriticalSection(&m_lock); }

private:
    CRITICAL_SECTION& m_lock;
};

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
    // { shutdown, port event, write (or, while the filler is written, its end) }: the lowest
    // signalled index wins.
    HANDLE events[3] = {};
    // The line wait only (WaitCommEvent's, or the one-byte read that waits for input); its event
    // is the port event. Reads and writes have records of their own: one record shared by two
    // outstanding operations can report one's completion as the other's.
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
    // Frames handed over and not yet sent, with the rule for when each goes out (or is dropped
    // as stale). Guarded by writeGuard, held only for a push or a take: a Write meeting a send
    // never tears the frame being sent.
    WriteScheduler writes;
    CRITICAL_SECTION writeGuard;
    // The worker's copy of the frame it is sending.
    std::vector<BYTE> sendBuf;
    // The filler owed after an abandoned write is being written (it keeps no deadline): the worker
    // goes on meanwhile, and starts no other write until it has ended. Only the worker touches it.
    bool fillerPending = false;
    // Filled in by the outstanding line-event wait.
    DWORD eventMask = 0;
    // Whether a line wait is outstanding; only the worker touches it.
    bool waitPending = false;
    // The line wait is a one-byte read (bytes are all the port subscribes to), not WaitCommEvent:
    // see MonitorThread.cpp. Chosen as the worker starts.
    bool readWait = false;
    // The byte that read takes.
    BYTE waitByte = 0;
    // That read ended without a byte (a timeout, a device at its end, a failure): it starts again
    // after the next heartbeat, so a read that ends at once cannot spin the worker.
    bool readWaitHeld = false;
    // The worker's own purge (before a frame) or cancel (of a write it gave up) has aborted I/O
    // since that read started: a read ending aborted then was ended by the worker.
    bool purgedSinceArmed = false;
    // A failure may be reported: once per write attempt, never from the heartbeat's own look at
    // the line, so a line that fails for good raises no more boxes than writes are tried.
    bool mayReport = true;
    bool heartbeatPass = false;
};

// The worker started by StartMonitor; its argument is the port's Os.
UINT CommMonitorThread(void* param);

// The clock the write rule runs on: the performance counter, in milliseconds.
inline WriteScheduler::Ms MonotonicMs()
{
    LARGE_INTEGER now;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<WriteScheduler::Ms>(now.QuadPart / (frequency.QuadPart / 1000));
}
