// Helpers for the log library's tests: per-test folders holding a private
// copy of Dez64.dll (its settings key is named after its full path, so each
// copy has settings of its own), settings keys, child processes and log files.
#pragma once

#include <windows.h>

#include "FileBytes.h"
#include "ProgramFolder.h"

#include <regex>
#include <string>
#include <vector>

namespace logtest {

const char* const BINDING_KEY = "Software\\_VoxaDEZ64";

inline std::string PipePath(std::string s)
{
    for (char& c : s)
        if (c == '\\')
            c = '|';
    return s;
}

inline std::string SettingsKeyOf(const std::string& dllPath)
{
    return std::string(BINDING_KEY) + "\\" + PipePath(dllPath);
}

// A fresh folder under the temp folder, removed with its files at the end.
class TempFolder
{
public:
    explicit TempFolder(const char* pszTag)
    {
        char szTemp[MAX_PATH];
        GetTempPathA(MAX_PATH, szTemp);
        static LONG s_n;
        char szName[MAX_PATH];
        wsprintfA(szName, "%sdezlog_%s_%lu_%ld", szTemp, pszTag, GetCurrentProcessId(), InterlockedIncrement(&s_n));
        m_path = szName;
        CreateDirectoryA(m_path.c_str(), NULL);
    }
    ~TempFolder() { Remove(m_path); }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::string& Path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "\\" + name; }

    // Copies a file from the program's folder into this one; returns its new path.
    std::string CopyIn(const std::string& name) const
    {
        const std::string to = *this / name;
        CopyFileA((ProgramFolderA() + name).c_str(), to.c_str(), FALSE);
        return to;
    }

    // Files of this folder whose names match a wildcard pattern.
    std::vector<std::string> Find(const std::string& pattern) const
    {
        std::vector<std::string> names;
        WIN32_FIND_DATAA fd;
        HANDLE h = FindFirstFileA((*this / pattern).c_str(), &fd);
        if (h == INVALID_HANDLE_VALUE)
            return names;
        do
            if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                names.push_back(fd.cFileName);
        while (FindNextFileA(h, &fd));
        FindClose(h);
        return names;
    }

private:
    static void Remove(const std::string& path)
    {
        WIN32_FIND_DATAA fd;
        HANDLE h = FindFirstFileA((path + "\\*").c_str(), &fd);
        if (h != INVALID_HANDLE_VALUE)
        {
            do
            {
                const std::string name = fd.cFileName;
                if (name == "." || name == "..")
                    continue;
                const std::string full = path + "\\" + name;
                if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                    Remove(full);
                else
                {
                    SetFileAttributesA(full.c_str(), FILE_ATTRIBUTE_NORMAL);
                    DeleteFileA(full.c_str());
                }
            } while (FindNextFileA(h, &fd));
            FindClose(h);
        }
        RemoveDirectoryA(path.c_str());
    }

    std::string m_path;
};

// One value to write into a settings key.
struct SettingValue
{
    const char* pszName;
    DWORD dwType;
    std::string data; // REG_SZ/REG_EXPAND_SZ text, or raw bytes
    static SettingValue Text(const char* name, const std::string& text, DWORD type = REG_SZ)
    {
        return {name, type, text + std::string(1, '\0')};
    }
    static SettingValue Dword(const char* name, DWORD dw)
    {
        return {name, REG_DWORD, std::string((const char*)&dw, sizeof(dw))};
    }
    static SettingValue Raw(const char* name, DWORD type, const std::string& bytes) { return {name, type, bytes}; }
};

// Deletes a key and everything below it.
inline void DeleteTree(HKEY hRoot, const std::string& key)
{
    HKEY h;
    if (RegOpenKeyExA(hRoot, key.c_str(), 0, KEY_READ | KEY_WRITE, &h) == ERROR_SUCCESS)
    {
        char sz[256];
        DWORD cch = sizeof(sz);
        std::vector<std::string> subs;
        for (DWORD i = 0; (cch = sizeof(sz), RegEnumKeyExA(h, i, sz, &cch, NULL, NULL, NULL, NULL)) == ERROR_SUCCESS;
             ++i)
            subs.push_back(sz);
        RegCloseKey(h);
        for (const std::string& s : subs)
            DeleteTree(hRoot, key + "\\" + s);
    }
    RegDeleteKeyA(hRoot, key.c_str());
}

// A settings key of a DLL copy, written at construction and removed at the end.
class SettingsKey
{
public:
    SettingsKey(HKEY hRoot, const std::string& dllPath, const std::vector<SettingValue>& values)
        : m_hRoot(hRoot), m_key(SettingsKeyOf(dllPath))
    {
        HKEY h;
        if (RegCreateKeyExA(m_hRoot, m_key.c_str(), 0, NULL, 0, KEY_WRITE, NULL, &h, NULL) != ERROR_SUCCESS)
            return;
        for (const SettingValue& v : values)
            RegSetValueExA(h, v.pszName, 0, v.dwType, (const BYTE*)v.data.data(), (DWORD)v.data.size());
        RegCloseKey(h);
    }
    ~SettingsKey() { DeleteTree(m_hRoot, m_key); }
    SettingsKey(const SettingsKey&) = delete;
    SettingsKey& operator=(const SettingsKey&) = delete;

private:
    HKEY m_hRoot;
    std::string m_key;
};

// The binding value, saved at construction and put back at the end.
class BindingGuard
{
public:
    BindingGuard()
    {
        HKEY h;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, BINDING_KEY, 0, KEY_READ, &h) != ERROR_SUCCESS)
            return;
        m_bKey = true;
        char sz[1024];
        DWORD cb = sizeof(sz), type = 0;
        if (RegQueryValueExA(h, NULL, NULL, &type, (BYTE*)sz, &cb) == ERROR_SUCCESS)
        {
            m_bValue = true;
            m_type = type;
            m_data.assign(sz, cb);
        }
        RegCloseKey(h);
    }
    ~BindingGuard()
    {
        if (!m_bKey)
        {
            HKEY h;
            if (RegOpenKeyExA(HKEY_CURRENT_USER, BINDING_KEY, 0, KEY_WRITE, &h) == ERROR_SUCCESS)
            {
                RegDeleteValueA(h, NULL);
                RegCloseKey(h);
            }
            RegDeleteKeyA(HKEY_CURRENT_USER, BINDING_KEY); // only when nothing else is under it
            return;
        }
        HKEY h;
        if (RegCreateKeyExA(HKEY_CURRENT_USER, BINDING_KEY, 0, NULL, 0, KEY_WRITE, NULL, &h, NULL) != ERROR_SUCCESS)
            return;
        if (m_bValue)
            RegSetValueExA(h, NULL, 0, m_type, (const BYTE*)m_data.data(), (DWORD)m_data.size());
        else
            RegDeleteValueA(h, NULL);
        RegCloseKey(h);
    }
    BindingGuard(const BindingGuard&) = delete;
    BindingGuard& operator=(const BindingGuard&) = delete;

private:
    bool m_bKey = false;
    bool m_bValue = false;
    DWORD m_type = 0;
    std::string m_data;
};

inline bool KeyExists(HKEY hRoot, const std::string& key)
{
    HKEY h;
    if (RegOpenKeyExA(hRoot, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS)
        return false;
    RegCloseKey(h);
    return true;
}

// Reads a value; false when it is missing.
inline bool QueryValue(HKEY hRoot, const std::string& key, const char* pszName, DWORD* pType, std::string* pData)
{
    HKEY h;
    if (RegOpenKeyExA(hRoot, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS)
        return false;
    char buf[2048];
    DWORD cb = sizeof(buf), type = 0;
    const LONG r = RegQueryValueExA(h, pszName, NULL, &type, (BYTE*)buf, &cb);
    RegCloseKey(h);
    if (r != ERROR_SUCCESS)
        return false;
    if (pType)
        *pType = type;
    if (pData)
        pData->assign(buf, cb);
    return true;
}

inline std::string QueryText(HKEY hRoot, const std::string& key, const char* pszName)
{
    std::string s;
    DWORD type = 0;
    if (!QueryValue(hRoot, key, pszName, &type, &s) || type != REG_SZ)
        return "<missing>";
    return std::string(s.c_str());
}

inline long long QueryDword(HKEY hRoot, const std::string& key, const char* pszName)
{
    std::string s;
    DWORD type = 0;
    if (!QueryValue(hRoot, key, pszName, &type, &s) || type != REG_DWORD || s.size() != 4)
        return -1;
    return *(const DWORD*)s.data();
}

// Result of a child process.
struct ChildResult
{
    bool bFinished = false;
    DWORD dwExitCode = 0;
    DWORD dwProcessId = 0;
};

// Runs a command line, with extra environment variables ("NAME=value"), and
// waits at most dwTimeout ms; a child still running then is ended.
inline ChildResult RunChild(const std::string& commandLine, const std::vector<std::string>& extraEnv = {},
                            DWORD dwTimeout = 60000, const char* pszFolder = NULL)
{
    // The child's environment: ours, with the extra variables replacing ours.
    std::string env;
    LPCH pEnv = GetEnvironmentStringsA();
    for (const char* p = pEnv; *p; p += lstrlenA(p) + 1)
    {
        std::string var = p;
        bool bReplaced = false;
        for (const std::string& e : extraEnv)
        {
            const size_t eq = e.find('=');
            if (lstrcmpiA(var.substr(0, var.find('=')).c_str(), e.substr(0, eq).c_str()) == 0)
                bReplaced = true;
        }
        if (!bReplaced)
            env += var + '\0';
    }
    FreeEnvironmentStringsA(pEnv);
    for (const std::string& e : extraEnv)
        env += e + '\0';
    env += '\0';

    ChildResult result;
    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    std::vector<char> cmd(commandLine.begin(), commandLine.end());
    cmd.push_back(0);
    if (!CreateProcessA(NULL, cmd.data(), NULL, NULL, FALSE, 0, (void*)env.data(), pszFolder, &si, &pi))
        return result;
    result.dwProcessId = pi.dwProcessId;
    if (WaitForSingleObject(pi.hProcess, dwTimeout) == WAIT_OBJECT_0)
    {
        result.bFinished = true;
        GetExitCodeProcess(pi.hProcess, &result.dwExitCode);
    }
    else
    {
        TerminateProcess(pi.hProcess, 99);
        WaitForSingleObject(pi.hProcess, 5000);
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return result;
}

inline bool FileExists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

inline void WriteWholeFile(const std::string& path, const std::string& text)
{
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    DWORD cb;
    WriteFile(h, text.data(), (DWORD)text.size(), &cb, NULL);
    CloseHandle(h);
}

// Splits a text at CR LF; a final CR LF gives no empty last line.
inline std::vector<std::string> SplitLines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size())
    {
        const size_t end = text.find("\r\n", start);
        if (end == std::string::npos)
        {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

inline std::string Hex(unsigned long v)
{
    char sz[16];
    wsprintfA(sz, "0x%08lX", v);
    return sz;
}

// A line of the ring: its column group, then "level message".
inline const std::regex& FirstOfThread()
{
    static const std::regex re(
        R"(^[0-9A-F]{4,5} \?[- 0-9]{3} (?:\d\d:\d\d:\d\d\.\d{3}|        \.---)\t(\d+ .*)$)");
    return re;
}
inline const std::regex& SameThread()
{
    static const std::regex re(
        R"(^(?:\t\t\t|\t  (?:\d\d:\d\d:\d\d\.\d{3}|        \.\d{3}|        \.---)\t)(\d+ .*)$)");
    return re;
}

// "level message" of a ring line, or "" for any other line.
inline std::string MessageOf(const std::string& line)
{
    std::smatch m;
    if (std::regex_match(line, m, FirstOfThread()) || std::regex_match(line, m, SameThread()))
        return m[1];
    return std::string();
}

inline std::vector<std::string> MessagesOf(const std::string& text)
{
    std::vector<std::string> messages;
    for (const std::string& line : SplitLines(text))
    {
        const std::string m = MessageOf(line);
        if (!m.empty())
            messages.push_back(m);
    }
    return messages;
}

inline size_t Count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// The text that follows the number of a line of the log torture: letters
// and a length that depend on the line, so that a line cut or run into
// another shows.
inline std::string TortureFiller(int nProcess, int nWriter, int i)
{
    const int n = 10 + (i * 13 + nWriter * 7 + nProcess * 3) % 90;
    std::string s(n, 'a');
    for (int k = 0; k < n; ++k)
        s[k] = (char)('a' + (i + k + nWriter) % 26);
    return s;
}

} // namespace logtest
