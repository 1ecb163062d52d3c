// Manifest: writing and reading "manifest.txt" in the destination.
#pragma once

#include <cstdio>

struct runstate;
struct fileinfo;
struct atomicfile;

// Writes "manifest.txt" under its temporary name into f, complete and closed;
// commitmanifest then gives it its name.
void writemanifest(runstate* rs, atomicfile* f);
void commitmanifest(runstate* rs, atomicfile* f);
// Records of first, what lies below it and its later siblings: 0 or -1. In
// package mode a typed entry of a package beginning with '-' that the walk
// skipped (so it has no source directory) is written without src= instead
// of failing.
int writeentries(std::FILE* stream, fileinfo* first, bool pkgmode = false);
void readmanifest(runstate* rs);
