#include <windows.h>

#include "ampd/Mutex.h"

namespace ampd {

static_assert(sizeof(SRWLOCK) == sizeof(void*), "an SRWLOCK is stored in one pointer");

void Mutex::lock()
{
    AcquireSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&m_lock));
}

void Mutex::unlock()
{
    ReleaseSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&m_lock));
}

}  // namespace ampd
