// The banner line: the processor's brand text and its count of SSE flags.
#pragma once

#include <cstdint>

extern "C" {
// CPUID with EAX = leaf (and ECX = 0); out receives EAX, EBX, ECX, EDX.
void ReadCpuid(std::uint32_t leaf, std::uint32_t out[4]);
}

// Bytes of the brand text buffer: 48 from the processor, 32 that stay zero
// so that the text always ends inside the buffer.
const int BrandTextSize = 80;

// Bytes of the banner's text: the brand (at most 48), " (SSE", the count,
// ")\r\n", its NUL, and the bytes TextLength may read behind the NUL.
const int BannerTextSize = 80;

// Reads the brand text and the SSE flags from the processor and prints the
// banner.
void ShowProcessor();

// Reads the brand text and the SSE flags from the processor and writes the
// banner that ShowProcessor prints into out (BannerTextSize bytes).
void ReadBanner(char* out);

// Prints the banner for a brand text buffer of BrandTextSize bytes and a
// count of SSE flags (0 to 4).
void PrintBanner(const char* brandText, int sseCount);

// Writes the banner that PrintBanner prints into out (BannerTextSize bytes).
void FormatBanner(const char* brandText, int sseCount, char* out);
