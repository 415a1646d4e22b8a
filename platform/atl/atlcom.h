// COM objects of our ATL stand-in: the object roots with their reference
// count and object lock, CComObject and its creation, the creators and the
// coclass, interface maps, and tear-off objects.
//
// A COM class derives from CComObjectRootEx<ThreadModel> and its interfaces,
// declares its interface map, and is created as CComObject<Class>, which
// supplies IUnknown. Creation constructs the object, initialises its object
// lock and runs the class's FinalConstruct; on failure the object is
// destroyed (its FinalRelease runs too) and the code returned. Objects of
// this stand-in cannot be aggregated by another object; they can aggregate
// one (COM_INTERFACE_ENTRY_AGGREGATE), as they do the free-threaded
// marshaler.
#pragma once

#include "atlbase.h"

#include <ocidl.h>
#include <memory>
#include <new>

namespace ATL
{

// Runs fn (a construction step); an exception leaving it becomes an HRESULT,
// since it must not leave a COM call.
template <class Fn>
HRESULT _AtlCallNoThrow(Fn fn) noexcept
{
    try
    {
        return fn();
    }
    catch (const CAtlException& e)
    {
        return FAILED(e.m_hr) ? e.m_hr : E_FAIL;
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
    catch (...)
    {
        return E_FAIL;
    }
}

// ---------------------------------------------------------------------------
// Object roots

class CComObjectRootBase
{
public:
    CComObjectRootBase() noexcept : m_dwRef(0) {}

    // The class's own construction and destruction steps, run after the
    // constructors and before the destructors.
    HRESULT FinalConstruct() { return S_OK; }
    void FinalRelease() {}

    // Initialises what the constructors may not (the object lock).
    HRESULT _AtlInitialConstruct() noexcept { return S_OK; }

    // Wrapped around FinalConstruct; DECLARE_PROTECT_FINAL_CONSTRUCT makes
    // them hold a reference, so that FinalConstruct may hand the object out
    // and take it back without destroying it.
    // Takes the creator's argument (a class factory takes its class's
    // creation function); objects that need none ignore it.
    void SetVoid(void*) noexcept {}

    void InternalFinalConstructAddRef() noexcept {}
    void InternalFinalConstructRelease() noexcept { ATLASSERT(m_dwRef == 0); }

    static HRESULT WINAPI InternalQueryInterface(void* pThis, const _ATL_INTMAP_ENTRY* pEntries, REFIID iid,
                                                 void** ppvObject) noexcept
    {
        return AtlInternalQueryInterface(pThis, pEntries, iid, ppvObject);
    }

    // Entry function of COM_INTERFACE_ENTRY_AGGREGATE: asks the inner object
    // whose IUnknown pointer is stored dw bytes into the object.
    static HRESULT WINAPI _Delegate(void* pv, REFIID iid, void** ppvObject, DWORD_PTR dw) noexcept
    {
        IUnknown* pInner = *reinterpret_cast<IUnknown**>(reinterpret_cast<DWORD_PTR>(pv) + dw);
        if (pInner == NULL)
            return E_NOINTERFACE;
        return pInner->QueryInterface(iid, ppvObject);
    }

    LONG m_dwRef;
};

template <class ThreadModel>
class CComObjectLockT;

template <class ThreadModel>
class CComObjectRootEx : public CComObjectRootBase
{
public:
    typedef ThreadModel _ThreadModel;
    typedef typename ThreadModel::AutoCriticalSection _CritSec;
    typedef typename ThreadModel::AutoDeleteCriticalSection _AutoDelCritSec;
    typedef CComObjectLockT<ThreadModel> ObjectLock;

    ULONG InternalAddRef() noexcept
    {
        ATLASSERT(m_dwRef != -1L);
        return ThreadModel::Increment(&m_dwRef);
    }
    ULONG InternalRelease() noexcept
    {
        const LONG nRef = static_cast<LONG>(ThreadModel::Decrement(&m_dwRef));
        // A count far below zero means a Release on a destroyed object.
        ATLASSERT(nRef >= -(LONG_MAX / 2) && "Release called on a pointer that has already been released");
        return static_cast<ULONG>(nRef);
    }

    HRESULT _AtlInitialConstruct() noexcept { return m_critsec.Init(); }

    // The object lock.
    void Lock() noexcept { m_critsec.Lock(); }
    void Unlock() noexcept { m_critsec.Unlock(); }

    _AutoDelCritSec m_critsec;
};

// Holds an object's lock for its own lifetime.
template <class ThreadModel>
class CComObjectLockT
{
public:
    explicit CComObjectLockT(CComObjectRootEx<ThreadModel>* p) noexcept : m_p(p)
    {
        if (m_p != NULL)
            m_p->Lock();
    }
    ~CComObjectLockT()
    {
        if (m_p != NULL)
            m_p->Unlock();
    }
    CComObjectLockT(const CComObjectLockT&) = delete;
    CComObjectLockT& operator=(const CComObjectLockT&) = delete;

    CComObjectRootEx<ThreadModel>* m_p;
};

template <>
class CComObjectLockT<CComSingleThreadModel>
{
public:
    explicit CComObjectLockT(CComObjectRootEx<CComSingleThreadModel>*) noexcept {}
    CComObjectLockT(const CComObjectLockT&) = delete;
    CComObjectLockT& operator=(const CComObjectLockT&) = delete;
};

// Runs an object's final construction: the object lock, then FinalConstruct,
// between the protecting reference calls. A success code other than S_OK
// would report success for an object that the caller then destroys, so it
// becomes E_FAIL.
template <class T>
HRESULT _AtlFinalConstructObject(T* p) noexcept
{
    p->InternalFinalConstructAddRef();
    HRESULT hr = p->_AtlInitialConstruct();
    if (SUCCEEDED(hr))
        hr = _AtlCallNoThrow([p]() { return p->FinalConstruct(); });
    p->InternalFinalConstructRelease();
    if (SUCCEEDED(hr) && hr != S_OK)
        hr = E_FAIL;
    return hr;
}

// ---------------------------------------------------------------------------
// CComObject

// The creatable object of class Base: supplies IUnknown over Base's interface
// map and holds a lock on the module for its whole life.
template <class Base>
class CComObject : public Base
{
public:
    typedef Base _BaseClass;

    CComObject(void* = NULL)
    {
        if (_pAtlModule != NULL)
            _pAtlModule->Lock();
    }
    // FinalRelease runs first, with a count that no AddRef/Release pair made
    // inside it can bring back to zero.
    virtual ~CComObject()
    {
        this->m_dwRef = -(LONG_MAX / 2);
        this->FinalRelease();
        if (_pAtlModule != NULL)
            _pAtlModule->Unlock();
    }

    STDMETHOD_(ULONG, AddRef)() override { return this->InternalAddRef(); }
    STDMETHOD_(ULONG, Release)() override
    {
        const ULONG l = this->InternalRelease();
        if (l == 0)
            delete this;
        return l;
    }
    STDMETHOD(QueryInterface)(REFIID iid, void** ppvObject) override
    {
        return this->_InternalQueryInterface(iid, ppvObject);
    }
    template <class Q>
    HRESULT QueryInterface(Q** pp) noexcept
    {
        return QueryInterface(__uuidof(Q), reinterpret_cast<void**>(pp));
    }

    // Creates an object with no reference: constructed, then final-constructed.
    // On failure the object is destroyed, *pp is NULL and the code returned;
    // an exception out of a constructor or a full heap gives E_OUTOFMEMORY.
    static HRESULT WINAPI CreateInstance(CComObject<Base>** pp) noexcept;
};

template <class Base>
HRESULT WINAPI CComObject<Base>::CreateInstance(CComObject<Base>** pp) noexcept
{
    ATLASSERT(pp != NULL);
    if (pp == NULL)
        return E_POINTER;
    *pp = NULL;
    CComObject<Base>* p = NULL;
    try
    {
        p = new (std::nothrow) CComObject<Base>();
    }
    catch (...)
    {
        p = NULL;
    }
    if (p == NULL)
        return E_OUTOFMEMORY;
    const HRESULT hr = _AtlFinalConstructObject(p);
    if (hr != S_OK)
    {
        delete p;
        return hr;
    }
    *pp = p;
    return S_OK;
}

// ---------------------------------------------------------------------------
// Creators

// Creates a T1 (constructed with pv) and hands out its interface riid.
template <class T1>
class CComCreator
{
public:
    static HRESULT WINAPI CreateInstance(void* pv, REFIID riid, LPVOID* ppv) noexcept
    {
        ATLASSERT(ppv != NULL);
        if (ppv == NULL)
            return E_POINTER;
        *ppv = NULL;
        T1* p = NULL;
        try
        {
            p = new (std::nothrow) T1(pv);
        }
        catch (...)
        {
            p = NULL;
        }
        if (p == NULL)
            return E_OUTOFMEMORY;
        p->SetVoid(pv);
        HRESULT hr = _AtlFinalConstructObject(p);
        if (hr == S_OK)
            hr = p->_InternalQueryInterface(riid, ppv);
        if (hr != S_OK)
        {
            *ppv = NULL;
            delete p;
        }
        return hr;
    }
};

// Creates nothing and answers hr.
template <HRESULT hr>
class CComFailCreator
{
public:
    static HRESULT WINAPI CreateInstance(void*, REFIID, LPVOID* ppv) noexcept
    {
        if (ppv == NULL)
            return E_POINTER;
        *ppv = NULL;
        return hr;
    }
};

// T1 without an outer object (pv NULL), T2 with one.
template <class T1, class T2>
class CComCreator2
{
public:
    static HRESULT WINAPI CreateInstance(void* pv, REFIID riid, LPVOID* ppv) noexcept
    {
        return (pv == NULL) ? T1::CreateInstance(NULL, riid, ppv) : T2::CreateInstance(pv, riid, ppv);
    }
};

#define DECLARE_NOT_AGGREGATABLE(x)                                                                \
public:                                                                                            \
    typedef ATL::CComCreator2<ATL::CComCreator<ATL::CComObject<x>>,                               \
                              ATL::CComFailCreator<CLASS_E_NOAGGREGATION>> _CreatorClass;

#define DECLARE_PROTECT_FINAL_CONSTRUCT()                            \
    void InternalFinalConstructAddRef() { this->InternalAddRef(); } \
    void InternalFinalConstructRelease() { this->InternalRelease(); }

// The object's own IUnknown, for example as the outer object of an inner
// one it aggregates.
#define DECLARE_GET_CONTROLLING_UNKNOWN() \
public:                                   \
    virtual IUnknown* GetControllingUnknown() { return this->GetUnknown(); }

// ---------------------------------------------------------------------------
// Coclass

class CComClassFactory;
template <class Base>
class CComObjectNoLock;

// The class factory of a coclass: a CComClassFactory (atlcom.h, below),
// made anew for every request.
#define DECLARE_CLASSFACTORY() \
    typedef ATL::CComCreator<ATL::CComObjectNoLock<ATL::CComClassFactory>> _ClassFactoryCreatorClass;

// The class identifier of T and its creation. T is created as CComObject<T>;
// it cannot be aggregated (creation with an outer object answers
// CLASS_E_NOAGGREGATION).
template <class T, const CLSID* pclsid = &CLSID_NULL>
class CComCoClass
{
public:
    DECLARE_CLASSFACTORY()
    DECLARE_NOT_AGGREGATABLE(T)

    static const CLSID& WINAPI GetObjectCLSID() noexcept { return *pclsid; }
    static LPCTSTR WINAPI GetObjectDescription() noexcept { return NULL; }

    template <class Q>
    static HRESULT CreateInstance(IUnknown* punkOuter, Q** pp) noexcept
    {
        return T::_CreatorClass::CreateInstance(punkOuter, __uuidof(Q), reinterpret_cast<void**>(pp));
    }
    template <class Q>
    static HRESULT CreateInstance(Q** pp) noexcept
    {
        return T::_CreatorClass::CreateInstance(NULL, __uuidof(Q), reinterpret_cast<void**>(pp));
    }
};

// ---------------------------------------------------------------------------
// Tear-off objects

// Base of a tear-off class: an object of its own (own count, own interface
// map) created on demand by its owner's QueryInterface; m_pOwner is the
// owner, on which the tear-off holds a reference.
template <class Owner, class ThreadModel = CComObjectThreadModel>
class CComTearOffObjectBase : public CComObjectRootEx<ThreadModel>
{
public:
    typedef Owner _OwnerClass;

    CComTearOffObjectBase() noexcept : m_pOwner(NULL) {}

    Owner* m_pOwner;
};

// The creatable tear-off of class Base. Its QueryInterface goes to the
// owner, so a tear-off never yields another interface of its own; its
// interface map serves only the creation.
template <class Base>
class CComTearOffObject : public Base
{
public:
    CComTearOffObject(void* pv)
    {
        ATLASSERT(this->m_pOwner == NULL);
        this->m_pOwner = reinterpret_cast<typename Base::_OwnerClass*>(pv);
        if (this->m_pOwner != NULL)
            this->m_pOwner->AddRef();
    }
    virtual ~CComTearOffObject()
    {
        this->m_dwRef = -(LONG_MAX / 2);
        this->FinalRelease();
        if (this->m_pOwner != NULL)
            this->m_pOwner->Release();
    }

    STDMETHOD_(ULONG, AddRef)() override { return this->InternalAddRef(); }
    STDMETHOD_(ULONG, Release)() override
    {
        const ULONG l = this->InternalRelease();
        if (l == 0)
            delete this;
        return l;
    }
    STDMETHOD(QueryInterface)(REFIID iid, void** ppvObject) override
    {
        if (this->m_pOwner == NULL)
        {
            if (ppvObject == NULL)
                return E_POINTER;
            *ppvObject = NULL;
            return E_NOINTERFACE;
        }
        return this->m_pOwner->QueryInterface(iid, ppvObject);
    }
};

// Entry function of COM_INTERFACE_ENTRY_TEAR_OFF: a new tear-off for the
// owner (the object whose map holds the entry), queried for iid.
template <class TOwner, class TTearOff>
HRESULT WINAPI _AtlTearOffCreator(void* pv, REFIID iid, void** ppvObject, DWORD_PTR) noexcept
{
    typename TTearOff::_OwnerClass* pOwner = static_cast<TOwner*>(pv);
    return CComCreator<CComTearOffObject<TTearOff>>::CreateInstance(pOwner, iid, ppvObject);
}

} // namespace ATL

// ---------------------------------------------------------------------------
// Interface maps
//
// BEGIN_COM_MAP(x) ... END_COM_MAP() declares the interfaces of class x, in
// the order they are searched. The first entry must be a plain interface
// entry: it is also the object's IUnknown.

#define BEGIN_COM_MAP(x)                                                                            \
public:                                                                                             \
    typedef x _ComMapClass;                                                                         \
    IUnknown* _GetRawUnknown() noexcept                                                             \
    {                                                                                               \
        ATLASSERT(_GetEntries()[0].pFunc == _ATL_SIMPLEMAPENTRY);                                   \
        return reinterpret_cast<IUnknown*>(reinterpret_cast<DWORD_PTR>(this) + _GetEntries()->dw); \
    }                                                                                               \
    IUnknown* GetUnknown() noexcept { return _GetRawUnknown(); }                                    \
    HRESULT _InternalQueryInterface(REFIID iid, void** ppvObject) noexcept                          \
    {                                                                                               \
        return ATL::CComObjectRootBase::InternalQueryInterface(this, _GetEntries(), iid, ppvObject); \
    }                                                                                               \
    static const ATL::_ATL_INTMAP_ENTRY* WINAPI _GetEntries() noexcept                              \
    {                                                                                               \
        static const ATL::_ATL_INTMAP_ENTRY _entries[] = {

// The map's class stays abstract: CComObject (or CComTearOffObject) supplies
// IUnknown, and these declarations make the three names unambiguous inside
// the class.
#define END_COM_MAP()                                   \
            { NULL, 0, NULL } };                        \
        return _entries;                                \
    }                                                   \
    virtual ULONG STDMETHODCALLTYPE AddRef() = 0;       \
    virtual ULONG STDMETHODCALLTYPE Release() = 0;      \
    STDMETHOD(QueryInterface)(REFIID, void**) = 0;

// Interface x, a base class of the map's class.
#define COM_INTERFACE_ENTRY(x) { &__uuidof(x), offsetofclass(x, _ComMapClass), _ATL_SIMPLEMAPENTRY },

// Identifier iid answered by base class x.
#define COM_INTERFACE_ENTRY_IID(iid, x) { &iid, offsetofclass(x, _ComMapClass), _ATL_SIMPLEMAPENTRY },

// Interface x answered by the x part of base class x2 (for an interface that
// several bases derive from).
#define COM_INTERFACE_ENTRY2(x, x2)                                                                  \
    { &__uuidof(x),                                                                                  \
      reinterpret_cast<DWORD_PTR>(static_cast<x*>(static_cast<x2*>(                                  \
          reinterpret_cast<_ComMapClass*>(_ATL_PACKING)))) - _ATL_PACKING,                           \
      _ATL_SIMPLEMAPENTRY },

// Identifier iid answered by func (pv is the object, dw is passed through).
#define COM_INTERFACE_ENTRY_FUNC(iid, dw, func) { &iid, dw, func },

// Every identifier that reaches this entry is answered by func; a failure
// lets the search go on to the next entry.
#define COM_INTERFACE_ENTRY_FUNC_BLIND(dw, func) { NULL, dw, func },

// Identifier iid answered by the inner object held in member punk (an
// IUnknown pointer; NULL answers E_NOINTERFACE).
#define COM_INTERFACE_ENTRY_AGGREGATE(iid, punk)                                                      \
    { &iid,                                                                                           \
      reinterpret_cast<DWORD_PTR>(std::addressof(reinterpret_cast<_ComMapClass*>(_ATL_PACKING)->punk)) \
          - _ATL_PACKING,                                                                             \
      ATL::CComObjectRootBase::_Delegate },

// Identifier iid answered by a new tear-off object of class x.
#define COM_INTERFACE_ENTRY_TEAR_OFF(iid, x) { &iid, 0, ATL::_AtlTearOffCreator<_ComMapClass, x> },

// ---------------------------------------------------------------------------
// Class factory, object map and the DLL server's module

namespace ATL
{

typedef HRESULT(WINAPI _ATL_CREATORFUNC)(void* pv, REFIID riid, LPVOID* ppv);

// A COM object of class Base that holds no lock on the module: a class
// factory, which a client keeps the module loaded for with LockServer.
template <class Base>
class CComObjectNoLock : public Base
{
public:
    typedef Base _BaseClass;

    CComObjectNoLock(void* = NULL) {}
    virtual ~CComObjectNoLock()
    {
        this->m_dwRef = -(LONG_MAX / 2);
        this->FinalRelease();
    }

    STDMETHOD_(ULONG, AddRef)() override { return this->InternalAddRef(); }
    STDMETHOD_(ULONG, Release)() override
    {
        const ULONG l = this->InternalRelease();
        if (l == 0)
            delete this;
        return l;
    }
    STDMETHOD(QueryInterface)(REFIID iid, void** ppvObject) override
    {
        return this->_InternalQueryInterface(iid, ppvObject);
    }
};

// IClassFactory over a class's creation function (its _CreatorClass, given
// through SetVoid by the object map). LockServer holds the module.
class ATL_NO_VTABLE CComClassFactory : public IClassFactory, public CComObjectRootEx<CComGlobalsThreadModel>
{
public:
    BEGIN_COM_MAP(CComClassFactory)
        COM_INTERFACE_ENTRY(IClassFactory)
    END_COM_MAP()

    CComClassFactory() noexcept : m_pfnCreateInstance(NULL) {}

    // An outer object may only ask for IUnknown (COM's rule for
    // aggregation); the class's creator then decides, and a class that cannot
    // be aggregated answers CLASS_E_NOAGGREGATION.
    STDMETHOD(CreateInstance)(LPUNKNOWN pUnkOuter, REFIID riid, void** ppvObj) override
    {
        if (ppvObj == NULL)
            return E_POINTER;
        *ppvObj = NULL;
        ATLASSERT(m_pfnCreateInstance != NULL);
        if (m_pfnCreateInstance == NULL)
            return E_UNEXPECTED;
        if (pUnkOuter != NULL && !InlineIsEqualGUID(riid, IID_IUnknown))
            return CLASS_E_NOAGGREGATION;
        return m_pfnCreateInstance(pUnkOuter, riid, ppvObj);
    }
    STDMETHOD(LockServer)(BOOL fLock) override
    {
        if (_pAtlModule == NULL)
            return E_UNEXPECTED;
        if (fLock)
            _pAtlModule->Lock();
        else
            _pAtlModule->Unlock();
        return S_OK;
    }

    void SetVoid(void* pv) noexcept { m_pfnCreateInstance = reinterpret_cast<_ATL_CREATORFUNC*>(pv); }

    _ATL_CREATORFUNC* m_pfnCreateInstance;
};

// One creatable class of a server: its CLSID, its registration routine
// (TRUE registers, FALSE unregisters), the creators of its class factory and
// of its objects, and its description.
struct _ATL_OBJMAP_ENTRY
{
    const CLSID* pclsid;
    HRESULT(WINAPI* pfnUpdateRegistry)(BOOL bRegister);
    _ATL_CREATORFUNC* pfnGetClassObject;
    _ATL_CREATORFUNC* pfnCreateInstance;
    LPCTSTR(WINAPI* pfnGetObjectDescription)();
};

// The module object of a DLL server (class T derives from it). It holds the
// lock count, the object map (walked in its order) and the type library's
// identifier (DECLARE_LIBID in T).
template <class T>
class ATL_NO_VTABLE CAtlDllModuleT : public CAtlModule
{
public:
    explicit CAtlDllModuleT(const _ATL_OBJMAP_ENTRY* pObjMap = NULL) noexcept : m_pObjMap(pObjMap)
    {
        T::InitLibId();
    }

    static void InitLibId() noexcept {}

    // The module keeps no per-process state of its own beyond its objects.
    BOOL WINAPI DllMain(DWORD, LPVOID) noexcept { return TRUE; }

    HRESULT DllCanUnloadNow() noexcept { return (GetLockCount() == 0) ? S_OK : S_FALSE; }

    // The class factory of the map entry for rclsid, queried for riid.
    HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) noexcept
    {
        if (ppv == NULL)
            return E_POINTER;
        *ppv = NULL;
        for (const _ATL_OBJMAP_ENTRY* p = m_pObjMap; p != NULL && p->pclsid != NULL; ++p)
            if (InlineIsEqualGUID(rclsid, *p->pclsid))
                return p->pfnGetClassObject(reinterpret_cast<void*>(p->pfnCreateInstance), riid, ppv);
        return CLASS_E_CLASSNOTAVAILABLE;
    }

    // Every class of the map in its order; the first failure ends the walk
    // and is the result (nothing is rolled back). When every class
    // succeeded, the module's type library (resource TYPELIB 1) follows.
    HRESULT DllRegisterServer(BOOL bRegTypeLib = TRUE) noexcept
    {
        HRESULT hr = UpdateClasses(TRUE);
        if (SUCCEEDED(hr) && bRegTypeLib)
            hr = RegisterTypeLib();
        return hr;
    }
    HRESULT DllUnregisterServer(BOOL bUnRegTypeLib = TRUE) noexcept
    {
        HRESULT hr = UpdateClasses(FALSE);
        if (SUCCEEDED(hr) && bUnRegTypeLib)
            hr = UnRegisterTypeLib();
        return hr;
    }

    // Registers the type library held in this module under the module's
    // full path.
    HRESULT RegisterTypeLib() noexcept
    {
        WCHAR szPath[MAX_PATH];
        ITypeLib* pTypeLib = NULL;
        HRESULT hr = LoadModuleTypeLib(szPath, &pTypeLib);
        if (FAILED(hr))
            return hr;
        hr = ::RegisterTypeLib(pTypeLib, szPath, NULL);
        pTypeLib->Release();
        return hr;
    }

    // Unregisters the module's type library by the identifier, version,
    // locale and system kind that the library itself declares. A library
    // that is not registered (any more) is nothing to undo.
    HRESULT UnRegisterTypeLib() noexcept
    {
        WCHAR szPath[MAX_PATH];
        ITypeLib* pTypeLib = NULL;
        HRESULT hr = LoadModuleTypeLib(szPath, &pTypeLib);
        if (FAILED(hr))
            return hr;
        TLIBATTR* pAttr = NULL;
        hr = pTypeLib->GetLibAttr(&pAttr);
        if (SUCCEEDED(hr))
        {
            const TLIBATTR attr = *pAttr;
            pTypeLib->ReleaseTLibAttr(pAttr);
            BSTR bstrRegistered = NULL;
            if (SUCCEEDED(QueryPathOfRegTypeLib(attr.guid, attr.wMajorVerNum, attr.wMinorVerNum, attr.lcid,
                                                &bstrRegistered)))
            {
                SysFreeString(bstrRegistered);
                hr = ::UnRegisterTypeLib(attr.guid, attr.wMajorVerNum, attr.wMinorVerNum, attr.lcid, attr.syskind);
            }
            else
                hr = S_OK;
        }
        pTypeLib->Release();
        return hr;
    }

    static inline GUID m_libid = {};
    const _ATL_OBJMAP_ENTRY* m_pObjMap;

private:
    // The type library of this module's resource TYPELIB 1, and the
    // module's path (MAX_PATH WCHARs).
    static HRESULT LoadModuleTypeLib(LPWSTR pszPath, ITypeLib** ppTypeLib) noexcept
    {
        *ppTypeLib = NULL;
        const HRESULT hr = _AtlGetModulePath(_AtlGetModuleInstance(), pszPath, MAX_PATH);
        if (FAILED(hr))
            return hr;
        return LoadTypeLibEx(pszPath, REGKIND_NONE, ppTypeLib);
    }

    HRESULT UpdateClasses(BOOL bRegister) noexcept
    {
        for (const _ATL_OBJMAP_ENTRY* p = m_pObjMap; p != NULL && p->pclsid != NULL; ++p)
        {
            const HRESULT hr = p->pfnUpdateRegistry(bRegister);
            if (FAILED(hr))
                return hr;
        }
        return S_OK;
    }
};

} // namespace ATL

// The type library's identifier of a module class.
#define DECLARE_LIBID(libid) \
    static void InitLibId() noexcept { m_libid = libid; }

// A class whose registration is the registry script held as resource x.
#define DECLARE_REGISTRY_RESOURCEID(x)                                             \
    static HRESULT WINAPI UpdateRegistry(BOOL bRegister) noexcept                  \
    {                                                                              \
        if (ATL::_pAtlModule == NULL)                                              \
            return E_UNEXPECTED;                                                   \
        return ATL::_pAtlModule->UpdateRegistryFromResource(x, bRegister);         \
    }

// The object map: BEGIN_OBJECT_MAP(name), one OBJECT_ENTRY per creatable
// class, END_OBJECT_MAP(); the module object is given the name.
#define BEGIN_OBJECT_MAP(x) static const ATL::_ATL_OBJMAP_ENTRY x[] = {
#define OBJECT_ENTRY(clsid, class)                                                                  \
    { &clsid, class ::UpdateRegistry, class ::_ClassFactoryCreatorClass::CreateInstance,            \
      class ::_CreatorClass::CreateInstance, class ::GetObjectDescription },
#define END_OBJECT_MAP() { NULL, NULL, NULL, NULL, NULL } };

// ---------------------------------------------------------------------------
// Property map and ISpecifyPropertyPages

namespace ATL
{

// One entry of a class's property map; the pages of a class are the entries
// made by PROP_PAGE (ATL's other kinds of entry are not used here).
struct ATL_PROPMAP_ENTRY
{
    LPCOLESTR szDesc;
    DISPID dispid;
    const CLSID* pclsidPropPage;
    const IID* piidDispatch;
    DWORD dwOffsetData;
    DWORD dwSizeData;
    VARTYPE vt;
};

// The property pages of class T: the distinct page classes of its property
// map, in map order, as a task-memory array.
template <class T>
class ATL_NO_VTABLE ISpecifyPropertyPagesImpl : public ISpecifyPropertyPages
{
public:
    STDMETHOD(GetPages)(CAUUID* pPages) override
    {
        ATLTRACE2(atlTraceCOM, 2, L"ISpecifyPropertyPagesImpl::GetPages\n");
        if (pPages == NULL)
            return E_POINTER;
        pPages->cElems = 0;
        pPages->pElems = NULL;
        const ATL_PROPMAP_ENTRY* pMap = T::GetPropertyMap();
        ULONG nMax = 0;
        for (const ATL_PROPMAP_ENTRY* p = pMap; p->pclsidPropPage != NULL; ++p)
            ++nMax;
        if (nMax == 0)
            return S_OK;
        GUID* pElems = static_cast<GUID*>(::CoTaskMemAlloc(nMax * sizeof(GUID)));
        if (pElems == NULL)
            return E_OUTOFMEMORY;
        ULONG n = 0;
        for (const ATL_PROPMAP_ENTRY* p = pMap; p->pclsidPropPage != NULL; ++p)
        {
            if (InlineIsEqualGUID(*p->pclsidPropPage, CLSID_NULL))
                continue;
            bool bFound = false;
            for (ULONG i = 0; i < n && !bFound; ++i)
                bFound = InlineIsEqualGUID(pElems[i], *p->pclsidPropPage);
            if (!bFound)
                pElems[n++] = *p->pclsidPropPage;
        }
        pPages->cElems = n;
        pPages->pElems = pElems;
        return S_OK;
    }
};

} // namespace ATL

// BEGIN_PROP_MAP(x) ... END_PROP_MAP(): the property pages of class x.
#define BEGIN_PROP_MAP(theClass)                                           \
public:                                                                    \
    static const ATL::ATL_PROPMAP_ENTRY* GetPropertyMap() noexcept         \
    {                                                                      \
        static const ATL::ATL_PROPMAP_ENTRY pPropMap[] = {
#define PROP_PAGE(clsid) { L"_PROPPAGE", 0, &clsid, &IID_NULL, 0, 0, 0 },
#define END_PROP_MAP()                         \
            { NULL, 0, NULL, &IID_NULL, 0, 0, 0 } \
        };                                     \
        return pPropMap;                       \
    }
