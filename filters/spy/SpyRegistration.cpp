// Registration of the spy filter: its class's registry script, and the
// filter with its two pins in the legacy DirectShow category and the
// maker's category, where the filter mapper finds it.
#include "Filter.h"

#include "resource.h"

namespace
{
// The filter is never picked by intelligent connection: a user inserts it.
const DWORD SPY_MERIT = MERIT_DO_NOT_USE;              // 0x200000
const DWORD NORVALETH_CATEGORY_MERIT = MERIT_UNLIKELY; // 0x400000
const WCHAR NORVALETH_CATEGORY_NAME[] = L"Norvaleth Filters";

// What a pin is, as one word.
enum : WORD
{
    PT_RENDERED = 0x0001,
    PT_OUTPUT = 0x0002,
    PT_ZERO = 0x0004,
    PT_MANY = 0x0008,
};

// A rendered pin is an input pin.
constexpr bool IsPinTypeValid(WORD wPinType)
{
    return (wPinType & PT_RENDERED) == 0 || (wPinType & PT_OUTPUT) == 0;
}

// Any media type.
const REGPINTYPES s_anyType = { &GUID_NULL, &GUID_NULL };

constexpr REGFILTERPINS PinRecord(LPCWSTR pszName, WORD wPinType)
{
    return { const_cast<LPWSTR>(pszName),
             (wPinType & PT_RENDERED) ? TRUE : FALSE,
             (wPinType & PT_OUTPUT) ? TRUE : FALSE,
             (wPinType & PT_ZERO) ? TRUE : FALSE,
             (wPinType & PT_MANY) ? TRUE : FALSE,
             &GUID_NULL,
             NULL,
             1,
             &s_anyType };
}

constexpr WORD PIN_TYPE_IN = 0;
constexpr WORD PIN_TYPE_OUT = PT_OUTPUT;
static_assert(IsPinTypeValid(PIN_TYPE_IN) && IsPinTypeValid(PIN_TYPE_OUT),
              "(wPinType & PT_RENDERED) == 0 || (wPinType & PT_OUTPUT) == 0");

const REGFILTERPINS s_aPins[] = { PinRecord(L"In", PIN_TYPE_IN), PinRecord(L"Out", PIN_TYPE_OUT) };
const int PIN_COUNT = static_cast<int>(sizeof(s_aPins) / sizeof(s_aPins[0]));

// The maker's category: created (or found) when registering, removed once
// empty when unregistering. S_FALSE for any other category.
HRESULT RegisterNorvalethCategory(BOOL bRegister, const GUID& category)
{
    if (!InlineIsEqualGUID(category, CLSID_NorvalethCategory))
        return S_FALSE;
    return VoxaRegisterCategory(bRegister, &category, NORVALETH_CATEGORY_NAME, NORVALETH_CATEGORY_MERIT);
}
} // namespace

int CSpyFilter::GetPinRegData(UINT index, const REGFILTERPINS** ppPin)
{
    if (index < static_cast<UINT>(PIN_COUNT))
    {
        if (NULL != ppPin)
            *ppPin = &s_aPins[index];
        return 1;
    }
    if (NULL != ppPin)
        *ppPin = NULL;
    return PIN_COUNT;
}

// Registering: the script, the maker's category, then the filter in both
// categories. Unregistering: the script's keys, the filter from both
// categories, then the maker's category if no other filter is left in it.
// The first failure ends the sequence.
HRESULT WINAPI CSpyFilter::UpdateRegistry(BOOL bRegister) noexcept
{
    if (NULL == _pAtlModule)
        return E_UNEXPECTED;
    HRESULT hr = _pAtlModule->UpdateRegistryFromResource(IDR_SPYFILTER, bRegister);
    if (SUCCEEDED(hr) && bRegister)
        hr = RegisterNorvalethCategory(TRUE, CLSID_NorvalethCategory);
    if (SUCCEEDED(hr))
        hr = RegisterFilter(bRegister, CLSID_SpyFilter, SPY_MERIT, &CLSID_LegacyAmFilterCategory);
    if (SUCCEEDED(hr))
        hr = RegisterFilter(bRegister, CLSID_SpyFilter, SPY_MERIT, &CLSID_NorvalethCategory);
    if (SUCCEEDED(hr) && !bRegister)
        RegisterNorvalethCategory(FALSE, CLSID_NorvalethCategory);
    return hr;
}
