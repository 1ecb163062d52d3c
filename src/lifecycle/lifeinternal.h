// What the lifecycle files share: the state of one run, record identities,
// the paths of installed files and the comparisons of contents.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "lifecycle/fingerprint.h"
#include "platform/platform.h"
#include "run/run.h"
#include "tree/tree.h"

// The fingerprint of one installed file.
struct fingerprint {
    digest hash;             // of the installed content
    std::int64_t size = 0;   // of the installed file
    std::int64_t mtime = 0;  // nanoseconds
    std::int64_t srcsize = 0;
    std::int64_t srcmtime = 0;
    std::string path;        // relative to the destination; '/' first when absolute
    bool operator==(const fingerprint&) const = default;
};

// The fingerprints by record identity, in the order of manifest.sums, which
// is the order of the trees: the walk looks them up in that order, so the
// next one is tried first and the index is made only for a lookup out of
// order.
struct printtable {
    std::vector<std::pair<std::string, fingerprint>> list;
    std::unordered_map<std::string, std::size_t> index;
    bool indexed = false;
    std::size_t cursor = 0;
};
fingerprint* printfind(printtable* t, const std::string& key);
// The fingerprint of key, made empty when there is none.
fingerprint& printput(printtable* t, const std::string& key);

// A manifest record that the trees cannot hold: its type or its directory
// is gone from the types file.
struct orphan {
    fileinfo* entry;
    const char* typname;     // as the record names it
    const char* ext;         // its ext= value, or null
    bool kept = true;        // still recorded after this run
};

// A record that --prune or --uninstall removes: a file record (its file
// goes when it still holds what was installed) or a link record (only the
// record goes).
struct removal {
    fileinfo* entry;
    orphan* orph;            // the orphan this is, or null for an entry of the trees
    std::optional<fingerprint> fp;  // the fingerprint of its record (a copy: the
                                    // walk may add fingerprints meanwhile)
    std::vector<fingerprint> alt;   // and those of killed runs' journal
    std::string listing;     // its path as the listing shows it
    bool told = true;        // false when its installed path cannot be told
};

// What --verify found for one file.
enum class finding : char { same, missing, modified, outdated, absent, unreadable };

struct lifestate {
    // "manifest.sums": whether it exists, its text as read (LF line ends),
    // and its fingerprints by record identity.
    bool sumspresent = false;
    std::string sumstext;
    printtable sums;
    // "manifest.journal": the fingerprints of copies runs made before they
    // were killed, by record identity. Every killed run since the journal
    // last went appended its own, so a record may have several, and its file
    // is as installed when it matches its fingerprint or any of these. Then
    // the open journal; cut: the journal read does not end with a whole
    // line, fresh: it holds nothing that reads (no version line) and is
    // started anew.
    std::unordered_map<std::string, std::vector<fingerprint>> journal;
    // Records of the journal whose files this run found as their new
    // fingerprints describe them (or changed by someone else): for these the
    // journal has nothing more to tell once manifest.sums is written.
    std::unordered_set<std::string> journaldone;
    bool journalcut = false;
    bool journalfresh = false;
    int journalfd = -1;
    bool keep = false;        // fingerprints are written this run
    bool dirty = false;       // a fingerprint changed, or the file reads badly
    hasher* hash = nullptr;
    // Records the trees cannot hold, set aside.
    std::vector<orphan> orphans;
    // --verify: findings of the walked files with their listing paths (only
    // differences, unless every file is listed).
    std::unordered_map<const fileinfo*, std::pair<finding, std::string>> findings;
    int checked = 0;
    int differ = 0;
    // --update, --prune, --uninstall.
    int replaced = 0;
    int keptfiles = 0;        // changed files not removed
    std::vector<removal> removals;             // planned before the walk
    std::unordered_set<const fileinfo*> gone;  // records removed this run
    std::vector<std::string> gonepkgs;         // packages of removed records
    bool removedall = false;  // --uninstall removed every record
};

lifestate* lifeof(runstate* rs);
const lifestate* lifeof(const runstate* rs);

// Calls f for every entry of the relative tree, then of the absolute one.
template <typename F>
void foreachtreeentry(const runstate* rs, F f) {
    foreachentry(rs->dirtree, f);
    foreachentry(rs->roottree, f);
}

// ---- record identities and paths (sums.cpp, paths.cpp) -------------------

// The identity of a record: its type name, its dst= value, its name and its
// ext= value (ext absent and empty differ).
std::string recordkey(const fileinfo* e, const char* typname, const char* ext);
std::string recordkey(const fileinfo* e);
void recordkey(std::string* key, const fileinfo* e, const char* typname, const char* ext);

// A fingerprint line whose names could lead outside the destination.
struct sumsunsafe {
    unsigned line = 0;
    const char* why = nullptr;  // null when every line is safe
    std::string value;          // the refused path or name
};
// Reads the lines of text into sums: 0, or the number of the first line
// that does not read. A line that reads but is unsafe stops the reading
// and is described in *unsafe (0 is returned then).
unsigned parsesums(const std::string& text, printtable* sums, sumsunsafe* unsafe);
void loadsums(runstate* rs, lifestate* ls);
// Appends one line of manifest.sums (and of the journal) to out.
void sumsline(std::string* out, const std::string& key, const fingerprint& fp);
// The journal's fingerprints of key at the relative path rel.
std::vector<fingerprint> journalprints(const lifestate* ls, const std::string& key,
                                       const std::string& rel);
// Whether the file at destpath (status st) holds what fp (when not null) or
// one of alt describes; the file is read at most once.
bool asinstalled(const fingerprint* fp, const std::vector<fingerprint>& alt, const char* destpath,
                 const statinfo& st);
void writesums(runstate* rs, lifestate* ls);
// Appends text, lines of fingerprints, to the journal: its descriptor, or -1
// when there are none or it cannot be written.
int writejournal(runstate* rs, lifestate* ls, std::string text);
// Closes the journal and removes it.
void removejournal(runstate* rs, lifestate* ls);

// The path of an installed file relative to the destination ('/' first for
// an absolute entry) from its path as used on disk.
std::string relativepath(const runstate* rs, const fileinfo* e, const char* diskpath);
void relativepath(std::string* out, const runstate* rs, const fileinfo* e, const char* diskpath);
// The path as the listing shows it, from a relative one.
std::string listingpath(const runstate* rs, const std::string& rel);
// The path as used on disk (a leading '/' dropped) from a listing path.
const char* diskpath(const std::string& listing);
// The listing path of a file or link entry of the trees, composed as the
// install walk composes it (with temp, its temporary name); false when it
// does not fit.
bool treepath(const runstate* rs, const fileinfo* e, std::string* out, bool temp = false);
// The package directory an entry is installed below ("" for none).
const char* packagedir(const runstate* rs, const fileinfo* e);
// The relative directory of an entry of the trees: its parent's path.
std::string reldirectory(const fileinfo* e);

// The listing path of an orphan's file: from its fingerprint, else from
// its record; false when it cannot be told.
bool orphanpath(const runstate* rs, lifestate* ls, const orphan& o, std::string* out);

// ---- contents (compare.cpp) -----------------------------------------------

// A file read from its start in chunks; read errors end the run.
struct reader {
    int fd;
    const char* path;
};
// A file opened for reading; closed when it goes out of scope.
struct openfile {
    reader r;
    explicit openfile(const char* path) : r{openread(path), path} {}
    ~openfile() {
        if (r.fd >= 0) closefd(r.fd);
    }
    bool ok() const { return r.fd >= 0; }
};
// The hash of the rest of an open file.
digest hashrest(const reader& r);
// Whether the file at path holds exactly text.
bool sameastext(const char* path, const char* text, std::size_t len);
// Whether the file at path holds exactly what r holds from its start; the
// hash of r's content is stored in *d when they are the same.
bool sameasreader(const char* path, const reader& r, digest* d);

// Whether the installed file at diskpath (status st) still holds what was
// installed: by its fingerprint when it has one, else by what would be
// installed now from the record's source directory (ext: the ext= value of a
// record whose type is gone). False when that cannot be told.
// alt: the fingerprints killed runs' journal holds, which count too.
bool stillinstalled(runstate* rs, const fileinfo* e, const char* ext, const fingerprint* fp,
                    const char* diskpath, const statinfo& st, const std::vector<fingerprint>& alt);

// ---- removal (remove.cpp) and report (verify.cpp) -------------------------

void planremovals(runstate* rs, lifestate* ls);
void removerecords(runstate* rs, lifestate* ls);
void removeoutputs(runstate* rs, lifestate* ls);
void verifyreport(runstate* rs, lifestate* ls);

// Whether an entry was read from the previous manifest (merged or not).
bool recorded(const runstate* rs, const fileinfo* e);
// A file entry: it has a type of files.
bool isfile(const fileinfo* e);

