// Permission files: for each package of the destination trees a script
// "perm.<package>" with the mkdir, chown, chgrp and chmod lines of every
// directory and file of that package.
#include "perm/perm.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "ending/ending.h"
#include "layout/layout.h"
#include "platform/platform.h"
#include "report/report.h"
#include "run/run.h"
#include "text/text.h"
#include "tree/tree.h"
#include "types/types.h"

namespace {

// The packages whose files have been written, in order of first appearance.
struct pkgtable {
    const char* names[MAXPKGS];
    int count;
};

bool seen(const pkgtable& t, const char* pkg) {
    for (int i = 0; i < t.count; i++)
        if (std::strcmp(t.names[i], pkg) == 0) return true;
    return false;
}

const char* ownerword(const filetype* type) {
    if ((type->flags & F_RUNOWNER) != 0) return "$RUNOWNER";
    if ((type->flags & F_BINOWNER) != 0) return "bin";
    return type->ownertok;
}

const char* groupword(const filetype* type) {
    if ((type->flags & F_RUNGROUP) != 0) return "$RUNGROUP";
    if ((type->flags & F_BINGROUP) != 0) return "bin";
    return type->grouptok;
}

const char* rootslash(const fileinfo* e) { return (e->flags & F_ABSOLUTE) != 0 ? "/" : ""; }

bool dirlike(const fileinfo* e) { return e->child != nullptr || (e->flags & F_DIR) != 0; }

// The link's path relative to the destination, for the warning.
void warnlink(const permfile& pf, const fileinfo* link) {
    bool below = link->dstlen != 0;
    reportwarning("WARNING: Not adding symlink %.*s%s%s to package %s\n",
                  static_cast<int>(link->dstlen), below ? link->dstpath : "", below ? "/" : "",
                  link->name, pf.pkg);
}

void writedirrecord(const permfile& pf, const fileinfo* dir) {
    const filetype* type = dir->ftype;
    const char* slash = rootslash(dir);
    int len = static_cast<int>(dir->dstlen);
    const char* rel = len > 0 ? dir->dstpath : "";
    const char* sep = len > 0 ? "/" : "";
    std::FILE* out = pf.out;
    std::fprintf(out, "#\nmkdir %s%.*s%s%s\n", slash, len, rel, sep, dir->name);
    std::fprintf(out, "chown %s %s%.*s%s%s\n", ownerword(type), slash, len, rel, sep, dir->name);
    std::fprintf(out, "chgrp %s %s%.*s%s%s\n", groupword(type), slash, len, rel, sep, dir->name);
    std::fprintf(out, "chmod %o %s%.*s%s%s\n", type->mode, slash, len, rel, sep, dir->name);
}

// Writes the record of one directory on the chain above a file. A link on
// the chain has no type and gets no record: it is only warned about.
void writechaindir(const permfile& pf, fileinfo* dir) {
    if (dir->ftype == nullptr)
        warnlink(pf, dir);
    else
        writedirrecord(pf, dir);
    dir->flags |= F_PERMDONE;
}

// Writes, top-down, every directory from the top of the tree down to start
// that this file does not hold yet.
void writedirsabove(const permfile& pf, fileinfo* start) {
    while (start != nullptr && (start->flags & F_PERMDONE) == 0) {
        fileinfo* top = start;
        while (top->parent != nullptr && (top->parent->flags & F_PERMDONE) == 0) top = top->parent;
        writechaindir(pf, top);
    }
}

void writefilerecord(const permfile& pf, const fileinfo* e) {
    const filetype* type = e->ftype;
    const char* base = nullptr;
    if ((e->flags & F_SRCPATH) != 0 && type->dirpath != nullptr && e->dstlen > 0 &&
        e->dstpath[0] != '/')
        base = type->dirpath;
    const char* rel = e->dstlen > 0 ? e->dstpath : "";
    placement p{.base = base, .rel = {rel, e->dstlen}, .version = findversion(e)};
    char path[PATHSIZE];
    int n = installedpath(path, PATHSIZE, e, p);
    if (n < 0 || n >= PATHSIZE)
        die("Overflow destdir '%s' relpath '%.*s' file '%s' extension '%s'\n", pf.destdir,
            static_cast<int>(e->dstlen), rel, e->name, type->suffix != nullptr ? type->suffix : "");
    const char* slash = rootslash(e);
    std::FILE* out = pf.out;
    std::fprintf(out, "#\nchown %s %s%s\n", ownerword(type), slash, path);
    std::fprintf(out, "chgrp %s %s%s\n", groupword(type), slash, path);
    std::fprintf(out, "chmod %o %s%s\n", type->mode, slash, path);
}

void writeentry(const permfile& pf, fileinfo* e) {
    if (std::strcmp(e->pkgname, pf.pkg) != 0) return;
    writedirsabove(pf, (e->flags & F_DIR) != 0 ? e : e->parent);
    if ((e->flags & F_DIR) != 0) return;
    if (e->ftype == nullptr)
        warnlink(pf, e);
    else
        writefilerecord(pf, e);
}

void writelist(const permfile& pf, fileinfo* first) {
    for (fileinfo* e = first; e != nullptr; e = e->next) {
        if (dirlike(e)) {
            // Marks of the previous package's file must not carry over.
            e->flags &= ~F_PERMDONE;
            writeperms(pf, e->child, nullptr, nullptr);
            if ((e->flags & F_PERMDONE) != 0 || std::strcmp(e->pkgname, "-") == 0) continue;
        }
        writeentry(pf, e);
    }
}

// The next entry of a depth-first walk: the first child, else the next
// sibling of the entry or of its nearest ancestor that has one.
fileinfo* walknext(fileinfo* e) {
    if (e->child != nullptr) return e->child;
    for (; e != nullptr; e = e->parent)
        if (e->next != nullptr) return e->next;
    return nullptr;
}

// Writes the whole file of one package, crash-safe: under a temporary name,
// moved over the old file only when complete.
void writepermfile(runstate* rs, const char* pkg) {
    char path[PATHSIZE];
    char tmppath[TEMPNAMESIZE];
    if (ownpath(path, sizeof path, rs->destdir, ownfile::perm, pkg) < 0)
        filefailed("failed to create file", (std::string(rs->destdir) + "/perm." + pkg).c_str(),
                   ENAMETOOLONG);
    ownpath(tmppath, sizeof tmppath, rs->destdir, ownfile::perm, pkg, true);

    atomicfile f;
    int err = opentemp(rs, &f, path, tmppath, true);
    if (err != 0) filefailed("failed to create file", path, err);
    permfile pf{pkg, f.stream, rs->destdir};
    if (rs->verbose > 1) std::printf("creating permission file '%s'\n", path);

    // Each entry is in exactly one tree; the retry list has a link of its
    // own, so it is not walked again.
    writeperms(pf, rs->dirtree, rs->roottree, nullptr);

    err = atomicsync(&f);
    if (err == 0) err = atomicclose(&f);
    if (err != 0) {
        atomicdiscard(&f);
        filefailed("Error writing file", path, err);
    }
    // The complete file cannot take its name (a directory stands there, say).
    err = atomiccommit(&f, true);
    if (err != 0) filefailed("failed to create file", path, err);
}

void walkpackages(runstate* rs, pkgtable& table, fileinfo* tree) {
    for (fileinfo* e = tree; e != nullptr; e = walknext(e)) {
        const char* pkg = e->pkgname;
        if (pkg[0] == '-' || seen(table, pkg)) continue;
        if (table.count == MAXPKGS)
            die("Exceeded maximum package limit: %d, package '%s'", MAXPKGS, pkg);
        table.names[table.count++] = pkg;
        writepermfile(rs, pkg);
    }
}

}  // namespace

void writeperms(const permfile& pf, fileinfo* list1, fileinfo* list2, fileinfo* list3) {
    FP_CHECK(pf.pkg != nullptr);
    FP_CHECK(pf.out != nullptr);
    for (fileinfo* list : {list1, list2, list3}) writelist(pf, list);
}

void writepermfiles(runstate* rs) {
    pkgtable table{};
    walkpackages(rs, table, rs->dirtree);
    walkpackages(rs, table, rs->roottree);
}
