// The filter module loaded as COM loads it: its exports by ordinal, the
// class factory of the spy filter, the lock count behind DllCanUnloadNow and
// the module's version. Nothing here touches the registry.
#include "ModuleSupport.h"

#include "dsfix/Com.h"

using namespace morphlet;
using dsfix::ComPtr;

namespace
{

class Module : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_module.Loaded()) << "Morphlet.dll or one of its exports is missing"; }

    ComPtr<IClassFactory> Factory()
    {
        ComPtr<IClassFactory> spCF;
        EXPECT_EQ(S_OK, m_module.GetClassObject(CLSID_SpyFilter, IID_IClassFactory, reinterpret_cast<void**>(&spCF)));
        return spCF;
    }

    dsfix::ComInit m_com;
    CModule m_module;
};

TEST_F(Module, ExportsHaveTheirOrdinals)
{
    const char* const names[] = { "DllCanUnloadNow", "DllGetClassObject", "DllRegisterServer", "DllUnregisterServer" };
    for (WORD ordinal = 1; ordinal <= 4; ++ordinal)
    {
        FARPROC pByName = GetProcAddress(m_module.Handle(), names[ordinal - 1]);
        FARPROC pByOrdinal = GetProcAddress(m_module.Handle(), MAKEINTRESOURCEA(ordinal));
        EXPECT_NE(nullptr, pByName) << names[ordinal - 1];
        EXPECT_EQ(pByName, pByOrdinal) << "ordinal " << ordinal;
    }
    EXPECT_EQ(nullptr, GetProcAddress(m_module.Handle(), MAKEINTRESOURCEA(5)));
}

TEST_F(Module, FactoryCreatesTheSpyFilter)
{
    ComPtr<IClassFactory> spCF = Factory();
    ASSERT_TRUE(spCF);
    ComPtr<IBaseFilter> spFilter;
    ASSERT_EQ(S_OK, spCF->CreateInstance(NULL, IID_IBaseFilter, reinterpret_cast<void**>(&spFilter)));
    ASSERT_TRUE(spFilter);
    CLSID clsid = CLSID_NULL;
    EXPECT_EQ(S_OK, spFilter->GetClassID(&clsid));
    EXPECT_TRUE(IsEqualGUID(CLSID_SpyFilter, clsid));
    ComPtr<IEnumPins> spEnum;
    ASSERT_EQ(S_OK, spFilter->EnumPins(&spEnum));
    ComPtr<IPin> spPin;
    int nPins = 0;
    while (S_OK == spEnum->Next(1, &spPin, NULL))
        ++nPins;
    EXPECT_EQ(2, nPins);

    // Every creation gives a new object; the factory also hands out IUnknown.
    ComPtr<IUnknown> spOther;
    ASSERT_EQ(S_OK, spCF->CreateInstance(NULL, IID_IUnknown, reinterpret_cast<void**>(&spOther)));
    EXPECT_FALSE(dsfix::SameObject(spFilter, spOther));
}

TEST_F(Module, LockCountFollowsObjectsPinsAndServerLocks)
{
    EXPECT_EQ(S_OK, m_module.CanUnloadNow());
    ComPtr<IClassFactory> spCF = Factory();
    ASSERT_TRUE(spCF);
    // A factory alone does not hold the module; LockServer does.
    EXPECT_EQ(S_OK, m_module.CanUnloadNow());
    EXPECT_EQ(S_OK, spCF->LockServer(TRUE));
    EXPECT_EQ(S_FALSE, m_module.CanUnloadNow());
    EXPECT_EQ(S_OK, spCF->LockServer(FALSE));
    EXPECT_EQ(S_OK, m_module.CanUnloadNow());

    ComPtr<IBaseFilter> spFilter;
    ASSERT_EQ(S_OK, spCF->CreateInstance(NULL, IID_IBaseFilter, reinterpret_cast<void**>(&spFilter)));
    spCF.Reset();
    EXPECT_EQ(S_FALSE, m_module.CanUnloadNow());

    // A pin kept after its filter went is still code of the module.
    ComPtr<IEnumPins> spEnum;
    ASSERT_EQ(S_OK, spFilter->EnumPins(&spEnum));
    ComPtr<IPin> spPin;
    ASSERT_EQ(S_OK, spEnum->Next(1, &spPin, NULL));
    spEnum.Reset();
    spFilter.Reset();
    EXPECT_EQ(S_FALSE, m_module.CanUnloadNow());
    spPin.Reset();
    EXPECT_EQ(S_OK, m_module.CanUnloadNow());
}

TEST_F(Module, FactoryRefusesAggregationAndUnknownInterfaces)
{
    ComPtr<IClassFactory> spCF = Factory();
    ASSERT_TRUE(spCF);
    ComPtr<IUnknown> spOuter;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_FilterGraph, NULL, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                     reinterpret_cast<void**>(&spOuter)));
    const IID* const iids[] = { &IID_IUnknown, &IID_IBaseFilter };
    for (const IID* piid : iids)
    {
        void* pv = reinterpret_cast<void*>(1);
        EXPECT_EQ(CLASS_E_NOAGGREGATION, spCF->CreateInstance(spOuter, *piid, &pv));
        EXPECT_EQ(nullptr, pv);
    }
    void* pv = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, spCF->CreateInstance(NULL, IID_IClassFactory, &pv));
    EXPECT_EQ(nullptr, pv);
    EXPECT_EQ(E_POINTER, spCF->CreateInstance(NULL, IID_IBaseFilter, NULL));
    // Nothing refused stays alive.
    EXPECT_EQ(S_OK, m_module.CanUnloadNow());
}

TEST_F(Module, OnlyTheSpyFilterIsAClass)
{
    // The type library, the filter's own interface and a stock class.
    const GUID others[] = {
        { 0xb58f2e67, 0x4d13, 0x4c9a, { 0x9e, 0x71, 0x0f, 0x6a, 0x3d, 0x2c, 0x8b, 0x54 } },
        { 0x3c7e52e0, 0x9a41, 0x4f0b, { 0x8d, 0x26, 0x51, 0xb7, 0xe0, 0xa4, 0xc9, 0x13 } },
        CLSID_FilterGraph,
    };
    for (const GUID& g : others)
    {
        void* pv = reinterpret_cast<void*>(1);
        EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, m_module.GetClassObject(g, IID_IClassFactory, &pv));
        EXPECT_EQ(nullptr, pv);
    }
    EXPECT_EQ(E_POINTER, m_module.GetClassObject(CLSID_SpyFilter, IID_IClassFactory, NULL));
    void* pv = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, m_module.GetClassObject(CLSID_SpyFilter, IID_IBaseFilter, &pv));
    EXPECT_EQ(nullptr, pv);
    EXPECT_EQ(S_OK, m_module.CanUnloadNow());
}

TEST_F(Module, TheVersionResourceGivesVersionFlagsTypeAndNames)
{
    const std::wstring sPath = m_module.Path();
    DWORD dwHandle = 0;
    const DWORD cb = GetFileVersionInfoSizeW(sPath.c_str(), &dwHandle);
    ASSERT_NE(0u, cb);
    std::string block(cb, '\0');
    ASSERT_TRUE(GetFileVersionInfoW(sPath.c_str(), 0, cb, &block[0]));
    VS_FIXEDFILEINFO* pFI = NULL;
    UINT cbFI = 0;
    ASSERT_TRUE(VerQueryValueW(&block[0], L"\\", reinterpret_cast<void**>(&pFI), &cbFI));
    EXPECT_EQ(MAKELONG(2, 1), static_cast<LONG>(pFI->dwFileVersionMS));
    EXPECT_EQ(0u, pFI->dwFileVersionLS);
    EXPECT_EQ(MAKELONG(2, 1), static_cast<LONG>(pFI->dwProductVersionMS));
    EXPECT_EQ(0u, pFI->dwProductVersionLS);
    EXPECT_EQ(static_cast<DWORD>(VS_FF_DEBUG), pFI->dwFileFlags & VS_FF_DEBUG);
    EXPECT_EQ(static_cast<DWORD>(VFT_DLL), pFI->dwFileType);
    const wchar_t* const keys[] = { L"\\StringFileInfo\\040904B0\\FileDescription",
                                    L"\\StringFileInfo\\040904B0\\ProductName" };
    for (const wchar_t* key : keys)
    {
        wchar_t* psz = NULL;
        UINT cch = 0;
        ASSERT_TRUE(VerQueryValueW(&block[0], key, reinterpret_cast<void**>(&psz), &cch));
        EXPECT_STREQ(L"Morphlet Module", psz);
    }
}

} // namespace
