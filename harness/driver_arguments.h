// The command line both drivers take: [--timeout SECONDS] PROGRAM [ARGUMENT...].
#pragma once

#include <cmath>
#include <cstdlib>
#include <cstring>

// The usage line, after the driver's name.
const char DriverUsage[] =
    "[--timeout SECONDS] PROGRAM [ARGUMENT...]  (SECONDS: a finite number above 0)";

// The index of PROGRAM in argv, with timeoutSeconds set where --timeout gives
// it; 0 for a command line that is not of that form. A time-out is a limit:
// inf, or 1e999 (which strtod reads as inf), would be none.
inline int ProgramArgument(int argc, char** argv, double& timeoutSeconds) {
  if (argc > 1 && std::strcmp(argv[1], "--timeout") == 0) {
    char* end = nullptr;
    if (argc > 2) timeoutSeconds = std::strtod(argv[2], &end);
    if (!end || *end != '\0' || !(timeoutSeconds > 0) || !std::isfinite(timeoutSeconds)) return 0;
    return argc > 3 ? 3 : 0;
  }
  return argc > 1 ? 1 : 0;
}
