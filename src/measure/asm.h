/* What differs between the targets for the hand-written routines: symbol
   decoration, symbol types, and the stack note. */
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
/* clang-format on */
