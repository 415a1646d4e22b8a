// The media sample: its properties with the IMediaSample2 operations, and the
// sample object that lives in an allocator's slot.
#pragma once

#include "AllocatorPools.h"
#include "DSFunctions.h"
#include "DSTrace.h"
#include "DSTypes.h"
#include "text/StructureDumps.h"
#include "text/TraceText.h"

#include <atlbase.h>
#include <atlcom.h>
#include <stddef.h>
#include <string.h>

// ---------------------------------------------------------------------------
// The media sample.

// Sample flags; 0x20 marks valid media times and is never reported.
const DWORD SAMPLE_MEDIATIMEVALID = 0x20;
const DWORD SAMPLE_FLAGS_SETTABLE = 0x1DF;

static_assert(sizeof(AM_SAMPLE2_PROPERTIES) == 64, "AM_SAMPLE2_PROPERTIES");
static_assert(offsetof(AM_SAMPLE2_PROPERTIES, cbBuffer) == 56, "AM_SAMPLE2_PROPERTIES::cbBuffer");

// Bytes of AM_SAMPLE2_PROPERTIES up to the end of a field: a field takes part
// in SetProperties only when the caller's size covers it whole.
#define Covers(field) static_cast<DWORD>(offsetof(AM_SAMPLE2_PROPERTIES, field) + sizeof(AM_SAMPLE2_PROPERTIES::field))

// The properties of a sample and the IMediaSample2 operations over them.
class IMediaSample2Wrapper : public IMediaSample2
{
public:
    IMediaSample2Wrapper() noexcept
        : m_pBuffer(NULL), m_cbBuffer(0), m_lActual(0), m_dwFlags(0), m_dwTypeSpecificFlags(0), m_pMediaType(NULL),
          m_tStart(0), m_tStop(0), m_llMediaStart(0), m_llMediaStop(0), m_dwStreamId(0)
    {
    }
    ~IMediaSample2Wrapper() { FreeMediaType(); }

    // Both set, or both empty.
    void SetBuffer(BYTE* pBuffer, LONG cbBuffer)
    {
        ASSERT((pBuffer != NULL) == (cbBuffer != 0));
        m_pBuffer = pBuffer;
        m_cbBuffer = cbBuffer;
    }

    STDMETHOD(GetPointer)(BYTE** ppBuffer) override
    {
        _LogTrace(atlTraceCOM, eTL_Detail, L"%s: IMediaSample::GetPointer(): pBuffer=0x%X\n", GetTraceName(),
                  TraceAddress(m_pBuffer));
        if (!ASSERT(ppBuffer != NULL))
            return E_POINTER;
        *ppBuffer = m_pBuffer;
        if (!ASSERT(m_pBuffer != NULL))
            return E_FAIL;
        return S_OK;
    }

    STDMETHOD_(LONG, GetSize)() override
    {
        _LogTrace(atlTraceCOM, eTL_Detail, L"%s: IMediaSample::GetSize(): cbBuffer=%u (0x%X)\n", GetTraceName(),
                  static_cast<unsigned>(m_cbBuffer), static_cast<unsigned>(m_cbBuffer));
        return m_cbBuffer;
    }

    STDMETHOD(GetTime)(REFERENCE_TIME* pTimeStart, REFERENCE_TIME* pTimeEnd) override
    {
        if (TraceLevelPasses(eTL_Detail))
        {
            WCHAR szS[50], szE[50];
            _LogTrace(atlTraceCOM, eTL_Detail, L"%s: IMediaSample::GetTime(), tS=%s  tE=%s\n", GetTraceName(),
                      TimeText(m_tStart, m_dwFlags & AM_SAMPLE_TIMEVALID, szS),
                      TimeText(m_tStop, m_dwFlags & AM_SAMPLE_STOPVALID, szE));
        }
        if (NULL == pTimeStart || NULL == pTimeEnd)
            return E_INVALIDARG;
        if (m_dwFlags & AM_SAMPLE_STOPVALID)
        {
            *pTimeStart = m_tStart;
            *pTimeEnd = m_tStop;
            return S_OK;
        }
        if (m_dwFlags & AM_SAMPLE_TIMEVALID)
        {
            *pTimeStart = m_tStart;
            *pTimeEnd = m_tStart + 1;
            return VFW_S_NO_STOP_TIME;
        }
        return VFW_E_SAMPLE_TIME_NOT_SET;
    }

    STDMETHOD(SetTime)(REFERENCE_TIME* pTimeStart, REFERENCE_TIME* pTimeEnd) override
    {
        if (TraceLevelPasses(eTL_Detail))
        {
            WCHAR szS[50], szE[50];
            _LogTrace(atlTraceCOM, eTL_Detail, L"%s IMediaSample::SetTime( tS=%s  tE=%s )\n", GetTraceName(),
                      TimeText(pTimeStart ? *pTimeStart : 0, pTimeStart != NULL, szS),
                      TimeText(pTimeEnd ? *pTimeEnd : 0, pTimeEnd != NULL, szE));
        }
        if (NULL == pTimeStart)
        {
            ASSERT(pTimeEnd == NULL);
            m_dwFlags &= ~(AM_SAMPLE_TIMEVALID | AM_SAMPLE_STOPVALID);
            m_tStart = m_tStop = 0;
            return S_OK;
        }
        if (NULL != pTimeEnd)
        {
            if (*pTimeEnd < *pTimeStart)
            {
                WCHAR szS[50], szE[50];
                _LogTrace(atlTraceGeneral, eTL_Error, L"###Err### %s IMediaSample::SetTime( tS=%s, tE=%s )\n",
                          GetTraceName(), ReferenceTimeToText(*pTimeStart, szS), ReferenceTimeToText(*pTimeEnd, szE));
                return E_INVALIDARG;
            }
            m_tStop = *pTimeEnd;
            m_dwFlags |= AM_SAMPLE_STOPVALID;
        }
        else
        {
            m_dwFlags &= ~AM_SAMPLE_STOPVALID;
            m_tStop = 0;
        }
        m_tStart = *pTimeStart;
        m_dwFlags |= AM_SAMPLE_TIMEVALID;
        return S_OK;
    }

    STDMETHOD(IsSyncPoint)() override
    {
        return IsFlag(AM_SAMPLE_SPLICEPOINT, L"%s: IMediaSample::IsSyncPoint(): %s\n");
    }
    STDMETHOD(SetSyncPoint)(BOOL bIsSyncPoint) override
    {
        return SetFlag(AM_SAMPLE_SPLICEPOINT, bIsSyncPoint, L"%s: IMediaSample::SetSyncPoint( %s )\n");
    }
    STDMETHOD(IsPreroll)() override { return IsFlag(AM_SAMPLE_PREROLL, L"%s: IMediaSample::IsPreroll(): %s\n"); }
    STDMETHOD(SetPreroll)(BOOL bIsPreroll) override
    {
        return SetFlag(AM_SAMPLE_PREROLL, bIsPreroll, L"%s: IMediaSample::SetPreroll( %s )\n");
    }

    STDMETHOD_(LONG, GetActualDataLength)() override
    {
        _LogTrace(atlTraceCOM, eTL_Detail, L"%s: IMediaSample::GetActualDataLength(): cbActual=%u\n", GetTraceName(),
                  static_cast<unsigned>(m_lActual));
        return m_lActual;
    }

    // A length outside 0 .. buffer size is refused: a negative one would
    // reach memory copies as a huge count.
    STDMETHOD(SetActualDataLength)(LONG lLen) override
    {
        _LogTrace(atlTraceCOM, eTL_Verbose, L"%s: IMediaSample::SetActualDataLength( %u )\n", GetTraceName(),
                  static_cast<unsigned>(lLen));
        if (lLen > m_cbBuffer || lLen < 0)
        {
            ASSERT_TEXT(false, "Actual sample's data length greater then buffer size");
            return VFW_E_BUFFER_OVERFLOW;
        }
        m_lActual = lLen;
        return S_OK;
    }

    STDMETHOD(GetMediaType)(AM_MEDIA_TYPE** ppMediaType) override
    {
        _LogTrace(atlTraceCOM, eTL_Detail, L"%s: IMediaSample::GetMediaType()\n", GetTraceName());
        if (!ASSERT(ppMediaType != NULL))
            return E_POINTER;
        *ppMediaType = NULL;
        if (!(m_dwFlags & AM_SAMPLE_TYPECHANGED))
            return S_FALSE;
        *ppMediaType = MTDup(m_pMediaType);
        return NULL != *ppMediaType ? S_OK : E_OUTOFMEMORY;
    }

    // The new type is copied before the held one is freed, so that the
    // pointer this sample handed out (GetProperties) may be passed back.
    STDMETHOD(SetMediaType)(AM_MEDIA_TYPE* pMediaType) override
    {
        if (NULL != pMediaType)
        {
            _LogTrace(atlTraceCOM, eTL_Info, L"%s: IMediaSample::SetMediaType()\n", GetTraceName());
            Debug_MediaType(atlTraceGeneral, eTL_Info, pMediaType);
        }
        else if (NULL != m_pMediaType)
            _LogTrace(atlTraceCOM, eTL_Info, L"%s: IMediaSample::SetMediaType( NULL )\n", GetTraceName());
        AM_MEDIA_TYPE* pNew = NULL;
        if (NULL != pMediaType)
            pNew = MTDup(pMediaType);
        FreeMediaType();
        if (NULL == pMediaType)
            return S_OK;
        if (NULL == pNew)
            return E_OUTOFMEMORY;
        m_pMediaType = pNew;
        m_dwFlags |= AM_SAMPLE_TYPECHANGED;
        return S_OK;
    }

    STDMETHOD(IsDiscontinuity)() override
    {
        return IsFlag(AM_SAMPLE_DATADISCONTINUITY, L"%s: IMediaSample::IsDiscontinuity(): %s\n");
    }
    STDMETHOD(SetDiscontinuity)(BOOL bDiscontinuity) override
    {
        return SetFlag(AM_SAMPLE_DATADISCONTINUITY, bDiscontinuity, L"%s: IMediaSample::SetDiscontinuity( %s )\n");
    }

    STDMETHOD(GetMediaTime)(LONGLONG* pTimeStart, LONGLONG* pTimeEnd) override
    {
        const bool bValid = (m_dwFlags & SAMPLE_MEDIATIMEVALID) != 0;
        _LogTrace(atlTraceCOM, eTL_Detail, L"%s: IMediaSample::GetMediaTime(): mS=%I64i  mE=%I64i\n", GetTraceName(),
                  bValid ? m_llMediaStart : 0LL, bValid ? m_llMediaStop : 0LL);
        if (NULL == pTimeStart || NULL == pTimeEnd)
            return E_INVALIDARG;
        if (!bValid)
        {
            *pTimeStart = 0;
            *pTimeEnd = 0;
            return VFW_E_MEDIA_TIME_NOT_SET;
        }
        *pTimeStart = m_llMediaStart;
        *pTimeEnd = m_llMediaStop;
        return S_OK;
    }

    STDMETHOD(SetMediaTime)(LONGLONG* pTimeStart, LONGLONG* pTimeEnd) override
    {
        _LogTrace(atlTraceCOM, eTL_Detail, L"%s: IMediaSample::SetMediaTime( mS=%I64i  mE=%I64i )\n", GetTraceName(),
                  pTimeStart ? *pTimeStart : 0LL, pTimeEnd ? *pTimeEnd : 0LL);
        if (NULL == pTimeStart)
        {
            ASSERT(pTimeEnd == NULL);
            m_dwFlags &= ~SAMPLE_MEDIATIMEVALID;
            m_llMediaStart = m_llMediaStop = 0;
            return S_OK;
        }
        if (!ASSERT(pTimeEnd != NULL))
            return E_INVALIDARG;
        if (*pTimeEnd < *pTimeStart)
        {
            WCHAR szE[50], szS[50];
            _LogTrace(atlTraceGeneral, eTL_Error, L"###Err### %s SetMediaTime(): *pTimeEnd=%s < *pTimeStart=%s\n",
                      GetTraceName(), LongLongToText(*pTimeEnd, szE), LongLongToText(*pTimeStart, szS));
        }
        else if (*pTimeEnd == *pTimeStart)
        {
            WCHAR szS[50];
            _LogTrace(atlTraceGeneral, eTL_Info, L"WARNING. %s SetMediaTime(): *pTimeEnd == *pTimeStart = %s\n",
                      GetTraceName(), LongLongToText(*pTimeStart, szS));
        }
        m_llMediaStart = *pTimeStart;
        m_llMediaStop = *pTimeEnd;
        m_dwFlags |= SAMPLE_MEDIATIMEVALID;
        return S_OK;
    }

    STDMETHOD(GetProperties)(DWORD cbProperties, BYTE* pbProperties) override
    {
        _LogTrace(atlTraceCOM, eTL_Detail, L"%s: IMediaSample2::GetProperties( cbProps=%u )\n", GetTraceName(),
                  static_cast<unsigned>(cbProperties));
        if (0 == cbProperties)
            return S_OK;
        if (!ASSERT(pbProperties != NULL))
            return E_POINTER;
        AM_SAMPLE2_PROPERTIES props;
        ZeroMemory(&props, sizeof(props));
        const DWORD cb = cbProperties < sizeof(props) ? cbProperties : static_cast<DWORD>(sizeof(props));
        props.cbData = cb;
        props.dwTypeSpecificFlags = m_dwTypeSpecificFlags;
        props.dwSampleFlags = m_dwFlags & ~SAMPLE_MEDIATIMEVALID;
        props.lActual = m_lActual;
        props.tStart = m_tStart;
        props.tStop = m_tStop;
        props.dwStreamId = m_dwStreamId;
        props.pMediaType = (m_dwFlags & AM_SAMPLE_TYPECHANGED) ? m_pMediaType : NULL;
        props.pbBuffer = m_pBuffer;
        props.cbBuffer = m_cbBuffer;
        memcpy(pbProperties, &props, cb);
        return S_OK;
    }

    STDMETHOD(SetProperties)(DWORD cbProperties, const BYTE* pbProperties) override
    {
        _LogTrace(atlTraceCOM, eTL_Detail, L"%s IMediaSample2::SetProperties( cbProps=%u, pbProps=0x%X )\n",
                  GetTraceName(), static_cast<unsigned>(cbProperties), TraceAddress(pbProperties));
        if (cbProperties < Covers(dwTypeSpecificFlags))
            return S_OK;
        if (!ASSERT(pbProperties != NULL))
            return E_POINTER;
        AM_SAMPLE2_PROPERTIES P;
        ZeroMemory(&P, sizeof(P));
        // Only the bytes the caller vouches for are read.
        memcpy(&P, pbProperties, cbProperties < sizeof(P) ? cbProperties : sizeof(P));
        DWORD cb = cbProperties;
        if (P.cbData < cb)
            cb = P.cbData;
        if (cb > sizeof(AM_SAMPLE2_PROPERTIES))
            return E_INVALIDARG;

        DWORD dwNewFlags = m_dwFlags & ~SAMPLE_MEDIATIMEVALID;
        if (cb >= Covers(dwSampleFlags))
        {
            if (P.dwSampleFlags & ~SAMPLE_FLAGS_SETTABLE)
                return E_INVALIDARG;
            if (cb < Covers(tStop) && (P.dwSampleFlags & AM_SAMPLE_TIMEVALID) && !(m_dwFlags & AM_SAMPLE_STOPVALID))
                return E_INVALIDARG;
            dwNewFlags = P.dwSampleFlags;
        }
        if (cb >= Covers(pbBuffer) && P.pbBuffer != NULL && P.pbBuffer != m_pBuffer)
            return E_INVALIDARG;
        if (cb >= Covers(cbBuffer))
        {
            if (P.cbBuffer != 0 && P.cbBuffer != m_cbBuffer)
                return E_INVALIDARG;
            if (P.cbBuffer < P.lActual)
                return E_INVALIDARG;
        }
        // The actual length must fit the buffer, whatever else is covered.
        if (cb >= Covers(lActual) && (P.lActual < 0 || P.lActual > m_cbBuffer))
            return E_INVALIDARG;

        AM_MEDIA_TYPE* pNewType = NULL;
        if (cb >= Covers(pMediaType))
        {
            if (dwNewFlags & AM_SAMPLE_TYPECHANGED)
            {
                if (NULL == P.pMediaType)
                    return E_POINTER;
                _LogTrace(atlTraceGeneral, eTL_Info, L"%s IMediaSample2::SetProperties - change media type\n",
                          GetTraceName());
                pNewType = MTDup(P.pMediaType);
                if (NULL == pNewType)
                    return E_OUTOFMEMORY;
            }
            else
            {
                ASSERT_TEXT(P.pMediaType == NULL, "pProps->pMediaType == NULL");
                FreeMediaType();
            }
        }
        else
        {
            dwNewFlags &= ~AM_SAMPLE_TYPECHANGED;
            if (NULL != m_pMediaType && (cb < Covers(dwSampleFlags) || (P.dwSampleFlags & AM_SAMPLE_TYPECHANGED)))
                dwNewFlags |= AM_SAMPLE_TYPECHANGED;
        }

        if (cb >= Covers(dwTypeSpecificFlags))
            m_dwTypeSpecificFlags = P.dwTypeSpecificFlags;
        if (cb >= Covers(dwSampleFlags))
            m_dwFlags = dwNewFlags | (m_dwFlags & SAMPLE_MEDIATIMEVALID);
        if (cb >= Covers(lActual))
            m_lActual = P.lActual;
        if (cb >= Covers(tStart))
            m_tStart = P.tStart;
        if (cb >= Covers(tStop))
            m_tStop = P.tStop;
        if (cb >= Covers(dwStreamId))
            m_dwStreamId = P.dwStreamId;
        if (NULL != pNewType)
        {
            FreeMediaType();
            m_pMediaType = pNewType;
            m_dwFlags |= AM_SAMPLE_TYPECHANGED;
        }
        if (!(m_dwFlags & AM_SAMPLE_TYPECHANGED))
            FreeMediaType();
        else if (NULL == m_pMediaType)
            m_dwFlags &= ~AM_SAMPLE_TYPECHANGED;

        if (TraceLevelPasses(eTL_Detail))
            TraceProperties(cb, P);
        return S_OK;
    }

    virtual LPCWSTR GetTraceName() = 0;

    BYTE* m_pBuffer;
    LONG m_cbBuffer;
    LONG m_lActual;
    DWORD m_dwFlags;
    DWORD m_dwTypeSpecificFlags;
    AM_MEDIA_TYPE* m_pMediaType;
    REFERENCE_TIME m_tStart;
    REFERENCE_TIME m_tStop;
    LONGLONG m_llMediaStart;
    LONGLONG m_llMediaStop;
    DWORD m_dwStreamId;

protected:
    void FreeMediaType()
    {
        AM_MEDIA_TYPE* p = m_pMediaType;
        m_pMediaType = NULL;
        m_dwFlags &= ~AM_SAMPLE_TYPECHANGED;
        MTDelete(p);
    }

    HRESULT IsFlag(DWORD dwFlag, LPCWSTR pszFormat)
    {
        const bool bSet = (m_dwFlags & dwFlag) != 0;
        _LogTrace(atlTraceCOM, eTL_Detail, pszFormat, GetTraceName(), bSet ? L"TRUE" : L"FALSE");
        return bSet ? S_OK : S_FALSE;
    }

    HRESULT SetFlag(DWORD dwFlag, BOOL bSet, LPCWSTR pszFormat)
    {
        _LogTrace(atlTraceCOM, eTL_Verbose, pszFormat, GetTraceName(), bSet ? L"TRUE" : L"FALSE");
        if (bSet)
            m_dwFlags |= dwFlag;
        else
            m_dwFlags &= ~dwFlag;
        return S_OK;
    }

    static LPWSTR TimeText(REFERENCE_TIME t, bool bValid, WCHAR* psz)
    {
        if (bValid)
            return ReferenceTimeToText(t, psz);
        wcscpy_s(psz, 4, L"???");
        return psz;
    }

    void TraceProperties(DWORD cb, const AM_SAMPLE2_PROPERTIES& P)
    {
        WCHAR sz[400];
        WCHAR szT[50];
        size_t cch = 0;
        sz[0] = 0;
        auto add = [&](LPCWSTR pszFormat, auto... args) {
            if (cch < _countof(sz) - 1)
            {
                _snwprintf_s(sz + cch, _countof(sz) - cch, _TRUNCATE, pszFormat, args...);
                cch += wcslen(sz + cch);
            }
        };
        if (cb >= Covers(dwTypeSpecificFlags))
            add(L"TypeFlags=0x%X", static_cast<unsigned>(P.dwTypeSpecificFlags));
        if (cb >= Covers(dwSampleFlags))
            add(L", SampleFlags=0x%X", static_cast<unsigned>(P.dwSampleFlags));
        if (cb >= Covers(lActual))
            add(L", cbActual=0x%X", static_cast<unsigned>(P.lActual));
        if (cb >= Covers(tStart))
            add(L", tS=%s", ReferenceTimeToText(P.tStart, szT));
        if (cb >= Covers(tStop))
            add(L", tE=%s", ReferenceTimeToText(P.tStop, szT));
        if (cb >= Covers(dwStreamId))
            add(L", StreamId=0x%X", static_cast<unsigned>(P.dwStreamId));
        _LogTrace(atlTraceCOM, eTL_Detail, L"Properties: %s\n", sz);
        if (cb >= Covers(pMediaType))
            Debug_MediaType(atlTraceGeneral, eTL_Detail, P.pMediaType);
    }
#undef Covers
};

class CMediaSample : public CComObjectRootEx<CComMultiThreadModel>,
                     public CComCoClass<CMediaSample, &GUID_NULL>,
                     public IMediaSample2Wrapper
{
public:
    BEGIN_COM_MAP(CMediaSample)
        COM_INTERFACE_ENTRY(IMediaSample)
        COM_INTERFACE_ENTRY(IMediaSample2)
    END_COM_MAP()

    HRESULT FinalConstruct()
    {
        _LogTrace(atlTraceCOM, eTL_Verbose, L"CMediaSample::FinalConstruct\n");
        return S_OK;
    }
    void FinalRelease() { _LogTrace(atlTraceCOM, eTL_Verbose, L"CMediaSample::FinalRelease\n"); }

    LPCWSTR GetTraceName() override { return L"CMediaSample"; }
};

// A sample object in an allocator's slot: built by InitInstance, destroyed
// in place by its last Release, never allocated or deleted on the heap.
template <class TAlloc, class TSample>
class CComSampleObject : public TSample
{
public:
    CComSampleObject() noexcept : m_pAlloc(NULL), m_ppNotify(NULL) {}

    // Runs while the allocator's lock is held by Release: gives the buffer
    // back and lets the allocator account for it.
    ~CComSampleObject()
    {
        this->m_dwRef = 1;
        this->FinalRelease();
        if (NULL != m_pAlloc)
        {
            BYTE* pb = NULL;
            if (ASSERT_TEXT(S_OK == this->GetPointer(&pb), "pSample->GetPointer() != S_OK"))
                m_pAlloc->m_buffers.Push(pb);
            const HRESULT hr = m_pAlloc->ReleaseBufferCore(static_cast<IMediaSample*>(this), m_ppNotify);
            ASSERT_TEXT(S_OK == hr, "ReleaseBuffer() != S_OK");
            m_pAlloc = NULL;
        }
        this->m_dwRef = 0;
    }

    STDMETHOD_(ULONG, AddRef)() override { return this->InternalAddRef(); }

    STDMETHOD_(ULONG, Release)() override
    {
        const ULONG l = this->InternalRelease();
        if (0 != l)
            return l;
        TAlloc* pAlloc = m_pAlloc;
        if (NULL == pAlloc)
        {
            this->~CComSampleObject();
            return 0;
        }
        // The reference keeps the allocator alive until after its lock is
        // released, even when this return completes its decommit.
        pAlloc->Lock();
        pAlloc->AddRef();
        CComPtr<IMemAllocatorNotifyCallbackTemp> spNotify;
        m_ppNotify = &spNotify.p;
        void* pSlot = this;
        this->~CComSampleObject();
        pAlloc->ReturnSample(pSlot);
        pAlloc->Unlock();
        if (spNotify)
            spNotify->NotifyRelease();
        spNotify.Release();
        pAlloc->Release();
        return 0;
    }

    STDMETHOD(QueryInterface)(REFIID iid, void** ppvObject) override
    {
        return this->_InternalQueryInterface(iid, ppvObject);
    }

    // Builds a sample in pSlot over pBuffer and hands it out with one
    // reference. On failure the slot holds no object and nothing was taken
    // from the allocator.
    static HRESULT InitInstance(void* pSlot, TAlloc* pAlloc, BYTE* pBuffer, LONG cbBuffer, IMediaSample** ppMediaSample)
    {
        if (!ASSERT(pSlot != NULL && ppMediaSample != NULL))
            return E_POINTER;
        *ppMediaSample = NULL;
        if (!ASSERT(pAlloc != NULL && pBuffer != NULL && cbBuffer > 0))
            return E_INVALIDARG;
        CComSampleObject* p = ::new (pSlot) CComSampleObject();
        p->m_pAlloc = pAlloc;
        p->SetBuffer(pBuffer, cbBuffer);
        p->m_dwRef = 0;
        p->InternalAddRef();
        HRESULT hr = p->FinalConstruct();
        p->InternalRelease();
        if (!ASSERT(hr == S_OK))
        {
            // The buffer and the slot stay the caller's to put back.
            p->m_pAlloc = NULL;
            p->~CComSampleObject();
            return FAILED(hr) ? hr : E_FAIL;
        }
        p->InternalAddRef();
        hr = p->QueryInterface(IID_IMediaSample, reinterpret_cast<void**>(ppMediaSample));
        ASSERT(hr == S_OK);
        p->InternalRelease();
        return hr;
    }

    void operator delete(void*) { ASSERT_TEXT(false, "CComSampleObject::operator delete 1"); }
    void operator delete(void*, void*) { ASSERT_TEXT(false, "CComSampleObject::operator delete 2"); }

    TAlloc* m_pAlloc;
    // Where the destruction leaves the notify callback that is due, so that
    // Release calls it after unlocking the allocator.
    IMemAllocatorNotifyCallbackTemp** m_ppNotify;
};
