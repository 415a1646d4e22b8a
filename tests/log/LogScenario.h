// A private copy of Dez64.dll with settings of its own, and logchild.exe run
// on it for one scenario.
#pragma once

#include <cstdio>
#include <functional>
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
            bChildInFolder ? m_dir.CopyIn("logchild.exe") : ProgramFolderA() + "logchild.exe";
        const std::string results = m_dir / "results.txt";
        const ChildResult r = RunChild(
            "\"" + child + "\" " + pszScenario + " \"" + m_dll + "\" \"" + results + "\"", env, 60000,
            ProgramFolderA().c_str());
        m_dwChildId = r.dwProcessId;
        Results out = ReadResults(results);
        out["finished"] = r.bFinished ? "yes" : "no";
        out["exit"] = std::to_string(r.dwExitCode);
        // A child that ends without its last result tells how it ended.
        if (!out.count("end"))
        {
            char szExit[16];
            wsprintfA(szExit, "0x%08X", (unsigned)r.dwExitCode);
            fprintf(stderr, "logchild %s: no end result; finished=%s exit=%s pid=%lu\n", pszScenario,
                    out["finished"].c_str(), szExit, (unsigned long)r.dwProcessId);
        }
        return out;
    }

    // Runs logchild.exe for one scenario under a limit on the size of the
    // files it writes, as a full disk stops a log. The child is started
    // through the system's shell, with the limit set by prlimit and the
    // file-size signal ignored, so that a write at the limit fails instead
    // of ending the process by the signal (Wine does not handle it). Such a
    // child is no process this one can wait for: its results file tells when
    // it ended ("finished" is "yes" once it holds the line "end=").
    // wineLoader is the Unix path of Wine's loader.
    // When the results say "stopped", onStopped runs and then the file "go"
    // is made in the folder (a child that waits for it goes on).
    Results RunUnderFileLimit(const char* pszScenario, long long llLimit, const std::string& wineLoader,
                              const std::function<void()>& onStopped = nullptr)
    {
        const std::string results = m_dir / "results.txt";
        DeleteFileA(results.c_str());
        std::string cmd = "/bin/sh -c \"trap '' XFSZ; export DEZLOG_LIMIT=" + std::to_string(llLimit) +
                          "; exec prlimit --fsize=" + std::to_string(llLimit) + " '" + wineLoader + "' '" + Child() +
                          "' " + pszScenario + " '" + m_dll + "' '" + results + "'\"";
        STARTUPINFOA si = {};
        si.cb = sizeof(si);
        PROCESS_INFORMATION pi = {};
        Results out;
        if (!CreateProcessA(NULL, &cmd[0], NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi))
        {
            out["finished"] = "not started";
            return out;
        }
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
        DeleteFileA((m_dir / "go").c_str());
        bool bStopped = false;
        for (int i = 0; i < 1200; ++i)
        {
            out = ReadResults(results);
            if (out.count("end"))
                break;
            if (!bStopped && out.count("stopped"))
            {
                bStopped = true;
                if (onStopped)
                    onStopped();
                CloseHandle(CreateFileA((m_dir / "go").c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL));
            }
            Sleep(50);
        }
        out["finished"] = out.count("end") ? "yes" : "no";
        return out;
    }

    DWORD ChildId() const { return m_dwChildId; }
    std::string Child() const { return ProgramFolderA() + "logchild.exe"; }

private:
    static Results ReadResults(const std::string& path)
    {
        Results out;
        for (const std::string& line : SplitLines(ReplaceNewlines(ReadWholeFile(path))))
        {
            const size_t eq = line.find('=');
            if (eq != std::string::npos)
                out[line.substr(0, eq)] = line.substr(eq + 1);
        }
        return out;
    }

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
