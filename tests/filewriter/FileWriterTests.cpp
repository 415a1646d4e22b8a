// The file writer: writing at the current and at a given position, the file
// held exclusively, and every failure as an HRESULT and a trace line.
#include <Writers.h>

#include "FileBytes.h"
#include "TestLog.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class FileWriterTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        wchar_t szTemp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, szTemp);
        m_dir = std::wstring(szTemp) + L"filewriter_" + std::to_wstring(GetCurrentProcessId());
        CreateDirectoryW(m_dir.c_str(), NULL);
    }
    void TearDown() override
    {
        for (const std::wstring& f : m_files)
            DeleteFileW(f.c_str());
        RemoveDirectoryW(m_dir.c_str());
    }

    std::wstring File(const wchar_t* pszName)
    {
        m_files.push_back(m_dir + L"\\" + pszName);
        return m_files.back();
    }

    // The trace lines without their level character, each checked for level 2.
    static std::vector<std::wstring> Lines(const CRecordingLog& log)
    {
        std::vector<std::wstring> v;
        for (const std::wstring& s : log.m_lines)
        {
            if (s.find(L"ASSERT(") != std::wstring::npos || s == L"\nexit ASSERT")
                continue;
            EXPECT_EQ(static_cast<wchar_t>(3), s[0]);
            v.push_back(s.substr(1));
        }
        return v;
    }

    std::wstring m_dir;
    std::vector<std::wstring> m_files;
};

// The difference-file pattern: entries behind a count, then the count at 0.
TEST_F(FileWriterTest, WritesAtTheCurrentAndAtAGivenPosition)
{
    const std::wstring path = File(L"diff.bin");
    CFileWriter w;
    EXPECT_FALSE(w.IsOpen());
    ASSERT_EQ(S_OK, w.Open(CComBSTR(path.c_str())));
    EXPECT_TRUE(w.IsOpen());
    EXPECT_STREQ(path.c_str(), w.bstrFileName.m_str);

    const DWORD dwZero = 0, dwA = 0x11111111, dwB = 0x22222222, dwCount = 2;
    ASSERT_EQ(S_OK, w.Write(&dwZero, 4));
    ASSERT_EQ(S_OK, w.Write(&dwA, 4));
    ASSERT_EQ(S_OK, w.Write(&dwB, 4));
    EXPECT_EQ(12, w.m_llPosition);
    EXPECT_EQ(12, w.m_llSize);
    ASSERT_EQ(S_OK, w.WriteAt(0, &dwCount, 4));
    EXPECT_EQ(4, w.m_llPosition);
    EXPECT_EQ(12, w.m_llSize);
    w.Close();
    EXPECT_FALSE(w.IsOpen());
    EXPECT_EQ(0, w.m_llPosition);
    EXPECT_EQ(0, w.m_llSize);
    EXPECT_EQ(nullptr, w.bstrFileName.m_str);

    const std::vector<BYTE> expected = {2, 0, 0, 0, 0x11, 0x11, 0x11, 0x11, 0x22, 0x22, 0x22, 0x22};
    EXPECT_EQ(expected, ReadFileBytes(path));
    w.Close(); // twice is harmless
}

TEST_F(FileWriterTest, OpenTruncatesAndHoldsTheFileExclusively)
{
    const std::wstring path = File(L"old.bin");
    {
        CFileWriter w;
        ASSERT_EQ(S_OK, w.Open(CComBSTR(path.c_str())));
        const char text[] = "older and longer contents";
        ASSERT_EQ(S_OK, w.Write(text, sizeof(text)));
    }
    ASSERT_EQ(26u, ReadFileBytes(path).size());

    CFileWriter w;
    ASSERT_EQ(S_OK, w.Open(CComBSTR(path.c_str())));
    EXPECT_TRUE(ReadFileBytes(path).empty()) << "the file is not readable while the writer holds it";
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    EXPECT_EQ(INVALID_HANDLE_VALUE, h);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
    w.Close();
    EXPECT_TRUE(ReadFileBytes(path).empty()) << "truncated to length 0";
}

TEST_F(FileWriterTest, ArgumentFaultsAreAssertedAndWriteNothing)
{
    const std::wstring path = File(L"args.bin");
    CRecordingLogScope log;
    CFileWriter w;
    const BYTE b[4] = {1, 2, 3, 4};
    EXPECT_EQ(E_UNEXPECTED, w.Write(b, 4));
    EXPECT_EQ(E_FAIL, w.SetPosition(0));
    EXPECT_EQ(E_FAIL, w.WriteAt(0, b, 4));
    EXPECT_EQ(E_INVALIDARG, w.Open(CComBSTR()));
    EXPECT_EQ(E_INVALIDARG, w.Open(CComBSTR(L"")));
    EXPECT_TRUE(log.m_log.HasAssert("bstrFileName.m_str != NULL && *bstrFileName.m_str != 0"));
    EXPECT_TRUE(log.m_log.HasAssert("IsOpen()"));

    ASSERT_EQ(S_OK, w.Open(CComBSTR(path.c_str())));
    EXPECT_EQ(E_INVALIDARG, w.Write(NULL, 4));
    EXPECT_TRUE(log.m_log.HasAssert("pBuffer != NULL"));
    EXPECT_EQ(E_INVALIDARG, w.Write(b, 0));
    EXPECT_TRUE(log.m_log.HasAssert("cBuffer > 0"));
    EXPECT_EQ(0, w.m_llPosition);
    w.Close();
    EXPECT_TRUE(ReadFileBytes(path).empty());
    EXPECT_TRUE(Lines(log.m_log).empty()) << "argument faults are asserted, not traced";
}

TEST_F(FileWriterTest, OpenInAMissingFolderIsTracedAndLeavesTheWriterClosed)
{
    const std::wstring first = File(L"first.bin");
    const std::wstring missing = m_dir + L"\\no such folder\\x.bin";
    CRecordingLogScope log;
    CFileWriter w;
    ASSERT_EQ(S_OK, w.Open(CComBSTR(first.c_str())));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND), w.Open(CComBSTR(missing.c_str())));
    EXPECT_EQ(static_cast<HRESULT>(0x80070003), w.Open(CComBSTR(missing.c_str())));
    EXPECT_FALSE(w.IsOpen());
    EXPECT_EQ(nullptr, w.bstrFileName.m_str);
    const std::wstring line = L"###Err### (FileWriter) Open(): CreateFile( '" + missing + L"' )=3\n";
    EXPECT_EQ(std::vector<std::wstring>({line, line}), Lines(log.m_log));

    // The earlier file was closed: it can be opened exclusively again.
    HANDLE h = CreateFileW(first.c_str(), GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    EXPECT_NE(INVALID_HANDLE_VALUE, h);
    CloseHandle(h);
}

// Opening the file the writer already holds, by its own name, starts it
// afresh: closing the old file must not take the name away first.
TEST_F(FileWriterTest, OpenAgainUnderItsOwnNameStartsTheFileAfresh)
{
    const std::wstring path = File(L"again.bin");
    CRecordingLogScope log;
    CFileWriter w;
    ASSERT_EQ(S_OK, w.Open(CComBSTR(path.c_str())));
    const DWORD dwOld = 0x11111111;
    ASSERT_EQ(S_OK, w.Write(&dwOld, 4));

    EXPECT_EQ(S_OK, w.Open(w.bstrFileName));
    EXPECT_TRUE(w.IsOpen());
    EXPECT_STREQ(path.c_str(), w.bstrFileName.m_str);
    EXPECT_EQ(0, w.m_llPosition);
    const WORD wNew = 0x2222;
    ASSERT_EQ(S_OK, w.Write(&wNew, 2));
    w.Close();
    EXPECT_EQ(std::vector<BYTE>({0x22, 0x22}), ReadFileBytes(path)) << "truncated, then written";
    EXPECT_TRUE(Lines(log.m_log).empty());
}

// A position whose low 32 bits are all ones is a position like any other,
// whatever error an earlier call left behind.
TEST_F(FileWriterTest, PositionsBeyondFourGigabytesAndNegativeOnes)
{
    const std::wstring path = File(L"far.bin");
    CRecordingLogScope log;
    CFileWriter w;
    ASSERT_EQ(S_OK, w.Open(CComBSTR(path.c_str())));
    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_EQ(S_OK, w.SetPosition(0xFFFFFFFFLL));
    EXPECT_EQ(0xFFFFFFFFLL, w.m_llPosition);
    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_EQ(S_OK, w.SetPosition(0x1FFFFFFFFLL));
    EXPECT_EQ(0x1FFFFFFFFLL, w.m_llPosition);

    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_NEGATIVE_SEEK), w.SetPosition(-1000));
    EXPECT_EQ(0x1FFFFFFFFLL, w.m_llPosition) << "unchanged by a failure";
    const BYTE b = 7;
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_NEGATIVE_SEEK), w.WriteAt(-1, &b, 1));
    EXPECT_EQ(std::vector<std::wstring>({L"###Err### (FileWriter) SetPosition( -1 000 ): SetFilePointer()=131\n",
                                         L"###Err### (FileWriter) SetPosition( -1 ): SetFilePointer()=131\n"}),
              Lines(log.m_log));
    EXPECT_EQ(0, w.m_llSize) << "nothing was written";
}

// A device that refuses every write (Wine maps Z: to the Unix root, where
// /dev/full answers "no space left").
TEST_F(FileWriterTest, AFailedWriteIsTracedAndReturned)
{
    CFileWriter w;
    const HRESULT hrOpen = w.Open(CComBSTR(L"Z:\\dev\\full"));
    if (FAILED(hrOpen))
        GTEST_SKIP() << "no full device: " << std::hex << hrOpen;
    CRecordingLogScope log;
    BYTE b[64] = {};
    const HRESULT hr = w.Write(b, 64);
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_DISK_FULL), hr);
    EXPECT_EQ(0, w.m_llPosition);
    wchar_t sz[100];
    swprintf(sz, 100, L"###Err### (FileWriter) Write(): WriteFile( 0x%016llX, 64 )=112\n",
             static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(b)));
    EXPECT_EQ(std::vector<std::wstring>({sz}), Lines(log.m_log));
}

} // namespace
