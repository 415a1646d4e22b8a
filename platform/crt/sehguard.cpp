// The guarded call's frame and its exception handler.
//
// SEH_GuardedCall is written in assembly so that its unwind information can
// name a language handler (".seh_handler"), as the frame of a __try block
// does. The frame keeps rbp as its frame register, so the establisher frame
// the system hands to the handler is that rbp; the guard's address is kept in
// the frame's home area at establisher + 16.
#include "sehguard.h"

extern "C" char SEH_GuardResume[];
extern "C" EXCEPTION_DISPOSITION SEH_GuardHandler(EXCEPTION_RECORD* pRecord, void* pEstablisherFrame,
                                                   CONTEXT* pContext, DISPATCHER_CONTEXT* pDispatch);

asm(R"(
    .text
    .p2align 4
    .globl  SEH_GuardedCall
    .def    SEH_GuardedCall; .scl 2; .type 32; .endef
    .seh_proc SEH_GuardedCall
SEH_GuardedCall:
    pushq   %rbp
    .seh_pushreg %rbp
    movq    %rsp, %rbp
    .seh_setframe %rbp, 0
    subq    $32, %rsp
    .seh_stackalloc 32
    .seh_endprologue
    .seh_handler SEH_GuardHandler, @except
    movq    %r8, 16(%rbp)
    movq    %rcx, %rax
    movq    %rdx, %rcx
    callq   *%rax
    movl    $1, %eax
.Lseh_guard_leave:
    leaq    0(%rbp), %rsp
    popq    %rbp
    retq
    .globl  SEH_GuardResume
SEH_GuardResume:
    xorl    %eax, %eax
    jmp     .Lseh_guard_leave
    .seh_endproc
)");

extern "C" EXCEPTION_DISPOSITION SEH_GuardHandler(EXCEPTION_RECORD* pRecord, void* pEstablisherFrame,
                                                   CONTEXT* pContext, DISPATCHER_CONTEXT* pDispatch)
{
    // Unwinding passes through this frame on its way out: nothing to do.
    if (pRecord->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND))
        return ExceptionContinueSearch;

    SEH_GUARD* pGuard = *reinterpret_cast<SEH_GUARD**>(static_cast<char*>(pEstablisherFrame) + 16);
    EXCEPTION_POINTERS ep = { pRecord, pContext };
    const LONG lDecision =
        (NULL == pGuard->pfnFilter) ? EXCEPTION_EXECUTE_HANDLER : pGuard->pfnFilter(&ep, pGuard->pFilterContext);
    if (EXCEPTION_CONTINUE_EXECUTION == lDecision)
        return ExceptionContinueExecution;
    if (EXCEPTION_EXECUTE_HANDLER != lDecision)
        return ExceptionContinueSearch;

    pGuard->dwExceptionCode = pRecord->ExceptionCode;
    RtlUnwindEx(pEstablisherFrame, SEH_GuardResume, pRecord, NULL, pContext, pDispatch->HistoryTable);
    return ExceptionContinueSearch; // not reached: the unwind resumes in SEH_GuardedCall
}
