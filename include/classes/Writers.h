// Output files of the framework: a binary file written at its current
// position or at a given one.
#pragma once

#include "DSParsers.h"

#include <atlbase.h>

#include <utility>

// Creates (or truncates) a file for writing and writes blocks into it, at the
// current position or at a given position (a difference file writes its
// entries behind a count and then the count at position 0). The file is not
// shared while it is open. Every Win32 failure is traced under the writer's
// trace name and returned as an HRESULT; argument faults are asserted.
//
// No lock of its own: the owner serialises the calls.
class CFileWriter
{
public:
    CFileWriter() noexcept : m_hFile(INVALID_HANDLE_VALUE), m_llPosition(0), m_llSize(0) {}
    ~CFileWriter() { Close(); }

    CFileWriter(const CFileWriter&) = delete;
    CFileWriter& operator=(const CFileWriter&) = delete;

    LPCWSTR GetTraceName() const { return L"(FileWriter)"; }

    BOOL IsOpen() const { return INVALID_HANDLE_VALUE != m_hFile; }

    // Creates the file, or truncates an existing one; a file already open is
    // closed first, and stays closed when the new one cannot be created.
    HRESULT Open(const CComBSTR& bstrName)
    {
        if (!ASSERT_TEXT(bstrName.m_str != NULL && *bstrName.m_str != 0,
                         "bstrFileName.m_str != NULL && *bstrFileName.m_str != 0"))
            return E_INVALIDARG;
        // The name may be this writer's own, which Close empties: keep a copy.
        CComBSTR bstrNew(bstrName);
        Close();
        if (!bstrNew)
            return E_OUTOFMEMORY;
        const HANDLE hFile =
            CreateFileW(bstrNew.m_str, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (INVALID_HANDLE_VALUE == hFile)
        {
            const DWORD dwError = GetLastError();
            _LogTrace(atlTraceGeneral, eTL_Error, L"###Err### %s Open(): CreateFile( '%ls' )=%i\n", GetTraceName(),
                      bstrNew.m_str, static_cast<int>(dwError));
            return ErrorResult(dwError);
        }
        m_hFile = hFile;
        bstrFileName = std::move(bstrNew);
        return S_OK;
    }

    // Closes the file; harmless when closed. Position and size return to 0.
    void Close()
    {
        if (IsOpen())
        {
            CloseHandle(m_hFile);
            m_hFile = INVALID_HANDLE_VALUE;
        }
        bstrFileName.Empty();
        m_llPosition = 0;
        m_llSize = 0;
    }

    // Moves to llPosition bytes from the file's start. The whole 64-bit
    // position is set in one call, so that no position is taken for an error.
    HRESULT SetPosition(LONGLONG llPosition)
    {
        if (!ASSERT(IsOpen()))
            return E_FAIL;
        LARGE_INTEGER liPosition;
        liPosition.QuadPart = llPosition;
        if (!SetFilePointerEx(m_hFile, liPosition, NULL, FILE_BEGIN))
        {
            const DWORD dwError = GetLastError();
            WCHAR szPosition[50];
            _LogTrace(atlTraceGeneral, eTL_Error, L"###Err### %s SetPosition( %s ): SetFilePointer()=%i\n", GetTraceName(),
                      LongLongToText(llPosition, szPosition), static_cast<int>(dwError));
            return ErrorResult(dwError);
        }
        m_llPosition = llPosition;
        return S_OK;
    }

    // Writes cBuffer bytes at the current position. A write that stops short
    // still moves the position by what reached the file, so that the next
    // write lands where the file's own pointer is.
    HRESULT Write(const void* pBuffer, DWORD cBuffer)
    {
        if (!ASSERT(pBuffer != NULL))
            return E_INVALIDARG;
        if (!ASSERT(cBuffer > 0))
            return E_INVALIDARG;
        if (!ASSERT(IsOpen()))
            return E_UNEXPECTED;
        DWORD cbWritten = 0;
        const BOOL bWritten = WriteFile(m_hFile, pBuffer, cBuffer, &cbWritten, NULL);
        const DWORD dwError = bWritten ? 0 : GetLastError();
        if (cbWritten > cBuffer)
            cbWritten = cBuffer;
        m_llPosition += cbWritten;
        if (m_llSize < m_llPosition)
            m_llSize = m_llPosition;
        if (bWritten && cbWritten == cBuffer)
            return S_OK;
        _LogTrace(atlTraceGeneral, eTL_Error, L"###Err### %s Write(): WriteFile( 0x%p, %u )=%i\n", GetTraceName(), pBuffer,
                  static_cast<unsigned>(cBuffer), static_cast<int>(dwError));
        return ErrorResult(dwError);
    }

    // SetPosition, then Write; the first failure is returned.
    HRESULT WriteAt(LONGLONG llPosition, const void* pBuffer, DWORD cBuffer)
    {
        const HRESULT hr = SetPosition(llPosition);
        if (FAILED(hr))
            return hr;
        return Write(pBuffer, cBuffer);
    }

    CComBSTR bstrFileName; // the open file's name; empty while closed
    HANDLE m_hFile;
    LONGLONG m_llPosition; // where the next Write goes
    LONGLONG m_llSize;     // the end of the written data

private:
    static HRESULT ErrorResult(DWORD dwError) { return 0 == dwError ? E_FAIL : HRESULT_FROM_WIN32(dwError); }
};
