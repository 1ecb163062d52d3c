// Installer: installed names, directories, copies, links and the walk.
#pragma once

#include <cstddef>

struct runstate;
struct fileinfo;

// First character ('.') of the version part of entry's name, or null.
const char* findversion(const fileinfo* entry);
// Composes a path into buffer; the formatter's result (negative or >=
// capacity when it does not fit).
int composepath(char* buffer, std::size_t capacity, const fileinfo* entry, const char* base,
                const char* pkgdir, std::size_t rellen, const char* reltext, const char* tag,
                std::size_t stemlen, const char* version);
// Copies the open source to destpath through the temporary temppath:
// 1 written, 0 left alone; failures end the run.
int copyfile(runstate* rs, int sourcefd, const char* sourcepath, const char* temppath,
             const char* destpath, fileinfo* entry);
// Walks from start (its later siblings and what lies below them).
void installwalk(runstate* rs, fileinfo* start, const char* reltext, std::size_t rellen);
// Walks the deferred link entries of the retry list, each with its own
// relative directory and only what lies below it.
void retrywalk(runstate* rs);
