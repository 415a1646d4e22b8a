// An access violation writing to address 0x10, made up by hand from the
// calling thread's context (nothing is raised): the program counter lies in
// the test program's code.
#pragma once

#include <windows.h>

struct MadeUpAccessViolation
{
    MadeUpAccessViolation()
    {
        RtlCaptureContext(&ctx);
        rec.ExceptionCode = 0xC0000005;
        rec.ExceptionAddress = (void*)(ULONG_PTR)ctx.Rip;
        rec.NumberParameters = 2;
        rec.ExceptionInformation[0] = 1;
        rec.ExceptionInformation[1] = 0x10;
        ep.ExceptionRecord = &rec;
        ep.ContextRecord = &ctx;
    }
    MadeUpAccessViolation(const MadeUpAccessViolation&) = delete;
    MadeUpAccessViolation& operator=(const MadeUpAccessViolation&) = delete;

    CONTEXT ctx = {};
    EXCEPTION_RECORD rec = {};
    EXCEPTION_POINTERS ep = {};
};
