// The processor frequency: the registry value the system keeps, and the
// measurement. The value is machine-wide: each test puts it back as it was.
#include <Functions.h>

#include <gtest/gtest.h>

#include <vector>

namespace {

const wchar_t c_szKey[] = L"HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0";
const wchar_t c_szValue[] = L"~MHz";

// Saves "~MHz" at construction and restores it (or its absence) at destruction.
class CMHzValue
{
public:
    CMHzValue()
    {
        m_bKey = (ERROR_SUCCESS == RegCreateKeyExW(HKEY_LOCAL_MACHINE, c_szKey, 0, NULL, REG_OPTION_VOLATILE,
                                                   KEY_READ | KEY_WRITE, NULL, &m_hKey, NULL));
        if (!m_bKey)
            return;
        DWORD cb = 0;
        m_bHadValue = (ERROR_SUCCESS == RegQueryValueExW(m_hKey, c_szValue, NULL, &m_dwType, NULL, &cb));
        if (m_bHadValue)
        {
            m_data.resize(cb);
            m_bHadValue = (ERROR_SUCCESS == RegQueryValueExW(m_hKey, c_szValue, NULL, &m_dwType,
                                                             m_data.empty() ? NULL : m_data.data(), &cb));
            m_data.resize(cb);
        }
    }
    ~CMHzValue()
    {
        if (!m_bKey)
            return;
        if (m_bHadValue)
            RegSetValueExW(m_hKey, c_szValue, 0, m_dwType, m_data.empty() ? NULL : m_data.data(),
                           static_cast<DWORD>(m_data.size()));
        else
            RegDeleteValueW(m_hKey, c_szValue);
        RegCloseKey(m_hKey);
    }

    bool SetDword(DWORD dw)
    {
        return ERROR_SUCCESS == RegSetValueExW(m_hKey, c_szValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dw),
                                               sizeof(dw));
    }
    bool SetBinary(DWORD dw)
    {
        return ERROR_SUCCESS == RegSetValueExW(m_hKey, c_szValue, 0, REG_BINARY, reinterpret_cast<const BYTE*>(&dw),
                                               sizeof(dw));
    }
    bool Delete() { return ERROR_SUCCESS == RegDeleteValueW(m_hKey, c_szValue); }

    bool m_bKey = false;
    HKEY m_hKey = NULL;
    bool m_bHadValue = false;
    DWORD m_dwType = REG_NONE;
    std::vector<BYTE> m_data;
};

TEST(GetProcFreq, NullOutputFails)
{
    EXPECT_FALSE(GetProcFreq(NULL, false));
    EXPECT_FALSE(GetProcFreq(NULL, true));
}

TEST(GetProcFreq, TakesTheRegistryValueWithoutMeasuring)
{
    CMHzValue saved;
    ASSERT_TRUE(saved.m_bKey);
    // 1 MHz is no clock a measurement would find: only the registry gives it.
    const DWORD adw[] = {2400, 1};
    for (DWORD dw : adw)
    {
        ASSERT_TRUE(saved.SetDword(dw));
        DWORD dwFreq = 0;
        EXPECT_TRUE(GetProcFreq(&dwFreq, false));
        EXPECT_EQ(dw, dwFreq);
    }
    // Asked to measure, it ignores the registry.
    DWORD dwFreq = 0;
    EXPECT_TRUE(GetProcFreq(&dwFreq, true));
    EXPECT_GT(dwFreq, 1u);
}

TEST(GetProcFreq, MeasuresWhenTheRegistryHasNoUsableValue)
{
    CMHzValue saved;
    ASSERT_TRUE(saved.m_bKey);
    struct Case
    {
        const char* pszName;
        bool (*pfnSet)(CMHzValue&);
    };
    const Case aCases[] = {
        {"zero", [](CMHzValue& v) { return v.SetDword(0); }},
        {"missing", [](CMHzValue& v) { return v.Delete() || !v.m_bHadValue; }},
        {"not a DWORD", [](CMHzValue& v) { return v.SetBinary(1); }},
    };
    for (const Case& c : aCases)
    {
        SCOPED_TRACE(c.pszName);
        ASSERT_TRUE(c.pfnSet(saved));
        DWORD dwFreq = 0xDEADBEEF;
        EXPECT_TRUE(GetProcFreq(&dwFreq, false));
        // Never 0 on success (callers divide by it); never the marker 1.
        EXPECT_GT(dwFreq, 1u);
        EXPECT_NE(0xDEADBEEFu, dwFreq);
    }
}

} // namespace
