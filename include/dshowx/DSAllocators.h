// The framework's memory allocator and its media samples, the two sample
// copiers and the sample snapshot.
//
// CMemoryAllocatorT hands out CMediaSample objects over buffers cut from one
// VirtualAlloc block. Buffers and sample slots are allocated at Commit and
// recycled: a sample is built in place in a preallocated slot by GetBuffer
// and destroyed in place by its last Release, which gives its buffer and its
// slot back and wakes the callers waiting for a buffer. Nothing is allocated
// on the streaming path once the allocator is committed.
//
// Locks: the allocator has one recursive lock (its object lock). GetBuffer
// waits for a free buffer outside it; a sample's return holds it from the
// buffer's return to the waiters' release. The notify callback of
// IMemAllocatorCallbackTemp is always called with the lock released, so that
// a callback that takes a lock of its own cannot deadlock against a thread
// that holds that lock and calls the allocator.
#pragma once

#include "DSFunctions.h"
#include "DSParsers.h"
#include "DSTypes.h"
#include "DSVideo.h"
#include "Wrappers.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
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

// A trace line at this level can ever be written: lets a caller skip the
// formatting of arguments for lines that the trace call would drop.
inline constexpr bool TraceLevelPasses(UINT nLevel)
{
    return nLevel <= eTL_Info;
}

// The low 32 bits of an address, as the trace lines print it with 0x%X.
inline unsigned TraceAddress(const void* p)
{
    return static_cast<unsigned>(reinterpret_cast<UINT_PTR>(p));
}

// ---------------------------------------------------------------------------
// CVirtualBuffer: a plain VirtualAlloc block.

class CVirtualBuffer
{
public:
    CVirtualBuffer() noexcept : m_pBuffer(NULL), m_cbSize(0) {}
    ~CVirtualBuffer() { Free(); }

    CVirtualBuffer(const CVirtualBuffer&) = delete;
    CVirtualBuffer& operator=(const CVirtualBuffer&) = delete;

    // Frees any old block and commits a new one of cb bytes (one byte for 0).
    BOOL Alloc(DWORD cb)
    {
        Free();
        m_pBuffer = static_cast<BYTE*>(VirtualAlloc(NULL, cb ? cb : 1, MEM_COMMIT, PAGE_READWRITE));
        if (NULL == m_pBuffer)
            return FALSE;
        m_cbSize = cb;
        return TRUE;
    }

    void Free()
    {
        if (NULL != m_pBuffer)
            VirtualFree(m_pBuffer, 0, MEM_RELEASE);
        m_pBuffer = NULL;
        m_cbSize = 0;
    }

    DWORD GetSize() const { return m_cbSize; }
    BYTE* GetBuffer() const { return m_pBuffer; }
    operator BYTE*() const { return m_pBuffer; }

private:
    BYTE* m_pBuffer;
    DWORD m_cbSize;
};

// ---------------------------------------------------------------------------
// Buffer policy: one VirtualAlloc block cut into buffers.

class CBufferOnVirtualAlloc
{
public:
    // Every buffer starts at least this far aligned, whatever was asked.
    static const uint64_t s_cbMinAlign = 16;

    CBufferOnVirtualAlloc() noexcept : m_pMemory(NULL) {}
    ~CBufferOnVirtualAlloc() { FreeBlock(); }

    CBufferOnVirtualAlloc(const CBufferOnVirtualAlloc&) = delete;
    CBufferOnVirtualAlloc& operator=(const CBufferOnVirtualAlloc&) = delete;

    static bool IsAlignSupported(LONG) { return true; }

    // Where the buffers of props lie: the distance from one buffer to the
    // next and the size of the block that holds them all, in 64-bit
    // arithmetic. false when the layout does not fit the address space.
    static bool GetLayout(const ALLOCATOR_PROPERTIES& props, uint64_t* pcbAlign, uint64_t* pcbStride,
                          uint64_t* pcbTotal)
    {
        if (props.cBuffers <= 0 || props.cbBuffer <= 0 || props.cbPrefix < 0 || props.cbAlign < 0)
            return false;
        uint64_t cbAlign = props.cbAlign ? static_cast<uint64_t>(props.cbAlign) : 1;
        if (cbAlign < s_cbMinAlign)
            cbAlign = s_cbMinAlign;
        if ((cbAlign & (cbAlign - 1)) != 0)
            return false;
        const uint64_t cbOne = static_cast<uint64_t>(props.cbPrefix) + static_cast<uint64_t>(props.cbBuffer);
        const uint64_t cbStride = (cbOne + cbAlign - 1) & ~(cbAlign - 1);
        uint64_t cbTotal = 0;
        if (__builtin_mul_overflow(cbStride, static_cast<uint64_t>(props.cBuffers - 1), &cbTotal))
            return false;
        if (__builtin_add_overflow(cbTotal, cbOne, &cbTotal))
            return false;
        const uint64_t cbGranularity = GetGranularity();
        if (cbAlign > cbGranularity && __builtin_add_overflow(cbTotal, cbAlign - cbGranularity, &cbTotal))
            return false;
        if (cbTotal > static_cast<uint64_t>(SIZE_MAX))
            return false;
        *pcbAlign = cbAlign;
        *pcbStride = cbStride;
        *pcbTotal = cbTotal;
        return true;
    }

    // Commits the block for props and writes the props.cBuffers buffer
    // pointers to ppBuffers: each buffer is preceded by cbPrefix bytes and
    // the prefix starts on the alignment.
    HRESULT Alloc(const ALLOCATOR_PROPERTIES& props, BYTE** ppBuffers)
    {
        ASSERT(m_pMemory == NULL);
        ASSERT((props.cbAlign & (props.cbAlign - 1)) == 0);
        if (NULL == ppBuffers)
            return E_POINTER;
        FreeBlock();
        uint64_t cbAlign = 0, cbStride = 0, cbTotal = 0;
        if (!GetLayout(props, &cbAlign, &cbStride, &cbTotal))
            return E_OUTOFMEMORY;
        m_pMemory = static_cast<BYTE*>(VirtualAlloc(NULL, static_cast<SIZE_T>(cbTotal), MEM_COMMIT, PAGE_READWRITE));
        if (NULL == m_pMemory)
            return E_OUTOFMEMORY;
        const UINT_PTR uBase = reinterpret_cast<UINT_PTR>(m_pMemory);
        const UINT_PTR uFirst = (uBase + static_cast<UINT_PTR>(cbAlign - 1)) & ~static_cast<UINT_PTR>(cbAlign - 1);
        BYTE* pb = m_pMemory + (uFirst - uBase) + props.cbPrefix;
        for (LONG i = 0; i < props.cBuffers; ++i, pb += cbStride)
            ppBuffers[i] = pb;
        return S_OK;
    }

    void FreeBlock()
    {
        if (NULL != m_pMemory)
            VirtualFree(m_pMemory, 0, MEM_RELEASE);
        m_pMemory = NULL;
    }

    static uint64_t GetGranularity()
    {
        SYSTEM_INFO si;
        ZeroMemory(&si, sizeof(si));
        GetSystemInfo(&si);
        return si.dwAllocationGranularity ? si.dwAllocationGranularity : 0x10000;
    }

    BYTE* m_pMemory;
};

// ---------------------------------------------------------------------------
// The buffer pool: a stack of free buffer pointers over the buffer policy.

template <class TBuffer>
class CAllocatorBuffers : public TBuffer
{
public:
    CAllocatorBuffers() noexcept : m_nBuffers(0), m_stackFree(NULL), m_nFree(0) {}
    ~CAllocatorBuffers() { Free(); }

    // Makes a request something the pool can build: a power-of-two
    // alignment, and a buffer size that keeps every prefix on it. Sizes that
    // no block can hold are refused, so that no later arithmetic overflows.
    static HRESULT Correct(ALLOCATOR_PROPERTIES& rgProps)
    {
        if (!TBuffer::IsAlignSupported(rgProps.cbAlign))
        {
            ASSERT_TEXT(false, "CAllocatorBuffers::Correct(): Alignment not supported");
            return VFW_E_BADALIGN;
        }
        const uint32_t uAlign = static_cast<uint32_t>(rgProps.cbAlign);
        if ((uAlign & (0u - uAlign)) != uAlign)
        {
            // Round up to the power of two above the highest set bit.
            const int nHigh = 31 - __builtin_clz(uAlign);
            if (nHigh >= 30)
            {
                ASSERT_TEXT(false, "CCAllocatorBuffers::Correct(): Invalid alignment");
                return VFW_E_BADALIGN;
            }
            const LONG lNew = static_cast<LONG>(1u << (nHigh + 1));
            _LogTrace(atlTraceGeneral, eTL_Warning,
                      L"WARNING. CAllocatorBuffers::Correct(): Alignment not a power of 2 (rgProps.cbAlign = 0x%X), "
                      L"corrected alignment = 0x%X\n",
                      uAlign, static_cast<unsigned>(lNew));
            rgProps.cbAlign = lNew;
        }
        else if (uAlign == 0x80000000u)
        {
            // A power of two, but no 32-bit size is a whole multiple of it.
            ASSERT_TEXT(false, "CCAllocatorBuffers::Correct(): Invalid alignment");
            return VFW_E_BADALIGN;
        }
        if (rgProps.cBuffers <= 0 || rgProps.cbBuffer <= 0)
        {
            ASSERT_TEXT(false, "CAllocatorBuffers::Correct(): rgProps.cBuffers <= 0 || rgProps.cbBuffer <= 0");
            return VFW_E_SIZENOTSET;
        }
        // A negative prefix would put the first buffer before the block.
        if (rgProps.cbPrefix < 0)
        {
            ASSERT_TEXT(false, "CAllocatorBuffers::Correct(): rgProps.cbPrefix < 0");
            return VFW_E_SIZENOTSET;
        }
        if (rgProps.cbAlign == 0)
        {
            _LogTrace(atlTraceGeneral, eTL_Warning, L"WARNING. CAllocatorBuffers::Correct(): rgProps.cbAlign == 0\n");
            rgProps.cbAlign = 1;
        }
        const int64_t cbAlign = rgProps.cbAlign;
        const int64_t cbWhole =
            ((static_cast<int64_t>(rgProps.cbBuffer) + rgProps.cbPrefix - 1) / cbAlign + 1) * cbAlign;
        if (cbWhole > LONG_MAX)
        {
            ASSERT_TEXT(false, "CAllocatorBuffers::Correct(): cbPrefix + cbBuffer exceeds LONG_MAX");
            return VFW_E_SIZENOTSET;
        }
        const LONG cbNew = static_cast<LONG>(cbWhole - rgProps.cbPrefix);
        uint64_t a = 0, s = 0, t = 0;
        ALLOCATOR_PROPERTIES props = rgProps;
        props.cbBuffer = cbNew;
        if (!TBuffer::GetLayout(props, &a, &s, &t))
        {
            ASSERT_TEXT(false, "CAllocatorBuffers::Correct(): cBuffers * cbBuffer overflows");
            return VFW_E_SIZENOTSET;
        }
        if (cbNew != rgProps.cbBuffer)
        {
            _LogTrace(atlTraceGeneral, eTL_Warning,
                      L"WARNING. CAllocatorBuffers::Correct(): input props = { %i, %i, %i, %i }, corrected size of "
                      L"buffer = %i\n",
                      static_cast<int>(rgProps.cBuffers), static_cast<int>(rgProps.cbBuffer),
                      static_cast<int>(rgProps.cbAlign), static_cast<int>(rgProps.cbPrefix), static_cast<int>(cbNew));
            rgProps.cbBuffer = cbNew;
        }
        return S_OK;
    }

    // Builds the pool for props (a corrected copy of the properties).
    HRESULT Alloc(ALLOCATOR_PROPERTIES props)
    {
        ASSERT(props.cBuffers > 0 && props.cbBuffer > 0 && props.cbAlign >= 0);
        if (props.cBuffers <= 0 || props.cbBuffer <= 0 || props.cbAlign < 0 || props.cbPrefix < 0)
            return E_INVALIDARG;
        if (props.cbAlign < 1)
            props.cbAlign = 1;
        Free();
        // Every entry is written by the policy: no need to zero the stack.
        m_stackFree = static_cast<BYTE**>(malloc(static_cast<size_t>(props.cBuffers) * sizeof(BYTE*)));
        if (NULL == m_stackFree)
            return E_OUTOFMEMORY;
        const HRESULT hr = TBuffer::Alloc(props, m_stackFree);
        if (FAILED(hr))
        {
            free(m_stackFree);
            m_stackFree = NULL;
            return hr;
        }
        m_nFree = m_nBuffers = static_cast<UINT>(props.cBuffers);
        return S_OK;
    }

    void Free()
    {
        ASSERT(IsAllReturn());
        TBuffer::FreeBlock();
        free(m_stackFree);
        m_stackFree = NULL;
        m_nBuffers = 0;
        m_nFree = 0;
    }

    // The buffer on top of the free stack, or NULL when none is free.
    BYTE* Pop()
    {
        if (NULL == m_stackFree || 0 == m_nFree)
            return NULL;
        return m_stackFree[--m_nFree];
    }

    // Puts a buffer back. A stack that is already full is a counting error:
    // the pointer is not stored, so that nothing is written past the stack.
    void Push(BYTE* pb)
    {
        if (!ASSERT(m_stackFree != NULL && m_nFree < m_nBuffers))
            return;
        m_stackFree[m_nFree++] = pb;
    }

    bool IsAllReturn() const { return m_nFree == m_nBuffers; }
    UINT GetFreeCount() const { return m_nFree; }

    UINT m_nBuffers;
    BYTE** m_stackFree;
    UINT m_nFree;
};

// ---------------------------------------------------------------------------
// The sample-slot pool: a stack of free slots, each one sample object large.

class CSampleArray
{
public:
    CSampleArray() noexcept : m_ppArr(NULL), m_nSize(0), m_nAll(0), m_nBusy(0), m_cbSlot(0) {}
    ~CSampleArray() { Free(); }

    CSampleArray(const CSampleArray&) = delete;
    CSampleArray& operator=(const CSampleArray&) = delete;

    // Frees the old pool and allocates nSlots slots of cbSlot bytes.
    HRESULT Alloc(UINT nSlots, size_t cbSlot)
    {
        Free();
        m_cbSlot = cbSlot;
        m_ppArr = static_cast<void**>(calloc(nSlots ? nSlots : 1, sizeof(void*)));
        if (NULL == m_ppArr)
            return E_OUTOFMEMORY;
        m_nSize = nSlots;
        for (UINT i = 0; i < nSlots; ++i)
        {
            void* p = malloc(m_cbSlot);
            if (NULL == p)
            {
                Free();
                return E_OUTOFMEMORY;
            }
            m_ppArr[m_nBusy++] = p;
            ++m_nAll;
        }
        return S_OK;
    }

    void Free()
    {
        ASSERT(m_nBusy == m_nAll);
        for (UINT i = 0; i < m_nBusy; ++i)
            free(m_ppArr[i]);
        free(m_ppArr);
        m_ppArr = NULL;
        m_nSize = m_nAll = m_nBusy = 0;
    }

    // A zeroed slot; when none is stored, the pool grows by one. NULL when
    // it cannot grow.
    void* Pop()
    {
        if (0 == m_nBusy && !Grow())
            return NULL;
        void* p = m_ppArr[--m_nBusy];
        memset(p, 0, m_cbSlot);
        return p;
    }

    void Push(void* p)
    {
        if (!ASSERT(m_ppArr != NULL && m_nBusy < m_nAll))
        {
            // Not a slot this pool counts: it cannot be stored, so it goes.
            free(p);
            return;
        }
        m_ppArr[m_nBusy++] = p;
    }

    bool IsAllReturn() const { return m_nBusy == m_nAll; }

    void** m_ppArr;
    UINT m_nSize;
    UINT m_nAll;
    UINT m_nBusy;
    size_t m_cbSlot;

private:
    bool Grow()
    {
        if (0 == m_cbSlot)
            return false;
        if (m_nAll == m_nSize)
        {
            // No slot is stored, so nothing needs copying.
            const UINT nNewSize = m_nSize ? m_nSize * 2 : 1;
            if (nNewSize <= m_nSize)
                return false;
            void** ppNew = static_cast<void**>(calloc(nNewSize, sizeof(void*)));
            if (NULL == ppNew)
                return false;
            free(m_ppArr);
            m_ppArr = ppNew;
            m_nSize = nNewSize;
        }
        void* p = malloc(m_cbSlot);
        if (NULL == p)
            return false;
        m_ppArr[m_nBusy++] = p;
        ++m_nAll;
        return true;
    }
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

// ---------------------------------------------------------------------------
// Sample snapshot mask: the properties a CSampleT loads and saves.

const WORD PM_START = 0x0001;
const WORD PM_STOP = 0x0002;
const WORD PM_MEDIATIME = 0x0004;
const WORD PM_SYNCPOINT = 0x0010;
const WORD PM_PREROLL = 0x0020;
const WORD PM_DISCONTINUITY = 0x0040;
const WORD PM_TYPEFLAGS = 0x0080;
const WORD PM_MEDIATYPE = 0x0100;
const WORD PM_BUFFER = 0x1000;
const WORD PM_ACTLEN = 0x2000;
const WORD PM_STREAMID = 0x8000;
// Whatever the sample has.
const WORD PM_ALL = 0xFFFF;

// A failed copier step: one error line, then an assertion that names it.
#define DSX_COPIER_ERROR(failure, format, ...)                                                                         \
    do                                                                                                                 \
    {                                                                                                                  \
        _LogTrace(atlTraceGeneral, eTL_Error, L"###Err### " format, __VA_ARGS__);                                      \
        ASSERT_TEXT(false, failure);                                                                                   \
    } while (0)

// ---------------------------------------------------------------------------
// Copiers: write a snapshot's buffer into another sample.

// Copies the bytes one to one.
class CSampleCopier
{
public:
    // The snapshot's call, with the size of the source buffer as well: the
    // plain copy needs no more than the actual length, which the snapshot
    // never loads larger than its buffer.
    HRESULT CopyBuffer(IMediaSample* pDst, const BYTE* pbSrc, LONG cbSrc, LONG lActual, WORD wMask)
    {
        (void)cbSrc;
        return CopyBuffer(pDst, pbSrc, lActual, wMask);
    }

    HRESULT CopyBuffer(IMediaSample* pDst, const BYTE* pbSrc, LONG lActual, WORD wMask)
    {
        wMask &= (PM_BUFFER | PM_ACTLEN);
        if (wMask & PM_BUFFER)
        {
            if (!ASSERT(pbSrc != NULL))
                return E_INVALIDARG;
            if (!ASSERT(wMask & PM_ACTLEN))
                return E_INVALIDARG;
        }
        if (wMask & PM_ACTLEN)
        {
            // A negative length would be a huge copy.
            if (!ASSERT(lActual >= 0))
                return E_INVALIDARG;
            if (0 == lActual)
                wMask &= ~PM_BUFFER;
        }
        if (0 == wMask)
            return S_OK;
        if (!ASSERT(pDst != NULL))
            return E_INVALIDARG;
        BYTE* pbDst = NULL;
        if (0 != lActual)
        {
            const HRESULT hr = pDst->GetPointer(&pbDst);
            if (S_OK != hr)
            {
                DSX_COPIER_ERROR("CSampleCopier::CopyBuffer(): GetPointer() FAILED",
                                 L"CSampleCopier::CopyBuffer(): GetPointer()=0x%X\n", static_cast<unsigned>(hr));
                return FAILED(hr) ? hr : E_FAIL;
            }
            if (NULL == pbDst)
            {
                DSX_COPIER_ERROR("CSampleCopier::CopyBuffer(): pbDst == NULL",
                                 L"CSampleCopier::CopyBuffer(): GetPointer()=S_OK, pbDst==NULL\n", 0);
                return E_FAIL;
            }
            const LONG cbDst = pDst->GetSize();
            if (cbDst < lActual)
            {
                DSX_COPIER_ERROR("CSampleCopier::CopyBuffer(): GetSize() < lActual",
                                 L"CSampleCopier::CopyBuffer(): GetSize()=%i, lActual=%i\n", static_cast<int>(cbDst),
                                 static_cast<int>(lActual));
                return E_FAIL;
            }
        }
        const HRESULT hr = pDst->SetActualDataLength(lActual);
        if (S_OK != hr)
        {
            DSX_COPIER_ERROR("CSampleCopier::CopyBuffer(): SetActualDataLength() FAILED",
                             L"CSampleCopier::CopyBuffer(): SetActualDataLength( %i )=0x%X\n",
                             static_cast<int>(lActual), static_cast<unsigned>(hr));
            return FAILED(hr) ? hr : E_FAIL;
        }
        if (wMask & PM_BUFFER)
            memcpy(pbDst, pbSrc, static_cast<size_t>(lActual));
        return S_OK;
    }
};

// Copies one video picture between two samples whose line widths differ.
// Both sides must have the same layout and height; the picture is as wide
// as the source.
class COverlayMixerCopier
{
public:
    COverlayMixerCopier() noexcept : nFormat(-1), fccType(0), nHeight(0), nWidthSrc(0), nWidthDst(0) {}

    HRESULT SetSrcProperties(const AM_MEDIA_TYPE* pmt) { return SetProperties(pmt, TRUE); }
    HRESULT SetDstProperties(const AM_MEDIA_TYPE* pmt) { return SetProperties(pmt, FALSE); }

    HRESULT SetProperties(const AM_MEDIA_TYPE* pmt, BOOL bSource)
    {
        LPCWSTR pszSide = bSource ? L"SRC" : L"DST";
        if (!ASSERT(pmt != NULL))
            return E_INVALIDARG;
        DWORD dwFcc = 0;
        LONG lWidth = 0, lHeight = 0;
        const HRESULT hr = CMTHelp::MTParseVideo(pmt, &dwFcc, &lWidth, &lHeight, NULL);
        if (FAILED(hr))
        {
            DSX_COPIER_ERROR("COverlayMixerCopier::SetProperties(): CMTHelp::MTParseVideo() FAILED",
                             L"COverlayMixerCopier::SetProperties( %s ): CMTHelp::MTParseVideo()=0x%X\n", pszSide,
                             static_cast<unsigned>(hr));
            Debug_MediaType(atlTraceGeneral, eTL_Error, pmt);
            return hr;
        }
        // A negative width is no picture either: it would read as a huge one.
        if (lWidth <= 0 || 0 == lHeight)
        {
            DSX_COPIER_ERROR("COverlayMixerCopier::SetProperties(): bad media type",
                             L"COverlayMixerCopier::SetProperties( %s ): bad media type\n", pszSide);
            Debug_MediaType(atlTraceGeneral, eTL_Error, pmt);
            return VFW_E_INVALIDMEDIATYPE;
        }
        const int nNewFormat = CPictureFormats::FindFormat(dwFcc);
        if (nNewFormat < 0)
        {
            WCHAR szName[GUID_NAME_WORK_SIZE];
            DSX_COPIER_ERROR("COverlayMixerCopier::SetProperties(): unsupported subtype",
                             L"COverlayMixerCopier::SetProperties( %s ): unsupported subtype %s\n", pszSide,
                             Guid2Name(pmt->subtype, szName, GUID_NAME_WORK_SIZE));
            return VFW_E_INVALIDSUBTYPE;
        }
        const UINT nNewHeight =
            static_cast<UINT>(lHeight < 0 ? 0 - static_cast<int64_t>(lHeight) : static_cast<int64_t>(lHeight));
        const UINT nOtherWidth = bSource ? nWidthDst : nWidthSrc;
        if (0 != fccType && 0 != nOtherWidth && (dwFcc != fccType || nNewHeight != nHeight))
        {
            WCHAR szSrc[FOURCC_TEXT_SIZE + 40], szDst[FOURCC_TEXT_SIZE + 40];
            Fourcc2Name(bSource ? dwFcc : fccType, szSrc);
            Fourcc2Name(bSource ? fccType : dwFcc, szDst);
            DSX_COPIER_ERROR("COverlayMixerCopier::SetProperties(): properties are different",
                             L"COverlayMixerCopier::SetProperties( %s ): properties are different, source %s, "
                             L"height=%u, destination %s, height=%u\n",
                             pszSide, szSrc, bSource ? nNewHeight : nHeight, szDst, bSource ? nHeight : nNewHeight);
            return E_FAIL;
        }
        if (0 == fccType)
        {
            fccType = dwFcc;
            nFormat = nNewFormat;
            nHeight = nNewHeight;
        }
        if (bSource)
            nWidthSrc = static_cast<UINT>(lWidth);
        else
            nWidthDst = static_cast<UINT>(lWidth);
        return S_OK;
    }

    // Bytes of one picture at a line size: the luma lines and, for a planar
    // layout, the chroma planes after them (rounded up, so that it covers
    // every way the copy walks them).
    uint64_t PictureBytes(UINT nWidth) const
    {
        const PictureFormat& rgFormat = CPictureFormats::s_rgFormats[nFormat];
        const uint64_t cbLuma = static_cast<uint64_t>(CPictureFormats::GetStride(rgFormat, nWidth)) * nHeight;
        return rgFormat.bPlanar ? cbLuma + (cbLuma + 1) / 2 : cbLuma;
    }

    // Re-lays the picture at pbSrc, a buffer of cbSrc bytes, into pDst. Both
    // buffers are measured first: each must hold the picture at its own line
    // size, since an allocator's buffers lie side by side in one block and an
    // overrun would land in a neighbour's data. How much of the source holds
    // data (lActual, PM_ACTLEN) plays no part. The destination's actual
    // length becomes the size of the picture written, so that the sample
    // carries its picture downstream.
    HRESULT CopyBuffer(IMediaSample* pDst, const BYTE* pbSrc, LONG cbSrc, LONG lActual, WORD wMask)
    {
        (void)lActual;
        if (!ASSERT(pDst != NULL))
            return E_INVALIDARG;
        if (!(wMask & PM_BUFFER))
            return S_OK;
        if (!ASSERT(pbSrc != NULL))
            return E_INVALIDARG;
        if (0 == fccType || 0 == nHeight || 0 == nWidthSrc || 0 == nWidthDst || nFormat < 0)
        {
            WCHAR szFcc[FOURCC_TEXT_SIZE + 40];
            DSX_COPIER_ERROR("COverlayMixerCopier::CopyBuffer(): properties not set",
                             L"COverlayMixerCopier::CopyBuffer(): fccType=%s, nWidthSrc=%u, nWidthDst=%u, nHeight=%u\n",
                             Fourcc2Name(fccType, szFcc), nWidthSrc, nWidthDst, nHeight);
            return E_FAIL;
        }
        const uint64_t cbSrcPicture = PictureBytes(nWidthSrc);
        if (cbSrc < 0 || static_cast<uint64_t>(cbSrc) < cbSrcPicture)
        {
            DSX_COPIER_ERROR("COverlayMixerCopier::CopyBuffer(): source GetSize() < source picture size",
                             L"COverlayMixerCopier::CopyBuffer(): source GetSize()=%i, source picture=%I64u\n",
                             static_cast<int>(cbSrc), static_cast<unsigned long long>(cbSrcPicture));
            return E_FAIL;
        }
        BYTE* pbDst = NULL;
        HRESULT hr = pDst->GetPointer(&pbDst);
        if (S_OK != hr)
        {
            DSX_COPIER_ERROR("COverlayMixerCopier::CopyBuffer(): GetPointer() FAILED",
                             L"COverlayMixerCopier::CopyBuffer(): GetPointer()=0x%X\n", static_cast<unsigned>(hr));
            return FAILED(hr) ? hr : E_FAIL;
        }
        if (NULL == pbDst)
        {
            DSX_COPIER_ERROR("COverlayMixerCopier::CopyBuffer(): pbDst == NULL",
                             L"COverlayMixerCopier::CopyBuffer(): GetPointer()=S_OK, pbDst==NULL\n", 0);
            return E_FAIL;
        }
        const uint64_t cbDstPicture = PictureBytes(nWidthDst);
        const LONG cbDst = pDst->GetSize();
        if (cbDst < 0 || static_cast<uint64_t>(cbDst) < cbDstPicture)
        {
            DSX_COPIER_ERROR("COverlayMixerCopier::CopyBuffer(): GetSize() < destination picture size",
                             L"COverlayMixerCopier::CopyBuffer(): GetSize()=%i, destination picture=%I64u\n",
                             static_cast<int>(cbDst), static_cast<unsigned long long>(cbDstPicture));
            return E_FAIL;
        }
        hr = CPictureFormats::CopyData(pbDst, pbSrc, nFormat, nWidthSrc, static_cast<int>(nHeight), nWidthDst, 0);
        if (FAILED(hr))
        {
            DSX_COPIER_ERROR("COverlayMixerCopier::CopyBuffer(): CPictureFormats::CopyData() FAILED",
                             L"COverlayMixerCopier::CopyBuffer(): CPictureFormats::CopyData()=0x%X\n",
                             static_cast<unsigned>(hr));
            return hr;
        }
        hr = pDst->SetActualDataLength(static_cast<LONG>(cbDstPicture));
        if (S_OK != hr)
        {
            DSX_COPIER_ERROR("COverlayMixerCopier::CopyBuffer(): SetActualDataLength() FAILED",
                             L"COverlayMixerCopier::CopyBuffer(): SetActualDataLength( %i )=0x%X\n",
                             static_cast<int>(cbDstPicture), static_cast<unsigned>(hr));
            return FAILED(hr) ? hr : E_FAIL;
        }
        return hr;
    }

    int nFormat;
    DWORD fccType;
    UINT nHeight;
    UINT nWidthSrc;
    UINT nWidthDst;
};

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
