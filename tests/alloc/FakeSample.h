// A media sample whose answers a test chooses and whose setter calls it
// records, for the copiers and the snapshot. It lives on the stack: its
// reference count is only counted, never acted on.
#pragma once

#include "AllocTest.h"

#include <string>
#include <vector>

class CFakeSample : public IMediaSample2
{
public:
    ~CFakeSample() { MTDelete(m_pType); }

    // What the getters answer.
    HRESULT hrGetTime = VFW_E_SAMPLE_TIME_NOT_SET;
    REFERENCE_TIME tStart = 0, tStop = 0;
    HRESULT hrGetMediaTime = VFW_E_MEDIA_TIME_NOT_SET;
    LONGLONG mStart = 0, mStop = 0;
    HRESULT hrSyncPoint = S_FALSE, hrPreroll = S_FALSE, hrDiscontinuity = S_FALSE;
    bool bSample2 = true; // answers IMediaSample2
    HRESULT hrGetProperties = S_OK;
    DWORD cbDataAnswered = 0; // cbData written back by GetProperties; 0: the size asked
    DWORD dwTypeFlags = 0, dwStreamId = 0;
    HRESULT hrGetMediaType = S_FALSE;
    bool bNullType = false; // GetMediaType S_OK with NULL
    HRESULT hrGetPointer = S_OK;
    BYTE* pBuffer = NULL;
    LONG cbBuffer = 0;
    LONG lActual = 0;

    // What the setters answer; they store what they get only on S_OK.
    HRESULT hrSetTime = S_OK, hrSetMediaTime = S_OK, hrSetSyncPoint = S_OK, hrSetPreroll = S_OK,
            hrSetDiscontinuity = S_OK, hrSetMediaType = S_OK, hrSetActual = S_OK, hrSetProperties = S_OK;
    bool bStopGiven = false; // the last SetTime had a stop time
    BOOL bSyncPoint = FALSE, bPreroll = FALSE, bDiscontinuity = FALSE;
    AM_MEDIA_TYPE* m_pType = NULL; // the type set or answered

    // Every call, in order, by name.
    std::vector<std::string> calls;
    LONG nRef = 0;

    bool Called(const char* name) const
    {
        for (const auto& c : calls)
            if (c == name)
                return true;
        return false;
    }

    void SetType(const AM_MEDIA_TYPE* pmt)
    {
        MTDelete(m_pType);
        m_pType = MTDup(pmt);
        hrGetMediaType = S_OK;
    }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_IUnknown || riid == IID_IMediaSample || (bSample2 && riid == IID_IMediaSample2))
        {
            *ppv = static_cast<IMediaSample2*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = NULL;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++nRef; }
    STDMETHODIMP_(ULONG) Release() override { return --nRef; }

    STDMETHODIMP GetPointer(BYTE** pp) override
    {
        calls.push_back("GetPointer");
        *pp = pBuffer;
        return hrGetPointer;
    }
    STDMETHODIMP_(LONG) GetSize() override
    {
        calls.push_back("GetSize");
        return cbBuffer;
    }
    STDMETHODIMP GetTime(REFERENCE_TIME* p1, REFERENCE_TIME* p2) override
    {
        calls.push_back("GetTime");
        if (SUCCEEDED(hrGetTime))
        {
            *p1 = tStart;
            *p2 = tStop;
        }
        return hrGetTime;
    }
    STDMETHODIMP SetTime(REFERENCE_TIME* p1, REFERENCE_TIME* p2) override
    {
        calls.push_back("SetTime");
        if (S_OK == hrSetTime)
        {
            tStart = p1 ? *p1 : 0;
            tStop = p2 ? *p2 : 0;
            bStopGiven = p2 != NULL;
        }
        return hrSetTime;
    }
    STDMETHODIMP IsSyncPoint() override
    {
        calls.push_back("IsSyncPoint");
        return hrSyncPoint;
    }
    STDMETHODIMP SetSyncPoint(BOOL b) override
    {
        calls.push_back("SetSyncPoint");
        if (S_OK == hrSetSyncPoint)
            bSyncPoint = b;
        return hrSetSyncPoint;
    }
    STDMETHODIMP IsPreroll() override
    {
        calls.push_back("IsPreroll");
        return hrPreroll;
    }
    STDMETHODIMP SetPreroll(BOOL b) override
    {
        calls.push_back("SetPreroll");
        if (S_OK == hrSetPreroll)
            bPreroll = b;
        return hrSetPreroll;
    }
    STDMETHODIMP_(LONG) GetActualDataLength() override
    {
        calls.push_back("GetActualDataLength");
        return lActual;
    }
    STDMETHODIMP SetActualDataLength(LONG l) override
    {
        calls.push_back("SetActualDataLength");
        if (S_OK == hrSetActual)
            lActual = l;
        return hrSetActual;
    }
    STDMETHODIMP GetMediaType(AM_MEDIA_TYPE** pp) override
    {
        calls.push_back("GetMediaType");
        *pp = (S_OK == hrGetMediaType && !bNullType) ? MTDup(m_pType) : NULL;
        return hrGetMediaType;
    }
    STDMETHODIMP SetMediaType(AM_MEDIA_TYPE* pmt) override
    {
        calls.push_back("SetMediaType");
        if (S_OK == hrSetMediaType)
        {
            MTDelete(m_pType);
            m_pType = MTDup(pmt);
        }
        return hrSetMediaType;
    }
    STDMETHODIMP IsDiscontinuity() override
    {
        calls.push_back("IsDiscontinuity");
        return hrDiscontinuity;
    }
    STDMETHODIMP SetDiscontinuity(BOOL b) override
    {
        calls.push_back("SetDiscontinuity");
        if (S_OK == hrSetDiscontinuity)
            bDiscontinuity = b;
        return hrSetDiscontinuity;
    }
    STDMETHODIMP GetMediaTime(LONGLONG* p1, LONGLONG* p2) override
    {
        calls.push_back("GetMediaTime");
        if (SUCCEEDED(hrGetMediaTime))
        {
            *p1 = mStart;
            *p2 = mStop;
        }
        return hrGetMediaTime;
    }
    STDMETHODIMP SetMediaTime(LONGLONG* p1, LONGLONG* p2) override
    {
        calls.push_back("SetMediaTime");
        if (S_OK == hrSetMediaTime)
        {
            mStart = p1 ? *p1 : 0;
            mStop = p2 ? *p2 : 0;
        }
        return hrSetMediaTime;
    }
    STDMETHODIMP GetProperties(DWORD cb, BYTE* pb) override
    {
        calls.push_back("GetProperties");
        AM_SAMPLE2_PROPERTIES p = {};
        p.cbData = cbDataAnswered ? cbDataAnswered : cb;
        p.dwTypeSpecificFlags = dwTypeFlags;
        p.lActual = lActual;
        p.dwStreamId = dwStreamId;
        memcpy(pb, &p, cb < sizeof(p) ? cb : sizeof(p));
        return hrGetProperties;
    }
    STDMETHODIMP SetProperties(DWORD cb, const BYTE* pb) override
    {
        calls.push_back("SetProperties");
        AM_SAMPLE2_PROPERTIES p = {};
        memcpy(&p, pb, cb < sizeof(p) ? cb : sizeof(p));
        lastPropsSize = cb;
        if (S_OK == hrSetProperties)
        {
            if (cb >= 8)
                dwTypeFlags = p.dwTypeSpecificFlags;
            if (cb >= 36)
                dwStreamId = p.dwStreamId;
        }
        return hrSetProperties;
    }

    DWORD lastPropsSize = 0;
};
