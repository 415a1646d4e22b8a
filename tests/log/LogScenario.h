// A private copy of Dez64.dll with settings of its own, and logchild.exe run
// on it for one scenario.
#pragma once

#include <map>
#include <memory>

#include "LogTestSupport.h"

namespace logtest {

typedef std::map<std::string, std::string> Results;

class LogScenario
{
public:
    explicit LogScenario(const char* pszTag) : m_dir(pszTag) { m_dll = m_dir.CopyIn("Dez64.dll"); }

    const TempFolder& Dir() const { return m_dir; }
    const std::string& Dll() const { return m_dll; }
    std::string LogPath() const { return m_dir / "log.log"; }

    // Settings with a log file beside the copy; extra values replace these.
    void Settings(std::vector<SettingValue> values, bool bDefaults = true)
    {
        if (bDefaults)
        {
            std::vector<SettingValue> all = {SettingValue::Text("Log", LogPath()), SettingValue::Dword("Level", 8),
                                             SettingValue::Dword("Recreate", 1)};
            for (const SettingValue& v : values)
            {
                bool bReplaced = false;
                for (SettingValue& a : all)
                    if (lstrcmpiA(a.pszName, v.pszName) == 0)
                    {
                        a = v;
                        bReplaced = true;
                    }
                if (!bReplaced)
                    all.push_back(v);
            }
            values = all;
        }
        m_key.reset(new SettingsKey(HKEY_CURRENT_USER, m_dll, values));
    }

    Results Run(const char* pszScenario, const std::vector<std::string>& env = {}, bool bChildInFolder = false)
    {
        const std::string child =
            bChildInFolder ? m_dir.CopyIn("logchild.exe") : ProgramFolder() + "\\logchild.exe";
        const std::string results = m_dir / "results.txt";
        const ChildResult r = RunChild(
            "\"" + child + "\" " + pszScenario + " \"" + m_dll + "\" \"" + results + "\"", env, 60000,
            ProgramFolder().c_str());
        m_dwChildId = r.dwProcessId;
        Results out;
        out["finished"] = r.bFinished ? "yes" : "no";
        out["exit"] = std::to_string(r.dwExitCode);
        for (const std::string& line : SplitLines(ReplaceNewlines(ReadWholeFile(results))))
        {
            const size_t eq = line.find('=');
            if (eq != std::string::npos)
                out[line.substr(0, eq)] = line.substr(eq + 1);
        }
        return out;
    }

    DWORD ChildId() const { return m_dwChildId; }
    std::string Child() const { return ProgramFolder() + "\\logchild.exe"; }

private:
    static std::string ReplaceNewlines(std::string s)
    {
        std::string out;
        for (char c : s)
            if (c == '\n')
                out += "\r\n";
            else if (c != '\r')
                out += c;
        return out;
    }

    TempFolder m_dir;
    std::string m_dll;
    std::unique_ptr<SettingsKey> m_key;
    DWORD m_dwChildId = 0;
};

} // namespace logtest
