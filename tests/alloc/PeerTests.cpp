// Our allocator against Wine's CLSID_MemoryAllocator: the same sequence of
// calls runs on both, every result is recorded, and the two records must
// agree step by step, except for the differences listed with each scenario
// (each one a result that our allocator gives on purpose).
#include "AllocTest.h"

#include <algorithm>
#include <functional>
#include <map>
#include <sstream>

using dsfix::ComPtr;

static ::testing::Environment* const g_pComEnv = ::testing::AddGlobalTestEnvironment(new CComEnvironment);

namespace
{

// The results of one run, step by step.
class CRecord
{
public:
    void operator()(const std::string& name, long long value)
    {
        EXPECT_EQ(0u, m_index.count(name)) << "step recorded twice: " << name;
        m_index[name] = m_steps.size();
        m_steps.emplace_back(name, value);
    }
    void Hr(const std::string& name, HRESULT hr) { (*this)(name, static_cast<long long>(static_cast<unsigned>(hr))); }

    std::vector<std::pair<std::string, long long>> m_steps;
    std::map<std::string, size_t> m_index;
};

std::string ValueText(long long v)
{
    std::ostringstream os;
    if (v >= 0x80000000LL && v <= 0xFFFFFFFFLL)
        os << "0x" << std::hex << std::uppercase << v;
    else
        os << v;
    return os.str();
}

struct Difference
{
    std::string step;
    long long ours;
    long long wine;
    const char* why;
};

long long H(HRESULT hr)
{
    return static_cast<long long>(static_cast<unsigned>(hr));
}

// Runs the scenario on both allocators and compares.
void Compare(const std::function<void(IMemAllocator*, CRecord&)>& scenario, std::vector<Difference> differences)
{
    dsfix::HangWatchdog watchdog(60000, "allocator scenario");
    CRecord ours, wine;
    {
        ComPtr<IMemAllocator> sp;
        ASSERT_EQ(S_OK, CreateOurAllocator(&sp));
        scenario(sp, ours);
    }
    {
        ComPtr<IMemAllocator> sp;
        ASSERT_EQ(S_OK, CreateWineAllocator(&sp));
        scenario(sp, wine);
    }
    ASSERT_EQ(ours.m_steps.size(), wine.m_steps.size());
    std::map<std::string, Difference> expected;
    for (const Difference& d : differences)
        expected[d.step] = d;
    for (size_t i = 0; i < ours.m_steps.size(); ++i)
    {
        const std::string& name = ours.m_steps[i].first;
        ASSERT_EQ(name, wine.m_steps[i].first);
        const long long o = ours.m_steps[i].second, w = wine.m_steps[i].second;
        auto it = expected.find(name);
        if (it == expected.end())
        {
            EXPECT_EQ(ValueText(o), ValueText(w)) << "step " << name << ": ours and Wine's differ";
            continue;
        }
        EXPECT_EQ(ValueText(it->second.ours), ValueText(o)) << "step " << name << " (ours; " << it->second.why << ")";
        EXPECT_EQ(ValueText(it->second.wine), ValueText(w)) << "step " << name << " (Wine's; " << it->second.why << ")";
        expected.erase(it);
    }
    for (const auto& e : expected)
        ADD_FAILURE() << "listed difference never reached: " << e.first;
}

// The free buffers, counted the way every allocator answers: no-wait
// GetBuffer calls until one fails (the buffers go back afterwards).
void FreeStep(IMemAllocator* p, CRecord& rec, const std::string& name)
{
    std::vector<ComPtr<IMediaSample>> taken;
    HRESULT hr = S_OK;
    while (taken.size() < 100)
    {
        ComPtr<IMediaSample> s;
        hr = p->GetBuffer(&s, NULL, NULL, AM_GBF_NOWAIT);
        if (S_OK != hr)
            break;
        taken.push_back(s);
    }
    rec.Hr(name + ": last GetBuffer", hr);
    rec(name + ": free", static_cast<long long>(taken.size()));
}

// ---------------------------------------------------------------------------

// Properties with alignment and prefix, the pool emptied, a blocked
// GetBuffer released by a sample's Release.
void PoolScenario(IMemAllocator* p, CRecord& rec)
{
    ComPtr<IMemAllocatorCallbackTemp> spCb;
    rec.Hr("QI IMemAllocatorCallbackTemp",
           p->QueryInterface(IID_IMemAllocatorCallbackTemp, reinterpret_cast<void**>(&spCb)));
    ALLOCATOR_PROPERTIES got = {};
    rec.Hr("GetProperties unset", p->GetProperties(&got));
    rec.Hr("Commit unset", p->Commit());
    IMediaSample* pNone = NULL;
    rec.Hr("GetBuffer unset", p->GetBuffer(&pNone, NULL, NULL, AM_GBF_NOWAIT));

    const LONG cBuffers = 3, cbBuffer = 1000, cbAlign = 16, cbPrefix = 8;
    ALLOCATOR_PROPERTIES req = Props(cBuffers, cbBuffer, cbAlign, cbPrefix), actual = {};
    rec.Hr("SetProperties", p->SetProperties(&req, &actual));
    rec("actual.cBuffers", actual.cBuffers);
    rec("actual.cbBuffer", actual.cbBuffer);
    rec("actual.cbAlign", actual.cbAlign);
    rec("actual.cbPrefix", actual.cbPrefix);
    rec.Hr("GetProperties", p->GetProperties(&got));
    rec("props equal actual", got == actual);
    rec.Hr("GetBuffer uncommitted", p->GetBuffer(&pNone, NULL, NULL, AM_GBF_NOWAIT));
    rec.Hr("Commit", p->Commit());
    rec.Hr("Commit again", p->Commit());
    req = Props(1, 1, 1, 0);
    rec.Hr("SetProperties committed", p->SetProperties(&req, &actual));
    FreeStep(p, rec, "committed");

    std::vector<ComPtr<IMediaSample>> samples(cBuffers);
    std::vector<BYTE*> pointers;
    for (LONG i = 0; i < cBuffers; ++i)
    {
        const std::string n = "sample " + std::to_string(i);
        rec.Hr(n + ": GetBuffer", p->GetBuffer(&samples[i], NULL, NULL, 0));
        if (!samples[i])
            return;
        BYTE* pb = NULL;
        rec.Hr(n + ": GetPointer", samples[i]->GetPointer(&pb));
        pointers.push_back(pb);
        rec(n + ": GetSize", samples[i]->GetSize());
        rec(n + ": prefix aligned", (reinterpret_cast<UINT_PTR>(pb) - cbPrefix) % cbAlign == 0);
        rec(n + ": GetActualDataLength", samples[i]->GetActualDataLength());
        REFERENCE_TIME t1 = 0, t2 = 0;
        rec.Hr(n + ": GetTime", samples[i]->GetTime(&t1, &t2));
        rec.Hr(n + ": IsSyncPoint", samples[i]->IsSyncPoint());
        rec.Hr(n + ": IsDiscontinuity", samples[i]->IsDiscontinuity());
        rec.Hr(n + ": IsPreroll", samples[i]->IsPreroll());
        AM_MEDIA_TYPE* pmt = NULL;
        rec.Hr(n + ": GetMediaType", samples[i]->GetMediaType(&pmt));
        MTDelete(pmt);
        memset(pb - cbPrefix, static_cast<int>(i + 1), cbPrefix + cbBuffer);
    }
    std::sort(pointers.begin(), pointers.end());
    bool bApart = true;
    for (size_t i = 1; i < pointers.size(); ++i)
        bApart = bApart && pointers[i] - pointers[i - 1] >= cbPrefix + cbBuffer;
    rec("buffers apart", bApart);
    FreeStep(p, rec, "empty");
    rec.Hr("GetBuffer no wait", p->GetBuffer(&pNone, NULL, NULL, AM_GBF_NOWAIT));

    BYTE* pbFirst = NULL;
    samples[0]->GetPointer(&pbFirst);
    {
        CAsyncGetBuffer wait(p);
        rec("waiter blocked", !wait.Done(200));
        rec("Release", samples[0].Detach()->Release());
        rec("waiter done", wait.Done(5000));
        rec.Hr("waiter GetBuffer", wait.Result());
        samples[0].Attach(wait.Take());
        BYTE* pb = NULL;
        if (samples[0])
            samples[0]->GetPointer(&pb);
        rec("waiter got the released buffer", pb == pbFirst);
    }
    samples.clear();
    FreeStep(p, rec, "all back");
    rec.Hr("Decommit", p->Decommit());
    rec.Hr("GetBuffer decommitted", p->GetBuffer(&pNone, NULL, NULL, 0));
    FreeStep(p, rec, "decommitted");
    rec.Hr("Decommit again", p->Decommit());
    rec.Hr("GetProperties decommitted", p->GetProperties(&got));
}

// A blocked GetBuffer released by Decommit, Decommit while a sample is out,
// and the last Release after it.
void DecommitScenario(IMemAllocator* p, CRecord& rec)
{
    ALLOCATOR_PROPERTIES req = Props(1, 512, 1, 0), actual = {};
    rec.Hr("SetProperties", p->SetProperties(&req, &actual));
    rec("actual.cbBuffer", actual.cbBuffer);
    rec("actual.cbAlign", actual.cbAlign);
    rec.Hr("Commit", p->Commit());
    IMediaSample* pOut = NULL;
    rec.Hr("GetBuffer", p->GetBuffer(&pOut, NULL, NULL, 0));
    if (!pOut)
        return;
    {
        CAsyncGetBuffer wait(p);
        rec("waiter blocked", !wait.Done(200));
        rec.Hr("Decommit", p->Decommit());
        rec("waiter done", wait.Done(5000));
        rec.Hr("waiter GetBuffer", wait.Result());
    }
    IMediaSample* pNone = NULL;
    rec.Hr("GetBuffer decommitting", p->GetBuffer(&pNone, NULL, NULL, 0));
    FreeStep(p, rec, "decommitting");
    req = Props(2, 256, 1, 0);
    rec.Hr("SetProperties decommitting", p->SetProperties(&req, &actual));

    BYTE* pb = NULL;
    rec.Hr("sample GetPointer", pOut->GetPointer(&pb));
    memset(pb, 0x77, 512);
    rec.Hr("sample SetActualDataLength", pOut->SetActualDataLength(512));
    rec("sample last Release", pOut->Release());

    FreeStep(p, rec, "decommitted");
    req = Props(2, 256, 1, 0);
    rec.Hr("SetProperties after", p->SetProperties(&req, &actual));
    rec.Hr("Commit after", p->Commit());
    ComPtr<IMediaSample> s;
    rec.Hr("GetBuffer after", p->GetBuffer(&s, NULL, NULL, 0));
    rec("fresh GetActualDataLength", s ? s->GetActualDataLength() : -1);
    rec("fresh GetSize", s ? s->GetSize() : -1);
    s.Reset();
    FreeStep(p, rec, "recommitted");
    rec.Hr("Decommit after", p->Decommit());
}

// Commit while a decommit waits for a sample.
void RevokeScenario(IMemAllocator* p, CRecord& rec)
{
    ALLOCATOR_PROPERTIES req = Props(2, 64, 1, 0), actual = {};
    rec.Hr("SetProperties", p->SetProperties(&req, &actual));
    rec.Hr("Commit", p->Commit());
    ComPtr<IMediaSample> a, b;
    rec.Hr("GetBuffer", p->GetBuffer(&a, NULL, NULL, 0));
    rec.Hr("Decommit", p->Decommit());
    rec.Hr("Commit again", p->Commit());
    rec.Hr("GetBuffer again", p->GetBuffer(&b, NULL, NULL, AM_GBF_NOWAIT));
    FreeStep(p, rec, "recommitted");
    a.Reset();
    b.Reset();
    FreeStep(p, rec, "all back");
    rec.Hr("Decommit at the end", p->Decommit());
}

// The sample's own answers.
void SampleScenario(IMemAllocator* p, CRecord& rec)
{
    ALLOCATOR_PROPERTIES req = Props(1, 64, 1, 0), actual = {};
    p->SetProperties(&req, &actual);
    p->Commit();
    ComPtr<IMediaSample> s;
    rec.Hr("GetBuffer", p->GetBuffer(&s, NULL, NULL, 0));
    if (!s)
        return;
    const LONG cb = s->GetSize();
    rec.Hr("SetActualDataLength size", s->SetActualDataLength(cb));
    rec.Hr("SetActualDataLength size+1", s->SetActualDataLength(cb + 1));
    rec.Hr("SetActualDataLength -1", s->SetActualDataLength(-1));
    rec("GetActualDataLength", s->GetActualDataLength());

    REFERENCE_TIME t1 = 100, t2 = 200, r1 = -1, r2 = -1;
    rec.Hr("SetTime both", s->SetTime(&t1, &t2));
    rec.Hr("GetTime both", s->GetTime(&r1, &r2));
    rec("GetTime both start", r1);
    rec("GetTime both stop", r2);
    REFERENCE_TIME t3 = 50;
    rec.Hr("SetTime inverted", s->SetTime(&t1, &t3));
    rec.Hr("SetTime start only", s->SetTime(&t1, NULL));
    rec.Hr("GetTime start only", s->GetTime(&r1, &r2));
    rec("GetTime start only start", r1);
    rec("GetTime start only stop", r2);
    rec.Hr("SetTime none", s->SetTime(NULL, NULL));
    rec.Hr("GetTime none", s->GetTime(&r1, &r2));

    LONGLONG m1 = 10, m2 = 5, q1 = -1, q2 = -1;
    rec.Hr("GetMediaTime fresh", s->GetMediaTime(&q1, &q2));
    rec.Hr("SetMediaTime inverted", s->SetMediaTime(&m1, &m2));
    rec.Hr("GetMediaTime inverted", s->GetMediaTime(&q1, &q2));
    rec("GetMediaTime inverted start", q1);
    rec("GetMediaTime inverted stop", q2);
    rec.Hr("SetMediaTime start only", s->SetMediaTime(&m1, NULL));
    rec.Hr("SetMediaTime none", s->SetMediaTime(NULL, NULL));
    rec.Hr("GetMediaTime none", s->GetMediaTime(&q1, &q2));

    rec.Hr("SetSyncPoint", s->SetSyncPoint(TRUE));
    rec.Hr("IsSyncPoint", s->IsSyncPoint());
    rec.Hr("SetPreroll", s->SetPreroll(TRUE));
    rec.Hr("IsPreroll", s->IsPreroll());
    rec.Hr("SetDiscontinuity", s->SetDiscontinuity(TRUE));
    rec.Hr("IsDiscontinuity", s->IsDiscontinuity());

    CMType mt(MEDIATYPE_Audio, MEDIASUBTYPE_PCM);
    rec.Hr("SetMediaType", s->SetMediaType(&mt));
    AM_MEDIA_TYPE* pmt = NULL;
    rec.Hr("GetMediaType", s->GetMediaType(&pmt));
    rec("GetMediaType equal", MTIsEqual(pmt, &mt));
    MTDelete(pmt);

    ComPtr<IMediaSample2> s2;
    rec.Hr("QI IMediaSample2", s.As(s2));
    if (s2)
    {
        AM_SAMPLE2_PROPERTIES props;
        memset(&props, 0xCD, sizeof(props));
        rec.Hr("GetProperties 4", s2->GetProperties(4, reinterpret_cast<BYTE*>(&props)));
        rec("GetProperties 4 cbData", props.cbData);
        rec("GetProperties 4 rest untouched", props.dwTypeSpecificFlags == 0xCDCDCDCD);
        memset(&props, 0, sizeof(props));
        rec.Hr("GetProperties all", s2->GetProperties(sizeof(props), reinterpret_cast<BYTE*>(&props)));
        rec("GetProperties cbData", props.cbData);
        rec("GetProperties flags", props.dwSampleFlags);
        rec("GetProperties lActual", props.lActual);
        rec("GetProperties type set", props.pMediaType != NULL);
        rec("GetProperties cbBuffer", props.cbBuffer);
        // The sample's own type handed back to it.
        if (props.pMediaType)
        {
            rec.Hr("SetMediaType own pointer", s->SetMediaType(props.pMediaType));
            pmt = NULL;
            rec.Hr("GetMediaType after own", s->GetMediaType(&pmt));
            rec("GetMediaType after own equal", MTIsEqual(pmt, &mt));
            MTDelete(pmt);
        }
        rec.Hr("SetMediaType NULL", s->SetMediaType(NULL));
        rec.Hr("GetMediaType cleared", s->GetMediaType(&pmt));
    }
    s.Reset();
    p->Decommit();
}

// ---------------------------------------------------------------------------

// Results that the framework's allocator gives on purpose where Wine's
// gives another.
const Difference g_rgUnsetDifferences[] = {
    { "QI IMemAllocatorCallbackTemp", H(S_OK), H(E_NOINTERFACE),
      "ours offers the notify interface (its own tests cover it); Wine's has none" },
    { "GetProperties unset", H(VFW_E_BUFFER_NOTSET), H(S_OK), "no properties to report before SetProperties" },
    { "Commit unset", H(E_FAIL), H(VFW_E_BADALIGN), "nothing to commit before SetProperties" },
    { "GetBuffer unset", H(VFW_E_BUFFER_NOTSET), H(VFW_E_NOT_COMMITTED), "no buffers before SetProperties" },
};

struct PeerCase
{
    const char* name;
    void (*scenario)(IMemAllocator*, CRecord&);
    std::vector<Difference> differences;
};

void PrintTo(const PeerCase& c, std::ostream* os)
{
    *os << c.name;
}

std::vector<PeerCase> PeerCases()
{
    std::vector<Difference> pool(std::begin(g_rgUnsetDifferences), std::end(g_rgUnsetDifferences));
    for (int i = 0; i < 3; ++i)
        pool.push_back({ "sample " + std::to_string(i) + ": GetActualDataLength", 0, 1000,
                         "a sample is handed out with actual length 0" });
    return {
        { "PoolWithAlignmentPrefixAndABlockedGetBuffer", PoolScenario, pool },
        { "DecommitReleasesAWaiterAndWaitsForTheLastSample", DecommitScenario,
          {
              { "waiter GetBuffer", H(VFW_E_NOT_COMMITTED), H(VFW_E_TIMEOUT),
                "a waiter woken by Decommit finds the allocator decommitted" },
              { "fresh GetActualDataLength", 0, 256, "a sample is handed out with actual length 0" },
          } },
        { "CommitRevokesAPendingDecommit", RevokeScenario, {} },
        { "SampleAnswersItsOwnCalls", SampleScenario,
          {
              { "SetTime inverted", H(E_INVALIDARG), H(S_OK), "a stop time before the start time is refused" },
              { "SetMediaTime start only", H(E_INVALIDARG), H(E_POINTER),
                "a missing media stop time is a bad argument" },
              { "GetProperties 4 cbData", 4, 64, "cbData tells how many bytes were written" },
              { "GetMediaType after own equal", 1, 0,
                "the type is copied before the held one is freed, so the sample's own pointer may come back" },
          } },
    };
}

class Peer : public ::testing::TestWithParam<PeerCase>
{
};

TEST_P(Peer, EveryStepAnswersAsWinesAllocatorDoesButTheListedDifferences)
{
    Compare(GetParam().scenario, GetParam().differences);
}

INSTANTIATE_TEST_SUITE_P(Allocator, Peer, ::testing::ValuesIn(PeerCases()),
                         [](const ::testing::TestParamInfo<PeerCase>& i) { return std::string(i.param.name); });

} // namespace
