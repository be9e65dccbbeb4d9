// What the serial port tests share: the far end of the line (played by the runner on Linux),
// a window that records what the port hands over, waits with deadlines, and a watcher that
// answers the port's error boxes as an operator would.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

using Bytes = std::vector<BYTE>;

// The port number the runner linked to its pseudo-terminal (AMP_TEST_COM_PORT).
UINT TestComPort();

// The far end of the line, through the runner's line protocol.
class PeerLink {
public:
    PeerLink();
    PeerLink(const PeerLink&) = delete;
    PeerLink& operator=(const PeerLink&) = delete;
    ~PeerLink();

    bool IsConnected() const { return socket_ != INVALID_SOCKET_VALUE; }
    // One request line out, one answer line back ("" when the link failed).
    std::string Ask(const std::string& request);

    bool Send(const Bytes& bytes);
    // What the program wrote: up to count bytes, waiting at most timeoutMs for them.
    Bytes Receive(size_t count, DWORD timeoutMs);
    bool Discard();
    // "LINE baud=9600 stopbits=1 databits=8 parity=N ixon=0"
    std::string LineSettings();
    // Processes that have the line open (the test process and the wineserver while it is open);
    // -1 when the peer could not tell.
    int Holders();
    bool StopOutput();
    bool StartOutput();

private:
    static constexpr UINT_PTR INVALID_SOCKET_VALUE = ~static_cast<UINT_PTR>(0);
    UINT_PTR socket_ = INVALID_SOCKET_VALUE;
    std::string pending_;
};

// A window that records every port notification it is sent.
class RecordingWindow {
public:
    RecordingWindow();
    RecordingWindow(const RecordingWindow&) = delete;
    RecordingWindow& operator=(const RecordingWindow&) = delete;
    ~RecordingWindow();

    HWND hwnd() const { return hwnd_; }
    const Bytes& bytes() const { return bytes_; }
    // The second parameter of every byte notification.
    const std::vector<LPARAM>& ports() const { return ports_; }
    // Notifications other than bytes, by message number.
    const std::vector<UINT>& others() const { return others_; }
    // When each byte arrived (performance counter ticks).
    const std::vector<LONGLONG>& arrivals() const { return arrivals_; }
    void Clear();

private:
    static LRESULT CALLBACK Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    HWND hwnd_ = nullptr;
    Bytes bytes_;
    std::vector<LPARAM> ports_;
    std::vector<UINT> others_;
    std::vector<LONGLONG> arrivals_;
};

// Dispatches this thread's messages until done() holds or timeoutMs pass; true if it held.
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs);
// Dispatches what is waiting now, without waiting.
void PumpPending();
// Waits, dispatching nothing, until another thread is blocked sending this thread a message.
bool WaitForPendingSend(DWORD timeoutMs);

// Ends the test program if a call that must return does not within its time: a hang shows up
// as a named failure, not as the run's timeout.
class Watchdog {
public:
    Watchdog(const char* what, DWORD timeoutMs);
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;
    ~Watchdog();

private:
    static DWORD WINAPI Watch(void* self);
    std::string what_;
    DWORD timeoutMs_;
    HANDLE done_;
    HANDLE thread_;
};

// Finds the port's error boxes ("Application Error"), keeps their text and dismisses them.
class ReportWatcher {
public:
    ReportWatcher();
    ReportWatcher(const ReportWatcher&) = delete;
    ReportWatcher& operator=(const ReportWatcher&) = delete;
    ~ReportWatcher();

    std::vector<std::string> Texts();
    // Waits (dispatching this thread's messages) until count boxes have been answered.
    bool WaitForReports(size_t count, DWORD timeoutMs);

private:
    static DWORD WINAPI Watch(void* self);
    std::atomic<bool> stop_{false};
    CRITICAL_SECTION lock_;
    std::vector<std::string> texts_;
    HANDLE thread_;
};

// Identifiers of this process's threads, for telling whether a worker has ended.
std::vector<DWORD> ThreadIds();

// Runs the port holder program: 0 when it could open COM<portNr> for itself, 2 when the port
// was in use, another value on other failures.
DWORD RunPortHolder(UINT portNr);

std::string Hex(const Bytes& bytes);
Bytes AllByteValues(size_t count);
