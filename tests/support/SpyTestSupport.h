// Shared pieces of the spy filter's tests: the filter made through its class,
// a chain in Wine's filter graph manager (the test source, the spy, then the
// test sink or Wine's Null Renderer), the settings key saved and put back,
// real samples from Wine's memory allocator, and a log that drops
// everything for long streams.
#pragma once

#include "FileBytes.h"
#include "FilterTestSupport.h"
#include "SavedKey.h"

#include "Filter.h"

#include "dsfix/Graph.h"
#include "dsfix/TestSource.h"

#include <mmreg.h>

#include <memory>
#include <string>
#include <vector>

typedef CComObject<CSpyFilter> SpyObject;

// Owns one reference on a spy filter made as its class makes it.
class CSpyPtr
{
public:
    CSpyPtr()
    {
        SpyObject* p = NULL;
        EXPECT_EQ(S_OK, SpyObject::CreateInstance(&p));
        if (p)
            p->AddRef();
        m_p = p;
    }
    ~CSpyPtr() { Release(); }
    CSpyPtr(const CSpyPtr&) = delete;
    CSpyPtr& operator=(const CSpyPtr&) = delete;

    SpyObject* operator->() const { return m_p; }
    SpyObject* Get() const { return m_p; }
    IBaseFilter* Filter() const { return static_cast<IBaseFilter*>(m_p); }
    IPin* In() const { return static_cast<IPin*>(m_p->m_apIn.p); }
    IPin* Out() const { return static_cast<IPin*>(m_p->m_apOut.p); }
    void Release()
    {
        if (m_p)
        {
            SpyObject* p = m_p;
            m_p = NULL;
            p->Release();
        }
    }

private:
    SpyObject* m_p = NULL;
};

// Lines of the fake log that contain sPart, in order.
inline std::vector<std::wstring> SpyLinesWith(CFakeLogScope& log, const std::wstring& sPart)
{
    std::vector<std::wstring> v;
    for (const std::wstring& s : log.Lines())
        if (s.find(sPart) != std::wstring::npos)
            v.push_back(s);
    return v;
}

// The raw records (level character first) that start with sPrefix after it.
inline std::vector<std::wstring> RawLinesStarting(CFakeLog& fake, const std::wstring& sPrefix)
{
    std::vector<std::wstring> v;
    for (const std::wstring& s : fake.Lines())
        if (s.size() > sPrefix.size() && 0 == s.compare(1, sPrefix.size(), sPrefix))
            v.push_back(s);
    return v;
}

// The counts that the spy's Stop calls traced, in order, with the blanks
// between their digit groups taken out.
inline std::vector<ULONGLONG> StopCounts(CFakeLogScope& log, const std::wstring& sName)
{
    const std::wstring sHead = sName + L" Stop(): Through the filter has passed ";
    const std::wstring sTail = L" samples\n";
    std::vector<ULONGLONG> v;
    for (const std::wstring& s : log.Lines())
    {
        if (s.size() <= sHead.size() + sTail.size() || 0 != s.compare(0, sHead.size(), sHead) ||
            0 != s.compare(s.size() - sTail.size(), sTail.size(), sTail))
            continue;
        std::wstring sDigits;
        for (wchar_t c : s.substr(sHead.size(), s.size() - sHead.size() - sTail.size()))
            if (L' ' != c)
                sDigits += c;
        v.push_back(wcstoull(sDigits.c_str(), NULL, 10));
    }
    return v;
}

// The pin's connection type; the empty type when it is not connected.
inline dsfix::MediaType ConnectionType(IPin* pPin)
{
    AM_MEDIA_TYPE mt;
    ZeroMemory(&mt, sizeof(mt));
    if (S_OK != pPin->ConnectionMediaType(&mt))
        return dsfix::MediaType();
    dsfix::MediaType t(mt);
    dsfix::FreeMediaTypeFields(mt);
    return t;
}

// Wine's memory allocator behind a wrapper whose GetProperties or Decommit
// can be made to fail.
class CWineAllocatorWrapper : public IMemAllocator, public CFakeUnknown
{
public:
    CWineAllocatorWrapper()
    {
        CoCreateInstance(CLSID_MemoryAllocator, NULL, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                         reinterpret_cast<void**>(&m_spInner));
    }
    FAKE_IUNKNOWN
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = NULL;
        if (riid != IID_IUnknown && riid != IID_IMemAllocator)
            return E_NOINTERFACE;
        *ppv = static_cast<IMemAllocator*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP SetProperties(ALLOCATOR_PROPERTIES* pRequest, ALLOCATOR_PROPERTIES* pActual) override
    {
        return m_spInner->SetProperties(pRequest, pActual);
    }
    STDMETHODIMP GetProperties(ALLOCATOR_PROPERTIES* p) override
    {
        return FAILED(m_hrGetProperties) ? m_hrGetProperties : m_spInner->GetProperties(p);
    }
    STDMETHODIMP Commit() override { return m_spInner->Commit(); }
    STDMETHODIMP Decommit() override { return FAILED(m_hrDecommit) ? m_hrDecommit : m_spInner->Decommit(); }
    STDMETHODIMP GetBuffer(IMediaSample** pp, REFERENCE_TIME* pS, REFERENCE_TIME* pE, DWORD dw) override
    {
        return m_spInner->GetBuffer(pp, pS, pE, dw);
    }
    STDMETHODIMP ReleaseBuffer(IMediaSample* p) override { return m_spInner->ReleaseBuffer(p); }

    CComPtr<IMemAllocator> m_spInner;
    HRESULT m_hrGetProperties = S_OK;
    HRESULT m_hrDecommit = S_OK;
};

// A file in the temporary folder.
inline std::wstring TempFile(LPCWSTR pszName)
{
    WCHAR szDir[MAX_PATH];
    GetTempPathW(MAX_PATH, szDir);
    return std::wstring(szDir) + pszName;
}

// The file's size in bytes; -1 when it is not there.
inline LONGLONG FileSize(const std::wstring& sPath)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(sPath.c_str(), GetFileExInfoStandard, &data))
        return -1;
    return (static_cast<LONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

inline DWORD DwordAt(const std::vector<BYTE>& v, size_t nOffset)
{
    DWORD dw = 0;
    if (nOffset + 4 <= v.size())
        memcpy(&dw, v.data() + nOffset, 4);
    return dw;
}

// While it lives, the program's log client has no log object: every trace
// record is dropped (for streams of thousands of samples).
class CSilentLog : public CLogClientSwap
{
public:
    CSilentLog() : CLogClientSwap(NULL) {}
};

// The spy's settings key (HKCU "Software\Norvaleth\Spy Filter"), saved at
// construction and put back exactly at destruction.
class CSpySettings
{
public:
    CSpySettings() : m_saved(HKEY_CURRENT_USER, CSpyFilter::kSettingsKey) {}

    static bool RemoveKey() { return CSavedKey::RemoveKey(HKEY_CURRENT_USER, CSpyFilter::kSettingsKey); }
    static bool CreateEmpty()
    {
        HKEY hKey = NULL;
        if (ERROR_SUCCESS != RegCreateKeyExW(HKEY_CURRENT_USER, CSpyFilter::kSettingsKey, 0, NULL, 0, KEY_WRITE, NULL,
                                             &hKey, NULL))
            return false;
        RegCloseKey(hKey);
        return true;
    }
    static bool SetRaw(LPCWSTR pszName, DWORD dwType, const void* pData, DWORD cb)
    {
        return CSavedKey::SetRaw(HKEY_CURRENT_USER, CSpyFilter::kSettingsKey, pszName, dwType, pData, cb);
    }
    static bool SetDword(LPCWSTR pszName, DWORD dw) { return SetRaw(pszName, REG_DWORD, &dw, sizeof(dw)); }
    // A text with its terminator.
    static bool SetText(LPCWSTR pszName, const std::wstring& s, DWORD dwType = REG_SZ)
    {
        return SetRaw(pszName, dwType, s.c_str(), static_cast<DWORD>((s.size() + 1) * sizeof(wchar_t)));
    }
    static bool Remove(LPCWSTR pszName)
    {
        HKEY hKey = NULL;
        if (ERROR_SUCCESS != RegOpenKeyExW(HKEY_CURRENT_USER, CSpyFilter::kSettingsKey, 0, KEY_WRITE, &hKey))
            return true;
        const LONG l = RegDeleteValueW(hKey, pszName);
        RegCloseKey(hKey);
        return ERROR_SUCCESS == l || ERROR_FILE_NOT_FOUND == l;
    }

private:
    CSavedKey m_saved;
};

// An audio type with a wave format block of cbFormat bytes.
inline dsfix::MediaType WaveType(WORD wTag, WORD nBlockAlign, ULONG cbFormat)
{
    AM_MEDIA_TYPE mt;
    ZeroMemory(&mt, sizeof(mt));
    mt.majortype = MEDIATYPE_Audio;
    mt.subtype = MEDIASUBTYPE_PCM;
    mt.formattype = FORMAT_WaveFormatEx;
    WAVEFORMATEX wf;
    ZeroMemory(&wf, sizeof(wf));
    wf.wFormatTag = wTag;
    wf.nChannels = 2;
    wf.nSamplesPerSec = 44100;
    wf.wBitsPerSample = 16;
    wf.nBlockAlign = nBlockAlign;
    wf.nAvgBytesPerSec = 44100 * nBlockAlign;
    mt.cbFormat = cbFormat;
    mt.pbFormat = reinterpret_cast<BYTE*>(&wf);
    return dsfix::MediaType(mt); // a deep copy: the stack block is not kept
}

enum class SpyDown
{
    Sink,
    NullRenderer,
};

struct SpyChainConfig
{
    SpyChainConfig()
    {
        source.mediaTypes = { TestVideoType() };
        source.sampleCount = 10;
    }
    dsfix::TestSourceConfig source;
    dsfix::TestSinkConfig sink;
    SpyDown eDown = SpyDown::Sink;
    bool bNoClock = false; // the graph runs without a reference clock
};

// Makes the chain end with two allocators: the source insists on a new
// allocator of its own and hands it over read-only, and the sink asks for
// more buffers than it has, so the spy can pass it on neither way and uses
// an allocator of its own for the output.
inline void UseSeparateAllocators(SpyChainConfig& config)
{
    config.source.allocatorMode = dsfix::SourceAllocator::Own;
    config.source.readOnly = TRUE;
    config.source.honourRequirements = false;
    config.source.allocatorProperties.cBuffers = 2;
    config.sink.hasRequirements = true;
    if (config.sink.requirements.cBuffers < 3)
        config.sink.requirements.cBuffers = 3;
}

// The test source, the spy and a downstream filter in Wine's graph manager,
// connected directly from the source down.
class SpyChain
{
public:
    SpyChain() = default;
    ~SpyChain()
    {
        graph.Release();
        down.Reset();
        sink.Reset();
        spy.Release();
        source.Reset();
    }
    SpyChain(const SpyChain&) = delete;
    SpyChain& operator=(const SpyChain&) = delete;

    HRESULT Build(const SpyChainConfig& config)
    {
        HRESULT hr = graph.Create();
        if (FAILED(hr))
            return hr;
        dsfix::TestSource* pSource = NULL;
        if (FAILED(hr = dsfix::TestSource::Create(config.source, &pSource)))
            return hr;
        source.Attach(pSource);
        if (FAILED(hr = graph.Add(source, L"Source")) || FAILED(hr = graph.Add(spy.Filter(), L"Spy")))
            return hr;
        if (SpyDown::NullRenderer == config.eDown)
        {
            if (FAILED(hr = graph.AddNew(dsfix::CLSID_WineNullRenderer, L"Null Renderer", &down)))
                return hr;
        }
        else
        {
            dsfix::TestSink* pSink = NULL;
            if (FAILED(hr = dsfix::TestSink::Create(config.sink, &pSink)))
                return hr;
            sink.Attach(pSink);
            down = static_cast<IBaseFilter*>(pSink);
            if (FAILED(hr = graph.Add(down, L"Sink")))
                return hr;
        }
        if (config.bNoClock)
        {
            dsfix::ComPtr<IMediaFilter> spMediaFilter;
            if (FAILED(hr = graph.Builder()->QueryInterface(IID_IMediaFilter, reinterpret_cast<void**>(&spMediaFilter))))
                return hr;
            if (FAILED(hr = spMediaFilter->SetSyncSource(NULL)))
                return hr;
        }
        if (FAILED(hr = graph.ConnectDirect(source->Pin(), spy.In(), NULL)))
            return hr;
        return graph.ConnectDirect(spy.Out(), dsfix::FindPin(down, PINDIR_INPUT), NULL);
    }

    dsfix::TestGraph graph;
    dsfix::ComPtr<dsfix::TestSource> source;
    CSpyPtr spy;
    dsfix::ComPtr<IBaseFilter> down;
    dsfix::ComPtr<dsfix::TestSink> sink;
};

// Samples of Wine's memory allocator, committed for the life of the object.
class CWineSamples
{
public:
    explicit CWineSamples(long cbBuffer = 4096, long cBuffers = 8)
    {
        HRESULT hr = CoCreateInstance(CLSID_MemoryAllocator, NULL, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                                      reinterpret_cast<void**>(&m_spAlloc));
        EXPECT_EQ(S_OK, hr);
        if (!m_spAlloc)
            return;
        ALLOCATOR_PROPERTIES req = { cBuffers, cbBuffer, 1, 0 };
        ALLOCATOR_PROPERTIES act;
        EXPECT_EQ(S_OK, m_spAlloc->SetProperties(&req, &act));
        EXPECT_EQ(S_OK, m_spAlloc->Commit());
    }
    ~CWineSamples()
    {
        if (m_spAlloc)
            m_spAlloc->Decommit();
    }
    CWineSamples(const CWineSamples&) = delete;
    CWineSamples& operator=(const CWineSamples&) = delete;

    // A sample of cbActual bytes, timed from tStart unless bTimed is false.
    CComPtr<IMediaSample> Get(long cbActual, bool bTimed = true, REFERENCE_TIME tStart = 0,
                              REFERENCE_TIME tDuration = 400000)
    {
        CComPtr<IMediaSample> sp;
        if (!m_spAlloc || S_OK != m_spAlloc->GetBuffer(&sp, NULL, NULL, 0))
            return sp;
        sp->SetActualDataLength(cbActual);
        if (bTimed)
        {
            REFERENCE_TIME tStop = tStart + tDuration;
            sp->SetTime(&tStart, &tStop);
        }
        else
            sp->SetTime(NULL, NULL);
        return sp;
    }

private:
    CComPtr<IMemAllocator> m_spAlloc;
};
