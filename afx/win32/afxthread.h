// The worker thread object AfxBeginThread returns. Include <windows.h> before this header.
#pragma once

#include "afx/afxwin.h"

class CWinThread {
public:
    CWinThread(AFX_THREADPROC proc, void* param) : m_pfnThreadProc(proc), m_pThreadParams(param) {}
    CWinThread(const CWinThread&) = delete;
    CWinThread& operator=(const CWinThread&) = delete;
    virtual ~CWinThread();

    // Lets a thread created suspended run.
    DWORD ResumeThread();

    HANDLE m_hThread = nullptr;
    DWORD m_nThreadID = 0;
    // The thread deletes this object when it ends (AfxEndThread or return from its procedure).
    BOOL m_bAutoDelete = TRUE;
    AFX_THREADPROC m_pfnThreadProc;
    void* m_pThreadParams;
};
