// The spy filter under load in Wine's filter graph manager: while the graph
// streams through it, start after start, other threads disconnect and
// connect its pins, enumerate its pins and their media types, flip every
// switch of INRVSpyFilter, read the bitrate, ask for frame captures and
// write trace lines. Nothing may crash or hang (every wait is bounded, the
// whole test is watched), every sample the source pushed is accounted for,
// and once everything is let go every reference is back.
#include "SpyTestSupport.h"

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <optional>

namespace {

// A log object for long runs, bound to the program's log client while it
// lives: it counts the lines and keeps what the accounting needs (the
// counts the spy's Stop traces, the copies that failed), and drops the rest.
class CCountingLog : public CQuietLog
{
public:
    CCountingLog()
    {
        InitializeCriticalSection(&m_cs);
        m_binding.emplace(this);
    }
    ~CCountingLog()
    {
        m_binding.reset();
        DeleteCriticalSection(&m_cs);
    }
    CCountingLog(const CCountingLog&) = delete;
    CCountingLog& operator=(const CCountingLog&) = delete;

    bool IsBound() const { return m_binding->IsBound(); }
    ULONGLONG Lines() { return Read(m_nLines); }
    ULONGLONG StopCounts() { return Read(m_nStopCounts); }
    ULONGLONG StopLines() { return Read(m_nStopLines); }
    ULONGLONG CopyFailures() { return Read(m_nCopyFailures); }
    ULONGLONG InputUnconnected() { return Read(m_nInputUnconnected); }
    // Each kind of error line and failed assertion (digits left out), with
    // how often it came.
    std::string Errors()
    {
        EnterCriticalSection(&m_cs);
        std::string s;
        for (const auto& kv : m_errors)
            s += "  " + kv.first + ": " + std::to_string(kv.second) + "\n";
        LeaveCriticalSection(&m_cs);
        return s;
    }

    int STDMETHODCALLTYPE OutputStringW(const wchar_t* psz) override
    {
        if (NULL == psz)
            return 0;
        static const wchar_t s_szStop[] = L" Stop(): Through the filter has passed ";
        ULONGLONG nCount = 0;
        const wchar_t* pStop = wcsstr(psz, s_szStop);
        if (pStop)
            for (const wchar_t* p = pStop + wcslen(s_szStop); *p && L's' != *p; ++p)
                if (*p >= L'0' && *p <= L'9')
                    nCount = nCount * 10 + static_cast<ULONGLONG>(*p - L'0');
        const bool bCopyFailed = NULL != wcsstr(psz, L"copy into the delivery sample failed");
        const bool bInputUnconnected = NULL != wcsstr(psz, L" IMemInputPinImpl::Receive(): Input pin not connected");
        const wchar_t* pErr = wcsstr(psz, L"ASSERT(");
        if (!pErr)
            pErr = wcsstr(psz, L"###Err###");
        std::string sKind;
        if (pErr)
            for (const wchar_t* p = pErr; *p && *p != L'\n' && sKind.size() < 100; ++p)
                if (*p < 128 && !(*p >= L'0' && *p <= L'9'))
                    sKind += static_cast<char>(*p);
        EnterCriticalSection(&m_cs);
        ++m_nLines;
        if (!sKind.empty())
            ++m_errors[sKind];
        if (pStop)
        {
            ++m_nStopLines;
            m_nStopCounts += nCount;
        }
        if (bCopyFailed)
            ++m_nCopyFailures;
        if (bInputUnconnected)
            ++m_nInputUnconnected;
        LeaveCriticalSection(&m_cs);
        return 1;
    }
    int STDMETHODCALLTYPE OutputStringA(const char* psz) override
    {
        if (psz)
        {
            EnterCriticalSection(&m_cs);
            ++m_nLines;
            LeaveCriticalSection(&m_cs);
        }
        return 1;
    }

private:
    ULONGLONG Read(const ULONGLONG& n)
    {
        EnterCriticalSection(&m_cs);
        const ULONGLONG v = n;
        LeaveCriticalSection(&m_cs);
        return v;
    }
    CRITICAL_SECTION m_cs;
    ULONGLONG m_nLines = 0;
    ULONGLONG m_nStopLines = 0;
    ULONGLONG m_nStopCounts = 0;
    ULONGLONG m_nCopyFailures = 0;
    ULONGLONG m_nInputUnconnected = 0;
    std::map<std::string, ULONGLONG> m_errors;
    std::optional<CLogClientSwap> m_binding; // bound once the lock is ready
};

class SpyStressTest : public FilterTest
{
protected:
    void SetUp() override { ASSERT_TRUE(m_log.IsBound()); }
    CCountingLog m_log;
};

// Results of one kind of call, by HRESULT, from any thread.
class CTally
{
public:
    void Add(const char* pszCall, HRESULT hr)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_counts[std::string(pszCall) + " " + dsfix::HrText(hr)];
    }
    std::string Text()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::string s;
        for (const auto& kv : m_counts)
            s += "  " + kv.first + ": " + std::to_string(kv.second) + "\n";
        return s;
    }

private:
    std::mutex m_mutex;
    std::map<std::string, long> m_counts;
};

// A worker thread that repeats one activity until it is told to stop.
class CWorker
{
public:
    CWorker(const char* pszName, std::function<void(long)> fn) : m_sName(pszName), m_fn(std::move(fn))
    {
        m_hThread = CreateThread(NULL, 0, &CWorker::Main, this, 0, NULL);
    }
    ~CWorker()
    {
        Stop();
        if (m_hThread)
        {
            // Bounded: a worker that does not end is a hang; the watchdog
            // of the test ends the program then.
            WaitForSingleObject(m_hThread, 30000);
            CloseHandle(m_hThread);
        }
    }
    void Stop() { m_bStop = true; }
    bool Join(DWORD dwMs) { return m_hThread && WAIT_OBJECT_0 == WaitForSingleObject(m_hThread, dwMs); }
    long Rounds() const { return m_nRounds; }
    const std::string& Name() const { return m_sName; }

private:
    static DWORD WINAPI Main(void* p)
    {
        CWorker* pThis = static_cast<CWorker*>(p);
        dsfix::ComInit com;
        for (long i = 0; !pThis->m_bStop; ++i)
        {
            pThis->m_fn(i);
            pThis->m_nRounds = i + 1;
        }
        return 0;
    }
    std::string m_sName;
    std::function<void(long)> m_fn;
    std::atomic<bool> m_bStop{ false };
    std::atomic<long> m_nRounds{ 0 };
    HANDLE m_hThread = NULL;
};

// Stops every filter of the graph itself. Wine's graph manager does not
// stop the filters it already paused when another one refuses to pause
// (here the spy, with a pin that a worker disconnected): it still counts
// itself stopped and its own Stop does nothing, so the host does it.
void StopEveryFilter(SpyChain& chain)
{
    IBaseFilter* rgFilters[] = { chain.down.Get(), chain.spy.Filter(), chain.source.Get() };
    for (IBaseFilter* p : rgFilters)
        p->Stop();
}

// Takes both links of the chain apart and makes them again, whatever the
// workers left.
void Relink(SpyChain& chain)
{
    IPin* pSinkIn = dsfix::FindPin(chain.down, PINDIR_INPUT);
    IPin* rgPins[] = { chain.spy.Out(), pSinkIn, chain.spy.In(), chain.source->Pin() };
    for (IPin* p : rgPins)
        EXPECT_TRUE(SUCCEEDED(chain.graph.Builder()->Disconnect(p)));
    EXPECT_EQ(S_OK, chain.graph.ConnectDirect(chain.source->Pin(), chain.spy.In(), NULL));
    EXPECT_EQ(S_OK, chain.graph.ConnectDirect(chain.spy.Out(), pSinkIn, NULL));
}

TEST_F(SpyStressTest, StreamingWhileEverythingElseHappensLosesNothingAndLeavesNothing)
{
    dsfix::HangWatchdog watchdog(50000, "spy stress");
    const DWORD kStressMs = 8000;
    const long kPerStream = 30;
    const long nLiveBefore = dsfix::LiveObjectCount();
    const std::wstring sCapture = TempFile(L"spy_stress_capture.bin");
    const std::wstring sBitmap = TempFile(L"spy_stress_capture.bmp");
    CTally tally;
    {
        SpyChainConfig config;
        config.source.mediaTypes = { dsfix::VideoType(MEDIASUBTYPE_YUY2, 64, 48) };
        config.source.sampleCount = kPerStream;
        config.source.frameDuration = 10000;
        config.source.continueAfterRejection = true;
        config.bNoClock = true;
        SpyChain chain;
        ASSERT_EQ(S_OK, chain.Build(config));
        CComPtr<INRVSpyFilter> spItf;
        ASSERT_EQ(S_OK, chain.spy.Filter()->QueryInterface(IID_INRVSpyFilter, reinterpret_cast<void**>(&spItf)));
        IBaseFilter* pSpy = chain.spy.Filter();
        IPin* pSpyIn = chain.spy.In();
        IPin* pSpyOut = chain.spy.Out();
        IPin* pSourceOut = chain.source->Pin();
        IPin* pSinkIn = dsfix::FindPin(chain.down, PINDIR_INPUT);
        IGraphBuilder* pBuilder = chain.graph.Builder();
        const ULONGLONG nStopCountsBefore = m_log.StopCounts();
        const ULONGLONG nInputUnconnectedBefore = m_log.InputUnconnected();
        const ULONGLONG nCopyFailuresBefore = m_log.CopyFailures();

        const DWORD dwStart = GetTickCount();
        {
            CWorker connector("connect", [&](long i) {
                // Either link, taken apart and made again through the graph;
                // refused while the graph runs.
                const bool bInput = (i % 3) == 0;
                IPin* pA = bInput ? pSourceOut : pSpyOut;
                IPin* pB = bInput ? pSpyIn : pSinkIn;
                // A link found apart (another worker's doing) is made again.
                HRESULT hr = pBuilder->Disconnect(pB);
                tally.Add(bInput ? "Disconnect(spy in)" : "Disconnect(sink in)", hr);
                if (SUCCEEDED(hr))
                {
                    tally.Add("Disconnect(other end)", pBuilder->Disconnect(pA));
                    tally.Add("ConnectDirect", chain.graph.ConnectDirect(pA, pB, NULL));
                }
                Sleep(3);
            });
            CWorker enumerator("enumerate", [&](long) {
                CComPtr<IEnumPins> spPins;
                HRESULT hr = pSpy->EnumPins(&spPins);
                tally.Add("EnumPins", hr);
                if (FAILED(hr))
                    return;
                IPin* pPin = NULL;
                for (int n = 0; n < 4 && S_OK == spPins->Next(1, &pPin, NULL); ++n)
                {
                    CComPtr<IEnumMediaTypes> spTypes;
                    if (SUCCEEDED(pPin->EnumMediaTypes(&spTypes)))
                    {
                        AM_MEDIA_TYPE* pmt = NULL;
                        for (int k = 0; k < 64 && S_OK == spTypes->Next(1, &pmt, NULL); ++k)
                            MTDelete(pmt);
                    }
                    AM_MEDIA_TYPE mt;
                    ZeroMemory(&mt, sizeof(mt));
                    if (SUCCEEDED(pPin->ConnectionMediaType(&mt)))
                        MTFreeContents(&mt);
                    PIN_INFO info;
                    if (SUCCEEDED(pPin->QueryPinInfo(&info)) && info.pFilter)
                        info.pFilter->Release();
                    IPin* pPeer = NULL;
                    if (SUCCEEDED(pPin->ConnectedTo(&pPeer)))
                        pPeer->Release();
                    pPin->Release();
                }
                Sleep(1);
            });
            CWorker switcher("switches", [&](long i) {
                const LONG b = (i / 2) % 2;
                tally.Add("EnableDynReconnect", spItf->EnableDynReconnect(b));
                tally.Add("EnableMTEnumRedir", spItf->EnableMTEnumRedir(b));
                tally.Add("ForcePassthruAllocator", spItf->ForcePassthruAllocator(i % 2));
                LONG bForced = 0;
                tally.Add("IsPassthruAllocatorForced", spItf->IsPassthruAllocatorForced(&bForced));
                spItf->IsDynReconnecEnabled();
                spItf->IsMTEnumRedirEnabled();
                Sleep(5);
            });
            CWorker reader("bitrate and capture", [&](long i) {
                ULONG nCurrent = 0, nAverage = 0;
                tally.Add("GetBitrate", spItf->GetBitrate(&nCurrent, &nAverage));
                const bool bBitmap = (i % 4) == 3;
                tally.Add(bBitmap ? "CaptureFrame(bmp)" : "CaptureFrame(bin)",
                          spItf->CaptureFrame(CComBSTR((bBitmap ? sBitmap : sCapture).c_str()),
                                              bBitmap ? eCFT_Bmp : eCFT_Bin));
                Sleep(2);
            });
            CWorker logger1("log 1", [&](long i) {
                _LogTrace(atlTraceGeneral, eTL_Error, L"stress logger 1 line %i\n", static_cast<int>(i));
                if (i % 8 == 7)
                    Sleep(1);
            });
            CWorker logger2("log 2", [&](long i) {
                _LogTrace(atlTraceGeneral, eTL_Warning, L"WARNING. stress logger 2 line %i\n", static_cast<int>(i));
                if (i % 8 == 7)
                    Sleep(1);
            });

            // The graph streams, start after start, on this thread.
            while (GetTickCount() - dwStart < kStressMs)
            {
                const HRESULT hrRun = chain.graph.Run();
                tally.Add("graph Run", hrRun);
                if (SUCCEEDED(hrRun))
                    chain.source->WaitForStreamEnd(2000);
                tally.Add("graph Stop", chain.graph.Stop());
                if (FAILED(hrRun))
                {
                    StopEveryFilter(chain);
                    Sleep(2);
                }
            }
            CWorker* workers[] = { &connector, &enumerator, &switcher, &reader, &logger1, &logger2 };
            for (CWorker* p : workers)
                p->Stop();
            for (CWorker* p : workers)
            {
                EXPECT_TRUE(p->Join(20000)) << p->Name() << " did not end";
                EXPECT_GT(p->Rounds(), 0) << p->Name();
            }
        }
        std::cout << "calls during the stress:\n" << tally.Text() << "trace lines: " << m_log.Lines() << "\nerror lines:\n"
                  << m_log.Errors();

        // Every switch back to its default, both links standing: a last
        // stream passes whole, in order.
        ASSERT_EQ(S_OK, chain.graph.Stop());
        StopEveryFilter(chain);
        EXPECT_EQ(S_OK, spItf->ForcePassthruAllocator(0));
        EXPECT_EQ(S_OK, spItf->EnableDynReconnect(1));
        EXPECT_EQ(S_OK, spItf->EnableMTEnumRedir(1));
        Relink(chain);
        const size_t nPushesBefore = chain.source->Pushes().size();
        const size_t nSinkBefore = chain.sink->Samples().size();
        ASSERT_TRUE(chain.graph.RunToCompletion(20000)) << "the chain still streams";
        const std::vector<dsfix::PushRecord> pushes = chain.source->Pushes();
        const std::vector<dsfix::SampleRecord> got = chain.sink->Samples();
        ASSERT_EQ(nPushesBefore + kPerStream, pushes.size());
        ASSERT_EQ(nSinkBefore + kPerStream, got.size());
        for (long n = 0; n < kPerStream; ++n)
        {
            EXPECT_EQ(S_OK, pushes[nPushesBefore + n].receiveHr) << n;
            EXPECT_EQ(n, got[nSinkBefore + n].number) << n;
            EXPECT_TRUE(got[nSinkBefore + n].patternOk) << n;
        }

        // Every sample accounted for, over the whole test: a sample the spy
        // took (answered S_OK) reached the sink, or its copy failed and was
        // traced; a sample the spy passed to a sink that refused it came back
        // as the refusal; and the spy counted every sample it passed on.
        long nPushedOk = 0;
        long nProduced = 0;
        for (const dsfix::PushRecord& p : pushes)
        {
            if (FAILED(p.getBufferHr))
                continue;
            ++nProduced;
            if (S_OK == p.receiveHr)
                ++nPushedOk;
        }
        const dsfix::SinkRecords sinkRecords = chain.sink->Records();
        {
            CTally results;
            for (const dsfix::PushRecord& p : pushes)
                if (SUCCEEDED(p.getBufferHr))
                    results.Add("source Receive", p.receiveHr);
            for (const dsfix::RejectRecord& r : sinkRecords.rejected)
                results.Add("sink refused", r.hr);
            std::cout << "samples:\n" << results.Text();
        }
        const long nCopyFailed = static_cast<long>(m_log.CopyFailures() - nCopyFailuresBefore);
        EXPECT_GT(nProduced, kPerStream) << "the stress streamed";
        EXPECT_EQ(nPushedOk, static_cast<long>(got.size()) + nCopyFailed);
        for (const dsfix::SampleRecord& r : got)
            EXPECT_TRUE(r.patternOk) << "sample " << r.number << " arrived changed";
        // The spy answers VFW_E_NOT_CONNECTED for a sample that finds its
        // input unconnected (traced, not counted), and for one that it passed
        // on but could not deliver (counted); the sink records its own.
        long nNotConnected = 0;
        for (const dsfix::PushRecord& p : pushes)
            if (SUCCEEDED(p.getBufferHr) && VFW_E_NOT_CONNECTED == p.receiveHr)
                ++nNotConnected;
        long nSinkNotConnected = 0;
        for (const dsfix::RejectRecord& r : sinkRecords.rejected)
            if (VFW_E_NOT_CONNECTED == r.hr)
                ++nSinkNotConnected;
        const long nInputUnconnected = static_cast<long>(m_log.InputUnconnected() - nInputUnconnectedBefore);
        const long nUndelivered = nNotConnected - nSinkNotConnected - nInputUnconnected;
        EXPECT_GE(nUndelivered, 0);
        const ULONGLONG nCounted = m_log.StopCounts() - nStopCountsBefore;
        EXPECT_EQ(0u, chain.spy->m_llSamples);
        EXPECT_EQ(static_cast<ULONGLONG>(nPushedOk) + sinkRecords.rejected.size() + nUndelivered, nCounted)
            << "the spy's counts against the samples it passed on";

        spItf.Release();
        chain.graph.Release();
        chain.spy.Release();
        EXPECT_EQ(1u, chain.source->RefCount()) << "only the chain holds the source";
        EXPECT_EQ(2u, chain.sink->RefCount()) << "only the chain holds the sink";
    }
    EXPECT_EQ(nLiveBefore, dsfix::LiveObjectCount()) << "every fixture object is gone";
    DeleteFileW(sCapture.c_str());
    DeleteFileW(sBitmap.c_str());
}

} // namespace
