// The log object through its export, one child process per scenario: each
// test gives a private copy of Dez64.dll its settings, runs logchild.exe on
// it and reads the log file and the child's results afterwards. The program
// runs with dbghelp loaded native first, so that a child placed beside a
// substitute dbghelp.dll loads it; the others find only the system's.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iostream>
#include <map>
#include <memory>

#include "LogScenario.h"

using namespace logtest;

namespace {

// Each text found in order, one after the other.
::testing::AssertionResult InOrder(const std::string& text, const std::vector<std::string>& parts)
{
    size_t at = 0;
    for (const std::string& part : parts)
    {
        const size_t found = text.find(part, at);
        if (found == std::string::npos)
            return ::testing::AssertionFailure() << "not found after offset " << at << ": " << part;
        at = found + part.size();
    }
    return ::testing::AssertionSuccess();
}

const char* const OPEN_BANNER =
    R"(^\[Local \d{4}/(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)/\d{1,2} \d\d:\d\d:\d\d\.\d{3}\] Log is open, cut here ======================== 8< =============================$)";
const char* const CLOSE_BANNER =
    R"(^\[Local \d{4}/(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)/\d{1,2} \d\d:\d\d:\d\d\.\d{3}\] Log is close, cut here ======================== 8< =============================$)";

TEST(LogObject, LineLayoutLevelsCutsAndBreaks)
{
    LogScenario s("layout");
    s.Settings({});
    Results r = s.Run("messages");
    ASSERT_EQ("0", r["end"]);
    EXPECT_EQ("0x00000000", r["register"]);
    EXPECT_EQ("1", r["null_w"]);
    EXPECT_EQ("1", r["empty_w"]);
    EXPECT_EQ("1", r["null_a"]);
    EXPECT_EQ("1", r["empty_a"]);
    EXPECT_EQ("1234", r["lasterror"]);

    const std::string text = ReadWholeFile(s.LogPath());
    const std::string p = "LOGCHILD: ";
    const std::vector<std::string> expected = {
        "8 " + p + "level eight",
        "4 " + p + "no level character",
        "0 " + p + "level zero",
        "4 " + p + "ATL: more",
        "4 " + p + "a",
        "4 " + p + "c",
        "4 " + p + "e",
        "4 " + p + "ends in a line feed",
        "4 " + p + std::string(245, 'w'),
        "4 " + p + std::string(252 - p.size(), 'v') + "...",
        "8 " + p + std::string(252 - p.size(), 'x') + "...",
        "2 " + p + "via ANSI",
        "4 " + p + "caf\xE9 and ?",
        "4 " + p + "last error kept",
    };
    EXPECT_EQ(expected, MessagesOf(text));

    // The first line of the thread carries the full columns.
    const std::vector<std::string> lines = SplitLines(text);
    auto first = std::find_if(lines.begin(), lines.end(), [](const std::string& l) { return !MessageOf(l).empty(); });
    ASSERT_NE(lines.end(), first);
    EXPECT_TRUE(std::regex_match(*first, FirstOfThread())) << *first;
    EXPECT_FALSE(std::regex_match(*(first + 1), FirstOfThread())) << *(first + 1);

    // Line breaks inside messages.
    EXPECT_NE(std::string::npos, text.find("4 " + p + "a\r\n\t\t\t\tb\r\n"));
    EXPECT_NE(std::string::npos, text.find("4 " + p + "c\r\n\r\n\r\n\t\t\t\td\r\n"));
    EXPECT_NE(std::string::npos, text.find("4 " + p + "e\r\n\t\t\t\tf\r\n"));
    EXPECT_NE(std::string::npos, text.find("4 " + p + "ends in a line feed\r\n"));
    EXPECT_EQ(std::string::npos, text.find("ends in a line feed\r\n\r\n"));
    EXPECT_EQ(std::string::npos, text.find("level ten"));
}

TEST(LogObject, InterfaceAnswersAndFourClientsOpenOnce)
{
    LogScenario s("api");
    s.Settings({});
    Results r = s.Run("api");
    ASSERT_EQ("0", r["end"]);
    EXPECT_EQ("0x80004003", r["get_null"]);
    EXPECT_EQ("0x00000000", r["get_again"]);
    EXPECT_EQ("yes", r["same"]);
    EXPECT_EQ("0x80004001", r["reserved"]);
    EXPECT_EQ("0x00000000", r["unregister_unknown"]);
    EXPECT_EQ("null", r["unknown_cookie"]);
    EXPECT_EQ("0x00000000", r["unregister_null"]);
    EXPECT_EQ("1", r["muted_9"]);
    EXPECT_EQ("0", r["muted_8"]);
    EXPECT_EQ("0x00000000 0x00000000 0x00000000 0x00000000 ", r["four"]);
    EXPECT_EQ("0x80070057", r["commit_out_of_range"]);
    EXPECT_EQ("0x00000000", r["reserve"]);
    EXPECT_EQ("256", r["room"]);
    EXPECT_EQ("0x00000000", r["commit"]);
    EXPECT_EQ("0x80070057", r["commit_again"]);
    EXPECT_EQ("0x80004003", r["reserve_null"]);
    EXPECT_EQ("0x00000000", r["flush"]);
    EXPECT_EQ("0x00000000", r["dump_stack"]);
    EXPECT_EQ("0x00000000", r["dump_buffer"]);
    EXPECT_EQ("0x00000000", r["dump_key"]);

    const std::string text = ReadWholeFile(s.LogPath());
    EXPECT_EQ(1u, Count(text, "Log is open, cut here"));
    EXPECT_EQ(1u, Count(text, "Log is close, cut here"));
    EXPECT_EQ("0x00000000", r["commit_full"]);
    // The full slot ends inside its room: its last byte gives way to the NUL.
    const std::vector<std::string> expected = {"4 LOGCHILD: after four clients", "3 committed by hand",
                                               "5 " + std::string(255, 'z'), "4 LOGCHILD: still writing"};
    // The dumps' blocks stand under header lines of level 1.
    std::vector<std::string> messages;
    for (const std::string& m : MessagesOf(text))
        if (m.compare(0, 2, "1 ") != 0)
            messages.push_back(m);
    EXPECT_EQ(expected, messages);
    EXPECT_EQ(std::string::npos, text.find("live references"));
}

// Walks the lines of a log file from a position, checking them in order.
class LineCursor
{
public:
    explicit LineCursor(const std::vector<std::string>& lines) : m_lines(lines) {}

    const std::string& Next() { return m_i < m_lines.size() ? m_lines[m_i++] : m_none; }
    const std::string& Peek() const { return m_i < m_lines.size() ? m_lines[m_i] : m_none; }
    // Takes the lines that match re; returns how many.
    std::vector<std::string> TakeWhile(const std::regex& re)
    {
        std::vector<std::string> taken;
        while (m_i < m_lines.size() && std::regex_match(m_lines[m_i], re))
            taken.push_back(m_lines[m_i++]);
        return taken;
    }
    size_t Index() const { return m_i; }

private:
    const std::vector<std::string>& m_lines;
    size_t m_i = 0;
    const std::string m_none = "<no more lines>";
};

const char* const MODULE_LINE = R"re(^\t\[0x[0-9A-F]{16}\] "([^"]+)" (.*)$)re";

// The module lines at the cursor: path -> rest of the line (version text and
// symbol mark).
std::map<std::string, std::string> TakeModules(LineCursor& at)
{
    std::map<std::string, std::string> modules;
    const std::regex re(MODULE_LINE);
    for (const std::string& line : at.TakeWhile(re))
    {
        std::smatch m;
        std::regex_match(line, m, re);
        std::string path = m[1];
        CharLowerA(&path[0]);
        modules[path] = m[2];
    }
    return modules;
}

std::string Lower(std::string s)
{
    CharLowerA(&s[0]);
    return s;
}

// A file of ours has no version resource: the not-found text with the code
// the system gives (1813 on Windows, 1812 under Wine).
const char* const NO_VERSION = R"(^Version info not found, error 181[23]( ### Symbols not found)?$)";

TEST(LogObject, HeaderAndClosingBlockInOrder)
{
    LogScenario s("header");
    s.Settings({});
    Results r = s.Run("register");
    ASSERT_EQ("0", r["end"]);
    ASSERT_EQ("0x00000000", r["register"]);
    EXPECT_EQ("null", r["cookie"]);

    const std::string text = ReadWholeFile(s.LogPath());
    const std::vector<std::string> lines = SplitLines(text);
    char szPid[32];
    wsprintfA(szPid, "0x%04X", (unsigned)s.ChildId());
    const std::string program = ProgramFolderA(); // with its final "\"

    LineCursor at(lines);
    EXPECT_TRUE(std::regex_match(at.Next(), std::regex(OPEN_BANNER))) << lines[0];
    EXPECT_EQ("Fields: THREADID APPARTMENTID PRIORITY TIME MESSAGE", at.Next());
    EXPECT_EQ("APPARTMENTID (work only on nt4/2k/xp):", at.Next());
    EXPECT_EQ("\ts (STA), m (MTA), N (NTA), - (COM isn't initialized), ! (exception on detect)", at.Next());
    EXPECT_EQ("", at.Next());
    EXPECT_EQ(std::string("Process ID=") + szPid + ", PROCESS: " + program + "logchild.exe", at.Next());
    EXPECT_EQ("Current directory: " + program.substr(0, program.size() - 1), at.Next());
    EXPECT_EQ("DLL: " + s.Dll(), at.Next());
    EXPECT_EQ("LOG: " + s.LogPath(), at.Next());
    EXPECT_TRUE(std::regex_match(at.Next(), std::regex(R"(^Free space for log: [1-9]\d{0,2}( \d{3})* bytes$)")))
        << lines[at.Index() - 1];

    // The system block: its lines present, in order, in their shapes.
    const std::vector<std::pair<const char*, const char*>> system = {
        {"os", R"(^OS version: Windows(NT|2000|XP) ver\. \d+\.\d+, build \d+(, .+)?$)"},
        {"processor", R"(^Processor: .* \(\d+ MHz\), (calculated freq [1-9]\d* MHz|cannot calculate processor frequency !!!)$)"},
        {"memory", R"(^Memory status:$)"},
        {"physical", R"(^\tPhysical :\ttotal \d+ MB,\tavailable \d+ MB$)"},
        {"virtual", R"(^\tVirtual :\ttotal \d+ MB,\tavailable \d+ MB$)"},
        {"page file", R"(^\tPage file :\ttotal \d+ MB,\tavailable \d+ MB$)"},
        {"system", R"(^System information: OEM ID: \d+, number of processors: [1-9]\d*, page size: \d+, processor type: \d+$)"},
        {"display", R"(^Display info:$)"},
    };
    for (const auto& line : system)
        EXPECT_TRUE(std::regex_match(at.Next(), std::regex(line.second))) << line.first << ": " << lines[at.Index() - 1];
    at.TakeWhile(std::regex(R"(^\t\[\d+\] '.*', -?\d+\*-?\d+\*-?\d+bpp -?\d+Hz, '.*', \[.*\] $)"));
    EXPECT_TRUE(std::regex_match(at.Next(), std::regex(R"(^Current display mode: \d+\*\d+\*\d+bpp, (default refresh \([01]\)|\d+Hz)$)")))
        << lines[at.Index() - 1];
    EXPECT_EQ("Drives information:", at.Next());
    EXPECT_EQ("\tletter type fs free total label flags", at.Next());
    const std::vector<std::string> drives = at.TakeWhile(std::regex(R"(^\t[A-Z]:\\ \S.*$)"));
    EXPECT_TRUE(std::any_of(drives.begin(), drives.end(), [](const std::string& d) {
        return std::regex_match(d, std::regex(R"(^\tC:\\ FIXED      \S+ *  +-?\d+mb +-?\d+mb .* flags\[[0-9A-F]{8}\]$)"));
    })) << "no fixed drive C: among " << drives.size();
    EXPECT_EQ("IDE config:", at.Next());
    at.TakeWhile(std::regex(R"(^\t\[.*\] .*$)"));
    EXPECT_EQ("Hardware information:", at.Next());
    // Device lines, and enumerator names run into the line that follows them.
    while (at.Peek() != "---8<---" && at.Index() < lines.size())
        at.Next();
    EXPECT_EQ("---8<---", at.Next());

    // The module list with the program, the library and the system's modules.
    EXPECT_EQ("List of modules in process:", at.Next());
    std::map<std::string, std::string> modules = TakeModules(at);
    EXPECT_TRUE(std::regex_match(modules[Lower(program + "logchild.exe")], std::regex(NO_VERSION)))
        << modules[Lower(program + "logchild.exe")];
    EXPECT_TRUE(std::regex_match(modules[Lower(s.Dll())], std::regex(NO_VERSION))) << modules[Lower(s.Dll())];
    EXPECT_GE(modules.size(), 4u);
    EXPECT_EQ("", at.Next());

    EXPECT_EQ("2 LOGCHILD: level two", MessageOf(at.Next()));
    EXPECT_EQ("4 LOGCHILD: level four", MessageOf(at.Next()));
    EXPECT_EQ("4 LOGCHILD: hello", MessageOf(at.Next()));
    EXPECT_EQ("", at.Next());
    EXPECT_EQ("List of modules before unloading the logging module:", at.Next());
    std::map<std::string, std::string> closing = TakeModules(at);
    EXPECT_TRUE(closing.count(Lower(s.Dll())));
    for (const auto& m : closing)
        EXPECT_EQ(std::string::npos, m.second.find("### Symbols not found")) << m.first;
    EXPECT_EQ("", at.Next());
    EXPECT_TRUE(std::regex_match(at.Next(), std::regex(CLOSE_BANNER))) << lines[at.Index() - 1];
    EXPECT_EQ(at.Index(), lines.size());
    if (HasFailure())
        std::cout << text;
}

TEST(LogObject, LevelSettingMutesHigherLines)
{
    LogScenario s("mute");
    s.Settings({SettingValue::Dword("Level", 2)});
    Results r = s.Run("register");
    ASSERT_EQ("0x00000000", r["register"]);
    const std::vector<std::string> expected = {"2 LOGCHILD: level two"};
    EXPECT_EQ(expected, MessagesOf(ReadWholeFile(s.LogPath())));
}

TEST(LogObject, MalformedLevelKeepsEight)
{
    for (const SettingValue& level :
         {SettingValue::Text("Level", "2"), SettingValue::Raw("Level", REG_DWORD, std::string("\x02\x00", 2))})
    {
        LogScenario s("level");
        s.Settings({level});
        Results r = s.Run("register");
        ASSERT_EQ("0x00000000", r["register"]);
        EXPECT_EQ(3u, MessagesOf(ReadWholeFile(s.LogPath())).size()) << level.dwType;
    }
}

TEST(LogObject, TheFileNameTakesTheTimestampAndProcessAsSet)
{
    struct Case
    {
        const char* pszName;
        DWORD dwTimestamp, dwSeparate;
        const char* pszPattern; // file name in the folder, %PID% standing for the child's id
    } cases[] = {
        {"log.log", 1, 0, R"(^log_\d{4}-\d\d-\d\d_\d\d\.\d\d\.\d\d\.log$)"},
        {"log", 1, 0, R"(^log\d{4}-\d\d-\d\d_\d\d\.\d\d\.\d\d$)"},
        {"log.log", 0, 1, "^log_%PID%\\.log$"},
        {"log", 0, 1, "^log_%PID%$"},
        {"log.log", 1, 1, R"(^log_\d{4}-\d\d-\d\d_\d\d\.\d\d\.\d\d_%PID%\.log$)"},
    };
    for (const Case& c : cases)
    {
        LogScenario s("naming");
        s.Settings({SettingValue::Text("Log", s.Dir() / c.pszName), SettingValue::Dword("Timestamp", c.dwTimestamp),
                    SettingValue::Dword("ProcessSeparate", c.dwSeparate), SettingValue::Dword("Recreate", 0)});
        Results r = s.Run("register");
        ASSERT_EQ("0x00000000", r["register"]) << c.pszName;
        char szPid[16];
        wsprintfA(szPid, "%04X", (unsigned)s.ChildId());
        std::string pattern = c.pszPattern;
        const size_t at = pattern.find("%PID%");
        if (at != std::string::npos)
            pattern.replace(at, 5, szPid);
        std::vector<std::string> logs;
        for (const std::string& name : s.Dir().Find("log*"))
            logs.push_back(name);
        ASSERT_EQ(1u, logs.size()) << c.pszName;
        EXPECT_TRUE(std::regex_match(logs[0], std::regex(pattern))) << logs[0] << " against " << pattern;
        const std::string text = ReadWholeFile(s.Dir() / logs[0]);
        EXPECT_NE(std::string::npos, text.find("LOG: " + (s.Dir() / logs[0]) + "\r\n"));
        EXPECT_EQ(3u, MessagesOf(text).size());
    }
}

TEST(LogObject, RecreateDecidesWhetherTheOldLogIsKept)
{
    struct Case
    {
        const char* pszWhat;
        std::vector<SettingValue> values;
        bool bOldKept;
    } cases[] = {
        {"Recreate 0", {SettingValue::Dword("Recreate", 0)}, true},
        {"Recreate 1", {SettingValue::Dword("Recreate", 1)}, false},
        {"Recreate missing", {}, false},
    };
    for (const Case& c : cases)
    {
        LogScenario s("append");
        std::vector<SettingValue> values = {SettingValue::Text("Log", s.LogPath()), SettingValue::Dword("Level", 8)};
        values.insert(values.end(), c.values.begin(), c.values.end());
        s.Settings(values, false);
        WriteWholeFile(s.LogPath(), "old content\r\n");
        Results r = s.Run("register");
        ASSERT_EQ("0x00000000", r["register"]) << c.pszWhat;
        const std::string text = ReadWholeFile(s.LogPath());
        if (c.bOldKept)
            EXPECT_EQ(0u, text.find("old content\r\n[Local ")) << c.pszWhat;
        else
            EXPECT_EQ(0u, text.find("[Local ")) << c.pszWhat;
        EXPECT_EQ(c.bOldKept ? 1u : 0u, Count(text, "old content")) << c.pszWhat;
    }
}

TEST(LogObject, ProcessesSharingOneFileKeepEveryLine)
{
    LogScenario s("shared");
    s.Settings({SettingValue::Dword("Recreate", 0)});
    // Both children open the file and write a line, then both write again:
    // each writes while the other holds the file open.
    std::vector<HANDLE> procs;
    std::vector<std::string> results;
    for (int i = 0; i < 2; ++i)
    {
        STARTUPINFOA si = {};
        si.cb = sizeof(si);
        PROCESS_INFORMATION pi;
        results.push_back(s.Dir() / ("shared" + std::to_string(i) + ".txt"));
        std::string cmd = "\"" + s.Child() + "\" shared \"" + s.Dll() + "\" \"" + results.back() + "\"";
        ASSERT_TRUE(CreateProcessA(NULL, &cmd[0], NULL, NULL, FALSE, 0, NULL, ProgramFolderA().c_str(), &si, &pi));
        CloseHandle(pi.hThread);
        procs.push_back(pi.hProcess);
    }
    for (int i = 0; i < 600; ++i)
    {
        if (ReadWholeFile(results[0]).find("registered=") != std::string::npos &&
            ReadWholeFile(results[1]).find("registered=") != std::string::npos)
            break;
        Sleep(50);
    }
    WriteWholeFile(s.Dir() / "go", "go");
    for (HANDLE h : procs)
    {
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(h, 60000));
        CloseHandle(h);
    }
    const std::string text = ReadWholeFile(s.LogPath());
    EXPECT_EQ(2u, Count(text, "Log is open, cut here"));
    EXPECT_EQ(2u, Count(text, "Log is close, cut here"));
    EXPECT_EQ(2u, Count(text, "4 LOGCHILD: before the other\r\n"));
    EXPECT_EQ(2u, Count(text, "4 LOGCHILD: after the other\r\n"));
    EXPECT_EQ(4u, MessagesOf(text).size());
}

TEST(LogObject, SettingsThatKeepTheLogOff)
{
    struct Case
    {
        const char* pszWhat;
        std::vector<SettingValue> values;
        bool bKey;
        const char* pszResult;
        const char* pszFile; // a file that must not appear
    } cases[] = {
        {"Log of type REG_EXPAND_SZ", {SettingValue::Text("Log", "%TEMP%\\x.log", REG_EXPAND_SZ)}, true,
         "0x8007000D", NULL},
        {"empty Log", {SettingValue::Text("Log", "")}, true, "0x8007000D", NULL},
        {"Log missing", {SettingValue::Dword("Level", 8)}, true, "0x80070002", NULL},
        {"no settings key", {}, false, "0x80070002", NULL},
        {"folder missing", {}, true, "0x80070003", "missing\\log.log"},
        {"expansion too long",
         {SettingValue::Text("Log", "%DEZLOG_LONG%\\%DEZLOG_LONG%\\%DEZLOG_LONG%\\x.log")},
         true,
         "0x800700CE",
         NULL},
    };
    for (const Case& c : cases)
    {
        LogScenario s("off");
        std::vector<SettingValue> values = c.values;
        if (c.pszFile)
            values.push_back(SettingValue::Text("Log", s.Dir() / c.pszFile));
        if (c.bKey)
            s.Settings(values, false);
        Results r = s.Run("register", {"DEZLOG_LONG=" + std::string(100, 'L')});
        EXPECT_EQ("0", r["end"]) << c.pszWhat;
        EXPECT_EQ(c.pszResult, r["register"]) << c.pszWhat;
        EXPECT_EQ("null", r["cookie"]) << c.pszWhat;
        EXPECT_TRUE(s.Dir().Find("*.log").empty()) << c.pszWhat;
    }
}

TEST(LogObject, LogNameExpandsEnvironmentText)
{
    LogScenario s("expand");
    s.Settings({SettingValue::Text("Log", "%DEZLOG_FOLDER%\\expanded.log")});
    Results r = s.Run("register", {"DEZLOG_FOLDER=" + s.Dir().Path()});
    ASSERT_EQ("0x00000000", r["register"]);
    EXPECT_EQ(3u, MessagesOf(ReadWholeFile(s.Dir() / "expanded.log")).size());
}

TEST(LogObject, EarlyLinesAreDroppedAndALaterClientKeepsTheFile)
{
    LogScenario s("early");
    s.Settings({});
    Results r = s.Run("early");
    ASSERT_EQ("0", r["end"]);
    EXPECT_EQ("0x00000000", r["register1"]);
    EXPECT_EQ("0x00000000", r["register2"]);
    const std::string text = ReadWholeFile(s.LogPath());
    EXPECT_EQ(1u, Count(text, "Log is open, cut here"));
    EXPECT_EQ(1u, Count(text, "Log is close, cut here"));
    const std::vector<std::string> expected = {"4 LOGCHILD: first session", "4 LOGCHILD: second session"};
    EXPECT_EQ(expected, MessagesOf(text));
}

// A child scenario that ends with the log still in use: the results it
// reports, and the lines its log file must hold in this order (none listed:
// the results say it all).
struct EndCase
{
    const char* name;
    const char* pszScenario;
    std::vector<std::pair<std::string, std::string>> results;
    std::vector<std::string> lines;
};

void PrintTo(const EndCase& c, std::ostream* os)
{
    *os << c.name;
}

const EndCase g_rgEnds[] = {
    // A null cookie counts, and is not written through.
    { "UnloadWithLiveClientsWritesTheCountAndClearsThem", "live",
      {{"cookies", "null"}, {"register_null", "0x00000000"}},
      {"4 LOGCHILD: last line before unload\r\n", "\r\nLOG is shutting down with 3 live references!\r\n",
       "\r\nList of modules before unloading the logging module:\r\n\t[0x", "\r\n\r\n[Local ",
       "Log is close, cut here"} },
    { "ProcessExitWithTheLibraryLoadedClosesTheLog", "exit",
      {{"register", "0x00000000"}},
      {"4 LOGCHILD: last line before exit\r\n", "LOG is shutting down with 1 live references!",
       "\r\nList of modules before unloading the logging module:\r\n\t[0x", "\r\n\r\n[Local ",
       "Log is close, cut here"} },
    { "LinesBehindAnOpenReservationWaitForItsCommit", "reserved",
      {{"before_held", "absent"}, {"before_behind", "absent"}, {"after", "in order"}},
      {} },
};

class LogObjectEnd : public ::testing::TestWithParam<EndCase>
{
};

TEST_P(LogObjectEnd, ReportsTheListedResultsAndWritesTheListedLinesInOrder)
{
    const EndCase& c = GetParam();
    LogScenario s(c.pszScenario);
    s.Settings({});
    Results r = s.Run(c.pszScenario);
    ASSERT_EQ("0", r["end"]);
    for (const auto& kv : c.results)
    {
        EXPECT_EQ(kv.second, r[kv.first]) << kv.first;
    }
    if (!c.lines.empty())
    {
        EXPECT_TRUE(InOrder(ReadWholeFile(s.LogPath()), c.lines));
    }
}

INSTANTIATE_TEST_SUITE_P(LogObject, LogObjectEnd, ::testing::ValuesIn(g_rgEnds),
                         [](const ::testing::TestParamInfo<EndCase>& i) { return std::string(i.param.name); });

TEST(LogObject, CallerPrefixNamesTheCallingModule)
{
    LogScenario s("prefix");
    s.Settings({});
    Results r = s.Run("prefix");
    ASSERT_EQ("0", r["end"]);
    ASSERT_EQ("loaded", r["caller"]);
    const std::vector<std::string> expected = {"4 LOGCHILD: from the program", "4 PREFIXCALLER: from another module"};
    EXPECT_EQ(expected, MessagesOf(ReadWholeFile(s.LogPath())));
}

TEST(LogObject, SymbolEngineSetUpWithASubstituteDbgHelp)
{
    for (const char* pszInit : {"1", "0"})
    {
        LogScenario s("fakedbghelp");
        CopyFileA((ProgramFolderA() + "fakedbghelp.dll").c_str(), (s.Dir() / "dbghelp.dll").c_str(), FALSE);
        s.Settings({});
        Results r = s.Run("register",
                          {std::string("FAKEDBGHELP_SYMINIT=") + pszInit, "_DSPDB=C:\\pdb one"},
                          true);
        ASSERT_EQ("0", r["end"]) << pszInit;
        ASSERT_EQ("0x00000000", r["register"]);
        ASSERT_EQ("1", r["fake_initcalls"]) << "the substitute was not loaded, or set up more than once";
        char szWindows[MAX_PATH];
        GetWindowsDirectoryA(szWindows, MAX_PATH);
        EXPECT_EQ(std::string(szWindows) + "\\Symbols\\dll\\;C:\\pdb one;" + s.Dir().Path() + "\\", r["symbolpath"]);
        EXPECT_EQ(0x16ul, strtoul(r["fake_options"].c_str(), NULL, 16));
        // Without a symbol engine the lines carry no prefix.
        const std::string prefix = pszInit[0] == '1' ? "LOGCHILD: " : "";
        const std::vector<std::string> expected = {"2 " + prefix + "level two", "4 " + prefix + "level four",
                                                   "4 " + prefix + "hello"};
        const std::string text = ReadWholeFile(s.LogPath());
        EXPECT_EQ(expected, MessagesOf(text)) << pszInit;
        // The substitute finds no symbols: every module of the header's list
        // says so; the closing list loads none. Without a symbol engine both
        // lists are their titles only.
        const std::vector<std::string> lines = SplitLines(text);
        std::vector<std::string> opening, closing;
        std::vector<std::string>* pList = NULL;
        for (const std::string& line : lines)
        {
            if (line == "List of modules in process:")
                pList = &opening;
            else if (line == "List of modules before unloading the logging module:")
                pList = &closing;
            else if (pList && std::regex_match(line, std::regex(MODULE_LINE)))
                pList->push_back(line);
            else
                pList = NULL;
        }
        if (pszInit[0] == '1')
        {
            EXPECT_GE(opening.size(), 4u);
            EXPECT_EQ(opening.size(), closing.size());
            for (const std::string& line : opening)
                EXPECT_EQ(" ### Symbols not found", line.substr(line.size() - 22)) << line;
            for (const std::string& line : closing)
                EXPECT_EQ(std::string::npos, line.find("### Symbols not found")) << line;
        }
        else
        {
            EXPECT_TRUE(opening.empty());
            EXPECT_TRUE(closing.empty());
            EXPECT_TRUE(InOrder(text, {"\r\n---8<---\r\nList of modules in process:\r\n\r\n",
                                       "\r\nList of modules before unloading the logging module:\r\n\r\n[Local "}));
        }
    }
}


// Each line that opens with the columns shows the priority its thread had
// when it wrote the line: right after a change of priority, and also when
// the line is written by another thread's commit after its thread changed
// its priority again.
TEST(LogObject, PriorityColumnIsTheThreadsPriorityOfTheMoment)
{
    LogScenario s("priority");
    s.Settings({});
    Results r = s.Run("priority");
    ASSERT_EQ("0", r["end"]);
    ASSERT_EQ("0x00000000", r["register"]);
    const std::regex reColumns(
        R"(^[0-9A-F]{4,5} \?([- 0-9]{3}) (?:\d\d:\d\d:\d\d\.\d{3}|        \.---)\t\d+ (?:LOGCHILD: )?(.*)$)");
    std::vector<std::string> seen;
    for (const std::string& line : SplitLines(ReadWholeFile(s.LogPath())))
    {
        std::smatch m;
        if (std::regex_match(line, m, reColumns))
            seen.push_back(m[2].str() + ":" + std::to_string(atoi(m[1].str().c_str())));
    }
    const std::vector<std::string> expected = {"m1 at normal:0",  "x1 at normal:0", "m2 at highest:2",
                                               "x2 at lowest:-2", "m3 at highest:2", "x3 at lowest:-2"};
    EXPECT_EQ(expected, seen);
    if (HasFailure())
        std::cout << ReadWholeFile(s.LogPath());
}

// The log text with what differs from run to run taken out: times, thread
// and process ids, paths of this run, addresses, the system block and the
// module lists. Threads become T1, T2, ... in the order they first write;
// a line of the same thread as the one before it opens with "=".
std::string MaskRunDetails(const std::string& text)
{
    static const std::regex reFirst(R"(^([0-9A-F]{4,5}) \?([- 0-9]{3}) (?:\d\d:\d\d:\d\d\.\d{3}|        \.---)\t(.*)$)");
    static const std::regex reSame(R"(^(?:\t\t\t|\t  (?:\d\d:\d\d:\d\d\.\d{3}|        \.\d{3}|        \.---)\t)(\d+ .*)$)");
    static const std::regex reBanner(R"(^\[Local [^\]]+\] (Log is (?:open|close), cut here.*)$)");
    static const std::regex reAddress(R"(bytes starting at 0x[0-9A-F]{8})");
    static const std::regex reModule(MODULE_LINE);
    std::map<std::string, std::string> threads;
    // One line's column group, and the header of a dump that runs on after it.
    std::function<std::string(const std::string&)> columns = [&](const std::string& line) -> std::string {
        std::smatch m;
        std::string rest;
        std::string out;
        if (std::regex_match(line, m, reFirst))
        {
            std::string& name = threads[m[1]];
            if (name.empty())
                name = "T" + std::to_string(threads.size());
            out = name + " ?" + m[2].str() + " <time>\t";
            rest = m[3];
        }
        else if (std::regex_match(line, m, reSame))
        {
            out = "=\t";
            rest = m[1];
        }
        else
            return line;
        if (rest.compare(0, 2, "1 ") == 0 && rest.size() > 2 && (rest[2] == '\t' || isxdigit((unsigned char)rest[2])))
        {
            const std::string inner = columns(rest.substr(2));
            if (inner != rest.substr(2))
                return out + "1 " + inner;
        }
        return out + rest;
    };
    std::string out;
    bool bSystem = false;
    for (const std::string& raw : SplitLines(text))
    {
        std::string line = raw;
        std::smatch m;
        if (bSystem)
        {
            if (line == "---8<---")
                bSystem = false;
            continue;
        }
        if (line.compare(0, 12, "OS version: ") == 0)
        {
            out += "<system information>\r\n";
            bSystem = true;
            continue;
        }
        if (std::regex_match(line, reModule))
            continue;
        if (std::regex_match(line, m, reBanner))
            line = "[<time>] " + m[1].str();
        for (const char* pszRunOwn : {"Process ID=", "Current directory: ", "DLL: ", "LOG: ", "Free space for log: "})
            if (line.compare(0, strlen(pszRunOwn), pszRunOwn) == 0)
                line = std::string(pszRunOwn) + "<this run>";
        line = std::regex_replace(columns(line), reAddress, "bytes starting at 0x<address>");
        out += line + "\r\n";
    }
    return out;
}

// Every kind of line and dump against the text the log wrote for the same
// calls before its line path was made faster: the bytes must be the same,
// less what differs between any two runs. DEZLOG_WRITE_MASKED=<file> writes
// the masked text of this run, to see a difference whole.
TEST(LogObject, LinesAndDumpsKeepTheirBytes)
{
    LogScenario s("golden");
    s.Settings({SettingValue::Dword("Level", 8)});
    Results r = s.Run("golden");
    ASSERT_EQ("0", r["end"]);
    ASSERT_EQ("0x00000000", r["register"]);
    ASSERT_EQ("loaded", r["caller"]);
    EXPECT_EQ("0x00000000", r["dump_empty"]);
    EXPECT_EQ("0x00000000", r["dump_block"]);
    EXPECT_EQ("0x00000000", r["dump_stack"]);
    EXPECT_EQ("0x00000000", r["dump_key"]);
    EXPECT_EQ("0x80004005", r["dump_missing"]);

    const std::string masked = MaskRunDetails(ReadWholeFile(s.LogPath()));
    char szOut[MAX_PATH];
    if (GetEnvironmentVariableA("DEZLOG_WRITE_MASKED", szOut, sizeof(szOut)))
        WriteWholeFile(szOut, masked);
    const std::string expected = ReadWholeFile(ProgramFolderA() + "golden_lines.txt");
    ASSERT_FALSE(expected.empty()) << "golden_lines.txt is missing beside the program";
    const std::vector<std::string> a = SplitLines(expected), b = SplitLines(masked);
    for (size_t i = 0; i < a.size() || i < b.size(); ++i)
    {
        const std::string sa = i < a.size() ? a[i] : "<none>", sb = i < b.size() ? b[i] : "<none>";
        if (sa != sb)
        {
            ADD_FAILURE() << "first difference at line " << i + 1 << ":\n expected: " << sa << "\n written:  " << sb;
            break;
        }
    }
    EXPECT_EQ(expected, masked);
}

} // namespace
