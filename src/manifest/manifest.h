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
// One record: ext= and typ= are written when ext and typname are not null.
void writerecord(std::FILE* stream, const fileinfo* finfo, const char* ext, const char* typname);
// Records of first, what lies below it and its later siblings: 0 or -1.
int writeentries(std::FILE* stream, fileinfo* first);
// The same for a package-mode run: a typed entry of a package beginning with
// '-' that the walk skipped (so it has no source directory) is written
// without src= instead of failing.
int writeentries(std::FILE* stream, fileinfo* first, bool pkgmode);
void readmanifest(runstate* rs);
void finishentry(runstate* rs, const char* path, unsigned lineno, fileinfo* entry,
                 const char* ext);
