/* What differs between the targets for the hand-written routines: symbol
   decoration, symbol types, the stack note, and what control-flow protection
   needs. */
#pragma once

#if defined(_WIN32) && !defined(_WIN64)
#define SYM(name) _##name
#else
#define SYM(name) name
#endif

/* Assembler text, not C++: clang-format would split it. */
/* clang-format off */
#ifdef __ELF__
#define FUNCTION_TYPE(name) .type name, @function
#define FUNCTION_SIZE(name) .size name, . - name
#define NO_EXEC_STACK .section .note.GNU-stack, "", @progbits
#else
#define FUNCTION_TYPE(name)
#define FUNCTION_SIZE(name)
#define NO_EXEC_STACK
#endif

/* Built with -fcf-protection (__CET__: 1 branch tracking, 2 shadow stack),
   every global routine starts with the ENDBR an indirect call may land on,
   and each object says so in its property note: the linker keeps the
   program's IBT and SHSTK marks only when every object has them. The
   routines return only by RET, as the shadow stack wants. */
#if defined(__CET__) && (__CET__ & 1)
#define BRANCH_TARGET_SIZE 4
#if defined(__x86_64__)
#define BRANCH_TARGET endbr64
#else
#define BRANCH_TARGET endbr32
#endif
#else
#define BRANCH_TARGET_SIZE 0
#define BRANCH_TARGET
#endif

/* The note, as GCC writes it for compiled code: NT_GNU_PROPERTY_TYPE_0 with
   GNU_PROPERTY_X86_FEATURE_1_AND, whose bits are those of __CET__. */
#if defined(__CET__) && defined(__ELF__)
#if defined(__x86_64__)
#define PROPERTY_ALIGN 8
#else
#define PROPERTY_ALIGN 4
#endif
#define CONTROL_FLOW_NOTE \
        .section .note.gnu.property, "a"; \
        .balign PROPERTY_ALIGN; \
        .long 4; \
        .long (12 + PROPERTY_ALIGN - 1) / PROPERTY_ALIGN * PROPERTY_ALIGN; \
        .long 5; \
        .asciz "GNU"; \
        .long 0xc0000002; \
        .long 4; \
        .long __CET__; \
        .balign PROPERTY_ALIGN
#else
#define CONTROL_FLOW_NOTE
#endif
/* clang-format on */
