#include <windows.h>

#include "afx/win32/winsys.h"

#include "serial/CommPort.h"

#include <cstdio>
#include <cstring>

#include "afx/win32/afxthread.h"
#include "serial/win32/CommPortOs.h"
#include "serial/win32/LineCodes.h"
#include "serial/win32/PortReport.h"

namespace {

constexpr BYTE kEventChar = 'q';
// How long a stopping loop sleeps before it asks the worker again, at most.
constexpr DWORD kStopPollMs = 10;
// How long to wait for a worker that has left its loop to finish ending.
constexpr DWORD kThreadEndMs = 1000;
// A timeout in seconds never wraps; MAXDWORD itself means something else to the line.
constexpr DWORD kLongestTimeoutMs = MAXDWORD - 1;

DWORD SecondsToMs(DWORD seconds)
{
    return seconds > kLongestTimeoutMs / 1000 ? kLongestTimeoutMs : seconds * 1000;
}

// Creates the manual-reset event the first time, resets it afterwards.
bool ReadyEvent(HANDLE& event)
{
    if (event)
        return ResetEvent(event) != FALSE;
    event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return event != nullptr;
}

void CloseEvent(HANDLE& event)
{
    if (event)
        CloseHandle(event);
    event = nullptr;
}

void ResetIfCreated(HANDLE event)
{
    if (event)
        ResetEvent(event);
}

// What the panel's thread does while it waits for the worker to end.
enum class WhileStopping {
    // Dispatch the owner's messages: the worker may be waiting for the owner to take a byte.
    DispatchOwnerMessages,
    // Queued messages stay queued; only messages the worker sends synchronously are let through,
    // so a worker blocked handing over a byte can still finish.
    LetSentMessagesThrough,
};

void PumpWhileStopping(const CCommPort::Os& os, WhileStopping how)
{
    MSG msg;
    if (how == WhileStopping::DispatchOwnerMessages) {
        if (PeekMessageA(&msg, os.owner, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    } else {
        PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

// Asks the worker to end until it has seen the request, then lets it finish ending.
void StopWorker(CCommPort::Os& os, WhileStopping how)
{
    const DWORD wakeOn = how == WhileStopping::DispatchOwnerMessages ? QS_ALLINPUT : QS_SENDMESSAGE;
    const DWORD handles = os.threadHandle ? 1 : 0;
    while (os.threadAlive) {
        SetEvent(os.shutdownEvent);
        PumpWhileStopping(os, how);
        if (!os.threadAlive)
            break;
        MsgWaitForMultipleObjects(handles, &os.threadHandle, FALSE, kStopPollMs, wakeOn);
    }
    if (os.threadHandle) {
        WaitForSingleObject(os.threadHandle, kThreadEndMs);
        CloseHandle(os.threadHandle);
        os.threadHandle = nullptr;
    }
    os.thread = nullptr;  // the worker deleted it as it ended
}

bool ReadyEvents(CCommPort::Os& os)
{
    const bool ready = ReadyEvent(os.overlapped.hEvent) && ReadyEvent(os.writeEvent) && ReadyEvent(os.shutdownEvent)
        && ReadyEvent(os.readOverlapped.hEvent) && ReadyEvent(os.writeOverlapped.hEvent);
    os.events[0] = os.shutdownEvent;
    os.events[1] = os.overlapped.hEvent;
    os.events[2] = os.writeEvent;
    return ready;
}

void ResetLock(CRITICAL_SECTION& lock, bool& ready)
{
    if (ready)
        DeleteCriticalSection(&lock);
    InitializeCriticalSection(&lock);
    ready = true;
}

void ClearOffsets(OVERLAPPED& record)
{
    record.Offset = 0;
    record.OffsetHigh = 0;
}

HANDLE OpenDevice(UINT portNr)
{
    char name[24];
    std::snprintf(name, sizeof name, "\\\\.\\COM%u", portNr);
    const HANDLE comm
        = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    return comm == INVALID_HANDLE_VALUE ? nullptr : comm;
}

struct LineSettings {
    DWORD baud;
    BYTE parity;
    BYTE dataBits;
    BYTE stopBits;
};

// Applies timeouts, event mask and line settings, stopping at the first failure, which is
// reported; the port stays open either way.
void ConfigureLine(CCommPort::Os& os, const LineSettings& line)
{
    if (!SetCommTimeouts(os.comm, &os.timeouts))
        return ReportPortError("SetCommTimeouts()", GetLastError(), os.portNr);
    if (!SetCommMask(os.comm, os.commEvents))
        return ReportPortError("SetCommMask()", GetLastError(), os.portNr);
    os.dcb.DCBlength = sizeof os.dcb;
    if (!GetCommState(os.comm, &os.dcb))
        return ReportPortError("GetCommState()", GetLastError(), os.portNr);

    // Everything else (DTR, hardware flow control, binary mode, special characters) stays as
    // read, except software flow control: on a binary line it would swallow every data byte
    // that happens to be 0x11 or 0x13 (Wine reads it as on from a new Linux terminal).
    os.dcb.fOutX = FALSE;
    os.dcb.fInX = FALSE;
    os.dcb.fRtsControl = RTS_CONTROL_ENABLE;
    os.dcb.EvtChar = static_cast<char>(kEventChar);
    os.dcb.BaudRate = line.baud;
    os.dcb.Parity = line.parity;
    os.dcb.ByteSize = line.dataBits;
    os.dcb.StopBits = line.stopBits;
    if (!SetCommState(os.comm, &os.dcb))
        return ReportPortError("SetCommState()", GetLastError(), os.portNr);
}

// Stops the worker, then closes the device.
void CloseLine(CCommPort::Os& os, WhileStopping how)
{
    StopWorker(os, how);
    if (os.comm)
        CloseHandle(os.comm);
    os.comm = nullptr;
}

}  // namespace

CCommPort::Os::Os()
{
    InitializeCriticalSection(&writeGuard);
}

CCommPort::Os::~Os()
{
    DeleteCriticalSection(&writeGuard);
    if (lockReady)
        DeleteCriticalSection(&lock);
}

CCommPort::CCommPort() : m_os(std::make_unique<Os>()) {}

CCommPort::~CCommPort()
{
    Os& os = *m_os;
    CloseLine(os, WhileStopping::LetSentMessagesThrough);
    CloseEvent(os.shutdownEvent);
    CloseEvent(os.overlapped.hEvent);
    CloseEvent(os.writeEvent);
    CloseEvent(os.readOverlapped.hEvent);
    CloseEvent(os.writeOverlapped.hEvent);
}

BOOL CCommPort::Open(HWND owner, UINT portNr, UINT baud, char parity, UINT dataBits, UINT stopBits, DWORD commEvents,
    UINT writeBufSize, DWORD readIntervalTimeout, DWORD readTotalTimeoutMultiplier, DWORD readTotalTimeoutConstant,
    DWORD writeTotalTimeoutMultiplier, DWORD writeTotalTimeoutConstant)
{
    Os& os = *m_os;
    StopWorker(os, WhileStopping::LetSentMessagesThrough);
    if (!ReadyEvents(os))
        return FALSE;

    ResetLock(os.lock, os.lockReady);
    os.owner = owner;
    {
        Locked guarded(os.writeGuard);
        os.writes.Clear();
    }
    os.sendBuf.clear();
    os.portNr = portNr;
    os.writeBufSize = writeBufSize;
    os.commEvents = commEvents;
    os.waitPending = false;
    os.fillerPending = false;
    os.mayReport = true;
    ClearOffsets(os.overlapped);
    ClearOffsets(os.readOverlapped);
    ClearOffsets(os.writeOverlapped);

    Locked locked(os.lock);
    if (os.comm)
        CloseHandle(os.comm);
    os.comm = OpenDevice(portNr);
    if (!os.comm)
        return FALSE;

    os.timeouts.ReadIntervalTimeout = SecondsToMs(readIntervalTimeout);
    os.timeouts.ReadTotalTimeoutMultiplier = SecondsToMs(readTotalTimeoutMultiplier);
    os.timeouts.ReadTotalTimeoutConstant = SecondsToMs(readTotalTimeoutConstant);
    os.timeouts.WriteTotalTimeoutMultiplier = SecondsToMs(writeTotalTimeoutMultiplier);
    os.timeouts.WriteTotalTimeoutConstant = SecondsToMs(writeTotalTimeoutConstant);
    ConfigureLine(os, LineSettings{baud, ParityCode(parity), static_cast<BYTE>(dataBits), StopBitsCode(stopBits)});

    PurgeComm(os.comm, kAllPurgeFlags);
    return TRUE;
}

BOOL CCommPort::StartMonitor()
{
    Os& os = *m_os;
    // A worker without a port would only report failures; a second one would race the first.
    if (!os.comm || os.threadAlive)
        return FALSE;

    // Alive before the thread exists, so a Close right after this waits for it.
    os.threadAlive = TRUE;
    CWinThread* thread = AfxBeginThread(CommMonitorThread, &os, THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED);
    if (!thread) {
        os.threadAlive = FALSE;
        return FALSE;
    }
    DuplicateHandle(
        GetCurrentProcess(), thread->m_hThread, GetCurrentProcess(), &os.threadHandle, SYNCHRONIZE, FALSE, 0);
    os.thread = thread;
    thread->ResumeThread();
    return TRUE;
}

void CCommPort::Close()
{
    Os& os = *m_os;
    CloseLine(os, WhileStopping::DispatchOwnerMessages);
    ResetIfCreated(os.shutdownEvent);
    ResetIfCreated(os.overlapped.hEvent);
    ResetIfCreated(os.writeEvent);
}

BOOL CCommPort::Write(const BYTE* bytes, UINT n)
{
    Os& os = *m_os;
    if (!os.comm || n > os.writeBufSize || (n > 0 && !bytes))
        return FALSE;
    Locked guarded(os.writeGuard);
    os.writes.Push(bytes, n, MonotonicMs());
    SetEvent(os.writeEvent);
    return TRUE;
}

BOOL CCommPort::IsOpen() const
{
    return m_os->comm != nullptr;
}

BOOL ProbeCommDevice(const char* deviceName)
{
    const HANDLE device = CreateFileA(deviceName, 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE)
        return FALSE;
    CloseHandle(device);
    return TRUE;
}
