// Manifest: writing and reading "manifest.txt" in the destination.
#pragma once

#include <cstdio>

struct runstate;
struct fileinfo;

void writemanifest(runstate* rs);
// Records of first, what lies below it and its later siblings: 0 or -1.
int writeentries(std::FILE* stream, fileinfo* first);
void readmanifest(runstate* rs);
void finishentry(runstate* rs, const char* path, unsigned lineno, fileinfo* entry,
                 const char* ext);
