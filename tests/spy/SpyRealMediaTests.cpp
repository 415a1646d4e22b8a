// The spy in graphs that Wine builds by itself: real files made by ffmpeg
// (tests/spy/make_media.sh) rendered by Wine's RenderFile, played in a real
// window, and the sound through Wine's DirectSound renderer on a null sound
// device (tests/spy/alsa-null.conf). Each file is first played without the
// spy. The program knows which layouts this platform plays: one of them that
// Wine alone does not play fails the program; only the layouts listed as not
// playing in Wine alone are skipped, each with its reason. Then a spy is put
// in front of every pin that Wine connected after its splitter (the
// renderer's and a decoder's input), by IFilterGraph::ConnectDirect and by
// IGraphBuilder::Connect, and the graph must play to its end: every frame in
// the spy's log, every frame reaching the pin behind the spy with the bytes
// the spy was given, and every object of ours gone at the end. The same holds
// with two spies in series and with every setting of the spy's three switches
// (in one graph per file, the spies taken out and Wine's connections made
// again between combinations): each combination plays here; one that is
// refused fails naming the refusal, and the refused call must have left
// every pin as it was.
#include "SpyTestSupport.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>

namespace {

// ---------------------------------------------------------------------------
// What reaches a pin: IMemInputPin::Receive of chosen pins is tapped (its
// slot in the pin's interface table is replaced) and every sample's length,
// start time and a checksum of its bytes are recorded per pin.

struct FrameRecord
{
    DWORD dwSum;
    long lLength;
    REFERENCE_TIME tStart;
    bool operator==(const FrameRecord& o) const
    {
        return dwSum == o.dwSum && lLength == o.lLength && tStart == o.tStart;
    }
};

typedef HRESULT(STDMETHODCALLTYPE* PFN_Receive)(IMemInputPin*, IMediaSample*);

class CReceiveTaps
{
public:
    CReceiveTaps() { s_pThis = this; }
    ~CReceiveTaps()
    {
        for (const Patch& p : m_patches)
            Write(p.ppSlot, reinterpret_cast<void*>(p.pfnOriginal));
        s_pThis = NULL;
    }
    CReceiveTaps(const CReceiveTaps&) = delete;
    CReceiveTaps& operator=(const CReceiveTaps&) = delete;

    // Records what reaches pPin from now on.
    bool Tap(IPin* pPin)
    {
        CComPtr<IMemInputPin> spMemInput;
        if (FAILED(pPin->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&spMemInput))) || !spMemInput)
            return false;
        void** ppSlot = *reinterpret_cast<void***>(spMemInput.p) + 6; // QI, AddRef, Release, 3 allocator calls
        dsfix::Hold hold(m_lock);
        m_pins.insert(spMemInput.p);
        for (const Patch& p : m_patches)
            if (p.ppSlot == ppSlot)
                return true;
        m_patches.push_back(Patch{ ppSlot, reinterpret_cast<PFN_Receive>(*ppSlot) });
        return Write(ppSlot, reinterpret_cast<void*>(&CReceiveTaps::Receive));
    }

    std::vector<FrameRecord> Frames(IPin* pPin)
    {
        CComPtr<IMemInputPin> spMemInput;
        pPin->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&spMemInput));
        dsfix::Hold hold(m_lock);
        return m_frames[spMemInput.p];
    }

    void Clear()
    {
        dsfix::Hold hold(m_lock);
        m_frames.clear();
        m_pins.clear();
    }

private:
    struct Patch
    {
        void** ppSlot;
        PFN_Receive pfnOriginal;
    };

    static bool Write(void** ppSlot, void* pfn)
    {
        DWORD dwOld = 0;
        if (!VirtualProtect(ppSlot, sizeof(void*), PAGE_EXECUTE_READWRITE, &dwOld))
            return false;
        *ppSlot = pfn;
        VirtualProtect(ppSlot, sizeof(void*), dwOld, &dwOld);
        FlushInstructionCache(GetCurrentProcess(), ppSlot, sizeof(void*));
        return true;
    }

    static HRESULT STDMETHODCALLTYPE Receive(IMemInputPin* pThis, IMediaSample* pSample)
    {
        CReceiveTaps* pTaps = s_pThis;
        void** ppSlot = *reinterpret_cast<void***>(pThis) + 6;
        PFN_Receive pfn = NULL;
        {
            dsfix::Hold hold(pTaps->m_lock);
            for (const Patch& p : pTaps->m_patches)
                if (p.ppSlot == ppSlot)
                    pfn = p.pfnOriginal;
            if (pTaps->m_pins.count(pThis) && NULL != pSample)
            {
                FrameRecord r = { 2166136261u, pSample->GetActualDataLength(), -1 };
                BYTE* pb = NULL;
                if (SUCCEEDED(pSample->GetPointer(&pb)) && NULL != pb)
                    for (long i = 0; i < r.lLength; ++i)
                        r.dwSum = (r.dwSum ^ pb[i]) * 16777619u;
                REFERENCE_TIME tStop = 0;
                if (FAILED(pSample->GetTime(&r.tStart, &tStop)))
                    r.tStart = -1;
                pTaps->m_frames[pThis].push_back(r);
            }
        }
        return pfn(pThis, pSample);
    }

    static CReceiveTaps* s_pThis;
    dsfix::Lock m_lock;
    std::vector<Patch> m_patches;
    std::set<void*> m_pins;
    std::map<void*, std::vector<FrameRecord>> m_frames;
};

CReceiveTaps* CReceiveTaps::s_pThis = NULL;

// ---------------------------------------------------------------------------
// Graphs that Wine builds

std::wstring MediaFolder()
{
    return ProgramFolder() + L"spy_media\\";
}

bool FileExists(const std::wstring& s)
{
    return INVALID_FILE_ATTRIBUTES != GetFileAttributesW(s.c_str());
}

std::string Narrow(const std::wstring& s)
{
    return std::string(s.begin(), s.end());
}

dsfix::ComPtr<IBaseFilter> PinFilter(IPin* pPin)
{
    PIN_INFO info;
    ZeroMemory(&info, sizeof(info));
    dsfix::ComPtr<IBaseFilter> sp;
    if (SUCCEEDED(pPin->QueryPinInfo(&info)))
        sp.Attach(info.pFilter);
    return sp;
}

std::wstring FilterName(IBaseFilter* pFilter)
{
    FILTER_INFO info;
    ZeroMemory(&info, sizeof(info));
    if (NULL == pFilter || FAILED(pFilter->QueryFilterInfo(&info)))
        return L"?";
    if (info.pGraph)
        info.pGraph->Release();
    return info.achName;
}

dsfix::ComPtr<IPin> Peer(IPin* pPin)
{
    dsfix::ComPtr<IPin> sp;
    if (S_OK != pPin->ConnectedTo(&sp))
        sp.Reset();
    return sp;
}

// A connection Wine made after its splitter: the pin that sends and the pin
// that receives, the type, and the names of their filters.
struct Link
{
    dsfix::ComPtr<IPin> spOut;
    dsfix::ComPtr<IPin> spIn;
    dsfix::MediaType mt;
    std::wstring sWhere; // "splitter -> renderer"
};

// Every connection of the graph that carries samples (not the file source's
// byte stream, which the splitter pulls).
std::vector<Link> SampleLinks(IGraphBuilder* pGraph)
{
    std::vector<Link> v;
    dsfix::ComPtr<IEnumFilters> spFilters;
    if (FAILED(pGraph->EnumFilters(&spFilters)))
        return v;
    dsfix::ComPtr<IBaseFilter> spFilter;
    while (S_OK == spFilters->Next(1, &spFilter, NULL))
    {
        dsfix::ComPtr<IEnumPins> spPins;
        if (FAILED(spFilter->EnumPins(&spPins)))
            continue;
        dsfix::ComPtr<IPin> spPin;
        while (S_OK == spPins->Next(1, &spPin, NULL))
        {
            PIN_DIRECTION eDir = PINDIR_OUTPUT;
            spPin->QueryDirection(&eDir);
            dsfix::ComPtr<IPin> spPeer = Peer(spPin);
            if (PINDIR_INPUT != eDir || !spPeer)
                continue;
            Link link;
            link.spOut = spPeer;
            link.spIn = spPin;
            link.mt = ConnectionType(spPin);
            if (IsEqualGUID(link.mt.Get().majortype, MEDIATYPE_Stream))
                continue;
            link.sWhere = FilterName(PinFilter(spPeer)) + L" -> " + FilterName(spFilter);
            v.push_back(link);
        }
    }
    return v;
}

// What a play of one graph gave.
struct PlayResult
{
    HRESULT hrRun = E_FAIL;
    bool bComplete = false;
};

// Runs the graph to EC_COMPLETE (bounded), then stops it. Every filter is
// stopped as well: after a failed Run the graph manager may count itself
// stopped while some of its filters run, and it could not let them go.
PlayResult Play(dsfix::TestGraph& graph, DWORD dwMs)
{
    PlayResult r;
    r.hrRun = graph.Run();
    if (SUCCEEDED(r.hrRun))
        r.bComplete = graph.WaitForEvent(EC_COMPLETE, dwMs);
    graph.Stop();
    dsfix::ComPtr<IEnumFilters> spFilters;
    if (SUCCEEDED(graph.Builder()->EnumFilters(&spFilters)))
    {
        dsfix::ComPtr<IBaseFilter> spFilter;
        while (S_OK == spFilters->Next(1, &spFilter, NULL))
            spFilter->Stop();
    }
    return r;
}

// One file of the media folder and what Wine alone makes of it on this
// platform (Wine 8 with Debian's GStreamer plugins, checked without the
// spy): pszWineCannot is NULL for a layout Wine plays, and the program fails
// when such a layout does not play; otherwise it says why Wine alone does
// not play it, and only then may its tests be skipped.
struct MediaCase
{
    const char* pszName;
    const wchar_t* pszFile;
    const char* pszWineCannot;
    // Trying it brings the process down inside Wine: it is not tried at all.
    bool bNotTried;
};

const MediaCase kMedia[] = {
    { "bgr24", L"clip-bgr24.avi", NULL, false },
    { "bgra", L"clip-bgra.avi", NULL, false },
    { "rgb555", L"clip-rgb555le.avi", "Wine's RenderFile finds no renderer for 15-bit RGB", false },
    { "rgb565", L"clip-rgb565le.avi", "ffmpeg writes no 16-bit RGB AVI that a reader plays (make_media.sh keeps none)",
      false },
    { "pal8", L"clip-pal8.avi", NULL, false },
    { "gray", L"clip-gray.avi", NULL, false },
    { "yuy2", L"clip-yuyv422.avi", NULL, false },
    { "uyvy", L"clip-uyvy422.avi", NULL, false },
    { "yvyu", L"clip-yvyu422.avi", "Wine's RenderFile finds no renderer for YVYU", false },
    { "i420", L"clip-yuv420p.avi", NULL, false },
    { "nv12", L"clip-nv12.avi", "Wine's RenderFile finds no renderer for NV12", false },
    { "nv21", L"clip-nv21.avi", "Wine's RenderFile finds no renderer for NV21", false },
    { "yvu9", L"clip-yuv410p.avi", "Wine's RenderFile finds no renderer for YVU9", false },
    { "y41b", L"clip-yuv411p.avi", "Wine's RenderFile finds no renderer for Y41B", false },
    { "y42b", L"clip-yuv422p.avi", "Wine's RenderFile finds no renderer for Y42B", false },
    { "msvideo1", L"clip-msvideo1.avi", "Wine has no Microsoft Video 1 decoder: its RenderFile cannot render it", false },
    { "cinepak", L"clip-cinepak.avi", "Wine's AVI Decompressor crashes inside Wine on Cinepak", true },
    { "wav", L"tone.wav", NULL, false },
};

// gtest names a case by its layout.
void PrintTo(const MediaCase& c, std::ostream* pOut)
{
    *pOut << c.pszName;
}

// What each layout gave in this run: "" when Wine alone played it, else why
// not; the program's end compares it with the table above.
std::map<std::string, std::string>& Outcomes()
{
    static std::map<std::string, std::string> s_outcomes;
    return s_outcomes;
}

// Takes the graph's reference clock away: the renderers then take every frame
// as it comes, none is late, and so no filter drops one for lateness.
void RunWithoutClock(dsfix::TestGraph& graph)
{
    dsfix::ComPtr<IMediaFilter> spMediaFilter;
    graph.Builder()->QueryInterface(IID_IMediaFilter, reinterpret_cast<void**>(&spMediaFilter));
    if (spMediaFilter)
        spMediaFilter->SetSyncSource(NULL);
}

// What the file gave without the spy: the reason it cannot be played, or
// the frames each receiving pin got (by the link's place in the graph).
struct Baseline
{
    std::string sSkip;
    std::map<std::wstring, size_t> frames;
    std::vector<std::wstring> links;
};

const DWORD kPlayMs = 20000;

// Plays the file once without the spy, in a graph of Wine's RenderFile, with
// its clock (as a user plays it) to learn whether Wine plays it at all, and
// once more without the clock to count the frames each receiving pin gets:
// with a clock a busy machine makes frames late, and Wine's splitter drops
// late frames, so only the count without the clock is exact.
Baseline MeasureBaseline(const MediaCase& c)
{
    Baseline b;
    if (c.bNotTried)
    {
        b.sSkip = c.pszWineCannot;
        return b;
    }
    const std::wstring sPath = MediaFolder() + c.pszFile;
    if (!FileExists(sPath))
    {
        b.sSkip = "ffmpeg made no " + Narrow(c.pszFile) + " (it cannot write that layout into the container)";
        return b;
    }
    CReceiveTaps taps;
    dsfix::TestGraph graph;
    if (FAILED(graph.Create()))
    {
        b.sSkip = "no filter graph manager";
        return b;
    }
    const HRESULT hr = graph.Builder()->RenderFile(sPath.c_str(), NULL);
    if (S_OK != hr && VFW_S_PARTIAL_RENDER != hr && VFW_S_AUDIO_NOT_RENDERED != hr &&
        VFW_S_VIDEO_NOT_RENDERED != hr)
    {
        b.sSkip = "Wine's RenderFile cannot render it without the spy: " + dsfix::HrText(hr);
        return b;
    }
    // Wine crashes when a renderer that played goes after its graph: no pin
    // is held past the graph's release.
    std::vector<Link> links = SampleLinks(graph.Builder());
    if (links.empty())
    {
        b.sSkip = "Wine's graph for it has no sample connection";
        return b;
    }
    for (const Link& l : links)
        taps.Tap(l.spIn);
    const PlayResult r = Play(graph, kPlayMs);
    if (FAILED(r.hrRun) || !r.bComplete)
    {
        links.clear();
        b.sSkip = "Wine does not play it to its end without the spy: Run()=" + dsfix::HrText(r.hrRun) +
                  (r.bComplete ? "" : ", no EC_COMPLETE");
        return b;
    }
    links.clear();
    graph.Release();

    // The same taps count again (one set of taps patches a pin class at a
    // time); Clear, since a new pin may take an old one's address.
    taps.Clear();
    dsfix::TestGraph exact;
    if (FAILED(exact.Create()) || FAILED(exact.Builder()->RenderFile(sPath.c_str(), NULL)))
    {
        b.sSkip = "Wine's RenderFile renders it only once";
        return b;
    }
    RunWithoutClock(exact);
    links = SampleLinks(exact.Builder());
    for (const Link& l : links)
        taps.Tap(l.spIn);
    const PlayResult rExact = Play(exact, kPlayMs);
    if (FAILED(rExact.hrRun) || !rExact.bComplete)
        b.sSkip = "Wine does not play it to its end without the spy and without a clock: Run()=" +
                  dsfix::HrText(rExact.hrRun) + (rExact.bComplete ? "" : ", no EC_COMPLETE");
    for (const Link& l : links)
    {
        b.frames[l.sWhere] = taps.Frames(l.spIn).size();
        b.links.push_back(l.sWhere);
        if (0 == b.frames[l.sWhere])
            b.sSkip = "nothing reached " + Narrow(l.sWhere) + " without the spy";
    }
    links.clear();
    exact.Release();
    return b;
}

// The baseline of a file, measured once per program by the first test that
// needs it (each program plays all the tests of its media).
const Baseline& BaselineOf(const MediaCase& c)
{
    static std::map<std::string, Baseline> s_cache;
    auto it = s_cache.find(c.pszName);
    if (it == s_cache.end())
    {
        it = s_cache.emplace(c.pszName, MeasureBaseline(c)).first;
        Outcomes()[c.pszName] = it->second.sSkip;
    }
    return it->second;
}

// Sets *ppb to the file's baseline when Wine alone played it. Otherwise the
// test is skipped when the layout is one that Wine alone is known not to play
// here, and fails when it is one that this platform plays.
void RequireBaseline(const MediaCase& c, const Baseline** ppb)
{
    *ppb = NULL;
    const Baseline& b = BaselineOf(c);
    if (b.sSkip.empty())
    {
        if (c.pszWineCannot)
            std::printf("%s: Wine alone played it, although it is listed as not playing here (%s)\n", c.pszName,
                        c.pszWineCannot);
        *ppb = &b;
        return;
    }
    if (c.pszWineCannot)
        GTEST_SKIP() << "Wine alone does not play " << c.pszName << " here: " << c.pszWineCannot
                     << " (this run: " << b.sSkip << ")";
    FAIL() << "Wine alone did not play " << c.pszName << ", a layout this platform plays: " << b.sSkip;
}

// ---------------------------------------------------------------------------
// The spy put into such a graph

enum class Way
{
    ConnectDirect, // IFilterGraph::ConnectDirect, the old type on the upstream side
    Builder,       // IGraphBuilder::Connect
};

struct Switches
{
    int nSpies = 1;
    bool bDynReconnect = true;
    bool bMTEnumRedir = true;
    bool bForcePassthru = false;
};

std::string Describe(Way eWay, const Switches& s)
{
    std::string sText = (Way::ConnectDirect == eWay) ? "ConnectDirect" : "IGraphBuilder::Connect";
    sText += ", " + std::to_string(s.nSpies) + (1 == s.nSpies ? " spy" : " spies");
    sText += s.bDynReconnect ? ", dynamic reconnection on" : ", dynamic reconnection off";
    sText += s.bMTEnumRedir ? ", enumeration redirection on" : ", enumeration redirection off";
    if (s.bForcePassthru)
        sText += ", pass-through allocator forced";
    return sText;
}

// Both ends of every connection agree: a pin that says it is connected is
// the pin its peer says it is connected to.
::testing::AssertionResult Mutual(IPin* pPin)
{
    dsfix::ComPtr<IPin> spPeer = Peer(pPin);
    if (!spPeer)
        return ::testing::AssertionSuccess();
    dsfix::ComPtr<IPin> spBack = Peer(spPeer);
    if (!spBack || !dsfix::SameObject(spBack, pPin))
        return ::testing::AssertionFailure() << "a pin is connected to a pin that is not connected to it";
    return ::testing::AssertionSuccess();
}

class SpyRealMediaTest : public FilterTest
{
protected:
    void SetUp() override { ASSERT_TRUE(m_log.IsBound()); }

    // Wine's graph for one file, built by RenderFile; bClock false runs it
    // without a reference clock.
    struct WineGraph
    {
        dsfix::TestGraph graph;
        std::vector<Link> links;
        bool bClock = true;
        ~WineGraph()
        {
            // Our references first: a renderer that outlives its graph
            // crashes Wine.
            links.clear();
            graph.Release();
        }
    };

    static void BuildWineGraph(const MediaCase& c, bool bClock, WineGraph* pWine)
    {
        dsfix::TestGraph& graph = pWine->graph;
        EXPECT_EQ(S_OK, graph.Create());
        const HRESULT hrRender = graph.Builder()->RenderFile((MediaFolder() + c.pszFile).c_str(), NULL);
        EXPECT_TRUE(SUCCEEDED(hrRender)) << dsfix::HrText(hrRender);
        pWine->bClock = bClock;
        if (!bClock)
            RunWithoutClock(graph);
        pWine->links = SampleLinks(graph.Builder());
    }

    // Builds Wine's graph for the file, puts the spies in front of every
    // receiving pin the given way, and plays it (see InsertAndPlayIn).
    // How one insertion ended: played, or refused at the connection of the
    // chain's pin nPin with hrRefusal.
    struct Outcome
    {
        bool bPlayed = true;
        HRESULT hrRefusal = S_OK;
        size_t nPin = 0;
        std::string Text() const
        {
            return bPlayed ? "played"
                           : "refused at the connection of pin " + std::to_string(nPin) + " of the chain: " +
                                 dsfix::HrText(hrRefusal);
        }
    };

    Outcome InsertAndPlay(const MediaCase& c, const Baseline& b, Way eWay, const Switches& s, bool bClock)
    {
        WineGraph wine;
        BuildWineGraph(c, bClock, &wine);
        return InsertAndPlayIn(wine, c, b, eWay, s);
    }

    // Puts the spies in front of every receiving pin of Wine's graph the
    // given way and plays it. Every connection call either succeeds or fails
    // leaving the pins as they were; when all succeeded the graph plays to
    // its end with every frame through every spy unchanged. Afterwards the
    // spies are taken out and Wine's own connections made again.
    Outcome InsertAndPlayIn(WineGraph& wine, const MediaCase& c, const Baseline& b, Way eWay, const Switches& s)
    {
        const std::string sCase = std::string(c.pszName) + ", " + Describe(eWay, s);
        SCOPED_TRACE(sCase);
        m_log.Reset();
        CReceiveTaps taps;
        dsfix::TestGraph& graph = wine.graph;
        const std::vector<Link>& links = wine.links;
        EXPECT_EQ(b.links.size(), links.size());

        struct Inserted
        {
            const Link* pLink;
            std::vector<std::unique_ptr<CSpyPtr>> spies;
        };
        std::vector<Inserted> inserted;
        bool bRefused = false;
        Outcome outcome;
        for (const Link& l : links)
        {
            Inserted ins;
            ins.pLink = &l;
            for (int i = 0; i < s.nSpies; ++i)
            {
                ins.spies.emplace_back(new CSpyPtr());
                CSpyPtr& spy = *ins.spies.back();
                CComPtr<INRVSpyFilter> spItf;
                EXPECT_EQ(S_OK, spy->QueryInterface(__uuidof(INRVSpyFilter), reinterpret_cast<void**>(&spItf)));
                EXPECT_EQ(S_OK, spItf->EnableDynReconnect(s.bDynReconnect ? 1 : 0));
                EXPECT_EQ(S_OK, spItf->EnableMTEnumRedir(s.bMTEnumRedir ? 1 : 0));
                EXPECT_EQ(S_OK, spItf->ForcePassthruAllocator(s.bForcePassthru ? 1 : 0));
                const std::wstring sName = L"Spy " + std::to_wstring(inserted.size()) + L"." + std::to_wstring(i);
                EXPECT_EQ(S_OK, graph.Add(spy.Filter(), sName.c_str()));
            }
            EXPECT_EQ(S_OK, l.spOut->Disconnect());
            EXPECT_EQ(S_OK, l.spIn->Disconnect());
            // The chain of pins: upstream, spy in, spy out, ..., downstream.
            std::vector<IPin*> chain;
            chain.push_back(l.spOut);
            for (auto& sp : ins.spies)
            {
                chain.push_back(sp->In());
                chain.push_back(sp->Out());
            }
            chain.push_back(l.spIn);
            for (size_t k = 0; k + 1 < chain.size() && !bRefused; k += 2)
            {
                // What every pin of the chain was connected to before the call.
                std::vector<dsfix::ComPtr<IPin>> before;
                for (IPin* p : chain)
                    before.push_back(Peer(p));
                HRESULT hr = E_FAIL;
                if (Way::ConnectDirect == eWay)
                    hr = graph.ConnectDirect(chain[k], chain[k + 1], (0 == k) ? l.mt.Ptr() : NULL);
                else
                    hr = graph.Connect(chain[k], chain[k + 1]);
                for (IPin* p : chain)
                    EXPECT_TRUE(Mutual(p)) << "after connecting pin " << k << ", " << dsfix::HrText(hr);
                if (S_OK == hr)
                {
                    // The spies connected so far are whole.
                    for (size_t j = 1; j <= k + 1; ++j)
                        EXPECT_TRUE(Peer(chain[j])) << "pin " << j << " of the chain is left unconnected by the "
                                                    << "call for pin " << k;
                    continue;
                }
                bRefused = true;
                outcome.bPlayed = false;
                outcome.hrRefusal = hr;
                outcome.nPin = k;
                EXPECT_TRUE(FAILED(hr)) << "a success code other than S_OK: " << dsfix::HrText(hr);
                for (size_t j = 0; j < chain.size(); ++j)
                    EXPECT_TRUE(dsfix::SameObject(before[j], Peer(chain[j])))
                        << "the refused call for pin " << k << " (" << dsfix::HrText(hr)
                        << ") changed the connection of pin " << j;
            }
            inserted.push_back(std::move(ins));
            if (bRefused)
                break;
        }

        if (!bRefused)
        {
            for (Inserted& ins : inserted)
            {
                for (auto& sp : ins.spies)
                    taps.Tap(sp->In());
                taps.Tap(ins.pLink->spIn);
            }
            const PlayResult r = Play(graph, kPlayMs);
            EXPECT_EQ(S_OK, SUCCEEDED(r.hrRun) ? S_OK : r.hrRun) << "Run() after every connection succeeded";
            EXPECT_TRUE(r.bComplete) << "no EC_COMPLETE";
            for (Inserted& ins : inserted)
            {
                const size_t nFile = b.frames.count(ins.pLink->sWhere) ? b.frames.at(ins.pLink->sWhere) : 0;
                SCOPED_TRACE(Narrow(ins.pLink->sWhere));
                const std::vector<FrameRecord> last = taps.Frames(ins.pLink->spIn);
                // Without a clock every frame of the file comes. With the
                // clock the upstream filter may drop frames that a busy
                // machine made late, as it does without the spy: then the
                // spies must pass on exactly the frames the first one got.
                size_t nFrames = nFile;
                if (wine.bClock && !ins.spies.empty())
                {
                    nFrames = taps.Frames(ins.spies.front()->In()).size();
                    EXPECT_LE(nFrames, nFile) << "frames given to the first spy";
                    EXPECT_GT(nFrames, 0u) << "frames given to the first spy";
                    if (nFrames < nFile)
                        std::printf("%s: %u of %u frames came late and were dropped before the spy\n",
                                    sCase.c_str(), static_cast<unsigned>(nFile - nFrames),
                                    static_cast<unsigned>(nFile));
                }
                EXPECT_EQ(nFrames, last.size()) << "frames that reached the pin behind the spies";
                for (auto& sp : ins.spies)
                {
                    const std::vector<FrameRecord> got = taps.Frames(sp->In());
                    EXPECT_EQ(nFrames, got.size()) << "frames given to the spy";
                    EXPECT_TRUE(got == last) << "the frames reached the pin behind the spies changed";
                    const std::wstring sDump = std::wstring(sp->Get()->GetTraceName()) + L" tS=";
                    const std::vector<std::wstring> lines = m_log.Lines();
                    EXPECT_EQ(nFrames, static_cast<size_t>(std::count_if(
                                           lines.begin(), lines.end(),
                                           [&](const std::wstring& x) { return 0 == x.compare(0, sDump.size(), sDump); })))
                        << "frames in the spy's log";
                }
            }
        }
        // The spies out, Wine's connections back.
        for (Inserted& ins : inserted)
        {
            ins.pLink->spOut->Disconnect();
            ins.pLink->spIn->Disconnect();
            for (auto& sp : ins.spies)
            {
                sp->In()->Disconnect();
                sp->Out()->Disconnect();
                EXPECT_EQ(S_OK, graph.Builder()->RemoveFilter(sp->Filter()));
            }
            EXPECT_EQ(S_OK, graph.ConnectDirect(ins.pLink->spOut, ins.pLink->spIn, ins.pLink->mt.Ptr()))
                << "Wine's own connection made again";
        }
        return outcome;
    }

    CFakeLogScope m_log;
};

std::string MediaName(const ::testing::TestParamInfo<MediaCase>& info)
{
    return info.param.pszName;
}

class SpyRealMediaWineAloneTest : public SpyRealMediaTest, public ::testing::WithParamInterface<MediaCase>
{
};

// Without the spy, Wine's own graph plays each layout that this platform
// plays to its end, with frames at every receiving pin.
TEST_P(SpyRealMediaWineAloneTest, WineAlonePlaysEveryLayoutThisPlatformPlays)
{
    const Baseline* pb = NULL;
    RequireBaseline(GetParam(), &pb);
}

INSTANTIATE_TEST_SUITE_P(Wine, SpyRealMediaWineAloneTest, ::testing::ValuesIn(kMedia), MediaName);

class SpyRealMediaPlayTest : public SpyRealMediaTest, public ::testing::WithParamInterface<MediaCase>
{
};

// One spy before every receiving pin: plays as it did without the spy.
TEST_P(SpyRealMediaPlayTest, OneSpyBeforeEveryReceivingPinPlaysAsWithoutIt)
{
    const MediaCase& c = GetParam();
    dsfix::HangWatchdog watchdog(180000, c.pszName);
    const Baseline* pb = NULL;
    RequireBaseline(c, &pb);
    if (NULL == pb)
        return;
    for (Way eWay : { Way::ConnectDirect, Way::Builder })
    {
        const Outcome o = InsertAndPlay(c, *pb, eWay, Switches(), true);
        EXPECT_TRUE(o.bPlayed) << c.pszName << ", " << Describe(eWay, Switches()) << ": " << o.Text();
    }
}

INSTANTIATE_TEST_SUITE_P(Wine, SpyRealMediaPlayTest, ::testing::ValuesIn(kMedia), MediaName);

class SpyRealMediaMatrixTest : public SpyRealMediaTest, public ::testing::WithParamInterface<MediaCase>
{
};

// Two spies in series or one, each switch on and off, both ways: every
// combination plays with every frame in the spies' logs (a refusal fails with
// the refusal named, and must have left every pin as it was). The graphs run
// without a clock, as fast as the renderer takes the frames.
TEST_P(SpyRealMediaMatrixTest, EveryCombinationOfSwitchesPlaysWithEveryFrameLogged)
{
    const MediaCase& c = GetParam();
    dsfix::HangWatchdog watchdog(400000, c.pszName);
    const Baseline* pb = NULL;
    RequireBaseline(c, &pb);
    if (NULL == pb)
        return;
    WineGraph wine;
    BuildWineGraph(c, false, &wine);
    for (int nSpies = 1; nSpies <= 2; ++nSpies)
        for (int nBits = 0; nBits < 8; ++nBits)
        {
            Switches s;
            s.nSpies = nSpies;
            s.bDynReconnect = 0 == (nBits & 1);
            s.bMTEnumRedir = 0 == (nBits & 2);
            s.bForcePassthru = 0 != (nBits & 4);
            for (Way eWay : { Way::ConnectDirect, Way::Builder })
            {
                const Outcome o = InsertAndPlayIn(wine, c, *pb, eWay, s);
                std::printf("%s, %s: %s\n", c.pszName, Describe(eWay, s).c_str(), o.Text().c_str());
                EXPECT_TRUE(o.bPlayed) << c.pszName << ", " << Describe(eWay, s) << ": " << o.Text();
            }
        }
}

INSTANTIATE_TEST_SUITE_P(Wine, SpyRealMediaMatrixTest, ::testing::ValuesIn(kMedia), MediaName);

} // namespace

// Each program runs every test of its share of the media, so that a medium's
// baseline is measured once: ctest's entries name their share the way gtest's
// sharding does (GTEST_TOTAL_SHARDS, GTEST_SHARD_INDEX), and the program
// takes the variables away and picks its media by a filter instead of
// letting gtest deal out single tests. The media that this platform plays are
// dealt out first, one to each share in turn, then the others.
// At the end, every layout of its share that this platform plays must have
// played without the spy; the program fails naming those that did not.
int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    const char* pszShards = std::getenv("GTEST_TOTAL_SHARDS");
    const char* pszIndex = std::getenv("GTEST_SHARD_INDEX");
    const int nShards = pszShards ? std::atoi(pszShards) : 1;
    const int nIndex = pszIndex ? std::atoi(pszIndex) : 0;
    _putenv("GTEST_TOTAL_SHARDS=");
    _putenv("GTEST_SHARD_INDEX=");
    const bool bWhole = "*" == ::testing::GTEST_FLAG(filter);
    std::vector<const MediaCase*> share;
    int nPlays = 0, nOthers = 0;
    for (const MediaCase& c : kMedia)
    {
        int& n = c.pszWineCannot ? nOthers : nPlays;
        if (nShards <= 1 || nIndex == n++ % nShards)
            share.push_back(&c);
    }
    if (bWhole)
    {
        std::string sFilter;
        for (const MediaCase* p : share)
            sFilter += (sFilter.empty() ? "*/" : ":*/") + std::string(p->pszName);
        ::testing::GTEST_FLAG(filter) = sFilter.empty() ? "-*" : sFilter;
    }
    int nResult = RUN_ALL_TESTS();

    if (bWhole)
    {
        size_t nListed = 0, nPlayed = 0;
        std::string sMissing;
        for (const MediaCase* p : share)
        {
            if (p->pszWineCannot)
                continue;
            ++nListed;
            const auto it = Outcomes().find(p->pszName);
            if (it != Outcomes().end() && it->second.empty())
                ++nPlayed;
            else
                sMissing += std::string("\n  ") + p->pszName + ": " +
                            (it == Outcomes().end() ? std::string("not tried") : it->second);
        }
        std::printf("== %u of the %u layouts of this program that this platform plays played without the spy\n",
                    static_cast<unsigned>(nPlayed), static_cast<unsigned>(nListed));
        if (nPlayed < nListed)
        {
            std::printf("FAILED: these layouts, which this platform plays, did not play:%s\n", sMissing.c_str());
            nResult = 1;
        }
    }
    // Every test released its graphs and checked that it left no object of
    // ours; the program as a whole must end with none either.
    if (0 != TestModule().GetLockCount())
    {
        std::printf("FAILED: %ld objects of the spy's module are still alive at the end\n",
                    static_cast<long>(TestModule().GetLockCount()));
        nResult = 1;
    }
    // Every result is written: the process ends here with the tests' result.
    // Returning would run the process's exit, which tears down Wine's
    // GStreamer and graphics libraries while their own threads still run:
    // it crashes now and then, or takes so long that wineserver kills the
    // process, after every test has passed.
    std::printf("== every result is written; the program ends with %d\n", nResult);
    std::fflush(stdout);
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(nResult));
    return nResult;
}
