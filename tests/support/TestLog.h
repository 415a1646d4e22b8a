// Log objects that tests put in place of the real one, and the binding of
// one to this module's first log client (the client every trace goes
// through), so that tests read the assertions and trace lines the code under
// test wrote, or drop them.
#pragma once

#include <DSTrace.h>

#include <string>
#include <vector>

// A log object that takes every call and keeps nothing: no level is muted,
// line reservations are not offered, flushes, dumps and client registrations
// succeed (an unregistered cookie is cleared, as the log library clears it).
// A test's log derives from it and keeps what it needs.
class CQuietLog : public IDSLog
{
public:
    BOOL STDMETHODCALLTYPE IsLevelMuted(UINT) override { return FALSE; }
    HRESULT STDMETHODCALLTYPE ReserveLine(int*, char**, int*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CommitLine(UINT, int, int) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Flush() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE DumpCallStack(EXCEPTION_POINTERS*, HANDLE, BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE DumpBuffer(int, const char*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE DumpRegistryKey(HKEY, const char*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE RegisterClient(void*, UINT_PTR, UINT_PTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE UnregisterClient(void** pp) override
    {
        if (pp)
            *pp = NULL;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Reserved(UINT_PTR, UINT_PTR, UINT_PTR) override { return E_NOTIMPL; }
    int STDMETHODCALLTYPE OutputStringA(const char*) override { return 1; }
    int STDMETHODCALLTYPE OutputStringW(const wchar_t*) override { return 1; }
};

// While it lives, this module's first log client traces into the given log
// object (NULL: into none, so every record is dropped); at the end the
// client's own comes back. Without a first client it changes nothing.
class CLogClientSwap
{
public:
    explicit CLogClientSwap(IDSLog* pLog) : m_pClient(g_pFirstLogClient)
    {
        if (m_pClient)
        {
            m_pSaved = m_pClient->m_plog;
            m_pClient->m_plog = pLog;
        }
    }
    ~CLogClientSwap()
    {
        if (m_pClient)
            m_pClient->m_plog = m_pSaved;
    }
    CLogClientSwap(const CLogClientSwap&) = delete;
    CLogClientSwap& operator=(const CLogClientSwap&) = delete;

    bool IsBound() const { return NULL != m_pClient; }

private:
    CLogClient* m_pClient;
    IDSLog* m_pSaved = NULL;
};

// A log object that records every trace record.
class CRecordingLog : public CQuietLog
{
public:
    int STDMETHODCALLTYPE OutputStringA(const char* psz) override
    {
        if (!psz || !*psz)
            return 1;
        m_lines.push_back(std::wstring(psz, psz + strlen(psz)));
        return 0;
    }
    int STDMETHODCALLTYPE OutputStringW(const wchar_t* psz) override
    {
        if (!psz || !*psz)
            return 1;
        m_lines.push_back(psz);
        return 0;
    }

    // True when some record holds the assertion of this expression text.
    bool HasAssert(const char* pszExpression) const
    {
        std::wstring strWanted = L"ASSERT( \"";
        strWanted += std::wstring(pszExpression, pszExpression + strlen(pszExpression));
        strWanted += L"\" )";
        for (const auto& line : m_lines)
            if (line.find(strWanted) != std::wstring::npos)
                return true;
        return false;
    }

    size_t CountAsserts() const
    {
        size_t n = 0;
        for (const auto& line : m_lines)
            if (line.find(L"###Err###\n") != std::wstring::npos)
                ++n;
        return n;
    }

    std::vector<std::wstring> m_lines;
};

// Binds a recording log to this module's first log client while it lives.
class CRecordingLogScope
{
public:
    CRecordingLog m_log;

private:
    CLogClientSwap m_swap{ &m_log };
};
