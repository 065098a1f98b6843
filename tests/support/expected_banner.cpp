#include "expected_banner.h"

#include <cpuid.h>

#include <cstring>

std::string ExpectedBanner() {
  char brand[49] = {};
  for (unsigned i = 0; i < 3; ++i) {
    unsigned registers[4];
    __cpuid(0x80000002u + i, registers[0], registers[1], registers[2], registers[3]);
    std::memcpy(brand + 16 * i, registers, 16);
  }
  std::string banner(brand);
  banner.erase(0, banner.find_first_not_of(' '));
  if (banner.empty() || static_cast<unsigned char>(banner[0]) < 0x20) banner = "pre-P4";
  unsigned eax, ebx, ecx, edx;
  __cpuid(1, eax, ebx, ecx, edx);
  const int count =
      !!(edx & (1u << 25)) + !!(edx & (1u << 26)) + !!(ecx & 1u) + !!(ecx & (1u << 9));
  if (count > 0) banner += " (SSE" + std::to_string(count) + ")\r\n";
  return banner;
}
