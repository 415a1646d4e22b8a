// Owning pointers, object creation and scoped locks of the framework.
#pragma once

#include "DSTrace.h"

#include <atlbase.h>
#include <atlcom.h>

// Creates a CComObject<X> and runs its final construction. On success
// *ppObject holds the object with one reference (the caller's) and the result
// is S_OK; on failure the object is gone, *ppObject is NULL and the creation's
// code is returned.
template <class X>
HRESULT CreateObject(CComObject<X>** ppObject)
{
    ASSERT(ppObject != NULL);
    if (NULL == ppObject)
        return E_POINTER;
    ASSERT(*ppObject == NULL);
    *ppObject = NULL;
    CComObject<X>* p = NULL;
    const HRESULT hr = CComObject<X>::CreateInstance(&p);
    if (FAILED(hr) || NULL == p)
        return FAILED(hr) ? hr : E_FAIL;
    p->AddRef();
    *ppObject = p;
    return hr;
}

// Owning pointer to a CComObject<X>: holds one reference, taken and dropped
// through the object's own IUnknown.
template <class X>
class CComObjectAutoPtr
{
public:
    typedef CComObject<X> _ObjClass;

    CComObjectAutoPtr() noexcept : p(NULL) {}
    ~CComObjectAutoPtr() { Release(); }

    CComObjectAutoPtr(const CComObjectAutoPtr&) = delete;
    CComObjectAutoPtr& operator=(const CComObjectAutoPtr&) = delete;

    // Drops the reference; the pointer is cleared first, so that code running
    // inside the object's destruction never sees it.
    void Release()
    {
        _ObjClass* pOld = p;
        if (pOld != NULL)
        {
            p = NULL;
            pOld->Release();
        }
    }

    operator _ObjClass*() const noexcept { return p; }
    bool operator!() const noexcept { return p == NULL; }

    _ObjClass* operator->() const
    {
        _LogAssert(p != NULL, __FILE__, __LINE__, "p!=NULL");
        return p;
    }

    // For creation straight into the pointer (CreateObject(&ap)). An object
    // still held would be overwritten, so it is released first.
    _ObjClass** operator&()
    {
        _LogAssert(p == NULL, __FILE__, __LINE__, "p==NULL");
        Release();
        return &p;
    }

    // Holds pNew (a reference of its own) and drops the old object. The new
    // reference is taken first, so that assigning the held object is safe.
    CComObjectAutoPtr& operator=(_ObjClass* pNew)
    {
        if (pNew != NULL)
            pNew->AddRef();
        _ObjClass* pOld = p;
        p = pNew;
        if (pOld != NULL)
            pOld->Release();
        return *this;
    }

    // The object's interface I, with a reference for the caller.
    template <class I>
    HRESULT CopyTo(I** pp) const
    {
        ASSERT(pp != NULL && *pp == NULL);
        ASSERT(p != NULL);
        if (NULL == pp)
            return E_POINTER;
        *pp = NULL;
        if (NULL == p)
            return E_POINTER;
        return p->QueryInterface(__uuidof(I), reinterpret_cast<void**>(pp));
    }

    _ObjClass* p;
};

// Holds a critical section for its own lifetime.
class CCritSecLock
{
public:
    explicit CCritSecLock(CRITICAL_SECTION& cs) noexcept : m_cs(cs) { EnterCriticalSection(&m_cs); }
    explicit CCritSecLock(ATL::CComCriticalSection& cs) noexcept : m_cs(cs.m_sec) { EnterCriticalSection(&m_cs); }
    ~CCritSecLock() { LeaveCriticalSection(&m_cs); }

    CCritSecLock(const CCritSecLock&) = delete;
    CCritSecLock& operator=(const CCritSecLock&) = delete;

private:
    CRITICAL_SECTION& m_cs;
};

// The gate of a lock that has two kinds of holders: holders that call out
// to a neighbour while they hold it (the neighbour may then wait for a lock
// of its own), and holders that keep it for moments only. A thread that may
// itself hold such a neighbour's lock must not wait behind a holder of the
// first kind (the two would wait for each other), but waits in the lock's
// queue like any thread behind holders of the second kind, however many
// there are: contention for moments never changes what it gets.
//
// The two kinds meet without a race: a waiter counts itself before it looks
// for holders that call out, and such a holder counts itself before it looks
// for waiters; a holder that finds a waiter counted, once it has the lock,
// lets the waiter in first. So a waiter that found no such holder is never
// left behind one.
class CCallOutGate
{
public:
    // Enters cs for a span in which the caller calls out. A thread that
    // holds cs already goes on holding it.
    void EnterForCallOut(CRITICAL_SECTION& cs) noexcept
    {
        InterlockedIncrement(&m_nCallOut);
        for (DWORD n = 0;; ++n)
        {
            EnterCriticalSection(&cs);
            if (cs.RecursionCount > 1 || 0 == InterlockedCompareExchange(&m_nWaiters, 0, 0))
                return;
            LeaveCriticalSection(&cs);
            if (n < 16)
                SwitchToThread();
            else
                Sleep(1);
        }
    }
    void LeaveForCallOut(CRITICAL_SECTION& cs) noexcept
    {
        LeaveCriticalSection(&cs);
        InterlockedDecrement(&m_nCallOut);
    }

    // Enters cs: true with cs held. Behind holders that keep it for moments
    // the caller waits as long as they take; false without cs only when
    // holders that call out kept it for dwMs all along (the wait might never
    // end).
    bool EnterUnlessCalledOut(CRITICAL_SECTION& cs, DWORD dwMs) noexcept
    {
        const DWORD dwStart = GetTickCount();
        for (;;)
        {
            if (TryEnterCriticalSection(&cs))
                return true;
            InterlockedIncrement(&m_nWaiters);
            if (0 == InterlockedCompareExchange(&m_nCallOut, 0, 0))
            {
                EnterCriticalSection(&cs);
                InterlockedDecrement(&m_nWaiters);
                return true;
            }
            InterlockedDecrement(&m_nWaiters);
            if (GetTickCount() - dwStart >= dwMs)
                return false;
            Sleep(1);
        }
    }

private:
    volatile LONG m_nCallOut = 0; // holders that call out, in or coming
    volatile LONG m_nWaiters = 0; // waiters that queue for cs now
};

// Holds cs through gate for a span that calls out, at the end of a scope.
class CCallOutLock
{
public:
    CCallOutLock(CCallOutGate& gate, CRITICAL_SECTION& cs) noexcept : m_gate(gate), m_cs(cs)
    {
        m_gate.EnterForCallOut(m_cs);
    }
    ~CCallOutLock() { m_gate.LeaveForCallOut(m_cs); }

    CCallOutLock(const CCallOutLock&) = delete;
    CCallOutLock& operator=(const CCallOutLock&) = delete;

private:
    CCallOutGate& m_gate;
    CRITICAL_SECTION& m_cs;
};

// Leaves a critical section that the caller entered, at the end of a scope.
class CCritSecLeave
{
public:
    explicit CCritSecLeave(CRITICAL_SECTION& cs) noexcept : m_cs(cs) {}
    ~CCritSecLeave() { LeaveCriticalSection(&m_cs); }

    CCritSecLeave(const CCritSecLeave&) = delete;
    CCritSecLeave& operator=(const CCritSecLeave&) = delete;

private:
    CRITICAL_SECTION& m_cs;
};
