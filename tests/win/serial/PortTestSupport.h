// What the serial port tests need around CCommPort: the far end of the line (played by
// pty_peer.py), an owner window that records the notifications and answers the port's error
// boxes, and waits with deadlines.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include "serial/CommPort.h"

using Bytes = std::vector<BYTE>;

inline std::string Hex(const Bytes& bytes)
{
    std::string text;
    for (BYTE b : bytes)
        text += std::string(1, "0123456789abcdef"[b >> 4]) + "0123456789abcdef"[b & 15];
    return text;
}

inline Bytes AllByteValues(size_t count)
{
    Bytes bytes(count);
    std::iota(bytes.begin(), bytes.end(), BYTE(0));  // wraps after 0xFF
    return bytes;
}

// The far end of the line, through the runner's request lines on a local socket.
class PeerLink {
public:
    PeerLink()
    {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        const char* port = std::getenv("AMP_PEER_PORT");
        socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        const DWORD answerMs = 60000;
        setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&answerMs), sizeof answerMs);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<u_short>(port ? std::atoi(port) : 0));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = port && connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~PeerLink()
    {
        closesocket(socket_);
        WSACleanup();
    }

    // One request line out, its answer line back ("" when the link failed).
    std::string Ask(const std::string& request)
    {
        const std::string line = request + "\n";
        if (!connected_ || send(socket_, line.data(), int(line.size()), 0) != int(line.size()))
            return "";
        std::string answer;
        char chunk[4096];
        while (answer.empty() || answer.back() != '\n') {
            const int got = recv(socket_, chunk, sizeof chunk, 0);
            if (got <= 0)
                return "";
            answer.append(chunk, static_cast<size_t>(got));
        }
        answer.pop_back();
        return answer;
    }
    bool Send(const Bytes& bytes) { return Ask("SEND " + Hex(bytes)) == "OK"; }
    // What the program wrote, in hex: up to count bytes, waiting at most ms for them.
    std::string Receive(size_t count, DWORD ms)
    {
        const std::string answer = Ask("RECV " + std::to_string(count) + " " + std::to_string(ms));
        return answer.rfind("DATA ", 0) == 0 ? answer.substr(5) : "no answer: " + answer;
    }

private:
    SOCKET socket_ = INVALID_SOCKET;
    bool connected_ = false;
};

// The owner window (message-only): records every port notification it is sent and, as the
// operator would, answers the port's error boxes ("Application Error"), keeping their text.
struct OwnerWindow {
    HWND hwnd = nullptr;
    Bytes bytes;
    std::vector<std::pair<UINT, LPARAM>> notes;  // every notification: message and port number
    Bytes dropped;                               // the command code of each frame told dropped
    std::vector<std::string> reports;
    HWND answered = nullptr;
    // Called with the count of bytes received, as each is taken: the owner's own work, while the
    // worker waits for it to return.
    std::function<void(size_t)> onByte;

    OwnerWindow()
    {
        WNDCLASSA windowClass = {};
        windowClass.lpfnWndProc = Procedure;
        windowClass.hInstance = GetModuleHandleA(nullptr);
        windowClass.lpszClassName = "AmpSerialTestWindow";
        RegisterClassA(&windowClass);  // an earlier window may have registered it: fine
        hwnd = CreateWindowExA(
            0, windowClass.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, windowClass.hInstance, nullptr);
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        // Ticks while this thread dispatches: in waits, and in the modal loop of a box it shows.
        SetTimer(hwnd, 1, 10, nullptr);
    }
    OwnerWindow(const OwnerWindow&) = delete;
    OwnerWindow& operator=(const OwnerWindow&) = delete;
    ~OwnerWindow() { DestroyWindow(hwnd); }

    void AnswerReport()
    {
        const HWND box = FindWindowA("#32770", "Application Error");
        if (!box || box == answered)
            return;
        char text[512] = "";
        GetDlgItemTextA(box, 0xFFFF, text, sizeof text);  // a message box's text control
        reports.push_back(text);
        PostMessageA(box, WM_COMMAND, IDOK, 0);
        answered = box;
    }

    static LRESULT CALLBACK Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
    {
        auto* self = reinterpret_cast<OwnerWindow*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
        if (self && message == WM_TIMER)
            self->AnswerReport();
        if (!self || message <= WM_USER || message > WM_PORT_TXDROPPED)
            return DefWindowProcA(hwnd, message, wParam, lParam);
        self->notes.emplace_back(message, lParam);
        if (message == WM_PORT_RXCHAR) {
            self->bytes.push_back(static_cast<BYTE>(wParam));
            if (self->onByte)
                self->onByte(self->bytes.size());
        }
        if (message == WM_PORT_TXDROPPED)
            self->dropped.push_back(static_cast<BYTE>(wParam));
        return 0;
    }
};

// Waits until done() holds or ms pass; true if it held. With pump, this thread's messages are
// dispatched meanwhile; without, messages other threads send it stay waiting.
template <class Done> bool WaitUntil(Done done, DWORD ms, bool pump = true)
{
    const ULONGLONG deadline = GetTickCount64() + ms;
    for (MSG msg;;) {
        while (pump && PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        if (done())
            return true;
        if (GetTickCount64() >= deadline)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    }
}

// Milliseconds on the performance counter, the clock the port's write rule runs on.
inline double MsNow()
{
    LARGE_INTEGER now;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return double(now.QuadPart) * 1000.0 / double(frequency.QuadPart);
}

// Whether the bytes of frame appear, in order and together, in what the peer received (in hex).
inline bool HexContains(const std::string& received, const Bytes& frame)
{
    const std::string wanted = Hex(frame);
    for (size_t at = received.find(wanted); at != std::string::npos; at = received.find(wanted, at + 1)) {
        if (at % 2 == 0)
            return true;
    }
    return false;
}

// Redirects this program's calls of a system function for the life of the object. The port's code
// is linked into the program, so its calls go through the program's import table: a test sees
// what the worker hands the system (the port's own handle: cancelling I/O goes by handle) and can
// make calls fail as a failing driver would.
class ImportRedirect {
public:
    ImportRedirect(const char* dll, const char* name, void* replacement)
    {
        const FARPROC target = GetProcAddress(GetModuleHandleA(dll), name);
        auto* base = reinterpret_cast<BYTE*>(GetModuleHandleA(nullptr));
        const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
            base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
        const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        for (auto* module = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
             target && module->Name != 0 && !slot_; ++module) {
            for (auto* thunk = reinterpret_cast<IMAGE_THUNK_DATA*>(base + module->FirstThunk); thunk->u1.Function != 0;
                 ++thunk) {
                if (thunk->u1.Function == reinterpret_cast<ULONG_PTR>(target)) {
                    slot_ = reinterpret_cast<void**>(&thunk->u1.Function);
                    break;
                }
            }
        }
        if (slot_)
            original_ = Set(replacement);
    }
    ImportRedirect(const ImportRedirect&) = delete;
    ImportRedirect& operator=(const ImportRedirect&) = delete;
    ~ImportRedirect()
    {
        if (slot_)
            Set(original_);
    }

    bool Active() const { return slot_ != nullptr; }
    void* Original() const { return original_; }

private:
    void* Set(void* function)
    {
        DWORD was = 0;
        VirtualProtect(slot_, sizeof *slot_, PAGE_READWRITE, &was);
        void* before = InterlockedExchangePointer(slot_, function);
        VirtualProtect(slot_, sizeof *slot_, was, &was);
        return before;
    }

    void** slot_ = nullptr;
    void* original_ = nullptr;
};

// The worker's reads, through ImportRedirect: the one-byte reads the worker makes (no one else in
// the program makes any) show the port's handle, and fail while failReads is set, refused at once
// as by a driver that no longer serves them.
namespace worker_reads {
inline std::atomic<HANDLE> port{nullptr};
inline std::atomic<bool> failReads{false};
inline std::atomic<long> reads{0};  // one-byte reads asked for
inline std::atomic<void*> systemRead{nullptr};

inline BOOL WINAPI Read(HANDLE file, LPVOID buffer, DWORD size, LPDWORD got, LPOVERLAPPED overlapped)
{
    if (size == 1 && overlapped) {
        port = file;
        ++reads;
        if (failReads) {
            SetLastError(ERROR_GEN_FAILURE);
            return FALSE;
        }
    }
    return reinterpret_cast<decltype(&ReadFile)>(systemRead.load())(file, buffer, size, got, overlapped);
}

// Redirects the program's ReadFile to Read for the life of the object.
class Redirect {
public:
    Redirect() : redirect_("kernel32.dll", "ReadFile", reinterpret_cast<void*>(&Read))
    {
        port = nullptr;
        failReads = false;
        systemRead = redirect_.Original();
    }
    ~Redirect() { failReads = false; }
    bool Active() const { return redirect_.Active(); }

private:
    ImportRedirect redirect_;
};
}  // namespace worker_reads

// CPU seconds a thread has used (GetCurrentProcess for the process as a whole: GetProcessTimes).
inline double CpuSeconds(HANDLE thread = nullptr)
{
    FILETIME created, exited, kernel, user;
    if (thread)
        GetThreadTimes(thread, &created, &exited, &kernel, &user);
    else
        GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    const auto seconds = [](FILETIME t) { return double((ULONGLONG(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7; };
    return seconds(kernel) + seconds(user);
}

// This process's threads that are not in known.
inline std::vector<DWORD> ThreadsBesides(const std::vector<DWORD>& known)
{
    std::vector<DWORD> ids;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId()
            && std::find(known.begin(), known.end(), entry.th32ThreadID) == known.end())
            ids.push_back(entry.th32ThreadID);
    }
    CloseHandle(snapshot);
    return ids;
}
