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

// Enters cs if it can within dwMs: true with cs held, false without it. For
// a lock that a foreign thread may hold while it waits for one of ours.
inline bool EnterCriticalSectionWithin(CRITICAL_SECTION& cs, DWORD dwMs) noexcept
{
    const DWORD dwStart = GetTickCount();
    while (!TryEnterCriticalSection(&cs))
    {
        if (GetTickCount() - dwStart >= dwMs)
            return false;
        Sleep(1);
    }
    return true;
}

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
