// An IStream over a byte vector whose Read and Write answers can be chosen
// call by call, for the failure paths that a real stream seldom takes.
#pragma once

#include <windows.h>
#include <objidl.h>

#include <functional>
#include <string.h>
#include <vector>

class CStubStream : public IStream
{
public:
    // What one Read or Write call answers: the result and how many of the
    // asked bytes it moves (-1: all of them, or what the data has).
    struct Answer
    {
        HRESULT hr;
        int cbMoved;
    };

    explicit CStubStream(std::vector<BYTE> data = {}) : m_data(std::move(data)) {}

    // Answers for the calls numbered nCall (0 = first) that differ from the
    // ordinary "S_OK, everything".
    void SetRead(int nCall, Answer a) { Set(m_reads, nCall, a); }
    void SetWrite(int nCall, Answer a) { Set(m_writes, nCall, a); }

    // Runs before every Read or Write call.
    std::function<void()> m_onCall;

    std::vector<BYTE> m_data;
    size_t m_nPos = 0;
    int m_nReadCalls = 0;
    int m_nWriteCalls = 0;

    STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override
    {
        if (NULL == ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_ISequentialStream || riid == IID_IStream)
        {
            *ppv = static_cast<IStream*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = NULL;
        return E_NOINTERFACE;
    }
    // Lives on the test's stack: the count only shows leaks.
    STDMETHOD_(ULONG, AddRef)() override { return static_cast<ULONG>(InterlockedIncrement(&m_nRef)); }
    STDMETHOD_(ULONG, Release)() override { return static_cast<ULONG>(InterlockedDecrement(&m_nRef)); }

    STDMETHOD(Read)(void* pv, ULONG cb, ULONG* pcbRead) override
    {
        if (m_onCall)
            m_onCall();
        const Answer a = Get(m_reads, m_nReadCalls++);
        const size_t cbLeft = m_data.size() - m_nPos;
        ULONG cbMove = (cb < cbLeft) ? cb : static_cast<ULONG>(cbLeft);
        if (a.cbMoved >= 0 && static_cast<ULONG>(a.cbMoved) < cbMove)
            cbMove = static_cast<ULONG>(a.cbMoved);
        memcpy(pv, m_data.data() + m_nPos, cbMove);
        m_nPos += cbMove;
        if (pcbRead)
            *pcbRead = cbMove;
        return a.hr;
    }
    STDMETHOD(Write)(const void* pv, ULONG cb, ULONG* pcbWritten) override
    {
        if (m_onCall)
            m_onCall();
        const Answer a = Get(m_writes, m_nWriteCalls++);
        const ULONG cbMove = (a.cbMoved >= 0 && static_cast<ULONG>(a.cbMoved) < cb) ? a.cbMoved : cb;
        const BYTE* pb = static_cast<const BYTE*>(pv);
        m_data.insert(m_data.end(), pb, pb + cbMove);
        if (pcbWritten)
            *pcbWritten = cbMove;
        return a.hr;
    }

    STDMETHOD(Seek)(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override { return E_NOTIMPL; }
    STDMETHOD(SetSize)(ULARGE_INTEGER) override { return E_NOTIMPL; }
    STDMETHOD(CopyTo)(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override { return E_NOTIMPL; }
    STDMETHOD(Commit)(DWORD) override { return E_NOTIMPL; }
    STDMETHOD(Revert)() override { return E_NOTIMPL; }
    STDMETHOD(LockRegion)(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    STDMETHOD(UnlockRegion)(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    STDMETHOD(Stat)(STATSTG*, DWORD) override { return E_NOTIMPL; }
    STDMETHOD(Clone)(IStream**) override { return E_NOTIMPL; }

    LONG m_nRef = 1;

private:
    static void Set(std::vector<Answer>& v, int nCall, Answer a)
    {
        if (static_cast<int>(v.size()) <= nCall)
            v.resize(nCall + 1, Answer{ S_OK, -1 });
        v[nCall] = a;
    }
    static Answer Get(const std::vector<Answer>& v, int nCall)
    {
        return (nCall < static_cast<int>(v.size())) ? v[nCall] : Answer{ S_OK, -1 };
    }

    std::vector<Answer> m_reads, m_writes;
};
