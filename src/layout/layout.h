// Where the tool writes: every path a run writes, renames or removes is
// composed here (installed files, their temporaries, sources, the tool's own
// files in the destination), and every name or path read back from the
// tool's state ("manifest.txt", "manifest.sums") is checked here before it
// is used to compose one.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

struct fileinfo;
struct runstate;
struct atomicfile;

// The tag every temporary name carries, spelled once: a copy's temporary is
// its installed name with the tag after the stem ("fileTMPZ.txt"); the
// tool's own files put it after their stem too ("manifestTMPZ.txt").
constexpr std::string_view TEMPTAG = "TMPZ";

// Where an entry is placed: the base directory (null for none, "" for the
// root of an absolute entry), the package directory ("" for none), the
// relative directory, and the version part of its name (a pointer into the
// name, a shortened copy for the version links, or null). stemlen, when not
// 0, is the length of the name in front of the version part.
struct placement {
    const char* base = nullptr;
    const char* pkgdir = "";
    std::string_view rel{};  // {}: designated initializers may leave it out
    const char* version = nullptr;
    std::size_t stemlen = 0;
};

// First character ('.') of the version part of entry's name, or null.
const char* findversion(const fileinfo* entry);

// The installed path of e placed at p into buf; the formatter's result
// (negative or >= cap when it does not fit).
int installedpath(char* buf, std::size_t cap, const fileinfo* e, const placement& p);
// Its temporary name: the installed name with the temporary tag.
int temporarypath(char* buf, std::size_t cap, const fileinfo* e, const placement& p);
// The path of e's source in the source directory srcdir.
int sourcepath(char* buf, std::size_t cap, const fileinfo* e, const char* srcdir,
               const char* version);
// "<path>.new": where --update puts the new content of a file changed since
// it was installed (path a file's installed or temporary name). Its length,
// or -1 when it does not fit.
int besidepath(char* buf, std::size_t cap, const char* path);
// "<destdir>/<pkg>": a package directory.
int packagepath(char* buf, std::size_t cap, const char* destdir, const char* pkg);

// The tool's own files in the destination directory.
enum class ownfile { manifest, sums, perm, lock, journal, inuse };
// "<destdir>/<name>" without a leading '/' (an empty destination is the
// working directory, never the root), pkg naming the package of a
// permission script; temp gives its temporary name. Its length, or -1 when
// it does not fit.
int ownpath(char* buf, std::size_t cap, const char* destdir, ownfile which,
            const char* pkg = nullptr, bool temp = false);

// ---- checks of names and paths read from the tool's state -----------------

// What a field of a record holds.
enum class fieldkind {
    name,     // one name: nam=, and ext= (which may be empty)
    package,  // pkg=: one name, or a name beginning with '-' (no package)
    path,     // dst= and a fingerprint's path: names joined by '/', one
              // leading '/' marking an entry of the absolute tree
};
// Null when value may stand in such a field, else why it may not: an
// empty name, ".", "..", a drive letter or a name the host reserves (in a
// path, empty and "." components are left out: they stay where they are).
const char* fieldproblem(fieldkind kind, std::string_view value);

// Opens f for path under the temporary name tmppath, or under tmppath with a
// counter when an entry of the trees installs that name or something other
// than a leftover temporary stands there. 0 or the error number.
int opentemp(runstate* rs, atomicfile* f, const char* path, const char* tmppath, bool text);
