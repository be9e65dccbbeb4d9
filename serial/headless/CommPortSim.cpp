// The headless CCommPort: the same observable behaviour as the Win32 engine (one byte per
// WM_PORT_RXCHAR, in order, delivered while the panel's thread is free; Close delivers the byte a
// worker would be blocked on and drops the rest; writes go out by the same write rule, when the
// worker is free), over a simulated line on the virtual clock.
#include "serial/CommPort.h"

#include <algorithm>
#include <set>
#include <string>

#include "afx/headless/Headless.h"
#include "serial/WriteScheduler.h"
#include "serial/headless/SimLine.h"

namespace {

struct Line {
    std::set<UINT> present;
    std::set<UINT> openFails;
    std::vector<UINT> probed;
    std::vector<simline::Write> writes;
    simline::Responder responder;
    CCommPort::Os* open = nullptr;  // the port object holding the line, if any
    int openCount = 0;
    DWORD lineFreeAt = 0;        // the amplifier sends one byte at a time: frames never interleave
    bool reportBoxOpen = false;  // the worker shows a report box and waits for the operator
};

Line& L()
{
    static Line line;
    return line;
}

// Byte time at 9600 baud, 8N1: ten bits, just over a millisecond.
constexpr DWORD kByteTimeMs = 1;

bool ParseDeviceName(const char* name, UINT* portNr)
{
    const std::string s = name ? name : "";
    const std::string prefix = "\\\\.\\COM";
    if (s.compare(0, prefix.size(), prefix) != 0 || s.size() == prefix.size())
        return false;
    UINT n = 0;
    for (std::size_t i = prefix.size(); i < s.size(); ++i) {
        if (s[i] < '0' || s[i] > '9' || n > 100000)
            return false;
        n = n * 10 + static_cast<UINT>(s[i] - '0');
    }
    *portNr = n;
    return true;
}

}  // namespace

struct CCommPort::Os {
    HWND owner = nullptr;
    UINT portNr = 0;
    UINT writeBufSize = 0;
    bool open = false;
    bool monitored = false;
    WriteScheduler writes;
};

namespace {

// The worker's turn: sends what is due unless it is blocked, on a report box or on a byte the
// panel's thread has not taken yet, and asks to run again when the next frame falls due.
void RunWorker()
{
    CCommPort::Os* port = L().open;
    if (!port || !port->monitored || L().reportBoxOpen || headless::SendWaiting(port->owner))
        return;
    const DWORD now = headless::Now();
    std::vector<BYTE> frame;
    while (port->writes.TakeDue(now, frame)) {
        L().writes.push_back(simline::Write{now, port->portNr, frame});
        if (L().responder)
            L().responder(frame);
    }
    const WriteScheduler::Ms until = port->writes.UntilDue(now);
    // Each frame that never went out is told to the owner, as the worker tells it.
    for (const std::vector<BYTE>& dropped : port->writes.TakeDropped()) {
        const WPARAM code = dropped.size() > 3 ? dropped[3] : 0;
        headless::SendFromThread(port->owner, WM_PORT_TXDROPPED, code, static_cast<LPARAM>(port->portNr), now);
    }
    if (until != WriteScheduler::kNothingDue)
        headless::WakeWorkerAt(now + static_cast<DWORD>(until));
}

}  // namespace

CCommPort::CCommPort() : m_os(std::make_unique<Os>()) {}

CCommPort::~CCommPort()
{
    if (L().open == m_os.get())
        L().open = nullptr;
}

BOOL CCommPort::Open(
    HWND owner, UINT portNr, UINT, char, UINT, UINT, DWORD, UINT writeBufSize, DWORD, DWORD, DWORD, DWORD, DWORD)
{
    // An open on a monitored port stops its worker first; its undelivered bytes are gone.
    if (m_os->monitored && m_os->owner)
        headless::DropSends(m_os->owner, WM_PORT_RXCHAR);
    m_os->monitored = false;
    if (m_os->open) {
        m_os->open = false;
        L().open = nullptr;
    }
    m_os->owner = owner;
    m_os->portNr = portNr;
    m_os->writeBufSize = writeBufSize;
    m_os->writes.Clear();
    if (!L().present.count(portNr) || L().openFails.count(portNr) || (L().open && L().open != m_os.get()))
        return FALSE;
    m_os->open = true;
    L().open = m_os.get();
    ++L().openCount;
    return TRUE;
}

BOOL CCommPort::StartMonitor()
{
    if (!m_os->open || m_os->monitored)
        return FALSE;
    m_os->monitored = true;
    headless::SetWorker(RunWorker);
    RunWorker();
    return TRUE;
}

void CCommPort::Close()
{
    if (m_os->monitored && m_os->owner) {
        // The worker may be blocked handing over a byte that has arrived: that one is delivered.
        headless::DeliverArrivedSend(m_os->owner);
        headless::DropSends(m_os->owner, WM_PORT_RXCHAR);
    }
    m_os->monitored = false;
    m_os->open = false;
    m_os->writes.Clear();
    if (L().open == m_os.get())
        L().open = nullptr;
}

BOOL CCommPort::Write(const BYTE* bytes, UINT n)
{
    if (!m_os->open || n > m_os->writeBufSize || (n > 0 && !bytes))
        return FALSE;
    m_os->writes.Push(bytes, n, headless::Now());
    RunWorker();  // the write event wakes the worker
    return TRUE;
}

BOOL CCommPort::IsOpen() const
{
    return m_os->open;
}

BOOL ProbeCommDevice(const char* deviceName)
{
    UINT n = 0;
    if (!ParseDeviceName(deviceName, &n))
        return FALSE;
    L().probed.push_back(n);
    return L().present.count(n) != 0;
}

namespace simline {

void Reset()
{
    L() = Line();
}

void SetPresent(UINT portNr, bool present)
{
    if (present)
        L().present.insert(portNr);
    else
        L().present.erase(portNr);
}

void SetOpenFails(UINT portNr, bool fails)
{
    if (fails)
        L().openFails.insert(portNr);
    else
        L().openFails.erase(portNr);
}

const std::vector<UINT>& Probed()
{
    return L().probed;
}

bool IsOpen()
{
    return L().open != nullptr;
}

bool IsMonitored()
{
    return L().open != nullptr && L().open->monitored;
}

UINT OpenPort()
{
    return L().open ? L().open->portNr : 0;
}

int OpenCount()
{
    return L().openCount;
}

const std::vector<Write>& Writes()
{
    return L().writes;
}

void ClearWrites()
{
    L().writes.clear();
}

void Arrive(const std::vector<BYTE>& bytes, DWORD delayMs)
{
    CCommPort::Os* port = L().open;
    if (!port || !port->monitored)
        return;
    DWORD at = std::max(headless::Now() + delayMs, L().lineFreeAt);
    for (BYTE b : bytes) {
        headless::SendFromThread(port->owner, WM_PORT_RXCHAR, b, static_cast<LPARAM>(port->portNr), at);
        at += kByteTimeMs;
    }
    L().lineFreeAt = at;
}

void SetResponder(Responder responder)
{
    L().responder = std::move(responder);
}

void ShowReportBox()
{
    L().reportBoxOpen = true;
}

void DismissReportBox()
{
    L().reportBoxOpen = false;
    RunWorker();
}

}  // namespace simline
