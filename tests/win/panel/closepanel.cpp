// closepanel CAPTION [TIMEOUT_MS]
//
// Closes a running program's window the way the operator does, with the close box of its caption
// (WM_SYSCOMMAND SC_CLOSE), and waits for that program to end. Prints how long it took.
// Exit status: 0 ended in time, 2 no such window within the timeout, 3 did not end in time,
// 4 usage or system error.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr int kEnded = 0;
constexpr int kNoWindow = 2;
constexpr int kStillRunning = 3;
constexpr int kError = 4;

double MillisecondsSince(const LARGE_INTEGER& start)
{
    LARGE_INTEGER now, frequency;
    ::QueryPerformanceCounter(&now);
    ::QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(now.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
}

HWND FindWithin(const char* caption, DWORD timeoutMs)
{
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    HWND window = ::FindWindowA(nullptr, caption);
    while (window == nullptr && ::GetTickCount64() < deadline) {
        ::Sleep(20);
        window = ::FindWindowA(nullptr, caption);
    }
    return window;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: closepanel CAPTION [TIMEOUT_MS]\n");
        return kError;
    }
    const DWORD timeoutMs = argc == 3 ? static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10)) : 5000;

    const HWND window = FindWithin(argv[1], timeoutMs);
    if (window == nullptr) {
        std::fprintf(stderr, "closepanel: no window captioned \"%s\"\n", argv[1]);
        return kNoWindow;
    }
    DWORD processId = 0;
    ::GetWindowThreadProcessId(window, &processId);
    const HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, processId);
    if (process == nullptr) {
        std::fprintf(stderr, "closepanel: cannot open process %lu (error %lu)\n", processId, ::GetLastError());
        return kError;
    }

    LARGE_INTEGER start;
    ::QueryPerformanceCounter(&start);
    if (!::PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0)) {
        std::fprintf(stderr, "closepanel: cannot post to the window (error %lu)\n", ::GetLastError());
        ::CloseHandle(process);
        return kError;
    }
    const DWORD waited = ::WaitForSingleObject(process, timeoutMs);
    const double elapsed = MillisecondsSince(start);
    ::CloseHandle(process);
    if (waited != WAIT_OBJECT_0) {
        std::printf("closepanel: still running %.0f ms after the close\n", elapsed);
        return kStillRunning;
    }
    std::printf("closepanel: ended %.1f ms after the close\n", elapsed);
    return kEnded;
}
