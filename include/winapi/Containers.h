// Containers of the framework.
#pragma once

#include "DSTrace.h"

#include <limits.h>
#include <stdlib.h>
#include <new>
#include <type_traits>

// A growable array on the runtime heap for plain values (GUIDs, 64-bit
// counters). Capacity starts at 1 and doubles when full; when the storage
// cannot grow, Add answers FALSE and the array stays as it was, so no
// exception ever leaves it. The storage moves when it grows, so element
// references are valid only until the next Add or Reserve.
template <class T>
class CSimpleArray2
{
    static_assert(std::is_trivially_copyable<T>::value,
                  "CSimpleArray2 moves its storage with realloc: only trivially copyable elements");

public:
    // Places one element into the storage by copy construction.
    class Wrapper
    {
    public:
        explicit Wrapper(const T& t) : m_t(t) {}
        void* operator new(size_t, Wrapper* p) noexcept { return p; }
        // Pairs with the placement new above; it would run only if the copy
        // threw, which a trivially copyable element never does.
        void operator delete(void*, Wrapper*) noexcept
        {
            ASSERT_TEXT(FALSE, "CSimpleArray2::Wrapper(): operator delete");
        }

        T m_t;
    };

    CSimpleArray2() noexcept : m_aT(NULL), m_nSize(0), m_nAllocSize(0) {}
    ~CSimpleArray2() { RemoveAll(); }

    CSimpleArray2(const CSimpleArray2&) = delete;
    CSimpleArray2& operator=(const CSimpleArray2&) = delete;

    int GetSize() const noexcept { return m_nSize; }

    // Appends a copy of t; FALSE (nothing changed) when the storage cannot
    // grow. t may be one of the array's own elements.
    BOOL Add(const T& t) noexcept
    {
        if (m_nSize == m_nAllocSize)
        {
            // Growing may move (and free) the storage that t lives in: copy first.
            const T tCopy = t;
            const long long nNewAllocSize = (0 == m_nAllocSize) ? 1 : static_cast<long long>(m_nSize) * 2;
            if (!Grow(nNewAllocSize))
                return FALSE;
            new (reinterpret_cast<Wrapper*>(m_aT + m_nSize)) Wrapper(tCopy);
        }
        else
        {
            new (reinterpret_cast<Wrapper*>(m_aT + m_nSize)) Wrapper(t);
        }
        ++m_nSize;
        return TRUE;
    }

    // Makes room for at least nCapacity elements without changing the size,
    // so that the next Adds up to that count allocate nothing. FALSE (nothing
    // changed) when the room cannot be had.
    BOOL Reserve(int nCapacity) noexcept
    {
        if (nCapacity <= m_nAllocSize)
            return TRUE;
        return Grow(nCapacity) ? TRUE : FALSE;
    }

    T& operator[](int nIndex)
    {
        ASSERT(0 <= nIndex && nIndex < m_nSize);
        return m_aT[nIndex];
    }
    const T& operator[](int nIndex) const
    {
        ASSERT(0 <= nIndex && nIndex < m_nSize);
        return m_aT[nIndex];
    }

    // Destroys the elements and frees the storage.
    void RemoveAll() noexcept
    {
        if (m_aT != NULL)
        {
            for (int i = 0; i < m_nSize; ++i)
                m_aT[i].~T();
            free(m_aT);
            m_aT = NULL;
        }
        m_nSize = 0;
        m_nAllocSize = 0;
    }

    // Index of the first element equal to t, -1 when there is none.
    int Find(const T& t) const noexcept
    {
        for (int i = 0; i < m_nSize; ++i)
            if (m_aT[i] == t)
                return i;
        return -1;
    }

    T* m_aT;
    int m_nSize;
    int m_nAllocSize;

private:
    // Moves the storage to a block of nNewAllocSize elements; FALSE (storage
    // untouched) for a capacity out of range or a failed reallocation.
    bool Grow(long long nNewAllocSize) noexcept
    {
        if (nNewAllocSize < 0 || nNewAllocSize > static_cast<long long>(INT_MAX / sizeof(T)))
            return false;
        T* aT = static_cast<T*>(realloc(m_aT, static_cast<size_t>(nNewAllocSize) * sizeof(T)));
        if (NULL == aT)
            return false;
        m_aT = aT;
        m_nAllocSize = static_cast<int>(nNewAllocSize);
        return true;
    }
};

// A growing wide-character string in task memory, for texts that are handed
// to a caller as one block (the caller frees it with CoTaskMemFree). The
// capacity grows in granules of 4096 characters and never shrinks; while the
// block exists the text is terminated at its length.
class CWideStringBuffer
{
public:
    static const DWORD GRANULE = 4096;

    CWideStringBuffer() noexcept : m_psz(NULL), m_cchCapacity(0), m_cchLength(0) {}
    ~CWideStringBuffer() { Free(); }

    CWideStringBuffer(const CWideStringBuffer&) = delete;
    CWideStringBuffer& operator=(const CWideStringBuffer&) = delete;

    // Room for nChars characters, the terminator included. The new capacity
    // is always the next granule above nChars (so 4096 gives 8192). When the
    // block cannot grow it is freed with its text and the result is false.
    bool Reserve(DWORD nChars) noexcept
    {
        if (NULL != m_psz && m_cchCapacity >= nChars)
            return true;
        const unsigned long long cchNew = (static_cast<unsigned long long>(nChars) / GRANULE + 1) * GRANULE;
        LPWSTR psz = NULL;
        if (cchNew <= 0xFFFFFFFFull)
            psz = static_cast<LPWSTR>(CoTaskMemRealloc(m_psz, static_cast<SIZE_T>(cchNew * sizeof(WCHAR))));
        if (NULL == psz)
        {
            Free();
            return false;
        }
        m_psz = psz;
        m_cchCapacity = static_cast<DWORD>(cchNew);
        m_psz[m_cchLength] = 0;
        return true;
    }

    // Appends a text; an empty one allocates nothing. False only when the
    // block could not grow (it is then freed, see Reserve).
    bool Append(LPCWSTR psz) noexcept
    {
        if (!ASSERT(psz != NULL))
            return true;
        const size_t cch = wcslen(psz);
        if (0 == cch)
            return true;
        const unsigned long long cchNeeded = static_cast<unsigned long long>(m_cchLength) + cch + 1;
        if (cchNeeded > 0xFFFFFFFFull)
        {
            Free();
            return false;
        }
        if (!Reserve(static_cast<DWORD>(cchNeeded)))
            return false;
        memcpy(m_psz + m_cchLength, psz, cch * sizeof(WCHAR));
        m_cchLength += static_cast<DWORD>(cch);
        m_psz[m_cchLength] = 0;
        return true;
    }

    // Hands the block to the caller and leaves the buffer empty.
    LPWSTR Detach() noexcept
    {
        LPWSTR psz = m_psz;
        m_psz = NULL;
        m_cchCapacity = 0;
        m_cchLength = 0;
        return psz;
    }

    void Free() noexcept
    {
        if (NULL != m_psz)
            CoTaskMemFree(m_psz);
        m_psz = NULL;
        m_cchCapacity = 0;
        m_cchLength = 0;
    }

    LPCWSTR GetText() const noexcept { return m_psz; }
    DWORD GetCapacity() const noexcept { return m_cchCapacity; }
    DWORD GetLength() const noexcept { return m_cchLength; }

private:
    LPWSTR m_psz;
    DWORD m_cchCapacity;
    DWORD m_cchLength;
};
