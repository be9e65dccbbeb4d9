#include <windows.h>

#include "afx/win32/winsys.h"

#include <process.h>

#include "afx/win32/afxthread.h"

namespace {

// The object of the thread that is running, for AfxEndThread.
thread_local CWinThread* t_currentThread = nullptr;

unsigned __stdcall ThreadEntry(void* arg)
{
    CWinThread* thread = static_cast<CWinThread*>(arg);
    t_currentThread = thread;
    const UINT exitCode = thread->m_pfnThreadProc(thread->m_pThreadParams);
    AfxEndThread(exitCode, thread->m_bAutoDelete);
}

}  // namespace

CWinThread::~CWinThread()
{
    if (m_hThread)
        CloseHandle(m_hThread);
}

DWORD CWinThread::ResumeThread()
{
    return ::ResumeThread(m_hThread);
}

CWinThread* AfxBeginThread(
    AFX_THREADPROC proc, void* param, int priority, UINT stackSize, DWORD createFlags, void* security)
{
    CWinThread* thread = new CWinThread(proc, param);
    // Created suspended so the object is complete and the priority set before the thread runs.
    unsigned threadId = 0;
    const uintptr_t handle = _beginthreadex(security, stackSize, ThreadEntry, thread, CREATE_SUSPENDED, &threadId);
    if (handle == 0) {
        delete thread;
        return nullptr;
    }
    thread->m_hThread = reinterpret_cast<HANDLE>(handle);
    thread->m_nThreadID = threadId;
    SetThreadPriority(thread->m_hThread, priority);
    if (!(createFlags & CREATE_SUSPENDED))
        thread->ResumeThread();
    return thread;
}

void AfxEndThread(UINT exitCode, BOOL deleteThread)
{
    CWinThread* thread = t_currentThread;
    t_currentThread = nullptr;
    if (thread && deleteThread)
        delete thread;
    _endthreadex(exitCode);
}
