// The timed routines' machine code, read from memory and compared byte for
// byte with the listing they must have: nothing may stand in a timed region
// but the listed instructions, in their exact forms.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "code_bytes.h"
#include "measure/measure.h"

extern "C" {
extern const unsigned char TimeMovBodyEnd[];
extern const unsigned char TimeAndBodyEnd[];
}

namespace {

Bytes Le32(std::uint32_t value) {
  return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
          static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

std::uintptr_t Address(const void* object) { return reinterpret_cast<std::uintptr_t>(object); }

// Walks a routine's code from its first byte, checking one piece at a time.
class Walk {
 public:
  Walk(const void* start, const void* end)
      : start_(static_cast<const std::uint8_t*>(start)),
        at_(start_),
        end_(static_cast<const std::uint8_t*>(end)) {}

  std::uintptr_t Here() const { return Address(at_); }

  // The next bytes are exactly `expected`.
  bool Take(const Bytes& expected, const char* what) {
    const size_t left = static_cast<size_t>(end_ - at_);
    const size_t count = expected.size() < left ? expected.size() : left;
    if (count < expected.size() || std::memcmp(at_, expected.data(), count) != 0) {
      ADD_FAILURE() << what << " at offset " << at_ - start_ << ":\n  expected "
                    << Hex(expected.data(), expected.size()) << "\n  found    " << Hex(at_, count);
      return false;
    }
    at_ += expected.size();
    return true;
  }

  // Do-nothing filler up to a 16-byte boundary, made only of the forms that
  // change no register.
  bool TakeFiller() {
    const std::vector<Bytes> forms =
        Wide ? std::vector<Bytes>{{0x48, 0x89, 0xff},              // mov rdi, rdi
                                  {0x48, 0x8d, 0x49, 0x00},        // lea rcx, [rcx+0]
                                  {0x48, 0x8d, 0x64, 0x24, 0x00}}  // lea rsp, [rsp+0]
             : std::vector<Bytes>{{0x89, 0xff},                    // mov edi, edi
                                  {0x8d, 0x49, 0x00},              // lea ecx, [ecx+0]
                                  {0x8d, 0x64, 0x24, 0x00}};       // lea esp, [esp+0]
    for (int pieces = 0; Here() % 16 != 0; ++pieces) {
      if (pieces == 8) {
        ADD_FAILURE() << "filler at offset " << at_ - start_ << " does not end";
        return false;
      }
      bool matched = false;
      for (const Bytes& form : forms) {
        if (static_cast<size_t>(end_ - at_) >= form.size() &&
            std::memcmp(at_, form.data(), form.size()) == 0) {
          at_ += form.size();
          matched = true;
          break;
        }
      }
      if (!matched) {
        ADD_FAILURE() << "not filler at offset " << at_ - start_ << ": " << Hex(at_, 6);
        return false;
      }
    }
    return true;
  }

  bool AtEnd() const { return at_ == end_; }

 private:
  const std::uint8_t* start_;
  const std::uint8_t* at_;
  const std::uint8_t* end_;
};

// An operand that names a static object: its absolute address on IA-32, its
// distance from the end of the instruction on x86-64. `after` is the number
// of instruction bytes that follow the operand.
Bytes StaticOperand(const Walk& walk, size_t operandOffset, size_t after, const void* object,
                    std::uint32_t displacement = 0) {
  if (!Wide) return Le32(static_cast<std::uint32_t>(Address(object) + displacement));
  const std::uintptr_t next = walk.Here() + operandOffset + 4 + after;
  return Le32(static_cast<std::uint32_t>(Address(object) + displacement - next));
}

// Built with control-flow protection (the Linux builds), a routine's entry is
// the ENDBR an indirect call lands on, ending at a 16-byte boundary: what
// follows is the same code, at the same alignment, as in a build without it.
#if defined(__CET__) && (__CET__ & 1)
const Bytes BranchTarget = Wide ? Bytes{0xf3, 0x0f, 0x1e, 0xfa} : Bytes{0xf3, 0x0f, 0x1e, 0xfb};
#else
const Bytes BranchTarget = {};
#endif

const Bytes Serialize = {0x31, 0xc0, 0x0f, 0xa2};  // xor eax, eax; cpuid
const Bytes Rdtsc = {0x0f, 0x31};
const Bytes JoinStamp = {0x48, 0xc1, 0xe2, 0x20, 0x48, 0x09, 0xd0};  // shl rdx, 32; or rax, rdx

Bytes SaveStamp() { return Wide ? JoinStamp + Bytes{0x50} : Bytes{0x52, 0x50}; }

Bytes SetCounter(const Walk& walk) {  // mov dword [LoopCounter], PASS_COUNT
  return Bytes{0xc7, 0x05} + StaticOperand(walk, 2, 4, &LoopCounter) + Le32(PASS_COUNT);
}

Bytes CountDown(const Walk& walk) {  // sub dword [LoopCounter], 1
  return Bytes{0x83, 0x2d} + StaticOperand(walk, 2, 1, &LoopCounter) + Bytes{0x01};
}

// Everything from the opening RDTSC to the loop top: the same in both regions.
bool TakeFramingToLoop(Walk& walk) {
  return walk.Take(Rdtsc, "opening rdtsc") && walk.Take(SaveStamp(), "saving the stamp") &&
         walk.Take(SetCounter(walk), "setting LoopCounter") &&
         walk.Take(Serialize, "serializing before the loop") && walk.TakeFiller();
}

bool TakeLoopEnd(Walk& walk, std::uintptr_t loopTop, bool nearJump) {
  if (!walk.Take(CountDown(walk), "counting down")) return false;
  const Bytes jump =
      nearJump ? Bytes{0x0f, 0x85} + Le32(static_cast<std::uint32_t>(loopTop - (walk.Here() + 6)))
               : Bytes{0x75, static_cast<std::uint8_t>(loopTop - (walk.Here() + 2))};
  return walk.Take(jump, "jnz to the loop top") && walk.Take(Serialize, "serializing after") &&
         walk.Take(Rdtsc, "closing rdtsc");
}

Bytes KeepOverhead() {
  if (Wide) return JoinStamp + Bytes{0x48, 0x2b, 0x04, 0x24, 0x48, 0x89, 0x04, 0x24};
  return {0x2b, 0x04, 0x24, 0x1b, 0x54, 0x24, 0x04, 0x89, 0x04, 0x24, 0x89, 0x54, 0x24, 0x04};
}

bool TakeNetResult(Walk& walk) {
  if (Wide) {
    const Bytes subtract = JoinStamp + Bytes{0x48, 0x2b, 0x04, 0x24, 0x48, 0x2b, 0x44,
                                             0x24, 0x08, 0x48, 0x83, 0xc4, 0x10};
    return walk.Take(subtract, "net count") &&
           walk.Take(Bytes{0x48, 0x89, 0x05} + StaticOperand(walk, 3, 0, &CycleResult),
                     "storing CycleResult");
  }
  const Bytes subtract = {0x2b, 0x04, 0x24, 0x1b, 0x54, 0x24, 0x04, 0x2b, 0x44,
                          0x24, 0x08, 0x1b, 0x54, 0x24, 0x0c, 0x83, 0xc4, 0x10};
  return walk.Take(subtract, "net count") &&
         walk.Take(Bytes{0xa3} + StaticOperand(walk, 1, 0, &CycleResult), "storing low half") &&
         walk.Take(Bytes{0x89, 0x15} + StaticOperand(walk, 2, 0, &CycleResult, 4),
                   "storing high half");
}

void CheckRoutine(const void* start, const void* end, const Bytes& operation) {
  Walk walk(start, end);
  ASSERT_TRUE(walk.Take(BranchTarget, "the entry's ENDBR"));
  ASSERT_EQ(walk.Here() % 16, 0u) << "the code after the entry";
  const Bytes saveRegisters = Wide ? Bytes{0x53, 0x56, 0x57} : Bytes{0x53, 0x56, 0x57, 0x55};
  const Bytes restoreRegisters =
      Wide ? Bytes{0x5f, 0x5e, 0x5b, 0xc3} : Bytes{0x5d, 0x5f, 0x5e, 0x5b, 0xc3};
  const Bytes stepPointer = Wide ? Bytes{0x48, 0x83, 0xc7, 0x04} : Bytes{0x83, 0xc7, 0x04};

  ASSERT_TRUE(walk.Take(saveRegisters, "saving registers"));
  ASSERT_TRUE(walk.Take(Serialize, "serializing"));

  // Empty loop.
  ASSERT_TRUE(TakeFramingToLoop(walk));
  const std::uintptr_t emptyTop = walk.Here();
  ASSERT_TRUE(TakeLoopEnd(walk, emptyTop, false));
  ASSERT_TRUE(walk.Take(KeepOverhead(), "keeping the overhead"));
  ASSERT_TRUE(walk.Take(Serialize, "serializing"));

  // Test loop: pointer reload, 100 written-out operations.
  ASSERT_TRUE(TakeFramingToLoop(walk));
  const std::uintptr_t testTop = walk.Here();
  const Bytes reload = Wide ? Bytes{0x48, 0x8d, 0x3d} + StaticOperand(walk, 3, 0, ScratchArea)
                            : Bytes{0xbf} + StaticOperand(walk, 1, 0, ScratchArea);
  ASSERT_TRUE(walk.Take(reload, "loading the ScratchArea pointer"));
  for (int i = 0; i < 100; ++i) {
    ASSERT_TRUE(walk.Take(operation, "body operation")) << "operation " << i;
    ASSERT_TRUE(walk.Take(stepPointer, "pointer step")) << "operation " << i;
  }
  ASSERT_TRUE(TakeLoopEnd(walk, testTop, true));

  ASSERT_TRUE(TakeNetResult(walk));
  ASSERT_TRUE(walk.Take(restoreRegisters, "restoring registers"));
  EXPECT_TRUE(walk.AtEnd()) << "bytes after the return";
  EXPECT_EQ(emptyTop % 16, 0u);
  EXPECT_EQ(testTop % 16, 0u);
}

TEST(MachineCode, MovBodyStoresASixByteImmediateZero) {
  CheckRoutine(reinterpret_cast<const void*>(&TimeMovBody), TimeMovBodyEnd,
               {0xc7, 0x07, 0x00, 0x00, 0x00, 0x00});
}

TEST(MachineCode, AndBodyAndsASignExtendedByteZero) {
  CheckRoutine(reinterpret_cast<const void*>(&TimeAndBody), TimeAndBodyEnd, {0x83, 0x27, 0x00});
}

TEST(MachineCode, ScratchAreaStartsOnA64ByteBoundary) { EXPECT_EQ(Address(ScratchArea) % 64, 0u); }

}  // namespace
