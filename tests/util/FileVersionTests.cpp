// Reading the fixed version information of a module, including malformed
// version resources written into copies of a fixture module.
#include <Functions.h>

#include "ProgramFolder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

bool IsAllZero(const VS_FIXEDFILEINFO& ffi)
{
    const BYTE* pb = reinterpret_cast<const BYTE*>(&ffi);
    for (size_t i = 0; i < sizeof(ffi); ++i)
        if (pb[i] != 0)
            return false;
    return true;
}

// A module loaded for one test and freed after it.
class CLoadedModule
{
public:
    explicit CLoadedModule(const std::wstring& strPath) : m_h(LoadLibraryW(strPath.c_str())) {}
    ~CLoadedModule()
    {
        if (m_h != NULL)
            FreeLibrary(m_h);
    }
    HMODULE m_h;
};

TEST(GetFileVersion, AModuleWithAVersionResourceGivesItsFixedInformation)
{
    CLoadedModule module(ProgramFolder() + L"util_versioned.dll");
    ASSERT_NE(nullptr, module.m_h);
    VS_FIXEDFILEINFO ffi;
    memset(&ffi, 0xCC, sizeof(ffi));
    ASSERT_EQ(S_OK, GetFileVersion(&ffi, module.m_h));
    EXPECT_EQ(0xFEEF04BDu, ffi.dwSignature);
    EXPECT_EQ(0x00010002u, ffi.dwFileVersionMS);
    EXPECT_EQ(0x00000000u, ffi.dwFileVersionLS);
    EXPECT_EQ(0x00010002u, ffi.dwProductVersionMS);
    EXPECT_EQ(static_cast<DWORD>(VFT_DLL), ffi.dwFileType);
    EXPECT_EQ(1u, ffi.dwFileFlags);
}

TEST(GetFileVersion, AModuleWithoutAVersionResourceFails)
{
    CLoadedModule module(ProgramFolder() + L"util_unversioned.dll");
    ASSERT_NE(nullptr, module.m_h);
    const HMODULE ahModule[] = {module.m_h, GetModuleHandleW(NULL)};
    for (HMODULE h : ahModule)
    {
        VS_FIXEDFILEINFO ffi;
        memset(&ffi, 0xCC, sizeof(ffi));
        const HRESULT hr = GetFileVersion(&ffi, h);
        EXPECT_TRUE(FAILED(hr));
        EXPECT_EQ(FACILITY_WIN32, HRESULT_FACILITY(hr)) << std::hex << hr;
        EXPECT_TRUE(IsAllZero(ffi));
    }
}

TEST(GetFileVersion, NullOutputIsInvalid)
{
    EXPECT_EQ(E_INVALIDARG, GetFileVersion(NULL, GetModuleHandleW(NULL)));
}

// A version block: total length, value length, type 0, the key with its NUL,
// padding to 40 bytes, the first cbValueBytes of a fixed part, zeros up to
// cbBlock; the resource holds the first cbResource bytes of it.
struct BlockCase
{
    const char* pszName;
    WORD wTotal;
    WORD wValue;
    const wchar_t* pszKey;
    size_t cbResource;
    HRESULT hrExpected;
    size_t cbCopied;
};

VS_FIXEDFILEINFO SampleFixedInfo()
{
    VS_FIXEDFILEINFO ffi = {};
    ffi.dwSignature = 0xFEEF04BD;
    ffi.dwStrucVersion = 0x00010000;
    ffi.dwFileVersionMS = 0x00030004;
    ffi.dwFileVersionLS = 0x00050006;
    ffi.dwProductVersionMS = 0x00070008;
    ffi.dwProductVersionLS = 0x0009000A;
    ffi.dwFileFlagsMask = 0x3F;
    ffi.dwFileOS = VOS_NT_WINDOWS32;
    ffi.dwFileType = VFT_DLL;
    ffi.dwFileDateMS = 0x11111111;
    ffi.dwFileDateLS = 0x22222222;
    return ffi;
}

std::vector<BYTE> MakeBlock(const BlockCase& c)
{
    std::vector<BYTE> block(c.cbResource < 256 ? 256 : c.cbResource, 0);
    const WORD aw[3] = {c.wTotal, c.wValue, 0};
    memcpy(block.data(), aw, sizeof(aw));
    memcpy(block.data() + 6, c.pszKey, (wcslen(c.pszKey) + 1) * sizeof(wchar_t));
    const VS_FIXEDFILEINFO ffi = SampleFixedInfo();
    memcpy(block.data() + 40, &ffi, sizeof(ffi));
    block.resize(c.cbResource);
    return block;
}

// Writes the block as version resource 1 of a copy of the unversioned fixture.
bool WriteVersionedCopy(const std::wstring& strPath, const std::vector<BYTE>& block)
{
    if (!CopyFileW((ProgramFolder() + L"util_unversioned.dll").c_str(), strPath.c_str(), FALSE))
        return false;
    HANDLE hUpdate = BeginUpdateResourceW(strPath.c_str(), FALSE);
    if (hUpdate == NULL)
        return false;
    const BOOL bUpdated = UpdateResourceW(hUpdate, MAKEINTRESOURCEW(16), MAKEINTRESOURCEW(1),
                                          MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL),
                                          const_cast<BYTE*>(block.data()), static_cast<DWORD>(block.size()));
    return EndUpdateResourceW(hUpdate, !bUpdated) && bUpdated;
}

TEST(GetFileVersion, MalformedResourcesAreNeverReadPastTheirEnd)
{
    const HRESULT hrNotFound = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
    const wchar_t* const pszKey = L"VS_VERSION_INFO";
    const BlockCase aCases[] = {
        {"whole", 92, 52, pszKey, 92, S_OK, 52},
        {"longer resource than block", 92, 52, pszKey, 120, S_OK, 52},
        {"short fixed part", 80, 40, pszKey, 80, S_FALSE, 40},
        {"block longer than resource", 92, 52, pszKey, 60, hrNotFound, 0},
        {"resource ends inside the key", 92, 52, pszKey, 20, hrNotFound, 0},
        {"resource of a header only", 6, 52, pszKey, 6, hrNotFound, 0},
        {"resource shorter than a header", 92, 52, pszKey, 4, hrNotFound, 0},
        {"block ends before its value", 60, 52, pszKey, 92, hrNotFound, 0},
        {"block ends inside its key", 20, 52, pszKey, 92, hrNotFound, 0},
        {"total below 4", 2, 52, pszKey, 92, hrNotFound, 0},
        {"no value", 92, 0, pszKey, 92, hrNotFound, 0},
        {"other key", 92, 52, L"VS_VERSION_INFX", 92, E_FAIL, 0},
        {"key in other case", 92, 52, L"vs_version_info", 92, E_FAIL, 0},
        {"longer key", 92, 52, L"VS_VERSION_INFOX", 92, E_FAIL, 0},
    };

    WCHAR szTemp[MAX_PATH] = L"";
    ASSERT_NE(0u, GetTempPathW(MAX_PATH, szTemp));
    const std::wstring strDir = std::wstring(szTemp) + L"dez_util_version_" + std::to_wstring(GetCurrentProcessId());
    ASSERT_TRUE(CreateDirectoryW(strDir.c_str(), NULL) || GetLastError() == ERROR_ALREADY_EXISTS);

    int nCase = 0;
    for (const BlockCase& c : aCases)
    {
        SCOPED_TRACE(c.pszName);
        const std::wstring strPath = strDir + L"\\case" + std::to_wstring(nCase++) + L".dll";
        ASSERT_TRUE(WriteVersionedCopy(strPath, MakeBlock(c)));
        {
            CLoadedModule module(strPath);
            ASSERT_NE(nullptr, module.m_h);
            const HRSRC hRes = FindResourceW(module.m_h, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(16));
            ASSERT_NE(nullptr, hRes);
            ASSERT_EQ(c.cbResource, SizeofResource(module.m_h, hRes)) << "the fixture holds what the case says";

            VS_FIXEDFILEINFO ffi;
            memset(&ffi, 0xCC, sizeof(ffi));
            EXPECT_EQ(c.hrExpected, GetFileVersion(&ffi, module.m_h));
            const VS_FIXEDFILEINFO expected = SampleFixedInfo();
            const BYTE* pbGot = reinterpret_cast<const BYTE*>(&ffi);
            const BYTE* pbExpected = reinterpret_cast<const BYTE*>(&expected);
            for (size_t i = 0; i < sizeof(ffi); ++i)
                ASSERT_EQ(i < c.cbCopied ? pbExpected[i] : 0, pbGot[i]) << "byte " << i;
        }
        DeleteFileW(strPath.c_str());
    }
    RemoveDirectoryW(strDir.c_str());
}

} // namespace
