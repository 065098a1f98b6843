/* zerobench-idioms' timed routines: every way of clearing the buffer, each
   in every body shape, at COPIES_SINGLE and at COPIES_DOUBLE copies per
   pass, and the calibration chains; two tables reach them (timed.h).

   A routine, called as uint64_t (void* buffer, uint32_t count, uint32_t
   passes), keeps the buffer, the count and the pass counter in registers
   that the C library's memset preserves, reads the counter (LFENCE; RDTSC;
   LFENCE), jumps to the loop top on a 64-byte boundary, runs the passes,
   reads the counter again the same way and returns the ticks between. No
   CPUID: on a guest it traps to the hypervisor for thousands of ticks.

   Each copy of a body clears the whole buffer, as code that knows the size
   would: straight-line stores up to 64 bytes; above, a loop of 64-byte
   blocks (pointer and block count set up in the body) and a straight-line
   tail. The vector idioms clear a tail narrower than their width with their
   family's narrower stores. tests/idioms/machine_code_test.cpp checks every
   byte of this file's output. */

#include "measure/asm.h"
#include "timed.h"

        .intel_syntax noprefix
/* The assembler's alignment padding made of long NOPs (0F 1F) in IA-32 code
   as well, where it would otherwise jump over LEAs. */
        .arch .nop

#if defined(__x86_64__)

#define BASE rbx
#define COUNT r12d
#define PASSES ebp
#define PTR rdi
#define CLZERO_PTR rax
#define CHAIN rcx
#define WORD_REGISTER rax
#define WORD_BYTES 8
#define POINTER .quad

/* The three arguments in RBX, R12D and EBP; R13 keeps the opening stamp.
   RSP ends 16-byte aligned, as a call to memset needs. */
.macro PROLOGUE
        push rbx
        push rbp
        push r12
        push r13
        sub rsp, 8
        mov rbx, rdi
        mov r12d, esi
        mov ebp, edx
.endm
.macro EPILOGUE
        add rsp, 8
        pop r13
        pop r12
        pop rbp
        pop rbx
        ret
.endm
.macro SAVE_STAMP
        shl rdx, 32
        or rax, rdx
        mov r13, rax
.endm
/* The ticks since the saved stamp, in RAX. */
.macro TICKS_SINCE_STAMP
        shl rdx, 32
        or rax, rdx
        sub rax, r13
.endm
.macro CALL_MEMSET
        mov rdi, rbx
        xor esi, esi
        mov edx, r12d
        call memset@PLT
.endm

#else /* IA-32 */

#define BASE ebx
#define COUNT esi
#define PASSES ebp
#define PTR edi
#define CLZERO_PTR eax
#define CHAIN ecx
#define WORD_REGISTER eax
#define WORD_BYTES 4
#define POINTER .long

/* Four registers pushed and 28 bytes reserved leave ESP 16-byte aligned for
   memset's call: its three arguments at [esp], the stamp at [esp + 16]. */
.macro PROLOGUE
        push ebx
        push esi
        push edi
        push ebp
        sub esp, 28
        mov ebx, [esp + 48]
        mov esi, [esp + 52]
        mov ebp, [esp + 56]
.endm
.macro EPILOGUE
        add esp, 28
        pop ebp
        pop edi
        pop esi
        pop ebx
        ret
.endm
.macro SAVE_STAMP
        mov [esp + 16], eax
        mov [esp + 20], edx
.endm
/* The ticks since the saved stamp, in EDX:EAX. */
.macro TICKS_SINCE_STAMP
        sub eax, [esp + 16]
        sbb edx, [esp + 20]
.endm
.macro CALL_MEMSET
        mov [esp], ebx
        mov dword ptr [esp + 4], 0
        mov [esp + 8], esi
        call memset
.endm

#endif

.macro READ_COUNTER
        lfence
        rdtsc
        lfence
.endm

/* One timed routine: `copies` copies of `body` per pass. `vector` asks for
   a VZEROUPPER after the closing read, for bodies that leave the upper
   halves of the vector registers dirty. */
.macro ROUTINE name, copies, vector, body:vararg
        .text
        .balign 16, 0xcc
        FUNCTION_TYPE(\name)
\name:
        BRANCH_TARGET
        PROLOGUE
        READ_COUNTER
        SAVE_STAMP
        jmp .Ltop\@
        .balign 64, 0xcc
.Ltop\@:
        .rept \copies
        \body
        .endr
        sub PASSES, 1
        jnz .Ltop\@
        READ_COUNTER
        TICKS_SINCE_STAMP
  .if \vector
        vzeroupper
  .endif
        EPILOGUE
        FUNCTION_SIZE(\name)
\name\()_end:
.endm

/* The idioms. Each has a width (its widest store), a setup run once per
   clear (the zeroed register its stores take), a store of `bytes` bytes at
   [base + at], and an ending (the non-temporal ones' SFENCE). */
        .set mov_imm_width, 4
.macro mov_imm_setup
.endm
.macro mov_imm_store base, at, bytes
        mov dword ptr [\base + \at], 0
.endm
.macro mov_imm_end
.endm

        .set and_imm_width, 4
.macro and_imm_setup
.endm
.macro and_imm_store base, at, bytes
        and dword ptr [\base + \at], 0
.endm
.macro and_imm_end
.endm

        .set mov_r32_width, 4
.macro mov_r32_setup
        xor eax, eax
.endm
.macro mov_r32_store base, at, bytes
        mov dword ptr [\base + \at], eax
.endm
.macro mov_r32_end
.endm

        .set mov_r64_width, 8
.macro mov_r64_setup
        xor eax, eax
.endm
.macro mov_r64_store base, at, bytes
        mov qword ptr [\base + \at], rax
.endm
.macro mov_r64_end
.endm

        .set movdqa_width, 16
.macro movdqa_setup
        pxor xmm0, xmm0
.endm
.macro movdqa_store base, at, bytes
        movdqa xmmword ptr [\base + \at], xmm0
.endm
.macro movdqa_end
.endm

/* VEX-encoded zeroing clears the whole register, up to ZMM0. */
        .set vmovdqa_width, 32
.macro vmovdqa_setup
        vpxor xmm0, xmm0, xmm0
.endm
.macro vmovdqa_store base, at, bytes
  .if \bytes == 32
        vmovdqa ymmword ptr [\base + \at], ymm0
  .else
        vmovdqa xmmword ptr [\base + \at], xmm0
  .endif
.endm
.macro vmovdqa_end
.endm

        .set vmovdqa64_width, 64
.macro vmovdqa64_setup
        vpxor xmm0, xmm0, xmm0
.endm
.macro vmovdqa64_store base, at, bytes
  .if \bytes == 64
        vmovdqa64 zmmword ptr [\base + \at], zmm0
  .elseif \bytes == 32
        vmovdqa ymmword ptr [\base + \at], ymm0
  .else
        vmovdqa xmmword ptr [\base + \at], xmm0
  .endif
.endm
.macro vmovdqa64_end
.endm

/* The general register's width: 8 bytes on x86-64, 4 on IA-32. */
        .set movnti_width, WORD_BYTES
.macro movnti_setup
        xor eax, eax
.endm
.macro movnti_store base, at, bytes
        movnti [\base + \at], WORD_REGISTER
.endm
.macro movnti_end
        sfence
.endm

        .set movntdq_width, 16
.macro movntdq_setup
        pxor xmm0, xmm0
.endm
.macro movntdq_store base, at, bytes
        movntdq xmmword ptr [\base + \at], xmm0
.endm
.macro movntdq_end
        sfence
.endm

/* `bytes` bytes from [base]: stores of the idiom's width, then a 32- and a
   16-byte store for what is left. */
.macro CLEAR idiom, base, bytes
        .set clear_at, 0
  .rept (\bytes) / \idiom\()_width
        \idiom\()_store \base, clear_at, \idiom\()_width
        .set clear_at, clear_at + \idiom\()_width
  .endr
  .if (\bytes) - clear_at >= 32
        \idiom\()_store \base, clear_at, 32
        .set clear_at, clear_at + 32
  .endif
  .if (\bytes) - clear_at >= 16
        \idiom\()_store \base, clear_at, 16
  .endif
.endm

/* A clear of up to 64 bytes: straight-line from the buffer's start. */
.macro STRAIGHT idiom, bytes
        \idiom\()_setup
        CLEAR \idiom, BASE, \bytes
        \idiom\()_end
.endm

/* A clear of more than 64 bytes: COUNT blocks of 64 bytes in a loop, then
   `tail` bytes straight-line. The loop starts on a 64-byte boundary, after
   the assembler's NOPs, as compilers align loops: so every copy after the
   first lies alike in the cache lines, and costs the same. */
.macro LOOPED idiom, tail
        \idiom\()_setup
        mov PTR, BASE
        mov ecx, COUNT
        .balign 64
1:
        CLEAR \idiom, PTR, 64
        add PTR, 64
        sub ecx, 1
        jnz 1b
  .if \tail
        CLEAR \idiom, PTR, \tail
  .endif
        \idiom\()_end
.endm

/* clzero clears the 64-byte line that rAX points into: one line up to 64
   bytes, else COUNT lines and one more for a tail. Its stores are weakly
   ordered, as the non-temporal ones: an SFENCE ends the clear. */
.macro clzero_straight bytes
        mov CLZERO_PTR, BASE
        clzero
        sfence
.endm
.macro clzero_looped tail
        mov CLZERO_PTR, BASE
        mov ecx, COUNT
        .balign 64
1:
        clzero
        add CLZERO_PTR, 64
        sub ecx, 1
        jnz 1b
  .if \tail
        clzero
  .endif
        sfence
.endm

/* Every shape of a shaped idiom, each at both copy counts. */
.macro STRAIGHT_PAIR idiom, bytes, vector
        ROUTINE \idiom\()_s\bytes\()_single, COPIES_SINGLE, \vector, STRAIGHT \idiom, \bytes
        ROUTINE \idiom\()_s\bytes\()_double, COPIES_DOUBLE, \vector, STRAIGHT \idiom, \bytes
.endm
.macro LOOPED_PAIR idiom, tail, vector
        ROUTINE \idiom\()_l\tail\()_single, COPIES_SINGLE, \vector, LOOPED \idiom, \tail
        ROUTINE \idiom\()_l\tail\()_double, COPIES_DOUBLE, \vector, LOOPED \idiom, \tail
.endm
.macro SHAPED idiom, vector=0
  .irp bytes, 16, 32, 48, 64
        STRAIGHT_PAIR \idiom, \bytes, \vector
  .endr
  .irp tail, 0, 16, 32, 48
        LOOPED_PAIR \idiom, \tail, \vector
  .endr
.endm

.macro CLZERO_PAIRS
  .irp bytes, 16, 32, 48, 64
        PLAIN clzero_s\bytes, clzero_straight \bytes
  .endr
  .irp tail, 0, 16, 32, 48
        PLAIN clzero_l\tail, clzero_looped \tail
  .endr
.endm

/* rep stos with its setup: pointer, element count, value. */
.macro REP_STOS instruction
        mov PTR, BASE
        mov ecx, COUNT
        xor eax, eax
        rep \instruction
.endm

/* The calibration bodies: chains of dependent register adds, one core cycle
   each, on the full-width register. */
.macro ADD_CHAIN adds
  .rept \adds
        add CHAIN, CHAIN
  .endr
.endm

.macro PLAIN name, body:vararg
        ROUTINE \name\()_single, COPIES_SINGLE, 0, \body
        ROUTINE \name\()_double, COPIES_DOUBLE, 0, \body
.endm

        SHAPED mov_imm
        SHAPED and_imm
        SHAPED mov_r32
#if defined(__x86_64__)
        SHAPED mov_r64
#endif
        SHAPED movdqa
        SHAPED vmovdqa, 1
        SHAPED vmovdqa64, 1
        SHAPED movnti
        SHAPED movntdq
        CLZERO_PAIRS

        PLAIN rep_stosb, REP_STOS stosb
        PLAIN rep_stosd, REP_STOS stosd
#if defined(__x86_64__)
        PLAIN rep_stosq, REP_STOS stosq
#endif
        PLAIN memset_call, CALL_MEMSET
        PLAIN calibration_10, ADD_CHAIN 10
        PLAIN calibration_100, ADD_CHAIN 100

/* The tables, in timed.h's order: each entry a routine and its end. */
.macro ENTRY name
        POINTER \name, \name\()_end
.endm
.macro NO_ENTRY
        POINTER 0, 0
.endm
.macro SHAPE_ENTRIES idiom, shape
        ENTRY \idiom\()_\shape\()_single
        ENTRY \idiom\()_\shape\()_double
.endm
.macro SHAPED_ENTRIES idiom
  .irp shape, s16, s32, s48, s64, l0, l16, l32, l48
        SHAPE_ENTRIES \idiom, \shape
  .endr
.endm
.macro NO_SHAPED_ENTRIES
  .rept 2 * kShapes
        NO_ENTRY
  .endr
.endm
.macro PLAIN_ENTRIES name
        ENTRY \name\()_single
        ENTRY \name\()_double
.endm

        .set kShapes, 8
        .section .data.rel.ro, "aw"
        .balign 8
        .globl SYM(ShapedRoutines)
SYM(ShapedRoutines):
        SHAPED_ENTRIES mov_imm
        SHAPED_ENTRIES and_imm
        SHAPED_ENTRIES mov_r32
#if defined(__x86_64__)
        SHAPED_ENTRIES mov_r64
#else
        NO_SHAPED_ENTRIES
#endif
        SHAPED_ENTRIES movdqa
        SHAPED_ENTRIES vmovdqa
        SHAPED_ENTRIES vmovdqa64
        SHAPED_ENTRIES movnti
        SHAPED_ENTRIES movntdq
        SHAPED_ENTRIES clzero

        .globl SYM(PlainRoutines)
SYM(PlainRoutines):
        PLAIN_ENTRIES rep_stosb
        PLAIN_ENTRIES rep_stosd
#if defined(__x86_64__)
        PLAIN_ENTRIES rep_stosq
#else
        NO_ENTRY
        NO_ENTRY
#endif
        PLAIN_ENTRIES memset_call
        PLAIN_ENTRIES calibration_10
        PLAIN_ENTRIES calibration_100

        NO_EXEC_STACK
        CONTROL_FLOW_NOTE
