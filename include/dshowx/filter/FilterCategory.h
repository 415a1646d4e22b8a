// The maker's filter categories and their registration with the filter
// mapper.
#pragma once

#include "DSTrace.h"
#include "DSTypes.h"
#include "Wrappers.h"

#include <atlbase.h>
#include <atlcom.h>

// ---------------------------------------------------------------------------
// Filter categories

// The maker's own filter category, "Norvaleth Filters".
// {76726F4E-BB61-47AC-A545-912B367DE469}
inline constexpr CLSID CLSID_NorvalethCategory = { 0x76726f4e, 0xbb61, 0x47ac, { 0xa5, 0x45, 0x91, 0x2b, 0x36, 0x7d, 0xe4, 0x69 } };
// A second category of the maker: a filter registered into the maker's own
// category is first taken out of this one.
// {5A0E8F13-2C6B-4D97-B3E4-8F1A7C9D0E26}
inline constexpr CLSID CLSID_NorvalethCategory2 = { 0x5a0e8f13, 0x2c6b, 0x4d97, { 0xb3, 0xe4, 0x8f, 0x1a, 0x7c, 0x9d, 0x0e, 0x26 } };

// Creates the filter category *pCategory with the filter mapper (bRegister
// TRUE; a category that exists is left alone) or removes it once no filter
// is left in it (FALSE). With pszName NULL it only asks whether the category
// exists: TRUE gives S_OK or the registry's error for the missing key, FALSE
// gives S_OK or S_FALSE. Removal answers S_FALSE when the category is not
// there, still holds filters or cannot be deleted.
inline HRESULT VoxaRegisterCategory(BOOL bRegister, const CLSID* pCategory, LPCWSTR pszName, DWORD dwMerit)
{
    if (!ASSERT(pCategory != NULL))
        return E_POINTER;
    // The filter mapper's list of categories, and the category's name in it.
    WCHAR szGuid[40];
    WCHAR szKey[256];
    if (0 == StringFromGUID2(CLSID_ActiveMovieCategories, szGuid, 40))
        return E_UNEXPECTED;
    _snwprintf_s(szKey, 256, _TRUNCATE, L"CLSID\\%s\\Instance", szGuid);
    if (0 == StringFromGUID2(*pCategory, szGuid, 40))
        return E_UNEXPECTED;

    HKEY hCategories = NULL;
    LONG r = RegOpenKeyExW(HKEY_CLASSES_ROOT, szKey, 0, READ_CONTROL, &hCategories);
    if (ERROR_SUCCESS == r)
    {
        HKEY hCategory = NULL;
        r = RegOpenKeyExW(hCategories, szGuid, 0, READ_CONTROL, &hCategory);
        if (ERROR_SUCCESS == r)
            RegCloseKey(hCategory);
    }
    const bool bExists = (ERROR_SUCCESS == r);

    HRESULT hr = S_OK;
    if (NULL == pszName)
    {
        hr = bRegister ? HRESULT_FROM_WIN32(r) : (bExists ? S_OK : S_FALSE);
    }
    else if (bRegister)
    {
        if (!bExists)
        {
            CComPtr<IFilterMapper2> spMapper;
            hr = spMapper.CoCreateInstance(CLSID_FilterMapper2, NULL, CLSCTX_INPROC_SERVER);
            if (S_OK != hr || !spMapper)
            {
                ASSERT_TEXT(FALSE, "VoxaRegisterCategory( TRUE ): CoCreateInstance(CLSID_FilterMapper2) FAILED");
                hr = FAILED(hr) ? hr : E_FAIL;
            }
            else
            {
                hr = spMapper->CreateCategory(*pCategory, dwMerit, pszName);
                ASSERT_TEXT(hr == S_OK,
                            "hr == S_OK && _T(\"VoxaRegisterCategory( TRUE ): IFilterMapper2::CreateCategory() FAILED\")");
                // A category that could not be created is a failed registration.
                hr = FAILED(hr) ? hr : S_OK;
            }
        }
    }
    else
    {
        hr = S_FALSE;
        HKEY hClsid = NULL;
        const LONG l = RegOpenKeyExW(HKEY_CLASSES_ROOT, L"CLSID", 0, READ_CONTROL | KEY_SET_VALUE | KEY_CREATE_SUB_KEY,
                                     &hClsid);
        if (ERROR_SUCCESS != l)
        {
            ASSERT_TEXT(FALSE, "VoxaRegisterCategory( FALSE ): keyClsid.Open( CLSID ) FAILED");
            hr = HRESULT_FROM_WIN32(l);
        }
        else
        {
            WCHAR szInstance[64];
            _snwprintf_s(szInstance, 64, _TRUNCATE, L"%s\\Instance", szGuid);
            HKEY hInstance = NULL;
            DWORD nSubKeys = 0;
            if (ERROR_SUCCESS == RegOpenKeyExW(hClsid, szInstance, 0, KEY_QUERY_VALUE, &hInstance))
            {
                const LONG lInfo = RegQueryInfoKeyW(hInstance, NULL, NULL, NULL, &nSubKeys, NULL, NULL, NULL, NULL,
                                                    NULL, NULL, NULL);
                RegCloseKey(hInstance);
                // Only an empty category goes.
                if (ERROR_SUCCESS == lInfo && 0 == nSubKeys)
                {
                    if (ERROR_SUCCESS != RegDeleteTreeW(hClsid, szGuid))
                        ASSERT_TEXT(FALSE, "VoxaRegisterCategory( FALSE ): CLSID -> RecurseDeleteKey() FAILED");
                    else if (NULL == hCategories || ERROR_SUCCESS != RegDeleteTreeW(hCategories, szGuid))
                        ASSERT_TEXT(FALSE, "VoxaRegisterCategory( FALSE ): ActiveMovie -> RecurseDeleteKey() FAILED");
                    else
                        hr = S_OK;
                }
            }
            RegCloseKey(hClsid);
        }
    }
    if (NULL != hCategories)
        RegCloseKey(hCategories);
    return hr;
}
