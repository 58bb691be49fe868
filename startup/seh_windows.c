/* The program's outermost structured-exception handler on Windows (compiled by clang, which
 * alone compiles __try/__except for this target; everything else is g++).
 *
 * g++ code cannot catch a structured exception (an access violation, the floating-point trap,
 * a RaiseException from the runtime library), and an __except that catches one runs no C++
 * destructor of the frames in between. So the filter below does not catch: it turns the fault
 * around. It finds the innermost frame of the program's own code (the faulting frame itself, or
 * the frame whose call into another module led to the fault, found by unwinding the frames of
 * that module with their unwind tables), makes that frame look as if it had called the
 * program's thrower (a g++ function that throws lumen::Fault), and continues there. The C++
 * exception then unwinds from the faulting place through every frame of the program, running
 * each destructor, up to the top-level catch. Frames of other modules that lay below the
 * program's frame are abandoned; their destructors do not run.
 *
 * A stack overflow in another module (Lumen) is turned around in the program's frame that called
 * it, where the stack has room again. One in the program's own code is caught here instead, as
 * the throw would need stack that is not there; the guard page is put back either way.
 *
 * Limits: non-continuable exceptions cannot be continued; they are caught here instead (the
 * body is abandoned and the fault reported to the caller).
 */
#include <windows.h>

#include <malloc.h>

#include "startup/seh_windows.h"

/* libgcc's own exceptions (throw, forced unwind, ...) carry codes 0x2?474343 ("GCC"). */
static int isLibgccException(DWORD code) { return (code & 0xFFFFFFu) == 0x474343u; }

static int inModule(DWORD64 pc, DWORD64 base, DWORD64 end) { return pc >= base && pc < end; }

/* The code of an SSE trap reported as "multiple" (real Windows does this on x64): the first
 * unmasked exception whose flag is set in MXCSR. */
static DWORD floatTrapCode(DWORD code, DWORD mxcsr) {
    static const struct { DWORD flag; DWORD code; } kTraps[] = {
        {0x01, 0xC0000090u}, /* invalid operation */
        {0x04, 0xC000008Eu}, /* division by zero */
        {0x08, 0xC0000091u}, /* overflow */
        {0x10, 0xC0000093u}, /* underflow */
        {0x20, 0xC000008Fu}, /* inexact */
        {0x02, 0xC000008Du}, /* denormal operand */
    };
    unsigned i;
    if (code != 0xC00002B4u && code != 0xC00002B5u) return code;
    for (i = 0; i < sizeof kTraps / sizeof kTraps[0]; ++i) {
        const DWORD unmasked = ~(mxcsr >> 7) & kTraps[i].flag;
        if ((mxcsr & kTraps[i].flag) && unmasked) return kTraps[i].code;
    }
    return 0xC0000090u;
}

/* Unwinds `context` by one frame with the unwind table of the module holding its Rip.
 * Returns 0 if there is no frame to unwind to. */
static int unwindOne(CONTEXT* context) {
    DWORD64 imageBase = 0;
    PRUNTIME_FUNCTION entry = RtlLookupFunctionEntry(context->Rip, &imageBase, NULL);
    if (entry) {
        PVOID handlerData = NULL;
        DWORD64 establisher = 0;
        RtlVirtualUnwind(UNW_FLAG_NHANDLER, imageBase, context->Rip, entry, context, &handlerData,
                         &establisher, NULL);
    } else {
        /* A leaf function: the return address is at the stack pointer. */
        if (context->Rsp == 0) return 0;
        context->Rip = *(DWORD64*)context->Rsp;
        context->Rsp += 8;
    }
    return context->Rip != 0;
}

/* Entered with the turned-around frame's stack pointer minus 8 and the return address in rax:
 * stores the return address where a call would have put it and goes on to the thrower. */
__asm__(".text\n"
        ".globl stackrise_seh_trampoline\n"
        "stackrise_seh_trampoline:\n"
        "    movq %rax, (%rsp)\n"
        "    jmpq *stackrise_seh_thrower(%rip)\n");
void stackrise_seh_trampoline(void);
void (*stackrise_seh_thrower)(void);

static LONG filter(EXCEPTION_POINTERS* pointers, StackriseSehTop* top) {
    EXCEPTION_RECORD* record = pointers->ExceptionRecord;
    CONTEXT* context = pointers->ContextRecord;
    CONTEXT walk;
    DWORD64 place;
    DWORD64 returnAddress;
    int frames;
    DWORD code = record->ExceptionCode;

    if (isLibgccException(code)) return EXCEPTION_CONTINUE_SEARCH;
    code = floatTrapCode(code, context->MxCsr);

    top->code = code;
    top->argument = 0;
    if (code < 0x80000000u && record->NumberParameters >= 1)
        top->argument = (unsigned long long)record->ExceptionInformation[0];

    /* The raising place: the first frame that is not in the system's raise path. */
    walk = *context;
    place = walk.Rip;
    for (frames = 0; frames < 16; ++frames) {
        int system = 0;
        unsigned i;
        for (i = 0; i < STACKRISE_SEH_SYSTEM_MODULES; ++i)
            system |= inModule(walk.Rip, top->systemBase[i], top->systemEnd[i]);
        if (!system) break;
        if (!unwindOne(&walk)) break;
        /* A return address: the raising call lies just before it. */
        place = walk.Rip - 1;
    }
    top->address = place;
    if (code >= 0x80000000u && top->faultCell && *top->faultCell == 0) *top->faultCell = place;

    if (record->ExceptionFlags & EXCEPTION_NONCONTINUABLE) {
        top->lost = 1;
        return EXCEPTION_EXECUTE_HANDLER;
    }
    if (code == STATUS_STACK_OVERFLOW && inModule(context->Rip, top->imageBase, top->imageEnd)) {
        /* The program's own frame is the one without stack: no throw can start there. */
        top->lost = 1;
        return EXCEPTION_EXECUTE_HANDLER;
    }

    /* The innermost frame of the program's own code. */
    walk = *context;
    if (inModule(walk.Rip, top->imageBase, top->imageEnd)) {
        /* The fault is in that frame: unwinding from just past the faulting instruction finds
         * the instruction's own cleanups (the code is built with -fnon-call-exceptions). */
        returnAddress = walk.Rip + 1;
        walk.MxCsr &= ~0x3Fu;
    } else {
        /* A runaway recursion (a stack overflow) may lie below: as many frames as the stack
         * can hold, as long as each unwinds to a higher one. */
        for (frames = 0; frames < (1 << 22); ++frames) {
            const DWORD64 below = walk.Rsp;
            if (!unwindOne(&walk) || walk.Rsp <= below) break;
            if (inModule(walk.Rip, top->imageBase, top->imageEnd)) break;
        }
        if (!inModule(walk.Rip, top->imageBase, top->imageEnd)) {
            top->lost = 1;
            return EXCEPTION_EXECUTE_HANDLER;
        }
        /* The frame called out of the program: its call returns into the thrower. The module
         * that faulted may have left its own floating-point mode: take back the program's. */
        returnAddress = walk.Rip;
        walk.MxCsr = top->mxcsr;
    }
    walk.FltSave.MxCsr = walk.MxCsr;
    walk.Rsp -= 8;
    walk.Rax = returnAddress;
    walk.Rip = (DWORD64)&stackrise_seh_trampoline;
    *context = walk;
    return EXCEPTION_CONTINUE_EXECUTION;
}

int stackrise_seh_run(void (*body)(void), StackriseSehTop* top) {
    int lost = 0;
    stackrise_seh_thrower = top->thrower;
    top->lost = 0;
    __try {
        body();
    } __except (filter(GetExceptionInformation(), top)) {
        lost = 1;
    }
    if (lost && top->code == STATUS_STACK_OVERFLOW) _resetstkoflw();
    return lost;
}
