// The framework's memory allocator on its own: property correction, the
// result of every operation in every state, buffer layout, blocking and
// waking, decommit while samples are out, the notify callback and the
// allocator's lifetime.
#include "AllocTest.h"

#include <algorithm>

using dsfix::ComPtr;

static ::testing::Environment* const g_pComEnv = ::testing::AddGlobalTestEnvironment(new CComEnvironment);

// A module object, so that live objects show in its lock count.
static CAtlModule g_module;

namespace
{

ComPtr<IMemAllocator> NewAllocator()
{
    ComPtr<IMemAllocator> sp;
    EXPECT_EQ(S_OK, CreateOurAllocator(&sp));
    return sp;
}

// ---------------------------------------------------------------------------
// SetProperties corrects what it can and refuses what no block can hold.

struct CorrectCase
{
    const char* name;
    ALLOCATOR_PROPERTIES request;
    HRESULT hr;
    ALLOCATOR_PROPERTIES actual; // all zero when refused
    const wchar_t* warning;      // a line that must be traced, or NULL
};

const CorrectCase g_rgCorrect[] = {
    { "align3",
      { 2, 1000, 3, 0 },
      S_OK,
      { 2, 1000, 4, 0 },
      L"WARNING. CAllocatorBuffers::Correct(): Alignment not a power of 2 (rgProps.cbAlign = 0x3), corrected "
      L"alignment = 0x4\n" },
    { "align0",
      { 2, 1000, 0, 0 },
      S_OK,
      { 2, 1000, 1, 0 },
      L"WARNING. CAllocatorBuffers::Correct(): rgProps.cbAlign == 0\n" },
    { "grow",
      { 2, 1000, 64, 10 },
      S_OK,
      { 2, 1014, 64, 10 },
      L"WARNING. CAllocatorBuffers::Correct(): input props = { 2, 1000, 64, 10 }, corrected size of buffer = 1014\n" },
    { "align12", { 3, 1000, 12, 0 }, S_OK, { 3, 1008, 16, 0 }, NULL },
    { "exact", { 1, 4096, 4096, 0 }, S_OK, { 1, 4096, 4096, 0 }, NULL },
    { "maxSize", { 1, 0x7FFFFFFF, 1, 0 }, S_OK, { 1, 0x7FFFFFFF, 1, 0 }, NULL },
    { "maxAlign", { 1, 16, 0x40000000, 0 }, S_OK, { 1, 0x40000000, 0x40000000, 0 }, NULL },
    { "noBuffers", { 0, 1000, 1, 0 }, VFW_E_SIZENOTSET, {}, NULL },
    { "negBuffers", { -1, 1000, 1, 0 }, VFW_E_SIZENOTSET, {}, NULL },
    { "noSize", { 2, 0, 1, 0 }, VFW_E_SIZENOTSET, {}, NULL },
    { "negSize", { 2, -5, 1, 0 }, VFW_E_SIZENOTSET, {}, NULL },
    { "negPrefix", { 2, 1000, 16, -8 }, VFW_E_SIZENOTSET, {}, NULL },
    { "prefixOverflow", { 2, 0x7FFFFFF0, 1, 0x20 }, VFW_E_SIZENOTSET, {}, NULL },
    { "roundOverflow", { 2, 0x7FFFFFFF, 16, 0 }, VFW_E_SIZENOTSET, {}, NULL },
    { "align2G", { 2, 1000, static_cast<LONG>(0x80000000u), 0 }, VFW_E_BADALIGN, {}, NULL },
    { "alignRoundsTo2G", { 2, 1000, 0x40000001, 0 }, VFW_E_BADALIGN, {}, NULL },
    { "negAlign", { 2, 1000, -4, 0 }, VFW_E_BADALIGN, {}, NULL },
};

void PrintTo(const CorrectCase& c, std::ostream* os)
{
    *os << c.name;
}

class Correct : public ::testing::TestWithParam<CorrectCase>
{
};

TEST_P(Correct, CorrectsOrRefusesAndKeepsTheStateOnRefusal)
{
    const CorrectCase& c = GetParam();
    CLogCapture log;
    ComPtr<IMemAllocator> sp = NewAllocator();
    ALLOCATOR_PROPERTIES req = c.request;
    ALLOCATOR_PROPERTIES actual = { 7, 7, 7, 7 };
    EXPECT_EQ(c.hr, sp->SetProperties(&req, &actual));
    EXPECT_EQ(c.actual, actual);
    if (c.warning)
    {
        const std::wstring line = log->Find(c.warning);
        EXPECT_FALSE(line.empty()) << "missing warning";
        EXPECT_EQ(eTL_Warning, RecordLevel(line));
    }
    ALLOCATOR_PROPERTIES got = {};
    if (FAILED(c.hr))
    {
        // Never set: still without properties.
        EXPECT_EQ(VFW_E_BUFFER_NOTSET, sp->GetProperties(&got));
        // Set before: the earlier properties stay.
        ALLOCATOR_PROPERTIES good = Props(2, 64, 1, 0);
        ASSERT_EQ(S_OK, sp->SetProperties(&good, &actual));
        req = c.request;
        EXPECT_EQ(c.hr, sp->SetProperties(&req, &actual));
        EXPECT_EQ(S_OK, sp->GetProperties(&got));
        EXPECT_EQ(Props(2, 64, 1, 0), got);
    }
    else
    {
        EXPECT_EQ(S_OK, sp->GetProperties(&got));
        EXPECT_EQ(c.actual, got);
    }
}

INSTANTIATE_TEST_SUITE_P(Allocator, Correct, ::testing::ValuesIn(g_rgCorrect),
                         [](const ::testing::TestParamInfo<CorrectCase>& i) { return std::string(i.param.name); });

TEST(Allocator, NullArgumentsArePointerErrors)
{
    ComPtr<IMemAllocator> sp = NewAllocator();
    ALLOCATOR_PROPERTIES p = Props(1, 1, 1, 0);
    EXPECT_EQ(E_POINTER, sp->SetProperties(NULL, &p));
    EXPECT_EQ(E_POINTER, sp->SetProperties(&p, NULL));
    EXPECT_EQ(E_POINTER, sp->GetProperties(NULL));
    EXPECT_EQ(E_POINTER, sp->GetBuffer(NULL, NULL, NULL, 0));
    EXPECT_EQ(E_POINTER, sp->ReleaseBuffer(NULL));
    ComPtr<IMemAllocatorCallbackTemp> spCb;
    ASSERT_EQ(S_OK, sp.As(spCb));
    EXPECT_EQ(E_POINTER, spCb->GetFreeCount(NULL));
}

// ---------------------------------------------------------------------------
// Every operation in every state.

enum class State
{
    Init,
    Prop,
    Commit,
    Busy,
    Empty,
    Decommit
};

const char* StateName(State s)
{
    static const char* s_names[] = { "Init", "Prop", "Commit", "Busy", "Empty", "Decommit" };
    return s_names[static_cast<int>(s)];
}

// An allocator of two buffers brought into a state, with the samples that
// state needs held out.
struct StatedAllocator
{
    explicit StatedAllocator(State s)
    {
        EXPECT_EQ(S_OK, CreateOurAllocator(&sp));
        if (s == State::Init)
            return;
        ALLOCATOR_PROPERTIES req = Props(2, 100, 1, 0), actual;
        EXPECT_EQ(S_OK, sp->SetProperties(&req, &actual));
        if (s == State::Prop)
            return;
        EXPECT_EQ(S_OK, sp->Commit());
        if (s == State::Commit)
            return;
        EXPECT_EQ(S_OK, sp->GetBuffer(&a, NULL, NULL, 0));
        if (s == State::Busy)
            return;
        if (s == State::Empty)
        {
            EXPECT_EQ(S_OK, sp->GetBuffer(&b, NULL, NULL, 0));
            IMediaSample* c = NULL;
            EXPECT_EQ(VFW_E_TIMEOUT, sp->GetBuffer(&c, NULL, NULL, AM_GBF_NOWAIT));
            return;
        }
        EXPECT_EQ(S_OK, sp->Decommit());
    }
    ~StatedAllocator()
    {
        a.Reset();
        b.Reset();
        got.Reset();
        sp->Decommit();
    }

    ComPtr<IMemAllocator> sp;
    ComPtr<IMediaSample> a, b, got;
};

struct StateCase
{
    State state;
    HRESULT setProps, getProps, commit, decommit, getBufferNoWait, getFreeCount;
    LONG freeCount;
};

const StateCase g_rgStates[] = {
    { State::Init, S_OK, VFW_E_BUFFER_NOTSET, E_FAIL, E_FAIL, VFW_E_BUFFER_NOTSET, VFW_E_BUFFER_NOTSET, 0 },
    { State::Prop, S_OK, S_OK, S_OK, S_OK, VFW_E_NOT_COMMITTED, VFW_E_NOT_COMMITTED, 0 },
    { State::Commit, VFW_E_ALREADY_COMMITTED, S_OK, S_OK, S_OK, S_OK, S_OK, 2 },
    { State::Busy, VFW_E_ALREADY_COMMITTED, S_OK, S_OK, S_OK, S_OK, S_OK, 1 },
    { State::Empty, VFW_E_ALREADY_COMMITTED, S_OK, S_OK, S_OK, VFW_E_TIMEOUT, S_OK, 0 },
    { State::Decommit, VFW_E_BUFFERS_OUTSTANDING, S_OK, S_OK, S_OK, VFW_E_NOT_COMMITTED, VFW_E_NOT_COMMITTED, 0 },
};

void PrintTo(const StateCase& c, std::ostream* os)
{
    *os << StateName(c.state);
}

class States : public ::testing::TestWithParam<StateCase>
{
};

TEST_P(States, EachOperationAnswersForTheState)
{
    const StateCase& c = GetParam();
    {
        StatedAllocator s(c.state);
        ALLOCATOR_PROPERTIES req = Props(2, 200, 1, 0), actual;
        EXPECT_EQ(c.setProps, s.sp->SetProperties(&req, &actual));
    }
    {
        StatedAllocator s(c.state);
        ALLOCATOR_PROPERTIES got = {};
        EXPECT_EQ(c.getProps, s.sp->GetProperties(&got));
        if (S_OK == c.getProps)
        {
            EXPECT_EQ(Props(2, 100, 1, 0), got);
        }
    }
    {
        StatedAllocator s(c.state);
        EXPECT_EQ(c.commit, s.sp->Commit());
    }
    {
        StatedAllocator s(c.state);
        EXPECT_EQ(c.decommit, s.sp->Decommit());
    }
    {
        StatedAllocator s(c.state);
        EXPECT_EQ(c.getBufferNoWait, s.sp->GetBuffer(&s.got, NULL, NULL, AM_GBF_NOWAIT));
        EXPECT_EQ(S_OK == c.getBufferNoWait, s.got.Get() != NULL);
    }
    {
        StatedAllocator s(c.state);
        HRESULT hr = E_FAIL;
        const LONG l = FreeCount(s.sp, &hr);
        EXPECT_EQ(c.getFreeCount, hr);
        EXPECT_EQ(c.freeCount, l);
    }
}

INSTANTIATE_TEST_SUITE_P(Allocator, States, ::testing::ValuesIn(g_rgStates),
                         [](const ::testing::TestParamInfo<StateCase>& i) {
                             return std::string(StateName(i.param.state));
                         });

// Before its final construction the object has no semaphore: it refuses
// everything.
TEST(Allocator, BeforeFinalConstructEverythingAborts)
{
    CComObject<COurAllocator>* p = new CComObject<COurAllocator>();
    p->AddRef();
    ALLOCATOR_PROPERTIES req = Props(1, 10, 1, 0), actual;
    EXPECT_EQ(E_ABORT, p->SetProperties(&req, &actual));
    EXPECT_EQ(E_ABORT, p->GetProperties(&actual));
    EXPECT_EQ(E_ABORT, p->Commit());
    EXPECT_EQ(E_ABORT, p->Decommit());
    IMediaSample* pSample = NULL;
    EXPECT_EQ(E_ABORT, p->GetBuffer(&pSample, NULL, NULL, AM_GBF_NOWAIT));
    LONG l = 5;
    EXPECT_EQ(E_ABORT, p->GetFreeCount(&l));
    EXPECT_EQ(0, l);
    p->Release();
}

// ---------------------------------------------------------------------------
// Buffer layout: every buffer keeps its prefix and alignment, and no two
// buffers (prefixes included) share a byte.

struct LayoutCase
{
    const char* name;
    ALLOCATOR_PROPERTIES request;
};

const LayoutCase g_rgLayouts[] = {
    { "one", { 1, 1, 1, 0 } },          { "tiny", { 3, 1, 1, 0 } },
    { "align1", { 4, 1000, 1, 0 } },    { "prefix8", { 4, 1000, 16, 8 } },
    { "oddPrefix", { 16, 333, 8, 3 } }, { "align64", { 5, 100, 64, 10 } },
    { "page", { 3, 4096, 4096, 100 } }, { "aboveGranularity", { 2, 5000, 0x20000, 24 } },
    { "many", { 1000, 200, 32, 16 } },  { "large", { 3, 0x08000000, 4096, 8 } },
};

void PrintTo(const LayoutCase& c, std::ostream* os)
{
    *os << c.name;
}

class Layout : public ::testing::TestWithParam<LayoutCase>
{
};

TEST_P(Layout, BuffersKeepPrefixAndAlignmentAndNeverOverlap)
{
    ComPtr<IMemAllocator> sp = NewAllocator();
    ALLOCATOR_PROPERTIES req = GetParam().request, actual = {};
    ASSERT_EQ(S_OK, sp->SetProperties(&req, &actual));
    ASSERT_EQ(S_OK, sp->Commit());
    const UINT_PTR uAlign = std::max<UINT_PTR>(16, static_cast<UINT_PTR>(actual.cbAlign));

    std::vector<ComPtr<IMediaSample>> samples(actual.cBuffers);
    std::vector<std::pair<BYTE*, BYTE*>> extents; // prefix start, buffer end
    for (auto& s : samples)
    {
        ASSERT_EQ(S_OK, sp->GetBuffer(&s, NULL, NULL, AM_GBF_NOWAIT));
        BYTE* pb = NULL;
        ASSERT_EQ(S_OK, s->GetPointer(&pb));
        ASSERT_EQ(actual.cbBuffer, s->GetSize());
        EXPECT_EQ(0u, (reinterpret_cast<UINT_PTR>(pb) - actual.cbPrefix) % uAlign);
        extents.emplace_back(pb - actual.cbPrefix, pb + actual.cbBuffer);
    }
    IMediaSample* pNone = NULL;
    EXPECT_EQ(VFW_E_TIMEOUT, sp->GetBuffer(&pNone, NULL, NULL, AM_GBF_NOWAIT));
    std::sort(extents.begin(), extents.end());
    for (size_t i = 1; i < extents.size(); ++i)
        EXPECT_LE(extents[i - 1].second, extents[i].first) << "buffers " << i - 1 << " and " << i << " overlap";

    // Every byte of every buffer is ours: mark each buffer's first and last
    // prefix and data bytes (all of them for small buffers), then read the
    // marks back.
    auto mark = [&](size_t i, BYTE* p) { *p = static_cast<BYTE>(i * 7 + 1); };
    auto each = [&](size_t i, auto fn) {
        const size_t cb = extents[i].second - extents[i].first;
        if (cb <= 64 * 1024)
            for (BYTE* p = extents[i].first; p < extents[i].second; ++p)
                fn(p);
        else
        {
            fn(extents[i].first);
            fn(extents[i].first + actual.cbPrefix);
            fn(extents[i].second - 1);
        }
    };
    for (size_t i = 0; i < extents.size(); ++i)
        each(i, [&](BYTE* p) { mark(i, p); });
    for (size_t i = 0; i < extents.size(); ++i)
        each(i, [&](BYTE* p) { ASSERT_EQ(static_cast<BYTE>(i * 7 + 1), *p); });

    samples.clear();
    EXPECT_EQ(actual.cBuffers, FreeCount(sp));
    EXPECT_EQ(S_OK, sp->Decommit());
}

INSTANTIATE_TEST_SUITE_P(Allocator, Layout, ::testing::ValuesIn(g_rgLayouts),
                         [](const ::testing::TestParamInfo<LayoutCase>& i) { return std::string(i.param.name); });

// Sizes that no block can hold are refused by Commit, and the allocator
// stays usable.
TEST(Allocator, CommitRefusesABlockBeyondTheAddressSpace)
{
    ComPtr<IMemAllocator> sp = NewAllocator();
    ALLOCATOR_PROPERTIES req = Props(0x7FFFFFFF, 0x7FFFFFF0, 16, 0), actual;
    ASSERT_EQ(S_OK, sp->SetProperties(&req, &actual));
    EXPECT_EQ(E_OUTOFMEMORY, sp->Commit());
    ComPtr<IMediaSample> s;
    EXPECT_EQ(VFW_E_NOT_COMMITTED, sp->GetBuffer(&s, NULL, NULL, 0));
    req = Props(2, 100, 1, 0);
    ASSERT_EQ(S_OK, sp->SetProperties(&req, &actual));
    ASSERT_EQ(S_OK, sp->Commit());
    EXPECT_EQ(S_OK, sp->GetBuffer(&s, NULL, NULL, 0));
    s.Reset();
    EXPECT_EQ(S_OK, sp->Decommit());
}

// ---------------------------------------------------------------------------
// Waiting for a buffer.

TEST(Allocator, NoWaitOnAnEmptyPoolTimesOutAndSaysSo)
{
    CLogCapture log;
    ComPtr<IMemAllocator> sp = NewAllocator();
    SetAndCommit(sp, Props(1, 64, 1, 0));
    ComPtr<IMediaSample> a, b;
    ASSERT_EQ(S_OK, sp->GetBuffer(&a, NULL, NULL, 0));
    EXPECT_EQ(VFW_E_TIMEOUT, sp->GetBuffer(&b, NULL, NULL, AM_GBF_NOWAIT));
    EXPECT_EQ(NULL, b.Get());
    const std::wstring line = log->Find(L"[Allocator] Allocator busy, waiting = NO\n");
    EXPECT_EQ(eTL_Info, RecordLevel(line));
    a.Reset();
    EXPECT_EQ(S_OK, sp->GetBuffer(&b, NULL, NULL, AM_GBF_NOWAIT));
    b.Reset();
    EXPECT_EQ(S_OK, sp->Decommit());
}

TEST(Allocator, ABlockedGetBufferWakesWhenASampleComesBack)
{
    dsfix::HangWatchdog watchdog(20000, "blocked GetBuffer");
    ComPtr<IMemAllocator> sp = NewAllocator();
    SetAndCommit(sp, Props(1, 64, 1, 0));
    IMediaSample* pFirst = NULL;
    ASSERT_EQ(S_OK, sp->GetBuffer(&pFirst, NULL, NULL, 0));
    BYTE* pbFirst = NULL;
    pFirst->GetPointer(&pbFirst);
    {
        CAsyncGetBuffer wait(sp);
        EXPECT_FALSE(wait.Done(200));
        EXPECT_EQ(0u, pFirst->Release());
        ASSERT_TRUE(wait.Done(5000));
        EXPECT_EQ(S_OK, wait.Result());
        ComPtr<IMediaSample> s;
        s.Attach(wait.Take());
        BYTE* pb = NULL;
        s->GetPointer(&pb);
        EXPECT_EQ(pbFirst, pb);
    }
    EXPECT_EQ(S_OK, sp->Decommit());
}

TEST(Allocator, DecommitWakesEveryWaiterWithNotCommitted)
{
    dsfix::HangWatchdog watchdog(20000, "waiters after Decommit");
    ComPtr<IMemAllocator> sp = NewAllocator();
    SetAndCommit(sp, Props(1, 64, 1, 0));
    ComPtr<IMediaSample> held;
    ASSERT_EQ(S_OK, sp->GetBuffer(&held, NULL, NULL, 0));
    CAsyncGetBuffer w1(sp), w2(sp), w3(sp);
    EXPECT_FALSE(w1.Done(200));
    EXPECT_FALSE(w2.Done(0));
    EXPECT_FALSE(w3.Done(0));
    EXPECT_EQ(S_OK, sp->Decommit());
    for (CAsyncGetBuffer* w : { &w1, &w2, &w3 })
    {
        ASSERT_TRUE(w->Done(5000));
        EXPECT_EQ(VFW_E_NOT_COMMITTED, w->Result());
    }
    held.Reset();
}

// Many threads share a small pool: every GetBuffer gets a buffer nobody else
// holds, and nothing is lost.
TEST(Allocator, ThreadsSharingASmallPoolNeverShareABuffer)
{
    dsfix::HangWatchdog watchdog(60000, "threads sharing a pool");
    ComPtr<IMemAllocator> sp = NewAllocator();
    const LONG cBuffers = 3;
    SetAndCommit(sp, Props(cBuffers, 256, 1, 0));
    struct Shared
    {
        IMemAllocator* pAlloc;
        volatile LONG nErrors;
    } shared = { sp.Get(), 0 };
    auto worker = [](void* pv) -> DWORD {
        Shared* p = static_cast<Shared*>(pv);
        const BYTE bMark = static_cast<BYTE>(GetCurrentThreadId());
        for (int i = 0; i < 2000; ++i)
        {
            IMediaSample* s = NULL;
            if (S_OK != p->pAlloc->GetBuffer(&s, NULL, NULL, 0))
            {
                InterlockedIncrement(&p->nErrors);
                continue;
            }
            BYTE* pb = NULL;
            s->GetPointer(&pb);
            memset(pb, bMark, 256);
            if (0 == (i % 64))
                Sleep(0);
            for (int k = 0; k < 256; ++k)
                if (pb[k] != bMark)
                {
                    InterlockedIncrement(&p->nErrors);
                    break;
                }
            s->Release();
        }
        return 0;
    };
    HANDLE rgThreads[6];
    for (HANDLE& h : rgThreads)
        h = CreateThread(NULL, 0, worker, &shared, 0, NULL);
    WaitForMultipleObjects(6, rgThreads, TRUE, INFINITE);
    for (HANDLE h : rgThreads)
        CloseHandle(h);
    EXPECT_EQ(0, shared.nErrors);
    EXPECT_EQ(cBuffers, FreeCount(sp));
    EXPECT_EQ(S_OK, sp->Decommit());
}

// A graph that stops and starts while its streams run: one thread decommits
// and commits again and again while others take buffers (blocking) and give
// them back. Each GetBuffer either gets a buffer nobody else holds or hears
// that the pool is not committed; nobody is left waiting, every buffer comes
// back, and no count goes wrong on the way.
TEST(Allocator, DecommitAndCommitWhileThreadsStreamLoseNothing)
{
    dsfix::HangWatchdog watchdog(120000, "decommit and commit while streaming");
    CLogCapture log;
    ComPtr<IMemAllocator> sp = NewAllocator();
    const LONG cBuffers = 3;
    const LONG cbBuffer = 128;
    SetAndCommit(sp, Props(cBuffers, cbBuffer, 1, 0));
    struct Shared
    {
        IMemAllocator* pAlloc;
        volatile LONG nWorkersLeft;
        volatile LONG nGot, nRefused, nErrors;
    } shared = { sp.Get(), 6, 0, 0, 0 };
    auto worker = [](void* pv) -> DWORD {
        Shared* p = static_cast<Shared*>(pv);
        const BYTE bMark = static_cast<BYTE>(GetCurrentThreadId());
        for (int i = 0; i < 1500; ++i)
        {
            IMediaSample* s = NULL;
            const HRESULT hr = p->pAlloc->GetBuffer(&s, NULL, NULL, 0);
            if (VFW_E_NOT_COMMITTED == hr)
            {
                InterlockedIncrement(&p->nRefused);
                Sleep(0);
                continue;
            }
            if (S_OK != hr || NULL == s)
            {
                InterlockedIncrement(&p->nErrors);
                continue;
            }
            InterlockedIncrement(&p->nGot);
            BYTE* pb = NULL;
            s->GetPointer(&pb);
            memset(pb, bMark, cbBuffer);
            if (0 == (i % 16))
                Sleep(0);
            for (int k = 0; k < cbBuffer; ++k)
                if (pb[k] != bMark)
                {
                    InterlockedIncrement(&p->nErrors);
                    break;
                }
            if (0 != s->Release())
                InterlockedIncrement(&p->nErrors);
        }
        InterlockedDecrement(&p->nWorkersLeft);
        return 0;
    };
    HANDLE rgThreads[6];
    for (HANDLE& h : rgThreads)
        h = CreateThread(NULL, 0, worker, &shared, 0, NULL);
    int nCycles = 0;
    while (shared.nWorkersLeft > 0)
    {
        EXPECT_EQ(S_OK, sp->Decommit());
        if (nCycles % 3)
            Sleep(0);
        EXPECT_EQ(S_OK, sp->Commit());
        Sleep(nCycles % 2);
        ++nCycles;
    }
    WaitForMultipleObjects(6, rgThreads, TRUE, INFINITE);
    for (HANDLE h : rgThreads)
        CloseHandle(h);
    EXPECT_EQ(0, shared.nErrors);
    EXPECT_GT(shared.nGot, 0);
    EXPECT_GT(nCycles, 0);
    EXPECT_EQ(cBuffers, FreeCount(sp));
    EXPECT_EQ(S_OK, sp->Decommit());
    HRESULT hr = S_OK;
    FreeCount(sp, &hr);
    EXPECT_EQ(VFW_E_NOT_COMMITTED, hr);
    EXPECT_EQ(0u, log->CountAsserts());
    EXPECT_FALSE(log->Has(L"###Err###"));
}

// ---------------------------------------------------------------------------
// Decommit while samples are out.

TEST(Allocator, DecommitWithASampleOutCompletesOnItsLastRelease)
{
    ComPtr<IMemAllocator> sp = NewAllocator();
    SetAndCommit(sp, Props(2, 64, 1, 0));
    IMediaSample* pOut = NULL;
    ASSERT_EQ(S_OK, sp->GetBuffer(&pOut, NULL, NULL, 0));
    EXPECT_EQ(S_OK, sp->Decommit());
    ComPtr<IMediaSample> s;
    EXPECT_EQ(VFW_E_NOT_COMMITTED, sp->GetBuffer(&s, NULL, NULL, 0));
    HRESULT hr = S_OK;
    FreeCount(sp, &hr);
    EXPECT_EQ(VFW_E_NOT_COMMITTED, hr);
    ALLOCATOR_PROPERTIES req = Props(2, 64, 1, 0), actual;
    EXPECT_EQ(VFW_E_BUFFERS_OUTSTANDING, sp->SetProperties(&req, &actual));

    // The sample stays usable until it goes.
    BYTE* pb = NULL;
    ASSERT_EQ(S_OK, pOut->GetPointer(&pb));
    memset(pb, 0x5A, 64);
    EXPECT_EQ(S_OK, pOut->SetActualDataLength(64));
    EXPECT_EQ(0u, pOut->Release());

    FreeCount(sp, &hr);
    EXPECT_EQ(VFW_E_NOT_COMMITTED, hr);
    EXPECT_EQ(S_OK, sp->SetProperties(&req, &actual));
    ASSERT_EQ(S_OK, sp->Commit());
    EXPECT_EQ(S_OK, sp->GetBuffer(&s, NULL, NULL, 0));
    EXPECT_EQ(0, s->GetActualDataLength());
    s.Reset();
    EXPECT_EQ(S_OK, sp->Decommit());
}

TEST(Allocator, CommitRevokesAPendingDecommit)
{
    ComPtr<IMemAllocator> sp = NewAllocator();
    SetAndCommit(sp, Props(1, 64, 1, 0));
    ComPtr<IMediaSample> a, b;
    ASSERT_EQ(S_OK, sp->GetBuffer(&a, NULL, NULL, 0));
    EXPECT_EQ(S_OK, sp->Decommit());
    EXPECT_EQ(S_OK, sp->Commit());
    // Committed again with the one buffer still out: the pool is empty.
    EXPECT_EQ(VFW_E_TIMEOUT, sp->GetBuffer(&b, NULL, NULL, AM_GBF_NOWAIT));
    a.Reset();
    EXPECT_EQ(1, FreeCount(sp));
    EXPECT_EQ(S_OK, sp->GetBuffer(&b, NULL, NULL, AM_GBF_NOWAIT));
    b.Reset();
    EXPECT_EQ(S_OK, sp->Decommit());
}

// The allocator outlives its last outside reference while a sample is out
// of a decommitted pool, and goes with that sample's Release.
TEST(Allocator, TheLastSampleOfADecommittedAllocatorTakesItAlong)
{
    CLogCapture log;
    const LONG nLocks = g_module.GetLockCount();
    ComPtr<IMemAllocator> sp = NewAllocator();
    SetAndCommit(sp, Props(2, 64, 1, 0));
    IMediaSample* pOut = NULL;
    ASSERT_EQ(S_OK, sp->GetBuffer(&pOut, NULL, NULL, 0));
    EXPECT_EQ(S_OK, sp->Decommit());
    sp.Reset();
    EXPECT_EQ(nLocks + 1, g_module.GetLockCount());
    EXPECT_FALSE(log->Has(L"CMemoryAllocatorT::FinalRelease"));
    EXPECT_EQ(0u, pOut->Release());
    EXPECT_EQ(nLocks, g_module.GetLockCount());
    EXPECT_TRUE(log->Has(L"CMemoryAllocatorT::FinalRelease"));
    EXPECT_EQ(0u, log->CountAsserts());
}

TEST(Allocator, LeftCommittedItSaysSoAndStaysAlive)
{
    CLogCapture log;
    const LONG nLocks = g_module.GetLockCount();
    ComPtr<IMemAllocator> sp = NewAllocator();
    SetAndCommit(sp, Props(1, 64, 1, 0));
    IMemAllocator* pRaw = sp.Get();
    sp.Reset();
    const std::wstring line = log->Find(L"###Err### CMemoryAllocatorT::InternalRelease(): IMemAllocator::Decommit() "
                                        L"isn't called, memory isn't freed\n");
    EXPECT_EQ(eTL_Error, RecordLevel(line));
    EXPECT_EQ(nLocks + 1, g_module.GetLockCount());
    // Still alive: a caller that takes a reference can decommit and free it.
    pRaw->AddRef();
    EXPECT_EQ(S_OK, pRaw->Decommit());
    pRaw->Release();
    EXPECT_EQ(nLocks, g_module.GetLockCount());
}

// ---------------------------------------------------------------------------
// IMemAllocatorEx and the notify callback.

TEST(Allocator, ExtensionMediaTypeGoesToTheNextSampleOnly)
{
    ComPtr<IMemAllocator> sp = NewAllocator();
    ComPtr<IMemAllocatorEx> spEx;
    ASSERT_EQ(S_OK, sp->QueryInterface(IID_IMemAllocatorEx, reinterpret_cast<void**>(&spEx)));
    EXPECT_TRUE(dsfix::SameObject(sp, spEx));
    SetAndCommit(sp, Props(2, 64, 1, 0));
    CMType mt(MEDIATYPE_Video, MEDIASUBTYPE_YUY2);
    {
        CLogCapture log;
        EXPECT_EQ(S_OK, spEx->SetMediaType(&mt));
        EXPECT_TRUE(log->Has(L"CMemoryAllocatorT: IMemAllocatorEx::SetMediaType() [0x"));
        EXPECT_EQ(eTL_Info, RecordLevel(log->Find(L"MT: ")));
    }
    ComPtr<IMediaSample> a, b;
    ASSERT_EQ(S_OK, sp->GetBuffer(&a, NULL, NULL, 0));
    ASSERT_EQ(S_OK, sp->GetBuffer(&b, NULL, NULL, 0));
    AM_MEDIA_TYPE* pmt = NULL;
    ASSERT_EQ(S_OK, a->GetMediaType(&pmt));
    EXPECT_TRUE(MTIsEqual(pmt, &mt));
    MTDelete(pmt);
    EXPECT_EQ(S_FALSE, b->GetMediaType(&pmt));
    EXPECT_EQ(NULL, pmt);
    a.Reset();
    b.Reset();
    // NULL takes a pending type back.
    EXPECT_EQ(S_OK, spEx->SetMediaType(&mt));
    EXPECT_EQ(S_OK, spEx->SetMediaType(NULL));
    ASSERT_EQ(S_OK, sp->GetBuffer(&a, NULL, NULL, 0));
    EXPECT_EQ(S_FALSE, a->GetMediaType(&pmt));
    a.Reset();
    EXPECT_EQ(S_OK, sp->Decommit());
}

// A notify callback that counts its calls and checks that the allocator is
// free to be called from another thread meanwhile, as an upstream filter's
// callback would do while holding its own lock.
class CNotify : public IMemAllocatorNotifyCallbackTemp
{
public:
    explicit CNotify(IMemAllocator* pAlloc) : m_pAlloc(pAlloc) {}

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_IUnknown || riid == IID_IMemAllocatorNotifyCallbackTemp)
        {
            *ppv = this;
            AddRef();
            return S_OK;
        }
        *ppv = NULL;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&m_nRef); }
    STDMETHODIMP_(ULONG) Release() override { return InterlockedDecrement(&m_nRef); }

    STDMETHODIMP NotifyRelease() override
    {
        InterlockedIncrement(&m_nCalls);
        // Another thread asks the allocator while this one is inside the
        // callback: with the allocator's lock held here, it could not answer.
        HANDLE h = CreateThread(NULL, 0, &CNotify::Ask, this, 0, NULL);
        if (WAIT_OBJECT_0 != WaitForSingleObject(h, 3000))
            InterlockedIncrement(&m_nBlocked); // and go on, or the two threads would hang
        CloseHandle(h);
        return S_OK;
    }

    static DWORD WINAPI Ask(void* pv)
    {
        CNotify* p = static_cast<CNotify*>(pv);
        FreeCount(p->m_pAlloc);
        return 0;
    }

    IMemAllocator* m_pAlloc;
    volatile LONG m_nRef = 0;
    volatile LONG m_nCalls = 0;
    volatile LONG m_nBlocked = 0;
};

TEST(Allocator, NotifyRunsOncePerReturnedSampleWithTheAllocatorFree)
{
    dsfix::HangWatchdog watchdog(60000, "notify callback");
    ComPtr<IMemAllocator> sp = NewAllocator();
    ComPtr<IMemAllocatorCallbackTemp> spCb;
    ASSERT_EQ(S_OK, sp.As(spCb));
    CNotify notify(sp);
    EXPECT_EQ(S_OK, spCb->SetNotify(&notify));
    EXPECT_EQ(1, notify.m_nRef);
    SetAndCommit(sp, Props(2, 64, 1, 0));

    ComPtr<IMediaSample> a, b, c;
    ASSERT_EQ(S_OK, sp->GetBuffer(&a, NULL, NULL, 0));
    a.Reset(); // Busy
    EXPECT_EQ(1, notify.m_nCalls);
    ASSERT_EQ(S_OK, sp->GetBuffer(&a, NULL, NULL, 0));
    ASSERT_EQ(S_OK, sp->GetBuffer(&b, NULL, NULL, 0));
    EXPECT_EQ(VFW_E_TIMEOUT, sp->GetBuffer(&c, NULL, NULL, AM_GBF_NOWAIT));
    a.Reset(); // Empty
    EXPECT_EQ(2, notify.m_nCalls);
    EXPECT_EQ(S_OK, sp->Decommit());
    b.Reset(); // Decommit
    EXPECT_EQ(3, notify.m_nCalls);
    EXPECT_EQ(0, notify.m_nBlocked);

    EXPECT_EQ(S_OK, spCb->SetNotify(NULL));
    EXPECT_EQ(0, notify.m_nRef);
}

// ---------------------------------------------------------------------------
// A sample whose construction fails gives back its buffer and its slot.

class CFailingSample : public CMediaSample
{
public:
    HRESULT FinalConstruct() { return E_FAIL; }
};

TEST(Allocator, AFailedSampleConstructionLosesNothing)
{
    CLogCapture log;
    ComPtr<IMemAllocator> sp;
    ASSERT_EQ(S_OK, (CMemoryAllocatorT<CBufferOnVirtualAlloc, CFailingSample>::CreateInstance(&sp)));
    SetAndCommit(sp, Props(2, 64, 1, 0));
    ComPtr<IMediaSample> s;
    EXPECT_EQ(E_FAIL, sp->GetBuffer(&s, NULL, NULL, 0));
    EXPECT_EQ(NULL, s.Get());
    EXPECT_EQ(2, FreeCount(sp));
    EXPECT_EQ(S_OK, sp->Decommit());
    HRESULT hr = S_OK;
    FreeCount(sp, &hr);
    EXPECT_EQ(VFW_E_NOT_COMMITTED, hr);
    log->Clear();
    sp.Reset();
    // Destroyed with every buffer and slot back: no assertion.
    EXPECT_TRUE(log->Has(L"CMemoryAllocatorT::FinalRelease"));
    EXPECT_EQ(0u, log->CountAsserts());
}

TEST(Allocator, InitInstanceRefusesMissingParts)
{
    typedef CComSampleObject<COurAllocator, CMediaSample> CSample;
    ComPtr<IMemAllocator> sp = NewAllocator();
    COurAllocator* pAlloc =
        static_cast<COurAllocator*>(static_cast<IMemAllocatorCallbackTemp*>(static_cast<IMemAllocator*>(sp.Get())));
    alignas(16) BYTE rgSlot[sizeof(CSample)];
    BYTE rgBuffer[16];
    IMediaSample* p = NULL;
    EXPECT_EQ(E_POINTER, CSample::InitInstance(NULL, pAlloc, rgBuffer, 16, &p));
    EXPECT_EQ(E_POINTER, CSample::InitInstance(rgSlot, pAlloc, rgBuffer, 16, NULL));
    EXPECT_EQ(E_INVALIDARG, CSample::InitInstance(rgSlot, NULL, rgBuffer, 16, &p));
    EXPECT_EQ(E_INVALIDARG, CSample::InitInstance(rgSlot, pAlloc, NULL, 16, &p));
    EXPECT_EQ(E_INVALIDARG, CSample::InitInstance(rgSlot, pAlloc, rgBuffer, 0, &p));
    EXPECT_EQ(NULL, p);
}

TEST(VirtualBuffer, AllocReplacesTheBufferAndFreeLeavesNone)
{
    CVirtualBuffer buf;
    EXPECT_EQ(NULL, buf.GetBuffer());
    ASSERT_TRUE(buf.Alloc(0));
    EXPECT_NE(nullptr, static_cast<BYTE*>(buf));
    EXPECT_EQ(0u, buf.GetSize());
    ASSERT_TRUE(buf.Alloc(100000));
    EXPECT_EQ(100000u, buf.GetSize());
    memset(buf.GetBuffer(), 0xAB, 100000);
    buf.Free();
    EXPECT_EQ(NULL, buf.GetBuffer());
    EXPECT_EQ(0u, buf.GetSize());
}

} // namespace
