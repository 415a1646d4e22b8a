// The spy filter where threads meet: the switches of INRVSpyFilter flipped
// while the graph stops and runs, the downstream refusals the output keeps
// against the pin that gave them, and the questions that upstream asks about
// the output pin while other threads read it.
#include "SpyTestSupport.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

class SpyThreadTest : public FilterTest
{
protected:
    void SetUp() override { ASSERT_TRUE(CSpySettings::RemoveKey()); }
    CSpySettings m_settings;
};

bool IsConnected(IPin* pPin)
{
    CComPtr<IPin> sp;
    return S_OK == pPin->ConnectedTo(&sp);
}

FILTER_STATE StateOf(IBaseFilter* pFilter)
{
    FILTER_STATE e = static_cast<FILTER_STATE>(-1);
    pFilter->GetState(0, &e);
    return e;
}

// A small random number generator of one thread.
class CRandom
{
public:
    explicit CRandom(unsigned nSeed) : m_n(nSeed * 2654435761u + 1) {}
    unsigned Next(unsigned nBelow)
    {
        m_n = m_n * 1103515245u + 12345u;
        return (m_n >> 16) % nBelow;
    }

private:
    unsigned m_n;
};

// Results that broke a rule, from any thread, with what was going on.
class CFaults
{
public:
    void Add(const std::string& s)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_v.size() < 20)
            m_v.push_back(s);
        ++m_n;
    }
    long Count()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_n;
    }
    std::string Text()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::string s;
        for (const std::string& t : m_v)
            s += "  " + t + "\n";
        return s;
    }

private:
    std::mutex m_mutex;
    std::vector<std::string> m_v;
    long m_n = 0;
};

bool IsStateRefusal(HRESULT hr)
{
    return VFW_E_WRONG_STATE == hr || VFW_E_NOT_STOPPED == hr;
}

// ---------------------------------------------------------------------------
// The switches against Stop and Run

// Four threads flip the three switches with random values and read them and
// the bitrate, while this thread stops the graph, waits 0 to 2 ms and runs
// it again, with the source pushing samples. Each reconnection that a
// switch asks for is held inside the sink's ReceiveConnection until the
// graph has started to pause the sink (or 30 ms), so that the graph's Run
// meets the reconnection every time it can. Every Run succeeds; after every
// Run and Stop each filter is in the graph's state; every setter call took
// effect or was refused for the state; every sample the spy took reached
// the sink, once and in order; and every reference comes back.
TEST_F(SpyThreadTest, SwitchesFlippedWhileTheGraphStopsAndRunsNeverBreakIt)
{
    dsfix::HangWatchdog watchdog(100000, "switches against Stop and Run");
    CSilentLog silent;
    const long nLiveBefore = dsfix::LiveObjectCount();
    const int kCycles = 60;
    const DWORD kBoundMs = 40000;
    CFaults faults;
    long nForcedChanges = 0;
    long nForcedRefusals = 0;
    {
        SpyChainConfig config;
        config.source.mediaTypes = { dsfix::StreamType(MEDIASUBTYPE_None, 64) };
        config.source.sampleSize = 64;
        config.source.sampleCount = 1000000;
        config.source.frameDuration = 10000;
        config.source.continueAfterRejection = true;
        config.source.sendEndOfStream = false;
        config.bNoClock = true;
        std::atomic<bool> bHold(false);
        std::atomic<long> nHeld(0);
        dsfix::TestSink* pSinkRaw = NULL;
        config.sink.onReceiveConnection = [&](IPin*) {
            if (!bHold || !pSinkRaw)
                return;
            const DWORD dwStart = GetTickCount();
            while (GetTickCount() - dwStart < 30 && State_Stopped == StateOf(pSinkRaw))
                Sleep(1);
            ++nHeld;
        };
        SpyChain chain;
        ASSERT_EQ(S_OK, chain.Build(config));
        pSinkRaw = chain.sink.Get();
        CComPtr<INRVSpyFilter> spItf;
        ASSERT_EQ(S_OK, chain.spy->QueryInterface(__uuidof(INRVSpyFilter), reinterpret_cast<void**>(&spItf)));
        CComPtr<IMediaControl> spControl;
        ASSERT_EQ(S_OK, chain.graph.Builder()->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(&spControl)));
        IBaseFilter* rgFilters[] = { chain.source.Get(), chain.spy.Filter(), chain.down.Get() };
        const char* rgNames[] = { "source", "spy", "sink" };

        // One test lock per switch: a call and the reading of its effect are
        // not split by another test thread's call of the same switch (the
        // graph's threads are not held by it).
        std::mutex mxDyn, mxRedir, mxForce;
        std::atomic<bool> bStop(false);
        bHold = true;
        std::vector<std::thread> setters;
        for (unsigned t = 0; t < 4; ++t)
            setters.emplace_back([&, t] {
                dsfix::ComInit com;
                CRandom rnd(t + 1);
                while (!bStop)
                {
                    const LONG b = static_cast<LONG>(rnd.Next(2));
                    switch (rnd.Next(4))
                    {
                    case 0:
                    {
                        std::lock_guard<std::mutex> lock(mxDyn);
                        const HRESULT hr = spItf->EnableDynReconnect(b);
                        if (S_OK == hr && spItf->IsDynReconnecEnabled() != (b ? S_OK : S_FALSE))
                            faults.Add("EnableDynReconnect answered S_OK without effect");
                        else if (S_OK != hr && !IsStateRefusal(hr))
                            faults.Add("EnableDynReconnect " + dsfix::HrText(hr));
                        break;
                    }
                    case 1:
                    {
                        std::lock_guard<std::mutex> lock(mxRedir);
                        const HRESULT hr = spItf->EnableMTEnumRedir(b);
                        if (S_OK == hr && spItf->IsMTEnumRedirEnabled() != (b ? S_OK : S_FALSE))
                            faults.Add("EnableMTEnumRedir answered S_OK without effect");
                        else if (S_OK != hr && !IsStateRefusal(hr))
                            faults.Add("EnableMTEnumRedir " + dsfix::HrText(hr));
                        break;
                    }
                    case 2:
                    {
                        std::lock_guard<std::mutex> lock(mxForce);
                        LONG bBefore = -1;
                        spItf->IsPassthruAllocatorForced(&bBefore);
                        const HRESULT hr = spItf->ForcePassthruAllocator(b);
                        LONG bAfter = -1;
                        spItf->IsPassthruAllocatorForced(&bAfter);
                        if (S_OK == hr)
                        {
                            if (bAfter != b)
                                faults.Add("ForcePassthruAllocator answered S_OK without effect");
                            // The mode stands exactly when the switch is on.
                            else if ((0 != chain.spy->m_bReconnecting) != (0 != b))
                                faults.Add("ForcePassthruAllocator answered S_OK, the mode is not as the switch");
                            else if (bBefore != b)
                                ++nForcedChanges;
                        }
                        else
                        {
                            ++nForcedRefusals;
                            if (!IsStateRefusal(hr))
                                faults.Add("ForcePassthruAllocator " + dsfix::HrText(hr));
                            if (bAfter != bBefore)
                                faults.Add("a refused ForcePassthruAllocator changed the switch");
                        }
                        break;
                    }
                    default:
                    {
                        ULONG nCurrent = 0, nAverage = 0;
                        const HRESULT hr = spItf->GetBitrate(&nCurrent, &nAverage);
                        if (S_OK != hr)
                            faults.Add("GetBitrate " + dsfix::HrText(hr));
                        LONG bForced = 0;
                        if (S_OK != spItf->IsPassthruAllocatorForced(&bForced))
                            faults.Add("IsPassthruAllocatorForced failed");
                        break;
                    }
                    }
                }
            });

        // Every filter in the state the graph reports.
        auto checkStates = [&](int nCycle, const char* pszAfter) {
            OAFilterState eGraph = -1;
            const HRESULT hr = spControl->GetState(2000, &eGraph);
            if (S_OK != hr)
                faults.Add(std::string("graph GetState after ") + pszAfter + " " + dsfix::HrText(hr));
            for (int k = 0; k < 3; ++k)
                if (StateOf(rgFilters[k]) != static_cast<FILTER_STATE>(eGraph))
                    faults.Add(std::string("cycle ") + std::to_string(nCycle) + " after " + pszAfter + ": the " +
                               rgNames[k] + " is in state " + std::to_string(StateOf(rgFilters[k])) +
                               ", the graph in " + std::to_string(eGraph));
        };

        CRandom rnd(99);
        const DWORD dwStart = GetTickCount();
        int nCycles = 0;
        for (; nCycles < kCycles && GetTickCount() - dwStart < kBoundMs; ++nCycles)
        {
            const HRESULT hrStop = chain.graph.Stop();
            if (S_OK != hrStop)
                faults.Add("cycle " + std::to_string(nCycles) + ": Stop " + dsfix::HrText(hrStop));
            checkStates(nCycles, "Stop");
            Sleep(rnd.Next(3));
            const HRESULT hrRun = chain.graph.Run();
            if (FAILED(hrRun))
                faults.Add("cycle " + std::to_string(nCycles) + ": Run " + dsfix::HrText(hrRun));
            checkStates(nCycles, "Run");
            chain.source->WaitForPushed(chain.source->Pushes().size() + 2, 20);
        }
        bStop = true;
        for (std::thread& t : setters)
            t.join();
        bHold = false;
        EXPECT_EQ(S_OK, chain.graph.Stop());
        checkStates(nCycles, "the last Stop");
        EXPECT_EQ(0, faults.Count()) << faults.Text();
        std::printf("%d cycles; %ld changes of the forced allocator, %ld calls refused; %ld reconnections held\n",
                    nCycles, nForcedChanges, nForcedRefusals, static_cast<long>(nHeld));

        // The chain stands whole, and the samples the spy took are the
        // sink's, once each and in order, stream by stream.
        EXPECT_TRUE(IsConnected(chain.spy.In()));
        EXPECT_TRUE(IsConnected(chain.spy.Out()));
        const std::vector<dsfix::PushRecord> pushes = chain.source->Pushes();
        const std::vector<dsfix::SampleRecord> got = chain.sink->Samples();
        std::vector<long> vTaken;
        for (const dsfix::PushRecord& p : pushes)
            if (SUCCEEDED(p.getBufferHr) && S_OK == p.receiveHr)
                vTaken.push_back(p.number);
        std::vector<long> vGot;
        for (const dsfix::SampleRecord& r : got)
        {
            vGot.push_back(r.number);
            EXPECT_TRUE(r.patternOk) << "sample " << r.number << " arrived changed";
        }
        EXPECT_GT(vTaken.size(), 0u);
        EXPECT_TRUE(vTaken == vGot) << vTaken.size() << " samples taken, " << vGot.size() << " arrived";

        spItf.Release();
        spControl.Release();
        chain.graph.Release();
        chain.spy.Release();
        EXPECT_EQ(1u, chain.source->RefCount()) << "only the chain holds the source";
        EXPECT_EQ(2u, chain.sink->RefCount()) << "only the chain holds the sink";
    }
    EXPECT_EQ(nLiveBefore, dsfix::LiveObjectCount()) << "every fixture object is gone";
}

// While the graph reconnects the input for a change of the forced
// pass-through allocator, the filter's lock is free: the graph's own state
// change, which holds the graph's lock while it waits for the filter's, and
// a property page reading the bitrate get through. Another thread asks for
// the bitrate and the pins from inside the sink's ReceiveConnection of that
// reconnection. (Switched off, the reconnection does not reach the sink.)
TEST_F(SpyThreadTest, TheFilterLockIsFreeWhileTheGraphReconnectsForTheSwitch)
{
    dsfix::HangWatchdog watchdog(60000, "filter lock during the reconnection");
    CSilentLog silent;
    SpyChainConfig config;
    std::atomic<bool> bArmed(false);
    std::atomic<int> nInside(0);
    std::atomic<int> nAnswered(0);
    CSpyPtr* pSpy = NULL;
    std::thread reader;
    config.sink.onReceiveConnection = [&](IPin*) {
        if (!bArmed.exchange(false))
            return;
        ++nInside;
        reader = std::thread([&] {
            dsfix::ComInit com;
            CComPtr<INRVSpyFilter> spItf;
            pSpy->Get()->QueryInterface(__uuidof(INRVSpyFilter), reinterpret_cast<void**>(&spItf));
            ULONG nCurrent = 0, nAverage = 0;
            CComPtr<IEnumPins> spPins;
            if (spItf && S_OK == spItf->GetBitrate(&nCurrent, &nAverage) && S_OK == pSpy->Filter()->EnumPins(&spPins))
                ++nAnswered;
        });
        // Bounded: a reader held by the filter lock is let go once this
        // reconnection returns, after the wait; it is joined then.
        const DWORD dwStart = GetTickCount();
        while (0 == nAnswered && GetTickCount() - dwStart < 3000)
            Sleep(5);
    };
    SpyChain chain;
    pSpy = &chain.spy;
    ASSERT_EQ(S_OK, chain.Build(config));
    CComPtr<INRVSpyFilter> spItf;
    ASSERT_EQ(S_OK, chain.spy->QueryInterface(__uuidof(INRVSpyFilter), reinterpret_cast<void**>(&spItf)));
    // Switched on, the output is connected anew to the sink for the mode.
    bArmed = true;
    EXPECT_EQ(S_OK, spItf->ForcePassthruAllocator(1));
    bArmed = false;
    EXPECT_EQ(1, nInside) << "the reconnection reached the sink";
    EXPECT_EQ(1, nAnswered) << "the reader got the filter lock meanwhile";
    if (reader.joinable())
        reader.join();
    EXPECT_NE(0, chain.spy->m_bReconnecting);
    EXPECT_TRUE(IsConnected(chain.spy.In()));
    EXPECT_TRUE(IsConnected(chain.spy.Out()));
    ASSERT_TRUE(chain.graph.RunToCompletion(20000));
    EXPECT_EQ(10u, chain.sink->Samples().size());
}

// ---------------------------------------------------------------------------
// Refusals and the pin that gave them

// The identity of a pin, as an address to compare (no reference kept).
IUnknown* IdentityOf(IPin* pPin)
{
    CComPtr<IUnknown> sp;
    pPin->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&sp));
    return sp.p;
}

struct RefusalCase
{
    const char* pszCase;
    bool bNewSink; // the sink goes and a new one comes (at the same address where the heap gives it)
};

class SpyRefusalTest : public SpyThreadTest, public ::testing::WithParamInterface<RefusalCase>
{
};

// Sink A takes RGB24 in QueryAccept but refuses it in ReceiveConnection, so
// the spy keeps that refusal against A's pin and its input refuses RGB24.
// Then either A goes (disconnected, removed, released) and a sink B that
// takes every type comes, made until one lands at A's address (the heap
// reuses it once A is gone), or the spy leaves its graph and joins another
// with A, which now takes every type. The refusal belonged to A's old
// connection: RGB24 is taken again, and the graph's reconnection of the
// input with it stands.
TEST_P(SpyRefusalTest, ARefusalEndsWithTheConnectionOfThePinThatGaveIt)
{
    const RefusalCase& c = GetParam();
    dsfix::HangWatchdog watchdog(60000, c.pszCase);
    CSilentLog silent;
    const long nLiveBefore = dsfix::LiveObjectCount();
    const dsfix::MediaType mtRgb = dsfix::VideoType(MEDIASUBTYPE_RGB24, 64, 48);
    const dsfix::MediaType mtYuy2 = dsfix::VideoType(MEDIASUBTYPE_YUY2, 64, 48);
    {
        SpyChainConfig config;
        config.source.mediaTypes = { mtRgb, mtYuy2 };
        config.source.sampleCount = 3;
        config.sink.refuseConnectionTypes = { dsfix::MajorType(MEDIATYPE_Video, MEDIASUBTYPE_RGB24) };
        SpyChain chain;
        ASSERT_EQ(S_OK, chain.Build(config));
        ASSERT_TRUE(ConnectionType(chain.spy.Out()) == mtYuy2);
        ASSERT_EQ(S_FALSE, chain.spy.In()->QueryAccept(mtRgb.Ptr())) << "the spy keeps the refusal of sink A";
        IGraphBuilder* pBuilder = chain.graph.Builder();
        dsfix::TestSinkConfig openConfig;
        openConfig.pinName = L"In";
        std::vector<dsfix::ComPtr<dsfix::TestSink>> vOthers;
        dsfix::ComPtr<dsfix::TestSink> spSink;
        dsfix::TestGraph graph2;
        IGraphBuilder* pNowBuilder = pBuilder;
        if (c.bNewSink)
        {
            IUnknown* pOldIdentity = IdentityOf(chain.sink->Pin());
            EXPECT_EQ(S_OK, pBuilder->Disconnect(chain.spy.Out()));
            EXPECT_TRUE(SUCCEEDED(pBuilder->Disconnect(chain.sink->Pin())));
            EXPECT_EQ(S_OK, pBuilder->RemoveFilter(chain.down.Get()));
            chain.down.Reset();
            chain.sink.Reset();
            // Sinks are made until one's pin lands where A's was (kept
            // alive meanwhile, so that each try gets another address).
            for (int i = 0; i < 64; ++i)
            {
                dsfix::TestSink* p = NULL;
                ASSERT_EQ(S_OK, dsfix::TestSink::Create(openConfig, &p));
                dsfix::ComPtr<dsfix::TestSink> sp;
                sp.Attach(p);
                if (IdentityOf(sp->Pin()) == pOldIdentity)
                {
                    spSink = sp;
                    break;
                }
                vOthers.push_back(sp);
            }
            const bool bSameAddress = NULL != spSink.Get();
            std::printf("%s: sink B %s\n", c.pszCase, bSameAddress ? "has sink A's address" : "is elsewhere");
            if (!bSameAddress)
                spSink = vOthers.front();
            ASSERT_EQ(S_OK, pBuilder->AddFilter(spSink.Get(), L"Sink B"));
            ASSERT_EQ(S_OK, chain.graph.ConnectDirect(chain.spy.Out(), spSink->Pin(), NULL));
        }
        else
        {
            spSink = chain.sink;
            EXPECT_EQ(S_OK, pBuilder->RemoveFilter(chain.spy.Filter()));
            EXPECT_EQ(S_OK, pBuilder->RemoveFilter(chain.down.Get()));
            EXPECT_EQ(S_OK, pBuilder->RemoveFilter(chain.source.Get()));
            ASSERT_EQ(S_OK, spSink->Configure(openConfig));
            ASSERT_EQ(S_OK, graph2.Create());
            ASSERT_EQ(S_OK, graph2.Add(chain.source.Get(), L"Source"));
            ASSERT_EQ(S_OK, graph2.Add(chain.spy.Filter(), L"Spy"));
            ASSERT_EQ(S_OK, graph2.Add(spSink.Get(), L"Sink A again"));
            ASSERT_EQ(S_OK, graph2.ConnectDirect(chain.source->Pin(), chain.spy.In(), mtYuy2.Ptr()));
            ASSERT_EQ(S_OK, graph2.ConnectDirect(chain.spy.Out(), spSink->Pin(), NULL));
            pNowBuilder = graph2.Builder();
        }
        EXPECT_EQ(S_OK, chain.spy.In()->QueryAccept(mtRgb.Ptr())) << "the sink downstream now takes RGB24";
        CComPtr<IFilterGraph2> spGraph2;
        ASSERT_EQ(S_OK, pNowBuilder->QueryInterface(IID_IFilterGraph2, reinterpret_cast<void**>(&spGraph2)));
        EXPECT_EQ(S_OK, spGraph2->ReconnectEx(chain.spy.In(), mtRgb.Ptr()));
        EXPECT_TRUE(IsConnected(chain.spy.In()));
        EXPECT_TRUE(ConnectionType(chain.spy.In()) == mtRgb);
        EXPECT_TRUE(IsConnected(chain.spy.Out()));
        spGraph2.Release();
        graph2.Release();
        chain.graph.Release();
        chain.spy.Release();
        vOthers.clear();
        spSink.Reset();
    }
    EXPECT_EQ(nLiveBefore, dsfix::LiveObjectCount()) << "every fixture object is gone";
}

INSTANTIATE_TEST_SUITE_P(Ways, SpyRefusalTest,
                         ::testing::Values(RefusalCase{ "sink A goes, sink B comes", true },
                                           RefusalCase{ "the spy leaves its graph and joins another", false }));

// ---------------------------------------------------------------------------
// The filter's own steps belong to the thread that runs them

// The input is connected anew with RGB24, which the sink takes in
// QueryAccept and refuses in ReceiveConnection: the spy's reconnection of
// the output fails and the output gets its working type back (YUY2). While
// the spy does that, another thread asks the output pin about a type the
// source does not have, from inside each of the sink's ReceiveConnection
// calls: the answer is no, whatever the spy's own thread is doing (giving
// the output its old type back takes any type, but only on that thread).
TEST_F(SpyThreadTest, AnotherThreadIsAnsweredAsUsualWhileTheSpyRestoresItsOutput)
{
    dsfix::HangWatchdog watchdog(60000, "another thread during a restore");
    CSilentLog silent;
    const dsfix::MediaType mtYuy2 = dsfix::VideoType(MEDIASUBTYPE_YUY2, 64, 48);
    const dsfix::MediaType mtRgb = dsfix::VideoType(MEDIASUBTYPE_RGB24, 64, 48);
    const dsfix::MediaType mtOther = dsfix::VideoType(MEDIASUBTYPE_RGB32, 64, 48);
    SpyChainConfig config;
    config.source.mediaTypes = { mtYuy2, mtRgb };
    config.source.sampleCount = 3;
    config.sink.refuseConnectionTypes = { dsfix::MajorType(MEDIATYPE_Video, MEDIASUBTYPE_RGB24) };
    std::atomic<bool> bArmed(false);
    std::vector<std::thread> vProbes;
    std::mutex mxAnswers;
    std::vector<HRESULT> vAnswers;
    CSpyPtr* pSpy = NULL;
    config.sink.onReceiveConnection = [&](IPin*) {
        if (!bArmed)
            return;
        std::atomic<bool> bDone(false);
        vProbes.emplace_back([&, pSpy] {
            dsfix::ComInit com;
            const HRESULT hr = pSpy->Out()->QueryAccept(mtOther.Ptr());
            std::lock_guard<std::mutex> lock(mxAnswers);
            vAnswers.push_back(hr);
        });
        // A probe that waits for a lock of the connecting threads answers
        // once the connection is over; it is joined then.
        const DWORD dwStart = GetTickCount();
        for (;;)
        {
            {
                std::lock_guard<std::mutex> lock(mxAnswers);
                if (vAnswers.size() >= vProbes.size())
                    break;
            }
            if (GetTickCount() - dwStart > 500)
                break;
            Sleep(2);
        }
    };
    SpyChain chain;
    pSpy = &chain.spy;
    ASSERT_EQ(S_OK, chain.Build(config));
    ASSERT_TRUE(ConnectionType(chain.spy.Out()) == mtYuy2);
    IGraphBuilder* pBuilder = chain.graph.Builder();
    EXPECT_EQ(S_OK, pBuilder->Disconnect(chain.spy.In()));
    EXPECT_EQ(S_OK, pBuilder->Disconnect(chain.source->Pin()));
    bArmed = true;
    const HRESULT hrRgb = chain.graph.ConnectDirect(chain.source->Pin(), chain.spy.In(), mtRgb.Ptr());
    bArmed = false;
    for (std::thread& t : vProbes)
        t.join();
    EXPECT_TRUE(FAILED(hrRgb)) << "the sink does not connect with RGB24: " << dsfix::HrText(hrRgb);
    EXPECT_GE(vAnswers.size(), 2u) << "the refused connection and the restore";
    for (size_t i = 0; i < vAnswers.size(); ++i)
        EXPECT_EQ(S_FALSE, vAnswers[i]) << "probe " << i << ": " << dsfix::HrText(vAnswers[i]);
    EXPECT_TRUE(ConnectionType(chain.spy.Out()) == mtYuy2) << "the output has its working type back";
    ASSERT_EQ(S_OK, chain.graph.ConnectDirect(chain.source->Pin(), chain.spy.In(), mtYuy2.Ptr()));
    ASSERT_TRUE(chain.graph.RunToCompletion(20000));
    EXPECT_EQ(3u, chain.sink->Samples().size());
}

// ---------------------------------------------------------------------------
// Questions from upstream while other threads read the output pin

// Four threads read the output pin's connection type in a loop, each
// holding the output pin's lock for moments. Meanwhile upstream's questions
// that need that lock get the same answers as without them: the input's
// GetAllocator hands out the output's allocator (the output is connected
// with the input's type), 40 times of 40; and the input's side of a
// connection gives the unconnected output the input's type, 40 times of 40.
// Only an output pin held in its connection makes them give up waiting.
TEST_F(SpyThreadTest, ReadersOfTheOutputPinDoNotChangeUpstreamsAnswers)
{
    dsfix::HangWatchdog watchdog(60000, "readers of the output pin");
    CFakeLogScope log;
    SpyChainConfig config;
    SpyChain chain;
    ASSERT_EQ(S_OK, chain.Build(config));
    CComPtr<IMemAllocator> spAllocOut = chain.spy->m_apOut->GetAllocatorOut();
    ASSERT_TRUE(spAllocOut != NULL);
    CComPtr<IMemInputPin> spMemIn;
    ASSERT_EQ(S_OK, chain.spy.In()->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&spMemIn)));

    std::atomic<bool> bStop(false);
    std::atomic<long> nReads(0);
    std::vector<std::thread> readers;
    auto startReaders = [&] {
        bStop = false;
        for (int t = 0; t < 4; ++t)
            readers.emplace_back([&] {
                dsfix::ComInit com;
                while (!bStop)
                {
                    AM_MEDIA_TYPE mt;
                    ZeroMemory(&mt, sizeof(mt));
                    if (S_OK == chain.spy.Out()->ConnectionMediaType(&mt))
                        MTFreeContents(&mt);
                    ++nReads;
                }
            });
        // The readers are at it before anything is asked.
        const long nFrom = nReads;
        const DWORD dwStart = GetTickCount();
        while (nReads < nFrom + 2000 && GetTickCount() - dwStart < 5000)
            Sleep(1);
    };
    auto stopReaders = [&] {
        bStop = true;
        for (std::thread& t : readers)
            t.join();
        readers.clear();
    };

    startReaders();
    int nOutputs = 0;
    DWORD dwSlowest = 0;
    for (int i = 0; i < 40; ++i)
    {
        const DWORD dwStart = GetTickCount();
        CComPtr<IMemAllocator> sp;
        EXPECT_EQ(S_OK, spMemIn->GetAllocator(&sp));
        dwSlowest = std::max(dwSlowest, GetTickCount() - dwStart);
        if (sp.IsEqualObject(spAllocOut))
            ++nOutputs;
    }
    stopReaders();
    EXPECT_EQ(40, nOutputs) << "GetAllocator calls that handed out the output's allocator; slowest " << dwSlowest
                            << " ms";

    // The output unconnected, with a type other than the input's.
    const dsfix::MediaType mtOther = dsfix::VideoType(MEDIASUBTYPE_UYVY, 32, 24);
    const dsfix::MediaType mtIn = ConnectionType(chain.spy.In());
    ASSERT_EQ(S_OK, chain.graph.Builder()->Disconnect(chain.spy.Out()));
    chain.graph.Builder()->Disconnect(chain.sink->Pin());
    startReaders();
    int nTaken = 0;
    for (int i = 0; i < 40; ++i)
    {
        {
            COutput::ObjectLock lock(chain.spy->m_apOut.p);
            chain.spy->m_apOut->m_mt.Set(mtOther.Ptr());
        }
        EXPECT_EQ(S_OK, chain.spy->Filter_CompleteConnectInput());
        COutput::ObjectLock lock(chain.spy->m_apOut.p);
        if (MTIsEqual(&chain.spy->m_apOut->m_mt, mtIn.Ptr()))
            ++nTaken;
    }
    stopReaders();
    EXPECT_EQ(40, nTaken) << "input sides that gave the output the input's type";
    EXPECT_GT(nReads.load(), 4000);
    EXPECT_FALSE(log.HasLineContaining(L"output pin busy")) << "no fallback was taken";

    // Only an output pin that stays in its connection (here held 400 ms in
    // the sink's ReceiveConnection) makes the call give up waiting: it hands
    // out a new allocator of its own and says so; the connection then
    // completes as usual.
    startReaders();
    HANDLE hInside = CreateEventW(NULL, TRUE, FALSE, NULL);
    std::atomic<bool> bHoldConnect(true);
    dsfix::TestSinkConfig sinkConfig;
    sinkConfig.onReceiveConnection = [&](IPin*) {
        if (bHoldConnect.exchange(false))
        {
            SetEvent(hInside);
            Sleep(400);
        }
    };
    ASSERT_EQ(S_OK, chain.sink->Configure(sinkConfig));
    HRESULT hrConnect = E_PENDING;
    std::thread connector([&] {
        dsfix::ComInit com;
        hrConnect = chain.graph.ConnectDirect(chain.spy.Out(), chain.sink->Pin(), NULL);
    });
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hInside, 10000));
    CComPtr<IMemAllocator> spNew;
    EXPECT_EQ(S_OK, spMemIn->GetAllocator(&spNew));
    connector.join();
    stopReaders();
    CloseHandle(hInside);
    EXPECT_TRUE(spNew != NULL && !spNew.IsEqualObject(chain.spy->m_apOut->GetAllocatorOut()));
    EXPECT_TRUE(log.HasLineContaining(L"Filter_GetAllocator(): output pin busy for 200 ms, a new allocator is handed out"));
    EXPECT_EQ(S_OK, hrConnect);
    EXPECT_TRUE(IsConnected(chain.spy.In()));
    EXPECT_TRUE(IsConnected(chain.spy.Out()));
    spNew.Release();
    spMemIn.Release();
    spAllocOut.Release();
    ASSERT_TRUE(chain.graph.RunToCompletion(20000));
    EXPECT_EQ(10u, chain.sink->Samples().size());
}

// ---------------------------------------------------------------------------
// The count of a stopped run

struct StopCountCase
{
    const char* pszCase;
    DWORD dwHoldMs; // how long the sink holds the delivery of the second sample after Stop began
    bool bInTime;   // the delivery ends within Stop's wait
};

class SpyStopCountTest : public SpyThreadTest, public ::testing::WithParamInterface<StopCountCase>
{
};

// The second of three samples has reached the sink, and its delivery is
// held there (the spy counts a sample once its delivery is over) while the
// spy is stopped on another thread. A delivery that ends while Stop waits is
// counted with its run: Stop reports 2 samples and the count starts from 0.
// A delivery that stays longer than Stop waits is counted with the next run,
// and Stop says so.
TEST_P(SpyStopCountTest, ASampleInDeliveryWhenTheFilterStopsIsCountedOnce)
{
    const StopCountCase& c = GetParam();
    dsfix::HangWatchdog watchdog(60000, c.pszCase);
    CFakeLogScope log;
    SpyChainConfig config;
    config.source.sampleCount = 3;
    config.source.credit = 2;
    config.bNoClock = true;
    HANDLE hArrived = CreateEventW(NULL, TRUE, FALSE, NULL);
    HANDLE hGo = CreateEventW(NULL, TRUE, FALSE, NULL);
    config.sink.onSampleReceived = [&](long nIndex) {
        if (1 != nIndex)
            return;
        SetEvent(hArrived);
        WaitForSingleObject(hGo, 10000);
    };
    SpyChain chain;
    ASSERT_EQ(S_OK, chain.Build(config));
    ASSERT_TRUE(SUCCEEDED(chain.graph.Pause()));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hArrived, 10000));
    HRESULT hrStop = E_PENDING;
    std::thread stopper([&] {
        dsfix::ComInit com;
        hrStop = chain.spy.Filter()->Stop();
    });
    Sleep(c.dwHoldMs);
    SetEvent(hGo);
    stopper.join();
    EXPECT_EQ(S_OK, hrStop);
    const std::vector<ULONGLONG> vCounts = StopCounts(log, chain.spy->GetTraceName());
    ASSERT_EQ(1u, vCounts.size());
    EXPECT_TRUE(chain.source->WaitForPushed(2, 10000));
    // The held delivery is over once the count is taken; it is taken right after.
    for (int i = 0; i < 400 && !c.bInTime && 0 == chain.spy->m_llSamples; ++i)
        Sleep(5);
    const bool bWarned = log.HasLineContaining(L"Stop(): a sample still in delivery after 1000 ms is counted with the next run");
    if (c.bInTime)
    {
        EXPECT_EQ(2u, vCounts[0]) << "the held sample counts with its run";
        EXPECT_EQ(0u, chain.spy->m_llSamples) << "nothing is left for the next run";
        EXPECT_FALSE(bWarned);
    }
    else
    {
        EXPECT_EQ(1u, vCounts[0]);
        EXPECT_EQ(1u, chain.spy->m_llSamples) << "the held sample counts with the next run";
        EXPECT_TRUE(bWarned);
    }
    chain.graph.Stop();
    CloseHandle(hArrived);
    CloseHandle(hGo);
}

INSTANTIATE_TEST_SUITE_P(Holds, SpyStopCountTest,
                         ::testing::Values(StopCountCase{ "the delivery ends while Stop waits", 200, true },
                                           StopCountCase{ "the delivery outlasts Stop's wait", 1500, false }));

} // namespace

// ---------------------------------------------------------------------------
// The input pin's lock and the output pin's lock

// The graph takes the spy's output and the sink's pin apart; true when both
// are unconnected.
namespace {
bool DisconnectOutput(SpyChain& chain)
{
    chain.graph.Builder()->Disconnect(chain.spy.Out());
    chain.graph.Builder()->Disconnect(chain.sink->Pin());
    return !IsConnected(chain.spy.Out()) && !IsConnected(chain.sink->Pin());
}
} // namespace

// The output connects on one thread and, while the downstream pin decides
// (the output counts as connected then, and holds its lock), the downstream
// pin asks the spy's input for its type, which needs the input's lock. On
// another thread the upstream pin disconnects the input and connects it
// anew: under the input's lock the spy compares the new type with the
// output's.
// The input side must not wait without bound behind a holder of the output's
// lock that calls out: it leaves the output's type to that connection, says
// so, and both connections complete (the output's connection has the graph
// reconnect the input afterwards); the chain then plays.
TEST_F(SpyThreadTest, AnInputConnectionMeetingAnOutputConnectionNeverDeadlocks)
{
    CFakeLogScope log;
    SpyChainConfig config;
    SpyChain chain;
    ASSERT_EQ(S_OK, chain.Build(config));
    ASSERT_TRUE(DisconnectOutput(chain));

    HANDLE hInside = CreateEventW(NULL, TRUE, FALSE, NULL);
    HANDLE hDisconnected = CreateEventW(NULL, TRUE, FALSE, NULL);
    std::atomic<bool> bFirst(true);
    std::atomic<bool> bInputSeen(false);
    HRESULT hrAsked = E_PENDING;
    dsfix::TestSinkConfig sinkConfig;
    sinkConfig.onReceiveConnection = [&](IPin*) {
        if (!bFirst.exchange(false))
            return;
        SetEvent(hInside);
        // The input's new connection is under way once the input counts as
        // connected again; it then goes on to the output's lock at once.
        const DWORD dwStart = GetTickCount();
        WaitForSingleObject(hDisconnected, 5000);
        while (!IsConnected(chain.spy.In()) && GetTickCount() - dwStart < 5000)
            Sleep(1);
        bInputSeen = IsConnected(chain.spy.In());
        Sleep(100);
        AM_MEDIA_TYPE mt;
        ZeroMemory(&mt, sizeof(mt));
        hrAsked = chain.spy.In()->ConnectionMediaType(&mt);
        MTFreeContents(&mt);
    };
    ASSERT_EQ(S_OK, chain.sink->Configure(sinkConfig));

    HRESULT hrOut = E_PENDING;
    HRESULT hrIn = E_PENDING;
    {
        // Both threads stuck on each other's lock end the program with the
        // watchdog's report instead of hanging the run.
        dsfix::HangWatchdog watchdog(20000, "an input connection meeting an output connection (deadlock)");
        std::thread output([&] {
            dsfix::ComInit com;
            hrOut = chain.spy.Out()->Connect(chain.sink->Pin(), NULL);
        });
        std::thread input([&] {
            dsfix::ComInit com;
            if (WAIT_OBJECT_0 != WaitForSingleObject(hInside, 10000))
                return;
            chain.source->Pin()->Disconnect();
            chain.spy.In()->Disconnect();
            SetEvent(hDisconnected);
            hrIn = chain.source->Pin()->Connect(chain.spy.In(), NULL);
        });
        input.join();
        output.join();
    }
    CloseHandle(hInside);
    CloseHandle(hDisconnected);
    EXPECT_TRUE(bInputSeen) << "the input connection was not under way while the output connected";
    EXPECT_EQ(S_OK, hrAsked);
    EXPECT_EQ(S_OK, hrIn);
    EXPECT_EQ(S_OK, hrOut);
    EXPECT_TRUE(log.HasLineContaining(
        L"Filter_DisconnectPin(): output pin busy for 200 ms, its type is left to its connection"));
    EXPECT_TRUE(log.HasLineContaining(
        L"Filter_CompleteConnect(): output pin busy for 200 ms, its type is left to its connection"));
    EXPECT_TRUE(IsConnected(chain.spy.In()));
    EXPECT_TRUE(IsConnected(chain.spy.Out()));
    EXPECT_EQ(ConnectionType(chain.spy.In()), ConnectionType(chain.spy.Out()));
    ASSERT_TRUE(chain.graph.RunToCompletion(20000));
    EXPECT_EQ(10u, chain.sink->Samples().size());
}

// In the pass-through mode an output connection that the mode did not make
// (the graph reconnects the output for a neighbour) may only carry the
// input's type. The output's connection holds the output's lock while the
// downstream pin decides, and the downstream pin asks the output back then;
// meanwhile another thread holds the input's lock (as an input connection
// does on its way to the output's lock). The answer never waits for the
// input's lock: it comes at once, and still tells the input's type from
// another.
TEST_F(SpyThreadTest, ThePassThruOutputAnswersUnderItsLockWithoutTheInputsLock)
{
    dsfix::HangWatchdog watchdog(30000, "the pass-through output's answer under its lock");
    CSilentLog silent;
    SpyChainConfig config;
    SpyChain chain;
    ASSERT_EQ(S_OK, chain.Build(config));
    CComPtr<INRVSpyFilter> spItf;
    ASSERT_EQ(S_OK, chain.spy->QueryInterface(__uuidof(INRVSpyFilter), reinterpret_cast<void**>(&spItf)));
    ASSERT_EQ(S_OK, spItf->ForcePassthruAllocator(1));
    ASSERT_NE(0, chain.spy->m_bReconnecting);
    const dsfix::MediaType mtIn = ConnectionType(chain.spy.Out());
    const dsfix::MediaType mtOther = dsfix::VideoType(MEDIASUBTYPE_UYVY, 32, 24);
    ASSERT_TRUE(DisconnectOutput(chain));

    HANDLE hInside = CreateEventW(NULL, TRUE, FALSE, NULL);
    HANDLE hLocked = CreateEventW(NULL, TRUE, FALSE, NULL);
    HANDLE hAsked = CreateEventW(NULL, TRUE, FALSE, NULL);
    std::atomic<bool> bFirst(true);
    HRESULT hrSame = E_PENDING;
    HRESULT hrOther = E_PENDING;
    dsfix::TestSinkConfig sinkConfig;
    sinkConfig.onReceiveConnection = [&](IPin* pConnector) {
        if (!bFirst.exchange(false))
            return;
        SetEvent(hInside);
        WaitForSingleObject(hLocked, 5000);
        hrSame = pConnector->QueryAccept(mtIn.Ptr());
        hrOther = pConnector->QueryAccept(mtOther.Ptr());
        SetEvent(hAsked);
    };
    ASSERT_EQ(S_OK, chain.sink->Configure(sinkConfig));

    HRESULT hrConnect = E_PENDING;
    std::thread output([&] {
        dsfix::ComInit com;
        hrConnect = chain.spy.Out()->Connect(chain.sink->Pin(), mtIn.Ptr());
    });
    bool bAnsweredWhileHeld = false;
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hInside, 10000));
    {
        CInput::ObjectLock lockIn(chain.spy->m_apIn.p);
        SetEvent(hLocked);
        bAnsweredWhileHeld = WAIT_OBJECT_0 == WaitForSingleObject(hAsked, 2000);
    }
    output.join();
    CloseHandle(hInside);
    CloseHandle(hLocked);
    CloseHandle(hAsked);
    EXPECT_TRUE(bAnsweredWhileHeld) << "the output's answer waited for the input's lock";
    EXPECT_EQ(S_OK, hrSame);
    EXPECT_EQ(S_FALSE, hrOther);
    EXPECT_EQ(S_OK, hrConnect);
    EXPECT_TRUE(IsConnected(chain.spy.In()));
    EXPECT_TRUE(IsConnected(chain.spy.Out()));
    spItf.Release();
    ASSERT_TRUE(chain.graph.RunToCompletion(20000));
    EXPECT_EQ(10u, chain.sink->Samples().size());
}
