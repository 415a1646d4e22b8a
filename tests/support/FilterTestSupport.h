// Shared pieces of the filter template tests: the fake log bound to this
// program's log client, the count of live framework objects, plain-COM fakes
// of a neighbour pin and its filter, of a graph and of an allocator, and the
// test filter made and connected.
#pragma once

#include "TestFilter.h"

#include "DSFakes.h"
#include "FakeLog.h"
#include "ProgramFolder.h"
#include "TestLog.h"
#include "dsfix/Com.h"
#include "dsfix/Enumerators.h"
#include "dsfix/Graph.h"
#include "dsfix/MediaTypes.h"
#include "dsfix/TestSink.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

// Counts the framework's live COM objects (every CComObject holds a lock on
// the module while it lives).
inline ATL::CAtlModule& TestModule()
{
    static ATL::CAtlModule s_module;
    return s_module;
}

// Binds the fake log library's log object to this program's first log client
// for the life of the scope, and records what the graph text hands over.
// Nothing is written to the registry: the binding that the client made (or
// did not make) when the program loaded comes back at the end.
class CFakeLogScope : public IDSLog
{
public:
    CFakeLogScope() : m_fake((ProgramFolder() + L"fakelog.dll").c_str())
    {
        if (m_fake.IsLoaded())
        {
            m_fake.SetMode(FLM_Normal);
            m_fake.Reset();
            m_pFake = m_fake.Object(0);
        }
        m_binding.emplace(this);
    }
    ~CFakeLogScope() { m_binding.reset(); }
    CFakeLogScope(const CFakeLogScope&) = delete;
    CFakeLogScope& operator=(const CFakeLogScope&) = delete;

    bool IsBound() const { return m_binding->IsBound() && NULL != m_pFake; }
    void Reset()
    {
        m_fake.Reset();
        m_dumps.clear();
    }

    // Every trace record, without its level character.
    std::vector<std::wstring> Lines()
    {
        std::vector<std::wstring> v;
        for (const std::wstring& s : m_fake.Lines())
            v.push_back((!s.empty() && s[0] < 32 && s[0] != L'\n') ? s.substr(1) : s);
        return v;
    }
    // The level of the first record equal to sLine (without its level), or -1.
    int LevelOf(const std::wstring& sLine)
    {
        for (const std::wstring& s : m_fake.Lines())
            if (!s.empty() && s[0] < 32 && s.substr(1) == sLine)
                return s[0] - 1;
        return -1;
    }
    bool HasLine(const std::wstring& sLine)
    {
        for (const std::wstring& s : Lines())
            if (s == sLine)
                return true;
        return false;
    }
    bool HasLineContaining(const std::wstring& sPart)
    {
        for (const std::wstring& s : Lines())
            if (s.find(sPart) != std::wstring::npos)
                return true;
        return false;
    }
    size_t CountContaining(const std::wstring& sPart)
    {
        size_t n = 0;
        for (const std::wstring& s : Lines())
            if (s.find(sPart) != std::wstring::npos)
                ++n;
        return n;
    }
    bool HasAssert(const std::string& sExpression)
    {
        return HasLineContaining(L"ASSERT( \"" + std::wstring(sExpression.begin(), sExpression.end()) + L"\" )");
    }
    std::vector<FAKELOG_RECORD> DumpBufferRecords() { return m_fake.Records(FLC_DumpBuffer); }
    // The bytes handed to each DumpBuffer call, as they were at the time.
    const std::vector<std::string>& Dumps() const { return m_dumps; }

    // IDSLog: every call goes on to the fake log, which records it.
    BOOL STDMETHODCALLTYPE IsLevelMuted(UINT n) override { return m_pFake ? m_pFake->IsLevelMuted(n) : FALSE; }
    HRESULT STDMETHODCALLTYPE ReserveLine(int* a, char** b, int* c) override
    {
        return m_pFake ? m_pFake->ReserveLine(a, b, c) : E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE CommitLine(UINT a, int b, int c) override
    {
        return m_pFake ? m_pFake->CommitLine(a, b, c) : E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Flush() override { return m_pFake ? m_pFake->Flush() : S_OK; }
    HRESULT STDMETHODCALLTYPE DumpCallStack(EXCEPTION_POINTERS* p, HANDLE h, BOOL b) override
    {
        return m_pFake ? m_pFake->DumpCallStack(p, h, b) : S_OK;
    }
    HRESULT STDMETHODCALLTYPE DumpBuffer(int cb, const char* pData) override
    {
        m_dumps.push_back((cb > 0 && pData) ? std::string(pData, static_cast<size_t>(cb)) : std::string());
        return m_pFake ? m_pFake->DumpBuffer(cb, pData) : S_OK;
    }
    HRESULT STDMETHODCALLTYPE DumpRegistryKey(HKEY h, const char* p) override
    {
        return m_pFake ? m_pFake->DumpRegistryKey(h, p) : S_OK;
    }
    HRESULT STDMETHODCALLTYPE RegisterClient(void* p, UINT_PTR a, UINT_PTR b) override
    {
        return m_pFake ? m_pFake->RegisterClient(p, a, b) : S_OK;
    }
    HRESULT STDMETHODCALLTYPE UnregisterClient(void** pp) override
    {
        return m_pFake ? m_pFake->UnregisterClient(pp) : S_OK;
    }
    HRESULT STDMETHODCALLTYPE Reserved(UINT_PTR a, UINT_PTR b, UINT_PTR c) override
    {
        return m_pFake ? m_pFake->Reserved(a, b, c) : E_NOTIMPL;
    }
    int STDMETHODCALLTYPE OutputStringA(const char* p) override { return m_pFake ? m_pFake->OutputStringA(p) : 0; }
    int STDMETHODCALLTYPE OutputStringW(const wchar_t* p) override
    {
        return m_pFake ? m_pFake->OutputStringW(p) : 0;
    }

private:
    CFakeLog m_fake;
    IDSLog* m_pFake = NULL;
    std::vector<std::string> m_dumps;
    std::optional<CLogClientSwap> m_binding; // bound once the fake is ready
};

// ---------------------------------------------------------------------------
// Plain-COM fakes

// Reference counting for the fakes (support/DSFakes.h); they start with one
// reference (the test's) and are deleted at zero.
using CFakeUnknown = fakes::CFakeBase;
#define FAKE_IUNKNOWN FAKES_IUNKNOWN

// The filter that owns a neighbour pin: it answers its name and class, lists
// no pin (a graph that looks for cycles finds none through it) and stays
// stopped.
using fakes::CFakeFilter;

// An enumerator that yields nothing; tests compare its identity.
class CFakeEnumMediaTypes : public IEnumMediaTypes, public CFakeUnknown
{
public:
    FAKE_IUNKNOWN
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = NULL;
        if (riid == IID_IUnknown || riid == IID_IEnumMediaTypes)
            *ppv = static_cast<IEnumMediaTypes*>(this);
        else
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP Next(ULONG, AM_MEDIA_TYPE**, ULONG* pc) override
    {
        if (pc)
            *pc = 0;
        return S_FALSE;
    }
    STDMETHODIMP Skip(ULONG) override { return S_FALSE; }
    STDMETHODIMP Reset() override { return S_OK; }
    STDMETHODIMP Clone(IEnumMediaTypes**) override { return E_NOTIMPL; }
};

// A neighbour pin of either direction: answers what the filter asks of its
// peers and records what reaches it.
class CFakePin : public IPin, public IQualityControl, public CFakeUnknown
{
public:
    CFakePin(PIN_DIRECTION eDir, const std::wstring& sFilterName = L"Fake Filter")
        : m_eDir(eDir), m_pFilter(new CFakeFilter(sFilterName.c_str()))
    {
    }
    ~CFakePin() override
    {
        if (m_pEnum)
            m_pEnum->Release();
        m_pFilter->Release();
    }
    FAKE_IUNKNOWN
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = NULL;
        if (riid == IID_IUnknown || riid == IID_IPin)
            *ppv = static_cast<IPin*>(this);
        else if (riid == IID_IQualityControl && m_bQuality)
            *ppv = static_cast<IQualityControl*>(this);
        else
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP Connect(IPin*, const AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    STDMETHODIMP ReceiveConnection(IPin*, const AM_MEDIA_TYPE*) override
    {
        ++m_nReceiveConnection;
        return m_hrReceiveConnection;
    }
    STDMETHODIMP Disconnect() override
    {
        ++m_nDisconnect;
        return S_OK;
    }
    STDMETHODIMP ConnectedTo(IPin** pp) override
    {
        if (!pp)
            return E_POINTER;
        *pp = NULL;
        return VFW_E_NOT_CONNECTED;
    }
    STDMETHODIMP ConnectionMediaType(AM_MEDIA_TYPE*) override { return VFW_E_NOT_CONNECTED; }
    STDMETHODIMP QueryPinInfo(PIN_INFO* p) override
    {
        if (!p)
            return E_POINTER;
        p->pFilter = m_pFilter;
        m_pFilter->AddRef();
        p->dir = m_eDir;
        lstrcpynW(p->achName, m_eDir == PINDIR_INPUT ? L"Fake In" : L"Fake Out", MAX_PIN_NAME);
        return S_OK;
    }
    STDMETHODIMP QueryDirection(PIN_DIRECTION* p) override
    {
        if (!p)
            return E_POINTER;
        *p = m_eDir;
        return S_OK;
    }
    STDMETHODIMP QueryId(LPWSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE*) override
    {
        ++m_nQueryAccept;
        return m_hrQueryAccept;
    }
    // The set enumerator, else one over m_types, else E_NOTIMPL.
    STDMETHODIMP EnumMediaTypes(IEnumMediaTypes** pp) override
    {
        if (!pp)
            return E_POINTER;
        *pp = m_pEnum;
        if (!m_pEnum)
            return m_types.empty() ? E_NOTIMPL : dsfix::CreateMediaTypeEnum(m_types, pp);
        m_pEnum->AddRef();
        return S_OK;
    }
    STDMETHODIMP QueryInternalConnections(IPin**, ULONG*) override { return E_NOTIMPL; }
    STDMETHODIMP EndOfStream() override
    {
        m_calls.push_back(L"EndOfStream");
        return m_hrStream;
    }
    STDMETHODIMP BeginFlush() override
    {
        m_calls.push_back(L"BeginFlush");
        return m_hrStream;
    }
    STDMETHODIMP EndFlush() override
    {
        m_calls.push_back(L"EndFlush");
        return m_hrStream;
    }
    STDMETHODIMP NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) override
    {
        m_calls.push_back(L"NewSegment");
        m_tStart = tStart;
        m_tStop = tStop;
        m_dRate = dRate;
        return m_hrStream;
    }
    // IQualityControl
    STDMETHODIMP Notify(IBaseFilter* pSelf, Quality q) override
    {
        m_notifies.push_back(q);
        m_pNotifySelf = pSelf;
        return m_hrNotify;
    }
    STDMETHODIMP SetSink(IQualityControl*) override { return S_OK; }

    IPin* Pin() { return static_cast<IPin*>(this); }
    void SetEnumerator(IEnumMediaTypes* p)
    {
        if (p)
            p->AddRef();
        if (m_pEnum)
            m_pEnum->Release();
        m_pEnum = p;
    }

    PIN_DIRECTION m_eDir;
    CFakeFilter* m_pFilter;
    IEnumMediaTypes* m_pEnum = NULL;
    std::vector<dsfix::MediaType> m_types;
    bool m_bQuality = true;
    HRESULT m_hrQueryAccept = S_OK;
    HRESULT m_hrReceiveConnection = S_OK;
    HRESULT m_hrStream = S_OK;
    HRESULT m_hrNotify = S_OK;
    int m_nQueryAccept = 0;
    int m_nReceiveConnection = 0;
    int m_nDisconnect = 0;
    std::vector<std::wstring> m_calls;
    REFERENCE_TIME m_tStart = 0, m_tStop = 0;
    double m_dRate = 0;
    std::vector<Quality> m_notifies;
    IBaseFilter* m_pNotifySelf = NULL;
};

// An allocator that counts what is asked of it; Commit and Decommit report
// to a callback first (so a test can look at the filter at that moment).
class CFakeAllocator : public IMemAllocator, public CFakeUnknown
{
public:
    FAKE_IUNKNOWN
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = NULL;
        if (riid == IID_IUnknown || riid == IID_IMemAllocator)
            *ppv = static_cast<IMemAllocator*>(this);
        else
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    // Grants the request unless told to refuse it or to keep its
    // properties; records every request.
    STDMETHODIMP SetProperties(ALLOCATOR_PROPERTIES* pRequest, ALLOCATOR_PROPERTIES* pActual) override
    {
        if (!pRequest || !pActual)
            return E_POINTER;
        m_requests.push_back(*pRequest);
        if (FAILED(m_hrSetProperties))
            return m_hrSetProperties;
        if (m_bGrant)
            m_props = *pRequest;
        *pActual = m_props;
        return S_OK;
    }
    STDMETHODIMP GetProperties(ALLOCATOR_PROPERTIES* p) override
    {
        if (!p)
            return E_POINTER;
        if (FAILED(m_hrGetProperties))
            return m_hrGetProperties;
        *p = m_props;
        return S_OK;
    }
    STDMETHODIMP Commit() override
    {
        ++m_nCommit;
        if (m_onCall)
            m_onCall(true);
        return m_hrCommit;
    }
    STDMETHODIMP Decommit() override
    {
        ++m_nDecommit;
        if (m_onCall)
            m_onCall(false);
        return m_hrDecommit;
    }
    STDMETHODIMP GetBuffer(IMediaSample**, REFERENCE_TIME*, REFERENCE_TIME*, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP ReleaseBuffer(IMediaSample*) override { return E_NOTIMPL; }

    ALLOCATOR_PROPERTIES m_props = { 1, 4096, 1, 0 };
    std::vector<ALLOCATOR_PROPERTIES> m_requests;
    HRESULT m_hrSetProperties = S_OK;
    HRESULT m_hrGetProperties = S_OK;
    bool m_bGrant = true;
    HRESULT m_hrCommit = S_OK;
    HRESULT m_hrDecommit = S_OK;
    int m_nCommit = 0;
    int m_nDecommit = 0;
    std::function<void(bool bCommit)> m_onCall;
};

// A graph that the filter can join without a graph manager: it offers
// IFilterGraph (and IFilterGraph2 when asked to), records the reconnections
// asked of it, and walks no filter.
class CFakeGraph : public IFilterGraph2, public CFakeUnknown
{
public:
    explicit CFakeGraph(bool bGraph2 = true) : m_bGraph2(bGraph2) {}
    FAKE_IUNKNOWN
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = NULL;
        if (riid == IID_IUnknown || riid == IID_IFilterGraph)
            *ppv = static_cast<IFilterGraph*>(this);
        else if ((riid == IID_IGraphBuilder || riid == IID_IFilterGraph2) && m_bGraph2)
            *ppv = static_cast<IFilterGraph2*>(this);
        else
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    // IFilterGraph
    STDMETHODIMP AddFilter(IBaseFilter*, LPCWSTR) override { return E_NOTIMPL; }
    STDMETHODIMP RemoveFilter(IBaseFilter*) override { return E_NOTIMPL; }
    STDMETHODIMP EnumFilters(IEnumFilters**) override { return E_NOTIMPL; }
    STDMETHODIMP FindFilterByName(LPCWSTR, IBaseFilter**) override { return E_NOTIMPL; }
    STDMETHODIMP ConnectDirect(IPin*, IPin*, const AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    STDMETHODIMP Reconnect(IPin* p) override
    {
        m_reconnects.push_back(Reconnection{ p, false, false });
        return S_OK;
    }
    STDMETHODIMP Disconnect(IPin*) override { return E_NOTIMPL; }
    STDMETHODIMP SetDefaultSyncSource() override { return E_NOTIMPL; }
    // IGraphBuilder
    STDMETHODIMP Connect(IPin*, IPin*) override { return E_NOTIMPL; }
    STDMETHODIMP Render(IPin*) override { return E_NOTIMPL; }
    STDMETHODIMP RenderFile(LPCWSTR, LPCWSTR) override { return E_NOTIMPL; }
    STDMETHODIMP AddSourceFilter(LPCWSTR, LPCWSTR, IBaseFilter**) override { return E_NOTIMPL; }
    STDMETHODIMP SetLogFile(DWORD_PTR) override { return E_NOTIMPL; }
    STDMETHODIMP Abort() override { return E_NOTIMPL; }
    STDMETHODIMP ShouldOperationContinue() override { return E_NOTIMPL; }
    // IFilterGraph2
    STDMETHODIMP AddSourceFilterForMoniker(IMoniker*, IBindCtx*, LPCWSTR, IBaseFilter**) override { return E_NOTIMPL; }
    STDMETHODIMP ReconnectEx(IPin* p, const AM_MEDIA_TYPE* pmt) override
    {
        m_reconnects.push_back(Reconnection{ p, true, pmt != NULL });
        return S_OK;
    }
    STDMETHODIMP RenderEx(IPin*, DWORD, DWORD*) override { return E_NOTIMPL; }

    struct Reconnection
    {
        IPin* pPin;
        bool bEx;
        bool bWithType;
    };
    bool m_bGraph2;
    std::vector<Reconnection> m_reconnects;
};

// ---------------------------------------------------------------------------
// The test filter

typedef CComObject<CTestFilter> TestFilterObject;

// A new test filter with one reference (the caller's), or NULL.
inline TestFilterObject* NewTestFilter()
{
    TestFilterObject* p = NULL;
    EXPECT_EQ(S_OK, CreateObject(&p));
    return p;
}

// Owns one reference on a test filter.
class CTestFilterPtr
{
public:
    CTestFilterPtr() : m_p(NewTestFilter()) {}
    ~CTestFilterPtr() { Release(); }
    CTestFilterPtr(const CTestFilterPtr&) = delete;
    CTestFilterPtr& operator=(const CTestFilterPtr&) = delete;

    TestFilterObject* operator->() const { return m_p; }
    TestFilterObject* Get() const { return m_p; }
    IBaseFilter* Filter() const { return static_cast<IBaseFilter*>(m_p); }
    IPin* In() const { return static_cast<IPin*>(m_p->m_apIn.p); }
    IPin* Out() const { return static_cast<IPin*>(m_p->m_apOut.p); }
    void Release()
    {
        if (m_p)
        {
            TestFilterObject* p = m_p;
            m_p = NULL;
            p->Release();
        }
    }

private:
    TestFilterObject* m_p;
};

// A plain video type: YUY2 320x240 with its VIDEOINFOHEADER.
inline dsfix::MediaType TestVideoType(LONG nWidth = 320)
{
    return dsfix::VideoType(MEDIASUBTYPE_YUY2, nWidth, 240);
}

inline dsfix::ComPtr<dsfix::TestSink> NewTestSink(const dsfix::TestSinkConfig& config = dsfix::TestSinkConfig())
{
    dsfix::TestSink* p = NULL;
    EXPECT_EQ(S_OK, dsfix::TestSink::Create(config, &p));
    dsfix::ComPtr<dsfix::TestSink> sp;
    sp.Attach(p);
    return sp;
}

// The test filter between a fake upstream pin (its input) and a test sink
// (its output), connected with one type; the output allocator is Wine's
// memory allocator, or a fake one when given.
struct CConnectedFilter
{
    explicit CConnectedFilter(CFakeAllocator* pAllocator = NULL, const dsfix::TestSinkConfig& sinkConfig = {})
        : upstream(new CFakePin(PINDIR_OUTPUT, L"Fake Source")), sink(NewTestSink(sinkConfig))
    {
        const dsfix::MediaType mt = TestVideoType();
        upstream->m_types = { mt };
        EXPECT_EQ(S_OK, filter.In()->ReceiveConnection(upstream->Pin(), mt.Ptr()));
        EXPECT_EQ(S_OK, filter.Out()->Connect(sink->Pin(), NULL));
        if (pAllocator)
            filter->m_apOut->AttachAllocator(pAllocator, eAS_Internal);
    }
    ~CConnectedFilter()
    {
        if (filter.Get())
        {
            filter.Filter()->Stop();
            filter.Out()->Disconnect();
            filter.In()->Disconnect();
        }
        filter.Release();
        upstream->Release();
    }
    CConnectedFilter(const CConnectedFilter&) = delete;
    CConnectedFilter& operator=(const CConnectedFilter&) = delete;

    CTestFilterPtr filter;
    CFakePin* upstream;
    dsfix::ComPtr<dsfix::TestSink> sink;
};

// Each test in its own COM apartment, ending with no framework object alive.
class FilterTest : public ::testing::Test
{
protected:
    FilterTest() : m_nModuleLocks(TestModule().GetLockCount()) {}
    ~FilterTest() override
    {
        EXPECT_EQ(m_nModuleLocks, TestModule().GetLockCount()) << "framework objects left alive";
    }
    dsfix::ComInit m_com;
    LONG m_nModuleLocks;
};

// A trace line as the framework formats it (Windows conventions: %s wide).
inline std::wstring Fmt(const wchar_t* pszFormat, ...)
{
    WCHAR sz[1024];
    va_list args;
    va_start(args, pszFormat);
    _vsnwprintf_s(sz, 1024, _TRUNCATE, pszFormat, args);
    va_end(args);
    return sz;
}
