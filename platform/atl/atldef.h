// Basic definitions of our ATL stand-in: the assertion and trace hooks.
//
// ATL's checks (ATLASSERT) and category traces (ATLTRACE2) go to the
// framework's assertion and trace calls, which the trace header defines; as
// in ATL, a source unit may route them elsewhere by defining both macros
// before it includes any ATL or framework header.
#pragma once

#ifndef STRSAFE_NO_DEPRECATE
#define STRSAFE_NO_DEPRECATE
#endif
#include <windows.h>

#include <DSTrace.h>

#define ATLTRACENOTIMPL(funcname)                                                  \
    do {                                                                           \
        ATLTRACE2(ATL::atlTraceNotImpl, 0, L"ATL: %s not implemented.\n", funcname); \
        return E_NOTIMPL;                                                          \
    } while (0)

#ifndef ATL_NO_VTABLE
#define ATL_NO_VTABLE
#endif

#include "atltrace.h"
