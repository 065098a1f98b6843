/* DivideRounded(dividend, divisor): the signed 64-bit dividend divided by the
   signed 32-bit divisor on the x87 unit, rounded to the nearest integer with
   ties to even. FINIT sets that rounding (and 64-bit precision); the caller's
   control word is put back before returning. */

#include "measure/asm.h"

        .intel_syntax noprefix
        .text
        .balign 16
        .globl SYM(DivideRounded)
        FUNCTION_TYPE(SYM(DivideRounded))
SYM(DivideRounded):
        BRANCH_TARGET
#if defined(__x86_64__)
#if defined(_WIN64)
#define DIVIDEND rcx
#define DIVISOR edx
#else
#define DIVIDEND rdi
#define DIVISOR esi
#endif
        sub rsp, 24
        fnstcw [rsp + 16]
        mov [rsp], DIVIDEND
        mov [rsp + 8], DIVISOR
        finit
        fild qword ptr [rsp]
        fild dword ptr [rsp + 8]
        fdivp st(1), st
        fistp qword ptr [rsp]
        fldcw [rsp + 16]
        mov rax, [rsp]
        add rsp, 24
        ret
#else
        /* cdecl: the dividend at [esp + 4], the divisor at [esp + 12]. */
        sub esp, 12
        fnstcw [esp + 8]
        finit
        fild qword ptr [esp + 16]
        fild dword ptr [esp + 24]
        fdivp st(1), st
        fistp qword ptr [esp]
        fldcw [esp + 8]
        mov eax, [esp]
        mov edx, [esp + 4]
        add esp, 12
        ret
#endif
        FUNCTION_SIZE(SYM(DivideRounded))

        NO_EXEC_STACK
        CONTROL_FLOW_NOTE
