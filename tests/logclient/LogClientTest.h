// Common set-up of the tests that bind the test module to the fake log.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FakeLog.h"
#include "FileBytes.h"
#include "LogBinding.h"
#include "ProgramFolder.h"
#include "TraceModule.h"

// A fresh folder under the temporary folder, removed with what it holds.
class CTempDir
{
public:
    CTempDir()
    {
        WCHAR szTemp[MAX_PATH];
        GetTempPathW(MAX_PATH, szTemp);
        m_sPath = std::wstring(szTemp) + L"dezlc_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                  std::to_wstring(s_nNext++) + L"\\";
        CreateDirectoryW(m_sPath.c_str(), NULL);
    }
    ~CTempDir()
    {
        for (auto it = m_files.rbegin(); it != m_files.rend(); ++it)
            DeleteFileW(it->c_str());
        for (auto it = m_dirs.rbegin(); it != m_dirs.rend(); ++it)
            RemoveDirectoryW(it->c_str());
        RemoveDirectoryW(m_sPath.c_str());
    }
    const std::wstring& Path() const { return m_sPath; }
    // Copies a file of the program folder into sub-folder sSub; returns its path.
    std::wstring CopyIn(const std::wstring& sSub, const std::wstring& sFile)
    {
        const std::wstring sDir = m_sPath + sSub + L"\\";
        CreateDirectoryW(sDir.c_str(), NULL);
        m_dirs.push_back(sDir);
        const std::wstring sTo = sDir + sFile;
        CopyFileW((ProgramFolder() + sFile).c_str(), sTo.c_str(), FALSE);
        m_files.push_back(sTo);
        return sTo;
    }

private:
    static inline int s_nNext = 0;
    std::wstring m_sPath;
    std::vector<std::wstring> m_files, m_dirs;
};

// The binding saved and restored around each test, and the fake log of the
// program folder loaded, reset and bound.
class BoundToFakeLog : public ::testing::Test
{
protected:
    BoundToFakeLog() : m_fake(FakePath().c_str())
    {
        m_fake.SetMode(FLM_Normal);
        m_fake.Reset();
        m_binding.Set(CLogBinding::ToBars(FakePath()));
    }
    void SetUp() override { ASSERT_TRUE(m_fake.IsLoaded()); }

    static std::wstring FakePath() { return ProgramFolder() + L"fakelog.dll"; }

    CLogBinding m_binding;
    CFakeLog m_fake;
};

// Every log-client cookie of a loaded test module, in the module's unit order.
inline std::vector<void*> Cookies(CTraceModule& module)
{
    void* ap[16] = {};
    const int c = module.TM_Cookies(ap, 16);
    return std::vector<void*>(ap, ap + c);
}
