// The install walk: visits the destination tree depth first without
// recursion and without allocation, creating directories, copying files from
// the source directories, making links and listing each action. Position
// lives in the entries themselves (resume) and in a few local values; the
// relative directory is a pointer into an entry's dstpath plus a length.
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "ending/ending.h"
#include "install/install.h"
#include "lifecycle/lifecycle.h"
#include "platform/platform.h"
#include "progress/progress.h"
#include "report/report.h"
#include "run/run.h"
#include "text/text.h"
#include "tree/tree.h"
#include "types/types.h"

namespace {

enum class step { visit, pkgdir, place, descend, advance, finished };

struct walkstate {
    runstate* rs;
    fileinfo* cur;
    fileinfo* savednext;   // cur's next as read when cur was visited
    const char* walkpkg;   // "-" when no package is current
    const char* reltext;   // relative directory: first rellen characters
    std::size_t rellen;
    fileinfo* subtree;     // retry walk: the deferred entry whose subtree alone
                           // is walked; null for a walk over siblings too
    fileinfo* failedup;    // directory that last went up to have its parent made
    char srcbuf[PATHSIZE] = {};  // the source file looked for
    char tmpbuf[PATHSIZE] = {};  // the temporary name of a copy; a version link's target
    char dstbuf[PATHSIZE] = {};  // the entry's installed path
};

constexpr std::size_t VERSIONBUF = 32;

bool fits(int n) { return n >= 0 && n < PATHSIZE; }

const char* textor(const char* text) { return text != nullptr ? text : ""; }

bool within(const fileinfo* e, const fileinfo* root) {
    for (; e != nullptr; e = e->parent)
        if (e == root) return true;
    return false;
}

[[noreturn]] void overflow(const walkstate& ws, const char* base) {
    die("Overflow destdir '%s' relpath '%.*s' file '%s' extension '%s'\n", base,
        static_cast<int>(ws.rellen), ws.reltext, ws.cur->name,
        ws.cur->ftype != nullptr ? textor(ws.cur->ftype->suffix) : "");
}

placement placeof(const walkstate& ws, const char* base, const char* pkgdir,
                  const char* version) {
    return {.base = base, .pkgdir = pkgdir, .rel = {ws.reltext, ws.rellen}, .version = version};
}

// Listing lines go out after the copies waiting before them; a file's own
// line (copyline) waits with its copy and tells what became of it. A link's
// line carries its target.
void listline(const walkstate& ws, char status, char kind, const filetype* type,
              bool copyline = false, const char* target = nullptr) {
    if (ws.rs->mode.reports) {  // a run that reports lists nothing of the walk
        settleline(ws.rs, nullptr, false, copyline);
        return;
    }
    listing line = typelisting(status, kind, type, ws.dstbuf, target);
    settleline(ws.rs, &line, ws.rs->verbose != 0, copyline);
}

// Makes the directory at path: its listing status, '+' made, '-' there
// already, 'x' its parent missing. Any other failure ends the run.
char makedirectory(const char* path) {
    dirresult r = makedir(path);
    if (r.made == dirmade::failed) die("%s", r.why.c_str());
    return r.made == dirmade::made ? '+' : r.made == dirmade::exists ? '-' : 'x';
}

// Appends the entry to the retry list; its next link stays untouched so the
// later walks over the tree still reach its later siblings.
void defer(runstate* rs, fileinfo* e) {
    e->flags |= F_RETRY;
    e->retrynext = nullptr;
    if (rs->retrytail != nullptr)
        rs->retrytail->retrynext = e;
    else
        rs->retryhead = e;
    rs->retrytail = e;
}

// ---- step 1: visit --------------------------------------------------------

step visitentry(walkstate& ws) {
    fileinfo* e = ws.cur;
    ws.savednext = e->next;
    FP_CHECK(e->pkgname != nullptr);
    // A record the input no longer lists, in this run's selection and with
    // nothing below it, is left to --prune and --verify after the walk.
    if ((e->flags & F_FROMMANIFEST) != 0 && e->child == nullptr &&
        (ws.rs->mode.removes || ws.rs->mode.reports) && inscope(ws.rs, e))
        return step::advance;
    if (e->pkgname[0] == '-') {
        if (ws.rs->pkgmode == 0) return step::place;
        if (ws.walkpkg[0] == '-') return (e->flags & F_DIR) != 0 ? step::descend : step::advance;
        return step::pkgdir;
    }
    ws.walkpkg = e->pkgname;
    if ((e->flags & F_FROMMANIFEST) != 0) return step::advance;
    return step::pkgdir;
}

// ---- step 2: the package directory ----------------------------------------

// Creates the package directory; then the entry's parent is processed again
// inside it, and going down into the parent leads back to the entry.
step packagedir(walkstate& ws) {
    runstate* rs = ws.rs;
    fileinfo* e = ws.cur;
    if (rs->pkgmode == 0 || (e->flags & F_PKGDIRDONE) != 0) return step::place;
    int n = packagepath(ws.dstbuf, PATHSIZE, rs->destdir, ws.walkpkg);
    if (!fits(n))
        die("Overflow destdir '%s' package '%s' file '%s'\n", rs->destdir, ws.walkpkg, e->name);
    if (!rs->mode.reports) makedirectory(ws.dstbuf);
    e->flags |= F_PKGDIRDONE;
    if (e->parent != nullptr) {
        e->parent->resume = e;
        ws.cur = e->parent;
        ws.savednext = ws.cur->next;
        ws.rellen = ws.cur->dstlen;
    }
    return step::place;
}

// ---- step 4: directories --------------------------------------------------

// The directory could not be made because one above it is missing: process
// the parent again and come back down to this entry. Going up cannot help
// when there is no parent directory to make, or when this same directory
// fails again right after its parent was processed.
step goup(walkstate& ws) {
    fileinfo* e = ws.cur;
    fileinfo* parent = e->parent;
    if (parent == nullptr || (parent->flags & F_DIR) == 0 || ws.failedup == e)
        die("Can't create directory '%s'\n", ws.dstbuf);
    ws.failedup = e;
    e->flags |= F_PKGDIRDONE;
    parent->resume = e;
    ws.rellen = parent->dstlen;
    ws.cur = parent;
    return step::visit;
}

step directory(walkstate& ws) {
    char status = !ws.rs->mode.writes ? ' ' : makedirectory(ws.dstbuf);
    if (status == 'x') return goup(ws);
    if (ws.failedup == ws.cur) ws.failedup = nullptr;
    listline(ws, status, 'D', ws.cur->ftype);
    return step::descend;
}

// ---- step 5: files --------------------------------------------------------

// Finds the entry's file in the first source directory that has it, as
// need says: opened (its descriptor, or -1); its status read into st (0, or
// -1: the first directory where it exists); or neither (0, or -1: the first
// directory where it would open for reading).
int findsource(walkstate& ws, const char* version, char** found, sourceneed need,
               statinfo* st) {
    runstate* rs = ws.rs;
    fileinfo* e = ws.cur;
    for (char** dir = rs->srcpaths; dir != nullptr && *dir != nullptr; dir++) {
        int len = sourcepath(ws.srcbuf, PATHSIZE, e, *dir, version);
        if (!fits(len)) continue;  // a path that long cannot name the file here
        int fd = -1;
        if (need == sourceneed::open) {
            fd = openread(ws.srcbuf);
        } else if (need == sourceneed::none) {
            fd = readable(ws.srcbuf);
        } else {
            errno = statfile(ws.srcbuf, st);
            fd = errno == 0 ? 0 : -1;
        }
        if (fd >= 0) {
            *found = *dir;
            return fd;
        }
        int err = errno;
        if (err != ENOENT && rs->verbose != 0)
            settlenote(rs, "source file '" + std::string(ws.srcbuf) + "' error: " +
                               std::strerror(err) + " (" + std::to_string(err) + ")\n");
    }
    return -1;
}

// Links carrying the shorter forms of a versioned name: 'libx.so.1.2' gets
// 'libx.so.1' and then 'libx.so', both pointing at 'libx.so.1.2'.
void versionlinks(walkstate& ws, const char* base, const char* version) {
    fileinfo* e = ws.cur;
    std::size_t stemlen = static_cast<std::size_t>(version - e->name);
    int n = installedpath(ws.tmpbuf, PATHSIZE, e, {.version = version, .stemlen = stemlen});
    FP_CHECK(fits(n));
    char shorter[VERSIONBUF];
    std::strcpy(shorter, version);
    placement link = placeof(ws, base, "", shorter);
    link.stemlen = stemlen;
    while (shorter[0] == '.') {
        *std::strrchr(shorter, '.') = '\0';
        n = installedpath(ws.dstbuf, PATHSIZE, e, link);
        FP_CHECK(fits(n));
        char status = '=';
        if (!ws.rs->mode.dryrun) status = makelink(ws.tmpbuf, ws.dstbuf) == -1 ? '-' : '+';
        listline(ws, status, 'S', nullptr, false, ws.tmpbuf);
    }
}

step file(walkstate& ws, const char* base, const char* pkgdir, const char* version) {
    runstate* rs = ws.rs;
    fileinfo* e = ws.cur;
    int n = temporarypath(ws.tmpbuf, PATHSIZE, e, placeof(ws, base, pkgdir, version));
    if (!fits(n)) overflow(ws, base);
    bool links = version != nullptr && rs->pkgmode == 0 && rs->specfile == 0;
    if (links && std::strlen(version) >= VERSIONBUF)
        die("Overflow version '%s' file '%s'\n", version, e->name);

    const char* namepart = (e->flags & F_SRCPATH) != 0 ? e->dstpath : e->name;
    const char* suffix = e->ftype->suffix;
    const char* dot = suffix != nullptr ? "." : "";
    // The source is opened only when the copy needs it; otherwise it is only
    // looked for, which decides the same and costs one call instead of two.
    destination dst;
    sourceneed need = rs->mode.dryrun && !rs->mode.compares
                          ? sourceneed::none
                          : needssource(rs, e, ws.dstbuf, &dst);
    char* found = nullptr;
    statinfo srcstatus;
    int fd = findsource(ws, version, &found, need, &srcstatus);
    if (fd < 0)
        die("file '%s%s%s' not found in source path\n", namepart, dot, textor(suffix));
    if (e->srcdir != nullptr && std::strcmp(e->srcdir, found) != 0) {
        reportwarning("WARNING: Source path for file '%s%s%s' changed from '%s' to '%s'\n",
                      namepart, dot, textor(suffix), e->srcdir, found);
    }
    e->srcdir = found;

    // A copy written beside the installed file is listed under its own name.
    char status = rs->mode.dryrun && !rs->mode.compares ? '=' : '-';
    if (need != sourceneed::none) {
        status = placefile(rs, need == sourceneed::open ? fd : -1, ws.srcbuf, srcstatus,
                           ws.tmpbuf, ws.dstbuf, e, dst);
        if (status == COPYBESIDE) besidepath(ws.dstbuf, PATHSIZE, std::string(ws.dstbuf).c_str());
    }
    listline(ws, status, 'F', e->ftype, true);
    progressfile();
    if (links) versionlinks(ws, base, version);
    return step::advance;
}

// ---- step 6: link entries -------------------------------------------------

step symlinkentry(walkstate& ws) {
    fileinfo* e = ws.cur;
    const char* existing = textor(e->existing);
    statinfo st;
    if (e->child != nullptr && (e->flags & F_RETRY) == 0 && statfile(existing, &st) == ENOENT) {
        defer(ws.rs, e);
        return step::advance;
    }
    if (makelink(existing, ws.dstbuf) == -1) {
        int err = errno;
        die("couldn't create symlink existing=%s new=%s: %s (%d)\n", existing, ws.dstbuf,
            std::strerror(err), err);
    }
    listline(ws, '+', 'S', nullptr, false, existing);
    return step::descend;
}

step hardlinkentry(walkstate& ws) {
    fileinfo* e = ws.cur;
    const char* existing = textor(e->existing);
    char status = '+';
    if (makelink(existing, ws.dstbuf) == -1) {
        int err = errno;
        if (err == ENOENT && (e->flags & F_RETRY) == 0) {
            defer(ws.rs, e);
            return step::advance;
        }
        if (err != EEXIST)
            die("couldn't create hard link existing=%s new=%s: %s (%d)\n", existing, ws.dstbuf,
                std::strerror(err), err);
        status = '-';
    }
    listline(ws, status, 'H', nullptr, false, existing);
    return step::advance;
}

step linkentry(walkstate& ws) {
    fileinfo* e = ws.cur;
    if ((e->flags & F_SYMLINK) != 0) return symlinkentry(ws);
    if ((e->flags & F_HARDLINK) != 0) return hardlinkentry(ws);
    die("Unsupported directive for path %s\n", e->dstpath);
}

// ---- step 3: the destination path and the kind of entry -------------------

step place(walkstate& ws) {
    runstate* rs = ws.rs;
    fileinfo* e = ws.cur;
    const char* base = (e->flags & F_ABSOLUTE) != 0 ? "" : rs->destdir;
    const char* version = findversion(e);
    const char* pkgdir = rs->pkgmode != 0 ? ws.walkpkg : "";
    int n = installedpath(ws.dstbuf, PATHSIZE, e, placeof(ws, base, pkgdir, version));
    if (!fits(n)) overflow(ws, base);
    if (e->ftype == nullptr) return linkentry(ws);
    if ((e->ftype->flags & F_DIR) != 0) return directory(ws);
    if ((e->ftype->flags & F_FILE) != 0) return file(ws, base, pkgdir, version);
    die("Unknown type for entry '%s'\n", e->name);
}

// ---- steps 7 and 8: down, across and up -----------------------------------

step descend(walkstate& ws) {
    fileinfo* e = ws.cur;
    if (e->child == nullptr) return step::advance;
    if (e->resume == nullptr) e->resume = e->child;
    e->flags &= ~F_PKGDIRDONE;
    if (e->dstlen != 0) {
        ws.reltext = e->dstpath;
        ws.rellen = e->dstlen + 1 + e->namelen;
    } else {
        ws.reltext = e->name;
        ws.rellen = e->namelen;
    }
    ws.cur = e->resume;
    return step::visit;
}

step advance(walkstate& ws) {
    ws.walkpkg = "-";
    // A retry walk ends when its own entry is done, and never continues from
    // an ancestor that the package directory step went up to.
    if (ws.subtree != nullptr && (ws.cur == ws.subtree || !within(ws.cur, ws.subtree)))
        return step::finished;
    if (ws.savednext != nullptr) {
        ws.cur = ws.savednext;
        return step::visit;
    }
    for (fileinfo* a = ws.cur->parent; a != nullptr; a = a->parent) {
        if (a == ws.subtree) return step::finished;
        if (a->next != nullptr) {
            ws.rellen = a->dstlen;
            ws.cur = a->next;
            return step::visit;
        }
    }
    return step::finished;
}

void walk(walkstate& ws) {
    step s = step::visit;
    while (s != step::finished) {
        switch (s) {
            case step::visit: s = visitentry(ws); break;
            case step::pkgdir: s = packagedir(ws); break;
            case step::place: s = place(ws); break;
            case step::descend: s = descend(ws); break;
            case step::advance: s = advance(ws); break;
            case step::finished: break;
        }
    }
}

}  // namespace

void installwalk(runstate* rs, fileinfo* start, const char* reltext, std::size_t rellen) {
    if (start == nullptr) return;
    walkstate ws{rs, start, nullptr, "-", reltext, rellen, nullptr, nullptr};
    walk(ws);
}

void retrywalk(runstate* rs) {
    // Entries deferred again while this list is walked are appended to it
    // and reached in turn; each entry is deferred at most once.
    for (fileinfo* e = rs->retryhead; e != nullptr; e = e->retrynext) {
        const char* reltext = e->parent != nullptr ? e->dstpath : "";
        std::size_t rellen = e->parent != nullptr ? e->dstlen : 0;
        walkstate ws{rs, e, nullptr, "-", reltext, rellen, e, nullptr};
        walk(ws);
    }
}
