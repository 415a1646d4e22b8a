// The system-information block and the module list. The registry sections run
// on a private root (a key of its own under HKCU stands in for
// HKEY_LOCAL_MACHINE, whose hardware keys Wine lacks or fills differently);
// the version text runs on a fixture module with a known version resource.
#include <gtest/gtest.h>

#include <regex>
#include <stdlib.h>
#include <string>

#include "SymbolEngine.h"
#include "LogTestSupport.h"
#include "SystemInfo.h"

using namespace logtest;

namespace {

const char* const ENUM_KEY = "SYSTEM\\CurrentControlSet\\Enum";
const char* const IDE_KEY = "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E96A-E325-11CE-BFC1-08002BE10318}";
const char* const CPU_KEY = "HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0";

// A private registry root, removed with everything below it at the end.
class FakeMachine
{
public:
    FakeMachine()
    {
        static LONG s_n;
        m_name = "Software\\DezLogTests\\machine_" + std::to_string(GetCurrentProcessId()) + "_" +
                 std::to_string(InterlockedIncrement(&s_n));
        RegCreateKeyExA(HKEY_CURRENT_USER, m_name.c_str(), 0, NULL, 0, KEY_ALL_ACCESS, NULL, &m_h, NULL);
    }
    ~FakeMachine()
    {
        RegCloseKey(m_h);
        DeleteTree(HKEY_CURRENT_USER, m_name);
        RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\DezLogTests"); // only once it is empty
    }
    operator HKEY() const { return m_h; }

    void Key(const std::string& key)
    {
        HKEY h;
        RegCreateKeyExA(m_h, key.c_str(), 0, NULL, 0, KEY_ALL_ACCESS, NULL, &h, NULL);
        RegCloseKey(h);
    }
    void Value(const std::string& key, const char* pszName, DWORD dwType, const std::string& bytes)
    {
        HKEY h;
        RegCreateKeyExA(m_h, key.c_str(), 0, NULL, 0, KEY_ALL_ACCESS, NULL, &h, NULL);
        RegSetValueExA(h, pszName, 0, dwType, (const BYTE*)bytes.data(), (DWORD)bytes.size());
        RegCloseKey(h);
    }
    void Text(const std::string& key, const char* pszName, const std::string& text)
    {
        Value(key, pszName, REG_SZ, text + '\0');
    }
    void Dword(const std::string& key, const char* pszName, DWORD dw)
    {
        Value(key, pszName, REG_DWORD, std::string((const char*)&dw, 4));
    }
    // A device with its first instance; bControl adds the instance's
    // "Control" subkey (present devices have one).
    std::string Device(const std::string& enumerator, const std::string& device, bool bControl = true)
    {
        const std::string instance = std::string(ENUM_KEY) + "\\" + enumerator + "\\" + device + "\\0001";
        Key(instance);
        if (bControl)
            Key(instance + "\\Control");
        return instance;
    }

private:
    std::string m_name;
    HKEY m_h = NULL;
};

template <typename F> std::string Build(F fill, int cb = SYSTEM_SECTION_SIZE)
{
    std::string buf(cb, '\0');
    CBoundedText text(&buf[0], cb);
    fill(&text);
    return text.Text();
}

TEST(SystemInfo, ProcessorTextFromTheRegistry)
{
    const std::regex measured(R"(^, (calculated freq [1-9]\d* MHz|cannot calculate processor frequency !!!)$)");
    FakeMachine machine;
    machine.Text(CPU_KEY, "Identifier", "Intel64 Family 6 Model 158 Stepping 10");
    machine.Dword(CPU_KEY, "~MHz", 3600);
    std::string text = Build([&](CBoundedText* p) { GetProcessorText(machine, true, p); });
    const std::string head = "Intel64 Family 6 Model 158 Stepping 10 (3600 MHz)";
    ASSERT_EQ(head, text.substr(0, head.size()));
    EXPECT_TRUE(std::regex_match(text.substr(head.size()), measured)) << text;

    // Elsewhere than NT the registry is not asked.
    text = Build([&](CBoundedText* p) { GetProcessorText(machine, false, p); });
    EXPECT_EQ("???", text.substr(0, 3));
    EXPECT_TRUE(std::regex_match(text.substr(3), measured)) << text;

    // An identifier longer than 256 bytes, or none, and a frequency of
    // another size leave their parts empty and 0.
    FakeMachine odd;
    odd.Text(CPU_KEY, "Identifier", std::string(300, 'i'));
    odd.Value(CPU_KEY, "~MHz", REG_BINARY, std::string(8, '\x7F'));
    text = Build([&](CBoundedText* p) { GetProcessorText(odd, true, p); });
    EXPECT_EQ(" (0 MHz),", text.substr(0, 9)) << text;
    FakeMachine empty;
    text = Build([&](CBoundedText* p) { GetProcessorText(empty, true, p); });
    EXPECT_EQ(" (0 MHz),", text.substr(0, 9)) << text;
}

TEST(SystemInfo, EachIdeChannelGivesItsFirstReadableTimingMode)
{
    FakeMachine machine;
    const std::string ide = IDE_KEY;
    // Only a slave value: one line.
    machine.Dword(ide + "\\0000", "SlaveDeviceTimingMode", 0x2010);
    // The first readable value of each channel; one of another size is not readable.
    machine.Dword(ide + "\\0001", "MasterDeviceTimingMode", 0x10010);
    machine.Dword(ide + "\\0001", "UserMasteDeviceTimingModeAllowed", 0x1F);
    machine.Value(ide + "\\0001", "SlaveDeviceTimingMode", REG_BINARY, std::string(8, '\x01'));
    machine.Dword(ide + "\\0001", "SlaveDeviceTimingModeAllowed", 0x12AB);
    machine.Dword(ide + "\\0001", "UserSlaveDeviceTimingModeAllowed", 0x410);
    machine.Dword(ide + "\\0002", "UserMasteDeviceTimingModeAllowed", 0xFFFFFFFF);
    machine.Key(ide + "\\0003"); // no values: no line
    EXPECT_EQ("\t[0000] SlaveDeviceTimingMode: UDMA2/ATA33\r\n"
              "\t[0001] MasterDeviceTimingMode: UDMA5/ATA100\r\n"
              "\t[0001] SlaveDeviceTimingModeAllowed: \t\tunknown 000012AB\r\n"
              "\t[0002] UserMasteDeviceTimingModeAllowed: maximum possible\r\n",
              Build([&](CBoundedText* p) { GetIdeConfigText(machine, true, p); }));

    EXPECT_EQ("Such info is not provided by Win9x",
              Build([&](CBoundedText* p) { GetIdeConfigText(machine, false, p); }));
    FakeMachine empty;
    EXPECT_EQ("", Build([&](CBoundedText* p) { GetIdeConfigText(empty, true, p); }));
}

TEST(SystemInfo, ManyControllersStayInTheSectionBuffer)
{
    FakeMachine machine;
    for (int i = 0; i < 200; ++i)
    {
        char sz[8];
        wsprintfA(sz, "%04i", i);
        machine.Dword(std::string(IDE_KEY) + "\\" + sz, "MasterDeviceTimingMode", 0x8010);
        machine.Dword(std::string(IDE_KEY) + "\\" + sz, "SlaveDeviceTimingMode", 0x8010);
    }
    const std::string text = Build([&](CBoundedText* p) { GetIdeConfigText(machine, true, p); });
    EXPECT_LT(text.size(), (size_t)SYSTEM_SECTION_SIZE);
    EXPECT_GT(text.size(), (size_t)SYSTEM_SECTION_SIZE - 60);
    // Whole lines only.
    const std::vector<std::string> lines = SplitLines(text);
    EXPECT_EQ("\r\n", text.substr(text.size() - 2));
    for (const std::string& line : lines)
        EXPECT_TRUE(std::regex_match(line, std::regex(R"(^\t\[\d{4}\] (Master|Slave)DeviceTimingMode: UDMA4/ATA66$)")))
            << line;
}

TEST(SystemInfo, HardwareDevicesAreListedByClassAndName)
{
    FakeMachine machine;
    std::string pci = machine.Device("PCI", "VEN_1", true);
    machine.Text(pci, "Class", "Display");
    machine.Text(pci, "FriendlyName", "Wine Adapter");
    machine.Text(pci, "DeviceDesc", "not this one");
    machine.Text(pci, "Mfg", "Wine");
    // No class: the first compatible id; no friendly name: the description.
    pci = machine.Device("PCI", "VEN_2", true);
    machine.Value(pci, "Class", REG_DWORD, std::string(4, '\x01'));
    machine.Value(pci, "CompatibleIDs", REG_MULTI_SZ, std::string("PCI\\CC_0300\0PCI\\CC_03\0\0", 23));
    machine.Text(pci, "DeviceDesc", "Second adapter");
    // An over-long maker is left out; a stored text without its NUL is read whole.
    pci = machine.Device("PCI", "VEN_3", true);
    machine.Value(pci, "Class", REG_SZ, "Net");
    machine.Text(pci, "FriendlyName", "Ethernet");
    machine.Text(pci, "Mfg", std::string(300, 'm'));
    // Skipped: no Control subkey, no instance.
    machine.Device("PCI", "VEN_4", false);
    machine.Key(std::string(ENUM_KEY) + "\\PCI\\VEN_5");
    // "Root" is skipped, other enumerators are listed even without devices.
    machine.Text(machine.Device("Root", "LEGACY", true), "Class", "Legacy");
    machine.Key(std::string(ENUM_KEY) + "\\USB");

    EXPECT_EQ("PCI"
              "\tDisplay:       \tWine Adapter (Wine)\r\n"
              "\tPCI\\CC_0300:   \tSecond adapter ()\r\n"
              "\tNet:           \tEthernet ()\r\n"
              "USB",
              Build([&](CBoundedText* p) { GetHardwareText(machine, true, p); }));
    // Elsewhere than NT the devices need no Control subkey, under "Enum".
    FakeMachine old;
    old.Text("Enum\\ISAPNP\\PNP0700\\0001", "Class", "fdc");
    EXPECT_EQ("ISAPNP\tfdc:           \t ()\r\n", Build([&](CBoundedText* p) { GetHardwareText(old, false, p); }));

    FakeMachine root;
    root.Text(root.Device("ROOT", "LEGACY", true), "Class", "Legacy"); // the name is compared with its case
    EXPECT_EQ("ROOT\tLegacy:        \t ()\r\n", Build([&](CBoundedText* p) { GetHardwareText(root, true, p); }));

    FakeMachine none;
    EXPECT_EQ("Can't open subkey for hardware enumeration, hr=0x80070002\r\n",
              Build([&](CBoundedText* p) { GetHardwareText(none, true, p); }));
}

// The whole block: its sections in order, and a device list far larger than
// the block cut at a whole line, with the closing line still there.
TEST(SystemInfo, BlockKeepsItsBoundsWithAHugeDeviceList)
{
    FakeMachine machine;
    machine.Text(CPU_KEY, "Identifier", "Test CPU");
    for (int i = 0; i < 400; ++i)
    {
        char sz[16];
        wsprintfA(sz, "DEV_%03i", i);
        const std::string instance = machine.Device("PCI", sz, true);
        machine.Text(instance, "Class", "System");
        machine.Text(instance, "FriendlyName", std::string(200, 'f'));
        machine.Text(instance, "Mfg", sz);
    }

    const int cb = SYSTEM_BLOCK_SIZE;
    std::string buf(cb + 64, '#');
    const int n = GetSystemInfoText(machine, &buf[0], cb);
    ASSERT_LT(n, cb);
    EXPECT_EQ((size_t)n, strlen(buf.c_str()));
    EXPECT_EQ(std::string(64, '#'), buf.substr(cb)); // nothing written beyond the block
    const std::string text = buf.substr(0, n);
    EXPECT_GT(n, cb - 300);
    EXPECT_EQ("\r\n\r\n---8<---\r\n", text.substr(text.size() - 14));

    const std::vector<std::string> sections = {"OS version: ",  "\r\nProcessor: Test CPU (0 MHz), ",
                                               "\r\nMemory status:\r\n", "\r\nSystem information: ",
                                               "\r\nDisplay info:\r\n", "\r\nDrives information:\r\n",
                                               "IDE config:\r\n",   "Hardware information:\r\nPCI\tSystem:"};
    size_t at = 0;
    for (const std::string& s : sections)
    {
        const size_t found = text.find(s, at);
        ASSERT_NE(std::string::npos, found) << s;
        at = found + s.size();
    }
    EXPECT_EQ(text.find("IDE config:\r\nHardware information:\r\n"), text.find("IDE config:"));
    // Every device line written is whole.
    const std::string hardware = text.substr(text.find("Hardware information:\r\nPCI") + 26);
    const std::vector<std::string> lines = SplitLines(hardware.substr(0, hardware.size() - 14));
    EXPECT_GT(lines.size(), 100u);
    EXPECT_LT(lines.size(), 400u);
    for (const std::string& line : lines)
        EXPECT_TRUE(std::regex_match(line, std::regex("^\tSystem:        \t" + std::string(200, 'f') +
                                                      R"( \(DEV_\d{3}\)$)")))
            << line;
}

TEST(SystemInfo, SmallBufferStillEndsTheBlock)
{
    FakeMachine machine;
    for (int cb : {1, 13, 40, 200, 2000})
    {
        std::string buf(cb + 16, '#');
        const int n = GetSystemInfoText(machine, &buf[0], cb);
        EXPECT_LT(n, cb);
        EXPECT_EQ(std::string(16, '#'), buf.substr(cb)) << cb;
        if (cb >= 13)
        {
            EXPECT_EQ("\r\n---8<---\r\n", buf.substr(n - 12, 12)) << cb;
        }
    }
}

TEST(FileVersionText, FromTheFileAndItsFailures)
{
    TempFolder dir("version");
    const std::string path = dir.CopyIn("versioned.dll");
    // A known last-write time (the text shows it as stored, in UTC).
    SYSTEMTIME st = {2026, 12, 2, 8, 13, 5, 42, 0};
    FILETIME ft;
    SystemTimeToFileTime(&st, &ft);
    HANDLE h = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES | GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    SetFileTime(h, NULL, NULL, &ft);
    const DWORD cbFile = GetFileSize(h, NULL);
    CloseHandle(h);

    char sz[256];
    GetFileVersionText(path.c_str(), sz, sizeof(sz));
    EXPECT_EQ("1.2.3.4 (5.6.7.8) DEBUG+PRERELEASE {" + std::to_string(cbFile) + " 2026/12/8 13:05:42}",
              std::string(sz));

    // Cut to a small buffer, never beyond it.
    char small[12];
    memset(small, '#', sizeof(small));
    GetFileVersionText(path.c_str(), small, 8);
    EXPECT_STREQ("1.2.3.4", small);
    EXPECT_EQ('#', small[8]);

    // A program without a version resource, and a missing file.
    GetFileVersionText((ProgramFolderA() + "logchild.exe").c_str(), sz, sizeof(sz));
    EXPECT_TRUE(std::regex_match(sz, std::regex(R"(^Version info not found, error 181[23]$)"))) << sz;
    GetFileVersionText((dir / "missing.dll").c_str(), sz, sizeof(sz));
    EXPECT_STREQ("Version info not found, error 2", sz);
}

// A symbol engine of the test's own, put back as it was found afterwards:
// the options and the symbol path of dbghelp are process-wide.
class OwnSymbolEngine : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_dwOptions = SymGetOptions();
        m_bHadPath = GetEnvironmentVariableA("_NT_SYMBOL_PATH", m_szPath, sizeof(m_szPath)) != 0;
        m_engine.Load();
        ASSERT_TRUE(m_engine.Module());
    }
    void TearDown() override
    {
        m_engine.Release(false);
        SymSetOptions(m_dwOptions);
        SetEnvironmentVariableA("_NT_SYMBOL_PATH", m_bHadPath ? m_szPath : NULL);
    }

    CDbgHelp m_engine = {};
    DWORD m_dwOptions = 0;
    char m_szPath[1024] = "";
    bool m_bHadPath = false;
};

TEST_F(OwnSymbolEngine, ModuleListHasEveryModuleWithItsVersion)
{
    HMODULE hVersioned = LoadLibraryA("versioned.dll");
    ASSERT_TRUE(hVersioned);
    char* pszList = NULL;
    ASSERT_TRUE(m_engine.GetModuleList(&pszList, TRUE));
    ASSERT_TRUE(pszList);
    const std::string text = pszList;
    free(pszList);
    FreeLibrary(hVersioned);

    const std::vector<std::string> lines = SplitLines(text);
    EXPECT_GE(lines.size(), 4u);
    EXPECT_EQ("\r\n", text.substr(text.size() - 2));
    const std::regex line(R"re(^\t\[0x([0-9A-F]{16})\] "([^"]+)" (.+)$)re");
    bool bVersioned = false, bProgram = false;
    const std::string program = ProgramPathA();
    for (const std::string& l : lines)
    {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(l, m, line)) << l;
        const std::string path = m[2];
        if (lstrcmpiA(path.c_str(), (ProgramFolderA() + "versioned.dll").c_str()) == 0)
        {
            bVersioned = true;
            EXPECT_EQ(strtoull(m[1].str().c_str(), NULL, 16), (unsigned long long)(UINT_PTR)hVersioned);
            EXPECT_EQ(0u, m[3].str().find("1.2.3.4 (5.6.7.8) DEBUG+PRERELEASE {")) << l;
        }
        bProgram = bProgram || lstrcmpiA(path.c_str(), program.c_str()) == 0;
    }
    EXPECT_TRUE(bVersioned);
    EXPECT_TRUE(bProgram);
}

TEST_F(OwnSymbolEngine, NoSetUpOnceReleased)
{
    // Released before its first use: the list is not made, and the symbol
    // engine is not set up on a library that may be gone.
    m_engine.Release(false);
    char* pszList = (char*)"not touched";
    EXPECT_FALSE(m_engine.GetModuleList(&pszList, FALSE));
    EXPECT_EQ(nullptr, pszList);
    EXPECT_EQ((int)CDbgHelp::eNotSetUp, m_engine.State());
}

} // namespace
