// The report on standard output: rendered from the results and their
// analysis, measuring nothing.
#pragma once

#include <stdio.h>

#include "analysis.h"
#include "results.h"

// The build: "x86-64" or "IA-32".
extern const char kMode[];

void PrintReport(FILE* out, const Results& results, const Analysis& analysis);
