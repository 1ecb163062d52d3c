// Types file: the type record and table, the types-file pass with included
// settings files, "set" lines and the default owners and groups.
#pragma once

#include <cstdint>
#include <string_view>

#include "text/text.h"

struct runstate;
struct listing;

// One defined type; texts point into loaded files or substitution results.
struct filetype {
    filetype* next;            // next type in the same typetab bucket
    const char* typename_;     // the type's name ("dir" for dir lines)
    const char* suffix;        // win32 suffix without its '#', or null
    const char* dirpath;
    const char* owner;
    const char* group;
    const char* ownertok;
    const char* grouptok;
    std::int32_t typenamelen;
    std::int32_t dirpathlen;
    std::int32_t ownerlen;
    std::int32_t grouplen;
    flagword flags;
    std::int32_t uid;
    std::int32_t gid;
    std::uint32_t mode;
    // Beyond the record's classic fields, kept by addtype for the chain's index.
    std::uint64_t namehash;    // seeded hash of the name
    std::uint32_t depth;       // types in the chain from this one on
    chainindex<filetype>* index;  // the chain's index once it is long (used at its head)
};

// The listing line of an entry of type t: its owner, group and mode, or "-",
// "-" and 0 when t is null (links, with their target, and entries without a
// type).
listing typelisting(char status, char kind, const filetype* t, std::string_view path,
                    const char* existing = nullptr);

// Pushes a "file" type on the head of its typetab bucket.
void addtype(runstate* rs, filetype* type);
// First type of that exact name, or null.
filetype* findtype(runstate* rs, const char* name);

// A "set" line's text (after the keyword) up to lineend.
void parseassign(runstate* rs, char* text, char* lineend, const char* kind,
                 const char* filename, unsigned lineno);
void resolveids(runstate* rs);
