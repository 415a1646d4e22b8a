// The log object's interface, shared by the filter module and the log library.
//
// IDSLog is a plain abstract class: no IUnknown, no reference count and no
// virtual destructor, so that its table is laid out the same by every
// compiler and clients in other modules can call it by position. The log
// library owns the single object for the whole life of the process.
//
// Trace records handed to OutputStringA/W: a first character from 1 to 31 is
// the message level plus one; any other first character is ordinary text and
// the message is filed at level 4.
#pragma once

#include <windows.h>

struct IDSLog
{
    // 0: TRUE when lines of this level are dropped (level above the configured one).
    virtual BOOL STDMETHODCALLTYPE IsLevelMuted(UINT nLevel) = 0;
    // 1: hands out one ring slot of *pcchRoom bytes; 0 on success.
    virtual HRESULT STDMETHODCALLTYPE ReserveLine(int* pnIndex, char** ppszText, int* pcchRoom) = 0;
    // 2: queues a reserved slot for the file; 0 on success.
    virtual HRESULT STDMETHODCALLTYPE CommitLine(UINT nIndex, int nKind, int nLevel) = 0;
    // 3: writes the ready lines into the file.
    virtual HRESULT STDMETHODCALLTYPE Flush() = 0;
    // 4: exception report and call stack.
    virtual HRESULT STDMETHODCALLTYPE DumpCallStack(EXCEPTION_POINTERS* pep, HANDLE hThread, BOOL bFast) = 0;
    // 5: a block of text written whole.
    virtual HRESULT STDMETHODCALLTYPE DumpBuffer(int cb, const char* pData) = 0;
    // 6: a registry key in the REGEDIT4 form.
    virtual HRESULT STDMETHODCALLTYPE DumpRegistryKey(HKEY hRoot, const char* pszSubKey) = 0;
    // 7: pClient is the client's cookie (the address of its IDSLog* variable).
    virtual HRESULT STDMETHODCALLTYPE RegisterClient(void* pClient, UINT_PTR nReserved1, UINT_PTR nReserved2) = 0;
    // 8: forgets the cookie and sets *ppClient to NULL.
    virtual HRESULT STDMETHODCALLTYPE UnregisterClient(void** ppClient) = 0;
    // 9: not offered.
    virtual HRESULT STDMETHODCALLTYPE Reserved(UINT_PTR, UINT_PTR, UINT_PTR) = 0;
    // 10, 11: one trace record; 1 when psz is NULL or empty, else 0.
    virtual int STDMETHODCALLTYPE OutputStringA(const char* psz) = 0;
    virtual int STDMETHODCALLTYPE OutputStringW(const wchar_t* psz) = 0;
};

// The log library's export (ordinal 1) that hands out the log object.
typedef HRESULT (WINAPI* PFN_GetLogObject)(IDSLog** ppLog);
