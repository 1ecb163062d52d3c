// Where an installed file is: the paths of the entries of the trees as the
// install walk composes them, relative to the destination as the
// fingerprints hold them, and on disk. Also which records a run handles.
#include <cstdlib>
#include <cstring>

#include "layout/layout.h"
#include "run/run.h"
#include "lifecycle/lifeinternal.h"
#include "tree/tree.h"
#include "types/types.h"

lifestate* lifeof(runstate* rs) {
    if (rs->life == nullptr) rs->life = new lifestate;
    return rs->life;
}

const lifestate* lifeof(const runstate* rs) {
    static const lifestate none;
    return rs->life != nullptr ? rs->life : &none;
}

bool isfile(const fileinfo* e) { return e->ftype != nullptr && (e->ftype->flags & F_FILE) != 0; }

// Entries made by this run (the input and the types file) take the run's own
// working directory text; entries read from the manifest keep their bas=
// value, also after an input entry merged into them.
bool recorded(const runstate* rs, const fileinfo* e) { return e->basedir != rs->cwd; }

const char* packagedir(const runstate* rs, const fileinfo* e) {
    return rs->pkgmode != 0 && e->pkgname[0] != '-' ? e->pkgname : "";
}

std::string reldirectory(const fileinfo* e) {
    const fileinfo* p = e->parent;
    if (p == nullptr) return "";
    if (p->dstlen != 0) return std::string(p->dstpath, p->dstlen + 1 + p->namelen);
    return std::string(p->name, p->namelen);
}

namespace {

// The path of e placed below base at rel (its temporary name with temp);
// false when it does not fit.
bool placedpath(const runstate* rs, const fileinfo* e, const char* base, std::string_view rel,
                std::string* out, bool temp = false) {
    char buf[PATHSIZE];
    placement p{base, packagedir(rs, e), rel, findversion(e)};
    int n = temp ? temporarypath(buf, sizeof buf, e, p) : installedpath(buf, sizeof buf, e, p);
    if (n < 0 || n >= PATHSIZE) return false;
    out->assign(buf, static_cast<std::size_t>(n));
    return true;
}

}  // namespace

bool treepath(const runstate* rs, const fileinfo* e, std::string* out, bool temp) {
    const char* base = (e->flags & F_ABSOLUTE) != 0 ? "" : rs->destdir;
    return placedpath(rs, e, base, reldirectory(e), out, temp);
}

void relativepath(std::string* out, const runstate* rs, const fileinfo* e, const char* disk) {
    out->clear();
    if ((e->flags & F_ABSOLUTE) != 0) {
        out->push_back('/');
    } else {
        const char* dest = rs->destdir[0] == '/' ? rs->destdir + 1 : rs->destdir;
        std::size_t n = std::strlen(dest);
        if (n != 0 && std::strncmp(disk, dest, n) == 0 && disk[n] == '/') disk += n + 1;
    }
    out->append(disk);
}

std::string relativepath(const runstate* rs, const fileinfo* e, const char* disk) {
    std::string out;
    relativepath(&out, rs, e, disk);
    return out;
}

std::string listingpath(const runstate* rs, const std::string& rel) {
    if (!rel.empty() && rel[0] == '/') return rel;
    return std::string(rs->destdir) + "/" + rel;
}

const char* diskpath(const std::string& listing) {
    return listing.c_str() + (!listing.empty() && listing[0] == '/' ? 1 : 0);
}

bool orphanpath(const runstate* rs, lifestate* ls, const orphan& o, std::string* out) {
    const fingerprint* fp =
        o.typname != nullptr ? printfind(&ls->sums, recordkey(o.entry, o.typname, o.ext)) : nullptr;
    if (fp != nullptr) {
        *out = listingpath(rs, fp->path);
        return true;
    }
    const fileinfo* e = o.entry;
    bool absolute = e->dstlen > 0 && e->dstpath[0] == '/';
    std::string dir = absolute ? std::string(e->dstpath + 1, e->dstlen - 1)
                               : std::string(e->dstpath != nullptr ? e->dstpath : "", e->dstlen);
    const filetype* t = e->ftype;
    if ((e->flags & F_SRCPATH) != 0) {
        // The directory is relative to the type's own, gone with the type.
        if (t == nullptr || t->dirpath == nullptr) {
            *out = std::string(rs->destdir) + "/" + dir + "/" + std::string(e->name, e->namelen);
            return false;
        }
        if (!absolute && !dir.empty()) dir = std::string(t->dirpath) + "/" + dir;
    }
    if (!placedpath(rs, e, absolute ? "" : rs->destdir, dir, out)) return false;
    if (t == nullptr && o.ext != nullptr) *out += std::string(".") + o.ext;
    return true;
}
