// COM enumerators of the framework: one template, CComDSEnum, serves every
// IEnumPins and IEnumMediaTypes that a filter or pin hands out.
//
// The enumerator walks a source object through an accessor class that knows
// how to fetch (GetData) and give back (Free) the i-th item of that source.
// Items are fetched afresh on every Next, so an enumerator sees the source as
// it is at the time of the call (a pin's media type set after the enumerator
// was made shows up). The enumerator holds a reference on its source for its
// whole life.
#pragma once

#include "DSTrace.h"
#include "DSTypes.h"
#include "Wrappers.h"

#include <atlbase.h>
#include <atlcom.h>
#include <limits.h>

// A counted pointer to an enumerator's source object, taken through the
// source's own interface I (the filter's IBaseFilter, a pin's IPin), which
// names the object's one reference count.
template <class T, class I>
class CSourcePtr
{
public:
    CSourcePtr() noexcept : p(NULL) {}
    ~CSourcePtr() { Release(); }
    CSourcePtr(const CSourcePtr&) = delete;
    CSourcePtr& operator=(const CSourcePtr&) = delete;

    CSourcePtr& operator=(T* pNew)
    {
        if (NULL != pNew)
            static_cast<I*>(pNew)->AddRef();
        T* pOld = p;
        p = pNew;
        if (NULL != pOld)
            static_cast<I*>(pOld)->Release();
        return *this;
    }
    void Release()
    {
        T* pOld = p;
        p = NULL;
        if (NULL != pOld)
            static_cast<I*>(pOld)->Release();
    }
    operator T*() const noexcept { return p; }
    T* operator->() const noexcept { return p; }

    T* p;
};

// What every accessor has: its source, held through the source's own
// interface I, and the checks each fetch starts with.
template <class T, class I, class TItem>
class CSourceAccessor
{
public:
    typedef T _Source;
    typedef TItem _Item;

    CSourcePtr<T, I> m_pSource;

protected:
    // Clears *ppData; S_OK when the fetch can go on.
    HRESULT BeginGetData(TItem* ppData)
    {
        ASSERT(m_pSource != NULL);
        ASSERT(ppData != NULL);
        if (NULL == ppData)
            return E_POINTER;
        *ppData = NULL;
        return (NULL == m_pSource) ? E_UNEXPECTED : S_OK;
    }
};

// Items of a pin enumerator: the pins of filter T, through its GetPin (index
// 0 the input pin, 1 the output pin, S_FALSE past them).
template <class T>
class CPinAccessor : public CSourceAccessor<T, IBaseFilter, IPin*>
{
public:
    HRESULT GetData(ULONG nIndex, IPin** ppData)
    {
        const HRESULT hr = this->BeginGetData(ppData);
        if (FAILED(hr))
            return hr;
        return this->m_pSource->GetPin(nIndex, ppData);
    }

    void Free(IPin* pData)
    {
        if (NULL != pData)
            pData->Release();
    }
};

// Items of a media-type enumerator: the one media type of pin T (its
// CMTSingle), as a new task-memory copy. The type is read under the pin's
// lock, so that a connection changing it on another thread never frees the
// format block while it is being copied.
template <class T>
class CMediaTypesAccessor : public CSourceAccessor<T, IPin, AM_MEDIA_TYPE*>
{
public:
    HRESULT GetData(ULONG nIndex, AM_MEDIA_TYPE** ppData)
    {
        const HRESULT hr = this->BeginGetData(ppData);
        if (FAILED(hr))
            return hr;
        T* pPin = this->m_pSource;
        typename T::ObjectLock lock(pPin);
        return static_cast<CMTSingle*>(pPin)->GetMediaType(nIndex, ppData);
    }

    void Free(AM_MEDIA_TYPE* pData)
    {
        ASSERT(pData != NULL);
        MTDelete(pData);
    }
};

template <class TAccessor, class TEnum>
class CComDSEnum;

// The enumeration itself: Next, Skip, Reset and Clone over the accessor.
// Once the source has answered VFW_E_ENUM_OUT_OF_SYNC the enumerator stays
// out of sync until Reset. No lock is taken: an enumerator serves one client
// thread at a time.
template <class TAccessor, class TEnum>
class ATL_NO_VTABLE CComDSEnumImpl : public TAccessor, public TEnum
{
public:
    typedef typename TAccessor::_Source _Source;
    typedef typename TAccessor::_Item _Item;

    CComDSEnumImpl() noexcept : m_nIndex(0), m_bOutOfSync(FALSE) {}

    HRESULT Init(_Source* pSource, ULONG nIndex)
    {
        if (!ASSERT(pSource != NULL))
            return E_INVALIDARG;
        this->m_pSource = pSource;
        m_nIndex = nIndex;
        m_bOutOfSync = FALSE;
        return S_OK;
    }

    STDMETHOD(Next)(ULONG cItems, _Item* ppItems, ULONG* pcFetched) override
    {
        _LogTrace(atlTraceCOM, eTL_Verbose, L"CComDSEnumImpl::Next( %u )\n", cItems);
        if (NULL == ppItems)
            return E_POINTER;
        if (NULL == pcFetched && cItems > 1)
            return E_INVALIDARG;
        if (m_bOutOfSync)
            return VFW_E_ENUM_OUT_OF_SYNC;

        const ULONG cAsked = cItems;
        ULONG cFetched = 0;
        HRESULT hr = S_OK;
        while (cItems > 0)
        {
            _Item item = NULL;
            hr = this->GetData(m_nIndex, &item);
            if (S_OK != hr)
            {
                // An accessor must hand out nothing with any other answer.
                if (NULL != item)
                    this->Free(item);
                break;
            }
            ++m_nIndex;
            ppItems[cFetched++] = item;
            --cItems;
        }

        if (SUCCEEDED(hr))
        {
            if (NULL != pcFetched)
                *pcFetched = cFetched;
            return (cFetched < cAsked) ? S_FALSE : S_OK;
        }

        // A failure undoes the whole call.
        m_nIndex -= cFetched;
        while (cFetched > 0)
        {
            --cFetched;
            this->Free(ppItems[cFetched]);
            ppItems[cFetched] = NULL;
        }
        if (VFW_E_ENUM_OUT_OF_SYNC == hr)
            m_bOutOfSync = TRUE;
        return hr;
    }

    // Moves past cItems items: S_OK when the last of them exists, S_FALSE
    // when it does not (the index moves all the same). A count that would
    // carry the index beyond the largest ULONG leaves it there, past every
    // item, instead of wrapping back to the start.
    STDMETHOD(Skip)(ULONG cItems) override
    {
        _LogTrace(atlTraceCOM, eTL_Verbose, L"CComDSEnumImpl::Skip( %u )\n", cItems);
        if (m_bOutOfSync)
            return VFW_E_ENUM_OUT_OF_SYNC;
        const ULONG cRoom = ULONG_MAX - m_nIndex;
        if (cItems > 0 && cItems - 1 > cRoom)
        {
            m_nIndex = ULONG_MAX;
            return S_FALSE;
        }
        const ULONG nLast = (0 == cItems) ? m_nIndex : m_nIndex + (cItems - 1);
        const HRESULT hr = Probe(nLast);
        if (FAILED(hr))
            return hr;
        m_nIndex = (cItems > cRoom) ? ULONG_MAX : m_nIndex + cItems;
        return hr;
    }

    STDMETHOD(Reset)() override
    {
        _LogTrace(atlTraceCOM, eTL_Verbose, L"CComDSEnumImpl::Reset()\n");
        m_nIndex = 0;
        m_bOutOfSync = FALSE;
        return S_OK;
    }

    STDMETHOD(Clone)(TEnum** ppEnum) override;

    // Whether an item exists at nIndex: S_OK, S_FALSE, or the source's error.
    HRESULT Probe(ULONG nIndex)
    {
        _Item item = NULL;
        const HRESULT hr = this->GetData(nIndex, &item);
        if (VFW_E_ENUM_OUT_OF_SYNC == hr)
            m_bOutOfSync = TRUE;
        if (NULL != item)
            this->Free(item);
        return hr;
    }

    ULONG m_nIndex;
    BYTE m_bOutOfSync;
};

// The COM object of an enumerator: offers TEnum (and IUnknown) only.
template <class TAccessor, class TEnum>
class ATL_NO_VTABLE CComDSEnum : public CComDSEnumImpl<TAccessor, TEnum>,
                                 public CComObjectRootEx<CComMultiThreadModel>
{
public:
    typedef typename TAccessor::_Source _Source;

    BEGIN_COM_MAP(CComDSEnum)
        COM_INTERFACE_ENTRY(TEnum)
    END_COM_MAP()

    // The one way an enumerator is made: over pSource, starting at nIndex,
    // handed out with one reference.
    static HRESULT Create(TEnum** ppEnum, _Source* pSource, ULONG nIndex)
    {
        if (!ASSERT(ppEnum != NULL))
            return E_POINTER;
        if (!ASSERT(pSource != NULL))
            return E_INVALIDARG;
        *ppEnum = NULL;
        CComObject<CComDSEnum>* p = NULL;
        HRESULT hr = CreateObject(&p);
        if (FAILED(hr))
            return hr;
        p->Init(pSource, nIndex);
        hr = p->QueryInterface(__uuidof(TEnum), reinterpret_cast<void**>(ppEnum));
        p->Release();
        return hr;
    }
};

// A new enumerator over the same source at the same place, in sync.
template <class TAccessor, class TEnum>
STDMETHODIMP CComDSEnumImpl<TAccessor, TEnum>::Clone(TEnum** ppEnum)
{
    _LogTrace(atlTraceCOM, eTL_Verbose, L"CComDSEnumImpl::Clone()\n");
    if (m_bOutOfSync)
        return VFW_E_ENUM_OUT_OF_SYNC;
    const HRESULT hr = Probe(m_nIndex);
    if (FAILED(hr))
        return hr;
    return CComDSEnum<TAccessor, TEnum>::Create(ppEnum, this->m_pSource, m_nIndex);
}
