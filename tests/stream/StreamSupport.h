// Shared pieces of the streaming, negotiation and allocator tests: a fake
// downstream input pin with IMemInputPin that records what reaches it, real
// samples from an allocator of ours, and the test filter wired between a fake
// upstream pin and the fake downstream pin through the framework's own
// negotiation.
#pragma once

#include "FilterTestSupport.h"

#include "dsfix/Pattern.h"

#include <algorithm>
#include <string>
#include <vector>

// A downstream input pin: answers connection and allocator questions as
// configured and records every call that matters to the filter above it.
class CFakeInputPin : public IPin, public IMemInputPin, public CFakeUnknown
{
public:
    explicit CFakeInputPin(const std::wstring& sFilterName = L"Fake Sink") : m_pFilter(new CFakeFilter(sFilterName.c_str())) {}
    ~CFakeInputPin() override
    {
        m_pFilter->Release();
        if (m_pAllocator)
            m_pAllocator->Release();
    }

    FAKE_IUNKNOWN
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = NULL;
        if (riid == IID_IUnknown || riid == IID_IPin)
            *ppv = static_cast<IPin*>(this);
        else if (riid == IID_IMemInputPin && m_bMemInput)
            *ppv = static_cast<IMemInputPin*>(this);
        else
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }

    // IPin
    STDMETHODIMP Connect(IPin*, const AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    STDMETHODIMP ReceiveConnection(IPin* pConnector, const AM_MEDIA_TYPE* pmt) override
    {
        m_received.push_back(pmt ? dsfix::MediaType(*pmt) : dsfix::MediaType());
        if (m_onReceiveConnection)
            m_onReceiveConnection(pConnector);
        HRESULT hr = m_hrReceiveConnection;
        if (S_OK == hr && !Accepts(pmt))
            hr = VFW_E_TYPE_NOT_ACCEPTED;
        if (S_OK == hr)
        {
            m_spPeer = pConnector;
            m_mt = *pmt;
        }
        return hr;
    }
    STDMETHODIMP Disconnect() override
    {
        ++m_nDisconnect;
        m_spPeer.Release();
        return S_OK;
    }
    STDMETHODIMP ConnectedTo(IPin** pp) override
    {
        if (!pp)
            return E_POINTER;
        *pp = m_spPeer;
        if (!m_spPeer)
            return VFW_E_NOT_CONNECTED;
        (*pp)->AddRef();
        return S_OK;
    }
    STDMETHODIMP ConnectionMediaType(AM_MEDIA_TYPE* pmt) override
    {
        if (!pmt)
            return E_POINTER;
        return m_mt.CopyTo(pmt);
    }
    STDMETHODIMP QueryPinInfo(PIN_INFO* p) override
    {
        if (!p)
            return E_POINTER;
        p->pFilter = m_pFilter;
        m_pFilter->AddRef();
        p->dir = PINDIR_INPUT;
        lstrcpynW(p->achName, L"Fake In", MAX_PIN_NAME);
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
    STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE* pmt) override { return Accepts(pmt) ? S_OK : S_FALSE; }
    STDMETHODIMP EnumMediaTypes(IEnumMediaTypes** pp) override
    {
        if (!pp)
            return E_POINTER;
        *pp = NULL;
        if (m_pEnum)
        {
            *pp = m_pEnum;
            m_pEnum->AddRef();
            return S_OK;
        }
        return dsfix::CreateMediaTypeEnum(m_offer, pp);
    }
    STDMETHODIMP QueryInternalConnections(IPin**, ULONG*) override { return E_NOTIMPL; }
    STDMETHODIMP EndOfStream() override { return S_OK; }
    STDMETHODIMP BeginFlush() override { return S_OK; }
    STDMETHODIMP EndFlush() override { return S_OK; }
    STDMETHODIMP NewSegment(REFERENCE_TIME, REFERENCE_TIME, double) override { return S_OK; }

    // IMemInputPin
    STDMETHODIMP GetAllocator(IMemAllocator** pp) override
    {
        ++m_nGetAllocator;
        if (!pp)
            return E_POINTER;
        *pp = m_pAllocator;
        if (!m_pAllocator)
            return VFW_E_NO_ALLOCATOR;
        m_pAllocator->AddRef();
        return S_OK;
    }
    STDMETHODIMP NotifyAllocator(IMemAllocator* pAllocator, BOOL bReadOnly) override
    {
        m_notified.push_back(Notification{ pAllocator, bReadOnly });
        const size_t n = m_notified.size() - 1;
        return n < m_hrNotify.size() ? m_hrNotify[n] : m_hrNotifyDefault;
    }
    STDMETHODIMP GetAllocatorRequirements(ALLOCATOR_PROPERTIES* p) override
    {
        if (!p)
            return E_POINTER;
        if (S_OK != m_hrRequirements)
            return m_hrRequirements;
        *p = m_requirements;
        return S_OK;
    }
    STDMETHODIMP Receive(IMediaSample* pSample) override
    {
        m_samples.push_back(pSample);
        return m_hrReceive;
    }
    STDMETHODIMP ReceiveMultiple(IMediaSample**, long, long*) override { return E_NOTIMPL; }
    STDMETHODIMP ReceiveCanBlock() override { return S_FALSE; }

    IPin* Pin() { return static_cast<IPin*>(this); }
    void SetAllocator(IMemAllocator* p)
    {
        if (p)
            p->AddRef();
        if (m_pAllocator)
            m_pAllocator->Release();
        m_pAllocator = p;
    }
    bool Accepts(const AM_MEDIA_TYPE* pmt) const
    {
        if (!pmt)
            return false;
        if (m_accept.empty())
            return true;
        for (const dsfix::MediaType& t : m_accept)
            if (t.Admits(*pmt))
                return true;
        return false;
    }

    struct Notification
    {
        IMemAllocator* pAllocator; // identity only
        BOOL bReadOnly;
    };

    PIN_DIRECTION m_eDir = PINDIR_INPUT;
    CFakeFilter* m_pFilter;
    bool m_bMemInput = true;
    std::vector<dsfix::MediaType> m_accept; // patterns; empty accepts every type
    std::vector<dsfix::MediaType> m_offer;
    IEnumMediaTypes* m_pEnum = NULL; // not owned; wins over m_offer
    HRESULT m_hrReceiveConnection = S_OK;
    std::function<void(IPin*)> m_onReceiveConnection;
    std::vector<dsfix::MediaType> m_received;
    CComPtr<IPin> m_spPeer;
    dsfix::MediaType m_mt;
    int m_nDisconnect = 0;

    IMemAllocator* m_pAllocator = NULL;
    int m_nGetAllocator = 0;
    HRESULT m_hrRequirements = E_NOTIMPL;
    ALLOCATOR_PROPERTIES m_requirements = { 0, 0, 0, 0 };
    std::vector<HRESULT> m_hrNotify; // per call, then m_hrNotifyDefault
    HRESULT m_hrNotifyDefault = S_OK;
    std::vector<Notification> m_notified;
    HRESULT m_hrReceive = S_OK;
    std::vector<IMediaSample*> m_samples; // identity only
};

// A committed allocator of ours with numbered samples to hand out.
class CSamplePool
{
public:
    explicit CSamplePool(long cBuffers = 4, long cbBuffer = 1024)
    {
        EXPECT_EQ(S_OK, CTransInPlaceAllocator<CTestOutput>::CreateAllocator(&m_spAlloc));
        ALLOCATOR_PROPERTIES props = { cBuffers, cbBuffer, 1, 0 };
        ALLOCATOR_PROPERTIES actual = {};
        EXPECT_EQ(S_OK, m_spAlloc->SetProperties(&props, &actual));
        EXPECT_EQ(S_OK, m_spAlloc->Commit());
    }
    ~CSamplePool()
    {
        if (m_spAlloc)
            m_spAlloc->Decommit();
    }
    CSamplePool(const CSamplePool&) = delete;
    CSamplePool& operator=(const CSamplePool&) = delete;

    // A sample filled with the pattern of `number`, optionally carrying a
    // media type.
    CComPtr<IMediaSample> Sample(uint32_t number, const AM_MEDIA_TYPE* pmt = NULL)
    {
        CComPtr<IMediaSample> sp;
        EXPECT_EQ(S_OK, m_spAlloc->GetBuffer(&sp, NULL, NULL, 0));
        if (!sp)
            return sp;
        BYTE* pb = NULL;
        sp->GetPointer(&pb);
        dsfix::FillPattern(number, pb, static_cast<size_t>(sp->GetSize()));
        sp->SetActualDataLength(sp->GetSize());
        if (pmt)
        {
            EXPECT_EQ(S_OK, sp->SetMediaType(const_cast<AM_MEDIA_TYPE*>(pmt)));
        }
        return sp;
    }

    CComPtr<IMemAllocator> m_spAlloc;
};

// The test filter between a fake upstream pin and a fake downstream pin,
// both connections made by the framework. The test plays the upstream
// filter's part on the input pin's IMemInputPin.
struct CFakeRig
{
    CFakeRig() : up(new CFakePin(PINDIR_OUTPUT, L"Fake Source")), down(new CFakeInputPin) { up->m_types = { type }; }
    ~CFakeRig()
    {
        if (f.Get())
        {
            f.Filter()->Stop();
            f.Out()->Disconnect();
            f.In()->Disconnect();
        }
        f.Release();
        up->Release();
        down->Release();
    }
    CFakeRig(const CFakeRig&) = delete;
    CFakeRig& operator=(const CFakeRig&) = delete;

    HRESULT ConnectInput() { return f.In()->ReceiveConnection(up->Pin(), type.Ptr()); }
    HRESULT ConnectOutput() { return f.Out()->Connect(down->Pin(), NULL); }
    CComQIPtr<IMemInputPin> MemInput() { return CComQIPtr<IMemInputPin>(f.In()); }
    CTestOutput* Out() { return f->m_apOut.p; }
    CTestInput* In() { return f->m_apIn.p; }

    dsfix::MediaType type = TestVideoType();
    CTestFilterPtr f;
    CFakePin* up;
    CFakeInputPin* down;
};

// Lines of the fake log that contain sPart, in order.
inline std::vector<std::wstring> LinesWith(CFakeLogScope& log, const std::wstring& sPart)
{
    std::vector<std::wstring> v;
    for (const std::wstring& s : log.Lines())
        if (s.find(sPart) != std::wstring::npos)
            v.push_back(s);
    return v;
}
