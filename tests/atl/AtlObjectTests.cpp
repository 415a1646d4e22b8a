// The COM object layer of our ATL stand-in: creation and destruction,
// reference counts, interface maps, tear-offs and the aggregated
// free-threaded marshaler.
#include "TestInterfaces.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

const IID IID_IFooAlias = {0x9C3F8A1E, 0x2B47, 0x4D6A, {0x8E, 0x15, 0x7A, 0x30, 0x4F, 0xC2, 0x91, 0x5B}};
// The in-process free-threaded marshaler (the mingw import library carries
// another value under the name CLSID_InProcFreeMarshaler).
const CLSID CLSID_FreeMarshaler = {0x0000033A, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const CLSID CLSID_CoPlain = {0x9C3F8A1F, 0x2B47, 0x4D6A, {0x8E, 0x15, 0x7A, 0x30, 0x4F, 0xC2, 0x91, 0x5B}};

// Plain interfaces, a second identifier for one of them, and an interface
// that two bases share.
class ATL_NO_VTABLE CPlain : public CComObjectRootEx<CComMultiThreadModel>,
                             public IFoo,
                             public IDerivedA,
                             public IDerivedB,
                             public CRecorded
{
public:
    CPlain() : CRecorded("Plain") {}

    static inline HRESULT s_hrFinalConstruct = S_OK;
    HRESULT FinalConstruct()
    {
        Record("FinalConstruct");
        return s_hrFinalConstruct;
    }
    void FinalRelease() { Record("FinalRelease"); }

    BEGIN_COM_MAP(CPlain)
        COM_INTERFACE_ENTRY(IFoo)
        COM_INTERFACE_ENTRY(IDerivedA)
        COM_INTERFACE_ENTRY(IDerivedB)
        COM_INTERFACE_ENTRY2(IBase, IDerivedB)
        COM_INTERFACE_ENTRY_IID(IID_IFooAlias, IFoo)
    END_COM_MAP()

    STDMETHOD(Foo)(int* pn) override
    {
        *pn = 1;
        return S_OK;
    }
    STDMETHOD(Base)() override { return S_OK; }
    STDMETHOD(A)() override { return S_OK; }
    STDMETHOD(B)() override { return S_OK; }
};

// The same through its coclass.
class ATL_NO_VTABLE CCoPlain : public CComObjectRootEx<CComMultiThreadModel>,
                               public CComCoClass<CCoPlain, &CLSID_CoPlain>,
                               public IFoo,
                               public CRecorded
{
public:
    CCoPlain() : CRecorded("CoPlain") {}

    BEGIN_COM_MAP(CCoPlain)
        COM_INTERFACE_ENTRY(IFoo)
    END_COM_MAP()

    STDMETHOD(Foo)(int* pn) override
    {
        *pn = 2;
        return S_OK;
    }
};

// Overrides the count's decrement, as an object that watches its own count does.
class ATL_NO_VTABLE CCounting : public CComObjectRootEx<CComMultiThreadModel>, public IFoo, public CRecorded
{
public:
    CCounting() : CRecorded("Counting") {}

    ULONG InternalRelease()
    {
        const ULONG n = CComObjectRootEx<CComMultiThreadModel>::InternalRelease();
        Record(("release to " + std::to_string(n)).c_str());
        return n;
    }

    BEGIN_COM_MAP(CCounting)
        COM_INTERFACE_ENTRY(IFoo)
    END_COM_MAP()

    STDMETHOD(Foo)(int*) override { return S_OK; }
};

// Hands itself out and takes itself back during FinalConstruct.
class ATL_NO_VTABLE CProtected : public CComObjectRootEx<CComMultiThreadModel>, public IFoo, public CRecorded
{
public:
    CProtected() : CRecorded("Protected") {}

    DECLARE_PROTECT_FINAL_CONSTRUCT()

    HRESULT FinalConstruct()
    {
        IFoo* pFoo = NULL;
        const HRESULT hr = GetUnknown()->QueryInterface(__uuidof(IFoo), reinterpret_cast<void**>(&pFoo));
        if (SUCCEEDED(hr))
            pFoo->Release();
        Record("FinalConstruct");
        return hr;
    }

    BEGIN_COM_MAP(CProtected)
        COM_INTERFACE_ENTRY(IFoo)
    END_COM_MAP()

    STDMETHOD(Foo)(int*) override { return S_OK; }
};

// A constructor that fails the way a failed lock initialisation does.
class ATL_NO_VTABLE CThrowing : public CComObjectRootEx<CComMultiThreadModel>, public IFoo
{
public:
    CThrowing() { AtlThrow(HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY)); }

    BEGIN_COM_MAP(CThrowing)
        COM_INTERFACE_ENTRY(IFoo)
    END_COM_MAP()

    STDMETHOD(Foo)(int*) override { return S_OK; }
};

// A conditional entry, a blind entry in the middle and a catch-all at the end.
class ATL_NO_VTABLE CConditional : public CComObjectRootEx<CComMultiThreadModel>, public IFoo, public IBar
{
public:
    static HRESULT WINAPI QueryBar(void* pv, REFIID, void** ppv, DWORD_PTR dw)
    {
        if (!static_cast<CConditional*>(pv)->m_bOfferBar)
            return E_NOINTERFACE;
        IBar* pBar = reinterpret_cast<IBar*>(reinterpret_cast<BYTE*>(pv) + dw);
        pBar->AddRef();
        *ppv = pBar;
        return S_OK;
    }
    static HRESULT WINAPI Passing(void* pv, REFIID, void**, DWORD_PTR)
    {
        ++static_cast<CConditional*>(pv)->m_nPassing;
        return E_NOINTERFACE;
    }
    static HRESULT WINAPI CatchAll(void* pv, REFIID riid, void**, DWORD_PTR)
    {
        static_cast<CConditional*>(pv)->m_aRefused.push_back(riid);
        return E_NOINTERFACE;
    }

    BEGIN_COM_MAP(CConditional)
        COM_INTERFACE_ENTRY(IFoo)
        COM_INTERFACE_ENTRY_FUNC(__uuidof(IBar), offsetofclass(IBar, CConditional), QueryBar)
        COM_INTERFACE_ENTRY_FUNC_BLIND(0, Passing)
        COM_INTERFACE_ENTRY_IID(IID_IFooAlias, IFoo)
        COM_INTERFACE_ENTRY_FUNC_BLIND(0, CatchAll)
    END_COM_MAP()

    STDMETHOD(Foo)(int*) override { return S_OK; }
    STDMETHOD(Bar)(int*) override { return S_OK; }

    bool m_bOfferBar = false;
    int m_nPassing = 0;
    std::vector<IID> m_aRefused;
};

// A tear-off and its owner.
class COwner;

class ATL_NO_VTABLE CTear : public CComTearOffObjectBase<COwner, CComMultiThreadModel>,
                            public ITear,
                            public ITearExtra,
                            public CRecorded
{
public:
    CTear() : CRecorded("Tear") {}

    static inline HRESULT s_hrFinalConstruct = S_OK;
    HRESULT FinalConstruct()
    {
        Record("FinalConstruct");
        return s_hrFinalConstruct;
    }
    void FinalRelease() { Record("FinalRelease"); }

    BEGIN_COM_MAP(CTear)
        COM_INTERFACE_ENTRY(ITear)
        COM_INTERFACE_ENTRY(ITearExtra)
    END_COM_MAP()

    STDMETHOD(Tear)(IUnknown** ppOwner) override;
    STDMETHOD(Extra)() override { return S_OK; }
};

class ATL_NO_VTABLE COwner : public CComObjectRootEx<CComMultiThreadModel>, public IFoo, public CRecorded
{
public:
    COwner() : CRecorded("Owner") {}

    BEGIN_COM_MAP(COwner)
        COM_INTERFACE_ENTRY(IFoo)
        COM_INTERFACE_ENTRY_TEAR_OFF(__uuidof(ITear), CTear)
    END_COM_MAP()

    STDMETHOD(Foo)(int* pn) override
    {
        *pn = 3;
        return S_OK;
    }
};

STDMETHODIMP CTear::Tear(IUnknown** ppOwner)
{
    *ppOwner = m_pOwner->GetUnknown();
    (*ppOwner)->AddRef();
    return S_OK;
}

// Aggregates the free-threaded marshaler, as every object of the filter module does.
class ATL_NO_VTABLE CFreeThreaded : public CComObjectRootEx<CComMultiThreadModel>, public IFoo, public CRecorded
{
public:
    CFreeThreaded() : CRecorded("FreeThreaded") {}

    DECLARE_PROTECT_FINAL_CONSTRUCT()
    DECLARE_GET_CONTROLLING_UNKNOWN()

    static inline bool s_bMarshaler = true;
    HRESULT FinalConstruct()
    {
        if (!s_bMarshaler)
            return S_OK;
        return CoCreateFreeThreadedMarshaler(GetControllingUnknown(), &m_spMarshaler.p);
    }
    void FinalRelease()
    {
        m_spMarshaler.Release();
        Record("FinalRelease");
    }

    BEGIN_COM_MAP(CFreeThreaded)
        COM_INTERFACE_ENTRY(IFoo)
        COM_INTERFACE_ENTRY_AGGREGATE(IID_IMarshal, m_spMarshaler.p)
    END_COM_MAP()

    STDMETHOD(Foo)(int* pn) override
    {
        *pn = static_cast<int>(GetCurrentThreadId());
        return S_OK;
    }

    CComPtr<IUnknown> m_spMarshaler;
};

// The single-threaded model: a count without interlocking, no lock.
class ATL_NO_VTABLE CSingle : public CComObjectRootEx<CComSingleThreadModel>, public IFoo
{
public:
    BEGIN_COM_MAP(CSingle)
        COM_INTERFACE_ENTRY(IFoo)
    END_COM_MAP()

    STDMETHOD(Foo)(int*) override
    {
        ObjectLock lock(this);
        return S_OK;
    }
};

// Every test runs with a module object, whose lock count must be back to 0
// at the end: no object leaked.
class AtlObject : public ::testing::Test
{
protected:
    void SetUp() override
    {
        g_events.clear();
        CPlain::s_hrFinalConstruct = S_OK;
        CTear::s_hrFinalConstruct = S_OK;
        CFreeThreaded::s_bMarshaler = true;
        ASSERT_EQ(&m_module, _pAtlModule);
    }
    void TearDown() override { EXPECT_EQ(0, m_module.GetLockCount()); }

    bool Happened(const std::string& strEvent) const
    {
        for (const std::string& s : g_events)
            if (s == strEvent)
                return true;
        return false;
    }

    CAtlModule m_module;
};

TEST_F(AtlObject, CreationRunsFinalConstructAndLastReleaseDestroys)
{
    CComObject<CPlain>* p = NULL;
    ASSERT_EQ(S_OK, CComObject<CPlain>::CreateInstance(&p));
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(0, p->m_dwRef);
    EXPECT_EQ(1, m_module.GetLockCount());
    EXPECT_EQ((std::vector<std::string>{"Plain ctor", "Plain FinalConstruct"}), g_events);

    EXPECT_EQ(1u, p->AddRef());
    EXPECT_EQ(2u, p->AddRef());
    EXPECT_EQ(1u, p->Release());
    EXPECT_FALSE(Happened("Plain dtor"));
    EXPECT_EQ(0u, p->Release());
    EXPECT_EQ((std::vector<std::string>{"Plain ctor", "Plain FinalConstruct", "Plain FinalRelease", "Plain dtor"}),
              g_events);
}

TEST_F(AtlObject, FailedFinalConstructDestroysTheObject)
{
    struct Case
    {
        HRESULT hrFinalConstruct;
        HRESULT hrExpected;
    };
    // A success other than S_OK would hand out nothing while reporting success.
    const Case aCases[] = {{E_OUTOFMEMORY, E_OUTOFMEMORY}, {E_ACCESSDENIED, E_ACCESSDENIED}, {S_FALSE, E_FAIL}};
    for (const Case& c : aCases)
    {
        SCOPED_TRACE(c.hrFinalConstruct);
        g_events.clear();
        CPlain::s_hrFinalConstruct = c.hrFinalConstruct;
        CComObject<CPlain>* p = reinterpret_cast<CComObject<CPlain>*>(1);
        EXPECT_EQ(c.hrExpected, CComObject<CPlain>::CreateInstance(&p));
        EXPECT_EQ(nullptr, p);
        EXPECT_TRUE(Happened("Plain dtor"));
        EXPECT_TRUE(Happened("Plain FinalRelease"));
        EXPECT_EQ(0, m_module.GetLockCount());
    }
    EXPECT_EQ(E_POINTER, CComObject<CPlain>::CreateInstance(NULL));
}

TEST_F(AtlObject, ConstructorExceptionBecomesOutOfMemory)
{
    CComObject<CThrowing>* p = reinterpret_cast<CComObject<CThrowing>*>(1);
    EXPECT_EQ(E_OUTOFMEMORY, CComObject<CThrowing>::CreateInstance(&p));
    EXPECT_EQ(nullptr, p);
    IFoo* pFoo = reinterpret_cast<IFoo*>(1);
    EXPECT_EQ(E_OUTOFMEMORY, CComCreator<CComObject<CThrowing>>::CreateInstance(NULL, __uuidof(IFoo),
                                                                                reinterpret_cast<void**>(&pFoo)));
    EXPECT_EQ(nullptr, pFoo);
}

TEST_F(AtlObject, TheInterfaceMapAnswersEachInterfaceAtItsOffset)
{
    CComObject<CPlain>* p = NULL;
    ASSERT_EQ(S_OK, CComObject<CPlain>::CreateInstance(&p));
    p->AddRef();

    struct Case
    {
        const IID* piid;
        void* pvExpected;
    };
    const Case aCases[] = {
        {&IID_IUnknown, static_cast<IFoo*>(p)}, // the first entry is the identity
        {&__uuidof(IFoo), static_cast<IFoo*>(p)},
        {&IID_IFooAlias, static_cast<IFoo*>(p)},
        {&__uuidof(IDerivedA), static_cast<IDerivedA*>(p)},
        {&__uuidof(IDerivedB), static_cast<IDerivedB*>(p)},
        {&__uuidof(IBase), static_cast<IBase*>(static_cast<IDerivedB*>(p))},
    };
    for (const Case& c : aCases)
    {
        void* pv = NULL;
        EXPECT_EQ(S_OK, p->QueryInterface(*c.piid, &pv));
        EXPECT_EQ(c.pvExpected, pv);
        EXPECT_EQ(2, p->m_dwRef) << "the answer carries a reference";
        if (pv != NULL)
            static_cast<IUnknown*>(pv)->Release();
    }
    EXPECT_NE(static_cast<void*>(static_cast<IBase*>(static_cast<IDerivedA*>(p))),
              static_cast<void*>(static_cast<IBase*>(static_cast<IDerivedB*>(p))));

    // Every interface leads to the same identity.
    IDerivedB* pB = NULL;
    ASSERT_EQ(S_OK, p->QueryInterface(&pB));
    IUnknown* pUnk = NULL;
    EXPECT_EQ(S_OK, pB->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&pUnk)));
    EXPECT_EQ(p->GetUnknown(), pUnk);
    pUnk->Release();
    pB->Release();

    p->Release();
}

TEST_F(AtlObject, TheInterfaceMapRefusesUnknownInterfacesAndNullPointers)
{
    CComObject<CPlain>* p = NULL;
    ASSERT_EQ(S_OK, CComObject<CPlain>::CreateInstance(&p));
    p->AddRef();
    void* pv = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, p->QueryInterface(IID_INowhere, &pv));
    EXPECT_EQ(nullptr, pv);
    EXPECT_EQ(E_NOINTERFACE, p->QueryInterface(__uuidof(IBar), &pv));
    EXPECT_EQ(E_POINTER, p->QueryInterface(__uuidof(IFoo), NULL));
    EXPECT_EQ(E_POINTER, p->QueryInterface(IID_IUnknown, NULL));
    EXPECT_EQ(1, p->m_dwRef);
    p->Release();
}

TEST_F(AtlObject, FunctionEntriesAnswerOrEndTheSearchUnlessBlind)
{
    CComObject<CConditional>* p = NULL;
    ASSERT_EQ(S_OK, CComObject<CConditional>::CreateInstance(&p));
    p->AddRef();
    void* pv = reinterpret_cast<void*>(1);

    // A non-blind entry that refuses ends the search: nothing after it runs.
    EXPECT_EQ(E_NOINTERFACE, p->QueryInterface(__uuidof(IBar), &pv));
    EXPECT_EQ(nullptr, pv);
    EXPECT_EQ(0, p->m_nPassing);
    EXPECT_TRUE(p->m_aRefused.empty());

    // The same entry answering, at the offset it was given.
    p->m_bOfferBar = true;
    ASSERT_EQ(S_OK, p->QueryInterface(__uuidof(IBar), &pv));
    EXPECT_EQ(static_cast<IBar*>(p), pv);
    static_cast<IBar*>(pv)->Release();

    // A blind entry that refuses lets the search go on to later entries.
    ASSERT_EQ(S_OK, p->QueryInterface(IID_IFooAlias, &pv));
    EXPECT_EQ(static_cast<IFoo*>(p), pv);
    EXPECT_EQ(1, p->m_nPassing);
    static_cast<IFoo*>(pv)->Release();

    // The catch-all at the end sees what nobody answered.
    EXPECT_EQ(E_NOINTERFACE, p->QueryInterface(IID_INowhere, &pv));
    EXPECT_EQ(nullptr, pv);
    ASSERT_EQ(1u, p->m_aRefused.size());
    EXPECT_TRUE(InlineIsEqualGUID(IID_INowhere, p->m_aRefused[0]));

    // Plain entries before the functions do not reach them.
    ASSERT_EQ(S_OK, p->QueryInterface(__uuidof(IFoo), &pv));
    static_cast<IFoo*>(pv)->Release();
    EXPECT_EQ(2, p->m_nPassing);
    EXPECT_EQ(1u, p->m_aRefused.size());

    EXPECT_EQ(1, p->m_dwRef);
    p->Release();
}

TEST_F(AtlObject, DerivedClassOwnsTheCount)
{
    CComObject<CCounting>* p = NULL;
    ASSERT_EQ(S_OK, CComObject<CCounting>::CreateInstance(&p));
    p->AddRef();
    p->AddRef();
    p->Release();
    p->Release();
    EXPECT_EQ((std::vector<std::string>{"Counting ctor", "Counting release to 1", "Counting release to 0",
                                        "Counting dtor"}),
              g_events);
}

TEST_F(AtlObject, ProtectedFinalConstructSurvivesItsOwnReferences)
{
    CComObject<CProtected>* p = NULL;
    ASSERT_EQ(S_OK, CComObject<CProtected>::CreateInstance(&p));
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(0, p->m_dwRef);
    EXPECT_FALSE(Happened("Protected dtor"));
    p->AddRef();
    p->Release();
    EXPECT_TRUE(Happened("Protected dtor"));
}

TEST_F(AtlObject, CoClassCreatesWithOneReference)
{
    EXPECT_TRUE(InlineIsEqualGUID(CLSID_CoPlain, CCoPlain::GetObjectCLSID()));

    IFoo* pFoo = NULL;
    ASSERT_EQ(S_OK, CCoPlain::CreateInstance(&pFoo));
    int n = 0;
    pFoo->Foo(&n);
    EXPECT_EQ(2, n);
    EXPECT_EQ(2u, pFoo->AddRef());
    pFoo->Release();
    EXPECT_EQ(0u, pFoo->Release());
    EXPECT_TRUE(Happened("CoPlain dtor"));

    // No aggregation, and an interface the class lacks destroys the new object.
    g_events.clear();
    pFoo = reinterpret_cast<IFoo*>(1);
    EXPECT_EQ(CLASS_E_NOAGGREGATION, CCoPlain::CreateInstance(reinterpret_cast<IUnknown*>(&m_module), &pFoo));
    EXPECT_EQ(nullptr, pFoo);
    EXPECT_TRUE(g_events.empty());
    void* pv = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, CCoPlain::_CreatorClass::CreateInstance(NULL, __uuidof(IBar), &pv));
    EXPECT_EQ(nullptr, pv);
    EXPECT_TRUE(Happened("CoPlain dtor"));
}

TEST_F(AtlObject, ObjectLockHoldsTheObjectCriticalSection)
{
    CComObject<CPlain>* p = NULL;
    ASSERT_EQ(S_OK, CComObject<CPlain>::CreateInstance(&p));
    p->AddRef();
    auto TryFromOtherThread = [p]() {
        BOOL bEntered = FALSE;
        std::thread t([&]() {
            bEntered = TryEnterCriticalSection(&p->m_critsec.m_sec);
            if (bEntered)
                LeaveCriticalSection(&p->m_critsec.m_sec);
        });
        t.join();
        return bEntered;
    };
    {
        CPlain::ObjectLock lock(p);
        EXPECT_FALSE(TryFromOtherThread());
        p->Lock(); // recursive on its own thread
        p->Unlock();
        EXPECT_FALSE(TryFromOtherThread());
    }
    EXPECT_TRUE(TryFromOtherThread());
    p->Release();
}

TEST_F(AtlObject, SingleThreadModelCounts)
{
    CComObject<CSingle>* p = NULL;
    ASSERT_EQ(S_OK, CComObject<CSingle>::CreateInstance(&p));
    EXPECT_EQ(1u, p->AddRef());
    EXPECT_EQ(S_OK, p->Foo(NULL));
    EXPECT_EQ(1, m_module.GetLockCount());
    EXPECT_EQ(0u, p->Release());
}

TEST_F(AtlObject, TearOffIsANewObjectThatHoldsItsOwner)
{
    CComObject<COwner>* pOwner = NULL;
    ASSERT_EQ(S_OK, CComObject<COwner>::CreateInstance(&pOwner));
    pOwner->AddRef();

    ITear* pTear1 = NULL;
    ITear* pTear2 = NULL;
    ASSERT_EQ(S_OK, pOwner->QueryInterface(&pTear1));
    ASSERT_EQ(S_OK, pOwner->QueryInterface(&pTear2));
    EXPECT_NE(pTear1, pTear2) << "every query makes a tear-off";
    EXPECT_EQ(3, pOwner->m_dwRef) << "each tear-off holds its owner";
    EXPECT_EQ(1, m_module.GetLockCount()) << "a tear-off is no object of the module's";

    IUnknown* pUnk = NULL;
    EXPECT_EQ(S_OK, pTear1->Tear(&pUnk));
    EXPECT_EQ(pOwner->GetUnknown(), pUnk);
    pUnk->Release();

    // QueryInterface of a tear-off is its owner's.
    IFoo* pFoo = NULL;
    ASSERT_EQ(S_OK, pTear1->QueryInterface(&pFoo));
    EXPECT_EQ(static_cast<IFoo*>(pOwner), pFoo);
    pFoo->Release();
    ASSERT_EQ(S_OK, pTear1->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&pUnk)));
    EXPECT_EQ(pOwner->GetUnknown(), pUnk);
    pUnk->Release();
    ITearExtra* pExtra = reinterpret_cast<ITearExtra*>(1);
    EXPECT_EQ(E_NOINTERFACE, pTear1->QueryInterface(&pExtra)) << "the tear-off's own map served only its creation";
    EXPECT_EQ(nullptr, pExtra);

    ITear* pTear3 = NULL;
    ASSERT_EQ(S_OK, pTear1->QueryInterface(&pTear3));
    EXPECT_NE(pTear1, pTear3);
    pTear3->Release();

    EXPECT_EQ(0u, pTear1->Release());
    EXPECT_EQ(2, pOwner->m_dwRef);
    EXPECT_EQ(0u, pTear2->Release());
    EXPECT_EQ(1, pOwner->m_dwRef);
    EXPECT_FALSE(Happened("Owner dtor"));
    EXPECT_EQ(0u, pOwner->Release());
    EXPECT_EQ("Owner dtor", g_events.back()) << "the owner goes last";
}

TEST_F(AtlObject, TearOffWhoseFinalConstructFailsLeavesTheOwnerAsItWas)
{
    CComObject<COwner>* pOwner = NULL;
    ASSERT_EQ(S_OK, CComObject<COwner>::CreateInstance(&pOwner));
    pOwner->AddRef();
    CTear::s_hrFinalConstruct = E_UNEXPECTED;
    ITear* pTear = reinterpret_cast<ITear*>(1);
    EXPECT_EQ(E_UNEXPECTED, pOwner->QueryInterface(&pTear));
    EXPECT_EQ(nullptr, pTear);
    EXPECT_TRUE(Happened("Tear FinalRelease"));
    EXPECT_TRUE(Happened("Tear dtor"));
    EXPECT_EQ(1, pOwner->m_dwRef);
    pOwner->Release();
}

class ComApartment
{
public:
    explicit ComApartment(DWORD dwCoInit) : m_hr(CoInitializeEx(NULL, dwCoInit)) {}
    ~ComApartment()
    {
        if (SUCCEEDED(m_hr))
            CoUninitialize();
    }
    HRESULT m_hr;
};

TEST_F(AtlObject, AggregatedFreeThreadedMarshalerAnswersIMarshal)
{
    ComApartment apartment(COINIT_APARTMENTTHREADED);
    ASSERT_TRUE(SUCCEEDED(apartment.m_hr));

    CComObject<CFreeThreaded>* p = NULL;
    ASSERT_EQ(S_OK, CComObject<CFreeThreaded>::CreateInstance(&p));
    p->AddRef();
    EXPECT_EQ(1, p->m_dwRef) << "the inner marshaler holds no reference on its outer object";

    IMarshal* pMarshal = NULL;
    ASSERT_EQ(S_OK, p->QueryInterface(IID_IMarshal, reinterpret_cast<void**>(&pMarshal)));
    ASSERT_NE(nullptr, pMarshal);
    EXPECT_EQ(2, p->m_dwRef) << "the marshaler's interface counts on the outer object";
    CLSID clsid = GUID_NULL;
    EXPECT_EQ(S_OK, pMarshal->GetUnmarshalClass(__uuidof(IFoo), static_cast<IFoo*>(p), MSHCTX_INPROC, NULL,
                                                MSHLFLAGS_NORMAL, &clsid));
    EXPECT_TRUE(InlineIsEqualGUID(CLSID_FreeMarshaler, clsid));
    IUnknown* pUnk = NULL;
    ASSERT_EQ(S_OK, pMarshal->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&pUnk)));
    EXPECT_EQ(p->GetUnknown(), pUnk) << "the inner object answers with the outer identity";
    pUnk->Release();
    pMarshal->Release();

    // Another apartment gets the object itself, not a proxy.
    IStream* pStream = NULL;
    ASSERT_EQ(S_OK, CoMarshalInterThreadInterfaceInStream(__uuidof(IFoo), static_cast<IFoo*>(p), &pStream));
    IFoo* pFooThere = NULL;
    HRESULT hrThere = E_FAIL;
    int nThread = 0;
    std::thread t([&]() {
        ComApartment other(COINIT_APARTMENTTHREADED);
        hrThere = CoGetInterfaceAndReleaseStream(pStream, __uuidof(IFoo), reinterpret_cast<void**>(&pFooThere));
        if (SUCCEEDED(hrThere))
        {
            pFooThere->Foo(&nThread);
            pFooThere->Release();
        }
    });
    t.join();
    EXPECT_EQ(S_OK, hrThere);
    EXPECT_EQ(static_cast<IFoo*>(p), pFooThere);
    EXPECT_NE(static_cast<int>(GetCurrentThreadId()), nThread) << "called directly on the other thread";

    EXPECT_EQ(1, p->m_dwRef);
    EXPECT_EQ(0u, p->Release());
    EXPECT_TRUE(Happened("FreeThreaded dtor"));
}

TEST_F(AtlObject, AggregateEntryWithoutInnerObjectRefuses)
{
    CFreeThreaded::s_bMarshaler = false;
    CComObject<CFreeThreaded>* p = NULL;
    ASSERT_EQ(S_OK, CComObject<CFreeThreaded>::CreateInstance(&p));
    p->AddRef();
    void* pv = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, p->QueryInterface(IID_IMarshal, &pv));
    EXPECT_EQ(nullptr, pv);
    p->Release();
}

TEST(AtlCriticalSection, SafeDeleteTermsOnlyWhatWasInitialised)
{
    CComSafeDeleteCriticalSection cs;
    EXPECT_EQ(S_OK, cs.Term()); // never initialised: nothing to delete
    ASSERT_EQ(S_OK, cs.Init());
    EXPECT_EQ(S_OK, cs.Lock());
    EXPECT_EQ(S_OK, cs.Unlock());
    EXPECT_EQ(S_OK, cs.Term());
    EXPECT_EQ(S_OK, cs.Term()); // a second Term is harmless

    CComAutoCriticalSection acs;
    EXPECT_EQ(S_OK, acs.Lock());
    EXPECT_EQ(S_OK, acs.Unlock());
}

TEST(AtlModule, ObjectsWithoutModuleObjectStillWork)
{
    ASSERT_EQ(nullptr, _pAtlModule);
    CComObject<CPlain>* p = NULL;
    ASSERT_EQ(S_OK, CComObject<CPlain>::CreateInstance(&p));
    p->AddRef();
    EXPECT_EQ(0u, p->Release());
}

} // namespace
