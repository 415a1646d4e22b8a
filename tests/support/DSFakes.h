// Scripted fakes of DirectShow graph objects on plain COM (no framework
// code), for tests of code that walks a graph or dumps its objects, and the
// reference counting and the filter that the filter tests' neighbour pins
// share (tests/filter/FilterTestSupport.h).
//
// Every fake starts with one reference (the test's) and counts every call
// made on it, AddRef and Release included, so that a test can prove both
// that every reference it handed out came back and that no call was made at
// all. Each answer can be scripted: a failing HRESULT, a missing item, a name
// that fills its whole array without a terminator.
#pragma once

#ifndef STRSAFE_NO_DEPRECATE
#define STRSAFE_NO_DEPRECATE
#endif
#include <windows.h>
#include <dshow.h>

#include <string.h>
#include <string>
#include <vector>

namespace fakes {

// Fakes alive in the process (enumerators included).
inline LONG g_cLive = 0;

// Reference counting and the call counter of every fake.
class CFakeBase
{
public:
    CFakeBase() { InterlockedIncrement(&g_cLive); }
    virtual ~CFakeBase() { InterlockedDecrement(&g_cLive); }
    CFakeBase(const CFakeBase&) = delete;
    CFakeBase& operator=(const CFakeBase&) = delete;

    ULONG DoAddRef()
    {
        ++m_cCalls;
        return static_cast<ULONG>(InterlockedIncrement(&m_cRef));
    }
    ULONG DoRelease()
    {
        ++m_cCalls;
        const LONG c = InterlockedDecrement(&m_cRef);
        if (0 == c)
            delete this;
        return static_cast<ULONG>(c);
    }
    LONG RefCount() const { return m_cRef; }

    LONG m_cRef = 1;
    LONG m_cCalls = 0; // every method, AddRef and Release included
};

// A test's reference on a fake.
template <class T>
struct Ref
{
    explicit Ref(T* p) : p(p) {}
    ~Ref() { p->Release(); }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    T* operator->() const { return p; }
    operator T*() const { return p; }
    T* p;
};

#define FAKES_IUNKNOWN                                                                    \
    STDMETHODIMP_(ULONG) AddRef() override { return DoAddRef(); }                         \
    STDMETHODIMP_(ULONG) Release() override { return DoRelease(); }

// Copies src (format block into task memory) into a caller's record.
inline void CopyMediaType(AM_MEDIA_TYPE* pDst, const AM_MEDIA_TYPE& src)
{
    *pDst = src;
    if (src.cbFormat && src.pbFormat)
    {
        pDst->pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(src.cbFormat));
        memcpy(pDst->pbFormat, src.pbFormat, src.cbFormat);
    }
    if (pDst->pUnk)
        pDst->pUnk->AddRef();
}

inline bool IsAllZero(const void* p, size_t cb)
{
    const BYTE* pb = static_cast<const BYTE*>(p);
    for (size_t i = 0; i < cb; ++i)
        if (pb[i])
            return false;
    return true;
}

// A media type whose format block is held by the test (not freed here).
inline AM_MEDIA_TYPE MakeType(const GUID& major, const GUID& sub, const GUID& format, const void* pbFormat,
                              ULONG cbFormat)
{
    AM_MEDIA_TYPE mt;
    ZeroMemory(&mt, sizeof(mt));
    mt.majortype = major;
    mt.subtype = sub;
    mt.formattype = format;
    mt.cbFormat = cbFormat;
    mt.pbFormat = static_cast<BYTE*>(const_cast<void*>(pbFormat));
    return mt;
}

// How an enumerator answers Next(1, ...): normally item by item, then
// S_FALSE; at index failAt it answers hrFail, at index nullAt S_OK with no
// item and a count of 0.
struct EnumScript
{
    int failAt = -1;
    HRESULT hrFail = E_FAIL;
    int nullAt = -1;
};

template <class IEnum, class IItem>
class CFakeEnum : public CFakeBase, public IEnum
{
public:
    CFakeEnum(const std::vector<IItem*>& items, const EnumScript& script) : m_items(items), m_script(script)
    {
        for (IItem* p : m_items)
            p->AddRef();
    }
    ~CFakeEnum() override
    {
        for (IItem* p : m_items)
            p->Release();
    }
    FAKES_IUNKNOWN
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        ++m_cCalls;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, __uuidof(IEnum)))
        {
            *ppv = static_cast<IEnum*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = NULL;
        return E_NOINTERFACE;
    }
    STDMETHODIMP Next(ULONG cItems, IItem** ppItems, ULONG* pcFetched) override
    {
        ++m_cCalls;
        if (1 != cItems)
            return E_INVALIDARG;
        const int i = m_nPos;
        if (i == m_script.failAt)
            return m_script.hrFail;
        if (i == m_script.nullAt)
        {
            if (pcFetched)
                *pcFetched = 0;
            return S_OK;
        }
        if (i >= static_cast<int>(m_items.size()))
        {
            if (pcFetched)
                *pcFetched = 0;
            return S_FALSE;
        }
        ++m_nPos;
        ppItems[0] = m_items[i];
        ppItems[0]->AddRef();
        if (pcFetched)
            *pcFetched = 1;
        return S_OK;
    }
    STDMETHODIMP Skip(ULONG) override { return E_NOTIMPL; }
    STDMETHODIMP Reset() override
    {
        ++m_cCalls;
        m_nPos = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(IEnum**) override { return E_NOTIMPL; }

private:
    std::vector<IItem*> m_items;
    EnumScript m_script;
    int m_nPos = 0;
};

class CFakeFilter;

class CFakeGraph : public CFakeBase, public IFilterGraph
{
public:
    ~CFakeGraph() override
    {
        for (IBaseFilter* p : m_filters)
            p->Release();
    }
    FAKES_IUNKNOWN
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        ++m_cCalls;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IFilterGraph))
        {
            *ppv = static_cast<IFilterGraph*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = NULL;
        return E_NOINTERFACE;
    }
    // Holds a reference on the filter (the test keeps its own).
    void Add(IBaseFilter* p)
    {
        p->AddRef();
        m_filters.push_back(p);
    }

    STDMETHODIMP AddFilter(IBaseFilter*, LPCWSTR) override { return E_NOTIMPL; }
    STDMETHODIMP RemoveFilter(IBaseFilter*) override { return E_NOTIMPL; }
    STDMETHODIMP EnumFilters(IEnumFilters** ppEnum) override
    {
        ++m_cCalls;
        *ppEnum = NULL;
        if (FAILED(m_hrEnumFilters))
            return m_hrEnumFilters;
        *ppEnum = new CFakeEnum<IEnumFilters, IBaseFilter>(m_filters, m_enumScript);
        return S_OK;
    }
    STDMETHODIMP FindFilterByName(LPCWSTR, IBaseFilter**) override { return E_NOTIMPL; }
    STDMETHODIMP ConnectDirect(IPin*, IPin*, const AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    STDMETHODIMP Reconnect(IPin*) override { return E_NOTIMPL; }
    STDMETHODIMP Disconnect(IPin*) override { return E_NOTIMPL; }
    STDMETHODIMP SetDefaultSyncSource() override { return E_NOTIMPL; }

    std::vector<IBaseFilter*> m_filters;
    HRESULT m_hrEnumFilters = S_OK;
    EnumScript m_enumScript;
};

class CFakePin;

// A filter that owns fake pins: its name and class answer, it lists the pins
// added to it, and it stays stopped (its state calls succeed and change
// nothing).
class CFakeFilter : public CFakeBase, public IBaseFilter, public IFileSourceFilter, public IFileSinkFilter
{
public:
    explicit CFakeFilter(const wchar_t* pszName, const CLSID& clsid = CLSID_NULL) : m_name(pszName), m_clsid(clsid) {}
    ~CFakeFilter() override;
    FAKES_IUNKNOWN
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        ++m_cCalls;
        *ppv = NULL;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IPersist) || IsEqualIID(riid, IID_IMediaFilter) ||
            IsEqualIID(riid, IID_IBaseFilter))
            *ppv = static_cast<IBaseFilter*>(this);
        else if (IsEqualIID(riid, IID_IFileSourceFilter) && m_bSource)
            *ppv = static_cast<IFileSourceFilter*>(this);
        else if (IsEqualIID(riid, IID_IFileSinkFilter) && m_bSink)
            *ppv = static_cast<IFileSinkFilter*>(this);
        if (!*ppv)
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    // Holds a reference on the pin and makes this filter its owner.
    void AddPin(CFakePin* pPin);

    // IPersist
    STDMETHODIMP GetClassID(CLSID* pClsid) override
    {
        ++m_cCalls;
        if (!pClsid)
            return E_POINTER;
        if (FAILED(m_hrGetClassID))
            return m_hrGetClassID;
        *pClsid = m_clsid;
        return S_OK;
    }
    // IMediaFilter
    STDMETHODIMP Stop() override { return S_OK; }
    STDMETHODIMP Pause() override { return S_OK; }
    STDMETHODIMP Run(REFERENCE_TIME) override { return S_OK; }
    STDMETHODIMP GetState(DWORD, FILTER_STATE* pState) override
    {
        if (!pState)
            return E_POINTER;
        *pState = State_Stopped;
        return S_OK;
    }
    STDMETHODIMP SetSyncSource(IReferenceClock*) override { return S_OK; }
    STDMETHODIMP GetSyncSource(IReferenceClock** ppClock) override
    {
        if (!ppClock)
            return E_POINTER;
        *ppClock = NULL;
        return S_OK;
    }
    // IBaseFilter
    STDMETHODIMP EnumPins(IEnumPins** ppEnum) override;
    STDMETHODIMP FindPin(LPCWSTR, IPin**) override { return E_NOTIMPL; }
    STDMETHODIMP QueryFilterInfo(FILTER_INFO* pInfo) override
    {
        ++m_cCalls;
        if (!pInfo)
            return E_POINTER;
        if (FAILED(m_hrQueryFilterInfo))
            return m_hrQueryFilterInfo;
        if (m_bUnterminatedName)
        {
            for (int i = 0; i < MAX_FILTER_NAME; ++i)
                pInfo->achName[i] = m_name.empty() ? L'N' : m_name[i % m_name.size()];
        }
        else
            lstrcpynW(pInfo->achName, m_name.c_str(), MAX_FILTER_NAME);
        pInfo->pGraph = m_pGraph;
        if (m_pGraph)
            m_pGraph->AddRef();
        return S_OK;
    }
    STDMETHODIMP JoinFilterGraph(IFilterGraph*, LPCWSTR) override { return S_OK; }
    STDMETHODIMP QueryVendorInfo(LPWSTR*) override { return E_NOTIMPL; }
    // IFileSourceFilter and IFileSinkFilter
    STDMETHODIMP Load(LPCOLESTR, const AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    STDMETHODIMP SetFileName(LPCOLESTR, const AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    STDMETHODIMP GetCurFile(LPOLESTR* ppszFileName, AM_MEDIA_TYPE* pmt) override
    {
        // Both interfaces share the method: the first call is the source's
        // when the filter has both (the walk asks the source first).
        ++m_cCalls;
        const bool bSource = m_bSource && 0 == m_cGetCurFile++;
        File& f = bSource ? m_source : m_sink;
        f.bZeroed = (NULL == *ppszFileName) && IsAllZero(pmt, sizeof(*pmt));
        if (FAILED(f.hr))
        {
            // A failing filter that leaves a block behind: it must not be freed.
            *ppszFileName = f.pszLeftOnFailure;
            return f.hr;
        }
        if (f.bNullName)
            *ppszFileName = NULL;
        else
        {
            const size_t cb = (f.name.size() + 1) * sizeof(WCHAR);
            *ppszFileName = static_cast<LPOLESTR>(CoTaskMemAlloc(cb));
            memcpy(*ppszFileName, f.name.c_str(), cb);
        }
        if (f.bWithType)
            CopyMediaType(pmt, f.type);
        return f.hr;
    }

    struct File
    {
        std::wstring name;
        HRESULT hr = S_OK;
        bool bNullName = false;
        bool bWithType = false;
        AM_MEDIA_TYPE type = {};
        LPOLESTR pszLeftOnFailure = NULL;
        bool bZeroed = false; // what the caller handed in
    };

    std::wstring m_name;
    bool m_bUnterminatedName = false;
    CLSID m_clsid;
    IFilterGraph* m_pGraph = NULL; // handed out by QueryFilterInfo, not held
    HRESULT m_hrQueryFilterInfo = S_OK;
    HRESULT m_hrGetClassID = S_OK;
    HRESULT m_hrEnumPins = S_OK;
    EnumScript m_pinScript;
    bool m_bSource = false;
    bool m_bSink = false;
    File m_source;
    File m_sink;
    int m_cGetCurFile = 0;
    std::vector<CFakePin*> m_pins;
};

class CFakePin : public CFakeBase, public IPin
{
public:
    CFakePin(const wchar_t* pszName, int nDir) : m_name(pszName), m_nDir(nDir) { ZeroMemory(&m_mt, sizeof(m_mt)); }
    FAKES_IUNKNOWN
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        ++m_cCalls;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IPin))
        {
            *ppv = static_cast<IPin*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = NULL;
        return E_NOINTERFACE;
    }
    // Connects two pins (no references are held between them).
    static void Link(CFakePin* a, CFakePin* b, const AM_MEDIA_TYPE& mt)
    {
        a->m_pPeer = b;
        b->m_pPeer = a;
        a->m_mt = mt;
        b->m_mt = mt;
    }

    STDMETHODIMP Connect(IPin*, const AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    STDMETHODIMP ReceiveConnection(IPin*, const AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    STDMETHODIMP Disconnect() override { return E_NOTIMPL; }
    STDMETHODIMP ConnectedTo(IPin** ppPin) override
    {
        ++m_cCalls;
        ++m_cConnectedTo;
        *ppPin = NULL;
        if (m_nConnectedUntil >= 0 && m_cConnectedTo > m_nConnectedUntil)
            return VFW_E_NOT_CONNECTED;
        if (FAILED(m_hrConnectedTo))
            return m_hrConnectedTo;
        if (!m_pPeer)
            return VFW_E_NOT_CONNECTED;
        *ppPin = m_pPeer;
        m_pPeer->AddRef();
        return S_OK;
    }
    STDMETHODIMP ConnectionMediaType(AM_MEDIA_TYPE* pmt) override
    {
        ++m_cCalls;
        m_bMtZeroed = IsAllZero(pmt, sizeof(*pmt));
        if (FAILED(m_hrConnectionMediaType))
            return m_hrConnectionMediaType;
        if (!m_pPeer)
            return VFW_E_NOT_CONNECTED;
        CopyMediaType(pmt, m_mt);
        return m_hrConnectionMediaType;
    }
    STDMETHODIMP QueryPinInfo(PIN_INFO* pInfo) override
    {
        ++m_cCalls;
        if (FAILED(m_hrQueryPinInfo))
            return m_hrQueryPinInfo;
        lstrcpynW(pInfo->achName, m_name.c_str(), MAX_PIN_NAME);
        if (m_bUnterminatedName)
            for (int i = 0; i < MAX_PIN_NAME; ++i)
                pInfo->achName[i] = L'P';
        pInfo->dir = static_cast<PIN_DIRECTION>(m_nDir);
        pInfo->pFilter = m_bNoOwner ? NULL : m_pOwner;
        if (pInfo->pFilter)
            pInfo->pFilter->AddRef();
        return S_OK;
    }
    STDMETHODIMP QueryDirection(PIN_DIRECTION* pDir) override
    {
        ++m_cCalls;
        *pDir = static_cast<PIN_DIRECTION>(m_nDir);
        return S_OK;
    }
    STDMETHODIMP QueryId(LPWSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    STDMETHODIMP EnumMediaTypes(IEnumMediaTypes** ppEnum) override
    {
        ++m_cCalls;
        *ppEnum = NULL;
        if (FAILED(m_hrEnumMediaTypes) || !m_pMediaTypes)
            return FAILED(m_hrEnumMediaTypes) ? m_hrEnumMediaTypes : E_NOTIMPL;
        *ppEnum = m_pMediaTypes;
        m_pMediaTypes->AddRef();
        return S_OK;
    }
    STDMETHODIMP QueryInternalConnections(IPin**, ULONG*) override { return E_NOTIMPL; }
    STDMETHODIMP EndOfStream() override { return E_NOTIMPL; }
    STDMETHODIMP BeginFlush() override { return E_NOTIMPL; }
    STDMETHODIMP EndFlush() override { return E_NOTIMPL; }
    STDMETHODIMP NewSegment(REFERENCE_TIME, REFERENCE_TIME, double) override { return E_NOTIMPL; }

    std::wstring m_name;
    int m_nDir;
    bool m_bUnterminatedName = false;
    IBaseFilter* m_pOwner = NULL; // not held
    bool m_bNoOwner = false;      // QueryPinInfo gives no filter
    CFakePin* m_pPeer = NULL;     // not held
    AM_MEDIA_TYPE m_mt;           // format block held by the test
    HRESULT m_hrQueryPinInfo = S_OK;
    HRESULT m_hrConnectedTo = S_OK;
    HRESULT m_hrConnectionMediaType = S_OK;
    int m_nConnectedUntil = -1; // >= 0: ConnectedTo answers S_OK only this many times
    int m_cConnectedTo = 0;
    bool m_bMtZeroed = false;   // ConnectionMediaType was handed a zeroed record
    HRESULT m_hrEnumMediaTypes = S_OK;
    IEnumMediaTypes* m_pMediaTypes = NULL; // held by the test
};

inline CFakeFilter::~CFakeFilter()
{
    for (CFakePin* p : m_pins)
        p->Release();
}

inline void CFakeFilter::AddPin(CFakePin* pPin)
{
    pPin->AddRef();
    pPin->m_pOwner = this;
    m_pins.push_back(pPin);
}

inline STDMETHODIMP CFakeFilter::EnumPins(IEnumPins** ppEnum)
{
    ++m_cCalls;
    if (!ppEnum)
        return E_POINTER;
    *ppEnum = NULL;
    if (FAILED(m_hrEnumPins))
        return m_hrEnumPins;
    std::vector<IPin*> pins(m_pins.begin(), m_pins.end());
    *ppEnum = new CFakeEnum<IEnumPins, IPin>(pins, m_pinScript);
    return S_OK;
}

} // namespace fakes
