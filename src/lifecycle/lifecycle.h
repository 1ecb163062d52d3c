// Keeping a destination in step: fingerprints of installed files
// ("manifest.sums") and the options --update, --verify, --prune and
// --uninstall. The driver, the copy and the manifest stages call these
// seams (the copy through one question and one report); what happens at
// each is decided here.
#pragma once

#include <cstddef>
#include <cstdio>
#include <vector>

#include "lifecycle/fingerprint.h"
#include "platform/platform.h"

struct runstate;
struct fileinfo;
struct runmode;

// What stands at a file entry's destination path.
struct destination {
    bool exists = false;
    int error = 0;  // why its status could not be read
    statinfo status;
};

// ---- driver ---------------------------------------------------------------

// Ends the run with a message when the options cannot be used together.
void lifecheckoptions(const runstate* rs);
// After the input stage: reads "manifest.sums" and, for --prune and
// --uninstall, refuses a record whose file lies outside the destination
// before anything is written.
void lifeprepare(runstate* rs);
// After the install walk: the --verify report, the removals of --prune and
// --uninstall. Sets rs->changed when the manifest must be written.
void lifeafterwalk(runstate* rs);
// Whether the permission scripts are written after this run's walk.
bool lifewritesperms(const runstate* rs);
// After the manifest and the permission scripts: "manifest.sums", and what
// --uninstall and --prune remove of the tool's own files.
void lifeoutputs(runstate* rs);
// A run that fails: the fingerprints of the files it wrote are written.
void lifeonfailure(runstate* rs);
// The exit status of a complete run: 0, or 2 when --verify found a
// difference or a changed file was kept.
int lifestatus(const runstate* rs);

// ---- the copy ------------------------------------------------------------

// What the copy does with one file's destination.
enum class copyaction {
    leave,    // it stays as it is
    write,    // it does not exist: the file is written
    replace,  // it differs from what would be installed now: it is replaced
              // (--update; with -n, to be replaced)
    would,    // it does not exist, and nothing is written (-n with --update, --verify)
    beside,   // it changed since it was installed: it stays, and the new
              // content goes beside it ("<name>.new"), warned about (--update)
    look,     // its source's status does not tell: the content must be read
};
// The facts the decision rests on.
struct copyfacts {
    bool exists;   // something stands at the destination
    bool isfile;   // a file or a link (not a directory)
    bool differs;  // its content differs from what would be installed now
    bool edited;   // it changed since it was installed (never with --force)
};
// What becomes of a destination in a run of mode: the rules of a plain run,
// -n, --update and --verify (which only reports).
copyaction decidecopy(const runmode& mode, const copyfacts& facts);

// What --prune and --uninstall do with one file record.
enum class pruneaction {
    remove,  // its file still holds what was installed: file and record go
    gone,    // nothing stands there any more: the record goes
    drop,    // an entry of this run installs the same path: the record goes,
             // the file stays
    keep,    // what stands there is not what was installed (or the record
             // names no path): both stay, with a warning
    warn,    // what stands there cannot be examined: both stay, with a warning
};
// The facts the decision rests on, each looked at only when the ones before
// leave the outcome open.
struct prunefacts {
    bool told = false;         // the record names a path
    bool reinstalled = false;  // an entry of this run installs that path
    int err = 0;               // examining the path: 0, else the error number
    char kind = 0;             // what stands there (statinfo kind)
    bool matches = false;      // a file there matches its fingerprint (or,
                               // without one, its source)
};
pruneaction decideprune(const prunefacts& facts);

// The copy's one question about a file: its entry, its destination path (as
// the file calls take it) and what stands there, and its source: its status
// (null while the destination is missing), its content when that was read
// (open as srcfd at its start; or, substituted, the expansion text), else
// srcfd -1 and text null. The source's offset is left anywhere.
struct copyquestion {
    const fileinfo* entry;
    const char* destpath;
    const destination* dst;
    const statinfo* src = nullptr;
    int srcfd = -1;
    const char* srcpath = nullptr;
    const char* text = nullptr;
    std::size_t textlen = 0;
};
// The answer, with the hash to compute of what is then written (null when
// no fingerprint is kept or nothing is written). --verify notes its finding
// here and leaves the file.
struct copyanswer {
    copyaction action;
    hasher* hash;
};
copyanswer lifeask(runstate* rs, const copyquestion& q);

// A finished copy: its entry, its name, the hash of its content, the status
// of its temporary (of a copy about to be named) and of its source.
struct copydone {
    const fileinfo* entry;
    const char* destpath;
    digest hash;
    statinfo tmp;
    statinfo src;
};
// The one result the copy reports, batch by batch: the copies that took
// their names since the last report, whose fingerprints are kept, and the
// batch about to be flushed and named, whose fingerprints are appended
// first to the journal beside the manifest ("manifest.journal"): a run
// killed after that knows them as its own.
struct copyreport {
    std::vector<copydone> named;
    std::vector<copydone> coming;
};
// The journal's descriptor, to be flushed with the coming batch, or -1 when
// nothing was written.
int lifecopied(runstate* rs, const copyreport& r);

// ---- manifest -------------------------------------------------------------

// Whether records the trees cannot hold are kept aside instead of ending the
// run (--prune, --uninstall, --verify).
bool lifetakesorphans(const runstate* rs);
// A complete record about to be placed into the trees: true when it was
// kept aside instead (unknowntype: the type it names that the types file no
// longer has, else null; or its directory is missing).
bool lifeorphan(runstate* rs, fileinfo* e, const char* ext, const char* unknowntype);
// Writes the records kept aside that stay in the manifest, each through
// write (the manifest's record writer).
using recordwriter = void (*)(std::FILE*, const fileinfo*, const char* ext, const char* typname);
void lifeextrarecords(const runstate* rs, std::FILE* stream, recordwriter write);
