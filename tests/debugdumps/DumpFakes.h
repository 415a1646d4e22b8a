// Recording fakes of the objects the dumps ask (sample, allocator, clock,
// stream configuration, media-type enumerator), and the reading of the
// recorded trace lines.
#pragma once

#include <DSParsers.h>

#include "DSFakes.h"
#include "TestLog.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace dumps {

using fakes::CFakeBase;
using fakes::Ref;

// The trace lines a dump wrote, each checked for its level character and
// given without it.
inline std::vector<std::wstring> Lines(const CRecordingLog& log, UINT nLevel = 8)
{
    std::vector<std::wstring> v;
    for (const std::wstring& s : log.m_lines)
    {
        EXPECT_FALSE(s.empty());
        if (s.empty())
            continue;
        EXPECT_EQ(static_cast<wchar_t>(nLevel + 1), s[0]) << "level of: " << std::string(s.begin() + 1, s.end());
        v.push_back(s.substr(1));
    }
    return v;
}

// An address as the trace writes it with %p: 16 upper-case hexadecimal digits.
inline std::wstring Ptr(const void* p)
{
    wchar_t sz[24];
    swprintf(sz, 24, L"%016llX", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)));
    return sz;
}

// An IUnknown that counts its references.
class CCountedUnknown : public CFakeBase, public IUnknown
{
public:
    FAKES_IUNKNOWN
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        ++m_cCalls;
        if (IsEqualIID(riid, IID_IUnknown))
        {
            *ppv = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = NULL;
        return E_NOINTERFACE;
    }
};

class CFakeSample : public CFakeBase, public IMediaSample2
{
public:
    FAKES_IUNKNOWN
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        ++m_cCalls;
        *ppv = NULL;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IMediaSample))
            *ppv = static_cast<IMediaSample*>(this);
        else if (IsEqualIID(riid, IID_IMediaSample2) && m_bSample2)
            *ppv = static_cast<IMediaSample2*>(this);
        if (!*ppv)
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP GetPointer(BYTE** ppBuffer) override
    {
        ++m_cCalls;
        *ppBuffer = SUCCEEDED(m_hrPointer) ? m_pBuffer : NULL;
        return m_hrPointer;
    }
    STDMETHODIMP_(long) GetSize() override { return ++m_cCalls, m_cbSize; }
    STDMETHODIMP GetTime(REFERENCE_TIME* pStart, REFERENCE_TIME* pEnd) override
    {
        ++m_cCalls;
        if (SUCCEEDED(m_hrTime))
        {
            *pStart = m_tStart;
            if (S_OK == m_hrTime)
                *pEnd = m_tStop;
        }
        return m_hrTime;
    }
    STDMETHODIMP SetTime(REFERENCE_TIME*, REFERENCE_TIME*) override { return E_NOTIMPL; }
    STDMETHODIMP IsSyncPoint() override { return ++m_cCalls, m_hrSync; }
    STDMETHODIMP SetSyncPoint(BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP IsPreroll() override { return ++m_cCalls, m_hrPreroll; }
    STDMETHODIMP SetPreroll(BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP_(long) GetActualDataLength() override { return ++m_cCalls, m_cbActual; }
    STDMETHODIMP SetActualDataLength(long) override { return E_NOTIMPL; }
    STDMETHODIMP GetMediaType(AM_MEDIA_TYPE** ppmt) override
    {
        ++m_cCalls;
        *ppmt = NULL;
        if (!m_pmtAttached)
            return S_FALSE;
        *ppmt = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
        fakes::CopyMediaType(*ppmt, *m_pmtAttached);
        return S_OK;
    }
    STDMETHODIMP SetMediaType(AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    STDMETHODIMP IsDiscontinuity() override { return ++m_cCalls, m_hrDiscontinuity; }
    STDMETHODIMP SetDiscontinuity(BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP GetMediaTime(LONGLONG* pStart, LONGLONG* pEnd) override
    {
        ++m_cCalls;
        if (S_OK == m_hrMediaTime)
        {
            *pStart = m_llStart;
            *pEnd = m_llStop;
        }
        return m_hrMediaTime;
    }
    STDMETHODIMP SetMediaTime(LONGLONG*, LONGLONG*) override { return E_NOTIMPL; }
    STDMETHODIMP GetProperties(DWORD cb, BYTE* pb) override
    {
        ++m_cCalls;
        m_cbPropsAsked = cb;
        if (S_OK != m_hrProps)
            return m_hrProps;
        AM_SAMPLE2_PROPERTIES props = {};
        props.cbData = cb;
        props.dwTypeSpecificFlags = m_dwTypeFlags;
        props.dwStreamId = m_dwStreamId;
        memcpy(pb, &props, cb < sizeof(props) ? cb : sizeof(props));
        return S_OK;
    }
    STDMETHODIMP SetProperties(DWORD, const BYTE*) override { return E_NOTIMPL; }

    HRESULT m_hrTime = S_OK;
    REFERENCE_TIME m_tStart = 0, m_tStop = 0;
    HRESULT m_hrMediaTime = VFW_E_MEDIA_TIME_NOT_SET;
    LONGLONG m_llStart = 0, m_llStop = 0;
    HRESULT m_hrSync = S_FALSE, m_hrPreroll = S_FALSE, m_hrDiscontinuity = S_FALSE;
    bool m_bSample2 = false;
    HRESULT m_hrProps = S_OK;
    DWORD m_dwTypeFlags = 0, m_dwStreamId = 0;
    DWORD m_cbPropsAsked = 0;
    HRESULT m_hrPointer = S_OK;
    BYTE* m_pBuffer = NULL;
    long m_cbSize = 0, m_cbActual = 0;
    const AM_MEDIA_TYPE* m_pmtAttached = NULL;
};

class CFakeAllocator : public CFakeBase, public IMemAllocator
{
public:
    FAKES_IUNKNOWN
    STDMETHODIMP QueryInterface(REFIID, void** ppv) override
    {
        ++m_cCalls;
        *ppv = NULL;
        return E_NOINTERFACE;
    }
    STDMETHODIMP SetProperties(ALLOCATOR_PROPERTIES*, ALLOCATOR_PROPERTIES*) override { return E_NOTIMPL; }
    STDMETHODIMP GetProperties(ALLOCATOR_PROPERTIES* pProps) override
    {
        ++m_cCalls;
        m_bZeroed = fakes::IsAllZero(pProps, sizeof(*pProps));
        if (SUCCEEDED(m_hr))
            *pProps = m_props;
        return m_hr;
    }
    STDMETHODIMP Commit() override { return E_NOTIMPL; }
    STDMETHODIMP Decommit() override { return E_NOTIMPL; }
    STDMETHODIMP GetBuffer(IMediaSample**, REFERENCE_TIME*, REFERENCE_TIME*, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP ReleaseBuffer(IMediaSample*) override { return E_NOTIMPL; }

    HRESULT m_hr = S_OK;
    ALLOCATOR_PROPERTIES m_props = {};
    bool m_bZeroed = false;
};

class CFakeClock : public CFakeBase, public IReferenceClock
{
public:
    FAKES_IUNKNOWN
    STDMETHODIMP QueryInterface(REFIID, void** ppv) override
    {
        ++m_cCalls;
        *ppv = NULL;
        return E_NOINTERFACE;
    }
    STDMETHODIMP GetTime(REFERENCE_TIME* pTime) override
    {
        ++m_cCalls;
        if (SUCCEEDED(m_hr))
            *pTime = m_tTime;
        return m_hr;
    }
    STDMETHODIMP AdviseTime(REFERENCE_TIME, REFERENCE_TIME, HEVENT, DWORD_PTR*) override { return E_NOTIMPL; }
    STDMETHODIMP AdvisePeriodic(REFERENCE_TIME, REFERENCE_TIME, HSEMAPHORE, DWORD_PTR*) override { return E_NOTIMPL; }
    STDMETHODIMP Unadvise(DWORD_PTR) override { return E_NOTIMPL; }

    HRESULT m_hr = S_OK;
    REFERENCE_TIME m_tTime = 0;
};

// A stream configuration with one capability structure of m_nSize bytes per
// media type.
class CFakeStreamConfig : public CFakeBase, public IAMStreamConfig
{
public:
    FAKES_IUNKNOWN
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        ++m_cCalls;
        *ppv = NULL;
        if (IsEqualIID(riid, IID_IUnknown) || (IsEqualIID(riid, IID_IAMStreamConfig) && m_bOffered))
        {
            *ppv = static_cast<IAMStreamConfig*>(this);
            AddRef();
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    STDMETHODIMP SetFormat(AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    STDMETHODIMP GetFormat(AM_MEDIA_TYPE**) override { return E_NOTIMPL; }
    STDMETHODIMP GetNumberOfCapabilities(int* piCount, int* piSize) override
    {
        ++m_cCalls;
        *piCount = static_cast<int>(m_types.size());
        *piSize = m_nSize;
        return m_hrCount;
    }
    STDMETHODIMP GetStreamCaps(int i, AM_MEDIA_TYPE** ppmt, BYTE* pSCC) override
    {
        ++m_cCalls;
        ++m_cGetStreamCaps;
        *ppmt = NULL;
        if (i == m_nFailAt)
            return E_FAIL;
        *ppmt = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
        fakes::CopyMediaType(*ppmt, m_types[static_cast<size_t>(i)]);
        memcpy(pSCC, m_caps[static_cast<size_t>(i)].data(), m_caps[static_cast<size_t>(i)].size());
        return S_OK;
    }

    bool m_bOffered = true;
    HRESULT m_hrCount = S_OK;
    int m_nSize = 0;
    int m_nFailAt = -1;
    int m_cGetStreamCaps = 0;
    std::vector<AM_MEDIA_TYPE> m_types; // format blocks held by the test
    std::vector<std::vector<BYTE>> m_caps;
};

// Hands out copies of a list of media types; at index badAt it answers S_OK
// with nothing, at failAt it fails.
class CFakeMediaTypes : public CFakeBase, public IEnumMediaTypes
{
public:
    FAKES_IUNKNOWN
    STDMETHODIMP QueryInterface(REFIID, void** ppv) override
    {
        ++m_cCalls;
        *ppv = NULL;
        return E_NOINTERFACE;
    }
    STDMETHODIMP Next(ULONG, AM_MEDIA_TYPE** ppmt, ULONG* pcFetched) override
    {
        ++m_cCalls;
        ++m_cNext;
        *pcFetched = 0;
        ppmt[0] = NULL;
        const int i = m_nPos;
        if (i == m_nFailAt)
            return E_UNEXPECTED;
        if (i == m_nBadAt)
            return S_OK;
        if (i >= static_cast<int>(m_types.size()))
            return S_FALSE;
        ++m_nPos;
        ppmt[0] = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
        fakes::CopyMediaType(ppmt[0], m_types[static_cast<size_t>(i)]);
        *pcFetched = 1;
        return S_OK;
    }
    STDMETHODIMP Skip(ULONG) override { return E_NOTIMPL; }
    STDMETHODIMP Reset() override
    {
        ++m_cCalls;
        m_nPos = 0;
        return m_hrReset;
    }
    STDMETHODIMP Clone(IEnumMediaTypes**) override { return E_NOTIMPL; }

    std::vector<AM_MEDIA_TYPE> m_types;
    int m_nPos = 0;
    int m_nFailAt = -1;
    int m_nBadAt = -1;
    int m_cNext = 0;
    HRESULT m_hrReset = S_OK;
};

} // namespace dumps
