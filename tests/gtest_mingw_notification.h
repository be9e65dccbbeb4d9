// GoogleTest's Notification for MinGW's win32 thread model, which has no std::mutex or
// std::condition_variable (GoogleTest's own version needs both; its Windows mutexes do not).
// Force-included into GoogleTest and the tests on Windows builds.
#pragma once

#if defined(__cplusplus) && defined(__MINGW32__)
#include <atomic>

#if !defined(_GLIBCXX_HAS_GTHREADS)
#define GTEST_HAS_NOTIFICATION_ 1

// As <windows.h> declares it; not included here so that no test gets its macros unasked.
extern "C" __declspec(dllimport) void __stdcall Sleep(unsigned long milliseconds);

namespace testing {
namespace internal {

// Lets threads started by GoogleTest's own thread helpers wait until they are told to go.
class Notification {
public:
    Notification() = default;
    Notification(const Notification&) = delete;
    Notification& operator=(const Notification&) = delete;

    void Notify() { notified_.store(true); }
    void WaitForNotification()
    {
        while (!notified_.load())
            Sleep(1);
    }

private:
    std::atomic<bool> notified_{false};
};

}  // namespace internal
}  // namespace testing
#endif
#endif
