// On Windows the calls in platform.h are the system's own (kernel32.dll and
// msvcrt.dll); platform.h includes their headers, and nothing is defined here.
#include "platform/platform.h"
