// The filter module's type library: registered with the classes, loadable by
// its identifier, describing the spy's interface, its capture file types and
// the module's classes, and gone again after unregistration. Each test puts
// the registration back as it found it (the main job registers the module in
// the same prefix).
#include "ModuleSupport.h"

#include "Morphlet.h"

#include "dsfix/Com.h"

#include <string>
#include <vector>

using morphlet::CModule;
using morphlet::Hr;

namespace
{

const wchar_t kLibKey[] = L"TypeLib\\{B58F2E67-4D13-4C9A-9E71-0F6A3D2C8B54}";
// {00020430-0000-0000-C000-000000000046}: the OLE automation library.
const GUID LIBID_StdOle = { 0x00020430, 0x0000, 0x0000, { 0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46 } };

bool KeyExists(const std::wstring& sKey)
{
    HKEY h = NULL;
    if (ERROR_SUCCESS != RegOpenKeyExW(HKEY_CLASSES_ROOT, sKey.c_str(), 0, KEY_READ, &h))
        return false;
    RegCloseKey(h);
    return true;
}

std::wstring Sz(const std::wstring& sKey, LPCWSTR pszName = NULL)
{
    WCHAR sz[1024] = L"";
    DWORD cb = sizeof(sz) - sizeof(WCHAR);
    if (ERROR_SUCCESS != RegGetValueW(HKEY_CLASSES_ROOT, sKey.c_str(), pszName, RRF_RT_REG_SZ, NULL, sz, &cb))
        return L"<missing>";
    return sz;
}

// Name and doc string of a type (index -1: the library itself).
struct Doc
{
    std::wstring sName;
    std::wstring sDoc;
    bool bHelpFile = false;
};

Doc Documentation(ITypeLib* pLib, INT index)
{
    Doc d;
    BSTR bstrName = NULL, bstrDoc = NULL, bstrHelp = NULL;
    if (SUCCEEDED(pLib->GetDocumentation(index, &bstrName, &bstrDoc, NULL, &bstrHelp)))
    {
        d.sName = bstrName ? bstrName : L"";
        d.sDoc = bstrDoc ? bstrDoc : L"";
        d.bHelpFile = bstrHelp != NULL && bstrHelp[0] != 0;
    }
    SysFreeString(bstrName);
    SysFreeString(bstrDoc);
    SysFreeString(bstrHelp);
    return d;
}

std::wstring MemberName(ITypeInfo* pInfo, MEMBERID id)
{
    BSTR bstr = NULL;
    std::wstring s;
    if (SUCCEEDED(pInfo->GetDocumentation(id, &bstr, NULL, NULL, NULL)) && bstr)
        s = bstr;
    SysFreeString(bstr);
    return s;
}

class TypeLibrary : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_module.Loaded()) << "Morphlet.dll or one of its exports is missing";
        m_bWasRegistered = KeyExists(L"CLSID\\{3C7E52D0-9A41-4F0B-8D26-51B7E0A4C913}");
    }
    void TearDown() override
    {
        const HRESULT hr = m_bWasRegistered ? m_module.Register() : m_module.Unregister();
        EXPECT_EQ(S_OK, hr) << "putting the registration back: " << Hr(hr);
    }

    dsfix::ComInit m_com;
    CModule m_module;
    bool m_bWasRegistered = false;
};

TEST_F(TypeLibrary, RegisteredWithTheModuleAndLoadableByItsIdentifier)
{
    ASSERT_EQ(S_OK, m_module.Register());
    // The library's keys: its description, and the module's path for the
    // 32-bit system kind under the library's locale.
    const std::wstring sVersion = std::wstring(kLibKey) + L"\\1.0";
    EXPECT_EQ(L"Norvaleth Spy Filter 1.0 Type Library", Sz(sVersion));
    EXPECT_EQ(m_module.Path(), Sz(sVersion + L"\\409\\win32"));

    ITypeLib* pLib = NULL;
    ASSERT_EQ(S_OK, LoadRegTypeLib(LIBID_SPYFILTERLib, 1, 0, 0x409, &pLib));
    TLIBATTR* pAttr = NULL;
    ASSERT_EQ(S_OK, pLib->GetLibAttr(&pAttr));
    EXPECT_TRUE(IsEqualGUID(LIBID_SPYFILTERLib, pAttr->guid));
    EXPECT_EQ(0x409u, pAttr->lcid);
    EXPECT_EQ(SYS_WIN32, pAttr->syskind);
    EXPECT_EQ(1, pAttr->wMajorVerNum);
    EXPECT_EQ(0, pAttr->wMinorVerNum);
    pLib->ReleaseTLibAttr(pAttr);
    const Doc lib = Documentation(pLib, -1);
    EXPECT_EQ(L"SPYFILTERLib", lib.sName);
    EXPECT_EQ(L"Norvaleth Spy Filter 1.0 Type Library", lib.sDoc);
    EXPECT_FALSE(lib.bHelpFile);

    BSTR bstrPath = NULL;
    ASSERT_EQ(S_OK, QueryPathOfRegTypeLib(LIBID_SPYFILTERLib, 1, 0, 0x409, &bstrPath));
    EXPECT_EQ(0, _wcsicmp(m_module.Path().c_str(), bstrPath));
    SysFreeString(bstrPath);
    pLib->Release();
}

TEST_F(TypeLibrary, DescribesTheInterfaceTheFileTypesAndTheClassesInOrder)
{
    ASSERT_EQ(S_OK, m_module.Register());
    ITypeLib* pLib = NULL;
    ASSERT_EQ(S_OK, LoadRegTypeLib(LIBID_SPYFILTERLib, 1, 0, 0x409, &pLib));

    const struct
    {
        LPCWSTR pszName;
        TYPEKIND kind;
        const GUID* pGuid; // NULL: no identifier
        LPCWSTR pszDoc;
    } expected[] = {
        { L"SpyFilter", TKIND_COCLASS, &CLSID_SpyFilter, L"Norvaleth Spy Filter" },
        { L"INRVSpyFilter", TKIND_INTERFACE, &IID_INRVSpyFilter, L"INRVSpyFilter Interface" },
        { L"tagCaptureFileType", TKIND_ENUM, NULL, L"" },
        { L"SpyFilterPP", TKIND_COCLASS, &CLSID_SpyFilterPP, L"Norvaleth Spy Property Page" },
        { L"AboutSpyFilter", TKIND_COCLASS, &CLSID_AboutSpyFilter, L"Norvaleth Spy About" },
    };
    ASSERT_EQ(sizeof(expected) / sizeof(expected[0]), pLib->GetTypeInfoCount());
    // IUnknown is stdole2's, not a copy in this library.
    ITypeInfo* pCopy = NULL;
    EXPECT_EQ(TYPE_E_ELEMENTNOTFOUND, pLib->GetTypeInfoOfGuid(IID_IUnknown, &pCopy));
    if (pCopy)
        pCopy->Release();
    for (UINT i = 0; i < pLib->GetTypeInfoCount(); ++i)
    {
        const auto& e = expected[i];
        const Doc d = Documentation(pLib, static_cast<INT>(i));
        EXPECT_EQ(e.pszName, d.sName) << i;
        EXPECT_EQ(e.pszDoc, d.sDoc) << i;
        ITypeInfo* pInfo = NULL;
        ASSERT_EQ(S_OK, pLib->GetTypeInfo(i, &pInfo));
        TYPEATTR* pTA = NULL;
        ASSERT_EQ(S_OK, pInfo->GetTypeAttr(&pTA));
        EXPECT_EQ(e.kind, pTA->typekind) << i;
        EXPECT_TRUE(IsEqualGUID(e.pGuid ? *e.pGuid : GUID_NULL, pTA->guid)) << i;
        if (TKIND_COCLASS == e.kind)
        {
            EXPECT_TRUE(pTA->wTypeFlags & TYPEFLAG_FCANCREATE) << i;
            // The filter's class names its interface; the page classes
            // name none (widl would copy IUnknown into the library).
            EXPECT_EQ(IsEqualGUID(CLSID_SpyFilter, pTA->guid) ? 1 : 0, pTA->cImplTypes) << i;
        }
        pInfo->ReleaseTypeAttr(pTA);
        pInfo->Release();
    }

    // The interface: derived from stdole2's IUnknown, neither dual nor for
    // automation, eight methods in slot order after IUnknown's three.
    ITypeInfo* pItf = NULL;
    ASSERT_EQ(S_OK, pLib->GetTypeInfoOfGuid(IID_INRVSpyFilter, &pItf));
    TYPEATTR* pTA = NULL;
    ASSERT_EQ(S_OK, pItf->GetTypeAttr(&pTA));
    EXPECT_EQ(0, pTA->wTypeFlags & (TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE));
    EXPECT_EQ(1, pTA->cImplTypes);
    const WORD cFuncs = pTA->cFuncs;
    pItf->ReleaseTypeAttr(pTA);
    HREFTYPE hRef = 0;
    ASSERT_EQ(S_OK, pItf->GetRefTypeOfImplType(0, &hRef));
    ITypeInfo* pBase = NULL;
    ASSERT_EQ(S_OK, pItf->GetRefTypeInfo(hRef, &pBase));
    EXPECT_EQ(L"IUnknown", MemberName(pBase, MEMBERID_NIL));
    ITypeLib* pBaseLib = NULL;
    UINT nIndex = 0;
    ASSERT_EQ(S_OK, pBase->GetContainingTypeLib(&pBaseLib, &nIndex));
    TLIBATTR* pBaseAttr = NULL;
    ASSERT_EQ(S_OK, pBaseLib->GetLibAttr(&pBaseAttr));
    EXPECT_TRUE(IsEqualGUID(LIBID_StdOle, pBaseAttr->guid)) << "IUnknown comes from stdole2.tlb";
    pBaseLib->ReleaseTLibAttr(pBaseAttr);
    pBaseLib->Release();
    pBase->Release();

    const struct
    {
        LPCWSTR pszName;
        std::vector<std::wstring> params;
    } methods[] = {
        { L"EnableDynReconnect", { L"bEnable" } },
        { L"IsDynReconnecEnabled", {} },
        { L"EnableMTEnumRedir", { L"bEnable" } },
        { L"IsMTEnumRedirEnabled", {} },
        { L"GetBitrate", { L"pnCurrent", L"pnAverage" } },
        { L"ForcePassthruAllocator", { L"bForce" } },
        { L"IsPassthruAllocatorForced", { L"pbForced" } },
        { L"CaptureFrame", { L"bstrFileName", L"eCFT" } },
    };
    ASSERT_EQ(8, cFuncs);
    for (UINT i = 0; i < cFuncs; ++i)
    {
        FUNCDESC* pFD = NULL;
        ASSERT_EQ(S_OK, pItf->GetFuncDesc(i, &pFD));
        BSTR rgNames[4] = {};
        UINT cNames = 0;
        ASSERT_EQ(S_OK, pItf->GetNames(pFD->memid, rgNames, 4, &cNames));
        std::vector<std::wstring> names;
        for (UINT n = 0; n < cNames; ++n)
        {
            names.push_back(rgNames[n]);
            SysFreeString(rgNames[n]);
        }
        ASSERT_FALSE(names.empty());
        EXPECT_EQ(methods[i].pszName, names[0]) << i;
        EXPECT_EQ(methods[i].params, std::vector<std::wstring>(names.begin() + 1, names.end())) << i;
        EXPECT_EQ(static_cast<SHORT>((3 + i) * sizeof(void*)), pFD->oVft) << "slot " << 3 + i;
        EXPECT_EQ(VT_HRESULT, pFD->elemdescFunc.tdesc.vt) << i;
        if (7 == i)
        {
            EXPECT_EQ(VT_BSTR, pFD->lprgelemdescParam[0].tdesc.vt);
            EXPECT_EQ(VT_USERDEFINED, pFD->lprgelemdescParam[1].tdesc.vt) << "the file-type enumeration";
        }
        pItf->ReleaseFuncDesc(pFD);
    }
    pItf->Release();

    // The file types.
    ITypeInfo* pEnum = NULL;
    ASSERT_EQ(S_OK, pLib->GetTypeInfo(2, &pEnum));
    for (UINT i = 0; i < 2; ++i)
    {
        VARDESC* pVD = NULL;
        ASSERT_EQ(S_OK, pEnum->GetVarDesc(i, &pVD));
        EXPECT_EQ(i ? L"eCFT_Bmp" : L"eCFT_Bin", MemberName(pEnum, pVD->memid));
        ASSERT_EQ(VAR_CONST, pVD->varkind);
        EXPECT_EQ(static_cast<LONG>(i), V_I4(pVD->lpvarValue));
        pEnum->ReleaseVarDesc(pVD);
    }
    pEnum->Release();

    // The filter's class offers the interface as its default.
    ITypeInfo* pClass = NULL;
    ASSERT_EQ(S_OK, pLib->GetTypeInfoOfGuid(CLSID_SpyFilter, &pClass));
    INT nFlags = 0;
    ASSERT_EQ(S_OK, pClass->GetImplTypeFlags(0, &nFlags));
    EXPECT_TRUE(nFlags & IMPLTYPEFLAG_FDEFAULT);
    ASSERT_EQ(S_OK, pClass->GetRefTypeOfImplType(0, &hRef));
    ITypeInfo* pDefault = NULL;
    ASSERT_EQ(S_OK, pClass->GetRefTypeInfo(hRef, &pDefault));
    EXPECT_EQ(L"INRVSpyFilter", MemberName(pDefault, MEMBERID_NIL));
    pDefault->Release();
    pClass->Release();
    pLib->Release();
}

TEST_F(TypeLibrary, UnregisterTakesTheLibraryOutAndASecondOneStillSucceeds)
{
    ASSERT_EQ(S_OK, m_module.Register());
    ASSERT_TRUE(KeyExists(kLibKey));
    ASSERT_EQ(S_OK, m_module.Unregister());
    EXPECT_FALSE(KeyExists(kLibKey));
    ITypeLib* pLib = NULL;
    EXPECT_TRUE(FAILED(LoadRegTypeLib(LIBID_SPYFILTERLib, 1, 0, 0x409, &pLib)));
    if (pLib)
        pLib->Release();
    // Nothing left to take out is no failure.
    EXPECT_EQ(S_OK, m_module.Unregister());
    // Registering again brings it back.
    ASSERT_EQ(S_OK, m_module.Register());
    EXPECT_EQ(m_module.Path(), Sz(std::wstring(kLibKey) + L"\\1.0\\409\\win32"));
}

// The class registered by the module hands out the filter's own interface.
TEST_F(TypeLibrary, TheRegisteredFilterOffersItsInterface)
{
    ASSERT_EQ(S_OK, m_module.Register());
    INRVSpyFilter* pSpy = NULL;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_SpyFilter, NULL, CLSCTX_INPROC_SERVER, IID_INRVSpyFilter,
                                     reinterpret_cast<void**>(&pSpy)));
    ULONG nCurrent = 1, nAverage = 1;
    EXPECT_EQ(S_OK, pSpy->GetBitrate(&nCurrent, &nAverage));
    EXPECT_EQ(0u, nCurrent);
    EXPECT_EQ(0u, nAverage);
    EXPECT_EQ(S_OK, pSpy->IsDynReconnecEnabled());
    IBaseFilter* pFilter = NULL;
    EXPECT_EQ(S_OK, pSpy->QueryInterface(IID_IBaseFilter, reinterpret_cast<void**>(&pFilter)));
    if (pFilter)
        pFilter->Release();
    pSpy->Release();
}

} // namespace
