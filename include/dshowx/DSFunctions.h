// Small functions of the framework that stand on the trace header.
#pragma once

#include "DSTrace.h"

#include <string.h>

// Copies cb bytes and survives a fault while doing so: the exception's call
// stack goes to the log, one error line is traced, and the result is FALSE.
// TRUE when every byte was copied.
inline BOOL SEH_CopyMemory(void* pDst, const void* pSrc, size_t cb)
{
    DWORD dwCode = 0;
    if (SEH_Guard([pDst, pSrc, cb] { memcpy(pDst, pSrc, cb); },
                  [](EXCEPTION_POINTERS* pep) -> LONG {
                      return static_cast<LONG>(_LogDumpCallStack(pep, NULL, FALSE, EXCEPTION_EXECUTE_HANDLER));
                  },
                  &dwCode))
        return TRUE;
    _LogTrace(atlTraceGeneral, eTL_Exception,
              L"###Err### SEH_CopyMemory( pDst=0x%X, pSrc=0x%X, cb=0x%X ): Exception 0x%X\n",
              static_cast<unsigned>(reinterpret_cast<UINT_PTR>(pDst)),
              static_cast<unsigned>(reinterpret_cast<UINT_PTR>(pSrc)), static_cast<unsigned>(cb), dwCode);
    return FALSE;
}
