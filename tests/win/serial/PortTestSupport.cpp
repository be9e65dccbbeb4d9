#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>
#include <tlhelp32.h>

#include "PortTestSupport.h"

#include <cstdio>
#include <cstdlib>

#include "serial/CommPort.h"

namespace {

constexpr DWORD kPeerAnswerMs = 60000;
constexpr DWORD kReportPollMs = 5;
constexpr DWORD kHolderRunMs = 60000;
constexpr DWORD kLongestPumpNapMs = 50;
constexpr char kReportCaption[] = "Application Error";
constexpr char kWindowClass[] = "AmpSerialTestWindow";

DWORD Remaining(ULONGLONG deadline)
{
    const ULONGLONG now = GetTickCount64();
    return now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool FromHex(const std::string& text, Bytes* bytes)
{
    if (text.size() % 2 != 0)
        return false;
    bytes->clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        const int high = HexDigit(text[i]), low = HexDigit(text[i + 1]);
        if (high < 0 || low < 0)
            return false;
        bytes->push_back(static_cast<BYTE>(high * 16 + low));
    }
    return true;
}

// The message text of a message box: its static control with text.
BOOL CALLBACK CollectText(HWND child, LPARAM param)
{
    char className[32] = "";
    GetClassNameA(child, className, sizeof className);
    char text[512] = "";
    GetWindowTextA(child, text, sizeof text);
    if (lstrcmpiA(className, "Static") == 0 && text[0])
        *reinterpret_cast<std::string*>(param) += text;
    return TRUE;
}

}  // namespace

UINT TestComPort()
{
    const char* port = std::getenv("AMP_TEST_COM_PORT");
    return port ? static_cast<UINT>(std::atoi(port)) : 0;
}

std::string Hex(const Bytes& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (BYTE b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

Bytes AllByteValues(size_t count)
{
    Bytes bytes(count);
    for (size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<BYTE>(i);
    return bytes;
}

// ---------------------------------------------------------------------------------------------

PeerLink::PeerLink()
{
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return;
    const char* port = std::getenv("AMP_PEER_PORT");
    if (!port)
        return;
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return;
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(std::atoi(port)));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const DWORD timeout = kPeerAnswerMs;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        closesocket(s);
        return;
    }
    socket_ = s;
}

PeerLink::~PeerLink()
{
    if (IsConnected())
        closesocket(socket_);
    WSACleanup();
}

std::string PeerLink::Ask(const std::string& request)
{
    if (!IsConnected())
        return "";
    const std::string line = request + "\n";
    if (send(socket_, line.data(), static_cast<int>(line.size()), 0) != static_cast<int>(line.size()))
        return "";
    for (;;) {
        const size_t end = pending_.find('\n');
        if (end != std::string::npos) {
            std::string answer = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            return answer;
        }
        char chunk[4096];
        const int got = recv(socket_, chunk, sizeof chunk, 0);
        if (got <= 0)
            return "";
        pending_.append(chunk, static_cast<size_t>(got));
    }
}

bool PeerLink::Send(const Bytes& bytes)
{
    return Ask("SEND " + Hex(bytes)) == "OK";
}

Bytes PeerLink::Receive(size_t count, DWORD timeoutMs)
{
    const std::string answer =
        Ask("RECV " + std::to_string(count) + " " + std::to_string(timeoutMs));
    Bytes bytes;
    const std::string prefix = "DATA ";
    if (answer.rfind(prefix, 0) == 0)
        FromHex(answer.substr(prefix.size()), &bytes);
    return bytes;
}

bool PeerLink::Discard()
{
    return Ask("DISCARD").rfind("OK", 0) == 0;
}

std::string PeerLink::LineSettings()
{
    return Ask("LINE");
}

int PeerLink::Holders()
{
    const std::string answer = Ask("HOLDERS");
    const std::string prefix = "HOLDERS ";
    return answer.rfind(prefix, 0) == 0 ? std::atoi(answer.c_str() + prefix.size()) : -1;
}

bool PeerLink::StopOutput()
{
    return Ask("STOP") == "OK";
}

bool PeerLink::StartOutput()
{
    return Ask("START") == "OK";
}

// ---------------------------------------------------------------------------------------------

RecordingWindow::RecordingWindow()
{
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = Procedure;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = kWindowClass;
    RegisterClassA(&windowClass);  // already registered by an earlier window: fine
    hwnd_ = CreateWindowExA(0, kWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                            windowClass.hInstance, this);
}

RecordingWindow::~RecordingWindow()
{
    if (hwnd_)
        DestroyWindow(hwnd_);
}

void RecordingWindow::Clear()
{
    bytes_.clear();
    ports_.clear();
    others_.clear();
    arrivals_.clear();
}

LRESULT CALLBACK RecordingWindow::Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lParam);
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<RecordingWindow*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (self && message == WM_PORT_RXCHAR) {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        self->bytes_.push_back(static_cast<BYTE>(wParam));
        self->ports_.push_back(lParam);
        self->arrivals_.push_back(now.QuadPart);
        return 0;
    }
    if (self && message > WM_USER && message <= WM_PORT_RXFLAG) {
        self->others_.push_back(message);
        return 0;
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

// ---------------------------------------------------------------------------------------------

void PumpPending()
{
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        PumpPending();
        if (done())
            return true;
        const DWORD left = Remaining(deadline);
        if (left == 0)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, left < kLongestPumpNapMs ? left : kLongestPumpNapMs,
                                  QS_ALLINPUT);
    }
}

bool WaitForPendingSend(DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        if (HIWORD(GetQueueStatus(QS_SENDMESSAGE)) & QS_SENDMESSAGE)
            return true;
        const DWORD left = Remaining(deadline);
        if (left == 0)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, left < kLongestPumpNapMs ? left : kLongestPumpNapMs,
                                  QS_SENDMESSAGE);
    }
}

// ---------------------------------------------------------------------------------------------

Watchdog::Watchdog(const char* what, DWORD timeoutMs)
    : what_(what), timeoutMs_(timeoutMs), done_(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
      thread_(CreateThread(nullptr, 0, Watch, this, 0, nullptr))
{
}

Watchdog::~Watchdog()
{
    SetEvent(done_);
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
    CloseHandle(done_);
}

DWORD WINAPI Watchdog::Watch(void* param)
{
    auto* self = static_cast<Watchdog*>(param);
    if (WaitForSingleObject(self->done_, self->timeoutMs_) == WAIT_OBJECT_0)
        return 0;
    std::fprintf(stderr, "FAILED: %s did not return within %lu ms\n", self->what_.c_str(),
                 self->timeoutMs_);
    std::fflush(stderr);
    ExitProcess(3);
}

// ---------------------------------------------------------------------------------------------

ReportWatcher::ReportWatcher()
{
    InitializeCriticalSection(&lock_);
    thread_ = CreateThread(nullptr, 0, Watch, this, 0, nullptr);
}

ReportWatcher::~ReportWatcher()
{
    stop_ = true;
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
    DeleteCriticalSection(&lock_);
}

std::vector<std::string> ReportWatcher::Texts()
{
    EnterCriticalSection(&lock_);
    std::vector<std::string> texts = texts_;
    LeaveCriticalSection(&lock_);
    return texts;
}

bool ReportWatcher::WaitForReports(size_t count, DWORD timeoutMs)
{
    return PumpUntil([this, count] { return Texts().size() >= count; }, timeoutMs);
}

DWORD WINAPI ReportWatcher::Watch(void* param)
{
    auto* self = static_cast<ReportWatcher*>(param);
    HWND answered = nullptr;
    while (!self->stop_) {
        const HWND box = FindWindowA("#32770", kReportCaption);
        if (box && box != answered) {
            std::string text;
            EnumChildWindows(box, CollectText, reinterpret_cast<LPARAM>(&text));
            EnterCriticalSection(&self->lock_);
            self->texts_.push_back(text);
            LeaveCriticalSection(&self->lock_);
            PostMessageA(box, WM_COMMAND, IDOK, 0);
            answered = box;
        }
        if (answered && !IsWindow(answered))
            answered = nullptr;
        Sleep(kReportPollMs);
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------

std::vector<DWORD> ThreadIds()
{
    std::vector<DWORD> ids;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return ids;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId())
            ids.push_back(entry.th32ThreadID);
    }
    CloseHandle(snapshot);
    return ids;
}

DWORD RunPortHolder(UINT portNr)
{
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string holder(path, length);
    holder = holder.substr(0, holder.find_last_of("\\/") + 1) + "serial_port_holder.exe";
    std::string commandLine = "\"" + holder + "\" " + std::to_string(portNr);

    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(holder.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &process))
        return 100;
    DWORD exitCode = 101;
    if (WaitForSingleObject(process.hProcess, kHolderRunMs) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.hProcess, &exitCode);
    else
        TerminateProcess(process.hProcess, exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return exitCode;
}
