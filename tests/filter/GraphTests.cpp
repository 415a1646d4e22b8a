// The test filter in Wine's filter graph manager: joined and named, found by
// name, its pins enumerated and found by identifier, every reference given
// back when the graph goes; driven through the graph's states with Wine's
// memory allocator and the test sink downstream, writing the graph text
// each time it leaves Stopped; end of stream reaching the graph as a
// completion.
#include "FilterTestSupport.h"

namespace {

class GraphTest : public FilterTest
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_log.IsBound());
        ASSERT_EQ(S_OK, m_graph.Create());
    }
    CFakeLogScope m_log;
    dsfix::TestGraph m_graph;
};

TEST_F(GraphTest, JoinedNamedFoundAndLetGo)
{
    const LONG nBefore = TestModule().GetLockCount();
    CTestFilterPtr f;
    ASSERT_EQ(S_OK, m_graph.Add(f.Filter(), L"Spy Under Test"));

    FILTER_INFO info = {};
    ASSERT_EQ(S_OK, f.Filter()->QueryFilterInfo(&info));
    EXPECT_STREQ(L"Spy Under Test", info.achName);
    ASSERT_NE(nullptr, info.pGraph);
    EXPECT_TRUE(dsfix::SameObject(info.pGraph, m_graph.Builder()));
    info.pGraph->Release();
    EXPECT_NE(nullptr, f->m_pEventSink) << "Wine's graph offers its event sink";

    CComPtr<IBaseFilter> spFound;
    ASSERT_EQ(S_OK, m_graph.Builder()->FindFilterByName(L"Spy Under Test", &spFound));
    EXPECT_TRUE(dsfix::SameObject(spFound, f.Filter()));
    spFound.Release();

    CComPtr<IEnumPins> spEnum;
    ASSERT_EQ(S_OK, f.Filter()->EnumPins(&spEnum));
    IPin* ap[3] = {};
    ULONG c = 0;
    EXPECT_EQ(S_FALSE, spEnum->Next(3, ap, &c));
    ASSERT_EQ(2u, c);
    for (ULONG i = 0; i < c; ++i)
    {
        LPWSTR pszId = NULL;
        ASSERT_EQ(S_OK, ap[i]->QueryId(&pszId));
        CComPtr<IPin> spById;
        EXPECT_EQ(S_OK, f.Filter()->FindPin(pszId, &spById));
        EXPECT_EQ(ap[i], spById.p);
        CoTaskMemFree(pszId);
        ap[i]->Release();
    }
    spEnum.Release();

    // The graph lets the filter go: it leaves, and every reference the graph
    // took comes back.
    m_graph.Release();
    ASSERT_FALSE(f->m_joins.empty());
    EXPECT_FALSE(f->m_joins.back().bJoin);
    EXPECT_EQ(NULL, f->m_pFilterGraphJoin);
    f.Release();
    EXPECT_EQ(nBefore, TestModule().GetLockCount());
}

// The test filter between a fake upstream pin and the test sink, in one
// graph with the sink; the output connection made by the graph.
class GraphStateTest : public GraphTest
{
protected:
    GraphStateTest() : m_pUp(new CFakePin(PINDIR_OUTPUT, L"Fake Source")), m_sink(NewTestSink())
    {
        m_pUp->m_types = { TestVideoType() };
    }
    ~GraphStateTest() override
    {
        m_graph.Release();
        m_f.Release();
        m_sink.Reset();
        m_pUp->Release();
    }
    void SetUp() override
    {
        GraphTest::SetUp();
        ASSERT_EQ(S_OK, m_graph.Add(m_f.Filter(), L"Spy Under Test"));
        ASSERT_EQ(S_OK, m_graph.Add(m_sink, L"Sink"));
        ASSERT_EQ(S_OK, m_f.In()->ReceiveConnection(m_pUp->Pin(), TestVideoType().Ptr()));
        ASSERT_EQ(S_OK, m_graph.ConnectDirect(m_f.Out(), m_sink->Pin(), NULL));
        ASSERT_TRUE(m_f->AreAllPinsConnected());
        m_log.Reset();
    }

    // A buffer of the output allocator: S_OK while it is committed.
    HRESULT TryBuffer()
    {
        CComPtr<IMemAllocator> spAlloc = m_f->m_apOut->m_spAllocOut;
        if (!spAlloc)
            return VFW_E_NO_ALLOCATOR;
        CComPtr<IMediaSample> spSample;
        return spAlloc->GetBuffer(&spSample, NULL, NULL, AM_GBF_NOWAIT);
    }

    CTestFilterPtr m_f;
    CFakePin* m_pUp;
    dsfix::ComPtr<dsfix::TestSink> m_sink;
};

TEST_F(GraphStateTest, StatesWithWineAllocatorAndGraphText)
{
    EXPECT_EQ(eAS_Internal, m_f->m_apOut->m_eAllocSrc) << "the sink has no allocator: a new one of ours";
    EXPECT_EQ(VFW_E_NOT_COMMITTED, TryBuffer());

    const struct
    {
        const char* pszStep;
        std::function<HRESULT()> call;
        FILTER_STATE eAfter;
        size_t nDumps;
        HRESULT hrBuffer;
    } steps[] = {
        { "Pause", [&] { return m_graph.Pause(); }, State_Paused, 1, S_OK },
        { "Run", [&] { return m_graph.Run(); }, State_Running, 1, S_OK },
        { "Pause", [&] { return m_graph.Pause(); }, State_Paused, 1, S_OK },
        { "Stop", [&] { return m_graph.Stop(); }, State_Stopped, 1, VFW_E_NOT_COMMITTED },
        { "Run", [&] { return m_graph.Run(); }, State_Running, 2, S_OK },
        { "Stop", [&] { return m_graph.Stop(); }, State_Stopped, 2, VFW_E_NOT_COMMITTED },
    };
    for (const auto& s : steps)
    {
        EXPECT_TRUE(SUCCEEDED(s.call())) << s.pszStep;
        EXPECT_EQ(s.eAfter, m_f->FilterState()) << s.pszStep;
        EXPECT_EQ(s.nDumps, m_log.DumpBufferRecords().size()) << s.pszStep;
        EXPECT_EQ(s.hrBuffer, TryBuffer()) << s.pszStep;
    }

    // The text went over whole: its length is its byte count, and it names
    // both filters of the graph.
    for (const std::string& sText : m_log.Dumps())
    {
        EXPECT_EQ(strlen(sText.c_str()), sText.size()) << "no terminator inside";
        EXPECT_NE(std::string::npos, sText.find("Spy Under Test"));
        EXPECT_NE(std::string::npos, sText.find("\tOUTPUT: [Out] -> [Sink]")) << "our output pin and its peer";
        EXPECT_EQ("\r\n\r\n", sText.substr(sText.size() - 4)) << "the text ends with its footer";
    }

    // The graph gave the filter its clock; Wine's clock does not tell its
    // class.
    EXPECT_TRUE(m_log.HasLineContaining(L"clock hasn't CLSID"));
    CComPtr<IReferenceClock> spClock;
    EXPECT_EQ(S_OK, m_f.Filter()->GetSyncSource(&spClock));
    EXPECT_TRUE(spClock);
}

TEST_F(GraphStateTest, EndOfStreamCompletesTheGraph)
{
    ASSERT_TRUE(SUCCEEDED(m_graph.Run()));
    EXPECT_EQ(S_OK, m_f.In()->NewSegment(0, 10000000, 1.0));
    EXPECT_EQ(S_OK, m_f.In()->EndOfStream());
    EXPECT_TRUE(m_graph.WaitForEvent(EC_COMPLETE, 5000)) << "the sink saw the end of stream";
    EXPECT_EQ(1, m_sink->Records().endOfStreams);
    EXPECT_EQ(S_OK, m_graph.Stop());
}

// On a thread whose ANSI code page has two bytes for a character, the graph
// text has more bytes than characters: all of them reach the log.
TEST_F(GraphStateTest, GraphTextLengthIsInBytes)
{
    const std::wstring sName = L"\x30B9\x30D1\x30A4 Filter"; // katakana "supai"
    dsfix::TestSinkConfig config;
    config.filterName = sName.c_str();
    dsfix::ComPtr<dsfix::TestSink> sink2 = NewTestSink(config);
    ASSERT_EQ(S_OK, m_graph.Add(sink2, sName.c_str()));

    const LCID lcidOld = GetThreadLocale();
    ASSERT_TRUE(SetThreadLocale(MAKELCID(MAKELANGID(LANG_JAPANESE, SUBLANG_JAPANESE_JAPAN), SORT_DEFAULT)));
    char szExpected[64] = "";
    const int cbName = WideCharToMultiByte(CP_THREAD_ACP, 0, sName.c_str(), -1, szExpected, sizeof(szExpected), NULL, NULL);
    if (cbName - 1 == static_cast<int>(sName.size()))
    {
        SetThreadLocale(lcidOld);
        GTEST_SKIP() << "this system has no double-byte code page for the thread";
    }
    ASSERT_EQ(S_OK, m_f.Filter()->Pause());
    SetThreadLocale(lcidOld);
    ASSERT_EQ(1u, m_log.Dumps().size());
    const std::string& sText = m_log.Dumps()[0];
    EXPECT_NE(std::string::npos, sText.find(szExpected)) << "the name in the thread's code page";
    EXPECT_EQ(static_cast<int>(sText.size()), static_cast<int>(m_log.DumpBufferRecords()[0].a[0]));
    EXPECT_EQ(strlen(sText.c_str()), sText.size());
    EXPECT_EQ("\r\n\r\n", sText.substr(sText.size() - 4)) << "nothing cut off";
    EXPECT_EQ(S_OK, m_f.Filter()->Stop());
    m_graph.Builder()->RemoveFilter(sink2);
}

} // namespace
