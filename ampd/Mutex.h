// The lock shared by the line's thread and the network's. std::mutex where the platform's C++
// library has it; on Windows a slim reader/writer lock, because MinGW's win32 thread model (the
// one the Windows programs are built with) has no std::mutex. Both work with std::lock_guard.
#pragma once

#ifdef _WIN32

namespace ampd {

class Mutex {
public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    // The names std::lock_guard calls.
    void lock();
    void unlock();

private:
    void* m_lock = nullptr;  // an SRWLOCK: one pointer, all zero when unlocked (SRWLOCK_INIT)
};

}  // namespace ampd

#else

#include <mutex>

namespace ampd {

using Mutex = std::mutex;

}  // namespace ampd

#endif
