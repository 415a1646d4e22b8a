// The framework's memory allocator: IMemAllocatorEx, the allocator's
// interface operations, its pools and sample traffic, and the allocator
// object (one CRTP chain).
#pragma once

#include "AllocatorPools.h"
#include "MediaSample.h"
#include "DSTrace.h"
#include "DSTypes.h"
#include "Wrappers.h"
#include "text/StructureDumps.h"

#include <atlbase.h>
#include <atlcom.h>
#include <new>

// ---------------------------------------------------------------------------
// IMemAllocatorEx: attaches a media type to the next sample handed out.

struct IMemAllocatorEx : public IUnknown
{
    virtual HRESULT STDMETHODCALLTYPE SetMediaType(const AM_MEDIA_TYPE* pmt) = 0;
};
__CRT_UUID_DECL(IMemAllocatorEx, 0x71D4C3A2, 0x58E6, 0x4B1F, 0xA0, 0xC9, 0x2E, 0x7B, 0x6D, 0x5F, 0x8A, 0x31)
inline constexpr IID IID_IMemAllocatorEx = {
    0x71D4C3A2, 0x58E6, 0x4B1F, { 0xA0, 0xC9, 0x2E, 0x7B, 0x6D, 0x5F, 0x8A, 0x31 }
};

// ---------------------------------------------------------------------------
// The allocator's interface operations.

enum eAllocState
{
    AS_Create = 0,   // constructed; no semaphore
    AS_Init = 1,     // semaphore created
    AS_Prop = 2,     // properties set, not committed
    AS_Commit = 3,   // committed, every buffer free
    AS_Busy = 4,     // committed, at least one buffer out
    AS_Empty = 5,    // committed, a GetBuffer found no free buffer
    AS_Decommit = 6, // Decommit called while buffers are out
};

// T is the allocator class; it supplies the object lock and, through
// CMemAllocBase, the pools.
template <class T>
class IMemAllocatorImpl : public IMemAllocatorCallbackTemp
{
public:
    IMemAllocatorImpl() noexcept : m_eState(AS_Create), m_hSem(NULL)
    {
        m_props.cBuffers = 0;
        m_props.cbBuffer = 0;
        m_props.cbAlign = 1;
        m_props.cbPrefix = 0;
    }
    ~IMemAllocatorImpl()
    {
        ASSERT(m_eState == AS_Create);
        if (NULL != m_hSem)
            CloseHandle(m_hSem);
        m_hSem = NULL;
    }

    STDMETHOD(SetProperties)(ALLOCATOR_PROPERTIES* pRequest, ALLOCATOR_PROPERTIES* pActual) override
    {
        if (!ASSERT(pRequest != NULL && pActual != NULL))
            return E_POINTER;
        ZeroMemory(pActual, sizeof(*pActual));
        T* pT = static_cast<T*>(this);
        _LogTrace(atlTraceCOM, eTL_Info, L"%s: IMemAllocator::SetProperties( %i, %i, %i, %i ) State:%d [0x%08X]\n",
                  GetTraceName(), static_cast<int>(pRequest->cBuffers), static_cast<int>(pRequest->cbBuffer),
                  static_cast<int>(pRequest->cbAlign), static_cast<int>(pRequest->cbPrefix), static_cast<int>(m_eState),
                  TraceAddress(pT));
        typename T::ObjectLock lock(LockTarget());
        switch (m_eState)
        {
        case AS_Create:
            return E_ABORT;
        case AS_Commit:
        case AS_Busy:
        case AS_Empty:
            return VFW_E_ALREADY_COMMITTED;
        case AS_Decommit:
            return VFW_E_BUFFERS_OUTSTANDING;
        default:
            break;
        }
        ALLOCATOR_PROPERTIES props = *pRequest;
        const HRESULT hr = T::_BuffersClass::Correct(props);
        if (FAILED(hr))
            return hr;
        m_props = props;
        *pActual = props;
        m_eState = AS_Prop;
        return S_OK;
    }

    STDMETHOD(GetProperties)(ALLOCATOR_PROPERTIES* pProps) override
    {
        _LogTrace(atlTraceCOM, eTL_Info, L"%s: IMemAllocator::GetProperties\n", GetTraceName());
        if (!ASSERT(pProps != NULL))
            return E_POINTER;
        typename T::ObjectLock lock(LockTarget());
        if (AS_Create == m_eState)
            return E_ABORT;
        if (AS_Init == m_eState)
            return VFW_E_BUFFER_NOTSET;
        *pProps = m_props;
        return S_OK;
    }

    STDMETHOD(Commit)() override
    {
        T* pT = static_cast<T*>(this);
        _LogTrace(atlTraceCOM, eTL_Info, L"%s: IMemAllocator::Commit [0x%08X]\n", GetTraceName(), TraceAddress(pT));
        typename T::ObjectLock lock(LockTarget());
        switch (m_eState)
        {
        case AS_Create:
            return E_ABORT;
        case AS_Init:
            return E_FAIL;
        case AS_Prop:
        {
            const HRESULT hr = pT->AllocPools();
            if (FAILED(hr))
                return E_OUTOFMEMORY;
            // Committed, the allocator keeps itself alive until Decommit
            // has seen every buffer back.
            this->AddRef();
            m_eState = AS_Commit;
            return S_OK;
        }
        case AS_Decommit:
            m_eState = pT->m_buffers.GetFreeCount() ? AS_Busy : AS_Empty;
            return S_OK;
        default:
            return S_OK;
        }
    }

    STDMETHOD(Decommit)() override
    {
        T* pT = static_cast<T*>(this);
        _LogTrace(atlTraceCOM, eTL_Info, L"%s: IMemAllocator::Decommit [0x%08X]\n", GetTraceName(), TraceAddress(pT));
        typename T::ObjectLock lock(LockTarget());
        switch (m_eState)
        {
        case AS_Create:
            return E_ABORT;
        case AS_Init:
            return E_FAIL;
        case AS_Prop:
            return S_OK;
        case AS_Commit:
            ASSERT(pT->m_buffers.IsAllReturn());
            m_eState = AS_Decommit;
            break;
        default:
            m_eState = AS_Decommit;
            break;
        }
        CompleteDecommit();
        pT->ReleaseWaiters();
        return S_OK;
    }

    STDMETHOD(GetBuffer)(IMediaSample** ppSample, REFERENCE_TIME* pStartTime, REFERENCE_TIME* pEndTime,
                         DWORD dwFlags) override
    {
        (void)pStartTime;
        (void)pEndTime;
        _LogTrace(atlTraceCOM, eTL_Verbose, L"%s: IMemAllocator::GetBuffer\n", GetTraceName());
        if (!ASSERT(ppSample != NULL))
            return E_POINTER;
        *ppSample = NULL;
        T* pT = static_cast<T*>(this);
        for (;;)
        {
            {
                typename T::ObjectLock lock(LockTarget());
                switch (m_eState)
                {
                case AS_Create:
                    return E_ABORT;
                case AS_Init:
                    return VFW_E_BUFFER_NOTSET;
                case AS_Prop:
                case AS_Decommit:
                    return VFW_E_NOT_COMMITTED;
                case AS_Commit:
                case AS_Busy:
                {
                    const HRESULT hr = pT->CreateSample(ppSample);
                    if (FAILED(hr))
                    {
                        ASSERT_TEXT(false, "IMemAllocatorImpl::GetBuffer(): CreateSample() FAILED");
                        return hr;
                    }
                    if (S_OK == hr)
                    {
                        m_eState = AS_Busy;
                        return S_OK;
                    }
                    if (AS_Commit == m_eState)
                        return E_FAIL; // every buffer free, yet none to take: the counts are wrong
                    m_eState = AS_Empty;
                    _LogTrace(atlTraceGeneral, eTL_Info, L"[Allocator] Allocator busy, waiting = %s\n",
                              (dwFlags & AM_GBF_NOWAIT) ? L"NO" : L"YES");
                    break;
                }
                default:
                    break;
                }
                // AS_Empty
                if (dwFlags & AM_GBF_NOWAIT)
                    return VFW_E_TIMEOUT;
                ++pT->m_nWaiting;
            }
            WaitForSingleObject(m_hSem, INFINITE);
            _LogTrace(atlTraceGeneral, eTL_Verbose, L"[Allocator] Wait period ended\n");
        }
    }

    STDMETHOD(ReleaseBuffer)(IMediaSample* pSample) override
    {
        CComPtr<IMemAllocatorNotifyCallbackTemp> spNotify;
        const HRESULT hr = ReleaseBufferCore(pSample, &spNotify.p);
        if (spNotify)
            spNotify->NotifyRelease();
        return hr;
    }

    STDMETHOD(SetNotify)(IMemAllocatorNotifyCallbackTemp* pNotify) override
    {
        _LogTrace(atlTraceCOM, eTL_Info, L"%s: IMemAllocatorCallbackTemp::SetNotify( 0x%08X )\n", GetTraceName(),
                  TraceAddress(pNotify));
        CComPtr<IMemAllocatorNotifyCallbackTemp> spOld;
        {
            typename T::ObjectLock lock(LockTarget());
            spOld.p = m_spNotify.Detach();
            m_spNotify = pNotify;
        }
        // The old callback's last Release runs foreign code: outside the lock.
        return S_OK;
    }

    STDMETHOD(GetFreeCount)(LONG* plBuffersFree) override
    {
        _LogTrace(atlTraceCOM, eTL_Info, L"%s: IMemAllocatorCallbackTemp::GetFreeCount\n", GetTraceName());
        if (!ASSERT(plBuffersFree != NULL))
            return E_POINTER;
        *plBuffersFree = 0;
        T* pT = static_cast<T*>(this);
        typename T::ObjectLock lock(LockTarget());
        switch (m_eState)
        {
        case AS_Create:
            return E_ABORT;
        case AS_Init:
            return VFW_E_BUFFER_NOTSET;
        case AS_Prop:
        case AS_Decommit:
            return VFW_E_NOT_COMMITTED;
        default:
            *plBuffersFree = static_cast<LONG>(pT->m_buffers.GetFreeCount());
            return S_OK;
        }
    }

    virtual LPCWSTR GetTraceName() = 0;

    // What the operations lock: the object, once its final construction has
    // made the lock (and left AS_Create); before that nothing, since no
    // other thread can know the object yet and every operation but the
    // setters refuses with E_ABORT.
    T* LockTarget() { return AS_Create != m_eState ? static_cast<T*>(this) : NULL; }

    // The state change of a returned buffer (its pointer is already back on
    // the free stack). The notify callback that is due is handed to the
    // caller in *ppNotify (with a reference), to be called once the caller
    // holds the allocator's lock no more.
    HRESULT ReleaseBufferCore(IMediaSample* pSample, IMemAllocatorNotifyCallbackTemp** ppNotify)
    {
        _LogTrace(atlTraceCOM, eTL_Verbose, L"%s: IMemAllocator::ReleaseBuffer\n", GetTraceName());
        if (!ASSERT(pSample != NULL))
            return E_POINTER;
        T* pT = static_cast<T*>(this);
        typename T::ObjectLock lock(LockTarget());
        switch (m_eState)
        {
        case AS_Commit:
            ASSERT(pT->m_buffers.IsAllReturn());
            return S_OK;
        case AS_Busy:
            if (pT->m_buffers.IsAllReturn())
                m_eState = AS_Commit;
            break;
        case AS_Empty:
            m_eState = pT->m_buffers.IsAllReturn() ? AS_Commit : AS_Busy;
            break;
        case AS_Decommit:
            CompleteDecommit();
            break;
        default:
            return E_ABORT;
        }
        if (NULL != ppNotify && m_spNotify)
            m_spNotify.CopyTo(ppNotify);
        return S_OK;
    }

    // A decommit whose buffers are all back is complete: the reference that
    // Commit took goes. The caller holds the lock and a reference of its own.
    void CompleteDecommit()
    {
        if (AS_Decommit == m_eState && static_cast<T*>(this)->m_buffers.IsAllReturn())
        {
            m_eState = AS_Prop;
            this->Release();
        }
    }

    eAllocState m_eState;
    ALLOCATOR_PROPERTIES m_props;
    HANDLE m_hSem;
    CComPtr<IMemAllocatorNotifyCallbackTemp> m_spNotify;
};

// ---------------------------------------------------------------------------
// The pools and the sample traffic of an allocator.

template <class T, class TBuffers, class TSample>
class CMemAllocBase : public IMemAllocatorImpl<T>, public IMemAllocatorEx
{
public:
    typedef TBuffers _BuffersClass;
    typedef CComSampleObject<T, TSample> _SampleClass;

    CMemAllocBase() : m_nWaiting(0), m_mtNext(GUID_NULL, GUID_NULL) {}

    STDMETHOD(SetMediaType)(const AM_MEDIA_TYPE* pmt) override
    {
        T* pT = static_cast<T*>(this);
        _LogTrace(atlTraceCOM, eTL_Info, L"%s: IMemAllocatorEx::SetMediaType() [0x%08X]\n", pT->GetTraceName(),
                  TraceAddress(pT));
        // NULL is a valid request (no type for the next sample), not an
        // empty pointer to report.
        if (NULL != pmt)
            Debug_MediaType(atlTraceGeneral, eTL_Info, pmt);
        typename T::ObjectLock lock(this->LockTarget());
        const HRESULT hr = m_mtNext.Set(pmt);
        ASSERT(hr == S_OK);
        return hr;
    }

    // Both pools for the committed properties. The buffers come first: a
    // request too large for any block fails there at once, before a slot is
    // allocated for every one of its buffers.
    HRESULT AllocPools()
    {
        if (AS_Prop != this->m_eState)
            return E_ABORT;
        HRESULT hr = m_buffers.Alloc(this->m_props);
        if (FAILED(hr))
            return hr;
        hr = m_samples.Alloc(static_cast<UINT>(this->m_props.cBuffers), sizeof(_SampleClass));
        if (FAILED(hr))
        {
            m_buffers.Free();
            return hr;
        }
        return S_OK;
    }

    // S_FALSE when no buffer is free. Caller holds the lock.
    HRESULT CreateSample(IMediaSample** ppSample)
    {
        BYTE* pb = m_buffers.Pop();
        if (NULL == pb)
            return S_FALSE;
        void* pSlot = m_samples.Pop();
        if (NULL == pSlot)
        {
            m_buffers.Push(pb);
            return E_OUTOFMEMORY;
        }
        const HRESULT hr =
            _SampleClass::InitInstance(pSlot, static_cast<T*>(this), pb, this->m_props.cbBuffer, ppSample);
        if (FAILED(hr))
        {
            m_buffers.Push(pb);
            m_samples.Push(pSlot);
            return hr;
        }
        if (m_mtNext.IsValid())
        {
            const HRESULT hrType = (*ppSample)->SetMediaType(&m_mtNext);
            ASSERT_TEXT(hrType == S_OK, "hr == S_OK");
            m_mtNext.Reset();
        }
        return S_OK;
    }

    // The end of a sample's return: its slot is back, a waiting decommit may
    // complete, and the waiters are woken. Caller holds the lock.
    void ReturnSample(void* pSlot)
    {
        m_samples.Push(pSlot);
        this->CompleteDecommit();
        ReleaseWaiters();
    }

    // Caller holds the lock.
    void ReleaseWaiters()
    {
        if (0 == m_nWaiting)
            return;
        ASSERT_TEXT(this->m_hSem != NULL, "m_hSem != NULL");
        ReleaseSemaphore(this->m_hSem, static_cast<LONG>(m_nWaiting), NULL);
        m_nWaiting = 0;
    }

    TBuffers m_buffers;
    CSampleArray m_samples;
    UINT m_nWaiting;
    CMType m_mtNext;
};

// ---------------------------------------------------------------------------
// The allocator object.

template <class TBuffer, class TSample = CMediaSample>
class CMemoryAllocatorT : public CComObjectRootEx<CComMultiThreadModel>,
                          public CComCoClass<CMemoryAllocatorT<TBuffer, TSample>, &GUID_NULL>,
                          public CMemAllocBase<CMemoryAllocatorT<TBuffer, TSample>, CAllocatorBuffers<TBuffer>, TSample>
{
public:
    typedef CComObjectRootEx<CComMultiThreadModel> _RootClass;

    BEGIN_COM_MAP(CMemoryAllocatorT)
        COM_INTERFACE_ENTRY(IMemAllocator)
        COM_INTERFACE_ENTRY(IMemAllocatorCallbackTemp)
        COM_INTERFACE_ENTRY(IMemAllocatorEx)
    END_COM_MAP()

    // A new allocator, handed out as IMemAllocator with one reference.
    static HRESULT CreateInstance(IMemAllocator** ppAllocator)
    {
        if (!ASSERT(ppAllocator != NULL))
            return E_POINTER;
        *ppAllocator = NULL;
        CComObject<CMemoryAllocatorT>* p = NULL;
        const HRESULT hr = CreateObject(&p);
        if (FAILED(hr))
            return hr;
        const HRESULT hrQI = p->QueryInterface(IID_IMemAllocator, reinterpret_cast<void**>(ppAllocator));
        p->Release();
        return hrQI;
    }

    HRESULT FinalConstruct()
    {
        _LogTrace(atlTraceGeneral, eTL_Error, L"CMemoryAllocatorT::FinalConstruct [0x%08X]\n", TraceAddress(this));
        ASSERT_TEXT(this->m_eState == AS_Create, "m_eState == AS_Create");
        ASSERT_TEXT(this->m_hSem == NULL, "m_hSem == NULL");
        this->m_hSem = CreateSemaphoreW(NULL, 0, 0x7FFFFFFF, NULL);
        if (NULL == this->m_hSem)
            return E_OUTOFMEMORY;
        this->m_eState = AS_Init;
        return S_OK;
    }

    void FinalRelease()
    {
        _LogTrace(atlTraceGeneral, eTL_Error, L"CMemoryAllocatorT::FinalRelease [0x%08X]\n", TraceAddress(this));
        ASSERT_TEXT(this->m_eState == AS_Create || this->m_eState == AS_Init || this->m_eState == AS_Prop,
                    "m_eState == AS_Create || m_eState == AS_Init || m_eState == AS_Prop");
        if (NULL != this->m_hSem)
            CloseHandle(this->m_hSem);
        this->m_hSem = NULL;
        this->m_eState = AS_Create;
        this->m_samples.Free();
        this->m_buffers.Free();
        this->m_spNotify.Release();
    }

    // An allocator left committed keeps itself alive: say so when the last
    // outside reference goes.
    ULONG InternalRelease()
    {
        const ULONG l = _RootClass::InternalRelease();
        if (1 == l && AS_Commit == this->m_eState)
            _LogTrace(atlTraceGeneral, eTL_Error,
                      L"###Err### CMemoryAllocatorT::InternalRelease(): IMemAllocator::Decommit() isn't called, "
                      L"memory isn't freed\n");
        return l;
    }

    LPCWSTR GetTraceName() override { return L"CMemoryAllocatorT"; }
};
