// The registrar runs registry scripts: keys, default and named values,
// replacements, and the NoRemove / ForceRemove rules when registering and
// unregistering. Scripts work under HKCU "Software\DezRegistrarTest", which
// this program alone uses and removes at the end of each test.
#include <atlbase.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{

const wchar_t kRoot[] = L"Software\\DezRegistrarTest";

bool KeyExists(const std::wstring& sKey)
{
    HKEY h = NULL;
    if (ERROR_SUCCESS != RegOpenKeyExW(HKEY_CURRENT_USER, sKey.c_str(), 0, KEY_READ, &h))
        return false;
    RegCloseKey(h);
    return true;
}

std::wstring Sz(const std::wstring& sKey, LPCWSTR pszName = NULL)
{
    WCHAR sz[512] = L"";
    DWORD cb = sizeof(sz) - sizeof(WCHAR);
    DWORD dwType = 0;
    if (ERROR_SUCCESS != RegGetValueW(HKEY_CURRENT_USER, sKey.c_str(), pszName, RRF_RT_ANY, &dwType, sz, &cb))
        return L"<missing>";
    return (dwType == REG_SZ) ? std::wstring(sz) : L"<not REG_SZ>";
}

void CreateKey(const std::wstring& sKey)
{
    HKEY h = NULL;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, sKey.c_str(), 0, NULL, 0, KEY_WRITE, NULL, &h, NULL));
    RegCloseKey(h);
}

class Registrar : public ::testing::Test
{
protected:
    Registrar() { RegDeleteTreeW(HKEY_CURRENT_USER, kRoot); }
    ~Registrar() override { RegDeleteTreeW(HKEY_CURRENT_USER, kRoot); }

    static std::wstring Key(const std::wstring& sSub) { return std::wstring(kRoot) + L"\\" + sSub; }

    ATL::CRegObject m_ro;
};

// The class script's shape, below the test's root.
const wchar_t kClassScript[] =
    L"HKCU\r\n"
    L"{\r\n"
    L"\tNoRemove Software\r\n"
    L"\t{\r\n"
    L"\t\tNoRemove DezRegistrarTest\r\n"
    L"\t\t{\r\n"
    L"\t\t\tProg.Name.1 = s 'Friendly Name'\r\n"
    L"\t\t\t{\r\n"
    L"\t\t\t\tCLSID = s '{3C7E52D0-9A41-4F0B-8D26-51B7E0A4C913}'\r\n"
    L"\t\t\t}\r\n"
    L"\t\t\tNoRemove CLSID\r\n"
    L"\t\t\t{\r\n"
    L"\t\t\t\tForceRemove {3C7E52D0-9A41-4F0B-8D26-51B7E0A4C913} = s 'Friendly Name'\r\n"
    L"\t\t\t\t{\r\n"
    L"\t\t\t\t\tInprocServer32 = s '%MODULE%'\r\n"
    L"\t\t\t\t\t{\r\n"
    L"\t\t\t\t\t\tval ThreadingModel = s 'Both'\r\n"
    L"\t\t\t\t\t}\r\n"
    L"\t\t\t\t\t'It''s quoted' = s '100%% sure'\r\n"
    L"\t\t\t\t}\r\n"
    L"\t\t\t}\r\n"
    L"\t\t}\r\n"
    L"\t}\r\n"
    L"}\r\n";

const wchar_t kClass[] = L"CLSID\\{3C7E52D0-9A41-4F0B-8D26-51B7E0A4C913}";

TEST_F(Registrar, RegistersKeysValuesAndReplacements)
{
    ASSERT_EQ(S_OK, m_ro.AddReplacement(L"MODULE", L"C:\\dir with space\\Morphlet.dll"));
    ASSERT_EQ(S_OK, m_ro.StringRegister(kClassScript));
    const std::wstring sClass = Key(kClass);
    EXPECT_EQ(L"Friendly Name", Sz(Key(L"Prog.Name.1")));
    EXPECT_EQ(L"{3C7E52D0-9A41-4F0B-8D26-51B7E0A4C913}", Sz(Key(L"Prog.Name.1\\CLSID")));
    EXPECT_EQ(L"Friendly Name", Sz(sClass));
    EXPECT_EQ(L"C:\\dir with space\\Morphlet.dll", Sz(sClass + L"\\InprocServer32"));
    EXPECT_EQ(L"Both", Sz(sClass + L"\\InprocServer32", L"ThreadingModel"));
    EXPECT_EQ(L"100% sure", Sz(sClass + L"\\It's quoted"));
}

TEST_F(Registrar, ForceRemoveRewritesTheKeyWhole)
{
    ASSERT_EQ(S_OK, m_ro.AddReplacement(L"MODULE", L"first.dll"));
    ASSERT_EQ(S_OK, m_ro.StringRegister(kClassScript));
    CreateKey(Key(std::wstring(kClass) + L"\\Stray"));
    ASSERT_EQ(S_OK, m_ro.AddReplacement(L"module", L"second.dll"));
    ASSERT_EQ(S_OK, m_ro.StringRegister(kClassScript));
    EXPECT_FALSE(KeyExists(Key(std::wstring(kClass) + L"\\Stray")));
    EXPECT_EQ(L"second.dll", Sz(Key(kClass) + L"\\InprocServer32"));
}

TEST_F(Registrar, UnregisterKeepsNoRemoveKeysAndForeignSubkeys)
{
    ASSERT_EQ(S_OK, m_ro.AddReplacement(L"MODULE", L"m.dll"));
    ASSERT_EQ(S_OK, m_ro.StringRegister(kClassScript));
    // Someone else's key below a plain key and below the ForceRemove key.
    CreateKey(Key(L"Prog.Name.1\\Foreign"));
    CreateKey(Key(std::wstring(kClass) + L"\\Foreign"));
    CreateKey(Key(L"CLSID\\{OTHER}"));

    ASSERT_EQ(S_OK, m_ro.StringUnregister(kClassScript));
    EXPECT_FALSE(KeyExists(Key(kClass))) << "a ForceRemove key goes whole";
    EXPECT_FALSE(KeyExists(Key(L"Prog.Name.1\\CLSID")));
    EXPECT_TRUE(KeyExists(Key(L"Prog.Name.1\\Foreign"))) << "a plain key holding foreign subkeys stays";
    EXPECT_TRUE(KeyExists(Key(L"CLSID\\{OTHER}")));
    EXPECT_TRUE(KeyExists(Key(L"CLSID"))) << "NoRemove";

    // Once the foreign key is gone the plain key goes too; unregistering
    // what is gone already succeeds.
    RegDeleteTreeW(HKEY_CURRENT_USER, Key(L"Prog.Name.1\\Foreign").c_str());
    ASSERT_EQ(S_OK, m_ro.StringUnregister(kClassScript));
    EXPECT_FALSE(KeyExists(Key(L"Prog.Name.1")));
    EXPECT_TRUE(KeyExists(kRoot));
    EXPECT_EQ(S_OK, m_ro.StringUnregister(kClassScript));
}

TEST_F(Registrar, UnregisterDeletesNamedValues)
{
    const wchar_t script[] = L"HKCU { NoRemove Software { NoRemove DezRegistrarTest { "
                             L"NoRemove Kept { val Mine = s 'x' } } } }";
    CreateKey(Key(L"Kept"));
    HKEY h = NULL;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, Key(L"Kept").c_str(), 0, KEY_WRITE, &h));
    RegSetValueExW(h, L"Theirs", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"y"), 2 * sizeof(WCHAR));
    RegCloseKey(h);
    ASSERT_EQ(S_OK, m_ro.StringRegister(script));
    EXPECT_EQ(L"x", Sz(Key(L"Kept"), L"Mine"));
    ASSERT_EQ(S_OK, m_ro.StringUnregister(script));
    EXPECT_EQ(L"<missing>", Sz(Key(L"Kept"), L"Mine"));
    EXPECT_EQ(L"y", Sz(Key(L"Kept"), L"Theirs"));
}

TEST_F(Registrar, ScriptErrorsChangeNothing)
{
    // Each script writes the key First before its fault.
    const wchar_t* const scripts[] = {
        L"HKCU { Software { DezRegistrarTest { First { } Second = s 'open",             // unterminated quote
        L"HKCU { Software { DezRegistrarTest { First { } Second { } } }",               // a brace short
        L"HKCU { Software { DezRegistrarTest { First { } Second = d '1' } } }",         // no numbers
        L"HKCU { Software { DezRegistrarTest { First { } Second = s '%NOSUCH%' } } }",  // unknown replacement
        L"HKCU { Software { DezRegistrarTest { First { } val Second = s 'x' { } } } }", // a value with children
        L"HKCU { Software { DezRegistrarTest { First { } } } } HKXX { }",               // unknown root
        L"HKCU { Software { DezRegistrarTest { First { } Second = } } }",               // no data
    };
    CreateKey(kRoot);
    for (const wchar_t* const& psz : scripts)
    {
        SCOPED_TRACE(testing::Message() << "script " << (&psz - scripts));
        EXPECT_EQ(DISP_E_EXCEPTION, m_ro.StringRegister(psz));
        EXPECT_FALSE(KeyExists(Key(L"First")));
        EXPECT_EQ(DISP_E_EXCEPTION, m_ro.StringUnregister(psz));
    }
    EXPECT_EQ(E_INVALIDARG, m_ro.StringRegister(NULL));
}

TEST_F(Registrar, ModuleScriptRunsFromTheModulesResource)
{
    // No script resource in this program: the lookup's error, nothing
    // written, and never success.
    CAtlModule module;
    const HRESULT hr = module.UpdateRegistryFromResource(101, TRUE);
    EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
}

} // namespace
