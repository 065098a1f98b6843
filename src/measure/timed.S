/* The two timed routines, TimeMovBody and TimeAndBody, and the measurement's
   static data.

   Each routine times PASS_COUNT passes of an empty loop, then PASS_COUNT
   passes of the loop with its body, between serialized RDTSC reads, and
   leaves (test - overhead) in CycleResult. Between an opening and a closing
   RDTSC stand exactly the same instructions in both regions: save the
   opening stamp, set LoopCounter, serialize, the filler, the loop, serialize.
   The machine-code test checks every byte of this file's output; change the
   expected listing there when changing anything here. */

#include "measure/asm.h"
#include "measure/passes.h"

        .intel_syntax noprefix

#if defined(__x86_64__)

#define PTR rdi
#define COUNTER dword ptr [rip + SYM(LoopCounter)]

/* Do-nothing filler of 3, 4 and 5 bytes that leaves every register as it is
   in 64-bit mode (a 32-bit form would clear the upper halves, and cut RSP). */
#define FILL_SHORT 3
.macro FILL_SHORT_PIECE
        mov rdi, rdi
.endm
.macro FILL_MIDDLE_PIECE
        {disp8} lea rcx, [rcx + 0]
.endm
.macro FILL_LONG_PIECE
        {disp8} lea rsp, [rsp + 0]
.endm

/* Callee-saved registers that the routine uses: RBX (CPUID), RDI (the
   pointer, callee-saved on Windows x64) and RSI (likewise). */
.macro SAVE_REGISTERS
        push rbx
        push rsi
        push rdi
.endm
.macro RESTORE_REGISTERS
        pop rdi
        pop rsi
        pop rbx
.endm

.macro LOAD_SCRATCH
        lea rdi, [rip + SYM(ScratchArea)]
.endm

/* The stamp in EDX:EAX, as one 64-bit value pushed onto the stack. */
.macro SAVE_STAMP
        shl rdx, 32
        or rax, rdx
        push rax
.endm

/* Overhead: the stamp in EDX:EAX minus the saved one, in its place. */
.macro KEEP_OVERHEAD
        shl rdx, 32
        or rax, rdx
        sub rax, [rsp]
        mov [rsp], rax
.endm

/* CycleResult: (stamp - saved stamp) - overhead; drops both from the stack. */
.macro STORE_NET_RESULT
        shl rdx, 32
        or rax, rdx
        sub rax, [rsp]
        sub rax, [rsp + 8]
        add rsp, 16
        mov [rip + SYM(CycleResult)], rax
.endm

#else /* IA-32 */

#define PTR edi
#define COUNTER dword ptr [SYM(LoopCounter)]

#define FILL_SHORT 2
.macro FILL_SHORT_PIECE
        mov edi, edi
.endm
.macro FILL_MIDDLE_PIECE
        {disp8} lea ecx, [ecx + 0]
.endm
.macro FILL_LONG_PIECE
        {disp8} lea esp, [esp + 0]
.endm

.macro SAVE_REGISTERS
        push ebx
        push esi
        push edi
        push ebp
.endm
.macro RESTORE_REGISTERS
        pop ebp
        pop edi
        pop esi
        pop ebx
.endm

.macro LOAD_SCRATCH
        mov edi, offset SYM(ScratchArea)
.endm

/* Two 32-bit pushes, high half first. */
.macro SAVE_STAMP
        push edx
        push eax
.endm

.macro KEEP_OVERHEAD
        sub eax, [esp]
        sbb edx, [esp + 4]
        mov [esp], eax
        mov [esp + 4], edx
.endm

.macro STORE_NET_RESULT
        sub eax, [esp]
        sbb edx, [esp + 4]
        sub eax, [esp + 8]
        sbb edx, [esp + 12]
        add esp, 16
        mov [SYM(CycleResult)], eax
        mov [SYM(CycleResult) + 4], edx
.endm

#endif

/* CPUID leaf 0 as a barrier; its results are dropped. */
.macro SERIALIZE
        xor eax, eax
        cpuid
.endm

/* JNZ with a fixed length, written out so that the assembler cannot relax
   it: the filler after it is worked out from constant offsets. */
.macro JNZ_SHORT target
        .byte 0x75, \target - (. + 1)
.endm
.macro JNZ_NEAR target
        .byte 0x0f, 0x85
        .long \target - (. + 4)
.endm

/* n bytes of filler: the short, middle and long pieces are FILL_SHORT,
   FILL_SHORT + 1 and FILL_SHORT + 2 bytes long. */
.macro FILLER n
  .if (\n) >= FILL_SHORT
    .if (\n) == FILL_SHORT
        FILL_SHORT_PIECE
    .elseif (\n) == FILL_SHORT + 1
        FILL_MIDDLE_PIECE
    .elseif (\n) == FILL_SHORT + 2
        FILL_LONG_PIECE
    .elseif (\n) - (FILL_SHORT + 2) >= FILL_SHORT
        FILL_LONG_PIECE
        FILLER (\n)-(FILL_SHORT+2)
    .else
        FILL_SHORT_PIECE
        FILLER (\n)-FILL_SHORT
    .endif
  .endif
.endm

/* Filler up to the next 16-byte boundary, counted from `base`, the code
   after the routine's entry (itself 16-byte aligned); a gap too short for
   any piece takes 16 more. */
.macro FILL_TO_16 base
  .set fill_gap, (16 - ((. - \base) & 15)) & 15
  .if fill_gap > 0 && fill_gap < FILL_SHORT
    .set fill_gap, fill_gap + 16
  .endif
        FILLER fill_gap
  .if ((. - \base) & 15) != 0
    .error "loop top is not on a 16-byte boundary"
  .endif
.endm

.macro MOV_OPERATION
        mov dword ptr [PTR], 0
.endm
.macro AND_OPERATION
        and dword ptr [PTR], 0
.endm

/* One whole timed routine around the body operation `operation`. An ENDBR
   at the entry ends just at a 16-byte boundary, so that the code after it
   lies as it does without one: the same filler, the same bytes. */
.macro TIMED_ROUTINE name, end, operation
        .text
        .balign 16, 0xcc
  .if BRANCH_TARGET_SIZE
        .skip 16 - BRANCH_TARGET_SIZE, 0xcc
  .endif
        .globl \name
        FUNCTION_TYPE(\name)
\name:
        BRANCH_TARGET
.Lcode\@:
        SAVE_REGISTERS
        SERIALIZE
        rdtsc
        /* Empty loop: the counter and the framing alone. */
        SAVE_STAMP
        mov COUNTER, PASS_COUNT
        SERIALIZE
        FILL_TO_16 .Lcode\@
1:
        sub COUNTER, 1
        JNZ_SHORT 1b
        SERIALIZE
        rdtsc
        KEEP_OVERHEAD
        SERIALIZE
        rdtsc
        /* Test loop: the same framing, with the pointer reload and the body. */
        SAVE_STAMP
        mov COUNTER, PASS_COUNT
        SERIALIZE
        FILL_TO_16 .Lcode\@
2:
        LOAD_SCRATCH
        .rept 100
        \operation
        add PTR, 4
        .endr
        sub COUNTER, 1
        JNZ_NEAR 2b
        SERIALIZE
        rdtsc
        STORE_NET_RESULT
        RESTORE_REGISTERS
        ret
        FUNCTION_SIZE(\name)
        .globl \end
\end:
.endm

        TIMED_ROUTINE SYM(TimeMovBody), SYM(TimeMovBodyEnd), MOV_OPERATION
        TIMED_ROUTINE SYM(TimeAndBody), SYM(TimeAndBodyEnd), AND_OPERATION

/* The measurement's static data. ScratchArea lies between two guard bands
   that nothing writes, so that a test can see that the bodies stay inside. */
        .bss
        .balign 64
        .globl SYM(ScratchGuardBelow)
SYM(ScratchGuardBelow):
        .zero 64
        .globl SYM(ScratchArea)
SYM(ScratchArea):
        .zero 400
        .globl SYM(ScratchGuardAbove)
SYM(ScratchGuardAbove):
        .zero 64
        .balign 8
        .globl SYM(CycleResult)
SYM(CycleResult):
        .zero 8
        .globl SYM(LoopCount)
SYM(LoopCount):
        .zero 4
        .globl SYM(LoopCounter)
SYM(LoopCounter):
        .zero 4

        NO_EXEC_STACK
        CONTROL_FLOW_NOTE
