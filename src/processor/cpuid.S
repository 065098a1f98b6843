/* ReadCpuid(leaf, out): CPUID with EAX = leaf and ECX = 0, the four result
   registers stored to out[0..3] as EAX, EBX, ECX, EDX. EBX is callee-saved
   in every ABI (and the PIC register on IA-32), so it is kept here. */

#include "measure/asm.h"

        .intel_syntax noprefix
        .text
        .balign 16
        .globl SYM(ReadCpuid)
        FUNCTION_TYPE(SYM(ReadCpuid))
SYM(ReadCpuid):
        BRANCH_TARGET
#if defined(__x86_64__)
#if defined(_WIN64)
        mov eax, ecx
        mov r8, rdx
#else
        mov eax, edi
        mov r8, rsi
#endif
        push rbx
        xor ecx, ecx
        cpuid
        mov [r8], eax
        mov [r8 + 4], ebx
        mov [r8 + 8], ecx
        mov [r8 + 12], edx
        pop rbx
        ret
#else
        push ebx
        push edi
        mov eax, [esp + 12]
        mov edi, [esp + 16]
        xor ecx, ecx
        cpuid
        mov [edi], eax
        mov [edi + 4], ebx
        mov [edi + 8], ecx
        mov [edi + 12], edx
        pop edi
        pop ebx
        ret
#endif
        FUNCTION_SIZE(SYM(ReadCpuid))

        NO_EXEC_STACK
        CONTROL_FLOW_NOTE
