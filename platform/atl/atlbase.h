// Basic classes of our ATL stand-in: thread models and their critical
// sections, the module's lock count, the interface-map walk, and the smart
// pointers CComPtr, CComQIPtr and CComBSTR.
//
// Only what the framework uses is here, under ATL's public names and with
// their meanings, so that the framework reads as ordinary ATL code. Nothing
// here throws except the auto critical section's constructor (as in ATL):
// every other failure is an HRESULT or an empty result, because an exception
// leaving a COM method would take the host process down.
#pragma once

#include "atldef.h"

#include <objbase.h>
#include <oleauto.h>
#include <limits.h>
#include <memory>
#include <new>

namespace ATL
{

// ---------------------------------------------------------------------------
// Exceptions

class CAtlException
{
public:
    CAtlException(HRESULT hr = E_FAIL) noexcept : m_hr(hr) {}
    operator HRESULT() const noexcept { return m_hr; }

    HRESULT m_hr;
};

[[noreturn]] inline void AtlThrow(HRESULT hr)
{
    throw CAtlException(hr);
}

// HRESULT of the calling thread's last error; never a success code.
inline HRESULT AtlHresultFromLastError() noexcept
{
    const DWORD dwError = GetLastError();
    return (0 == dwError) ? E_FAIL : HRESULT_FROM_WIN32(dwError);
}

// ---------------------------------------------------------------------------
// Critical sections

// A critical section that its owner initialises (Init) and deletes (Term).
class CComCriticalSection
{
public:
    CComCriticalSection() noexcept { ZeroMemory(&m_sec, sizeof(m_sec)); }

    HRESULT Lock() noexcept
    {
        EnterCriticalSection(&m_sec);
        return S_OK;
    }
    HRESULT Unlock() noexcept
    {
        LeaveCriticalSection(&m_sec);
        return S_OK;
    }
    HRESULT Init() noexcept
    {
        if (!InitializeCriticalSectionAndSpinCount(&m_sec, 0))
            return AtlHresultFromLastError();
        return S_OK;
    }
    HRESULT Term() noexcept
    {
        DeleteCriticalSection(&m_sec);
        return S_OK;
    }

    CRITICAL_SECTION m_sec;
};

// Initialised by its constructor, which throws CAtlException on failure, and
// deleted by its destructor.
class CComAutoCriticalSection : public CComCriticalSection
{
public:
    CComAutoCriticalSection()
    {
        const HRESULT hr = CComCriticalSection::Init();
        if (FAILED(hr))
            AtlThrow(hr);
    }
    ~CComAutoCriticalSection() { CComCriticalSection::Term(); }

    CComAutoCriticalSection(const CComAutoCriticalSection&) = delete;
    CComAutoCriticalSection& operator=(const CComAutoCriticalSection&) = delete;

private:
    // Init and Term belong to the constructor and destructor.
    HRESULT Init();
    HRESULT Term();
};

// Initialised by Init, which may fail; deleted by Term or the destructor only
// when Init succeeded.
class CComSafeDeleteCriticalSection : public CComCriticalSection
{
public:
    CComSafeDeleteCriticalSection() noexcept : m_bInitialized(false) {}
    ~CComSafeDeleteCriticalSection() { Term(); }

    CComSafeDeleteCriticalSection(const CComSafeDeleteCriticalSection&) = delete;
    CComSafeDeleteCriticalSection& operator=(const CComSafeDeleteCriticalSection&) = delete;

    HRESULT Init() noexcept
    {
        ATLASSERT(!m_bInitialized);
        const HRESULT hr = CComCriticalSection::Init();
        if (SUCCEEDED(hr))
            m_bInitialized = true;
        return hr;
    }
    HRESULT Term() noexcept
    {
        if (!m_bInitialized)
            return S_OK;
        m_bInitialized = false;
        return CComCriticalSection::Term();
    }
    HRESULT Lock() noexcept
    {
        ATLASSERT(m_bInitialized);
        return CComCriticalSection::Lock();
    }

protected:
    bool m_bInitialized;
};

// The object lock of CComObjectRootEx: initialised during the object's final
// construction, deleted only by the destructor.
class CComAutoDeleteCriticalSection : public CComSafeDeleteCriticalSection
{
private:
    HRESULT Term() noexcept;
};

// The critical section of the single-threaded model: does nothing.
class CComFakeCriticalSection
{
public:
    HRESULT Lock() noexcept { return S_OK; }
    HRESULT Unlock() noexcept { return S_OK; }
    HRESULT Init() noexcept { return S_OK; }
    HRESULT Term() noexcept { return S_OK; }
};

// ---------------------------------------------------------------------------
// Thread models

class CComMultiThreadModel
{
public:
    static ULONG WINAPI Increment(LPLONG p) noexcept { return static_cast<ULONG>(InterlockedIncrement(p)); }
    static ULONG WINAPI Decrement(LPLONG p) noexcept { return static_cast<ULONG>(InterlockedDecrement(p)); }
    typedef CComAutoCriticalSection AutoCriticalSection;
    typedef CComAutoDeleteCriticalSection AutoDeleteCriticalSection;
    typedef CComCriticalSection CriticalSection;
};

class CComSingleThreadModel
{
public:
    static ULONG WINAPI Increment(LPLONG p) noexcept { return static_cast<ULONG>(++(*p)); }
    static ULONG WINAPI Decrement(LPLONG p) noexcept { return static_cast<ULONG>(--(*p)); }
    typedef CComFakeCriticalSection AutoCriticalSection;
    typedef CComFakeCriticalSection AutoDeleteCriticalSection;
    typedef CComFakeCriticalSection CriticalSection;
};

typedef CComMultiThreadModel CComObjectThreadModel;
typedef CComMultiThreadModel CComGlobalsThreadModel;

// ---------------------------------------------------------------------------
// The module's image

} // namespace ATL
extern "C" IMAGE_DOS_HEADER __ImageBase;
namespace ATL
{

// The image (DLL or program) whose code calls this: the linker gives every
// image its own __ImageBase.
inline HINSTANCE _AtlGetModuleInstance() noexcept
{
    return reinterpret_cast<HINSTANCE>(&__ImageBase);
}

// Full path of hModule's file into *pPath; a path longer than the largest
// the system allows is an error, never a cut path.
inline HRESULT _AtlGetModulePath(HMODULE hModule, LPWSTR pszPath, DWORD cchPath) noexcept
{
    if (pszPath == NULL || cchPath == 0)
        return E_POINTER;
    pszPath[0] = 0;
    const DWORD cch = GetModuleFileNameW(hModule, pszPath, cchPath);
    if (cch == 0)
        return AtlHresultFromLastError();
    if (cch >= cchPath)
    {
        pszPath[0] = 0;
        return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    }
    return S_OK;
}

// ---------------------------------------------------------------------------
// The module's lock count

// The part of a module object that COM objects talk to: every live
// CComObject holds one lock on the module. The module object of a server
// derives from it; the one constructed last is the module's.
class CAtlModule;
inline CAtlModule* _pAtlModule = NULL;

class CAtlModule
{
public:
    CAtlModule() noexcept : m_nLockCnt(0) { _pAtlModule = this; }
    virtual ~CAtlModule()
    {
        if (_pAtlModule == this)
            _pAtlModule = NULL;
    }

    CAtlModule(const CAtlModule&) = delete;
    CAtlModule& operator=(const CAtlModule&) = delete;

    virtual LONG Lock() noexcept { return CComGlobalsThreadModel::Increment(&m_nLockCnt); }
    virtual LONG Unlock() noexcept { return CComGlobalsThreadModel::Decrement(&m_nLockCnt); }
    virtual LONG GetLockCount() noexcept { return m_nLockCnt; }

    // Runs the registry script that this module holds as resource nResID of
    // type "REGISTRY", with %MODULE% standing for the module's full path
    // (statreg.h).
    HRESULT UpdateRegistryFromResourceS(UINT nResID, BOOL bRegister) noexcept;
    HRESULT UpdateRegistryFromResource(UINT nResID, BOOL bRegister) noexcept
    {
        return UpdateRegistryFromResourceS(nResID, bRegister);
    }

    LONG m_nLockCnt;
};

// ---------------------------------------------------------------------------
// Interface maps

typedef HRESULT(WINAPI _ATL_CREATORARGFUNC)(void* pv, REFIID riid, LPVOID* ppv, DWORD_PTR dw);

// One entry of an interface map. With pFunc == _ATL_SIMPLEMAPENTRY, dw is the
// offset of the interface inside the object; otherwise pFunc answers the
// query and dw is its argument. A NULL piid matches every interface (a blind
// entry); the map ends with an entry whose pFunc is NULL.
struct _ATL_INTMAP_ENTRY
{
    const IID* piid;
    DWORD_PTR dw;
    _ATL_CREATORARGFUNC* pFunc;
};

#define _ATL_SIMPLEMAPENTRY ((ATL::_ATL_CREATORARGFUNC*)1)

// Offset of a base class inside a derived class (measured on a fake address
// rather than NULL, so that the cast adjusts the pointer).
#define _ATL_PACKING 8
#define offsetofclass(base, derived) \
    (reinterpret_cast<DWORD_PTR>(static_cast<base*>(reinterpret_cast<derived*>(_ATL_PACKING))) - _ATL_PACKING)

// Answers iid from an interface map. pThis is the object the map belongs to.
// IUnknown is always the map's first entry. A function entry ends the search
// when it succeeds, or when it fails and is not blind; a blind entry that
// fails lets the search go on.
inline HRESULT WINAPI AtlInternalQueryInterface(void* pThis, const _ATL_INTMAP_ENTRY* pEntries, REFIID iid,
                                                void** ppvObject) noexcept
{
    ATLASSERT(pThis != NULL);
    ATLASSERT(pEntries != NULL);
    if (NULL == ppvObject)
        return E_POINTER;
    *ppvObject = NULL;
    if (NULL == pThis || NULL == pEntries)
        return E_UNEXPECTED;
    // The first entry must be a simple one: it is the object's identity.
    ATLASSERT(pEntries->pFunc == _ATL_SIMPLEMAPENTRY);
    if (InlineIsEqualGUID(iid, IID_IUnknown) && pEntries->pFunc == _ATL_SIMPLEMAPENTRY)
    {
        IUnknown* pUnk = reinterpret_cast<IUnknown*>(reinterpret_cast<DWORD_PTR>(pThis) + pEntries->dw);
        pUnk->AddRef();
        *ppvObject = pUnk;
        return S_OK;
    }
    for (; pEntries->pFunc != NULL; ++pEntries)
    {
        const bool bBlind = (NULL == pEntries->piid);
        if (!bBlind && !InlineIsEqualGUID(*pEntries->piid, iid))
            continue;
        if (pEntries->pFunc == _ATL_SIMPLEMAPENTRY)
        {
            ATLASSERT(!bBlind);
            IUnknown* pUnk = reinterpret_cast<IUnknown*>(reinterpret_cast<DWORD_PTR>(pThis) + pEntries->dw);
            pUnk->AddRef();
            *ppvObject = pUnk;
            return S_OK;
        }
        const HRESULT hr = pEntries->pFunc(pThis, iid, ppvObject, pEntries->dw);
        if (S_OK == hr)
            return S_OK;
        // An entry that gave no interface must not leave one behind.
        *ppvObject = NULL;
        if (!bBlind && FAILED(hr))
            return hr;
    }
    return E_NOINTERFACE;
}

// ---------------------------------------------------------------------------
// Smart pointers

// What operator-> of a smart pointer hands out: the interface with AddRef and
// Release out of reach, so that the pointer's own count cannot be unbalanced.
template <class T>
class _NoAddRefReleaseOnCComPtr : public T
{
private:
    STDMETHOD_(ULONG, AddRef)() = 0;
    STDMETHOD_(ULONG, Release)() = 0;
};

// Owns one reference on an interface.
template <class T>
class CComPtrBase
{
protected:
    CComPtrBase() noexcept : p(NULL) {}
    CComPtrBase(T* lp) noexcept : p(lp)
    {
        if (p != NULL)
            p->AddRef();
    }

public:
    typedef T _PtrClass;

    ~CComPtrBase()
    {
        if (p != NULL)
            p->Release();
    }

    operator T*() const noexcept { return p; }
    T& operator*() const
    {
        ATLASSERT(p != NULL);
        return *p;
    }
    // For creation straight into the pointer: it must be empty, since what it
    // holds would be overwritten without a Release.
    T** operator&() noexcept
    {
        ATLASSERT(p == NULL);
        return &p;
    }
    _NoAddRefReleaseOnCComPtr<T>* operator->() const noexcept
    {
        ATLASSERT(p != NULL);
        return static_cast<_NoAddRefReleaseOnCComPtr<T>*>(p);
    }
    bool operator!() const noexcept { return p == NULL; }
    bool operator<(T* pT) const noexcept { return p < pT; }
    bool operator==(T* pT) const noexcept { return p == pT; }
    bool operator!=(T* pT) const noexcept { return !operator==(pT); }

    // Drops the reference; the pointer is cleared before the Release call, so
    // that code running inside it never sees a dangling pointer.
    void Release() noexcept
    {
        T* pTemp = p;
        if (pTemp != NULL)
        {
            p = NULL;
            pTemp->Release();
        }
    }

    // Whether pOther is the same COM object (compared by IUnknown identity).
    bool IsEqualObject(IUnknown* pOther) noexcept
    {
        if (p == NULL && pOther == NULL)
            return true;
        if (p == NULL || pOther == NULL)
            return false;
        IUnknown* pUnk1 = NULL;
        IUnknown* pUnk2 = NULL;
        p->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&pUnk1));
        pOther->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&pUnk2));
        const bool bEqual = (pUnk1 != NULL && pUnk1 == pUnk2);
        if (pUnk1 != NULL)
            pUnk1->Release();
        if (pUnk2 != NULL)
            pUnk2->Release();
        return bEqual;
    }

    // Takes over a reference the caller owns.
    void Attach(T* p2) noexcept
    {
        T* pOld = p;
        p = p2;
        if (pOld != NULL)
            pOld->Release();
    }
    // Hands the reference to the caller.
    T* Detach() noexcept
    {
        T* pt = p;
        p = NULL;
        return pt;
    }

    HRESULT CopyTo(T** ppT) noexcept
    {
        ATLASSERT(ppT != NULL);
        if (ppT == NULL)
            return E_POINTER;
        *ppT = p;
        if (p != NULL)
            p->AddRef();
        return S_OK;
    }

    template <class Q>
    HRESULT QueryInterface(Q** pp) const noexcept
    {
        ATLASSERT(pp != NULL);
        if (pp == NULL)
            return E_POINTER;
        *pp = NULL;
        if (p == NULL)
            return E_POINTER;
        return p->QueryInterface(__uuidof(Q), reinterpret_cast<void**>(pp));
    }

    HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter = NULL, DWORD dwClsContext = CLSCTX_ALL) noexcept
    {
        ATLASSERT(p == NULL);
        return ::CoCreateInstance(rclsid, pUnkOuter, dwClsContext, __uuidof(T), reinterpret_cast<void**>(&p));
    }

    T* p;
};

// Stores lp (with a reference of its own) into *pp and releases what *pp held.
// The new reference is taken first, so that assigning a pointer to itself is safe.
inline IUnknown* AtlComPtrAssign(IUnknown** pp, IUnknown* lp) noexcept
{
    if (pp == NULL)
        return NULL;
    if (lp != NULL)
        lp->AddRef();
    IUnknown* pOld = *pp;
    *pp = lp;
    if (pOld != NULL)
        pOld->Release();
    return lp;
}

// Stores lp's interface riid (a new reference, or NULL) into *pp and releases
// what *pp held.
inline IUnknown* AtlComQIPtrAssign(IUnknown** pp, IUnknown* lp, REFIID riid) noexcept
{
    if (pp == NULL)
        return NULL;
    IUnknown* pNew = NULL;
    if (lp != NULL && FAILED(lp->QueryInterface(riid, reinterpret_cast<void**>(&pNew))))
        pNew = NULL;
    IUnknown* pOld = *pp;
    *pp = pNew;
    if (pOld != NULL)
        pOld->Release();
    return pNew;
}

template <class T>
class CComPtr : public CComPtrBase<T>
{
public:
    CComPtr() noexcept {}
    CComPtr(T* lp) noexcept : CComPtrBase<T>(lp) {}
    CComPtr(const CComPtr<T>& lp) noexcept : CComPtrBase<T>(lp.p) {}
    CComPtr(CComPtr<T>&& lp) noexcept { this->p = lp.Detach(); }

    T* operator=(T* lp) noexcept
    {
        if (this->p != lp)
            AtlComPtrAssign(reinterpret_cast<IUnknown**>(&this->p), lp);
        return this->p;
    }
    T* operator=(const CComPtr<T>& lp) noexcept
    {
        if (this->p != lp.p)
            AtlComPtrAssign(reinterpret_cast<IUnknown**>(&this->p), lp.p);
        return this->p;
    }
    CComPtr<T>& operator=(CComPtr<T>&& lp) noexcept
    {
        if (this->p != lp.p)
            this->Attach(lp.Detach());
        return *this;
    }
    // Assignment from a pointer to another interface: a QueryInterface.
    template <typename Q>
    T* operator=(const CComPtr<Q>& lp) noexcept
    {
        AtlComQIPtrAssign(reinterpret_cast<IUnknown**>(&this->p), lp.p, __uuidof(T));
        return this->p;
    }
};

// A CComPtr that takes any interface pointer and keeps the answer of its
// QueryInterface for piid (NULL when the object does not offer it).
template <class T, const IID* piid = &__uuidof(T)>
class CComQIPtr : public CComPtr<T>
{
public:
    CComQIPtr() noexcept {}
    CComQIPtr(T* lp) noexcept : CComPtr<T>(lp) {}
    CComQIPtr(const CComQIPtr<T, piid>& lp) noexcept : CComPtr<T>(lp.p) {}
    CComQIPtr(IUnknown* lp) noexcept
    {
        if (lp != NULL && FAILED(lp->QueryInterface(*piid, reinterpret_cast<void**>(&this->p))))
            this->p = NULL;
    }

    T* operator=(T* lp) noexcept
    {
        if (this->p != lp)
            AtlComPtrAssign(reinterpret_cast<IUnknown**>(&this->p), lp);
        return this->p;
    }
    T* operator=(const CComQIPtr<T, piid>& lp) noexcept
    {
        if (this->p != lp.p)
            AtlComPtrAssign(reinterpret_cast<IUnknown**>(&this->p), lp.p);
        return this->p;
    }
    T* operator=(IUnknown* lp) noexcept
    {
        AtlComQIPtrAssign(reinterpret_cast<IUnknown**>(&this->p), lp, *piid);
        return this->p;
    }
};

// The IUnknown form: a pointer to IUnknown is already of the right type, but
// construction and assignment still query, so that the pointer held is the
// object's identity.
template <>
class CComQIPtr<IUnknown, &__uuidof(IUnknown)> : public CComPtr<IUnknown>
{
public:
    CComQIPtr() noexcept {}
    CComQIPtr(IUnknown* lp) noexcept
    {
        if (lp != NULL && FAILED(lp->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&p))))
            p = NULL;
    }
    CComQIPtr(const CComQIPtr<IUnknown, &__uuidof(IUnknown)>& lp) noexcept : CComPtr<IUnknown>(lp.p) {}

    IUnknown* operator=(IUnknown* lp) noexcept
    {
        AtlComQIPtrAssign(&p, lp, IID_IUnknown);
        return p;
    }
    IUnknown* operator=(const CComQIPtr<IUnknown, &__uuidof(IUnknown)>& lp) noexcept
    {
        if (p != lp.p)
            AtlComPtrAssign(&p, lp.p);
        return p;
    }
};

// Owns one BSTR. Where ATL would throw on an exhausted heap, the string is
// left empty (NULL) instead: an exception must not leave a COM method.
class CComBSTR
{
public:
    CComBSTR() noexcept : m_str(NULL) {}
    CComBSTR(LPCOLESTR pSrc) noexcept : m_str(pSrc ? ::SysAllocString(pSrc) : NULL) {}
    // nSize characters of pSrc (or nSize zeroed characters for a NULL pSrc).
    CComBSTR(int nSize, LPCOLESTR pSrc) noexcept
        : m_str(nSize < 0 ? NULL : ::SysAllocStringLen(pSrc, static_cast<UINT>(nSize))) {}
    CComBSTR(const CComBSTR& src) noexcept : m_str(src.Copy()) {}
    CComBSTR(CComBSTR&& src) noexcept : m_str(src.m_str) { src.m_str = NULL; }
    ~CComBSTR() { ::SysFreeString(m_str); }

    CComBSTR& operator=(const CComBSTR& src) noexcept
    {
        if (m_str != src.m_str)
        {
            ::SysFreeString(m_str);
            m_str = src.Copy();
        }
        return *this;
    }
    CComBSTR& operator=(CComBSTR&& src) noexcept
    {
        if (this != std::addressof(src))
        {
            ::SysFreeString(m_str);
            m_str = src.m_str;
            src.m_str = NULL;
        }
        return *this;
    }
    CComBSTR& operator=(LPCOLESTR pSrc) noexcept
    {
        if (pSrc != m_str)
        {
            ::SysFreeString(m_str);
            m_str = pSrc ? ::SysAllocString(pSrc) : NULL;
        }
        return *this;
    }

    operator BSTR() const noexcept { return m_str; }
    // For a BSTR written by a callee: the string must be empty.
    BSTR* operator&() noexcept
    {
        ATLASSERT(m_str == NULL);
        return &m_str;
    }
    bool operator!() const noexcept { return m_str == NULL; }

    unsigned int Length() const noexcept { return ::SysStringLen(m_str); }
    unsigned int ByteLength() const noexcept { return ::SysStringByteLen(m_str); }

    // A new BSTR with the same text; NULL for an empty string or a full heap.
    BSTR Copy() const noexcept
    {
        if (m_str == NULL)
            return NULL;
        return ::SysAllocStringByteLen(reinterpret_cast<const char*>(m_str), ::SysStringByteLen(m_str));
    }
    HRESULT CopyTo(BSTR* pbstr) const noexcept
    {
        ATLASSERT(pbstr != NULL);
        if (pbstr == NULL)
            return E_POINTER;
        *pbstr = Copy();
        if (*pbstr == NULL && m_str != NULL)
            return E_OUTOFMEMORY;
        return S_OK;
    }

    void Attach(BSTR src) noexcept
    {
        if (m_str != src)
        {
            ::SysFreeString(m_str);
            m_str = src;
        }
    }
    BSTR Detach() noexcept
    {
        BSTR s = m_str;
        m_str = NULL;
        return s;
    }
    void Empty() noexcept
    {
        ::SysFreeString(m_str);
        m_str = NULL;
    }

    HRESULT Append(LPCOLESTR lpsz, int nLen) noexcept
    {
        if (lpsz == NULL || nLen <= 0)
            return (nLen < 0) ? E_INVALIDARG : S_OK;
        const unsigned int n1 = Length();
        if (static_cast<unsigned long long>(n1) + static_cast<unsigned int>(nLen) > (UINT_MAX / sizeof(OLECHAR)) - 2)
            return E_OUTOFMEMORY;
        BSTR b = ::SysAllocStringLen(NULL, n1 + static_cast<unsigned int>(nLen));
        if (b == NULL)
            return E_OUTOFMEMORY;
        if (n1 != 0)
            memcpy(b, m_str, n1 * sizeof(OLECHAR));
        memcpy(b + n1, lpsz, static_cast<unsigned int>(nLen) * sizeof(OLECHAR));
        b[n1 + static_cast<unsigned int>(nLen)] = 0;
        ::SysFreeString(m_str);
        m_str = b;
        return S_OK;
    }
    HRESULT Append(LPCOLESTR lpsz) noexcept
    {
        return lpsz ? Append(lpsz, static_cast<int>(wcslen(lpsz))) : S_OK;
    }
    HRESULT Append(const CComBSTR& bstrSrc) noexcept
    {
        return Append(bstrSrc.m_str, static_cast<int>(bstrSrc.Length()));
    }
    CComBSTR& operator+=(LPCOLESTR pszSrc) noexcept
    {
        Append(pszSrc);
        return *this;
    }

    BSTR m_str;
};

} // namespace ATL

// The registrar, and the module's script update that uses it.
#include "statreg.h"

#ifndef _ATL_NO_AUTOMATIC_NAMESPACE
using namespace ATL;
#endif
