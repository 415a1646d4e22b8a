// Helpers shared by the allocator tests: allocator creation (ours and
// Wine's), a GetBuffer call on a thread of its own, and a recording log that
// several threads may write to.
#pragma once

#include <DSAllocators.h>

#include "TestLog.h"
#include "dsfix/Com.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

typedef CMemoryAllocatorT<CBufferOnVirtualAlloc> COurAllocator;

inline HRESULT CreateOurAllocator(IMemAllocator** pp)
{
    return COurAllocator::CreateInstance(pp);
}

inline HRESULT CreateWineAllocator(IMemAllocator** pp)
{
    return CoCreateInstance(CLSID_MemoryAllocator, NULL, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                            reinterpret_cast<void**>(pp));
}

inline ALLOCATOR_PROPERTIES Props(LONG cBuffers, LONG cbBuffer, LONG cbAlign, LONG cbPrefix)
{
    ALLOCATOR_PROPERTIES p = { cBuffers, cbBuffer, cbAlign, cbPrefix };
    return p;
}

inline bool operator==(const ALLOCATOR_PROPERTIES& a, const ALLOCATOR_PROPERTIES& b)
{
    return a.cBuffers == b.cBuffers && a.cbBuffer == b.cbBuffer && a.cbAlign == b.cbAlign && a.cbPrefix == b.cbPrefix;
}

inline std::ostream& operator<<(std::ostream& os, const ALLOCATOR_PROPERTIES& p)
{
    return os << "{" << p.cBuffers << ", " << p.cbBuffer << ", " << p.cbAlign << ", " << p.cbPrefix << "}";
}

// Sets the properties and commits; a test failure when either call fails.
inline void SetAndCommit(IMemAllocator* pAlloc, ALLOCATOR_PROPERTIES props)
{
    ALLOCATOR_PROPERTIES actual = {};
    ASSERT_EQ(S_OK, pAlloc->SetProperties(&props, &actual));
    ASSERT_EQ(S_OK, pAlloc->Commit());
}

inline LONG FreeCount(IMemAllocator* pAlloc, HRESULT* phr = NULL)
{
    dsfix::ComPtr<IMemAllocatorCallbackTemp> spCb;
    LONG l = -1;
    HRESULT hr = pAlloc->QueryInterface(IID_IMemAllocatorCallbackTemp, reinterpret_cast<void**>(&spCb));
    if (SUCCEEDED(hr))
        hr = spCb->GetFreeCount(&l);
    if (phr)
        *phr = hr;
    return l;
}

// One GetBuffer call on a thread of its own, for calls that block.
class CAsyncGetBuffer
{
public:
    explicit CAsyncGetBuffer(IMemAllocator* pAlloc, DWORD dwFlags = 0) : m_pAlloc(pAlloc), m_dwFlags(dwFlags)
    {
        m_pAlloc->AddRef();
        m_hThread = CreateThread(NULL, 0, &CAsyncGetBuffer::Run, this, 0, NULL);
    }
    ~CAsyncGetBuffer()
    {
        // A call still blocked here would outlive the test: give up loudly.
        if (WAIT_OBJECT_0 != WaitForSingleObject(m_hThread, 10000))
        {
            ADD_FAILURE() << "GetBuffer still blocked at the end of the test";
            TerminateProcess(GetCurrentProcess(), 3);
        }
        CloseHandle(m_hThread);
        if (m_pSample)
            m_pSample->Release();
        m_pAlloc->Release();
    }
    CAsyncGetBuffer(const CAsyncGetBuffer&) = delete;
    CAsyncGetBuffer& operator=(const CAsyncGetBuffer&) = delete;

    // True when the call has returned within the time.
    bool Done(DWORD ms) { return WAIT_OBJECT_0 == WaitForSingleObject(m_hThread, ms); }
    HRESULT Result() const { return m_hr; }
    // The sample the call got, with its reference (the caller's now).
    IMediaSample* Take()
    {
        IMediaSample* p = m_pSample;
        m_pSample = NULL;
        return p;
    }

private:
    static DWORD WINAPI Run(void* pv)
    {
        CAsyncGetBuffer* p = static_cast<CAsyncGetBuffer*>(pv);
        p->m_hr = p->m_pAlloc->GetBuffer(&p->m_pSample, NULL, NULL, p->m_dwFlags);
        return 0;
    }

    IMemAllocator* m_pAlloc;
    DWORD m_dwFlags;
    HANDLE m_hThread = NULL;
    IMediaSample* m_pSample = NULL;
    HRESULT m_hr = E_PENDING;
};

// A recording log that tolerates trace lines from several threads.
class CLockedLog : public CRecordingLog
{
public:
    CLockedLog() { InitializeCriticalSection(&m_cs); }
    ~CLockedLog() { DeleteCriticalSection(&m_cs); }

    int STDMETHODCALLTYPE OutputStringW(const wchar_t* psz) override
    {
        EnterCriticalSection(&m_cs);
        const int n = CRecordingLog::OutputStringW(psz);
        LeaveCriticalSection(&m_cs);
        return n;
    }

    // Records holding the text.
    size_t Count(const wchar_t* pszText)
    {
        EnterCriticalSection(&m_cs);
        size_t n = 0;
        for (const auto& line : m_lines)
            if (line.find(pszText) != std::wstring::npos)
                ++n;
        LeaveCriticalSection(&m_cs);
        return n;
    }
    bool Has(const wchar_t* pszText) { return Count(pszText) > 0; }

    // The record holding the text, with its level character, or "".
    std::wstring Find(const wchar_t* pszText)
    {
        EnterCriticalSection(&m_cs);
        std::wstring s;
        for (const auto& line : m_lines)
            if (line.find(pszText) != std::wstring::npos)
            {
                s = line;
                break;
            }
        LeaveCriticalSection(&m_cs);
        return s;
    }

    void Clear()
    {
        EnterCriticalSection(&m_cs);
        m_lines.clear();
        LeaveCriticalSection(&m_cs);
    }

private:
    CRITICAL_SECTION m_cs;
};

// Binds a CLockedLog to this module's first log client while it lives.
class CLogCapture
{
public:
    CLockedLog* operator->() { return &m_log; }
    CLockedLog m_log;

private:
    CLogClientSwap m_swap{ &m_log };
};

// The level a record was traced at (its first character is the level + 1).
inline int RecordLevel(const std::wstring& s)
{
    return s.empty() ? -1 : static_cast<int>(s[0]) - 1;
}

// COM for the whole test program, in the multi-threaded apartment.
class CComEnvironment : public ::testing::Environment
{
public:
    void SetUp() override { CoInitializeEx(NULL, COINIT_MULTITHREADED); }
    void TearDown() override { CoUninitialize(); }
};
