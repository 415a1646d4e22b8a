// Basic definitions of our ATL stand-in: the assertion and trace hooks.
//
// As in ATL, a module routes ATLASSERT and ATLTRACE2 to its own trace
// functions by defining them before including any ATL header; otherwise they
// do nothing.
#pragma once

#ifndef STRSAFE_NO_DEPRECATE
#define STRSAFE_NO_DEPRECATE
#endif
#include <windows.h>

#ifndef ATLASSERT
#define ATLASSERT(expr) ((void)0)
#endif

#ifndef ATLTRACE2
#define ATLTRACE2(...) ((void)0)
#endif

#define ATLTRACENOTIMPL(funcname)                                                  \
    do {                                                                           \
        ATLTRACE2(ATL::atlTraceNotImpl, 0, L"ATL: %s not implemented.\n", funcname); \
        return E_NOTIMPL;                                                          \
    } while (0)

#ifndef ATL_NO_VTABLE
#define ATL_NO_VTABLE
#endif

#include "atltrace.h"
