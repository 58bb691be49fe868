/* The outermost structured-exception handler of the program on Windows (seh_windows.c), as
 * the C++ side (platform_windows.cpp) drives it. */
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

/* Modules of the system's raise path (ntdll, kernelbase, kernel32), skipped when the place of
 * a raised fault is looked for. */
#define STACKRISE_SEH_SYSTEM_MODULES 3

typedef struct StackriseSehTop {
    /* In: set before stackrise_seh_run. */
    unsigned long long imageBase, imageEnd;   /* the program's image [base, end) */
    unsigned long long systemBase[STACKRISE_SEH_SYSTEM_MODULES];
    unsigned long long systemEnd[STACKRISE_SEH_SYSTEM_MODULES];
    unsigned mxcsr;                           /* the program's floating-point mode */
    unsigned long long* faultCell;            /* written (if empty) for processor faults */
    void (*thrower)(void);                    /* throws the fault below; never returns */
    /* Out: the last fault that reached the filter. */
    unsigned code;
    unsigned long long argument;              /* the message for codes below 0x80000000 */
    unsigned long long address;               /* the raising or faulting place */
    int lost;                                 /* it could not be turned around */
} StackriseSehTop;

/* Runs body() under the outermost handler. A structured exception that no inner handler takes
 * is recorded in *top and continued in the program's innermost frame as a call of
 * top->thrower. Returns 0 when body returns, 1 when a fault could not be turned around (body
 * was abandoned; *top holds the fault). */
int stackrise_seh_run(void (*body)(void), StackriseSehTop* top);

#ifdef __cplusplus
}
#endif
