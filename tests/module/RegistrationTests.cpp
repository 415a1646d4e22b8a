// Self-registration of the filter module in the test prefix's registry: the
// class's keys, the filter in the legacy DirectShow category and in the
// maker's category, creation by CLSID, a stream through the created filter
// in Wine's graph manager, and unregistration. Each test puts the
// registration back as it found it (the main job registers the module in the
// same prefix).
#include "ModuleSupport.h"

#include "dsfix/Graph.h"
#include "dsfix/TestSource.h"

#include <ocidl.h>

#include <vector>

using namespace morphlet;
using dsfix::ComPtr;

namespace
{

const wchar_t kLegacyCategory[] = L"{083863F1-70DE-11D0-BD40-00A0C911CE86}";
const wchar_t kNorvalethCategory[] = L"{76726F4E-BB61-47AC-A545-912B367DE469}";
const wchar_t kSecondCategory[] = L"{5A0E8F13-2C6B-4D97-B3E4-8F1A7C9D0E26}";
const wchar_t kCategories[] = L"CLSID\\{DA4E3DA0-D07D-11D0-BD50-00A0C911CE86}\\Instance\\";
// {76726F4E-BB61-47AC-A545-912B367DE469}
const CLSID CLSID_NorvalethCategory = { 0x76726f4e, 0xbb61, 0x47ac, { 0xa5, 0x45, 0x91, 0x2b, 0x36, 0x7d, 0xe4, 0x69 } };
const CLSID CLSID_NorvalethCategory2 = { 0x5a0e8f13, 0x2c6b, 0x4d97, { 0xb3, 0xe4, 0x8f, 0x1a, 0x7c, 0x9d, 0x0e, 0x26 } };

std::wstring Cls(const std::wstring& s)
{
    return L"CLSID\\" + s;
}

bool KeyExists(const std::wstring& sKey)
{
    HKEY h = NULL;
    if (ERROR_SUCCESS != RegOpenKeyExW(HKEY_CLASSES_ROOT, sKey.c_str(), 0, KEY_READ, &h))
        return false;
    RegCloseKey(h);
    return true;
}

// A REG_SZ value; "<missing>" or "<type n>" when it is not one.
std::wstring Sz(const std::wstring& sKey, LPCWSTR pszName = NULL)
{
    WCHAR sz[1024] = L"";
    DWORD cb = sizeof(sz) - sizeof(WCHAR);
    DWORD dwType = 0;
    const LONG l = RegGetValueW(HKEY_CLASSES_ROOT, sKey.c_str(), pszName, RRF_RT_ANY, &dwType, sz, &cb);
    if (l != ERROR_SUCCESS)
        return L"<missing>";
    if (dwType != REG_SZ)
        return L"<type " + std::to_wstring(dwType) + L">";
    return sz;
}

DWORD Dword(const std::wstring& sKey, LPCWSTR pszName)
{
    DWORD dw = 0xDEADBEEF;
    DWORD cb = sizeof(dw);
    RegGetValueW(HKEY_CLASSES_ROOT, sKey.c_str(), pszName, RRF_RT_REG_DWORD, NULL, &dw, &cb);
    return dw;
}

std::vector<std::wstring> SubKeys(const std::wstring& sKey)
{
    std::vector<std::wstring> v;
    HKEY h = NULL;
    if (ERROR_SUCCESS != RegOpenKeyExW(HKEY_CLASSES_ROOT, sKey.c_str(), 0, KEY_READ, &h))
        return v;
    for (DWORD i = 0;; ++i)
    {
        WCHAR sz[256];
        DWORD cch = 256;
        if (ERROR_SUCCESS != RegEnumKeyExW(h, i, sz, &cch, NULL, NULL, NULL, NULL))
            break;
        v.push_back(sz);
    }
    RegCloseKey(h);
    return v;
}

// How many monikers of the enumeration name the spy filter's class.
int CountSpies(IEnumMoniker* pEnum)
{
    int nSpies = 0;
    ComPtr<IMoniker> spMoniker;
    while (pEnum != NULL && S_OK == pEnum->Next(1, &spMoniker, NULL))
    {
        ComPtr<IPropertyBag> spBag;
        if (FAILED(spMoniker->BindToStorage(NULL, NULL, IID_IPropertyBag, reinterpret_cast<void**>(&spBag))))
            continue;
        VARIANT v;
        VariantInit(&v);
        if (SUCCEEDED(spBag->Read(L"CLSID", &v, NULL)) && v.vt == VT_BSTR && 0 == _wcsicmp(v.bstrVal, kSpyClsid))
            ++nSpies;
        VariantClear(&v);
    }
    return nSpies;
}

class Registration : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_module.Loaded()) << "Morphlet.dll or one of its exports is missing";
        m_bWasRegistered = KeyExists(Cls(kSpyClsid));
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

TEST_F(Registration, WritesTheClassKeys)
{
    ASSERT_EQ(S_OK, m_module.Register());
    const std::wstring sClass = Cls(kSpyClsid);
    const struct
    {
        std::wstring sKey;
        LPCWSTR pszValue;
        std::wstring sData;
    } expected[] = {
        { L"Morphlet.Filter.1", NULL, L"Norvaleth Spy Filter" },
        { L"Morphlet.Filter.1\\CLSID", NULL, kSpyClsid },
        { L"Morphlet.Filter", NULL, L"Norvaleth Spy Filter" },
        { L"Morphlet.Filter\\CLSID", NULL, kSpyClsid },
        { L"Morphlet.Filter\\CurVer", NULL, L"Morphlet.Filter.1" },
        { sClass, NULL, L"Norvaleth Spy Filter" },
        { sClass + L"\\ProgID", NULL, L"Morphlet.Filter.1" },
        { sClass + L"\\VersionIndependentProgID", NULL, L"Morphlet.Filter" },
        { sClass + L"\\InprocServer32", NULL, m_module.Path() },
        { sClass + L"\\InprocServer32", L"ThreadingModel", L"Both" },
        { sClass + L"\\TypeLib", NULL, L"{B58F2E67-4D13-4C9A-9E71-0F6A3D2C8B54}" },
    };
    for (const auto& e : expected)
        EXPECT_EQ(e.sData, Sz(e.sKey, e.pszValue)) << std::string(e.sKey.begin(), e.sKey.end());

    // The filter in both categories, under its name, and the maker's
    // category in the filter mapper's list.
    for (const wchar_t* pszCategory : { kLegacyCategory, kNorvalethCategory })
    {
        const std::wstring sInstance = Cls(pszCategory) + L"\\Instance\\" + kSpyClsid;
        EXPECT_EQ(L"Norvaleth Spy Filter", Sz(sInstance, L"FriendlyName"));
        EXPECT_EQ(kSpyClsid, Sz(sInstance, L"CLSID"));
    }
    const std::wstring sCategory = std::wstring(kCategories) + kNorvalethCategory;
    EXPECT_EQ(L"Norvaleth Filters", Sz(sCategory, L"FriendlyName"));
    EXPECT_EQ(0x400000u, Dword(sCategory, L"Merit"));
}

// The two page classes: their ProgIDs and class keys, written by
// registration and taken out by unregistration.
TEST_F(Registration, PageClassesComeAndGo)
{
    const struct
    {
        const wchar_t* pszClsid;
        std::wstring sProgId;
        const wchar_t* pszName;
        const wchar_t* pszModel;
    } pages[] = {
        { L"{3C7E52D1-9A41-4F0B-8D26-51B7E0A4C913}", L"Morphlet.PropPage", L"Norvaleth Spy Property Page", L"Both" },
        { L"{3C7E52D2-9A41-4F0B-8D26-51B7E0A4C913}", L"Morphlet.About", L"Norvaleth Spy About", L"Apartment" },
    };
    ASSERT_EQ(S_OK, m_module.Register());
    for (const auto& p : pages)
    {
        const std::wstring sClass = Cls(p.pszClsid);
        const std::wstring sProg1 = p.sProgId + L".1";
        const struct
        {
            std::wstring sKey;
            LPCWSTR pszValue;
            std::wstring sData;
        } expected[] = {
            { sProg1, NULL, p.pszName },
            { sProg1 + L"\\CLSID", NULL, p.pszClsid },
            { p.sProgId, NULL, p.pszName },
            { p.sProgId + L"\\CLSID", NULL, p.pszClsid },
            { p.sProgId + L"\\CurVer", NULL, sProg1 },
            { sClass, NULL, p.pszName },
            { sClass + L"\\ProgID", NULL, sProg1 },
            { sClass + L"\\VersionIndependentProgID", NULL, p.sProgId },
            { sClass + L"\\InprocServer32", NULL, m_module.Path() },
            { sClass + L"\\InprocServer32", L"ThreadingModel", p.pszModel },
            { sClass + L"\\TypeLib", NULL, L"{B58F2E67-4D13-4C9A-9E71-0F6A3D2C8B54}" },
        };
        for (const auto& e : expected)
            EXPECT_EQ(e.sData, Sz(e.sKey, e.pszValue)) << std::string(e.sKey.begin(), e.sKey.end());
    }
    // A page created by CLSID through COM, as a property frame creates it.
    CLSID clsidPage = CLSID_NULL;
    ASSERT_EQ(S_OK, CLSIDFromString(pages[0].pszClsid, &clsidPage));
    void* pv = NULL;
    ASSERT_EQ(S_OK, CoCreateInstance(clsidPage, NULL, CLSCTX_INPROC_SERVER, IID_IPropertyPage, &pv));
    static_cast<IUnknown*>(pv)->Release();

    ASSERT_EQ(S_OK, m_module.Unregister());
    for (const auto& p : pages)
        for (const std::wstring& s : { p.sProgId, p.sProgId + L".1", Cls(p.pszClsid) })
            EXPECT_FALSE(KeyExists(s)) << std::string(s.begin(), s.end());
    EXPECT_TRUE(KeyExists(L"CLSID"));
}

TEST_F(Registration, TwiceLeavesOneRegistration)
{
    ASSERT_EQ(S_OK, m_module.Register());
    // A stray key under the class key goes with the class key's rewrite.
    HKEY h = NULL;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CLASSES_ROOT, (Cls(kSpyClsid) + L"\\Stray").c_str(), 0, NULL, 0,
                                             KEY_WRITE, NULL, &h, NULL));
    RegCloseKey(h);
    ASSERT_EQ(S_OK, m_module.Register());
    const std::vector<std::wstring> keys = SubKeys(Cls(kSpyClsid));
    EXPECT_EQ((std::vector<std::wstring>{ L"InprocServer32", L"ProgID", L"TypeLib", L"VersionIndependentProgID" }), keys);

    // The filter mapper finds exactly one spy filter in each category.
    ComPtr<ICreateDevEnum> spDevEnum;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_SystemDeviceEnum, NULL, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                                     reinterpret_cast<void**>(&spDevEnum)));
    for (const CLSID* pCategory : { &CLSID_LegacyAmFilterCategory, &CLSID_NorvalethCategory })
    {
        ComPtr<IEnumMoniker> spEnum;
        ASSERT_EQ(S_OK, spDevEnum->CreateClassEnumerator(*pCategory, &spEnum, 0));
        const int nSpies = CountSpies(spEnum);
        EXPECT_EQ(1, nSpies);
    }
}

TEST_F(Registration, FilterMapperMatchesThePins)
{
    ASSERT_EQ(S_OK, m_module.Register());
    ComPtr<IFilterMapper2> spMapper;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_FilterMapper2, NULL, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                                     reinterpret_cast<void**>(&spMapper)));
    // The pins take any type: an input and an output for an odd type both
    // find the filter, at its merit.
    const GUID types[2] = { MEDIATYPE_Video, MEDIASUBTYPE_YUY2 };
    ComPtr<IEnumMoniker> spEnum;
    ASSERT_EQ(S_OK, spMapper->EnumMatchingFilters(&spEnum, 0, FALSE, MERIT_DO_NOT_USE, TRUE, 1, types, NULL, NULL,
                                                  FALSE, TRUE, 1, types, NULL, NULL));
    // Once for each of its two categories.
    EXPECT_EQ(2, CountSpies(spEnum));
    // Above its merit it is not offered.
    spEnum.Reset();
    ASSERT_EQ(S_OK, spMapper->EnumMatchingFilters(&spEnum, 0, FALSE, MERIT_DO_NOT_USE + 1, TRUE, 1, types, NULL, NULL,
                                                  FALSE, TRUE, 1, types, NULL, NULL));
    EXPECT_EQ(0, CountSpies(spEnum));
}

TEST_F(Registration, CreatedByClsidRunsAStreamInWinesGraph)
{
    ASSERT_EQ(S_OK, m_module.Register());
    ComPtr<IBaseFilter> spSpy;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_SpyFilter, NULL, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                     reinterpret_cast<void**>(&spSpy)));
    {
        // The same class, from the ProgID.
        CLSID clsid = CLSID_NULL;
        EXPECT_EQ(S_OK, CLSIDFromProgID(L"Morphlet.Filter", &clsid));
        EXPECT_TRUE(IsEqualGUID(CLSID_SpyFilter, clsid));
    }

    const long kSamples = 20;
    dsfix::TestSourceConfig config;
    config.mediaTypes = { dsfix::VideoType(MEDIASUBTYPE_YUY2, 64, 48, 100000) };
    config.sampleCount = kSamples;
    config.frameDuration = 100000;
    dsfix::TestSource* pSource = NULL;
    ASSERT_EQ(S_OK, dsfix::TestSource::Create(config, &pSource));
    ComPtr<dsfix::TestSource> spSource;
    spSource.Attach(pSource);
    {
        dsfix::HangWatchdog watchdog(120000, "stream through the created spy filter");
        dsfix::TestGraph graph;
        ComPtr<IBaseFilter> spRenderer;
        ASSERT_EQ(S_OK, graph.Create());
        ASSERT_EQ(S_OK, graph.Add(pSource, L"Test Source"));
        ASSERT_EQ(S_OK, graph.Add(spSpy, L"Spy Filter"));
        ASSERT_EQ(S_OK, graph.AddNew(dsfix::CLSID_WineNullRenderer, L"Null Renderer", &spRenderer));
        ASSERT_EQ(S_OK, graph.ConnectDirect(pSource->Pin(), dsfix::FindPin(spSpy, PINDIR_INPUT)));
        ASSERT_EQ(S_OK, graph.ConnectDirect(dsfix::FindPin(spSpy, PINDIR_OUTPUT), dsfix::FindPin(spRenderer, PINDIR_INPUT)));
        EXPECT_TRUE(graph.RunToCompletion(60000));
        graph.Release();
    }
    long nPassed = 0;
    for (const dsfix::PushRecord& r : pSource->Pushes())
        if (S_OK == r.receiveHr)
            ++nPassed;
    EXPECT_EQ(kSamples, nPassed);
}

// The 12 bytes the filter saves through IPersistStream.
std::vector<BYTE> SavedState(IUnknown* pFilter)
{
    std::vector<BYTE> v;
    ComPtr<IPersistStream> spPersist;
    ComPtr<IStream> spStream;
    if (FAILED(pFilter->QueryInterface(IID_IPersistStream, reinterpret_cast<void**>(&spPersist))) ||
        FAILED(CreateStreamOnHGlobal(NULL, TRUE, &spStream)) || S_OK != spPersist->Save(spStream, FALSE))
        return v;
    LARGE_INTEGER li = {};
    spStream->Seek(li, STREAM_SEEK_SET, NULL);
    BYTE ab[64];
    ULONG cb = 0;
    spStream->Read(ab, sizeof(ab), &cb);
    v.assign(ab, ab + cb);
    return v;
}

// A graph that holds the spy filter with switches of its own, saved and
// loaded again: the loaded spy, created again by its CLSID, has the same
// switches. A graph manager saves each filter as its class identifier and the
// filter's own stream, and loads it by creating that class and handing it the
// stream; OLE's stream persistence takes the same steps
// (OleSaveToStream, OleLoadFromStream), so the filter goes that way always,
// and through the graph manager too where the graph manager saves graphs
// (Wine's saves none).
TEST_F(Registration, SwitchesTravelWithASavedGraph)
{
    ASSERT_EQ(S_OK, m_module.Register());
    ComPtr<IBaseFilter> spSpy;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_SpyFilter, NULL, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                     reinterpret_cast<void**>(&spSpy)));
    {
        const BYTE abState[12] = { 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0 };
        ComPtr<IPersistStream> spPersist;
        ComPtr<IStream> spStream;
        ASSERT_EQ(S_OK, spSpy->QueryInterface(IID_IPersistStream, reinterpret_cast<void**>(&spPersist)));
        ASSERT_EQ(S_OK, CreateStreamOnHGlobal(NULL, TRUE, &spStream));
        ASSERT_EQ(S_OK, spStream->Write(abState, sizeof(abState), NULL));
        LARGE_INTEGER li = {};
        spStream->Seek(li, STREAM_SEEK_SET, NULL);
        ASSERT_EQ(S_OK, spPersist->Load(spStream));
    }
    const std::vector<BYTE> expected = SavedState(spSpy);
    ASSERT_EQ(12u, expected.size());

    {
        ComPtr<IPersistStream> spPersist;
        ASSERT_EQ(S_OK, spSpy->QueryInterface(IID_IPersistStream, reinterpret_cast<void**>(&spPersist)));
        ComPtr<IStream> spStream;
        ASSERT_EQ(S_OK, CreateStreamOnHGlobal(NULL, TRUE, &spStream));
        ASSERT_EQ(S_OK, OleSaveToStream(spPersist, spStream));
        LARGE_INTEGER li = {};
        spStream->Seek(li, STREAM_SEEK_SET, NULL);
        CLSID clsidSaved = GUID_NULL;
        ASSERT_EQ(S_OK, ReadClassStm(spStream, &clsidSaved));
        EXPECT_TRUE(IsEqualGUID(CLSID_SpyFilter, clsidSaved)) << "the stream names the filter's class";
        spStream->Seek(li, STREAM_SEEK_SET, NULL);
        ComPtr<IBaseFilter> spLoaded;
        ASSERT_EQ(S_OK, OleLoadFromStream(spStream, IID_IBaseFilter, reinterpret_cast<void**>(&spLoaded)));
        EXPECT_NE(spSpy.Get(), spLoaded.Get()) << "a filter made anew";
        EXPECT_EQ(expected, SavedState(spLoaded));
        // A filter made anew without the stream has the default switches.
        ComPtr<IBaseFilter> spFresh;
        ASSERT_EQ(S_OK, CoCreateInstance(CLSID_SpyFilter, NULL, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                         reinterpret_cast<void**>(&spFresh)));
        EXPECT_EQ((std::vector<BYTE>{ 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0 }), SavedState(spFresh));
    }

    dsfix::TestGraph graph;
    ASSERT_EQ(S_OK, graph.Create());
    ASSERT_EQ(S_OK, graph.Add(spSpy, L"Spy Filter"));
    ComPtr<IPersistStream> spGraphPersist;
    if (FAILED(graph.Builder()->QueryInterface(IID_IPersistStream, reinterpret_cast<void**>(&spGraphPersist))))
        return; // this graph manager does not persist graphs
    ComPtr<IStream> spGraphStream;
    ASSERT_EQ(S_OK, CreateStreamOnHGlobal(NULL, TRUE, &spGraphStream));
    const HRESULT hrSave = spGraphPersist->Save(spGraphStream, FALSE);
    if (E_NOTIMPL == hrSave)
        return; // this graph manager does not save graphs (Wine's)
    ASSERT_EQ(S_OK, hrSave);
    graph.Release();

    dsfix::TestGraph loaded;
    ASSERT_EQ(S_OK, loaded.Create());
    ComPtr<IPersistStream> spLoadedPersist;
    ASSERT_EQ(S_OK, loaded.Builder()->QueryInterface(IID_IPersistStream, reinterpret_cast<void**>(&spLoadedPersist)));
    LARGE_INTEGER li = {};
    spGraphStream->Seek(li, STREAM_SEEK_SET, NULL);
    ASSERT_EQ(S_OK, spLoadedPersist->Load(spGraphStream));
    ComPtr<IBaseFilter> spLoadedSpy;
    ASSERT_EQ(S_OK, loaded.Builder()->FindFilterByName(L"Spy Filter", &spLoadedSpy));
    EXPECT_EQ(expected, SavedState(spLoadedSpy));
    loaded.Release();
}

TEST_F(Registration, UnregisterTakesEverythingOutButTheSharedKeys)
{
    ASSERT_EQ(S_OK, m_module.Register());
    ASSERT_EQ(S_OK, m_module.Unregister());
    const std::wstring gone[] = {
        L"Morphlet.Filter.1",
        L"Morphlet.Filter",
        Cls(kSpyClsid),
        Cls(kLegacyCategory) + L"\\Instance\\" + kSpyClsid,
        Cls(kNorvalethCategory),
        std::wstring(kCategories) + kNorvalethCategory,
    };
    for (const std::wstring& s : gone)
        EXPECT_FALSE(KeyExists(s)) << std::string(s.begin(), s.end());
    EXPECT_TRUE(KeyExists(L"CLSID"));
    EXPECT_TRUE(KeyExists(Cls(kLegacyCategory) + L"\\Instance"));
    // Creation by CLSID no longer finds the class.
    void* pv = NULL;
    EXPECT_EQ(REGDB_E_CLASSNOTREG, CoCreateInstance(CLSID_SpyFilter, NULL, CLSCTX_INPROC_SERVER, IID_IBaseFilter, &pv));
    // Unregistering what is not registered succeeds.
    EXPECT_EQ(S_OK, m_module.Unregister());
}

TEST_F(Registration, MakersCategoryStaysWhileAnotherFilterIsInIt)
{
    // {9D1E6A4B-3C2F-4E5D-8A7B-6C5D4E3F2A1B}: a filter of someone else in the
    // maker's category.
    const CLSID clsidOther = { 0x9d1e6a4b, 0x3c2f, 0x4e5d, { 0x8a, 0x7b, 0x6c, 0x5d, 0x4e, 0x3f, 0x2a, 0x1b } };
    ASSERT_EQ(S_OK, m_module.Register());
    ComPtr<IFilterMapper2> spMapper;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_FilterMapper2, NULL, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                                     reinterpret_cast<void**>(&spMapper)));
    REGFILTER2 rf2 = {};
    rf2.dwVersion = 1;
    rf2.dwMerit = MERIT_DO_NOT_USE;
    ASSERT_EQ(S_OK, spMapper->RegisterFilter(clsidOther, L"Other Filter", NULL, &CLSID_NorvalethCategory, NULL, &rf2));

    EXPECT_EQ(S_OK, m_module.Unregister());
    EXPECT_FALSE(KeyExists(Cls(kNorvalethCategory) + L"\\Instance\\" + kSpyClsid));
    EXPECT_TRUE(KeyExists(Cls(kNorvalethCategory) + L"\\Instance"));
    EXPECT_EQ(L"Norvaleth Filters", Sz(std::wstring(kCategories) + kNorvalethCategory, L"FriendlyName"));

    // Once the other filter is gone, the next unregistration removes it.
    EXPECT_EQ(S_OK, spMapper->UnregisterFilter(&CLSID_NorvalethCategory, NULL, clsidOther));
    EXPECT_EQ(S_OK, m_module.Unregister());
    EXPECT_FALSE(KeyExists(Cls(kNorvalethCategory)));
    EXPECT_FALSE(KeyExists(std::wstring(kCategories) + kNorvalethCategory));
}

TEST_F(Registration, RegisteringTakesTheFilterOutOfTheSecondCategory)
{
    ComPtr<IFilterMapper2> spMapper;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_FilterMapper2, NULL, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                                     reinterpret_cast<void**>(&spMapper)));
    REGFILTER2 rf2 = {};
    rf2.dwVersion = 1;
    rf2.dwMerit = MERIT_DO_NOT_USE;
    ASSERT_EQ(S_OK, spMapper->RegisterFilter(CLSID_SpyFilter, L"Old Spy", NULL, &CLSID_NorvalethCategory2, NULL, &rf2));
    ASSERT_TRUE(KeyExists(Cls(kSecondCategory) + L"\\Instance\\" + kSpyClsid));
    ASSERT_EQ(S_OK, m_module.Register());
    EXPECT_FALSE(KeyExists(Cls(kSecondCategory) + L"\\Instance\\" + kSpyClsid));
    // The second category itself is the filter mapper's to keep.
    RegDeleteTreeW(HKEY_CLASSES_ROOT, Cls(kSecondCategory).c_str());
}

TEST_F(Registration, CallersThreadLocaleComesBack)
{
    const LCID lcidGerman = MAKELCID(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), SORT_DEFAULT);
    const LCID lcidSaved = GetThreadLocale();
    ASSERT_TRUE(SetThreadLocale(lcidGerman));
    EXPECT_EQ(S_OK, m_module.Register());
    EXPECT_EQ(lcidGerman, GetThreadLocale());
    EXPECT_EQ(S_OK, m_module.Unregister());
    EXPECT_EQ(lcidGerman, GetThreadLocale());
    SetThreadLocale(lcidSaved);
}

TEST_F(Registration, Regsvr32RegistersAndUnregisters)
{
    ASSERT_EQ(S_OK, m_module.Unregister());
    ASSERT_EQ(0u, morphlet::RunRegsvr32(L"/s", m_module.Path()));
    EXPECT_EQ(m_module.Path(), Sz(Cls(kSpyClsid) + L"\\InprocServer32"));
    EXPECT_EQ(L"Norvaleth Spy Filter", Sz(Cls(kNorvalethCategory) + L"\\Instance\\" + kSpyClsid, L"FriendlyName"));
    ASSERT_EQ(0u, morphlet::RunRegsvr32(L"/u /s", m_module.Path()));
    EXPECT_FALSE(KeyExists(Cls(kSpyClsid)));
    EXPECT_FALSE(KeyExists(Cls(kNorvalethCategory)));
}

} // namespace
