// RegisterFilter and VoxaRegisterCategory against Wine's filter mapper: a
// test filter class with a chosen number of pin records is registered in a
// test category and taken out again, and the category is created, queried
// and removed once empty. Everything lives under GUIDs of these tests and is
// removed at the end of each test.
#include <DSFilters.h>

#include "dsfix/Com.h"

#include <gtest/gtest.h>

#include <string>

using dsfix::ComPtr;

namespace
{

// {D3A1C2B4-5E6F-4A7B-9C8D-0E1F2A3B4C5D}
const CLSID CLSID_RegTestFilter = { 0xd3a1c2b4, 0x5e6f, 0x4a7b, { 0x9c, 0x8d, 0x0e, 0x1f, 0x2a, 0x3b, 0x4c, 0x5d } };
const wchar_t kFilter[] = L"{D3A1C2B4-5E6F-4A7B-9C8D-0E1F2A3B4C5D}";
// {D3A1C2B5-5E6F-4A7B-9C8D-0E1F2A3B4C5D}
const CLSID CLSID_RegTestCategory = { 0xd3a1c2b5, 0x5e6f, 0x4a7b, { 0x9c, 0x8d, 0x0e, 0x1f, 0x2a, 0x3b, 0x4c, 0x5d } };
const wchar_t kCategory[] = L"{D3A1C2B5-5E6F-4A7B-9C8D-0E1F2A3B4C5D}";
const wchar_t kCategoryList[] = L"CLSID\\{DA4E3DA0-D07D-11D0-BD50-00A0C911CE86}\\Instance\\";

const REGPINTYPES s_anyType = { &GUID_NULL, &GUID_NULL };
REGFILTERPINS s_aPins[] = {
    { const_cast<LPWSTR>(L"In"), FALSE, FALSE, FALSE, FALSE, &GUID_NULL, NULL, 1, &s_anyType },
    { const_cast<LPWSTR>(L"Out"), FALSE, TRUE, FALSE, FALSE, &GUID_NULL, NULL, 1, &s_anyType },
};

// A filter class as RegisterFilter sees it: only its pin records.
struct CRegTestFilter
{
    static int s_nPins;
    static bool s_bHoleInRecords; // hands out NULL for the last record
    static int GetPinRegData(UINT index, const REGFILTERPINS** ppPin)
    {
        if (index < static_cast<UINT>(s_nPins))
        {
            if (ppPin)
                *ppPin = (s_bHoleInRecords && index + 1 == static_cast<UINT>(s_nPins)) ? NULL : &s_aPins[index];
            return 1;
        }
        if (ppPin)
            *ppPin = NULL;
        return s_nPins;
    }
};
int CRegTestFilter::s_nPins = 2;
bool CRegTestFilter::s_bHoleInRecords = false;

HRESULT Register(BOOL bRegister)
{
    return CBaseFilter<CRegTestFilter>::RegisterFilter(bRegister, CLSID_RegTestFilter, MERIT_NORMAL, &CLSID_RegTestCategory);
}

bool KeyExists(const std::wstring& sKey)
{
    HKEY h = NULL;
    if (ERROR_SUCCESS != RegOpenKeyExW(HKEY_CLASSES_ROOT, sKey.c_str(), 0, KEY_READ, &h))
        return false;
    RegCloseKey(h);
    return true;
}

std::wstring Sz(const std::wstring& sKey, LPCWSTR pszName)
{
    WCHAR sz[512] = L"";
    DWORD cb = sizeof(sz) - sizeof(WCHAR);
    if (ERROR_SUCCESS != RegGetValueW(HKEY_CLASSES_ROOT, sKey.c_str(), pszName, RRF_RT_REG_SZ, NULL, sz, &cb))
        return L"<missing>";
    return sz;
}

// The class key's default value, cbData bytes of pszName (no terminator when
// cbData leaves it out); pszName NULL leaves the key without one.
void WriteClassKey(LPCWSTR pszName, DWORD cbData)
{
    const std::wstring sKey = std::wstring(L"CLSID\\") + kFilter;
    RegDeleteTreeW(HKEY_CLASSES_ROOT, sKey.c_str());
    HKEY h = NULL;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CLASSES_ROOT, sKey.c_str(), 0, NULL, 0, KEY_WRITE, NULL, &h, NULL));
    if (pszName)
        RegSetValueExW(h, NULL, 0, REG_SZ, reinterpret_cast<const BYTE*>(pszName), cbData);
    RegCloseKey(h);
}

void WriteClassName(const std::wstring& sName)
{
    WriteClassKey(sName.c_str(), static_cast<DWORD>((sName.size() + 1) * sizeof(WCHAR)));
}

std::wstring Instance()
{
    return std::wstring(L"CLSID\\") + kCategory + L"\\Instance\\" + kFilter;
}

class FilterRegistration : public ::testing::Test
{
protected:
    ~FilterRegistration() override
    {
        CRegTestFilter::s_nPins = 2;
        CRegTestFilter::s_bHoleInRecords = false;
        RegDeleteTreeW(HKEY_CLASSES_ROOT, (std::wstring(L"CLSID\\") + kFilter).c_str());
        RegDeleteTreeW(HKEY_CLASSES_ROOT, (std::wstring(L"CLSID\\") + kCategory).c_str());
        RegDeleteTreeW(HKEY_CLASSES_ROOT, (std::wstring(kCategoryList) + kCategory).c_str());
    }

    // Filters in the test category that take an input and give an output
    // of any type.
    int MatchingFilters()
    {
        ComPtr<IFilterMapper2> spMapper;
        EXPECT_EQ(S_OK, CoCreateInstance(CLSID_FilterMapper2, NULL, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                                         reinterpret_cast<void**>(&spMapper)));
        const GUID types[2] = { MEDIATYPE_Video, MEDIASUBTYPE_RGB24 };
        ComPtr<IEnumMoniker> spEnum;
        if (!spMapper || S_OK != spMapper->EnumMatchingFilters(&spEnum, 0, FALSE, MERIT_NORMAL, TRUE, 1, types, NULL,
                                                               NULL, FALSE, TRUE, 1, types, NULL, NULL))
            return -1;
        int n = 0;
        ComPtr<IMoniker> spMoniker;
        while (S_OK == spEnum->Next(1, &spMoniker, NULL))
        {
            ComPtr<IPropertyBag> spBag;
            if (FAILED(spMoniker->BindToStorage(NULL, NULL, IID_IPropertyBag, reinterpret_cast<void**>(&spBag))))
                continue;
            VARIANT v;
            VariantInit(&v);
            if (SUCCEEDED(spBag->Read(L"CLSID", &v, NULL)) && v.vt == VT_BSTR && 0 == _wcsicmp(v.bstrVal, kFilter))
                ++n;
            VariantClear(&v);
        }
        return n;
    }

    dsfix::ComInit m_com;
};

TEST_F(FilterRegistration, RegistersUnderTheClassNameWithItsPins)
{
    ASSERT_EQ(S_OK, VoxaRegisterCategory(TRUE, &CLSID_RegTestCategory, L"Dez Test Category", MERIT_NORMAL));
    WriteClassName(L"Reg Test Filter");
    const struct
    {
        int nPins;
        int nMatches; // with no pins the filter matches no connection
    } cases[] = { { 2, 1 }, { 0, 0 } };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.nPins);
        CRegTestFilter::s_nPins = c.nPins;
        ASSERT_EQ(S_OK, Register(TRUE));
        EXPECT_EQ(L"Reg Test Filter", Sz(Instance(), L"FriendlyName"));
        EXPECT_EQ(kFilter, Sz(Instance(), L"CLSID"));
        EXPECT_EQ(c.nMatches, MatchingFilters());
        // Again: still one registration.
        ASSERT_EQ(S_OK, Register(TRUE));
        EXPECT_EQ(c.nMatches, MatchingFilters());
    }
    EXPECT_EQ(S_OK, Register(FALSE));
    EXPECT_FALSE(KeyExists(Instance()));
    // Taking out a filter that is not there succeeds.
    EXPECT_EQ(S_OK, Register(FALSE));
}

TEST_F(FilterRegistration, NameFromTheClassKey)
{
    ASSERT_EQ(S_OK, VoxaRegisterCategory(TRUE, &CLSID_RegTestCategory, L"Dez Test Category", MERIT_NORMAL));
    const std::wstring s127(127, L'M');
    const std::wstring s128(128, L'N');
    const struct
    {
        const wchar_t* pszWhat;
        const WCHAR* pszName; // NULL: no default value
        DWORD cb;
        HRESULT hr;
        std::wstring sRegistered;
    } cases[] = {
        { L"the longest name", s127.c_str(), 128 * sizeof(WCHAR), S_OK, s127 },
        // Wine wants room for a terminator it would add; Windows hands the
        // 128 characters back as they are, and the reader terminates them.
        { L"128 characters without a terminator", s128.c_str(), 128 * sizeof(WCHAR), HRESULT_FROM_WIN32(ERROR_MORE_DATA), L"" },
        { L"128 characters and the terminator", s128.c_str(), 129 * sizeof(WCHAR), HRESULT_FROM_WIN32(ERROR_MORE_DATA), L"" },
        { L"no default value", NULL, 0, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), L"" },
        { L"an empty value", L"", 0, E_FAIL, L"" },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(testing::Message() << std::string(c.pszWhat, c.pszWhat + wcslen(c.pszWhat)));
        // An old registration is always taken out, also when the new one fails.
        WriteClassName(L"Old Name");
        ASSERT_EQ(S_OK, Register(TRUE));
        WriteClassKey(c.pszName, c.cb);
        EXPECT_EQ(c.hr, Register(TRUE));
        if (SUCCEEDED(c.hr))
            EXPECT_EQ(c.sRegistered, Sz(Instance(), L"FriendlyName"));
        else
            EXPECT_FALSE(KeyExists(Instance()));
    }
    // No class key at all.
    RegDeleteTreeW(HKEY_CLASSES_ROOT, (std::wstring(L"CLSID\\") + kFilter).c_str());
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), Register(TRUE));
}

TEST_F(FilterRegistration, MissingPinRecordFailsTheRegistration)
{
    ASSERT_EQ(S_OK, VoxaRegisterCategory(TRUE, &CLSID_RegTestCategory, L"Dez Test Category", MERIT_NORMAL));
    WriteClassName(L"Reg Test Filter");
    CRegTestFilter::s_bHoleInRecords = true;
    EXPECT_EQ(E_UNEXPECTED, Register(TRUE));
    EXPECT_FALSE(KeyExists(Instance()));
}

TEST_F(FilterRegistration, CategoryIsCreatedQueriedAndRemovedOnceEmpty)
{
    const std::wstring sListed = std::wstring(kCategoryList) + kCategory;
    // Not there yet.
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), VoxaRegisterCategory(TRUE, &CLSID_RegTestCategory, NULL, 0));
    EXPECT_EQ(S_FALSE, VoxaRegisterCategory(FALSE, &CLSID_RegTestCategory, NULL, 0));
    EXPECT_EQ(S_FALSE, VoxaRegisterCategory(FALSE, &CLSID_RegTestCategory, L"Dez Test Category", 0));

    ASSERT_EQ(S_OK, VoxaRegisterCategory(TRUE, &CLSID_RegTestCategory, L"Dez Test Category", MERIT_NORMAL));
    EXPECT_EQ(L"Dez Test Category", Sz(sListed, L"FriendlyName"));
    EXPECT_EQ(S_OK, VoxaRegisterCategory(TRUE, &CLSID_RegTestCategory, NULL, 0));
    EXPECT_EQ(S_OK, VoxaRegisterCategory(FALSE, &CLSID_RegTestCategory, NULL, 0));
    // An existing category is left as it is.
    EXPECT_EQ(S_OK, VoxaRegisterCategory(TRUE, &CLSID_RegTestCategory, L"Another Name", MERIT_NORMAL));
    EXPECT_EQ(L"Dez Test Category", Sz(sListed, L"FriendlyName"));

    // A filter in it keeps it.
    WriteClassName(L"Reg Test Filter");
    ASSERT_EQ(S_OK, Register(TRUE));
    EXPECT_EQ(S_FALSE, VoxaRegisterCategory(FALSE, &CLSID_RegTestCategory, L"Dez Test Category", 0));
    EXPECT_TRUE(KeyExists(sListed));
    EXPECT_TRUE(KeyExists(Instance()));

    ASSERT_EQ(S_OK, Register(FALSE));
    EXPECT_EQ(S_OK, VoxaRegisterCategory(FALSE, &CLSID_RegTestCategory, L"Dez Test Category", 0));
    EXPECT_FALSE(KeyExists(sListed));
    EXPECT_FALSE(KeyExists(std::wstring(L"CLSID\\") + kCategory));
    EXPECT_EQ(S_FALSE, VoxaRegisterCategory(FALSE, &CLSID_RegTestCategory, NULL, 0));
}

// A filter mapper that answers every call with a chosen code, put in place
// of Wine's for this process (CoRegisterClassObject) while it lives; it
// records the calls made on it.
class CFakeMapper : public IFilterMapper2, public IClassFactory
{
public:
    explicit CFakeMapper(HRESULT hrCreate, HRESULT hrCalls) : m_hrCreate(hrCreate), m_hrCalls(hrCalls)
    {
        m_hrRegister = CoRegisterClassObject(CLSID_FilterMapper2, static_cast<IClassFactory*>(this),
                                             CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &m_dwCookie);
    }
    ~CFakeMapper()
    {
        if (SUCCEEDED(m_hrRegister))
            CoRevokeClassObject(m_dwCookie);
    }
    HRESULT Registered() const { return m_hrRegister; }

    // IUnknown: a stack object, never deleted through its count.
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (ppv == NULL)
            return E_POINTER;
        if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IClassFactory))
            *ppv = static_cast<IClassFactory*>(this);
        else if (IsEqualGUID(riid, IID_IFilterMapper2))
            *ppv = static_cast<IFilterMapper2*>(this);
        else
        {
            *ppv = NULL;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&m_nRef)); }
    STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(InterlockedDecrement(&m_nRef)); }

    // IClassFactory
    STDMETHODIMP CreateInstance(IUnknown* pOuter, REFIID riid, void** ppv) override
    {
        if (ppv)
            *ppv = NULL;
        if (pOuter)
            return CLASS_E_NOAGGREGATION;
        if (FAILED(m_hrCreate))
            return m_hrCreate;
        return QueryInterface(riid, ppv);
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }

    // IFilterMapper2
    STDMETHODIMP CreateCategory(REFCLSID, DWORD, LPCWSTR) override { return Call(L"CreateCategory"); }
    STDMETHODIMP UnregisterFilter(const CLSID*, LPCOLESTR, REFCLSID) override { return Call(L"UnregisterFilter"); }
    STDMETHODIMP RegisterFilter(REFCLSID, LPCWSTR, IMoniker**, const CLSID*, LPCOLESTR, const REGFILTER2*) override
    {
        return Call(L"RegisterFilter");
    }
    STDMETHODIMP EnumMatchingFilters(IEnumMoniker**, DWORD, BOOL, DWORD, BOOL, DWORD, const GUID*, const REGPINMEDIUM*,
                                     const CLSID*, BOOL, BOOL, DWORD, const GUID*, const REGPINMEDIUM*,
                                     const CLSID*) override
    {
        return Call(L"EnumMatchingFilters");
    }

    std::wstring m_sCalls;

private:
    HRESULT Call(LPCWSTR pszName)
    {
        m_sCalls += pszName;
        m_sCalls += L";";
        return m_hrCalls;
    }

    LONG m_nRef = 1;
    HRESULT m_hrCreate;
    HRESULT m_hrCalls;
    HRESULT m_hrRegister = E_FAIL;
    DWORD m_dwCookie = 0;
};

TEST_F(FilterRegistration, MapperFailuresAreReported)
{
    WriteClassName(L"Reg Test Filter");
    {
        // No filter mapper at all: both functions give its code.
        CFakeMapper fake(REGDB_E_CLASSNOTREG, S_OK);
        ASSERT_EQ(S_OK, fake.Registered());
        EXPECT_EQ(REGDB_E_CLASSNOTREG, Register(TRUE));
        EXPECT_EQ(REGDB_E_CLASSNOTREG, Register(FALSE));
        EXPECT_EQ(REGDB_E_CLASSNOTREG,
                  VoxaRegisterCategory(TRUE, &CLSID_RegTestCategory, L"Dez Test Category", MERIT_NORMAL));
    }
    {
        // A mapper whose every call fails: a category that was not created
        // is a failed registration, not a success.
        CFakeMapper fake(S_OK, E_ACCESSDENIED);
        ASSERT_EQ(S_OK, fake.Registered());
        EXPECT_EQ(E_ACCESSDENIED, VoxaRegisterCategory(TRUE, &CLSID_RegTestCategory, L"Dez Test Category", MERIT_NORMAL));
        EXPECT_EQ(L"CreateCategory;", fake.m_sCalls);
        // Removal's failure is the result of unregistering; registering goes
        // on after it, and the mapper's refusal is the result.
        fake.m_sCalls.clear();
        EXPECT_EQ(E_ACCESSDENIED, Register(FALSE));
        EXPECT_EQ(E_ACCESSDENIED, Register(TRUE));
        EXPECT_EQ(L"UnregisterFilter;UnregisterFilter;RegisterFilter;", fake.m_sCalls);
    }
    {
        // "Not registered there" is no failure when taking a filter out.
        CFakeMapper fake(S_OK, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
        ASSERT_EQ(S_OK, fake.Registered());
        EXPECT_EQ(S_OK, Register(FALSE));
    }
    EXPECT_FALSE(KeyExists(std::wstring(kCategoryList) + kCategory));
}

} // namespace
