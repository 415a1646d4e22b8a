// Small Windows functions of the framework.
#pragma once

#include "DSTrace.h"

#include <mmsystem.h>
#include <string.h>
#include <x86intrin.h>

// Braced upper-case text of a GUID, "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}":
// 38 characters and a NUL, so pszName needs at least 39 WCHARs.
inline LPWSTR GuidToText(const GUID& guid, LPWSTR pszName)
{
    ASSERT(pszName != NULL);
    if (NULL == pszName)
        return NULL;
    _snwprintf_s(pszName, 39, _TRUNCATE, L"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                 static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                 guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return pszName;
}


// The processor clock in MHz, that is time-stamp-counter ticks per
// microsecond. Unless bMeasure is set, the value the system keeps in the
// registry is taken when there is one; otherwise the clock is measured against
// the performance counter over about 10 ms (or against timeGetTime over about
// 40 ms when there is no performance counter). On success *pdwFreq is at
// least 1; on failure it is 0 and the result false, so callers may divide by
// a value they got with true.
inline bool GetProcFreq(DWORD* pdwFreq, bool bMeasure)
{
    ASSERT(pdwFreq != NULL);
    if (NULL == pdwFreq)
        return false;
    *pdwFreq = 0;

    if (!bMeasure)
    {
        HKEY hKey = NULL;
        if (ERROR_SUCCESS == RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0",
                                           0, KEY_READ, &hKey))
        {
            DWORD dwMHz = 0;
            DWORD dwType = REG_NONE;
            DWORD cb = sizeof(dwMHz);
            const LONG lResult = RegQueryValueExW(hKey, L"~MHz", NULL, &dwType, reinterpret_cast<BYTE*>(&dwMHz), &cb);
            RegCloseKey(hKey);
            if (ERROR_SUCCESS == lResult && REG_DWORD == dwType && sizeof(dwMHz) == cb && dwMHz > 0)
            {
                *pdwFreq = dwMHz;
                return true;
            }
        }
    }

    LONGLONG llElapsed = 0;
    LONGLONG llFrequency = 0;
    unsigned long long ullTicks0 = 0;
    unsigned long long ullTicks1 = 0;
    LARGE_INTEGER liFreq = {};
    if (QueryPerformanceFrequency(&liFreq) && liFreq.QuadPart >= 1)
    {
        LARGE_INTEGER li0 = {};
        LARGE_INTEGER li1 = {};
        const BOOL bRead0 = QueryPerformanceCounter(&li0);
        ullTicks0 = __rdtsc();
        Sleep(10);
        const BOOL bRead1 = QueryPerformanceCounter(&li1);
        ullTicks1 = __rdtsc();
        if (bRead0 && bRead1)
        {
            llElapsed = li1.QuadPart - li0.QuadPart;
            llFrequency = liFreq.QuadPart;
        }
    }
    if (llElapsed <= 0)
    {
        const DWORD dwTime0 = timeGetTime();
        ullTicks0 = __rdtsc();
        Sleep(40);
        const DWORD dwTime1 = timeGetTime();
        ullTicks1 = __rdtsc();
        llElapsed = static_cast<LONGLONG>(static_cast<DWORD>(dwTime1 - dwTime0));
        llFrequency = 1000;
    }
    if (llElapsed < 1)
        return false;

    // Two reads on cores whose counters disagree can go backwards: no ticks.
    const double dTicks = (ullTicks1 > ullTicks0) ? static_cast<double>(ullTicks1 - ullTicks0) : 0.0;
    const double dMHz = dTicks * static_cast<double>(llFrequency) / static_cast<double>(llElapsed) / 1000000.0;
    if (!(dMHz >= 1.0))
        return false;
    *pdwFreq = (dMHz >= 4294967295.0) ? 0xFFFFFFFFu : static_cast<DWORD>(dMHz);
    return true;
}

// The fixed part of hModule's version resource (VS_VERSION_INFO, RT_VERSION
// number 1) in *pFI, which is zeroed first. S_OK; S_FALSE when the resource's
// fixed part is shorter than VS_FIXEDFILEINFO (the rest stays zero); the
// HRESULT of the failed lookup when there is no version resource;
// HRESULT_FROM_WIN32(ERROR_NOT_FOUND) for a block too short for its own
// header, key or fixed part; E_FAIL when the block's key is not
// "VS_VERSION_INFO". Nothing is read outside the resource.
inline HRESULT GetFileVersion(VS_FIXEDFILEINFO* pFI, HMODULE hModule)
{
    ASSERT(pFI != NULL);
    if (NULL == pFI)
        return E_INVALIDARG;
    ZeroMemory(pFI, sizeof(*pFI));

    SetLastError(0);
    const HRSRC hRes = FindResourceW(hModule, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(16) /* RT_VERSION */);
    const HGLOBAL hData = (NULL != hRes) ? LoadResource(hModule, hRes) : NULL;
    const BYTE* pBlock = (NULL != hData) ? static_cast<const BYTE*>(LockResource(hData)) : NULL;
    const DWORD cbResource = (NULL != pBlock) ? SizeofResource(hModule, hRes) : 0;
    if (NULL == pBlock || 0 == cbResource)
    {
        const DWORD dwError = GetLastError();
        return (0 == dwError) ? E_FAIL : HRESULT_FROM_WIN32(dwError);
    }

    // The block: WORD total length, WORD value length, WORD type, the key
    // with its NUL, padding to a 4-byte boundary, then the value.
    static const WCHAR s_szKey[] = L"VS_VERSION_INFO";
    const size_t cbHeader = 3 * sizeof(WORD);
    if (cbResource < cbHeader)
        return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
    WORD awHeader[3];
    memcpy(awHeader, pBlock, cbHeader);
    const size_t cbTotal = awHeader[0];
    const size_t cbValue = awHeader[1];
    if (cbTotal < 4 || 0 == cbValue || cbTotal > cbResource || cbTotal < cbHeader + sizeof(s_szKey))
        return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
    if (0 != memcmp(pBlock + cbHeader, s_szKey, sizeof(s_szKey)))
        return E_FAIL;

    const UINT_PTR uKeyEnd = reinterpret_cast<UINT_PTR>(pBlock) + cbHeader + sizeof(s_szKey);
    const size_t cbOffset = static_cast<size_t>(((uKeyEnd + 3) & ~static_cast<UINT_PTR>(3)) - reinterpret_cast<UINT_PTR>(pBlock));
    const size_t cbCopy = (cbValue < sizeof(*pFI)) ? cbValue : sizeof(*pFI);
    if (cbOffset + cbCopy > cbTotal)
        return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
    memcpy(pFI, pBlock + cbOffset, cbCopy);
    return (cbValue < sizeof(*pFI)) ? S_FALSE : S_OK;
}
