// The output pin's allocator: CAllocatorMatch (its record, commit and
// decommit, property rules) and CTransInPlaceAllocator (one allocator for
// both connections wherever the neighbours allow it).
#pragma once

#include "alloc/MemoryAllocator.h"
#include "text/ObjectDumps.h"
#include "text/StructureDumps.h"
#include "DSTrace.h"
#include "DSTypes.h"
#include "Wrappers.h"

#include <atlbase.h>
#include <atlcom.h>

// ---------------------------------------------------------------------------
// The output pin's allocator

// Where the output pin's allocator comes from.
enum eAllocSrc
{
    eAS_None = 0,
    eAS_Upstream = 1,
    eAS_Internal = 2,
    eAS_Downstream = 3,
};

// The output pin's record of its allocator, with commit and decommit on state
// changes, and the rules for allocator properties. T is the output pin class.
// Every write of the allocator pointer happens under the pin's allocator
// lock; nothing but AddRef and Release is called under it.
template <class T>
class CAllocatorMatch
{
public:
    CAllocatorMatch() noexcept : m_bActivate(FALSE), m_eAllocSrc(eAS_None) { ZeroMemory(&m_propsOut, sizeof(m_propsOut)); }

    // {1, 1, 1, 0}: one buffer of one byte, no alignment, no prefix.
    static void SetDefaultProps(ALLOCATOR_PROPERTIES* p)
    {
        p->cBuffers = 1;
        p->cbBuffer = 1;
        p->cbAlign = 1;
        p->cbPrefix = 0;
    }

    static void NormalizeProps(ALLOCATOR_PROPERTIES* p)
    {
        if (p->cBuffers < 1)
            p->cBuffers = 1;
        if (p->cbBuffer < 1)
            p->cbBuffer = 1;
        if (0 == p->cbAlign)
            p->cbAlign = 1;
    }

    // Each field of *pDst becomes the larger of the two (signed).
    static void MergeProps(ALLOCATOR_PROPERTIES* pDst, const ALLOCATOR_PROPERTIES* pSrc)
    {
        pDst->cBuffers = pDst->cBuffers > pSrc->cBuffers ? pDst->cBuffers : pSrc->cBuffers;
        pDst->cbBuffer = pDst->cbBuffer > pSrc->cbBuffer ? pDst->cbBuffer : pSrc->cbBuffer;
        pDst->cbAlign = pDst->cbAlign > pSrc->cbAlign ? pDst->cbAlign : pSrc->cbAlign;
        pDst->cbPrefix = pDst->cbPrefix > pSrc->cbPrefix ? pDst->cbPrefix : pSrc->cbPrefix;
    }

    // S_OK when the actual properties give at least what is required and the
    // actual alignment is a power of two (0 passes that part of the test).
    static HRESULT CheckProps(const ALLOCATOR_PROPERTIES* pRequired, const ALLOCATOR_PROPERTIES* pActual)
    {
        if (pRequired->cBuffers > pActual->cBuffers || pRequired->cbBuffer > pActual->cbBuffer ||
            pRequired->cbAlign > pActual->cbAlign)
            return E_FAIL;
        const unsigned uAlign = static_cast<unsigned>(pActual->cbAlign);
        if (((0u - uAlign) & uAlign) != uAlign)
            return E_FAIL;
        if (pRequired->cbPrefix > pActual->cbPrefix)
            return E_FAIL;
        return S_OK;
    }

    // TRUE when a field of pRequired is larger than that of pActual.
    static BOOL ExceedsProps(const ALLOCATOR_PROPERTIES* pRequired, const ALLOCATOR_PROPERTIES* pActual)
    {
        return pRequired->cBuffers > pActual->cBuffers || pRequired->cbBuffer > pActual->cbBuffer ||
               pRequired->cbAlign > pActual->cbAlign || pRequired->cbPrefix > pActual->cbPrefix;
    }

    void AttachAllocator(IMemAllocator* pAllocator, eAllocSrc eSrc)
    {
        T* pPin = static_cast<T*>(this);
        ASSERT(pAllocator != NULL);
        ASSERT_TEXT(eSrc != eAS_None, "eAllocSrc != eAS_None");
        if (NULL == pAllocator)
            return;
        ALLOCATOR_PROPERTIES props;
        ZeroMemory(&props, sizeof(props));
        const HRESULT hr = pAllocator->GetProperties(&props);
        ASSERT_TEXT(S_OK == hr, "CAllocatorMatch::AttachAllocator(): GetProperties() != S_OK");
        CComPtr<IMemAllocator> spOld;
        {
            CCritSecLock lock(pPin->m_csAllocator);
            spOld.Attach(m_spAllocOut.Detach());
            m_propsOut = props;
            m_spAllocOut = pAllocator;
            m_eAllocSrc = eSrc;
        }
        _LogTrace(atlTraceGeneral, eTL_Info, L"@@@@ %s CAllocatorMatch::AttachAllocator(): use %s allocator\n",
                  pPin->GetTraceName(),
                  eAS_Upstream == eSrc ? L"upstream" : (eAS_Downstream == eSrc ? L"downstream" : L"internal"));
        Debug_Allocator(atlTraceGeneral, eTL_Info, pAllocator);
    }

    // The output allocator, counted, or NULL; safe on any thread.
    CComPtr<IMemAllocator> GetAllocatorOut()
    {
        T* pPin = static_cast<T*>(this);
        CCritSecLock lock(pPin->m_csAllocator);
        return m_spAllocOut;
    }

    // Commits (TRUE) or decommits (FALSE) the output allocator, once per
    // change: the call that finds it already so does nothing. Needs the pin
    // connected and an allocator attached.
    HRESULT AllocatorActivate(bool bActivate)
    {
        T* pPin = static_cast<T*>(this);
        typename T::ObjectLock lock(pPin);
        if (!pPin->IsConnected())
            return VFW_E_NOT_CONNECTED;
        CComPtr<IMemAllocator> spAllocator = GetAllocatorOut();
        if (!ASSERT_TEXT(spAllocator != NULL, "m_spAllocOut != NULL"))
            return VFW_E_NO_ALLOCATOR;
        if ((FALSE != m_bActivate) == bActivate)
            return S_OK;
        HRESULT hr = S_OK;
        if (bActivate)
        {
            hr = spAllocator->Commit();
            if (S_OK == hr)
            {
                ALLOCATOR_PROPERTIES props;
                ZeroMemory(&props, sizeof(props));
                hr = spAllocator->GetProperties(&props);
                ASSERT_TEXT(S_OK == hr, "CAllocatorMatch::AllocatorActivate(): GetProperties() != S_OK");
                CCritSecLock lockAllocator(pPin->m_csAllocator);
                m_propsOut = props;
            }
        }
        else
            hr = spAllocator->Decommit();
        if (S_OK != hr)
            return FAILED(hr) ? hr : E_FAIL;
        m_bActivate = bActivate ? TRUE : FALSE;
        return S_OK;
    }

    // Lets the output allocator go (decommitted first, outside the lock).
    void Reset()
    {
        CComPtr<IMemAllocator> spOld;
        DetachAllocator(&spOld);
        if (spOld)
            spOld->Decommit();
    }

    // Empties the record and hands the allocator it held to *ppOld (with the
    // record's reference), for the caller to decommit outside the lock.
    void DetachAllocator(IMemAllocator** ppOld)
    {
        T* pPin = static_cast<T*>(this);
        CCritSecLock lock(pPin->m_csAllocator);
        *ppOld = m_spAllocOut.Detach();
        ZeroMemory(&m_propsOut, sizeof(m_propsOut));
        m_bActivate = FALSE;
        m_eAllocSrc = eAS_None;
    }

    ALLOCATOR_PROPERTIES m_propsOut;
    CComPtr<IMemAllocator> m_spAllocOut;
    BYTE m_bActivate;
    eAllocSrc m_eAllocSrc;
};

// The in-place agreement of the output pin's allocator: one allocator for
// both connections wherever the neighbours allow it. T is the output pin
// class; its filter supplies Filter_GetTransInPlaceAlloc.
template <class T>
class CTransInPlaceAllocator : public CAllocatorMatch<T>
{
public:
    typedef CAllocatorMatch<T> _Match;

    // A new allocator of the framework.
    static HRESULT CreateAllocator(IMemAllocator** ppAllocator)
    {
        return CMemoryAllocatorT<CBufferOnVirtualAlloc>::CreateInstance(ppAllocator);
    }

    // What the downstream pin asks for, never below {1, 1, 1, 0}.
    void GetDownstreamRequirements(IMemInputPin* pMemInput, ALLOCATOR_PROPERTIES* pProps)
    {
        ASSERT(pMemInput != NULL);
        ZeroMemory(pProps, sizeof(*pProps));
        if (NULL == pMemInput || FAILED(pMemInput->GetAllocatorRequirements(pProps)))
            ZeroMemory(pProps, sizeof(*pProps));
        ALLOCATOR_PROPERTIES propsDefault;
        _Match::SetDefaultProps(&propsDefault);
        _Match::MergeProps(pProps, &propsDefault);
        _Match::NormalizeProps(pProps);
    }

    // Hands pAllocator to the downstream pin; unless it is read-only it is
    // first given the required properties, and must grant them.
    HRESULT NotifyDownstream(IMemInputPin* pMemInput, IMemAllocator* pAllocator, const ALLOCATOR_PROPERTIES* pRequired,
                             bool bReadOnly)
    {
        if (!ASSERT(pMemInput != NULL) || !ASSERT(pAllocator != NULL) || !ASSERT(pRequired != NULL))
            return E_POINTER;
        if (!bReadOnly)
        {
            ALLOCATOR_PROPERTIES propsRequest = *pRequired;
            ALLOCATOR_PROPERTIES propsActual;
            ZeroMemory(&propsActual, sizeof(propsActual));
            HRESULT hr = pAllocator->SetProperties(&propsRequest, &propsActual);
            if (FAILED(hr))
                return hr;
            hr = _Match::CheckProps(pRequired, &propsActual);
            if (FAILED(hr))
                return hr;
        }
        return pMemInput->NotifyAllocator(pAllocator, bReadOnly ? TRUE : FALSE);
    }

    // The agreement at output connection time: the input connection's
    // allocator, then the downstream pin's, then a new one of ours; the
    // first that the downstream pin takes becomes the output allocator.
    HRESULT AllocatorAgree(IMemInputPin* pMemInput)
    {
        T* pPin = static_cast<T*>(this);
        _LogTrace(atlTraceGeneral, eTL_Info, L"@@@@ %s CTransInPlaceAllocator::AllocatorAgree()\n", pPin->GetTraceName());
        if (!ASSERT(pMemInput != NULL))
            return E_POINTER;
        auto* pFilter = pPin->m_pFilter;
        if (!ASSERT(pFilter != NULL))
            return E_UNEXPECTED;

        CComPtr<IMemAllocator> spAllocIn;
        bool bUseIn = true;
        bool bReadOnly = false;
        HRESULT hr = pFilter->Filter_GetTransInPlaceAlloc(pPin->m_dwCookie, &spAllocIn, &bUseIn, &bReadOnly);
        if (FAILED(hr))
        {
            _LogTrace(atlTraceGeneral, eTL_Info,
                      L"###Err### %s CTransInPlaceAllocator::AllocatorAgree(): Filter_GetTransInPlaceAlloc()=0x%X\n",
                      pPin->GetTraceName(), hr);
            return hr;
        }
        ALLOCATOR_PROPERTIES propsIn;
        ZeroMemory(&propsIn, sizeof(propsIn));
        if (spAllocIn)
        {
            hr = spAllocIn->GetProperties(&propsIn);
            ASSERT(hr == S_OK);
        }
        else
            bUseIn = false;

        ALLOCATOR_PROPERTIES propsReq;
        GetDownstreamRequirements(pMemInput, &propsReq);
        _Match::MergeProps(&propsReq, &propsIn);
        if (bUseIn && _Match::ExceedsProps(&propsReq, &propsIn))
            bUseIn = !bReadOnly;

        CComPtr<IMemAllocator> spAllocDown;
        if (FAILED(pMemInput->GetAllocator(&spAllocDown)) || !spAllocDown)
        {
            spAllocDown.Release();
            _LogTrace(atlTraceGeneral, eTL_Info,
                      L"%s CTransInPlaceAllocator::AllocatorAgree(): Downstream filter hasn't allocator\n",
                      pPin->GetTraceName());
        }

        CComPtr<IMemAllocator> spChosen;
        hr = E_FAIL;
        if (bUseIn)
        {
            hr = NotifyDownstream(pMemInput, spAllocIn, &propsReq, bReadOnly);
            if (SUCCEEDED(hr))
            {
                this->AttachAllocator(spAllocIn, eAS_Upstream);
                spChosen = spAllocIn;
            }
        }
        if (!spChosen && spAllocDown)
        {
            hr = NotifyDownstream(pMemInput, spAllocDown, &propsReq, false);
            if (SUCCEEDED(hr))
            {
                this->AttachAllocator(spAllocDown, eAS_Downstream);
                spChosen = spAllocDown;
            }
        }
        if (!spChosen)
        {
            CComPtr<IMemAllocator> spAllocNew;
            hr = CreateAllocator(&spAllocNew);
            if (SUCCEEDED(hr))
                hr = NotifyDownstream(pMemInput, spAllocNew, &propsReq, false);
            if (SUCCEEDED(hr))
            {
                this->AttachAllocator(spAllocNew, eAS_Internal);
                spChosen = spAllocNew;
            }
        }
        if (!spChosen)
        {
            _LogTrace(atlTraceGeneral, eTL_Info,
                      L"###Err### %s CTransInPlaceAllocator::AllocatorAgree(): allocator agreement failed, hr=0x%X\n",
                      pPin->GetTraceName(), hr);
            return FAILED(hr) ? hr : E_FAIL;
        }
        // The input connection keeps its own allocator until upstream
        // notifies again: whether samples must be copied is known now.
        if (spAllocIn)
            pFilter->m_bSeparateAllocators = spChosen.IsEqualObject(spAllocIn) ? FALSE : TRUE;
        return S_OK;
    }

    // Makes the allocator that upstream newly notified the output allocator
    // too. S_OK: agreed; S_FALSE: not agreed, both sides as they were; a
    // failure: the old state could not be restored.
    HRESULT AgreePassThroughAllocator(DWORD dwCookie, IMemAllocator* pUpAlloc, bool bReadOnly)
    {
        T* pPin = static_cast<T*>(this);
        (void)dwCookie;
        _LogTrace(atlTraceGeneral, eTL_Info, L"@@@@ %s CTransInPlaceAllocator::AgreePassThroughAllocator()\n",
                  pPin->GetTraceName());
        if (!ASSERT(pUpAlloc != NULL))
            return E_POINTER;
        ASSERT_TEXT(!this->m_bActivate, "!m_bActivate");
        ASSERT_TEXT(pPin->IsConnected(), "pOutPin->IsConnected()");
        CComPtr<IMemInputPin> spMemInput = pPin->GetConnectedMemInput();
        CComPtr<IMemAllocator> spAllocOut = this->GetAllocatorOut();
        if (!ASSERT_TEXT(spMemInput != NULL, "pOutPin->m_spMemInput != NULL") ||
            !ASSERT_TEXT(spAllocOut != NULL, "m_spAllocOut != NULL"))
            return E_UNEXPECTED;

        ALLOCATOR_PROPERTIES propsUp;
        ZeroMemory(&propsUp, sizeof(propsUp));
        HRESULT hr = pUpAlloc->GetProperties(&propsUp);
        // Without the upstream properties the agreement goes on from zero:
        // the output allocator's properties are then what is asked for.
        const bool bPropsKnown = SUCCEEDED(hr);
        if (!bPropsKnown)
        {
            ZeroMemory(&propsUp, sizeof(propsUp));
            _LogTrace(atlTraceGeneral, eTL_Info,
                      L"###Err### %s CTransInPlaceAllocator::AgreePassThroughAllocator(): pUpAlloc->GetProperties()=0x%X\n",
                      pPin->GetTraceName(), hr);
            ASSERT_TEXT(false, "CTransInPlaceAllocator::AgreePassThroughAllocator(): pUpAlloc->GetProperties() FAILED");
        }
        if (bReadOnly && FAILED(_Match::CheckProps(&this->m_propsOut, &propsUp)))
        {
            _LogTrace(atlTraceGeneral, eTL_Info,
                      L"###Err### %s CTransInPlaceAllocator::AgreePassThroughAllocator(): Read-only upstream allocator "
                      L"can't be used as pass through allocator\n",
                      pPin->GetTraceName());
            return S_FALSE;
        }
        ALLOCATOR_PROPERTIES propsReq = propsUp;
        if (!bReadOnly)
            _Match::MergeProps(&propsReq, &this->m_propsOut);
        hr = NotifyDownstream(spMemInput, pUpAlloc, &propsReq, bReadOnly);
        if (SUCCEEDED(hr))
        {
            this->Reset();
            this->AttachAllocator(pUpAlloc, eAS_Upstream);
            return S_OK;
        }
        _LogTrace(atlTraceGeneral, eTL_Info,
                  L"WARNING. %s CTransInPlaceAllocator::AgreePassThroughAllocator(): agreement of pass-through allocator "
                  L"failed, hr=0x%X\n",
                  pPin->GetTraceName(), hr);
        // Properties that were never read cannot be put back.
        if (!bReadOnly && bPropsKnown)
        {
            ALLOCATOR_PROPERTIES propsRestore = propsUp;
            ALLOCATOR_PROPERTIES propsActual;
            ZeroMemory(&propsActual, sizeof(propsActual));
            hr = pUpAlloc->SetProperties(&propsRestore, &propsActual);
            if (FAILED(hr))
            {
                _LogTrace(atlTraceGeneral, eTL_Info,
                          L"###Err### %s CTransInPlaceAllocator::AgreePassThroughAllocator(): Restore upstream allocator: "
                          L"pUpAlloc->SetProperties()=0x%X\n",
                          pPin->GetTraceName(), hr);
                ASSERT_TEXT(false, "CTransInPlaceAllocator::AgreePassThroughAllocator(): Restore upstream allocator FAILED");
                return hr;
            }
            if (0 != memcmp(&propsActual, &propsUp, sizeof(propsUp)))
                _LogTrace(atlTraceGeneral, eTL_Info,
                          L"WARNING. %s CTransInPlaceAllocator::AgreePassThroughAllocator(): properties changed: "
                          L"old=[%i,%i,%i,%i], new=[%i,%i,%i,%i]\n",
                          pPin->GetTraceName(), static_cast<int>(propsUp.cBuffers), static_cast<int>(propsUp.cbBuffer),
                          static_cast<int>(propsUp.cbAlign), static_cast<int>(propsUp.cbPrefix),
                          static_cast<int>(propsActual.cBuffers), static_cast<int>(propsActual.cbBuffer),
                          static_cast<int>(propsActual.cbAlign), static_cast<int>(propsActual.cbPrefix));
        }
        hr = spMemInput->NotifyAllocator(spAllocOut, FALSE);
        if (FAILED(hr))
        {
            _LogTrace(atlTraceGeneral, eTL_Info,
                      L"###Err### %s CTransInPlaceAllocator::AgreePassThroughAllocator(): Restore downstream allocator: "
                      L"pOutPin->m_spMemInput->NotifyAllocator()=0x%X\n",
                      pPin->GetTraceName(), hr);
            ASSERT_TEXT(false, "CTransInPlaceAllocator::AgreePassThroughAllocator(): Restore downstream allocator FAILED");
            return hr;
        }
        return S_FALSE;
    }
};
