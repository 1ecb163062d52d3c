// Keeping a destination in step: fingerprints of installed files
// ("manifest.sums") and the options --update, --verify, --prune and
// --uninstall. The driver, the install walk, the copy and the manifest
// stages call these seams; what happens at each is decided here.
#pragma once

#include <cstddef>
#include <cstdio>

struct runstate;
struct fileinfo;
struct statinfo;
struct hasher;
struct digest;

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

// ---- install walk and copy ------------------------------------------------

// False for a record the input no longer lists that this run must not
// install (--prune, --verify).
bool lifewalks(const runstate* rs, const fileinfo* e);
// The destination destpath of e does not exist, or its status could not be
// read (err), and nothing is written: the result of copyfile (COPYWOULD).
int lifeabsent(runstate* rs, const fileinfo* e, const char* destpath, int err);
// What --update does with an existing destination.
enum class updateplan {
    leave,    // it holds what would be installed now (or is not a file)
    replace,  // it is replaced
    beside,   // it changed since it was installed: it stays, and the new
              // content goes beside it ("<name>.new"); warned about
};
// The existing destination destpath (status dst) compared with the source
// (open as srcfd at its start, status src). The source's offset is left
// anywhere. --verify notes the finding and leaves it.
updateplan lifediffers(runstate* rs, const fileinfo* e, int srcfd, const char* srcpath,
                       const statinfo& src, const char* destpath, const statinfo& dst);
// True when the fingerprint of e shows its destination as installed and its
// source (status src, not opened) unchanged since: it is in step, and
// nothing need be read.
bool lifeunchanged(runstate* rs, const fileinfo* e, const statinfo& src, const char* destpath,
                   const statinfo& dst);
// The same for a substituted file, whose expansion is text.
updateplan lifediffersexpanded(runstate* rs, const fileinfo* e, const char* text,
                               std::size_t len, const statinfo& src, const char* destpath,
                               const statinfo& dst);
// The hash to compute while copying, or null when no fingerprint is kept.
hasher* lifehasher(runstate* rs);
// A copy of e to destpath completed with content hash d from a source of
// status src.
void lifecopied(runstate* rs, const fileinfo* e, const char* destpath, const digest& d,
                const statinfo& src);

// A finished copy of e to destpath (content hash d, its temporary's status
// tmp, from a source of status src) is about to take its name: its
// fingerprint is noted for the journal.
void lifejournal(runstate* rs, const fileinfo* e, const char* destpath, const digest& d,
                 const statinfo& tmp, const statinfo& src);
// Appends the noted fingerprints to the journal beside the manifest
// ("manifest.journal"), before the copies take their names: a run killed
// after that leaves them known as the tool's own. The journal's descriptor,
// to be flushed with the copies, or -1 when nothing was noted.
int lifejournalwrite(runstate* rs);

// ---- manifest -------------------------------------------------------------

// A record names a type the types file no longer has: true when the record
// is kept aside instead of ending the run (--prune, --uninstall, --verify).
bool lifeunknowntype(runstate* rs, fileinfo* e, const char* typname);
// A complete record about to be placed into the trees: true when it was
// kept aside instead (its type is unknown or its directory is missing).
bool lifeorphan(runstate* rs, fileinfo* e, const char* ext);
// Writes the records kept aside that stay in the manifest.
void lifeextrarecords(const runstate* rs, std::FILE* stream);
