#include "options.h"

#include <sched.h>
#include <stdio.h>
#include <string.h>

const char kUsage[] =
    "usage: zerobench-idioms [--sizes N,N,...] [--misalign N] [--without FLAG]... [--cpu N] "
    "[--json FILE]";

namespace {

const uint32_t kDefaultSizes[] = {16, 64, 128, 400, 1024, 4096};

// A whole decimal number of digits only, at most `most`; `end` is where it
// stops (a NUL, or the comma of a list).
bool ParseNumber(const char* text, char end, uint64_t most, uint64_t* value, const char** after) {
  uint64_t number = 0;
  const char* p = text;
  for (; *p != end && *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    number = number * 10 + uint64_t(*p - '0');
    if (number > most) return false;
  }
  if (p == text) return false;
  *value = number;
  *after = p;
  return true;
}

bool ParseWhole(const char* text, uint64_t most, uint64_t* value) {
  const char* after;
  return ParseNumber(text, '\0', most, value, &after) && *after == '\0';
}

// Sorts a few sizes in place.
void SortSizes(uint32_t* sizes, int count) {
  for (int i = 1; i < count; ++i) {
    for (int j = i; j > 0 && sizes[j - 1] > sizes[j]; --j) {
      uint32_t size = sizes[j];
      sizes[j] = sizes[j - 1];
      sizes[j - 1] = size;
    }
  }
}

bool ParseSizes(const char* text, Options* options, char* error, size_t error_size) {
  options->size_count = 0;
  for (const char* p = text;;) {
    uint64_t size;
    const char* after;
    if (!ParseNumber(p, ',', kLargestSize, &size, &after) || size == 0 || size % kSizeStep != 0) {
      snprintf(error, error_size,
               "--sizes takes a comma-separated list of multiples of 16 bytes up to %u, not %s",
               (unsigned)kLargestSize, text);
      return false;
    }
    for (int i = 0; i < options->size_count; ++i) {
      if (options->sizes[i] == size) {
        snprintf(error, error_size, "--sizes names %llu twice", (unsigned long long)size);
        return false;
      }
    }
    if (options->size_count == kMostSizes) {
      snprintf(error, error_size, "--sizes takes at most %d sizes", kMostSizes);
      return false;
    }
    options->sizes[options->size_count++] = uint32_t(size);
    if (*after == '\0') break;
    p = after + 1;
  }
  SortSizes(options->sizes, options->size_count);
  return true;
}

bool ParseFlag(const char* text, Options* options, char* error, size_t error_size) {
  const char* name = strcmp(text, "avx512") == 0 ? "avx512f" : text;
  for (int flag = 0; flag < kFlagCount; ++flag) {
    if (strcmp(name, FlagOption(Flag(flag))) == 0) {
      options->switched_off[flag] = true;
      return true;
    }
  }
  snprintf(error, error_size, "--without takes sse2, avx, avx512f (or avx512) or clzero, not %s",
           text);
  return false;
}

}  // namespace

bool ParseOptions(int argc, char** argv, Options* options, char* error, size_t error_size) {
  *options = Options{};
  options->size_count = int(sizeof kDefaultSizes / sizeof kDefaultSizes[0]);
  memcpy(options->sizes, kDefaultSizes, sizeof kDefaultSizes);
  for (int i = 1; i < argc; ++i) {
    const char* option = argv[i];
    if (strcmp(option, "--help") == 0) {
      options->help = true;
      continue;
    }
    const bool known = strcmp(option, "--sizes") == 0 || strcmp(option, "--misalign") == 0 ||
                       strcmp(option, "--without") == 0 || strcmp(option, "--cpu") == 0 ||
                       strcmp(option, "--json") == 0;
    if (!known) {
      snprintf(error, error_size, "unknown argument %s", option);
      return false;
    }
    if (i + 1 == argc) {
      snprintf(error, error_size, "%s needs a value", option);
      return false;
    }
    const char* value = argv[++i];
    uint64_t number;
    if (strcmp(option, "--sizes") == 0) {
      if (!ParseSizes(value, options, error, error_size)) return false;
    } else if (strcmp(option, "--misalign") == 0) {
      if (!ParseWhole(value, kMostMisalign, &number)) {
        snprintf(error, error_size, "--misalign takes 0 to %u bytes, not %s",
                 (unsigned)kMostMisalign, value);
        return false;
      }
      options->misalign = uint32_t(number);
    } else if (strcmp(option, "--without") == 0) {
      if (!ParseFlag(value, options, error, error_size)) return false;
    } else if (strcmp(option, "--cpu") == 0) {
      if (!ParseWhole(value, CPU_SETSIZE - 1, &number)) {
        snprintf(error, error_size, "bad CPU number %s", value);
        return false;
      }
      options->pinned = true;
      options->cpu = number;
    } else {
      if (*value == '\0') {
        snprintf(error, error_size, "--json needs a file name, not an empty one");
        return false;
      }
      options->json = value;
    }
  }
  return true;
}
