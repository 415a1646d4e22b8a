// A module built on the framework bound to the real log library, set up the
// way a user sets it up: the library's "default" entry point writes the
// binding and the settings, the module binds at load, traces through its
// first client, and the log file closes when the module unloads.
#include "LogClientTest.h"
#include "LogDefault.h"

namespace {

size_t Count(const std::string& sText, const std::string& sWhat)
{
    size_t n = 0;
    for (size_t i = sText.find(sWhat); i != std::string::npos; i = sText.find(sWhat, i + 1))
        ++n;
    return n;
}

TEST(RealLog, AModuleTracesIntoTheFileThatDefaultSetUp)
{
    CLogBinding binding;
    CTempDir dir;
    const std::wstring sLibrary = dir.CopyIn(L"real", L"Dez64.dll");
    const std::wstring sLogFile = dir.Path() + L"real\\log.log";
    ASSERT_NO_FATAL_FAILURE(RunDefault(sLibrary));

    for (int nLoad = 1; nLoad <= 2; ++nLoad)
    {
        CTraceModule module;
        ASSERT_TRUE(module.IsLoaded());
        IDSLog* pLog = NULL;
        ASSERT_EQ(S_OK, module.TM_GetObject(&pLog)) << "the module is bound to the real library";
        ASSERT_NE(nullptr, pLog);
        const std::wstring sLine = L"line of load " + std::to_wstring(nLoad);
        module.TM_Trace(1, 8, sLine.c_str());
        module.TM_Trace(1, 10, L"a verbose line is never written");
        module.TM_Assert(FALSE, "unit.cpp", 42, "x == y", ERROR_FILE_NOT_FOUND);
    }

    const std::string text = ReadWholeFile(sLogFile);
    DeleteFileW(sLogFile.c_str());
    // Each load opened and closed the log once: "default" appends.
    EXPECT_EQ(2u, Count(text, "Log is open, cut here")) << text;
    EXPECT_EQ(2u, Count(text, "Log is close, cut here")) << text;
    EXPECT_EQ(0u, Count(text, "live references")) << text;
    // Lines at level 8 carry the calling module's prefix.
    EXPECT_EQ(1u, Count(text, "\t8 TRACEMODULE: line of load 1\r\n")) << text;
    EXPECT_EQ(1u, Count(text, "\t8 TRACEMODULE: line of load 2\r\n")) << text;
    EXPECT_EQ(0u, Count(text, "verbose")) << text;
    // The assertion record has no level character: it is filed at level 4;
    // its closing record is level 9 and dropped at the default level 8.
    EXPECT_EQ(2u, Count(text, "4 TRACEMODULE: ###Err###\r\n")) << text;
    EXPECT_EQ(2u, Count(text, "unit.cpp(42): ASSERT( \"x == y\" )")) << text;
    EXPECT_EQ(0u, Count(text, "exit ASSERT")) << text;
}

} // namespace
