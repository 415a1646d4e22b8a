// The test filter in Wine's filter graph manager between the test source and
// the test sink, Wine's Null Renderer or Wine's Sample Grabber: connected
// directly and through IGraphBuilder::Connect, run to the end twice, every
// sample arriving in order and unchanged, in the very buffer the source
// filled wherever one allocator serves both connections. The filter has the
// graph reconnect its input after each output connection, and Wine does that
// on the caller's thread, inside the connection.
#include "GraphSupport.h"

namespace {

const long kSamples = 10;

struct AgreementCase
{
    const char* pszCase;
    dsfix::SourceAllocator eSourceAlloc;
    BOOL bSourceReadOnly;
    bool bSinkAllocator;
    long cSinkBuffers; // the sink's buffer count requirement, 0 for none
    Downstream eDown;
    How eHow;
    const wchar_t* pszUse;  // the last allocator decision
    bool bZeroCopy;
};

class GraphStreamTest : public FilterTest, public ::testing::WithParamInterface<AgreementCase>
{
protected:
    void SetUp() override { ASSERT_TRUE(m_log.IsBound()); }
    CFakeLogScope m_log;
};

TEST_P(GraphStreamTest, StreamsTwiceInOrderThroughTheAgreedAllocator)
{
    const AgreementCase& c = GetParam();
    dsfix::HangWatchdog watchdog(60000, c.pszCase);
    ChainConfig config;
    config.source.sampleCount = kSamples;
    config.source.allocatorMode = c.eSourceAlloc;
    config.source.readOnly = c.bSourceReadOnly;
    config.sink.ownAllocator = c.bSinkAllocator;
    if (c.cSinkBuffers > 0)
    {
        config.sink.hasRequirements = true;
        config.sink.requirements = { c.cSinkBuffers, 0, 0, 0 };
    }
    config.eDown = c.eDown;
    config.eHow = c.eHow;
    Chain chain;
    ASSERT_EQ(S_OK, chain.Build(config)) << c.pszCase;
    EXPECT_EQ(1, chain.f->m_nInputReconnects) << "the output connection had the input reconnected";

    // The decisions: the last allocator attached, and one allocator or two.
    const std::vector<std::wstring> uses = LinesWith(m_log, L"CAllocatorMatch::AttachAllocator(): use ");
    ASSERT_FALSE(uses.empty());
    EXPECT_EQ(Fmt(L"@@@@ %s CAllocatorMatch::AttachAllocator(): use %s allocator\n", chain.f->m_apOut->GetTraceName(),
                  c.pszUse),
              uses.back());
    const std::vector<std::wstring> decisions = LinesWith(m_log, L"Filter_NotifyAllocator(): Use ");
    ASSERT_FALSE(decisions.empty());
    EXPECT_EQ(Fmt(c.bZeroCopy ? L"@@@@ %s Filter_NotifyAllocator(): Use through-pass allocator\n"
                              : L"@@@@ %s Filter_NotifyAllocator(): Use separated allocators\n",
                  chain.f->GetTraceName()),
              decisions.back());
    EXPECT_EQ(!c.bZeroCopy, !!chain.f->m_bSeparateAllocators);

    for (int nRun = 0; nRun < 2; ++nRun)
        ASSERT_TRUE(chain.graph.RunToCompletion(20000)) << c.pszCase << ", run " << nRun;

    // The filter passed every sample on, in order, on the source's thread.
    const std::vector<CTestFilter::SampleRecord> passed = chain.f->Samples();
    ASSERT_EQ(static_cast<size_t>(2 * kSamples), passed.size());
    for (size_t i = 0; i < passed.size(); ++i)
    {
        EXPECT_EQ(static_cast<LONG>(i % kSamples), passed[i].nNumber) << i;
        EXPECT_EQ(S_OK, passed[i].hr) << i;
        EXPECT_EQ(!c.bZeroCopy, !!passed[i].bSeparate) << i;
    }
    const std::vector<dsfix::PushRecord> pushes = chain.source->Pushes();
    ASSERT_EQ(static_cast<size_t>(2 * kSamples), pushes.size());
    for (size_t i = 0; i < pushes.size(); ++i)
        EXPECT_EQ(passed[i].dwThread, pushes[i].threadId) << i;

    if (!chain.sink)
        return;
    // Downstream: every sample unchanged, in the source's own buffer when one
    // allocator serves both connections, in another one with equal bytes
    // otherwise.
    const std::vector<dsfix::SampleRecord> got = chain.sink->Samples();
    ASSERT_EQ(static_cast<size_t>(2 * kSamples), got.size());
    for (size_t i = 0; i < got.size(); ++i)
    {
        EXPECT_EQ(static_cast<long>(i % kSamples), got[i].number) << i;
        EXPECT_TRUE(got[i].patternOk) << i << ": bad byte at " << got[i].firstBad;
        EXPECT_EQ(pushes[i].actualLength, got[i].actualLength) << i;
        if (c.bZeroCopy)
        {
            EXPECT_EQ(pushes[i].buffer, got[i].buffer) << i << ": the source's own buffer";
        }
        else
        {
            EXPECT_NE(pushes[i].buffer, got[i].buffer) << i << ": a copy";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Chains, GraphStreamTest,
    ::testing::Values(
        AgreementCase{ "internal", dsfix::SourceAllocator::Downstream, FALSE, false, 0, Downstream::Sink, How::Direct,
                       L"internal", true },
        AgreementCase{ "downstream", dsfix::SourceAllocator::Downstream, FALSE, true, 0, Downstream::Sink,
                       How::Builder, L"downstream", true },
        AgreementCase{ "upstream", dsfix::SourceAllocator::Own, FALSE, false, 0, Downstream::Sink, How::Direct,
                       L"upstream", true },
        AgreementCase{ "separate", dsfix::SourceAllocator::Own, TRUE, false, 4, Downstream::Sink, How::Builder,
                       L"internal", false },
        AgreementCase{ "null renderer, direct", dsfix::SourceAllocator::Downstream, FALSE, false, 0,
                       Downstream::NullRenderer, How::Direct, L"internal", true },
        AgreementCase{ "null renderer, builder", dsfix::SourceAllocator::Own, FALSE, false, 0,
                       Downstream::NullRenderer, How::Builder, L"upstream", true },
        AgreementCase{ "sample grabber, direct", dsfix::SourceAllocator::Downstream, FALSE, false, 0,
                       Downstream::GrabberToSink, How::Direct, L"internal", true },
        // A read-only upstream allocator that fits is passed through as it is.
        AgreementCase{ "sample grabber, builder, read-only", dsfix::SourceAllocator::Own, TRUE, false, 0,
                       Downstream::GrabberToSink, How::Builder, L"upstream", true }),
    [](const ::testing::TestParamInfo<AgreementCase>& info) {
        std::string s = info.param.pszCase;
        for (char& ch : s)
            if (!isalnum(static_cast<unsigned char>(ch)))
                ch = '_';
        return s;
    });

} // namespace
