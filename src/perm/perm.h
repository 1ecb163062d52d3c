// Permission files: one "perm." script per package.
#pragma once

#include <cstdio>

struct runstate;
struct fileinfo;

// The permission file being written: its package, its stream and the
// destination named in an overflow message.
struct permfile {
    const char* pkg;
    std::FILE* out;
    const char* destdir;
};

void writepermfiles(runstate* rs);
// Writes the records of pf's package found in the lists (and below them).
void writeperms(const permfile& pf, fileinfo* list1, fileinfo* list2, fileinfo* list3);
