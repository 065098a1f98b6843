#include "processor/processor.h"

#include <cstring>

#include "console/console.h"

namespace {

constexpr PaddedText NoBrand{"pre-P4"};
constexpr PaddedText SseOpen{" (SSE"};
constexpr PaddedText SseClose{")\r\n"};

NumberText SseNumberText;

const std::uint32_t FirstBrandLeaf = 0x80000002u;
const int BrandLeaves = 3;
const int BrandBytes = BrandLeaves * 16;

// EAX, EBX, ECX, EDX of leaves 0x80000002 to 0x80000004, little-endian.
void ReadBrandText(char* brandText) {
  for (int i = 0; i < BrandLeaves; ++i) {
    std::uint32_t registers[4];
    ReadCpuid(FirstBrandLeaf + static_cast<std::uint32_t>(i), registers);
    std::memcpy(brandText + 16 * i, registers, sizeof registers);
  }
}

// SSE (EDX bit 25), SSE2 (EDX bit 26), SSE3 (ECX bit 0), SSSE3 (ECX bit 9).
int CountSseFlags() {
  std::uint32_t registers[4];
  ReadCpuid(1, registers);
  const std::uint32_t ecx = registers[2], edx = registers[3];
  return static_cast<int>(((edx >> 25) & 1) + ((edx >> 26) & 1) + (ecx & 1) + ((ecx >> 9) & 1));
}

// The banner's pieces, in the order they are printed: the brand text (its
// leading spaces skipped) or "pre-P4", then, with any SSE flag set, " (SSE",
// the count and ")\r\n". Returns how many there are (1 or 4).
int BannerPieces(const char* brandText, int sseCount, const char* pieces[4]) {
  const char* brand = brandText;
  while (*brand == ' ') ++brand;
  // No brand text: the leaves gave a control byte or nothing.
  pieces[0] = static_cast<unsigned char>(*brand) < 0x20 ? NoBrand.bytes : brand;
  if (sseCount <= 0) return 1;
  FormatSigned(sseCount, SseNumberText);
  pieces[1] = SseOpen.bytes;
  pieces[2] = SseNumberText;
  pieces[3] = SseClose.bytes;
  return 4;
}

// Appends text to the NUL-terminated banner in out, as far as it fits.
void Append(char* out, const char* text) {
  int length = 0;
  while (out[length] != '\0') ++length;
  while (*text != '\0' && length < BannerTextSize - 4) out[length++] = *text++;
  out[length] = '\0';
}

}  // namespace

void ShowProcessor() {
  char brandText[BrandTextSize] = {};
  static_assert(BrandTextSize >= BrandBytes + 4, "the brand text must end inside its buffer");
  ReadBrandText(brandText);
  PrintBanner(brandText, CountSseFlags());
}

void ReadBanner(char* out) {
  char brandText[BrandTextSize] = {};
  ReadBrandText(brandText);
  FormatBanner(brandText, CountSseFlags(), out);
}

// One PrintText per piece, as the report is written.
void PrintBanner(const char* brandText, int sseCount) {
  const char* pieces[4];
  const int count = BannerPieces(brandText, sseCount, pieces);
  for (int i = 0; i < count; ++i) PrintText(pieces[i]);
}

void FormatBanner(const char* brandText, int sseCount, char* out) {
  for (int i = 0; i < BannerTextSize; ++i) out[i] = '\0';
  const char* pieces[4];
  const int count = BannerPieces(brandText, sseCount, pieces);
  for (int i = 0; i < count; ++i) Append(out, pieces[i]);
}
