// Helpers shared by the platform files only; nothing outside src/platform/
// includes this header.
#pragma once

#include <cstdio>

#include "platform/platform.h"

// Records f as open with stream and as the run's pending output file.
void atomicbegin(atomicfile* f, std::FILE* stream);
// Forgets f as pending once its temporary is committed or removed.
void atomicend(atomicfile* f);
// Copies the two names into f: 0, or ENAMETOOLONG when one does not fit.
int atomicnames(atomicfile* f, const char* path, const char* tmppath);
// Copies path into buf for makedir: one leading '/' skipped, '/' turned into
// sep. A path longer than cap - 1 characters ends the run with the
// create-directory message. Returns the length copied.
std::size_t copydirpath(char* buf, std::size_t cap, const char* path, char sep);
