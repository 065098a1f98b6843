// zerobench-idioms' timed routines, read from memory and compared byte for
// byte with the code they must have: the framing, the loop on its 64-byte
// boundary, and every copy of every idiom's body in every shape, each
// instruction in the form written out here from the processor's encoding
// tables, not from the assembler.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "code_bytes.h"
#include "timed.h"

namespace {

using ::operator+;  // beside Body's below, which would hide it

Bytes Repeat(const Bytes& bytes, int times) {
  Bytes all;
  for (int i = 0; i < times; ++i) all = all + bytes;
  return all;
}

// Registers by their number in ModRM.
const int Eax = 0, Ebx = 3, Edi = 7;

// The ModRM byte (and displacement) of [base + at], at below 128: no
// displacement for 0, else one byte; EVEX stores scale it by their width.
Bytes Memory(int reg, int base, int at, int scale = 1) {
  if (at == 0) return {std::uint8_t(reg << 3 | base)};
  return {std::uint8_t(0x40 | reg << 3 | base), std::uint8_t(at / scale)};
}

const Bytes Rex = Wide ? Bytes{0x48} : Bytes{};  // REX.W where the pointer is 64 bits

// A body as the test expects it: code, the assembler's NOPs up to a 64-byte
// boundary, or a call whose target is the linker's.
struct Piece {
  enum Kind { kCode, kAlign, kCall } kind;
  Bytes code;
};
using Body = std::vector<Piece>;

Body operator+(Body first, const Body& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}
Body Code(const Bytes& code) { return {{Piece::kCode, code}}; }
const Body Align64 = {{Piece::kAlign, {}}};
const Body Call = {{Piece::kCall, {}}};

// What a shaped idiom's clear is made of.
struct Idiom {
  ShapedKind kind;
  int width;
  Bytes setup, end;
  bool vector;  // the routine ends with VZEROUPPER
};

const Bytes XorEax = {0x31, 0xc0}, Pxor = {0x66, 0x0f, 0xef, 0xc0},
            Vpxor = {0xc5, 0xf9, 0xef, 0xc0}, Sfence = {0x0f, 0xae, 0xf8};

const Idiom Idioms[] = {
    {kMovImmediate, 4, {}, {}, false},   {kAndImmediate, 4, {}, {}, false},
    {kMovR32, 4, XorEax, {}, false},     {kMovR64, 8, XorEax, {}, false},
    {kMovdqa, 16, Pxor, {}, false},      {kVmovdqa, 32, Vpxor, {}, true},
    {kVmovdqa64, 64, Vpxor, {}, true},   {kMovnti, Wide ? 8 : 4, XorEax, Sfence, false},
    {kMovntdq, 16, Pxor, Sfence, false},
};

// One store of `bytes` bytes of zero at [base + at].
Bytes Store(ShapedKind kind, int base, int at, int bytes) {
  switch (kind) {
    case kMovImmediate: return Bytes{0xc7} + Memory(0, base, at) + Bytes{0, 0, 0, 0};
    case kAndImmediate: return Bytes{0x83} + Memory(4, base, at) + Bytes{0};
    case kMovR32: return Bytes{0x89} + Memory(Eax, base, at);
    case kMovR64: return Bytes{0x48, 0x89} + Memory(Eax, base, at);
    case kMovdqa: return Bytes{0x66, 0x0f, 0x7f} + Memory(0, base, at);
    case kMovntdq: return Bytes{0x66, 0x0f, 0xe7} + Memory(0, base, at);
    case kMovnti: return Rex + Bytes{0x0f, 0xc3} + Memory(Eax, base, at);
    case kVmovdqa:
    case kVmovdqa64:
      if (bytes == 64) return Bytes{0x62, 0xf1, 0xfd, 0x48, 0x7f} + Memory(0, base, at, 64);
      // VEX: 0xfd for 256 bits, 0xf9 for 128.
      return Bytes{0xc5, std::uint8_t(bytes == 32 ? 0xfd : 0xf9), 0x7f} + Memory(0, base, at);
    default: return {};
  }
}

// `bytes` bytes from [base]: stores of the idiom's width, then what is left
// by one 32- and one 16-byte store.
Bytes Clear(const Idiom& idiom, int base, int bytes) {
  Bytes code;
  int at = 0;
  for (; at + idiom.width <= bytes; at += idiom.width)
    code = code + Store(idiom.kind, base, at, idiom.width);
  for (int piece : {32, 16}) {
    if (bytes - at >= piece) {
      code = code + Store(idiom.kind, base, at, piece);
      at += piece;
    }
  }
  return code;
}

const Bytes PointerFromBase = Wide ? Bytes{0x48, 0x89, 0xdf} : Bytes{0x89, 0xdf};  // mov rdi, rbx
const Bytes CountToEcx = Wide ? Bytes{0x44, 0x89, 0xe1} : Bytes{0x89, 0xf1};  // mov ecx, r12d / esi
const Bytes CountDown = {0x83, 0xe9, 0x01};                                   // sub ecx, 1

Bytes JnzBack(int distance) { return {0x75, std::uint8_t(-(distance + 2))}; }

// A loop: the block, the pointer step, the count down and the jump back.
Bytes Loop(const Bytes& block, const Bytes& step) {
  return block + step + CountDown + JnzBack(int(block.size() + step.size() + CountDown.size()));
}

Body StraightBody(const Idiom& idiom, int bytes) {
  return Code(idiom.setup + Clear(idiom, Ebx, bytes) + idiom.end);
}

// The loop starts on a 64-byte boundary.
Body LoopedBody(const Idiom& idiom, int tail) {
  const Bytes step = Rex + Bytes{0x83, 0xc7, 0x40};  // add rdi, 64
  return Code(idiom.setup + PointerFromBase + CountToEcx) + Align64 +
         Code(Loop(Clear(idiom, Edi, 64), step) + Clear(idiom, Edi, tail) + idiom.end);
}

// clzero clears the line rAX points into.
const Bytes Clzero = {0x0f, 0x01, 0xfc};
const Bytes RaxFromBase = Rex + Bytes{0x89, 0xd8};  // mov rax, rbx

Body ClzeroBody(int shape) {
  if (shape < 4) return Code(RaxFromBase + Clzero + Sfence);
  const Bytes step = Rex + Bytes{0x83, 0xc0, 0x40};  // add rax, 64
  return Code(RaxFromBase + CountToEcx) + Align64 +
         Code(Loop(Clzero, step) + (shape > 4 ? Clzero : Bytes{}) + Sfence);
}

// The length of the NOP at `at` as the assembler pads with it (0x90 after
// any 0x66 prefixes, or 0f 1f /0 after them and a 0x2e), or 0 for anything
// else.
size_t NopLength(const std::uint8_t* at) {
  const std::uint8_t* p = at;
  while (*p == 0x66) ++p;
  if (*p == 0x90) return size_t(p + 1 - at);
  if (*p == 0x2e) ++p;
  if (p[0] != 0x0f || p[1] != 0x1f || (p[2] >> 3 & 7) != 0) return 0;
  const int mod = p[2] >> 6, rm = p[2] & 7;
  size_t length = 3 + (mod != 3 && rm == 4);
  length += mod == 1 ? 1 : mod == 2 || (mod == 0 && rm == 5) ? 4 : 0;
  return size_t(p - at) + length;
}

#if defined(__CET__) && (__CET__ & 1)
const Bytes BranchTarget = Wide ? Bytes{0xf3, 0x0f, 0x1e, 0xfa} : Bytes{0xf3, 0x0f, 0x1e, 0xfb};
#else
const Bytes BranchTarget = {};
#endif

const Bytes ReadCounter = {0x0f, 0xae, 0xe8, 0x0f,
                           0x31, 0x0f, 0xae, 0xe8};                  // lfence; rdtsc; lfence
const Bytes JoinStamp = {0x48, 0xc1, 0xe2, 0x20, 0x48, 0x09, 0xd0};  // shl rdx, 32; or rax, rdx

// Entry to the opening stamp saved: the arguments in EBX/RBX (buffer), ESI
// or R12D (count) and EBP (passes).
Bytes Opening() {
  if (Wide) {
    return BranchTarget +
           Bytes{0x53, 0x55, 0x41, 0x54, 0x41, 0x55, 0x48, 0x83, 0xec, 0x08,  // pushes, sub rsp, 8
                 0x48, 0x89, 0xfb, 0x41, 0x89, 0xf4, 0x89, 0xd5} +            // arguments
           ReadCounter +
           JoinStamp + Bytes{0x49, 0x89, 0xc5};  // mov r13, rax
  }
  return BranchTarget + Bytes{0x53, 0x56, 0x57, 0x55, 0x83, 0xec, 0x1c,  // pushes, sub esp, 28
                              0x8b, 0x5c, 0x24, 0x30, 0x8b, 0x74, 0x24,
                              0x34, 0x8b, 0x6c, 0x24, 0x38} +  // arguments
         ReadCounter +
         Bytes{0x89, 0x44, 0x24, 0x10, 0x89, 0x54, 0x24, 0x14};  // the stamp
}

// From the closing read to the return.
Bytes Closing(bool vector) {
  const Bytes vzeroupper = vector ? Bytes{0xc5, 0xf8, 0x77} : Bytes{};
  if (Wide) {
    return ReadCounter + JoinStamp + Bytes{0x4c, 0x29, 0xe8} + vzeroupper +  // sub rax, r13
           Bytes{0x48, 0x83, 0xc4, 0x08, 0x41, 0x5d, 0x41, 0x5c, 0x5d, 0x5b, 0xc3};
  }
  return ReadCounter + Bytes{0x2b, 0x44, 0x24, 0x10, 0x1b, 0x54, 0x24, 0x14} + vzeroupper +
         Bytes{0x83, 0xc4, 0x1c, 0x5d, 0x5f, 0x5e, 0x5b, 0xc3};
}

// Checks one routine: `copies` copies of `body`, each a clear.
void CheckRoutine(const RoutineCode& code, int copies, const Body& body, bool vector) {
  ASSERT_NE(code.run, nullptr);
  const std::uint8_t* start = reinterpret_cast<const std::uint8_t*>(code.run);
  const std::uint8_t* at = start;
  auto take = [&](const Bytes& expected, const char* what) {
    const size_t count = std::min(expected.size(), size_t(code.end - at));
    if (count < expected.size() || std::memcmp(at, expected.data(), count) != 0) {
      ADD_FAILURE() << what << " at offset " << at - start << ":\n  expected "
                    << Hex(expected.data(), expected.size()) << "\n  found    " << Hex(at, count);
      return false;
    }
    at += expected.size();
    return true;
  };
  auto take_nops = [&]() {
    while (reinterpret_cast<std::uintptr_t>(at) % 64 != 0) {
      const size_t length = NopLength(at);
      if (length == 0 || length > size_t(code.end - at)) {
        ADD_FAILURE() << "not a NOP at offset " << at - start << ": " << Hex(at, 6);
        return false;
      }
      at += length;
    }
    return true;
  };
  if (!take(Opening(), "opening")) return;
  // jmp to the loop top on the next 64-byte boundary; int3 up to it.
  ASSERT_EQ(at[0], 0xeb) << "jmp at offset " << at - start;
  const std::uint8_t* top = at + 2 + at[1];
  ASSERT_EQ(reinterpret_cast<std::uintptr_t>(top) % 64, 0u);
  ASSERT_LT(top - (at + 2), 64);
  for (at += 2; at < top; ++at) ASSERT_EQ(*at, 0xcc) << "padding at offset " << at - start;
  for (int copy = 0; copy < copies; ++copy) {
    for (const Piece& piece : body) {
      const bool taken = piece.kind == Piece::kCode ? take(piece.code, "body")
                         : piece.kind == Piece::kAlign
                             ? take_nops()
                             : take({0xe8}, "call") && (at += 4, at <= code.end);
      if (!taken) {
        ADD_FAILURE() << "in copy " << copy;
        return;
      }
    }
  }
  if (!take({0x83, 0xed, 0x01}, "sub ebp, 1")) return;  // the pass counter
  const std::ptrdiff_t back = top - (at + 2);
  if (back >= -128) {
    if (!take({0x75, std::uint8_t(back)}, "jnz to the loop top")) return;
  } else {
    const std::uint32_t near = std::uint32_t(top - (at + 6));
    if (!take({0x0f, 0x85, std::uint8_t(near), std::uint8_t(near >> 8), std::uint8_t(near >> 16),
               std::uint8_t(near >> 24)},
              "jnz to the loop top"))
      return;
  }
  if (!take(Closing(vector), "closing")) return;
  EXPECT_EQ(at, code.end) << "bytes after the return";
}

const char* const ShapeNames[kShapes] = {"16 bytes",      "32 bytes",     "48 bytes",
                                         "64 bytes",      "loop",         "loop, tail 16",
                                         "loop, tail 32", "loop, tail 48"};

void CheckBothCopyCounts(const RoutineCode pair[2], const Body& body, bool vector) {
  {
    SCOPED_TRACE("single");
    CheckRoutine(pair[0], COPIES_SINGLE, body, vector);
  }
  {
    SCOPED_TRACE("double");
    CheckRoutine(pair[1], COPIES_DOUBLE, body, vector);
  }
}

TEST(IdiomsMachineCode, EveryShapeOfEveryStoringIdiom) {
  for (const Idiom& idiom : Idioms) {
    if (idiom.kind == kMovR64 && !Wide) {
      EXPECT_EQ(ShapedRoutines[kMovR64][0][0].run, nullptr) << "mov [m],r64 in an IA-32 build";
      continue;
    }
    for (int shape = 0; shape < kShapes; ++shape) {
      SCOPED_TRACE(std::string("idiom ") + std::to_string(idiom.kind) + ", " + ShapeNames[shape]);
      const Body body =
          shape < 4 ? StraightBody(idiom, 16 * (shape + 1)) : LoopedBody(idiom, 16 * (shape - 4));
      CheckBothCopyCounts(ShapedRoutines[idiom.kind][shape], body, idiom.vector);
    }
  }
}

TEST(IdiomsMachineCode, ClzeroClearsWholeLinesAndFences) {
  for (int shape = 0; shape < kShapes; ++shape) {
    SCOPED_TRACE(ShapeNames[shape]);
    CheckBothCopyCounts(ShapedRoutines[kClzero][shape], ClzeroBody(shape), false);
  }
}

TEST(IdiomsMachineCode, RepStosSetsPointerCountAndValueInTheBody) {
  const Bytes setup = PointerFromBase + CountToEcx + XorEax;
  CheckBothCopyCounts(PlainRoutines[kRepStosb], Code(setup + Bytes{0xf3, 0xaa}), false);
  CheckBothCopyCounts(PlainRoutines[kRepStosd], Code(setup + Bytes{0xf3, 0xab}), false);
  if (Wide) {
    CheckBothCopyCounts(PlainRoutines[kRepStosq], Code(setup + Bytes{0xf3, 0x48, 0xab}), false);
  } else {
    EXPECT_EQ(PlainRoutines[kRepStosq][0].run, nullptr) << "rep stosq in an IA-32 build";
  }
}

TEST(IdiomsMachineCode, MemsetIsCalledWithBufferZeroAndSize) {
  // x86-64: RDI, ESI and EDX; IA-32: three arguments on the stack.
  const Bytes arguments =
      Wide ? Bytes{0x48, 0x89, 0xdf, 0x31, 0xf6, 0x44, 0x89, 0xe2}
           : Bytes{0x89, 0x1c, 0x24, 0xc7, 0x44, 0x24, 0x04, 0, 0, 0, 0, 0x89, 0x74, 0x24, 0x08};
  CheckBothCopyCounts(PlainRoutines[kMemset], Code(arguments) + Call, false);
}

TEST(IdiomsMachineCode, CalibrationChainsAreDependentRegisterAdds) {
  const Bytes add = Rex + Bytes{0x01, 0xc9};  // add rcx, rcx (ecx, ecx)
  CheckBothCopyCounts(PlainRoutines[kCalibration10], Code(Repeat(add, 10)), false);
  CheckBothCopyCounts(PlainRoutines[kCalibration100], Code(Repeat(add, 100)), false);
}

}  // namespace
