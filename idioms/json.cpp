#include "json.h"

#include <errno.h>
#include <limits.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "report.h"

const char kJsonFormat[] = "zerobench-idioms/1";

namespace {

// A string as JSON: quotes, backslashes and control bytes escaped, and every
// byte above 0x7f taken as the Latin-1 character it codes, so that any brand
// text is valid UTF-8.
void WriteString(FILE* out, const char* text) {
  fputc('"', out);
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != '\0'; ++p) {
    if (*p == '"' || *p == '\\') {
      fprintf(out, "\\%c", *p);
    } else if (*p < 0x20 || *p > 0x7e) {
      fprintf(out, "\\u%04x", *p);
    } else {
      fputc(*p, out);
    }
  }
  fputc('"', out);
}

// A number with `decimals` decimals; JSON has no NaN or infinity.
void WriteNumber(FILE* out, double value, int decimals) {
  if (isfinite(value)) {
    fprintf(out, "%.*f", decimals, value);
  } else {
    fputs("null", out);
  }
}

void WriteBool(FILE* out, bool value) { fputs(value ? "true" : "false", out); }

void WriteFlags(FILE* out, const Results& results) {
  const Features& features = results.features;
  fprintf(out, "  \"flags\": {\"ERMS\": ");
  WriteBool(out, features.erms);
  fprintf(out, ", \"FSRM\": ");
  WriteBool(out, features.fsrm);
  fprintf(out, ", \"FSRS\": ");
  WriteBool(out, features.fsrs);
  fprintf(out, ", \"AVX2\": ");
  WriteBool(out, features.avx2);
  fprintf(out, ", \"AVX-512F\": ");
  WriteBool(out, features.has[kFlagAvx512f] || features.os_lacks[kFlagAvx512f]);
  fprintf(out, ", \"CLZERO\": ");
  WriteBool(out, features.has[kFlagClzero]);
  fprintf(out, "},\n  \"switched_off\": [");
  const char* separator = "";
  for (int flag = 0; flag < kFlagCount; ++flag) {
    if (!results.switched_off[flag]) continue;
    fprintf(out, "%s", separator);
    WriteString(out, FlagOption(Flag(flag)));
    separator = ", ";
  }
  fprintf(out, "],\n");
}

void WriteClock(FILE* out, const Results& results) {
  const Reading& reading = results.clock.reading;
  fprintf(out, "  \"clock\": {\"cycles_per_tick\": ");
  WriteNumber(out, reading.Mean(), 6);
  fprintf(out, ", \"tick_hz\": ");
  WriteNumber(out, results.clock.tick_hz, 0);
  fprintf(out, ", \"core_hz\": ");
  WriteNumber(out, reading.Mean() * results.clock.tick_hz, 0);
  fprintf(out, ", \"add\": ");
  WriteNumber(out, reading.add, 6);
  fprintf(out, ", \"imul\": ");
  WriteNumber(out, reading.imul, 6);
  fprintf(out, ", \"trusted\": ");
  WriteBool(out, results.clock.verdict == Verdict::kTrusted);
  fprintf(out, "},\n");
}

// A figure's median and quartiles, in ticks and in core cycles.
void WriteFigure(FILE* out, const Results& results, const Figure& figure) {
  const double ticks[3] = {figure.ticks, figure.ticks_q1, figure.ticks_q3};
  const char* const names[3] = {"", "_q1", "_q3"};
  fprintf(out, "\"passes\": %u", (unsigned)figure.passes);
  for (int i = 0; i < 3; ++i) {
    fprintf(out, ", \"ticks%s\": ", names[i]);
    WriteNumber(out, ticks[i], 4);
  }
  for (int i = 0; i < 3; ++i) {
    fprintf(out, ", \"cycles%s\": ", names[i]);
    WriteNumber(out, Cycles(results, ticks[i]), 4);
  }
}

void WriteCalibration(FILE* out, const Results& results, const Analysis& analysis) {
  fprintf(out, "  \"calibration\": [\n");
  for (int i = 0; i < kCalibrations; ++i) {
    fprintf(out, "    {\"adds\": %d, ", kCalibrationAdds[i]);
    WriteFigure(out, results, results.calibration[i]);
    fprintf(out, ", \"within\": ");
    WriteBool(out, analysis.calibration_within[i]);
    fprintf(out, "}%s\n", i + 1 < kCalibrations ? "," : "");
  }
  fprintf(out, "  ],\n");
}

void WriteIdioms(FILE* out, const Results& results) {
  fprintf(out, "  \"idioms\": [\n");
  for (int i = 0; i < kIdiomCount; ++i) {
    const IdiomResult& idiom = results.idioms[i];
    fprintf(out, "    {\"name\": ");
    WriteString(out, kIdioms[i].name);
    fprintf(out, ", \"reference\": ");
    WriteBool(out, kIdioms[i].reference);
    fprintf(out, ", \"skipped\": ");
    if (idiom.skipped) {
      WriteString(out, idiom.why);
    } else {
      fputs("null", out);
    }
    fprintf(out, ", \"figures\": [");
    for (int size = 0; !idiom.skipped && size < results.size_count; ++size) {
      fprintf(out, "%s\n      {\"size\": %u, ", size ? "," : "", (unsigned)results.sizes[size]);
      WriteFigure(out, results, idiom.figures[size]);
      fprintf(out, "}");
    }
    fprintf(out, "%s]}%s\n", idiom.skipped ? "" : "\n    ", i + 1 < kIdiomCount ? "," : "");
  }
  fprintf(out, "  ]\n");
}

// The file path names: itself where it exists (through symlinks), else its
// name in its directory's real path. False where neither resolves.
bool ResolveTarget(const char* path, char* target) {
  if (realpath(path, target) != nullptr) return true;
  const char* slash = strrchr(path, '/');
  const char* name = slash ? slash + 1 : path;
  if (errno != ENOENT || *name == '\0' || strlen(path) >= PATH_MAX) return false;
  char directory[PATH_MAX] = ".";
  if (slash == path) {
    strcpy(directory, "/");
  } else if (slash != nullptr) {
    memcpy(directory, path, size_t(slash - path));
    directory[slash - path] = '\0';
  }
  char real[PATH_MAX];
  if (realpath(directory, real) == nullptr) return false;
  const char* joint = strcmp(real, "/") == 0 ? "" : "/";
  return snprintf(target, PATH_MAX, "%s%s%s", real, joint, name) < PATH_MAX;
}

// The directory part of a resolved target.
void DirectoryOf(const char* target, char* directory) {
  const char* slash = strrchr(target, '/');
  const size_t length = slash == target ? 1 : size_t(slash - target);
  memcpy(directory, target, length);
  directory[length] = '\0';
}

// The mode the file is written with: the existing file's, or 0666 less the umask.
mode_t FileMode(const char* target) {
  struct stat found;
  if (stat(target, &found) == 0) return found.st_mode & 07777;
  const mode_t mask = umask(022);
  umask(mask);
  return 0666 & ~mask;
}

}  // namespace

void WriteJson(FILE* out, const Results& results, const Analysis& analysis) {
  fprintf(out, "{\n  \"format\": \"%s\",\n", kJsonFormat);
  fprintf(out, "  \"program\": {\"version\": \"%s\", \"mode\": \"%s\"},\n", ZEROBENCH_VERSION,
          kMode);
  fprintf(out, "  \"banner\": ");
  WriteString(out, results.banner);
  fprintf(out, ",\n  \"cpu\": %llu,\n", (unsigned long long)results.cpu);
  WriteFlags(out, results);
  WriteClock(out, results);
  WriteCalibration(out, results, analysis);
  fprintf(out, "  \"trusted\": ");
  WriteBool(out, analysis.trusted);
  fprintf(out, ",\n  \"untrusted_because\": ");
  if (analysis.trusted) {
    fputs("null", out);
  } else {
    char why[512];
    WhyUntrusted(results, analysis, why, sizeof why);
    WriteString(out, why);
  }
  fprintf(out, ",\n  \"method\": {\"copies\": [%d, %d], \"rounds\": %d, \"figure\": \"median\"},\n",
          COPIES_SINGLE, COPIES_DOUBLE, kRounds);
  fprintf(out, "  \"misalign\": %u,\n  \"sizes\": [", (unsigned)results.misalign);
  for (int size = 0; size < results.size_count; ++size)
    fprintf(out, "%s%u", size ? ", " : "", (unsigned)results.sizes[size]);
  fprintf(out, "],\n");
  WriteIdioms(out, results);
  fprintf(out, "}\n");
}

bool CheckOutputPath(const char* path, char* error, size_t error_size) {
  char target[PATH_MAX], directory[PATH_MAX];
  if (!ResolveTarget(path, target)) {
    snprintf(error, error_size, "--json %s: no such directory", path);
    return false;
  }
  struct stat found;
  if (stat(target, &found) == 0 && !S_ISREG(found.st_mode)) {
    const char* kind = S_ISDIR(found.st_mode)    ? "a directory"
                       : S_ISFIFO(found.st_mode) ? "a FIFO"
                       : S_ISSOCK(found.st_mode) ? "a socket"
                                                 : "a device";
    snprintf(error, error_size, "--json %s: is %s, not a regular file", path, kind);
    return false;
  }
  DirectoryOf(target, directory);
  if (access(directory, W_OK | X_OK) != 0) {
    snprintf(error, error_size, "--json %s: directory %s cannot be written (%s)", path, directory,
             strerror(errno));
    return false;
  }
  return true;
}

bool SaveJson(const char* path, const Results& results, const Analysis& analysis,
              const volatile sig_atomic_t* stop, char* error, size_t error_size) {
  char target[PATH_MAX], temporary[PATH_MAX];
  if (!ResolveTarget(path, target)) {
    snprintf(error, error_size, "--json %s: no such directory", path);
    return false;
  }
  DirectoryOf(target, temporary);
  const size_t length = strlen(temporary);
  snprintf(temporary + length, sizeof temporary - length, "%s.zerobench-idioms-XXXXXX",
           strcmp(temporary, "/") == 0 ? "" : "/");
  const int fd = mkstemp(temporary);
  if (fd < 0) {
    snprintf(error, error_size, "--json %s: %s", path, strerror(errno));
    return false;
  }
  FILE* out = fdopen(fd, "w");
  if (out == nullptr) {
    const int why = errno;
    close(fd);
    unlink(temporary);
    snprintf(error, error_size, "--json %s: %s", path, strerror(why));
    return false;
  }
  WriteJson(out, results, analysis);
  bool written =
      !ferror(out) && fflush(out) == 0 && fchmod(fd, FileMode(target)) == 0 && fsync(fd) == 0;
  int why = errno;
  if (fclose(out) != 0 && written) {
    written = false;
    why = errno;
  }
  if (written && !*stop) {
    if (rename(temporary, target) == 0) return true;
    why = errno;
  }
  unlink(temporary);
  if (!*stop) snprintf(error, error_size, "--json %s: %s", path, strerror(why));
  return false;
}
