// The banner this machine's processor should give, worked out from the
// compiler's own <cpuid.h>.
#pragma once

#include <string>

std::string ExpectedBanner();
