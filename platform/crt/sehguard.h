// A guarded call: the structured-exception block that g++ cannot write.
//
// SEH_GuardedCall runs pfnBody(pArg) inside a frame that carries its own
// exception handler in the image's unwind tables, exactly where a compiler
// with __try/__except would put one. Windows (and Wine) dispatch any
// exception raised below that frame to the handler, on the faulting thread
// and with the faulting stack still in place; the handler asks the guard's
// filter what to do:
// - EXCEPTION_EXECUTE_HANDLER: the stack is unwound to the guarded call,
//   which returns FALSE with the exception code in the guard;
// - EXCEPTION_CONTINUE_SEARCH: the exception goes on to the outer handlers;
// - EXCEPTION_CONTINUE_EXECUTION: execution resumes at the faulting point.
// A guard without a filter accepts every exception. Because the handler is
// found through the frame, guards nest (the innermost one is asked first),
// work on any thread, and need no registration or per-thread state.
//
// Like a __except block, unwinding out of a hardware fault runs no C++
// destructors of the frames it leaves: keep guarded bodies small.
#pragma once

#include <windows.h>
#include <type_traits>

typedef LONG (*PFN_SEH_FILTER)(EXCEPTION_POINTERS* pep, void* pContext);

struct SEH_GUARD
{
    PFN_SEH_FILTER pfnFilter; // NULL: accept every exception
    void* pFilterContext;     // handed to pfnFilter
    DWORD dwExceptionCode;    // set when the guarded call returns FALSE
};

// TRUE when pfnBody returned; FALSE when the filter accepted an exception.
// pGuard must not be NULL.
extern "C" BOOL SEH_GuardedCall(void (*pfnBody)(void*), void* pArg, SEH_GUARD* pGuard);

// Runs body() guarded; filter(EXCEPTION_POINTERS*) decides as above. The
// exception code is stored in *pdwCode (0 when body() returned).
template <class TBody, class TFilter>
inline BOOL SEH_Guard(TBody&& body, TFilter&& filter, DWORD* pdwCode = NULL)
{
    typedef typename std::remove_reference<TBody>::type Body;
    typedef typename std::remove_reference<TFilter>::type Filter;
    struct Thunk
    {
        static void Call(void* p) { (*static_cast<Body*>(p))(); }
        static LONG Decide(EXCEPTION_POINTERS* pep, void* p) { return (*static_cast<Filter*>(p))(pep); }
    };
    SEH_GUARD guard = { &Thunk::Decide, &filter, 0 };
    const BOOL bDone = SEH_GuardedCall(&Thunk::Call, &body, &guard);
    if (NULL != pdwCode)
        *pdwCode = bDone ? 0 : guard.dwExceptionCode;
    return bDone;
}

// Runs body() guarded, accepting every exception.
template <class TBody>
inline BOOL SEH_Guard(TBody&& body, DWORD* pdwCode = NULL)
{
    return SEH_Guard(body, [](EXCEPTION_POINTERS*) -> LONG { return EXCEPTION_EXECUTE_HANDLER; }, pdwCode);
}
