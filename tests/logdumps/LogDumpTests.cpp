// The log object's dumps in its log file: a private copy of Dez64.dll is
// loaded in this program with settings of its own, dumps are asked of it, and
// the file is read once the copy is unloaded.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <regex>

#include "IDSLog.h"
#include "LogTestSupport.h"
#include "MadeUpException.h"

using namespace logtest;

namespace {

// One loaded copy of the log library with a log file in a folder of its own.
class LogCopy
{
public:
    explicit LogCopy(const char* pszTag, bool bRegister = true)
        : m_dir(pszTag), m_dll(m_dir.CopyIn("Dez64.dll")), m_log(m_dir / "log.log"),
          m_key(HKEY_CURRENT_USER, m_dll,
                {SettingValue::Text("Log", m_log), SettingValue::Dword("Level", 8), SettingValue::Dword("Recreate", 1)})
    {
        m_hDll = LoadLibraryA(m_dll.c_str());
        EXPECT_NE(nullptr, m_hDll);
        PFN_GetLogObject pfn = m_hDll ? (PFN_GetLogObject)(void*)GetProcAddress(m_hDll, "Exp_GetLogObject") : NULL;
        if (pfn)
            pfn(&m_pLog);
        EXPECT_NE(nullptr, m_pLog);
        m_pClient = m_pLog;
        if (m_pLog && bRegister)
        {
            EXPECT_EQ(S_OK, m_pLog->RegisterClient(&m_pClient, 0, 0));
        }
    }
    ~LogCopy() { Close(); }

    IDSLog* operator->() const { return m_pLog; }

    // Unloads the copy (the file gets its closing block) and reads the file.
    std::string Close()
    {
        if (m_hDll)
        {
            if (m_pClient)
                m_pLog->UnregisterClient((void**)&m_pClient);
            FreeLibrary(m_hDll);
            m_hDll = NULL;
            m_text = ReadWholeFile(m_log);
        }
        return m_text;
    }

    // The part of the file after its header (which ends with the module list
    // and an empty line).
    std::string Body()
    {
        const std::string text = Close();
        const size_t at = text.find("\r\n\r\n", text.find("List of modules in process:"));
        return at == std::string::npos ? text : text.substr(at + 4);
    }

private:
    TempFolder m_dir;
    std::string m_dll;
    std::string m_log;
    SettingsKey m_key;
    HMODULE m_hDll = NULL;
    IDSLog* m_pLog = NULL;
    IDSLog* m_pClient = NULL;
    std::string m_text;
};

// A dump's header line: the column group of the calling thread, level 1 and
// the text; "(...)" captures the text.
const char* const HEADER_COLUMNS =
    R"((?:[0-9A-F]{4,5} \?[- 0-9]{3} \d\d:\d\d:\d\d\.\d{3}\t|\t\t\t|\t  (?:\d\d:\d\d:\d\d\.\d{3}|        \.\d{3})\t)1 )";

// A text as a regular expression that matches it literally.
std::string Literal(const std::string& text)
{
    static const std::regex reSpecial(R"([.^$|()\[\]{}*+?\\])");
    return std::regex_replace(text, reSpecial, R"(\$&)");
}

std::string Hex(const void* p)
{
    char sz[16];
    wsprintfA(sz, "%08X", (unsigned)(UINT_PTR)p);
    return sz;
}

TEST(LogDumps, BufferIsWrittenWholeBetweenItsHeaderAndEnd)
{
    LogCopy log("buffer");
    const char empty[1] = {0};
    const char bytes[] = {'a', 0, '\r', '\n', '\n', (char)0xFF, 'z'};
    EXPECT_EQ(S_OK, log->DumpBuffer(0, empty));
    EXPECT_EQ(S_OK, log->DumpBuffer(sizeof(bytes), bytes));
    const std::string body = log.Body();

    const std::regex re(std::string("^") + HEADER_COLUMNS + "Buffer 0 bytes starting at 0x" + Hex(empty) +
                        "\r\n\r\n<EOB>\r\n" + HEADER_COLUMNS + "Buffer 7 bytes starting at 0x" + Hex(bytes) + "\r\n");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(body, m, re)) << body;
    EXPECT_EQ(std::string(bytes, sizeof(bytes)) + "\r\n<EOB>\r\n", body.substr(m.length(), sizeof(bytes) + 9));
}

TEST(LogDumps, BadCountsWriteNothing)
{
    LogCopy log("badcount");
    EXPECT_EQ(E_INVALIDARG, log->DumpBuffer(-1, "abc"));
    EXPECT_EQ(E_INVALIDARG, log->DumpBuffer(3, NULL));
    log->OutputStringA("still healthy");
    const std::string body = log.Body();
    EXPECT_EQ(std::string::npos, body.find("Buffer")) << body;
    EXPECT_NE(std::string::npos, body.find("still healthy")) << body;
}

// Bytes that cannot be read end the block where they begin: what could be
// read is written, then a notice of what could not, then the block's end; the
// host goes on and so does the log. Three readable pages are followed by one
// that cannot be read.
TEST(LogDumps, UnreadableBytesEndTheBlockWithANotice)
{
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    const int cbPage = (int)si.dwPageSize;
    char* pBase = (char*)VirtualAlloc(NULL, 4 * cbPage, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    ASSERT_NE(nullptr, pBase);
    for (int i = 0; i < 3 * cbPage; ++i)
        pBase[i] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ"[i % 26];
    DWORD dwOld;
    ASSERT_TRUE(VirtualProtect(pBase + 3 * cbPage, cbPage, PAGE_NOACCESS, &dwOld));
    char* const pBoundary = pBase + 3 * cbPage;

    const struct
    {
        const char* pszCase;
        const char* pData;
        int cb;
        int cbReadable;
    } cases[] = {
        {"ends in the page", pBoundary - 100, 200, 100},
        {"crosses several pages", pBase + 1, 3 * cbPage + 50, 3 * cbPage - 1},
        {"starts in the page", pBoundary + 10, 50, 0},
        {"all readable", pBase, 3 * cbPage, 3 * cbPage},
    };
    const HRESULT hrNoAccess = HRESULT_FROM_WIN32(ERROR_NOACCESS);
    {
        LogCopy log("unreadable");
        for (const auto& c : cases)
            EXPECT_EQ(c.cbReadable == c.cb ? S_OK : hrNoAccess, log->DumpBuffer(c.cb, c.pData)) << c.pszCase;
        log->OutputStringA("after the dumps");
        const std::string body = log.Body();
        size_t at = 0;
        for (const auto& c : cases)
        {
            const std::regex re(HEADER_COLUMNS + std::string("Buffer ") + std::to_string(c.cb) +
                                " bytes starting at 0x" + Hex(c.pData) + "\r\n");
            std::smatch m;
            const std::string rest = body.substr(at);
            ASSERT_TRUE(std::regex_search(rest, m, re)) << c.pszCase << "\n" << rest.substr(0, 300);
            std::string expected(c.pData, c.cbReadable);
            if (c.cbReadable < c.cb)
                expected += "\r\n###Err### " + std::to_string(c.cb - c.cbReadable) + " bytes at 0x" +
                            Hex(c.pData + c.cbReadable) + " cannot be read";
            expected += "\r\n<EOB>\r\n";
            const size_t start = at + m.position() + m.length();
            EXPECT_EQ(expected, body.substr(start, expected.size())) << c.pszCase;
            at = start;
        }
        EXPECT_NE(std::string::npos, body.find(": after the dumps\r\n", at)) << body.substr(at);
    }
    VirtualFree(pBase, 0, MEM_RELEASE);
}

TEST(LogDumps, ACallStackWithoutExceptionPointersIsDumpedShort)
{
    LogCopy log("stack");
    EXPECT_EQ(S_OK, log->DumpCallStack(NULL, NULL, FALSE));
    const std::string body = log.Body();
    const std::string report =
        "Dumping calls stack\r\n### ExceptionPointers = NULL\r\n### Stack walk not ready yet for 64 bit version ###\r\n";
    // The empty header runs on into the block's own header line.
    const std::regex re(std::string("^") + HEADER_COLUMNS + HEADER_COLUMNS + "Buffer " +
                        std::to_string(report.size()) + " bytes starting at 0x[0-9A-F]{8}\r\n");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(body, m, re)) << body;
    EXPECT_EQ(report + "\r\n<EOB>\r\n", body.substr(m.length(), report.size() + 9));
}

TEST(LogDumps, AnAccessViolationDumpsItsReportAndCallStack)
{
    LogCopy log("violation");
    MadeUpAccessViolation av;
    EXPECT_EQ(S_OK, log->DumpCallStack(&av.ep, GetCurrentThread(), TRUE));
    const std::string body = log.Body();
    EXPECT_NE(std::string::npos, body.find("\r\nException code: C0000005 ACCESS_VIOLATION\r\n")) << body;
    EXPECT_NE(std::string::npos,
              body.find("EXCEPTION_ACCESS_VIOLATION details: (write to 0x00000010)\r\n"
                        "### Stack walk not ready yet for 64 bit version ###\r\n\r\n<EOB>\r\n"))
        << body;
}

// A test key with every kind of value and two levels of subkeys.
class TestKey
{
public:
    TestKey()
    {
        m_name = "Software\\DezDumpTest_" + std::to_string(GetCurrentProcessId());
        DeleteTree(HKEY_CURRENT_USER, m_name);
        HKEY h = Create(m_name);
        Set(h, "P", REG_SZ, std::string("C:\\a\\b") + '\0');
        const DWORD dw = 42;
        Set(h, "N", REG_DWORD, std::string((const char*)&dw, 4));
        Set(h, "", REG_SZ, std::string("default \"quoted\"") + '\0');
        std::string b20;
        for (int i = 0; i < 20; ++i)
            b20 += (char)i;
        Set(h, "B", REG_BINARY, b20);
        Set(h, "E", REG_BINARY, "");
        Set(h, "X", REG_EXPAND_SZ, std::string("%A%") + '\0');
        Set(h, "M", REG_MULTI_SZ, std::string("a\0b\0\0", 5));
        Set(h, "W", REG_DWORD, std::string("\x01\x02", 2));
        Set(h, "U", REG_SZ, "no terminator");
        Set(h, "L", REG_SZ, std::string(3000, 'x') + "\\" + '\0');
        // A name too long to be read into the dump's 256-character buffer:
        // that value is left out, and the others still follow.
        Set(h, std::string(300, 'V').c_str(), REG_SZ, std::string("long name") + '\0');
        RegCloseKey(h);
        h = Create(m_name + "\\Sub");
        const DWORD one = 1;
        Set(h, "One", REG_DWORD, std::string((const char*)&one, 4));
        RegCloseKey(h);
        RegCloseKey(Create(m_name + "\\Sub\\Deeper"));
        RegCloseKey(Create(m_name + "\\Another"));
    }
    ~TestKey() { DeleteTree(HKEY_CURRENT_USER, m_name); }

    const std::string& Name() const { return m_name; }

    // The value names (or the subkey names) of a key in the order the
    // registry gives them.
    static std::vector<std::string> Order(const std::string& key, bool bSubkeys)
    {
        std::vector<std::string> names;
        HKEY h;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS)
            return names;
        char sz[16384];
        for (DWORD i = 0;; ++i)
        {
            DWORD cch = sizeof(sz);
            const LONG l = bSubkeys ? RegEnumKeyExA(h, i, sz, &cch, NULL, NULL, NULL, NULL)
                                    : RegEnumValueA(h, i, sz, &cch, NULL, NULL, NULL, NULL);
            if (l != ERROR_SUCCESS)
                break;
            names.push_back(sz);
        }
        RegCloseKey(h);
        return names;
    }

private:
    static HKEY Create(const std::string& name)
    {
        HKEY h = NULL;
        RegCreateKeyExA(HKEY_CURRENT_USER, name.c_str(), 0, NULL, 0, KEY_ALL_ACCESS, NULL, &h, NULL);
        return h;
    }
    static void Set(HKEY h, const char* pszName, DWORD dwType, const std::string& data)
    {
        RegSetValueExA(h, pszName, 0, dwType, (const BYTE*)data.data(), (DWORD)data.size());
    }

    std::string m_name;
};

const std::string CUT = "\r\n-------------------------------8<---------------------------------\r\n";

TEST(LogDumps, ARegistryKeyIsDumpedInRegedit4Form)
{
    TestKey key;
    LogCopy log("registry");
    EXPECT_EQ(S_OK, log->DumpRegistryKey(HKEY_CURRENT_USER, key.Name().c_str()));
    const std::string body = log.Body();

    const std::string full = "HKEY_CURRENT_USER\\" + key.Name();
    const std::map<std::string, std::string> values = {
        {"P", "\"P\"=\"C:\\\\a\\\\b\"\r\n"},
        {"N", "\"N\"=dword:0000002a\r\n"},
        {"", "\"\"=\"default \"quoted\"\"\r\n"},
        {"B", "\"B\"=hex:\\\r\n  00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,\\\r\n  10,11,12,13\r\n"},
        {"E", "\"E\"=hex:\r\n"},
        {"X", "\"X\"=hex:\\\r\n  25,41,25,00\r\n"},
        {"M", "\"M\"=hex:\\\r\n  61,00,62,00,00\r\n"},
        {"W", "\"W\"=hex:\\\r\n  01,02\r\n"},
        {"U", "\"U\"=\"no terminator\"\r\n"},
        {"L", "\"L\"=\"" + std::string(3000, 'x') + "\\\\\"\r\n"},
    };
    std::string expected = CUT + "REGEDIT4\r\n\r\n[" + full + "]\r\n";
    size_t nLongNames = 0;
    for (const std::string& name : TestKey::Order(key.Name(), false))
    {
        if (name.size() > 255)
            ++nLongNames;
        else
            expected += values.at(name);
    }
    EXPECT_EQ(1u, nLongNames);
    for (const std::string& sub : TestKey::Order(key.Name(), true))
    {
        expected += "\r\n[" + full + "\\" + sub + "]\r\n";
        if (sub == "Sub")
            expected += "\"One\"=dword:00000001\r\n\r\n[" + full + "\\Sub\\Deeper]\r\n";
    }
    expected += CUT;

    const std::regex re(std::string("^") + HEADER_COLUMNS + "Out the registry key " + Literal(full) + "\r\n");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(body, m, re)) << body;
    EXPECT_EQ(expected, body.substr(m.length(), expected.size()));
    EXPECT_EQ(2u, TestKey::Order(key.Name(), true).size());
}

TEST(LogDumps, MissingKeyWritesOnlyItsHeader)
{
    LogCopy log("nokey");
    EXPECT_EQ(E_FAIL, log->DumpRegistryKey(HKEY_CURRENT_USER, "Software\\No such key for the dump test"));
    log->OutputStringA("after");
    const std::string body = log.Body();
    const std::regex re(std::string("^") + HEADER_COLUMNS +
                        "Out the registry key HKEY_CURRENT_USER\\\\Software\\\\No such key for the dump test\r\n"
                        "[^\r\n]*4 [A-Z_]+: after\r\n");
    EXPECT_TRUE(std::regex_search(body, re)) << body;
    EXPECT_EQ(std::string::npos, body.find("REGEDIT4"));
}

// A key name that does not fit a header line is cut there with "...";
// subkeys whose full names are longer still are written whole in the block.
TEST(LogDumps, LongKeyNamesAreCutOnlyInTheHeader)
{
    const std::string base = "Software\\DezDumpLong_" + std::to_string(GetCurrentProcessId());
    std::string deepest = "HKEY_CURRENT_USER\\" + base;
    HKEY h = NULL;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, base.c_str(), 0, NULL, 0, KEY_ALL_ACCESS, NULL, &h, NULL));
    for (char c : {'a', 'b', 'c', 'd'})
    {
        // One level at a time: the ANSI registry calls take at most about 255
        // characters of name at once.
        HKEY hSub = NULL;
        ASSERT_EQ(ERROR_SUCCESS,
                  RegCreateKeyExA(h, std::string(100, c).c_str(), 0, NULL, 0, KEY_ALL_ACCESS, NULL, &hSub, NULL));
        RegCloseKey(h);
        h = hSub;
        deepest += "\\" + std::string(100, c);
    }
    RegCloseKey(h);
    const std::string longName = base + "\\" + std::string(300, 'z');

    LogCopy log("longkey");
    EXPECT_EQ(S_OK, log->DumpRegistryKey(HKEY_CURRENT_USER, base.c_str()));
    log->DumpRegistryKey(HKEY_CURRENT_USER, longName.c_str());
    const std::string body = log.Body();
    DeleteTree(HKEY_CURRENT_USER, base);

    EXPECT_NE(std::string::npos, body.find("\r\n[" + deepest + "]\r\n" + CUT)) << body;
    const std::string header = ("Out the registry key HKEY_CURRENT_USER\\" + longName).substr(0, 252) + "...\r\n";
    EXPECT_NE(std::string::npos, body.find(header)) << body;
}

// A log that has no file: the dump sets the error state, which it reports,
// and the log stays silent for good.
// Dumps before the first registration are refused, and the log still opens
// its file for the first client and takes dumps from then on.
TEST(LogDumps, NoFileYetRefusesTheDumpOnly)
{
    LogCopy log("nofile", false);
    EXPECT_EQ((HRESULT)0x80070006, log->DumpBuffer(3, "abc"));
    EXPECT_EQ((HRESULT)0x80070006, log->DumpCallStack(NULL, NULL, FALSE));
    EXPECT_EQ((HRESULT)0x80070006, log->DumpRegistryKey(HKEY_CURRENT_USER, "Software"));
    IDSLog* pClient = NULL;
    EXPECT_EQ(S_OK, log->RegisterClient(&pClient, 0, 0));
    EXPECT_EQ(S_OK, log->DumpBuffer(3, "xyz"));
    log->UnregisterClient((void**)&pClient);
    const std::string text = log.Close();
    EXPECT_NE(std::string::npos, text.find("Buffer 3 bytes starting at")) << text;
    EXPECT_NE(std::string::npos, text.find("xyz\r\n<EOB>")) << text;
    EXPECT_EQ(std::string::npos, text.find("abc")) << text;
}

// Lines traced from other threads while large blocks are written: no line
// lands inside a block, and no line is lost.
std::atomic<bool> s_bStop;
IDSLog* s_pTracing;

DWORD WINAPI Tracer(void* pv)
{
    const int nThread = (int)(INT_PTR)pv;
    char sz[64];
    for (int i = 0; !s_bStop; ++i)
    {
        wsprintfA(sz, "tracer %d line %06d", nThread, i);
        s_pTracing->OutputStringA(sz);
    }
    return 0;
}

TEST(LogDumps, NoRingLineLandsInsideABlock)
{
    TestKey key;
    LogCopy log("interleave");
    const size_t cbBlock = 4 * 1024 * 1024;
    std::string block(cbBlock, '\0');
    for (size_t i = 0; i < cbBlock; ++i)
        block[i] = "0123456789abcdef"[(i * 7) % 16];

    s_bStop = false;
    s_pTracing = &*log.operator->();
    HANDLE ah[3];
    for (int t = 0; t < 3; ++t)
        ah[t] = CreateThread(NULL, 0, Tracer, (void*)(INT_PTR)t, 0, NULL);
    Sleep(20);
    for (int i = 0; i < 4; ++i)
    {
        EXPECT_EQ(S_OK, log->DumpBuffer((int)cbBlock, block.data()));
        EXPECT_EQ(S_OK, log->DumpRegistryKey(HKEY_CURRENT_USER, key.Name().c_str()));
        EXPECT_EQ(S_OK, log->DumpCallStack(NULL, NULL, FALSE));
    }
    s_bStop = true;
    WaitForMultipleObjects(3, ah, TRUE, 60000);
    for (HANDLE h : ah)
        CloseHandle(h);
    const std::string body = log.Body();

    // Every buffer block is whole.
    const std::string end = "\r\n<EOB>\r\n";
    size_t nBlocks = 0;
    for (size_t at = body.find("Buffer 4194304 bytes starting at 0x"); at != std::string::npos;
         at = body.find("Buffer 4194304 bytes starting at 0x", at + 1))
    {
        const size_t start = body.find("\r\n", at) + 2;
        ASSERT_LE(start + cbBlock + end.size(), body.size());
        EXPECT_TRUE(body.compare(start, cbBlock, block) == 0) << "block " << nBlocks;
        EXPECT_EQ(end, body.substr(start + cbBlock, end.size()));
        ++nBlocks;
    }
    EXPECT_EQ(4u, nBlocks);
    // Every registry block is whole: nothing but its own lines between its cut marks.
    size_t nKeys = 0;
    for (size_t at = body.find(CUT + "REGEDIT4"); at != std::string::npos; at = body.find(CUT + "REGEDIT4", at + 1))
    {
        const size_t close = body.find(CUT, at + CUT.size());
        ASSERT_NE(std::string::npos, close);
        EXPECT_EQ(std::string::npos, body.substr(at, close - at).find("tracer ")) << "key " << nKeys;
        ++nKeys;
    }
    EXPECT_EQ(4u, nKeys);
    // Every traced line is on a line of its own, in order within its thread.
    const std::regex reLine("^(?:[^\r\n]*\t)?4 [A-Z_]+: tracer (\\d) line (\\d{6})$");
    int anNext[3] = {0, 0, 0};
    for (const std::string& line : SplitLines(body))
    {
        const size_t at = line.find("tracer ");
        if (at == std::string::npos)
            continue;
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, reLine)) << line;
        const int t = std::stoi(m[1]);
        EXPECT_EQ(anNext[t], std::stoi(m[2]));
        anNext[t] = std::stoi(m[2]) + 1;
    }
    EXPECT_GT(anNext[0] + anNext[1] + anNext[2], 0);
}

} // namespace
