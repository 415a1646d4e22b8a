// Smart pointers of our ATL stand-in: reference counting of CComPtr and
// CComQIPtr, and ownership of CComBSTR.
#include "TestInterfaces.h"

#include <gtest/gtest.h>

#include <memory>
#include <utility>

namespace {

class ATL_NO_VTABLE CTarget : public CComObjectRootEx<CComMultiThreadModel>, public IFoo, public CRecorded
{
public:
    CTarget() : CRecorded("Target") {}

    // Reads the pointer that holds this object while the object goes away.
    static inline CComPtr<IFoo>* s_pWatched = NULL;
    static inline IFoo* s_pSeenAtFinalRelease = reinterpret_cast<IFoo*>(1);
    void FinalRelease()
    {
        if (s_pWatched != NULL)
            s_pSeenAtFinalRelease = s_pWatched->p;
    }

    BEGIN_COM_MAP(CTarget)
        COM_INTERFACE_ENTRY(IFoo)
    END_COM_MAP()

    STDMETHOD(Foo)(int* pn) override
    {
        *pn = 7;
        return S_OK;
    }
};

class ATL_NO_VTABLE CTargetWithBar : public CComObjectRootEx<CComMultiThreadModel>, public IFoo, public IBar
{
public:
    BEGIN_COM_MAP(CTargetWithBar)
        COM_INTERFACE_ENTRY(IFoo)
        COM_INTERFACE_ENTRY(IBar)
    END_COM_MAP()

    STDMETHOD(Foo)(int*) override { return S_OK; }
    STDMETHOD(Bar)(int*) override { return S_OK; }
};

// Creates an object held by the test itself (one reference).
template <class T>
CComObject<T>* NewObject()
{
    CComObject<T>* p = NULL;
    if (FAILED(CComObject<T>::CreateInstance(&p)))
        return NULL;
    p->AddRef();
    return p;
}

class SmartPointer : public ::testing::Test
{
protected:
    void SetUp() override
    {
        g_events.clear();
        m_p1 = NewObject<CTarget>();
        m_p2 = NewObject<CTarget>();
        ASSERT_NE(nullptr, m_p1);
        ASSERT_NE(nullptr, m_p2);
    }
    void TearDown() override
    {
        EXPECT_EQ(1, m_p1->m_dwRef);
        EXPECT_EQ(1, m_p2->m_dwRef);
        m_p1->Release();
        m_p2->Release();
    }

    CComObject<CTarget>* m_p1 = NULL;
    CComObject<CTarget>* m_p2 = NULL;
};

TEST_F(SmartPointer, CComPtrCountsItsReferences)
{
    {
        CComPtr<IFoo> sp(m_p1);
        EXPECT_EQ(2, m_p1->m_dwRef);
        CComPtr<IFoo> spCopy(sp);
        EXPECT_EQ(3, m_p1->m_dwRef);
        CComPtr<IFoo> spMoved(std::move(spCopy));
        EXPECT_EQ(3, m_p1->m_dwRef);
        EXPECT_TRUE(!spCopy);

        sp = sp; // itself
        EXPECT_EQ(3, m_p1->m_dwRef);
        sp = static_cast<IFoo*>(m_p1); // the object it already holds
        EXPECT_EQ(3, m_p1->m_dwRef);

        spMoved = static_cast<IFoo*>(m_p2); // replaces, releasing the old one
        EXPECT_EQ(2, m_p1->m_dwRef);
        EXPECT_EQ(2, m_p2->m_dwRef);
        sp = spMoved;
        EXPECT_EQ(1, m_p1->m_dwRef);
        EXPECT_EQ(3, m_p2->m_dwRef);

        int n = 0;
        EXPECT_EQ(S_OK, sp->Foo(&n));
        EXPECT_EQ(7, n);
        sp = NULL;
        EXPECT_EQ(2, m_p2->m_dwRef);
        EXPECT_TRUE(sp == NULL);
    }
    EXPECT_EQ(1, m_p2->m_dwRef);
}

TEST_F(SmartPointer, CComPtrAttachDetachCopyTo)
{
    CComPtr<IFoo> sp;
    m_p1->AddRef();
    sp.Attach(m_p1); // takes over the caller's reference
    EXPECT_EQ(2, m_p1->m_dwRef);

    IFoo* pOut = NULL;
    EXPECT_EQ(S_OK, sp.CopyTo(&pOut));
    EXPECT_EQ(static_cast<IFoo*>(m_p1), pOut);
    EXPECT_EQ(3, m_p1->m_dwRef);
    pOut->Release();
    EXPECT_EQ(E_POINTER, sp.CopyTo(NULL));

    m_p2->AddRef();
    sp.Attach(m_p2); // drops the old object's reference
    EXPECT_EQ(1, m_p1->m_dwRef);
    IFoo* pDetached = sp.Detach();
    EXPECT_TRUE(!sp);
    EXPECT_EQ(static_cast<IFoo*>(m_p2), pDetached);
    EXPECT_EQ(2, m_p2->m_dwRef);
    pDetached->Release();

    // operator& lets a callee fill an empty pointer.
    EXPECT_EQ(S_OK, m_p1->QueryInterface(__uuidof(IFoo), reinterpret_cast<void**>(&sp)));
    EXPECT_EQ(2, m_p1->m_dwRef);
}

TEST_F(SmartPointer, ReleaseClearsThePointerBeforeTheObjectGoes)
{
    CComObject<CTarget>* p = NewObject<CTarget>();
    ASSERT_NE(nullptr, p);
    CComPtr<IFoo> sp;
    sp.Attach(p);
    CTarget::s_pWatched = std::addressof(sp);
    sp.Release();
    CTarget::s_pWatched = NULL;
    EXPECT_EQ(nullptr, CTarget::s_pSeenAtFinalRelease);
    EXPECT_EQ("Target dtor", g_events.back());
}

TEST_F(SmartPointer, QueryInterfaceAndIdentity)
{
    CComObject<CTargetWithBar>* pBoth = NewObject<CTargetWithBar>();
    ASSERT_NE(nullptr, pBoth);
    {
        CComPtr<IFoo> spFoo(pBoth);
        CComPtr<IBar> spBar;
        EXPECT_EQ(S_OK, spFoo.QueryInterface(&spBar));
        EXPECT_EQ(static_cast<IBar*>(pBoth), spBar.p);
        EXPECT_TRUE(spFoo.IsEqualObject(spBar));
        EXPECT_FALSE(spFoo.IsEqualObject(static_cast<IFoo*>(m_p1)));
        EXPECT_EQ(3, pBoth->m_dwRef);

        // Assignment from another interface's pointer queries.
        CComPtr<IBar> spBar2;
        spBar2 = spFoo;
        EXPECT_EQ(static_cast<IBar*>(pBoth), spBar2.p);
        CComPtr<IFoo> spTarget(m_p1);
        spBar2 = spTarget; // CTarget has no IBar
        EXPECT_TRUE(!spBar2);
        EXPECT_EQ(3, pBoth->m_dwRef);
        EXPECT_EQ(2, m_p1->m_dwRef);
    }
    EXPECT_EQ(1, pBoth->m_dwRef);
    pBoth->Release();
}

TEST_F(SmartPointer, CComQIPtrQueriesWhatItIsGiven)
{
    CComObject<CTargetWithBar>* pBoth = NewObject<CTargetWithBar>();
    ASSERT_NE(nullptr, pBoth);
    {
        CComQIPtr<IBar> spBar(static_cast<IFoo*>(pBoth));
        EXPECT_EQ(static_cast<IBar*>(pBoth), spBar.p);
        EXPECT_EQ(2, pBoth->m_dwRef);

        CComQIPtr<IBar> spNone(static_cast<IFoo*>(m_p1));
        EXPECT_TRUE(!spNone);

        spNone = static_cast<IFoo*>(pBoth); // assignment queries too
        EXPECT_EQ(static_cast<IBar*>(pBoth), spNone.p);
        spNone = static_cast<IFoo*>(m_p1);
        EXPECT_TRUE(!spNone);
        EXPECT_EQ(2, pBoth->m_dwRef);

        // The IUnknown form holds the object's identity.
        CComQIPtr<IUnknown> spUnk(static_cast<IBar*>(pBoth));
        EXPECT_EQ(pBoth->GetUnknown(), spUnk.p);
        EXPECT_EQ(3, pBoth->m_dwRef);
    }
    EXPECT_EQ(1, pBoth->m_dwRef);
    pBoth->Release();
}

TEST(ComBstr, OwnsItsString)
{
    CComBSTR bstrEmpty;
    EXPECT_TRUE(!bstrEmpty);
    EXPECT_EQ(0u, bstrEmpty.Length());

    CComBSTR bstr(L"C:\\frame.bin");
    ASSERT_FALSE(!bstr);
    EXPECT_EQ(12u, bstr.Length());
    EXPECT_EQ(24u, bstr.ByteLength());
    EXPECT_STREQ(L"C:\\frame.bin", bstr);

    CComBSTR bstrCopy(bstr);
    EXPECT_NE(bstr.m_str, bstrCopy.m_str) << "a copy owns its own string";
    EXPECT_STREQ(L"C:\\frame.bin", bstrCopy);

    bstrCopy = L"other";
    EXPECT_STREQ(L"other", bstrCopy);
    bstrCopy = bstr;
    EXPECT_STREQ(L"C:\\frame.bin", bstrCopy);
    bstrCopy = static_cast<LPCOLESTR>(NULL);
    EXPECT_TRUE(!bstrCopy);

    CComBSTR bstrPart(3, L"abcdef");
    EXPECT_STREQ(L"abc", bstrPart);
    EXPECT_EQ(S_OK, bstrPart.Append(L"de"));
    EXPECT_STREQ(L"abcde", bstrPart);
    EXPECT_EQ(5u, bstrPart.Length());
    EXPECT_EQ(S_OK, bstrEmpty.Append(L"x"));
    EXPECT_STREQ(L"x", bstrEmpty);

    BSTR b = NULL;
    EXPECT_EQ(S_OK, bstr.CopyTo(&b));
    EXPECT_STREQ(L"C:\\frame.bin", b);
    EXPECT_NE(bstr.m_str, b);
    SysFreeString(b);

    b = bstr.Detach();
    EXPECT_TRUE(!bstr);
    bstrCopy.Attach(b);
    EXPECT_EQ(b, bstrCopy.m_str);
    bstrCopy.Empty();
    EXPECT_TRUE(!bstrCopy);

    // An embedded NUL survives a copy.
    CComBSTR bstrNul(3, L"a\0b");
    CComBSTR bstrNulCopy(bstrNul);
    EXPECT_EQ(3u, bstrNulCopy.Length());
    EXPECT_EQ(L'b', bstrNulCopy.m_str[2]);
}

} // namespace

namespace {

TEST(SmartPointerCreation, CoCreateInstanceFillsAnEmptyPointer)
{
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(NULL, COINIT_MULTITHREADED)));
    {
        CComPtr<IGlobalInterfaceTable> spTable;
        EXPECT_EQ(S_OK, spTable.CoCreateInstance(CLSID_StdGlobalInterfaceTable, NULL, CLSCTX_INPROC_SERVER));
        EXPECT_FALSE(!spTable);

        CComPtr<IGlobalInterfaceTable> spNone;
        EXPECT_EQ(REGDB_E_CLASSNOTREG, spNone.CoCreateInstance(IID_INowhere, NULL, CLSCTX_INPROC_SERVER));
        EXPECT_TRUE(!spNone);
    }
    CoUninitialize();
}

} // namespace
