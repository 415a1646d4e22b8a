// How a module built on the framework finds, binds and releases the log
// library named by the log binding, and the order of its static
// initialisation and termination.
#include "LogClientTest.h"

#include <algorithm>

namespace {

std::vector<void*> CookiesOf(const std::vector<FAKELOG_RECORD>& records)
{
    std::vector<void*> v;
    for (const FAKELOG_RECORD& r : records)
        v.push_back(reinterpret_cast<void*>(r.a[0]));
    return v;
}

std::vector<void*> Sorted(std::vector<void*> v)
{
    std::sort(v.begin(), v.end());
    return v;
}

// Index of the first record of a kind of call (or of one line); -1 when none.
int IndexOf(const std::vector<FAKELOG_RECORD>& records, int nCall, const wchar_t* pszLine = NULL)
{
    for (size_t i = 0; i < records.size(); ++i)
        if (records[i].nCall == nCall && (NULL == pszLine || std::wstring(pszLine) == records[i].szText))
            return static_cast<int>(i);
    return -1;
}

using LogBinding = BoundToFakeLog;

TEST_F(LogBinding, EveryClientRegistersAtLoadAndUnregistersInReverseAtUnload)
{
    std::vector<void*> cookies;
    void* pFirst = NULL;
    {
        CTraceModule module;
        ASSERT_TRUE(module.IsLoaded());
        cookies = Cookies(module);
        pFirst = module.TM_FirstCookie();
        ASSERT_GE(cookies.size(), 2u);

        // Each client asks the export for the object into its own variable,
        // then registers that variable's address with (cookie, 0, 0).
        const std::vector<FAKELOG_RECORD> gets = m_fake.Records(FLC_GetLogObject);
        const std::vector<FAKELOG_RECORD> registers = m_fake.Records(FLC_RegisterClient);
        ASSERT_EQ(cookies.size(), registers.size());
        EXPECT_EQ(CookiesOf(gets), CookiesOf(registers));
        EXPECT_EQ(Sorted(cookies), Sorted(CookiesOf(registers)));
        for (const FAKELOG_RECORD& r : registers)
        {
            EXPECT_EQ(0u, r.a[1]);
            EXPECT_EQ(0u, r.a[2]);
        }
        EXPECT_EQ(pFirst, CookiesOf(registers).front()); // the first constructed is the first client
        EXPECT_EQ(static_cast<int>(cookies.size()), m_fake.LiveClients());
        EXPECT_TRUE(m_fake.Records(FLC_UnregisterClient).empty());

        m_fake.Reset();
        module.TM_Trace(1, 8, L"through the first client");
        EXPECT_EQ(std::vector<std::wstring>{ L"\x09through the first client" }, m_fake.Lines());
        m_fake.Reset();
    }
    const std::vector<void*> unregisters = CookiesOf(m_fake.Records(FLC_UnregisterClient));
    // The reverse of the registration order: the first client leaves last.
    ASSERT_EQ(cookies.size(), unregisters.size());
    EXPECT_EQ(pFirst, unregisters.back());
    EXPECT_EQ(Sorted(cookies), Sorted(unregisters));
    EXPECT_EQ(0, m_fake.LiveClients());
}

TEST_F(LogBinding, UnregistrationIsTheReverseOfRegistration)
{
    std::vector<void*> registers;
    {
        CTraceModule module;
        ASSERT_TRUE(module.IsLoaded());
        registers = CookiesOf(m_fake.Records(FLC_RegisterClient));
        m_fake.Reset();
    }
    std::vector<void*> unregisters = CookiesOf(m_fake.Records(FLC_UnregisterClient));
    std::reverse(unregisters.begin(), unregisters.end());
    EXPECT_EQ(registers, unregisters);
}

TEST_F(LogBinding, OnlyTheFirstClientTraces)
{
    // Each client gets its own log object, so the records tell which one
    // every trace went through.
    m_fake.SetMode(FLM_ObjectPerCall);
    CTraceModule module;
    ASSERT_TRUE(module.IsLoaded());
    const std::vector<FAKELOG_RECORD> registers = m_fake.Records(FLC_RegisterClient);
    ASSERT_GE(registers.size(), 2u);
    int nFirstObject = -1;
    for (const FAKELOG_RECORD& r : registers)
        if (reinterpret_cast<void*>(r.a[0]) == module.TM_FirstCookie())
            nFirstObject = r.nObject;
    ASSERT_NE(-1, nFirstObject);

    m_fake.Reset();
    module.TM_Trace(1, 2, L"one");
    module.TM_TraceAtl(1, 8, L"two");
    module.TM_Assert(FALSE, "f.cpp", 3, "x", 0);
    EXPECT_EQ(E_NOTIMPL, module.TM_NotImpl());
    const std::vector<FAKELOG_RECORD> lines = m_fake.Records(FLC_OutputStringW);
    EXPECT_EQ(5u, lines.size());
    for (const FAKELOG_RECORD& r : lines)
        EXPECT_EQ(nFirstObject, r.nObject) << r.szText;
    IDSLog* pLog = NULL;
    EXPECT_EQ(S_OK, module.TM_GetObject(&pLog));
    EXPECT_EQ(m_fake.Object(nFirstObject), pLog);
}

// Builds "dir\x\x...\file" padded with "\." steps to exactly cch characters.
std::wstring PaddedPath(const std::wstring& sDirWithBin, const std::wstring& sFile, size_t cch)
{
    std::wstring sDir = sDirWithBin.substr(0, sDirWithBin.size() - 1); // "...\bin"
    const size_t cchBase = sDir.size() + 1 + sFile.size();
    if ((cch - cchBase) % 2)
        sDir += L"\\..\\bin"; // odd length: one step of seven characters
    while (sDir.size() + 1 + sFile.size() < cch)
        sDir += L"\\.";
    return sDir + L"\\" + sFile;
}

TEST_F(LogBinding, TheValueNamesTheLibraryInAnyTypeAndSeparatorForm)
{
    const std::wstring sPath = FakePath();
    const std::wstring sBars = CLogBinding::ToBars(sPath);
    const std::wstring s259 = CLogBinding::ToBars(PaddedPath(ProgramFolder(), L"fakelog.dll", 259));
    ASSERT_EQ(259u, s259.size());
    const struct
    {
        const char* name;
        DWORD dwType;
        std::wstring sValue;
    } cases[] = {
        { "bars for backslashes", REG_SZ, sBars },
        { "backslashes already", REG_SZ, sPath },
        { "binary data", REG_BINARY, sBars },
        { "expandable text", REG_EXPAND_SZ, sBars },
        { "259 characters and the NUL: all 520 bytes", REG_SZ, s259 },
    };
    for (const auto& c : cases)
    {
        m_fake.Reset();
        ASSERT_TRUE(m_binding.Set(c.sValue, c.dwType)) << c.name;
        CTraceModule module;
        ASSERT_TRUE(module.IsLoaded()) << c.name;
        EXPECT_EQ(Cookies(module).size(), m_fake.Records(FLC_RegisterClient).size()) << c.name;
        IDSLog* pLog = NULL;
        EXPECT_EQ(S_OK, module.TM_GetObject(&pLog)) << c.name;
    }
}

TEST_F(LogBinding, AnExpandableValueIsTakenLiterally)
{
    // "<temp>\%DEZ_LC_DIR%\fakelog.dll" exists as written; the folder the
    // variable names holds another copy, which must stay unloaded.
    CTempDir dir;
    const std::wstring sLiteral = dir.CopyIn(L"%DEZ_LC_DIR%", L"fakelog.dll");
    const std::wstring sExpanded = dir.CopyIn(L"expanded", L"fakelog.dll");
    SetEnvironmentVariableW(L"DEZ_LC_DIR", L"expanded");
    ASSERT_TRUE(m_binding.Set(CLogBinding::ToBars(sLiteral), REG_EXPAND_SZ));
    {
        CTraceModule module;
        ASSERT_TRUE(module.IsLoaded());
        EXPECT_NE(nullptr, GetModuleHandleW(sLiteral.c_str()));
        EXPECT_EQ(nullptr, GetModuleHandleW(sExpanded.c_str()));
        CFakeLog literal(sLiteral.c_str(), false);
        ASSERT_TRUE(literal.IsLoaded());
        EXPECT_EQ(Cookies(module).size(), literal.Records(FLC_RegisterClient).size());
    }
    EXPECT_EQ(nullptr, GetModuleHandleW(sLiteral.c_str()));
    SetEnvironmentVariableW(L"DEZ_LC_DIR", NULL);
}

TEST_F(LogBinding, AValueThatDoesNotEndWithinMaxPathIsRefused)
{
    const std::wstring s260 = CLogBinding::ToBars(PaddedPath(ProgramFolder(), L"fakelog.dll", 260));
    ASSERT_EQ(260u, s260.size());
    const std::wstring sLong = std::wstring(400, L'x');
    const struct
    {
        const char* name;
        DWORD dwType;
        const void* pData;
        DWORD cb;
    } cases[] = {
        { "260 characters, no NUL (520 bytes)", REG_SZ, s260.c_str(), 520 },
        { "260 characters, no NUL, binary", REG_BINARY, s260.c_str(), 520 },
        { "260 characters and the NUL (522 bytes)", REG_SZ, s260.c_str(), 522 },
        { "400 characters and the NUL", REG_SZ, sLong.c_str(), 802 },
    };
    for (const auto& c : cases)
    {
        m_fake.Reset();
        ASSERT_TRUE(m_binding.SetRaw(c.dwType, c.pData, c.cb)) << c.name;
        CTraceModule module;
        ASSERT_TRUE(module.IsLoaded()) << c.name;
        EXPECT_TRUE(m_fake.Records().empty()) << c.name;
        IDSLog* pLog = NULL;
        EXPECT_EQ(E_FAIL, module.TM_GetObject(&pLog)) << c.name;
    }
}

TEST_F(LogBinding, AMissingPieceLeavesTheModuleWorkingAndSilent)
{
    const std::wstring sNoLog = ProgramFolder() + L"nolog.dll";
    const struct
    {
        const char* name;
        int nSetup; // 0 no key, 1 no value, 2 empty value, 3 no such file, 4 no export
    } cases[] = {
        { "no key", 0 }, { "no value", 1 }, { "empty value", 2 }, { "no such library", 3 }, { "no export", 4 },
    };
    for (const auto& c : cases)
    {
        m_fake.Reset();
        switch (c.nSetup)
        {
        case 0: ASSERT_TRUE(m_binding.RemoveKey()); break;
        case 1:
            ASSERT_TRUE(m_binding.Set(L"placeholder"));
            ASSERT_TRUE(m_binding.RemoveValue());
            break;
        case 2: ASSERT_TRUE(m_binding.Set(L"")); break;
        case 3: ASSERT_TRUE(m_binding.Set(CLogBinding::ToBars(ProgramFolder() + L"no_such_log.dll"))); break;
        case 4: ASSERT_TRUE(m_binding.Set(CLogBinding::ToBars(sNoLog))); break;
        }
        {
            CTraceModule module;
            ASSERT_TRUE(module.IsLoaded()) << c.name;
            EXPECT_EQ(nullptr, GetModuleHandleW(sNoLog.c_str())) << c.name; // freed at once
            IDSLog* pLog = NULL;
            EXPECT_EQ(E_FAIL, module.TM_GetObject(&pLog)) << c.name;
            module.TM_Trace(1, 0, L"silent");
            EXPECT_EQ(3u, module.TM_Assert(FALSE, "f.cpp", 1, "e", 3)) << c.name;
            EXPECT_EQ(6, module.TM_AssertMacro(3)) << c.name;
        }
        EXPECT_TRUE(m_fake.Records().empty()) << c.name;
    }
}

TEST_F(LogBinding, AFailingOrFaultingLibraryRegistersNothingAndStaysSilent)
{
    const struct
    {
        const char* name;
        int nMode;
        bool bLoadedWhileBound; // the module keeps the library loaded until it unloads
        bool bRegisters;        // RegisterClient is reached
    } cases[] = {
        { "export returns E_FAIL", FLM_ExportFails, true, false },
        { "export returns E_FAIL with an object", FLM_ExportFailsWithObject, true, false },
        { "export faults", FLM_ExportRaises, false, false },
        { "RegisterClient faults", FLM_RegisterRaises, false, true },
    };
    for (const auto& c : cases)
    {
        // With the fake the test holds: what the log object sees.
        m_fake.Reset();
        m_fake.SetMode(c.nMode);
        {
            CTraceModule module;
            ASSERT_TRUE(module.IsLoaded()) << c.name;
            const size_t cClients = Cookies(module).size();
            EXPECT_EQ(cClients, m_fake.Records(FLC_GetLogObject).size()) << c.name;
            const std::vector<void*> registers = CookiesOf(m_fake.Records(FLC_RegisterClient));
            EXPECT_EQ(c.bRegisters ? cClients : 0u, registers.size()) << c.name;
            // A client whose registration faulted takes its cookie back at once.
            EXPECT_EQ(registers, CookiesOf(m_fake.Records(FLC_UnregisterClient))) << c.name;
            EXPECT_EQ(0, m_fake.LiveClients()) << c.name;
            IDSLog* pLog = NULL;
            EXPECT_EQ(E_FAIL, module.TM_GetObject(&pLog)) << c.name;
            module.TM_Trace(1, 0, L"silent");
            module.TM_Assert(FALSE, "f.cpp", 1, "e", 0);
            EXPECT_TRUE(m_fake.Lines().empty()) << c.name;
            m_fake.Reset();
        }
        EXPECT_TRUE(m_fake.Records().empty()) << c.name; // nothing to unregister at unload
        m_fake.SetMode(FLM_Normal);

        // With a copy only the module loads: whether it keeps the library.
        CTempDir dir;
        const std::wstring sCopy = dir.CopyIn(L"copy", L"fakelog.dll");
        SetEnvironmentVariableW(L"DEZ_FAKELOG_MODE", std::to_wstring(c.nMode).c_str());
        ASSERT_TRUE(m_binding.Set(CLogBinding::ToBars(sCopy)));
        {
            CTraceModule module;
            ASSERT_TRUE(module.IsLoaded()) << c.name;
            EXPECT_EQ(c.bLoadedWhileBound, nullptr != GetModuleHandleW(sCopy.c_str())) << c.name;
        }
        EXPECT_EQ(nullptr, GetModuleHandleW(sCopy.c_str())) << c.name;
        SetEnvironmentVariableW(L"DEZ_FAKELOG_MODE", NULL);
        ASSERT_TRUE(m_binding.Set(CLogBinding::ToBars(FakePath())));
    }
}

TEST_F(LogBinding, StaticInitialisationKeepsItsOrderOverManyLoads)
{
    const wchar_t* const pszUp = L"\x09TraceModule: module object up\n";
    const wchar_t* const pszDown = L"\x09TraceModule: module object down\n";
    for (int nRound = 0; nRound < 6; ++nRound)
    {
        SCOPED_TRACE(nRound);
        m_fake.Reset();
        size_t cClients = 0;
        {
            CTraceModule module;
            ASSERT_TRUE(module.IsLoaded());
            cClients = Cookies(module).size();
            TM_INIT_REPORT report = {};
            module.TM_GetInitReport(&report);
            // The categories held their values before anything ran; no
            // client existed yet, so the early trace went nowhere.
            EXPECT_EQ(module.TM_TraceAtl(0, 99, L"not sent"), report.dwCategoryEarly);
            EXPECT_NE(0u, static_cast<DWORD>(report.dwCategoryEarly));
            EXPECT_FALSE(report.bFirstClientEarly);
            // Every client was bound before the module object.
            EXPECT_EQ(S_OK, report.hrLogAtModuleObject);
            EXPECT_EQ(static_cast<int>(cClients), report.nUnitsConstructedAtModuleObject);

            const std::vector<FAKELOG_RECORD> records = m_fake.Records();
            EXPECT_EQ(cClients, m_fake.Records(FLC_RegisterClient).size());
            const int nUp = IndexOf(records, FLC_OutputStringW, pszUp);
            ASSERT_NE(-1, nUp);
            for (int i = nUp; i < static_cast<int>(records.size()); ++i)
                EXPECT_NE(FLC_RegisterClient, records[i].nCall);
            EXPECT_EQ(1u, m_fake.Lines().size()); // the early line was dropped
            m_fake.Reset();
        }
        // At unload the module object goes first, still able to trace.
        const std::vector<FAKELOG_RECORD> records = m_fake.Records();
        const int nDown = IndexOf(records, FLC_OutputStringW, pszDown);
        const int nFirstUnregister = IndexOf(records, FLC_UnregisterClient);
        ASSERT_NE(-1, nDown);
        EXPECT_LT(nDown, nFirstUnregister);
        EXPECT_EQ(cClients, m_fake.Records(FLC_UnregisterClient).size());
        EXPECT_EQ(0, m_fake.LiveClients());
    }
}

} // namespace
