// The enumerator template: Next, Skip, Reset and Clone over an accessor,
// with a source that fails or goes out of sync under it; the filter's pin
// enumerator, the pins' media-type enumerators, and the output pin's
// enumeration of the upstream types.
#include "FilterTestSupport.h"

#include <limits.h>

namespace {

// A source of fake pins that can answer an error at one index.
class CItemSource : public IUnknown, public CFakeUnknown
{
public:
    explicit CItemSource(int nItems)
    {
        for (int i = 0; i < nItems; ++i)
            m_items.push_back(new CFakePin(PINDIR_OUTPUT));
    }
    ~CItemSource() override
    {
        for (CFakePin* p : m_items)
            p->Release();
    }
    FAKE_IUNKNOWN
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = NULL;
        if (riid != IID_IUnknown)
            return E_NOINTERFACE;
        *ppv = static_cast<IUnknown*>(this);
        AddRef();
        return S_OK;
    }

    std::vector<CFakePin*> m_items;
    ULONG m_nFailAt = ULONG_MAX;
    HRESULT m_hrFail = E_FAIL;
    int m_nFrees = 0;
};

class CItemAccessor
{
public:
    typedef CItemSource _Source;
    typedef IPin* _Item;

    HRESULT GetData(ULONG nIndex, IPin** ppData)
    {
        *ppData = NULL;
        if (nIndex == m_pSource->m_nFailAt)
            return m_pSource->m_hrFail;
        if (nIndex >= m_pSource->m_items.size())
            return S_FALSE;
        *ppData = m_pSource->m_items[nIndex]->Pin();
        (*ppData)->AddRef();
        return S_OK;
    }
    void Free(IPin* p)
    {
        ++m_pSource->m_nFrees;
        p->Release();
    }

    CSourcePtr<CItemSource, IUnknown> m_pSource;
};

typedef CComDSEnum<CItemAccessor, IEnumPins> CItemEnum;

class EnumTest : public FilterTest
{
protected:
    EnumTest() : m_pSource(new CItemSource(5)) {}
    ~EnumTest() override
    {
        m_spEnum.Release();
        EXPECT_EQ(1, m_pSource->RefCount());
        m_pSource->Release();
    }
    void SetUp() override { ASSERT_EQ(S_OK, CItemEnum::Create(&m_spEnum, m_pSource, 0)); }

    // The index of the next item, read through Next(1); -1 for none.
    int NextIndex()
    {
        IPin* p = NULL;
        ULONG c = 0;
        if (S_OK != m_spEnum->Next(1, &p, &c) || 1 != c)
            return -1;
        for (size_t i = 0; i < m_pSource->m_items.size(); ++i)
            if (m_pSource->m_items[i]->Pin() == p)
            {
                p->Release();
                return static_cast<int>(i);
            }
        p->Release();
        return -2;
    }
    LONG ItemRefs(size_t i) const { return m_pSource->m_items[i]->RefCount(); }

    CItemSource* m_pSource;
    CComPtr<IEnumPins> m_spEnum;
};

TEST_F(EnumTest, NextArgumentsAndCounts)
{
    IPin* ap[8] = {};
    ULONG c = 99;
    EXPECT_EQ(E_POINTER, m_spEnum->Next(1, NULL, &c));
    EXPECT_EQ(E_INVALIDARG, m_spEnum->Next(2, ap, NULL));
    EXPECT_EQ(S_OK, m_spEnum->Next(1, ap, NULL)) << "one item needs no count";
    ap[0]->Release();

    EXPECT_EQ(S_OK, m_spEnum->Next(3, ap, &c));
    EXPECT_EQ(3u, c);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(m_pSource->m_items[i + 1]->Pin(), ap[i]);
    for (int i = 0; i < 3; ++i)
        ap[i]->Release();

    c = 99;
    EXPECT_EQ(S_FALSE, m_spEnum->Next(3, ap, &c)) << "fewer than asked";
    EXPECT_EQ(1u, c);
    ap[0]->Release();
    c = 99;
    EXPECT_EQ(S_FALSE, m_spEnum->Next(1, ap, &c));
    EXPECT_EQ(0u, c);
    c = 99;
    EXPECT_EQ(S_OK, m_spEnum->Next(0, ap, &c)) << "nothing asked, nothing missing";
    EXPECT_EQ(0u, c);
}

TEST_F(EnumTest, AFailureInTheMiddleUndoesTheWholeNext)
{
    m_pSource->m_nFailAt = 3;
    m_pSource->m_hrFail = E_OUTOFMEMORY;
    ASSERT_EQ(0, NextIndex());
    IPin* ap[4] = {};
    ULONG c = 77;
    EXPECT_EQ(E_OUTOFMEMORY, m_spEnum->Next(4, ap, &c));
    EXPECT_EQ(77u, c) << "the count is not touched";
    for (IPin* p : ap)
        EXPECT_EQ(NULL, p);
    EXPECT_EQ(2, m_pSource->m_nFrees) << "items 1 and 2 went back";
    for (size_t i = 0; i < 5; ++i)
        EXPECT_EQ(1, ItemRefs(i)) << "item " << i;
    EXPECT_EQ(1, NextIndex()) << "the index is back where it was";
}

TEST_F(EnumTest, OutOfSyncLatchesUntilReset)
{
    m_pSource->m_nFailAt = 1;
    m_pSource->m_hrFail = VFW_E_ENUM_OUT_OF_SYNC;
    IPin* ap[3] = {};
    ULONG c = 0;
    EXPECT_EQ(VFW_E_ENUM_OUT_OF_SYNC, m_spEnum->Next(3, ap, &c));
    EXPECT_EQ(1, ItemRefs(0));
    m_pSource->m_nFailAt = ULONG_MAX; // the source is fine again...
    EXPECT_EQ(VFW_E_ENUM_OUT_OF_SYNC, m_spEnum->Next(1, ap, &c)); // ...the enumerator is not
    EXPECT_EQ(VFW_E_ENUM_OUT_OF_SYNC, m_spEnum->Skip(1));
    CComPtr<IEnumPins> spClone;
    EXPECT_EQ(VFW_E_ENUM_OUT_OF_SYNC, m_spEnum->Clone(&spClone));
    EXPECT_EQ(S_OK, m_spEnum->Reset());
    EXPECT_EQ(0, NextIndex());

    // Skip and Clone find it too, by probing.
    m_pSource->m_nFailAt = 1;
    EXPECT_EQ(VFW_E_ENUM_OUT_OF_SYNC, m_spEnum->Skip(0));
    m_pSource->m_nFailAt = ULONG_MAX;
    EXPECT_EQ(VFW_E_ENUM_OUT_OF_SYNC, m_spEnum->Next(1, ap, &c));
}

TEST_F(EnumTest, SkipMovesWithinTheListAndAnswersSFalsePastItsEnd)
{
    const struct
    {
        ULONG nStart;
        ULONG cSkip;
        HRESULT hr;
        int nNext; // index read next, -1 for none
    } cases[] = {
        { 0, 0, S_OK, 0 },         // an item here: S_OK, no move
        { 0, 1, S_OK, 1 },
        { 0, 5, S_OK, -1 },        // the last item exists: S_OK, now past it
        { 0, 6, S_FALSE, -1 },     // past the end all the same
        { 5, 0, S_FALSE, -1 },     // nothing here
        { 2, 2, S_OK, 4 },
        { 3, ULONG_MAX - 1, S_FALSE, -1 }, // would wrap back to item 1
        { 3, ULONG_MAX, S_FALSE, -1 },
        { 0, ULONG_MAX, S_FALSE, -1 },
    };
    for (const auto& k : cases)
    {
        m_spEnum.Release();
        ASSERT_EQ(S_OK, CItemEnum::Create(&m_spEnum, m_pSource, k.nStart));
        EXPECT_EQ(k.hr, m_spEnum->Skip(k.cSkip)) << k.nStart << " + " << k.cSkip;
        EXPECT_EQ(k.nNext, NextIndex()) << k.nStart << " + " << k.cSkip;
        EXPECT_EQ(S_OK, m_spEnum->Reset());
        EXPECT_EQ(0, NextIndex()) << "Reset rewinds";
    }
}

TEST_F(EnumTest, AFailingSkipLeavesTheIndex)
{
    m_pSource->m_nFailAt = 2;
    EXPECT_EQ(E_FAIL, m_spEnum->Skip(3));
    EXPECT_EQ(0, NextIndex());
}

TEST_F(EnumTest, CloneStartsWhereTheOriginalIs)
{
    ASSERT_EQ(0, NextIndex());
    IPin* p = NULL;
    CComPtr<IEnumPins> spClone;
    ASSERT_EQ(S_OK, m_spEnum->Clone(&spClone));
    EXPECT_NE(m_spEnum.p, spClone.p);
    ASSERT_EQ(S_OK, spClone->Next(1, &p, NULL));
    EXPECT_EQ(m_pSource->m_items[1]->Pin(), p);
    p->Release();
    EXPECT_EQ(1, NextIndex()) << "the original did not move";

    // At the end there is nothing to probe: the clone is made all the same.
    EXPECT_EQ(S_FALSE, m_spEnum->Skip(10));
    CComPtr<IEnumPins> spEnd;
    EXPECT_EQ(S_OK, m_spEnum->Clone(&spEnd));
    EXPECT_EQ(E_POINTER, m_spEnum->Clone(NULL));
}

TEST_F(EnumTest, KeepsItsSourceAliveAndAnswersOnlyItsInterface)
{
    EXPECT_EQ(2, m_pSource->RefCount());
    CComPtr<IUnknown> spUnk;
    EXPECT_EQ(S_OK, m_spEnum->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&spUnk)));
    void* pv = NULL;
    EXPECT_EQ(E_NOINTERFACE, m_spEnum->QueryInterface(IID_IEnumMediaTypes, &pv));
    EXPECT_EQ(E_NOINTERFACE, m_spEnum->QueryInterface(IID_IPin, &pv));
    EXPECT_EQ(NULL, pv);

    IEnumPins* pEnum = NULL;
    EXPECT_EQ(E_INVALIDARG, CItemEnum::Create(&pEnum, NULL, 0));
    EXPECT_EQ(E_POINTER, CItemEnum::Create(NULL, m_pSource, 0));
}

// ---------------------------------------------------------------------------
// The filter's and the pins' enumerators

class PinEnumTest : public FilterTest
{
protected:
    CFakeLogScope m_log;
};

TEST_F(PinEnumTest, PinsComeInputFirst)
{
    CTestFilterPtr f;
    CComPtr<IEnumPins> spEnum;
    ASSERT_EQ(S_OK, f.Filter()->EnumPins(&spEnum));
    IPin* ap[3] = {};
    ULONG c = 0;
    EXPECT_EQ(S_FALSE, spEnum->Next(3, ap, &c));
    ASSERT_EQ(2u, c);
    EXPECT_EQ(f.In(), ap[0]);
    EXPECT_EQ(f.Out(), ap[1]);
    EXPECT_EQ(NULL, ap[2]);
    ap[0]->Release();
    ap[1]->Release();

    EXPECT_EQ(S_OK, spEnum->Reset());
    EXPECT_EQ(S_OK, spEnum->Next(1, ap, NULL));
    EXPECT_EQ(f.In(), ap[0]);
    ap[0]->Release();

    CComPtr<IEnumPins> spClone;
    ASSERT_EQ(S_OK, spEnum->Clone(&spClone));
    EXPECT_EQ(S_OK, spClone->Next(1, ap, NULL));
    EXPECT_EQ(f.Out(), ap[0]);
    ap[0]->Release();

    EXPECT_EQ(S_OK, spEnum->Reset());
    EXPECT_EQ(S_OK, spEnum->Skip(0));
    EXPECT_EQ(S_FALSE, spEnum->Skip(5));
    c = 9;
    EXPECT_EQ(S_FALSE, spEnum->Next(1, ap, &c));
    EXPECT_EQ(0u, c);
    EXPECT_EQ(S_OK, spEnum->Reset());
    EXPECT_EQ(S_OK, spEnum->Next(1, ap, NULL));
    EXPECT_EQ(f.In(), ap[0]);
    ap[0]->Release();
    EXPECT_EQ(E_POINTER, f.Filter()->EnumPins(NULL));
}

TEST_F(PinEnumTest, KeepsTheFilterAlive)
{
    const LONG nBefore = TestModule().GetLockCount();
    CComPtr<IEnumPins> spEnum;
    {
        CTestFilterPtr f;
        ASSERT_EQ(S_OK, f.Filter()->EnumPins(&spEnum));
    }
    EXPECT_EQ(nBefore + 4, TestModule().GetLockCount()) << "filter, two pins and the enumerator";
    IPin* ap[2] = {};
    ULONG c = 0;
    EXPECT_EQ(S_OK, spEnum->Next(2, ap, &c));
    PIN_INFO info = {};
    EXPECT_EQ(S_OK, ap[1]->QueryPinInfo(&info));
    EXPECT_NE(nullptr, info.pFilter);
    if (info.pFilter)
        info.pFilter->Release();
    ap[0]->Release();
    ap[1]->Release();
    spEnum.Release();
    EXPECT_EQ(nBefore, TestModule().GetLockCount());
}

TEST_F(PinEnumTest, MediaTypesAreReadAtEveryNext)
{
    CTestFilterPtr f;
    CFakePin* pUp = new CFakePin(PINDIR_OUTPUT);
    CComPtr<IEnumMediaTypes> spEnum;
    ASSERT_EQ(S_OK, f.In()->EnumMediaTypes(&spEnum));
    AM_MEDIA_TYPE* apmt[2] = {};
    ULONG c = 9;
    EXPECT_EQ(S_FALSE, spEnum->Next(1, apmt, &c)) << "no type yet";
    EXPECT_EQ(0u, c);

    const dsfix::MediaType mt = TestVideoType();
    ASSERT_EQ(S_OK, f.In()->ReceiveConnection(pUp->Pin(), mt.Ptr()));
    EXPECT_EQ(S_OK, spEnum->Reset());
    EXPECT_EQ(E_INVALIDARG, spEnum->Next(2, apmt, NULL));
    EXPECT_EQ(S_FALSE, spEnum->Next(2, apmt, &c));
    ASSERT_EQ(1u, c);
    EXPECT_TRUE(mt.Equals(*apmt[0]));
    EXPECT_NE(mt.Get().pbFormat, apmt[0]->pbFormat) << "a copy of its own";
    dsfix::DeleteTaskMediaType(apmt[0]);

    ASSERT_EQ(S_OK, f.In()->Disconnect());
    EXPECT_EQ(S_OK, spEnum->Reset());
    EXPECT_EQ(S_FALSE, spEnum->Next(1, apmt, &c)) << "the type went with the connection";
    EXPECT_EQ(0u, c);
    pUp->Release();
}

TEST_F(PinEnumTest, KeepsThePinAlive)
{
    CComPtr<IEnumMediaTypes> spEnum;
    const LONG nBefore = TestModule().GetLockCount();
    {
        CTestFilterPtr f;
        ASSERT_EQ(S_OK, f.Out()->EnumMediaTypes(&spEnum));
    }
    EXPECT_EQ(nBefore + 2, TestModule().GetLockCount()) << "the output pin and the enumerator";
    AM_MEDIA_TYPE* pmt = NULL;
    EXPECT_EQ(S_FALSE, spEnum->Next(1, &pmt, NULL));
    spEnum.Release();
    EXPECT_EQ(nBefore, TestModule().GetLockCount());
}

// With redirection on (exactly 1) and an upstream pin, the output pin hands
// out the upstream pin's own enumerator; otherwise its own.
TEST_F(PinEnumTest, OutputOffersTheUpstreamEnumerator)
{
    CTestFilterPtr f;
    CFakePin* pUp = new CFakePin(PINDIR_OUTPUT);
    CFakeEnumMediaTypes* pUpEnum = new CFakeEnumMediaTypes;
    pUp->SetEnumerator(pUpEnum);

    const struct
    {
        bool bUpstream;
        DWORD dwRedir;
        bool bRedirected;
    } cases[] = {
        { false, 1, false }, { true, 1, true }, { true, 0, false }, { true, 2, false },
    };
    for (const auto& k : cases)
    {
        if (k.bUpstream && !f->m_apIn->IsConnected())
        {
            ASSERT_EQ(S_OK, f.In()->ReceiveConnection(pUp->Pin(), TestVideoType().Ptr()));
        }
        f->m_apOut->m_bMTEnumRedir = k.dwRedir;
        CComPtr<IEnumMediaTypes> spEnum;
        ASSERT_EQ(S_OK, f.Out()->EnumMediaTypes(&spEnum)) << k.dwRedir;
        EXPECT_EQ(k.bRedirected, static_cast<IEnumMediaTypes*>(pUpEnum) == spEnum.p)
            << "upstream " << k.bUpstream << ", switch " << k.dwRedir;
    }
    EXPECT_EQ(S_OK, f.In()->Disconnect());
    pUpEnum->Release();
    pUp->Release();
}

} // namespace
