// Destination trees and the input-file stage.
#pragma once

#include <cstddef>
#include <cstdint>

#include "text/text.h"

struct runstate;
struct filetype;
struct sibindex;  // ordered index beside a sibling list (tree.cpp)

// One destination entry: a file, directory, link or copy.
struct fileinfo {
    fileinfo* next;        // next entry of the same sibling list
    fileinfo* child;       // first entry inside this one
    fileinfo* parent;      // entry whose list this is in; null at top level
    fileinfo* resume;      // install walk bookkeeping
    filetype* ftype;       // null for link and copy entries
    char* dstpath;         // directory part: first dstlen bytes count
    char* name;            // last component, NUL-terminated
    char* existing;        // link target or copy source, else null
    char* pkgname;
    char* srcdir;          // source directory the file was found in
    char* basedir;         // working directory of the run that made it
    std::uint32_t dstlen;
    std::uint32_t namelen;
    flagword flags;
    fileinfo* retrynext;   // link of the retry list (never next)
    sibindex* kids;        // index of the child list, made on demand
};

// Points the entry's name at the last component of path (len bytes) and its
// directory part at what comes before the last '/' ("/" itself for a path
// right under the root, length 0 for a bare name).
void splitpath(fileinfo* f, char* path, std::size_t len);
// Places finfo into its tree, merges it into an equal manifest entry (finfo
// is then freed) or ends the run on a conflict. Sibling lists are ordered by
// name, a shorter name before a longer one it begins, then by suffix, both
// with ASCII letters folded to lower case.
void insertentry(runstate* rs, fileinfo* finfo);
// True when every directory of finfo's path is in its tree, so that
// insertentry would place it; nothing is placed or reported.
bool hasdirectories(runstate* rs, const fileinfo* finfo);
// Sibling order: negative, 0 or positive (the order of the sort keys).
int compareentries(const fileinfo* a, const fileinfo* b);
// Listing of a list and everything below it on standard output.
void dumptree(const fileinfo* first, int depth);
// Listing of one entry and everything below it (not its later siblings).
void dumpentry(const fileinfo* entry, int depth);

// Byte-order comparison of two references to package names (qsort and
// bsearch elements): -1, 0 or 1.
int pkgcmp(const void* str1, const void* str2);
// True when the package list of the run (-l) is empty or names pkg.
bool packagewanted(const runstate* rs, const char* pkg);
// True when this run's patch (-P) and package list (-l) take the entry in:
// the input stage skips the lines they leave out, and the records they leave
// out are kept as they are.
bool inscope(const runstate* rs, const fileinfo* e);

// Calls f for first, everything below it and its later siblings (and what
// lies below them), depth first in tree order, without recursion.
template <typename Entry, typename F>
void foreachentry(Entry* first, F f) {
    Entry* e = first;
    while (e != nullptr) {
        f(e);
        if (e->child != nullptr) {
            e = e->child;
            continue;
        }
        while (e != nullptr && e->next == nullptr) e = e->parent;
        if (e != nullptr) e = e->next;
    }
}
