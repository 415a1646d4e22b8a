// Object creation, the owning object pointer and the scoped lock.
#include <Wrappers.h>

#include "TestLog.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>

namespace {

const CLSID CLSID_Item = {0x5E0B7C42, 0x91D3, 0x4A8F, {0xB6, 0x2C, 0x13, 0x7E, 0x48, 0xA9, 0x0D, 0x65}};

class CItem;
CComObjectAutoPtr<CItem>* g_pWatched = NULL;
int g_nAlive = 0;
bool g_bWatchedEmptyAtFinalRelease = false;

class ATL_NO_VTABLE CItem : public CComObjectRootEx<CComMultiThreadModel>, public IPersist
{
public:
    CItem() { ++g_nAlive; }
    ~CItem() { --g_nAlive; }

    static inline HRESULT s_hrFinalConstruct = S_OK;
    HRESULT FinalConstruct() { return s_hrFinalConstruct; }
    void FinalRelease();

    BEGIN_COM_MAP(CItem)
        COM_INTERFACE_ENTRY(IPersist)
    END_COM_MAP()

    STDMETHOD(GetClassID)(CLSID* pClassID) override
    {
        *pClassID = CLSID_Item;
        return S_OK;
    }
};

void CItem::FinalRelease()
{
    if (g_pWatched != NULL)
        g_bWatchedEmptyAtFinalRelease = (NULL == g_pWatched->p);
}

class ObjectWrappers : public ::testing::Test
{
protected:
    void SetUp() override
    {
        CItem::s_hrFinalConstruct = S_OK;
        g_nAlive = 0;
    }
    void TearDown() override { EXPECT_EQ(0, g_nAlive) << "every object is gone"; }
};

TEST_F(ObjectWrappers, CreateObjectHandsOutOneReference)
{
    CComObject<CItem>* p = NULL;
    ASSERT_EQ(S_OK, CreateObject(&p));
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(1, p->m_dwRef);
    EXPECT_EQ(0u, p->Release());
}

TEST_F(ObjectWrappers, AFailedConstructionFailsTheCreationAndDestroysTheObject)
{
    EXPECT_EQ(E_POINTER, CreateObject<CItem>(NULL));

    const HRESULT ahr[] = {E_OUTOFMEMORY, E_ACCESSDENIED, S_FALSE};
    for (HRESULT hr : ahr)
    {
        CItem::s_hrFinalConstruct = hr;
        CComObject<CItem>* p = NULL;
        const HRESULT hrCreate = CreateObject(&p);
        EXPECT_TRUE(FAILED(hrCreate)) << hr;
        if (FAILED(hr))
        {
            EXPECT_EQ(hr, hrCreate);
        }
        EXPECT_EQ(nullptr, p);
        EXPECT_EQ(0, g_nAlive) << "the failed object is destroyed";
    }
}

TEST_F(ObjectWrappers, AutoPtrAssignmentOfTheHeldObjectKeepsIt)
{
    CComObjectAutoPtr<CItem> ap;
    EXPECT_TRUE(!ap);
    ASSERT_EQ(S_OK, CreateObject(&ap));
    EXPECT_FALSE(!ap);
    EXPECT_EQ(1, ap->m_dwRef);

    ap = ap.p;
    EXPECT_EQ(1, g_nAlive);
    EXPECT_EQ(1, ap->m_dwRef);

    CComObject<CItem>* pOther = NULL;
    ASSERT_EQ(S_OK, CreateObject(&pOther));
    ap = pOther; // the first object loses its only reference
    EXPECT_EQ(1, g_nAlive);
    EXPECT_EQ(2, pOther->m_dwRef);
    pOther->Release();
    EXPECT_EQ(static_cast<CComObject<CItem>*>(ap), pOther);

    ap = NULL;
    EXPECT_EQ(0, g_nAlive);
}

TEST_F(ObjectWrappers, AutoPtrReleaseClearsThePointerFirst)
{
    CComObjectAutoPtr<CItem> ap;
    ASSERT_EQ(S_OK, CreateObject(&ap));
    g_pWatched = std::addressof(ap);
    g_bWatchedEmptyAtFinalRelease = false;
    ap.Release();
    g_pWatched = NULL;
    EXPECT_TRUE(g_bWatchedEmptyAtFinalRelease);
    EXPECT_TRUE(!ap);
    ap.Release(); // empty: nothing
}

TEST_F(ObjectWrappers, AutoPtrCreationIntoAHeldPointerDoesNotLeak)
{
    CRecordingLogScope log;
    CComObjectAutoPtr<CItem> ap;
    ASSERT_EQ(S_OK, CreateObject(&ap));
    // A misuse the assertion reports; the held object is released, not lost.
    ASSERT_EQ(S_OK, CreateObject(&ap));
    EXPECT_EQ(1, g_nAlive);
    EXPECT_NE(nullptr, ap.p);
    EXPECT_TRUE(log.m_log.HasAssert("p==NULL"));
}

TEST_F(ObjectWrappers, AutoPtrArrowOnAnEmptyPointerIsAsserted)
{
    CRecordingLogScope log;
    CComObjectAutoPtr<CItem> ap;
    EXPECT_EQ(nullptr, ap.operator->());
    EXPECT_TRUE(log.m_log.HasAssert("p!=NULL"));
}

TEST_F(ObjectWrappers, AutoPtrCopyToQueriesTheObject)
{
    CComObjectAutoPtr<CItem> ap;
    IPersist* pPersist = NULL;
    EXPECT_EQ(E_POINTER, ap.CopyTo(&pPersist));
    EXPECT_EQ(nullptr, pPersist);

    ASSERT_EQ(S_OK, CreateObject(&ap));
    ASSERT_EQ(S_OK, ap.CopyTo(&pPersist));
    EXPECT_EQ(2, ap->m_dwRef);
    CLSID clsid = GUID_NULL;
    EXPECT_EQ(S_OK, pPersist->GetClassID(&clsid));
    EXPECT_TRUE(InlineIsEqualGUID(CLSID_Item, clsid));
    pPersist->Release();

    IPin* pPin = NULL;
    EXPECT_EQ(E_NOINTERFACE, ap.CopyTo(&pPin));
    EXPECT_EQ(nullptr, pPin);
    EXPECT_EQ(E_POINTER, ap.CopyTo<IPersist>(NULL));
    EXPECT_EQ(1, ap->m_dwRef);
}

TEST_F(ObjectWrappers, AutoPtrDestructionReleases)
{
    {
        CComObjectAutoPtr<CItem> ap;
        ASSERT_EQ(S_OK, CreateObject(&ap));
        EXPECT_EQ(1, g_nAlive);
    }
    EXPECT_EQ(0, g_nAlive);
}

BOOL EnterFromOtherThread(CRITICAL_SECTION* pcs)
{
    BOOL bEntered = FALSE;
    std::thread t([&]() {
        bEntered = TryEnterCriticalSection(pcs);
        if (bEntered)
            LeaveCriticalSection(pcs);
    });
    t.join();
    return bEntered;
}

TEST(CritSecLock, HoldsTheSectionForItsScope)
{
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    {
        CCritSecLock lock(cs);
        EXPECT_FALSE(EnterFromOtherThread(&cs));
        CCritSecLock inner(cs); // recursive on the owning thread
    }
    EXPECT_TRUE(EnterFromOtherThread(&cs));
    DeleteCriticalSection(&cs);

    CComAutoCriticalSection acs;
    {
        CCritSecLock lock(acs);
        EXPECT_FALSE(EnterFromOtherThread(&acs.m_sec));
    }
    EXPECT_TRUE(EnterFromOtherThread(&acs.m_sec));
}

} // namespace
