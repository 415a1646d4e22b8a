// IPersistStream for any ATL class, driven by a table of its members.
//
// A class T derives from IPersistStreamImpl<T> and declares its persist map:
//
//     BEGIN_PERSIST_MAP(CMyFilter)
//         PERSIST_ENTRY(m_dwSwitch1)
//         PERSIST_ENTRY(m_dwSwitch2)
//         PERSIST_ENTRY_STREAM(m_child, GetChildPersist)
//     END_PERSIST_MAP()
//
// A plain entry is saved as the member's raw bytes; an entry with a function
// persists itself through the IPersistStream that the function hands out for
// the member. The stream holds the entries in map order and nothing else: no
// header, version, count or size.
//
// T supplies the object lock (CComObjectRootEx), its CLSID (GetObjectCLSID,
// as CComCoClass gives it) and its trace name (GetTraceName).
#pragma once

#include "DSTrace.h"

#include <atlbase.h>
#include <atlcom.h>

#include <memory>
#include <new>
#include <string.h>

// Hands out, with a reference, the IPersistStream of the member at pMember.
typedef HRESULT(WINAPI* PFN_GETPERSISTSTREAM)(void* pMember, IPersistStream** ppPersist);

struct PERSIST_MAP_ENTRY
{
    DWORD cbSize;   // size of a plain member in bytes; 0 for a member that persists itself
    DWORD dwOffset; // byte position of the member from the start of the T object
    PFN_GETPERSISTSTREAM pfnGetPersistStream; // used only when cbSize is 0
};

// Byte position of member m inside class x, measured on a fake address like
// the interface map's offsets (offsetof is not meant for classes with virtual
// functions and multiple bases).
#define _PERSIST_MEMBER_OFFSET(x, m)                                                            \
    static_cast<DWORD>(reinterpret_cast<DWORD_PTR>(std::addressof(reinterpret_cast<x*>(_ATL_PACKING)->m)) \
                       - _ATL_PACKING)

#define BEGIN_PERSIST_MAP(x)                                               \
public:                                                                    \
    typedef x _PersistMapClass;                                            \
    static const PERSIST_MAP_ENTRY* GetPersistMap() noexcept               \
    {                                                                      \
        static const PERSIST_MAP_ENTRY s_persistMap[] = {

// A member saved as its raw bytes (little-endian for integers).
#define PERSIST_ENTRY(m) { static_cast<DWORD>(sizeof(_PersistMapClass::m)), _PERSIST_MEMBER_OFFSET(_PersistMapClass, m), NULL },

// A member that persists itself through the IPersistStream that pfn gives.
#define PERSIST_ENTRY_STREAM(m, pfn) { 0, _PERSIST_MEMBER_OFFSET(_PersistMapClass, m), pfn },

#define END_PERSIST_MAP()      \
            { 0, 0, NULL } };  \
        return s_persistMap;   \
    }

template <class T>
class IPersistStreamImpl : public IPersistStream
{
public:
    IPersistStreamImpl() noexcept : m_bDirty(TRUE) {}

    // IPersist
    STDMETHOD(GetClassID)(CLSID* pClassID) override
    {
        _LogTrace(atlTraceCOM, eTL_Verbose, L"%s: IPersistStream::GetClassID()\n", GetTraceName());
        ASSERT(pClassID != NULL);
        if (NULL == pClassID)
            return E_INVALIDARG;
        *pClassID = T::GetObjectCLSID();
        return S_OK;
    }

    // IPersistStream
    STDMETHOD(IsDirty)() override
    {
        _LogTrace(atlTraceCOM, eTL_Verbose, L"%s: IPersistStream::IsDirty()\n", GetTraceName());
        return m_bDirty ? S_OK : S_FALSE;
    }

    // All or nothing for the plain members: they are read into a staging copy
    // and take their new values only when the whole stream has been read, so a
    // short or failing stream leaves them (and the dirty flag) as they were.
    // A self-persisting member keeps whatever its own Load did.
    STDMETHOD(Load)(IStream* pStm) override
    {
        _LogTrace(atlTraceCOM, eTL_Verbose, L"%s: IPersistStream::Load()\n", GetTraceName());
        ASSERT(pStm != NULL);
        if (NULL == pStm)
            return E_INVALIDARG;

        T* pT = static_cast<T*>(this);
        typename T::ObjectLock lock(pT);
        const PERSIST_MAP_ENTRY* pMap = GetMap();
        if (NULL == pMap)
            return E_FAIL;

        size_t cbPlain = 0;
        for (const PERSIST_MAP_ENTRY* pEntry = pMap; !IsEnd(pEntry); ++pEntry)
            cbPlain += pEntry->cbSize;

        // Small maps (the usual handful of switches) stage on the stack.
        BYTE abLocal[256];
        std::unique_ptr<BYTE[]> spHeap;
        BYTE* pStage = abLocal;
        if (cbPlain > sizeof(abLocal))
        {
            spHeap.reset(new (std::nothrow) BYTE[cbPlain]);
            if (!spHeap)
                return E_OUTOFMEMORY;
            pStage = spHeap.get();
        }

        BYTE* const pBase = reinterpret_cast<BYTE*>(pT);
        size_t cbStaged = 0;
        for (const PERSIST_MAP_ENTRY* pEntry = pMap; !IsEnd(pEntry); ++pEntry)
        {
            if (pEntry->cbSize != 0)
            {
                ULONG cbRead = 0;
                const HRESULT hr = pStm->Read(pStage + cbStaged, pEntry->cbSize, &cbRead);
                if (hr != S_OK || cbRead != pEntry->cbSize)
                    return FAILED(hr) ? hr : E_FAIL;
                cbStaged += pEntry->cbSize;
            }
            else
            {
                const HRESULT hr = CallMember(pEntry, pBase, [pStm](IPersistStream* p) { return p->Load(pStm); });
                if (hr != S_OK)
                    return hr;
            }
        }

        cbStaged = 0;
        for (const PERSIST_MAP_ENTRY* pEntry = pMap; !IsEnd(pEntry); ++pEntry)
        {
            if (pEntry->cbSize != 0)
            {
                memcpy(pBase + pEntry->dwOffset, pStage + cbStaged, pEntry->cbSize);
                cbStaged += pEntry->cbSize;
            }
        }
        m_bDirty = FALSE;
        return S_OK;
    }

    STDMETHOD(Save)(IStream* pStm, BOOL fClearDirty) override
    {
        _LogTrace(atlTraceCOM, eTL_Verbose, L"%s: IPersistStream::Save()\n", GetTraceName());
        ASSERT(pStm != NULL);
        if (NULL == pStm)
            return E_INVALIDARG;

        T* pT = static_cast<T*>(this);
        typename T::ObjectLock lock(pT);
        const PERSIST_MAP_ENTRY* pMap = GetMap();
        if (NULL == pMap)
            return E_FAIL;

        BYTE* const pBase = reinterpret_cast<BYTE*>(pT);
        for (const PERSIST_MAP_ENTRY* pEntry = pMap; !IsEnd(pEntry); ++pEntry)
        {
            if (pEntry->cbSize != 0)
            {
                ULONG cbWritten = 0;
                const HRESULT hr = pStm->Write(pBase + pEntry->dwOffset, pEntry->cbSize, &cbWritten);
                if (hr != S_OK || cbWritten != pEntry->cbSize)
                    return FAILED(hr) ? hr : E_FAIL;
            }
            else
            {
                const HRESULT hr = CallMember(pEntry, pBase, [pStm, fClearDirty](IPersistStream* p) {
                    return p->Save(pStm, fClearDirty);
                });
                if (hr != S_OK)
                    return hr;
            }
        }
        if (fClearDirty)
            m_bDirty = FALSE;
        return S_OK;
    }

    STDMETHOD(GetSizeMax)(ULARGE_INTEGER* pcbSize) override
    {
        _LogTrace(atlTraceCOM, eTL_Verbose, L"%s: IPersistStream::GetSizeMax()\n", GetTraceName());
        ASSERT(pcbSize != NULL);
        if (NULL == pcbSize)
            return E_POINTER;

        const PERSIST_MAP_ENTRY* pMap = GetMap();
        pcbSize->QuadPart = 0;
        if (NULL == pMap)
            return E_FAIL;

        BYTE* const pBase = reinterpret_cast<BYTE*>(static_cast<T*>(this));
        for (const PERSIST_MAP_ENTRY* pEntry = pMap; !IsEnd(pEntry); ++pEntry)
        {
            if (pEntry->cbSize != 0)
            {
                pcbSize->QuadPart += pEntry->cbSize;
            }
            else
            {
                ULARGE_INTEGER cbMember;
                cbMember.QuadPart = 0;
                const HRESULT hr = CallMember(pEntry, pBase, [&cbMember](IPersistStream* p) {
                    return p->GetSizeMax(&cbMember);
                });
                if (hr != S_OK)
                    return hr;
                pcbSize->QuadPart += cbMember.QuadPart;
            }
        }
        return S_OK;
    }

    // The trace name of the object, first %s of its trace lines; T's own
    // GetTraceName fills this slot.
    virtual LPCWSTR GetTraceName() = 0;

    // TRUE while the object holds changes not yet saved. The class sets it
    // when it changes a persisted member.
    BYTE m_bDirty;

private:
    static const PERSIST_MAP_ENTRY* GetMap() noexcept
    {
        const PERSIST_MAP_ENTRY* pMap = T::GetPersistMap();
        ASSERT(pMap != NULL);
        return pMap;
    }

    static bool IsEnd(const PERSIST_MAP_ENTRY* pEntry) noexcept
    {
        return 0 == pEntry->cbSize && NULL == pEntry->pfnGetPersistStream;
    }

    // Gets the IPersistStream of a self-persisting member and runs fn on it.
    // S_OK, or the failure code of either step, or E_FAIL for any other
    // result.
    template <class Fn>
    static HRESULT CallMember(const PERSIST_MAP_ENTRY* pEntry, BYTE* pBase, Fn fn)
    {
        IPersistStream* pPersist = NULL;
        HRESULT hr = pEntry->pfnGetPersistStream(pBase + pEntry->dwOffset, &pPersist);
        if (S_OK == hr && NULL == pPersist)
            hr = E_POINTER;
        if (S_OK == hr)
            hr = fn(pPersist);
        if (NULL != pPersist)
            pPersist->Release();
        if (hr != S_OK)
            return FAILED(hr) ? hr : E_FAIL;
        return S_OK;
    }
};
