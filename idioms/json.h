// The figures as JSON (docs/idioms.md describes the format), and writing
// them to a file whole or not at all.
#pragma once

#include <signal.h>
#include <stddef.h>
#include <stdio.h>

#include "analysis.h"
#include "results.h"

// The format's name and version, the record's first member.
extern const char kJsonFormat[];

void WriteJson(FILE* out, const Results& results, const Analysis& analysis);

// Whether path can be written safely: it names a regular file or nothing, in
// a directory that exists and can be written. If not, one line in error.
bool CheckOutputPath(const char* path, char* error, size_t error_size);

// Writes the JSON to a temporary file beside path (beside the file a symlink
// names) and renames it over path, with the existing file's mode or the one
// the umask gives a new file. Leaves nothing behind on failure, or when
// *stop is set before the rename. If it fails, one line in error.
bool SaveJson(const char* path, const Results& results, const Analysis& analysis,
              const volatile sig_atomic_t* stop, char* error, size_t error_size);
