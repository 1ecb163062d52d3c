// Installer: installed names, directories, copies, links and the walk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "report/report.h"

#include "layout/layout.h"
#include "platform/platform.h"

struct runstate;
struct fileinfo;
struct atomicfile;
struct digest;
struct destination;

// What placefile did with the destination, as its listing status.
constexpr char COPYLEFT = '-';      // left alone: it exists
constexpr char COPYWRITTEN = '+';   // written: it did not exist
constexpr char COPYREPLACED = '*';  // replaced (with -n: to be replaced): it differed (--update)
constexpr char COPYWOULD = '=';     // not there, nothing written (-n with --update, --verify)
constexpr char COPYBESIDE = 'n';    // changed since it was installed: left, and the new content
                                    // written (with -n: to be written) beside it (--update)
// What a file entry needs of its source.
enum class sourceneed {
    none,    // nothing: the destination is left alone whatever the source holds
    status,  // its status, which may show it unchanged since it was installed
             // (a source that exists is then found, readable or not)
    open,    // its contents
};
// Reads the status of destpath into dst and tells what the copy needs of the
// source: none when the destination exists, its keys are not substituted and
// no option compares it; status when an option compares it (--update,
// --verify); else open.
sourceneed needssource(runstate* rs, const fileinfo* entry, const char* destpath,
                       destination* dst);
// Installs the file found at sourcepath to destpath (whose status
// needssource read) through the temporary temppath and returns one of the
// results above; failures end the run. The source is open as sourcefd, or
// not yet opened (-1) when only its status (srcstatus) was read: it is then
// opened once the status showed that it must be read.
char placefile(runstate* rs, int sourcefd, const char* sourcepath, const statinfo& srcstatus,
               const char* temppath, const char* destpath, fileinfo* entry,
               const destination& dst);
// ---- the batch of finished copies ---------------------------------------
//
// A finished copy waits, open under its temporary name, until a batch of
// them is flushed to the disk together; only then does each take its name,
// in order. Listing lines printed meanwhile wait with them, so the listing
// keeps its order and tells what happened.

// Hands over the finished temporary f (destined for f->path, replacing an
// existing file when replace) of entry e; with d, its content's hash and
// src, the source's status, for its fingerprint.
void settlecopy(runstate* rs, atomicfile* f, bool replace, fileinfo* e, const digest* d,
                const statinfo& src, std::uint64_t bytes);
// Reports a listing line (shown or only counted: see reportlisting), now or
// after the waiting copies. With copyline it is the line of the copy handed
// over last (if that copy has no line yet): its status becomes '-' when the
// copy finds its name taken. A null line reports nothing.
void settleline(runstate* rs, const listing* line, bool shown, bool copyline);
// Reports a note of the verbose listing (see reportnote) in the same order.
void settlenote(runstate* rs, std::string text);
// Flushes the waiting copies, gives them their names and prints the lines.
void settleall(runstate* rs);

// Walks from start (its later siblings and what lies below them).
void installwalk(runstate* rs, fileinfo* start, const char* reltext, std::size_t rellen);
// Walks the deferred link entries of the retry list, each with its own
// relative directory and only what lies below it.
void retrywalk(runstate* rs);

