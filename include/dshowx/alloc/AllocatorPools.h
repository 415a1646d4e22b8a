// The allocator's pools: one VirtualAlloc block cut into buffers, the stack
// of free buffers over it, and the stack of free sample slots.
#pragma once

#include "DSTrace.h"
#include "DSTypes.h"
#include "Wrappers.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <new>

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
