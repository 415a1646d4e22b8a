// CSampleT: a snapshot of chosen properties of one sample.
#pragma once

#include "SampleCopiers.h"
#include "DSFunctions.h"
#include "DSTrace.h"
#include "DSTypes.h"

// ---------------------------------------------------------------------------
// CSampleT: a snapshot of chosen properties of one sample, saved onto
// another. The buffer is borrowed from the source sample, not copied: the
// source must be held until Save has run.

template <class TCopier>
class CSampleT : public TCopier
{
public:
    CSampleT() noexcept
        : m_wLoaded(0), m_tS(0), m_tE(0), m_llMS(0), m_llME(0), m_bSyncPoint(FALSE), m_bPreroll(FALSE),
          m_bDiscontinuity(FALSE), m_dwTypeSpecificFlags(0), m_pMediaType(NULL), m_lActual(0), m_pbBuf(NULL),
          m_cbBuf(0), m_dwStreamId(0)
    {
    }
    ~CSampleT() { MTDelete(m_pMediaType); }

    CSampleT(const CSampleT&) = delete;
    CSampleT& operator=(const CSampleT&) = delete;

    void Reset()
    {
        m_wLoaded = 0;
        m_tS = m_tE = 0;
        m_llMS = m_llME = 0;
        m_bSyncPoint = m_bPreroll = m_bDiscontinuity = FALSE;
        m_dwTypeSpecificFlags = 0;
        MTDelete(m_pMediaType);
        m_pMediaType = NULL;
        m_lActual = 0;
        m_pbBuf = NULL;
        m_cbBuf = 0;
        m_dwStreamId = 0;
    }

    // S_OK when every wanted property was obtained (with PM_ALL: at least
    // one), S_FALSE when only some were.
    HRESULT Load(IMediaSample* pSrc, WORD wMask)
    {
        if (!ASSERT(pSrc != NULL))
            return E_INVALIDARG;
        if (!ASSERT(wMask != 0))
            return E_INVALIDARG;
        Reset();
        WCHAR szA[50], szB[50];

        if (wMask & (PM_START | PM_STOP))
        {
            const HRESULT hr = pSrc->GetTime(&m_tS, &m_tE);
            if (S_OK == hr)
            {
                m_wLoaded |= wMask & (PM_START | PM_STOP);
                if (m_tE == m_tS)
                {
                    _LogTrace(atlTraceGeneral, eTL_Info, L"WARNING. CSampleT::Load(): GetTime(): m_tE==m_tS=%s\n",
                              ReferenceTimeToText(m_tS, szA));
                    m_tE = m_tS + 1;
                }
                else if (m_tS > m_tE)
                {
                    _LogTrace(atlTraceGeneral, eTL_Error,
                              L"###Err### CSampleT::Load(): GetTime(): m_tS > m_tE,  m_tS=%s  m_tE=%s\n",
                              ReferenceTimeToText(m_tS, szA), ReferenceTimeToText(m_tE, szB));
                    ASSERT_TEXT(false, "CSampleT::Load(): GetTime(): start time > end time ");
                    m_tE = m_tS + 1;
                }
            }
            else if (VFW_S_NO_STOP_TIME == hr)
                m_wLoaded |= wMask & PM_START;
            else
                _LogTrace(atlTraceGeneral, eTL_Verbose, L"WARNING. CSampleT::Load(): GetTime()=0x%X\n",
                          static_cast<unsigned>(hr));
        }

        if (wMask & PM_MEDIATIME)
        {
            const HRESULT hr = pSrc->GetMediaTime(&m_llMS, &m_llME);
            if (S_OK == hr)
            {
                m_wLoaded |= PM_MEDIATIME;
                if (m_llME == m_llMS)
                    _LogTrace(atlTraceGeneral, eTL_Info,
                              L"WARNING. CSampleT::Load(): GetMediaTime(): m_llME==m_llMS=%s\n",
                              LongLongToText(m_llMS, szA));
                else if (m_llMS > m_llME)
                    _LogTrace(atlTraceGeneral, eTL_Error,
                              L"###Err### CSampleT::Load(): GetMediaTime(): m_llMS > m_llME, m_llMS=%s m_llME=%s\n",
                              LongLongToText(m_llMS, szA), LongLongToText(m_llME, szB));
            }
            else
                _LogTrace(atlTraceGeneral, eTL_Verbose, L"WARNING. CSampleT::Load(): GetMediaTime()=0x%X\n",
                          static_cast<unsigned>(hr));
        }

        HRESULT hr = S_OK;
        for (const FlagProperty& f : s_rgFlags)
        {
            if (!(wMask & f.wBit))
                continue;
            hr = (pSrc->*f.pfnIs)();
            if (S_OK != hr && S_FALSE != hr)
            {
                _LogTrace(atlTraceGeneral, eTL_Error, L"###Err### CSampleT::Load(): %s()=0x%X\n", f.pszIs,
                          static_cast<unsigned>(hr));
                ASSERT_TEXT(false, f.pszLoadFailed);
                return FAILED(hr) ? hr : E_FAIL;
            }
            this->*f.pbFlag = (S_OK == hr);
            m_wLoaded |= f.wBit;
        }

        if (wMask & (PM_TYPEFLAGS | PM_STREAMID))
        {
            CComQIPtr<IMediaSample2> spMS2(static_cast<IUnknown*>(pSrc));
            if (spMS2)
            {
                AM_SAMPLE2_PROPERTIES rgProps;
                ZeroMemory(&rgProps, sizeof(rgProps));
                const DWORD cbData = PropsSize(wMask);
                rgProps.cbData = cbData;
                hr = spMS2->GetProperties(cbData, reinterpret_cast<BYTE*>(&rgProps));
                if (S_OK != hr || rgProps.cbData < cbData)
                {
                    _LogTrace(
                        atlTraceGeneral, eTL_Error,
                        L"###Err### CSampleT::Load(): spMS2->GetProperties()=0x%X, cbData=%u, rgProps.cbData=%u\n",
                        static_cast<unsigned>(hr), static_cast<unsigned>(cbData),
                        static_cast<unsigned>(rgProps.cbData));
                    ASSERT_TEXT(false, "CSampleT::Load(): spMS2->GetProperties() FAILED");
                    return FAILED(hr) ? hr : E_FAIL;
                }
                if (wMask & PM_TYPEFLAGS)
                {
                    m_dwTypeSpecificFlags = rgProps.dwTypeSpecificFlags;
                    m_wLoaded |= PM_TYPEFLAGS;
                }
                if (wMask & PM_STREAMID)
                {
                    m_dwStreamId = rgProps.dwStreamId;
                    m_wLoaded |= PM_STREAMID;
                }
            }
        }

        if (wMask & PM_MEDIATYPE)
        {
            AM_MEDIA_TYPE* pmt = NULL;
            hr = pSrc->GetMediaType(&pmt);
            if (S_OK == hr)
            {
                if (NULL == pmt)
                {
                    _LogTrace(atlTraceGeneral, eTL_Error,
                              L"###Err### CSampleT::Load(): GetMediaType()=S_OK, pMT=NULL\n");
                    ASSERT_TEXT(false, "CSampleT::Load(): GetMediaType()=S_OK, pMT=NULL");
                    return E_FAIL;
                }
                m_pMediaType = pmt;
                m_wLoaded |= PM_MEDIATYPE;
            }
        }

        const LONG lActual = (wMask & (PM_BUFFER | PM_ACTLEN)) ? pSrc->GetActualDataLength() : 0;

        if (wMask & PM_BUFFER)
        {
            BYTE* pb = NULL;
            hr = pSrc->GetPointer(&pb);
            if (S_OK == hr && NULL != pb)
            {
                const LONG cb = pSrc->GetSize();
                if (cb <= 0)
                    _LogTrace(atlTraceGeneral, eTL_Error,
                              L"###Err### CSampleT::Load(): GetPointer()/GetSize(), pbBuf=0x%X, cbBuf==0\n",
                              TraceAddress(pb));
                else
                {
                    m_pbBuf = pb;
                    m_cbBuf = cb;
                    m_wLoaded |= PM_BUFFER;
                }
            }
            else if (S_OK != hr)
                _LogTrace(atlTraceGeneral, eTL_Error, L"###Err### CSampleT::Load(): GetPointer()=0x%X\n",
                          static_cast<unsigned>(hr));
            else if (0 != lActual)
                _LogTrace(atlTraceGeneral, eTL_Error, L"###Err### CSampleT::Load(): GetPointer()=S_OK, pbBuf==NULL\n");
        }

        if (wMask & PM_ACTLEN)
        {
            // A negative length is refused like one beyond the buffer: it
            // would reach the copier as a huge count.
            if (lActual < 0 || ((m_wLoaded & PM_BUFFER) && lActual > m_cbBuf))
            {
                _LogTrace(atlTraceGeneral, eTL_Error,
                          L"###Err### CSampleT::Load(): GetActualDataLength()=%i, cbBuf=%i\n",
                          static_cast<int>(lActual), static_cast<int>(m_cbBuf));
                ASSERT_TEXT(false, "CSampleT::Load(): GetActualDataLength() > buffer size");
                return E_FAIL;
            }
            m_lActual = lActual;
            m_wLoaded |= PM_ACTLEN;
        }

        if (0 == m_wLoaded)
        {
            _LogTrace(atlTraceGeneral, eTL_Error, L"###Err### CSampleT::Load(): Can't load wanted (0x%x) properties\n",
                      static_cast<unsigned>(wMask));
            return E_FAIL;
        }
        if (wMask < PM_ALL && wMask != m_wLoaded)
        {
            _LogTrace(atlTraceGeneral, eTL_Verbose,
                      L"CSampleT::Load(): Not all wanted properties was loaded: wanted 0x%X, loaded 0x%X\n",
                      static_cast<unsigned>(wMask), static_cast<unsigned>(m_wLoaded));
            return S_FALSE;
        }
        return S_OK;
    }

    // Writes the loaded properties of wMask to pDst. Steps already done stay
    // done when a later one fails.
    HRESULT Save(IMediaSample* pDst, WORD wMask)
    {
        if (!ASSERT(pDst != NULL))
            return E_INVALIDARG;
        const WORD wEff = wMask & m_wLoaded;
        if (0 == wEff)
        {
            if (0 == m_wLoaded)
            {
                _LogTrace(atlTraceGeneral, eTL_Error, L"###Err### CSampleT::Save(): sample not loaded yet\n");
                ASSERT_TEXT(false, "CSampleT::Save(): sample not loaded yet");
                return E_FAIL;
            }
            _LogTrace(atlTraceGeneral, eTL_Info,
                      L"CSampleT::Save(): Can't save wanted properties: wanted 0x%X, exist 0x%X\n",
                      static_cast<unsigned>(wMask), static_cast<unsigned>(m_wLoaded));
            return S_FALSE;
        }

        HRESULT hr = S_OK;
        if (wEff & (PM_TYPEFLAGS | PM_STREAMID))
        {
            CComQIPtr<IMediaSample2> spMS2(static_cast<IUnknown*>(pDst));
            if (!spMS2)
            {
                _LogTrace(atlTraceGeneral, eTL_Error, L"###Err### CSampleT::Save(): QI( IMediaSample2 ) FAILED\n");
                ASSERT_TEXT(false, "CSampleT::Save(): QI( IMediaSample2 ) FAILED");
                return E_NOINTERFACE;
            }
            AM_SAMPLE2_PROPERTIES rgProps;
            ZeroMemory(&rgProps, sizeof(rgProps));
            const DWORD cbData = PropsSize(wEff);
            rgProps.cbData = cbData;
            hr = spMS2->GetProperties(cbData, reinterpret_cast<BYTE*>(&rgProps));
            if (S_OK != hr)
            {
                _LogTrace(atlTraceGeneral, eTL_Error, L"###Err### CSampleT::Save(): spMS2->GetProperties()=0x%X\n",
                          static_cast<unsigned>(hr));
                ASSERT_TEXT(false, "CSampleT::Save(): spMS2->GetProperties() FAILED");
                return FAILED(hr) ? hr : E_FAIL;
            }
            if (wEff & PM_TYPEFLAGS)
                rgProps.dwTypeSpecificFlags = m_dwTypeSpecificFlags;
            if (wEff & PM_STREAMID)
                rgProps.dwStreamId = m_dwStreamId;
            rgProps.cbData = cbData;
            hr = spMS2->SetProperties(cbData, reinterpret_cast<const BYTE*>(&rgProps));
            if (S_OK != hr)
            {
                _LogTrace(atlTraceGeneral, eTL_Error, L"###Err### CSampleT::Save(): spMS2->SetProperties()=0x%X\n",
                          static_cast<unsigned>(hr));
                ASSERT_TEXT(false, "CSampleT::Save(): spMS2->SetProperties() FAILED");
                return FAILED(hr) ? hr : E_FAIL;
            }
        }
        if (wEff & PM_START)
        {
            hr = pDst->SetTime(&m_tS, (wEff & PM_STOP) ? &m_tE : NULL);
            if (S_OK != hr)
                return SetterFailed(hr, L"SetTime", "CSampleT::Save(): SetTime() FAILED");
        }
        if (wEff & PM_MEDIATIME)
        {
            hr = pDst->SetMediaTime(&m_llMS, &m_llME);
            if (S_OK != hr)
                return SetterFailed(hr, L"SetMediaTime", "CSampleT::Save(): SetMediaTime() FAILED");
        }
        for (const FlagProperty& f : s_rgFlags)
        {
            if (!(wEff & f.wBit))
                continue;
            hr = (pDst->*f.pfnSet)(this->*f.pbFlag);
            if (S_OK != hr)
                return SetterFailed(hr, f.pszSet, f.pszSaveFailed);
        }
        if (wEff & PM_MEDIATYPE)
        {
            hr = pDst->SetMediaType(m_pMediaType);
            if (S_OK != hr)
                return SetterFailed(hr, L"SetMediaType", "CSampleT::Save(): SetMediaType() FAILED");
        }
        if (wEff & (PM_BUFFER | PM_ACTLEN))
            return this->CopyBuffer(pDst, m_pbBuf, m_cbBuf, m_lActual, wEff);
        return S_OK;
    }

    HRESULT Copy(IMediaSample* pDst, IMediaSample* pSrc, WORD wMask)
    {
        const HRESULT hrLoad = Load(pSrc, wMask);
        if (FAILED(hrLoad))
            return hrLoad;
        const HRESULT hrSave = Save(pDst, wMask & m_wLoaded);
        if (FAILED(hrSave))
            return hrSave;
        return S_OK != hrLoad ? hrLoad : hrSave;
    }

    BOOL IsLoaded(WORD wMask) const { return 0 != wMask && (m_wLoaded & wMask) == wMask; }

    WORD m_wLoaded;
    REFERENCE_TIME m_tS;
    REFERENCE_TIME m_tE;
    LONGLONG m_llMS;
    LONGLONG m_llME;
    BOOL m_bSyncPoint;
    BOOL m_bPreroll;
    BOOL m_bDiscontinuity;
    DWORD m_dwTypeSpecificFlags;
    AM_MEDIA_TYPE* m_pMediaType;
    LONG m_lActual;
    BYTE* m_pbBuf;
    LONG m_cbBuf;
    DWORD m_dwStreamId;

private:
    // AM_SAMPLE2_PROPERTIES up to dwStreamId when the stream id takes part,
    // else up to dwTypeSpecificFlags.
    static DWORD PropsSize(WORD wMask)
    {
        return (wMask & PM_STREAMID)
                   ? static_cast<DWORD>(offsetof(AM_SAMPLE2_PROPERTIES, dwStreamId) + sizeof(DWORD))
                   : static_cast<DWORD>(offsetof(AM_SAMPLE2_PROPERTIES, dwTypeSpecificFlags) + sizeof(DWORD));
    }

    // The three flags, read and written the same way.
    struct FlagProperty
    {
        WORD wBit;
        HRESULT (STDMETHODCALLTYPE IMediaSample::*pfnIs)();
        HRESULT (STDMETHODCALLTYPE IMediaSample::*pfnSet)(BOOL);
        BOOL CSampleT::*pbFlag;
        LPCWSTR pszIs;
        LPCWSTR pszSet;
        const char* pszLoadFailed;
        const char* pszSaveFailed;
    };
    static inline const FlagProperty s_rgFlags[] = {
        { PM_SYNCPOINT, &IMediaSample::IsSyncPoint, &IMediaSample::SetSyncPoint, &CSampleT::m_bSyncPoint,
          L"IsSyncPoint", L"SetSyncPoint", "CSampleT::Load(): IsSyncPoint() FAILED",
          "CSampleT::Save(): SetSyncPoint() FAILED" },
        { PM_PREROLL, &IMediaSample::IsPreroll, &IMediaSample::SetPreroll, &CSampleT::m_bPreroll, L"IsPreroll",
          L"SetPreroll", "CSampleT::Load(): IsPreroll() FAILED", "CSampleT::Save(): SetPreroll() FAILED" },
        { PM_DISCONTINUITY, &IMediaSample::IsDiscontinuity, &IMediaSample::SetDiscontinuity,
          &CSampleT::m_bDiscontinuity, L"IsDiscontinuity", L"SetDiscontinuity",
          "CSampleT::Load(): IsDiscontinuity() FAILED", "CSampleT::Save(): SetDiscontinuity() FAILED" },
    };

    // A setter that did not answer S_OK: the error line and the assertion;
    // its failure code, or E_FAIL for a success code, ends the save.
    static HRESULT SetterFailed(HRESULT hr, LPCWSTR pszSetter, const char* pszAssert)
    {
        _LogTrace(atlTraceGeneral, eTL_Error, L"###Err### CSampleT::Save(): %s()=0x%X\n", pszSetter,
                  static_cast<unsigned>(hr));
        ASSERT_TEXT(false, pszAssert);
        return FAILED(hr) ? hr : E_FAIL;
    }
};
