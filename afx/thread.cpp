// AfxBeginThread: worker threads on CreateThread.
#include <stdlib.h>

#include "afxwin.h"

namespace {

DWORD WINAPI AfxThreadEntry(LPVOID parameter) {
  CWinThread* thread = static_cast<CWinThread*>(parameter);
  UINT result = thread->m_pfnThreadProc(thread->m_pThreadParams);
  free(thread);
  return result;
}

}  // namespace

CWinThread* AfxBeginThread(AFX_THREADPROC pfnThreadProc, LPVOID pParam) {
  CWinThread* thread = static_cast<CWinThread*>(malloc(sizeof(CWinThread)));
  if (thread == nullptr) return nullptr;
  thread->m_pfnThreadProc = pfnThreadProc;
  thread->m_pThreadParams = pParam;
  DWORD threadId;  // Windows 95 and 98 fail CreateThread without somewhere to put it
  HANDLE handle = ::CreateThread(nullptr, 0, &AfxThreadEntry, thread, 0, &threadId);
  if (handle == nullptr) {
    free(thread);
    return nullptr;
  }
  ::CloseHandle(handle);
  return thread;
}
