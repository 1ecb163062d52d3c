// --prune and --uninstall: removing what the manifest records. A file goes
// only when it still holds what was installed; then the directories that
// became empty go, deepest first. Nothing outside the destination directory
// is ever removed: a record whose file would lie outside it is refused before
// anything is written.
//
// Order, for a kill at any moment: files, then directories, then the
// manifest without the removed records (and the fingerprints and permission
// scripts). Until the manifest is written, the previous one still holds
// every record, so the next run finds them again: a file already gone is
// then simply dropped from the records, and its directories are tried again.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include "ending/ending.h"
#include "inuse/inuse.h"
#include "layout/layout.h"
#include "lifecycle/lifecycle.h"
#include "lifecycle/lifeinternal.h"
#include "lock/lock.h"
#include "report/report.h"
#include "run/run.h"
#include "text/text.h"
#include "tree/tree.h"
#include "types/types.h"

namespace {

// The destination directory as removals reach it ("" for the working one).
const char* rootdir(const runstate* rs) { return rs->destdir + (rs->destdir[0] == '/' ? 1 : 0); }

// A path that could not be examined or removed: it stays, and so does its
// record.
void cannot(lifestate* ls, const char* what, const std::string& listing, int err) {
    if (err == LINKONTHEWAY)
        reportwarning("WARNING: kept '%s': a link stands in its path\n", listing.c_str());
    else
        reportwarning("WARNING: can't %s '%s': %s (%d)\n", what, listing.c_str(),
                      std::strerror(err), err);
    ls->keptfiles++;
}

// Nothing stands at the path: the only outcome that counts as gone.
bool absent(int err) { return err == ENOENT || err == ENOTDIR; }

bool leavesdestination(std::string_view rel) {
    std::size_t start = 0;
    for (std::size_t i = 0; i <= rel.size(); i++) {
        if (i < rel.size() && !pathseparator(rel[i])) continue;
        if (parentname(rel.substr(start, i - start))) return true;
        start = i + 1;
    }
    return false;
}

// The path of a listed file relative to the destination directory.
std::string relativeof(const runstate* rs, const std::string& listing) {
    std::size_t n = std::strlen(rs->destdir);
    if (listing.size() > n && listing.compare(0, n, rs->destdir) == 0 && listing[n] == '/')
        return listing.substr(n + 1);
    return listing;
}

bool absoluterecord(const removal& r) {
    const fileinfo* e = r.entry;
    if ((e->flags & F_ABSOLUTE) != 0) return true;
    if (e->dstlen > 0 && e->dstpath[0] == '/') return true;
    return r.fp && !r.fp->path.empty() && r.fp->path[0] == '/';
}

[[noreturn]] void refuse(const removal& r, const char* why, const std::string& detail = "") {
    die("Refused to remove '%s': %s%s\n", r.listing.c_str(), why, detail.c_str());
}

// Ends the run when removing r could reach outside the destination: an
// absolute record, a ".." component, or a link on its directory path.
void checkpath(const runstate* rs, const removal& r, std::set<std::string>* checked) {
    if (absoluterecord(r)) refuse(r, "the record is absolute, outside the destination");
    std::string rel = r.fp ? r.fp->path : relativeof(rs, r.listing);
    if (leavesdestination(rel)) refuse(r, "'..' in its path leaves the destination");
    std::string dest = rs->destdir;
    for (std::size_t i = 0; i < rel.size(); i++) {
        if (!pathseparator(rel[i])) continue;
        std::string dir = dest + "/" + rel.substr(0, i);
        if (!checked->insert(dir).second) continue;
        statinfo st;
        int err = statpath(diskpath(dir), &st);
        if (err == 0 && st.kind == 'l') refuse(r, "a link stands in its path at ", "'" + dir + "'");
        if (err != 0) break;  // nothing exists below a missing directory
    }
}

bool isrecordedfile(const fileinfo* e, const orphan* o) {
    return o != nullptr ? o->typname != nullptr : isfile(e);
}

void addremoval(runstate* rs, lifestate* ls, fileinfo* e, orphan* o) {
    removal r{e, o, std::nullopt, {}, "", true};
    r.told = o != nullptr ? orphanpath(rs, ls, *o, &r.listing) : treepath(rs, e, &r.listing);
    std::string key = o != nullptr ? recordkey(e, o->typname, o->ext) : recordkey(e);
    const fingerprint* fp = isrecordedfile(e, o) ? printfind(&ls->sums, key) : nullptr;
    // A fingerprint of another path says nothing about an entry's file (an
    // orphan's path comes from its fingerprint).
    if (fp != nullptr && o == nullptr && (!r.told || listingpath(rs, fp->path) != r.listing))
        fp = nullptr;
    if (fp != nullptr) {
        r.fp = *fp;
        r.alt = journalprints(ls, key, fp->path);
    }
    ls->removals.push_back(std::move(r));
}

// A removal's listing line: owner, group and mode of its type, else "-".
void listremoval(const runstate* rs, char kind, const filetype* t, const std::string& path,
                 const char* existing = nullptr) {
    reportlisting(typelisting('x', kind, t, path, existing), rs->verbose != 0);
}

// ---- directories ------------------------------------------------------------

// The directories the types file declares, by their folded paths relative to
// the destination (without a package directory).
std::map<std::string, fileinfo*> declareddirs(runstate* rs) {
    std::map<std::string, fileinfo*> dirs;
    foreachentry(rs->dirtree, [&](fileinfo* e) {
        if ((e->flags & F_DIR) == 0) return;
        std::string rel = reldirectory(e);
        dirs[foldedascii((rel.empty() ? "" : rel + "/") + std::string(e->name, e->namelen))] = e;
    });
    return dirs;
}

struct dirplan {
    std::map<std::string, fileinfo*> declared;
    std::set<std::string> candidates;            // relative paths
    std::map<std::string, std::set<std::string>> going;  // directory -> names removed in it
};

// The declared directory a relative path stands for, or null; in package mode
// the first component is the package directory.
fileinfo* declaredfor(const runstate* rs, const dirplan& plan, const std::string& rel) {
    std::string key = rel;
    if (rs->pkgmode != 0) {
        std::size_t slash = rel.find('/');
        if (slash == std::string::npos) return nullptr;
        key = rel.substr(slash + 1);
    }
    auto it = plan.declared.find(foldedascii(key));
    return it != plan.declared.end() ? it->second : nullptr;
}

// Notes a file or directory that goes and its directories as candidates.
void goingpath(dirplan* plan, const std::string& rel) {
    std::size_t slash = rel.rfind('/');
    std::string dir = slash == std::string::npos ? "" : rel.substr(0, slash);
    plan->going[dir].insert(rel.substr(slash + 1));
    for (; slash != std::string::npos && slash > 0; slash = dir.rfind('/')) {
        dir = rel.substr(0, slash);
        plan->candidates.insert(dir);
    }
}

// Whether the directory would be empty once everything going has gone.
bool wouldbeempty(const runstate* rs, const dirplan& plan, const std::string& rel) {
    std::vector<std::string> names;
    std::string path = std::string(rs->destdir) + "/" + rel;
    if (listdir(diskpath(path), &names) != 0) return false;
    auto it = plan.going.find(rel);
    for (const std::string& n : names)
        if (it == plan.going.end() || it->second.count(n) == 0) return false;
    return true;
}

void removedirs(runstate* rs, lifestate* ls, dirplan* plan) {
    std::vector<std::string> order(plan->candidates.begin(), plan->candidates.end());
    // Deepest first.
    std::stable_sort(order.begin(), order.end(), [](const std::string& a, const std::string& b) {
        return std::count(a.begin(), a.end(), '/') > std::count(b.begin(), b.end(), '/');
    });
    for (const std::string& rel : order) {
        fileinfo* declared = declaredfor(rs, *plan, rel);
        if (declared != nullptr && !rs->uninstall) continue;
        std::string listing = std::string(rs->destdir) + "/" + rel;
        statinfo st;
        int err = statbelow(rootdir(rs), rel.c_str(), &st);
        if (err != 0 && !absent(err)) cannot(ls, "examine", listing, err);
        if (err != 0 || st.kind != 'd') continue;
        if (rs->mode.dryrun) {
            if (!wouldbeempty(rs, *plan, rel)) continue;
        } else if ((err = removepath(rel.c_str(), {.below = rootdir(rs), .dir = true})) != 0) {
            // Not empty: something the tool did not install is in it.
            if (err != ENOTEMPTY && !absent(err)) cannot(ls, "remove", listing, err);
            continue;
        }
        goingpath(plan, rel);
        listremoval(rs, 'D', declared != nullptr ? declared->ftype : nullptr, listing);
    }
}

// --uninstall: the declared directories and the package directories too.
void adddeclared(const runstate* rs, dirplan* plan, const std::set<std::string>& packages) {
    std::vector<std::string> roots;
    if (rs->pkgmode == 0) {
        roots.push_back("");
    } else {
        for (const std::string& p : packages) {
            plan->candidates.insert(p);
            roots.push_back(p + "/");
        }
    }
    for (const auto& [key, dir] : plan->declared) {
        if (!inscope(rs, dir) && dir->pkgname[0] != '-') continue;
        std::string rel = reldirectory(dir);
        rel = (rel.empty() ? "" : rel + "/") + std::string(dir->name, dir->namelen);
        for (const std::string& root : roots) plan->candidates.insert(root + rel);
    }
}

// ---- files ------------------------------------------------------------------

void keep(lifestate* ls, const removal& r) {
    reportwarning("WARNING: kept '%s': changed since it was installed\n", r.listing.c_str());
    reportkept(r.listing);
    ls->keptfiles++;
}

void drop(lifestate* ls, removal& r) {
    ls->gone.insert(r.entry);
    if (r.orph != nullptr) r.orph->kept = false;
    ls->gonepkgs.emplace_back(r.entry->pkgname);
}

// One file record: its file goes when it still holds what was installed.
void removefilerecord(runstate* rs, lifestate* ls, removal& r, dirplan* plan,
                      const std::set<std::string>& installed) {
    prunefacts facts;
    facts.told = r.told;
    facts.reinstalled = r.told && installed.count(foldedascii(r.listing)) != 0;
    std::string rel;
    if (facts.told && !facts.reinstalled) {
        rel = relativeof(rs, r.listing);
        statinfo st;
        facts.err = statbelow(rootdir(rs), rel.c_str(), &st);
        facts.kind = st.kind;
        const char* ext = r.orph != nullptr ? r.orph->ext : nullptr;
        if (facts.err == 0 && st.kind == 'f')
            facts.matches = stillinstalled(rs, r.entry, ext, r.fp ? &*r.fp : nullptr,
                                           diskpath(r.listing), st, r.alt);
    }
    switch (decideprune(facts)) {
    case pruneaction::keep: return keep(ls, r);
    case pruneaction::drop: return drop(ls, r);
    case pruneaction::warn: return cannot(ls, "examine", r.listing, facts.err);
    case pruneaction::gone: break;
    case pruneaction::remove: {
        int err = rs->mode.dryrun ? 0 : removepath(rel.c_str(), {.below = rootdir(rs)});
        // Another program holds it: it stays recorded for a later run.
        if (err == EBUSY) return keptinuse(r.listing.c_str(), false);
        if (err != 0 && !absent(err)) return cannot(ls, "remove", r.listing, err);
        break;
    }
    }
    goingpath(plan, rel);
    listremoval(rs, 'F', r.entry->ftype, r.listing);
    drop(ls, r);
}

// A package name that names a file directly in the destination directory
// when it follows "perm." (no separator, not "-").
bool plainname(const std::string& pkg) {
    return pkg[0] != '-' && pkg.find_first_of("/\\") == std::string::npos && pkg != "." &&
           pkg != "..";
}

// The temporary a killed copy of e left, unless an entry installs that name.
void removetemporary(runstate* rs, lifestate* ls, const fileinfo* e, dirplan* plan,
                     const std::set<std::string>& entries) {
    std::string temp;
    statinfo st;
    if (!treepath(rs, e, &temp, true) || entries.count(foldedascii(temp)) != 0) return;
    std::string rel = relativeof(rs, temp);
    // A leftover that cannot even be examined is left where it is: the
    // record's own file has been warned about already in that case.
    if (statbelow(rootdir(rs), rel.c_str(), &st) != 0 || (st.kind != 'f' && st.kind != 'l')) return;
    int err = rs->mode.dryrun ? 0 : removepath(rel.c_str(), {.below = rootdir(rs)});
    if (err != 0 && !absent(err)) return cannot(ls, "remove", temp, err);
    goingpath(plan, rel);
}

// Removes one of the tool's own files, or with temp its temporary (where
// something other than a leftover stands, that stays); a failure ends the run.
void removeown(const runstate* rs, ownfile which, const char* pkg = nullptr, bool temp = false) {
    char path[PATHSIZE];
    if (ownpath(path, sizeof path, rs->destdir, which, pkg, temp) < 0) return;
    int err = removepath(path);
    if (err != 0 && !(temp && err == EEXIST))
        filefailed("Can't remove", path, err);
}

// Takes the removed records (and under --uninstall every entry that is not
// a kept record) out of the trees, so that the manifest no longer holds them.
// Nothing is placed into the trees after this.
void unlinkgone(runstate* rs, lifestate* ls) {
    auto goes = [&](const fileinfo* e) {
        if ((e->flags & F_DIR) != 0) return false;
        if (ls->gone.count(e) != 0) return true;
        return rs->uninstall != 0 && !recorded(rs, e);
    };
    std::vector<fileinfo**> lists{&rs->dirtree, &rs->roottree};
    while (!lists.empty()) {
        fileinfo** link = lists.back();
        lists.pop_back();
        while (*link != nullptr) {
            fileinfo* e = *link;
            if (goes(e) && e->child == nullptr) {
                *link = e->next;
                continue;
            }
            if (e->child != nullptr) lists.push_back(&e->child);
            link = &e->next;
        }
    }
}

bool recordsremain(runstate* rs, const lifestate* ls) {
    bool any = false;
    foreachtreeentry(rs, [&](fileinfo* e) {
        if ((e->flags & F_DIR) == 0 && recorded(rs, e) && ls->gone.count(e) == 0) any = true;
    });
    for (const orphan& o : ls->orphans)
        if (o.kept) any = true;
    return any;
}

}  // namespace

pruneaction decideprune(const prunefacts& facts) {
    if (!facts.told) return pruneaction::keep;
    if (facts.reinstalled) return pruneaction::drop;
    if (absent(facts.err)) return pruneaction::gone;
    if (facts.err != 0) return pruneaction::warn;
    // The tool installs files only: a link or anything else standing where
    // the file was is not its file.
    return facts.kind == 'f' && facts.matches ? pruneaction::remove : pruneaction::keep;
}

void planremovals(runstate* rs, lifestate* ls) {
    foreachtreeentry(rs, [&](fileinfo* e) {
        if ((e->flags & F_DIR) != 0 || !recorded(rs, e) || !inscope(rs, e)) return;
        bool unlisted = (e->flags & F_FROMMANIFEST) != 0 && e->child == nullptr;
        if (rs->uninstall || unlisted) addremoval(rs, ls, e, nullptr);
    });
    for (orphan& o : ls->orphans)
        if (inscope(rs, o.entry)) addremoval(rs, ls, o.entry, &o);
    std::set<std::string> checked;
    for (const removal& r : ls->removals)
        if (r.told && isrecordedfile(r.entry, r.orph)) checkpath(rs, r, &checked);
}

void removerecords(runstate* rs, lifestate* ls) {
    dirplan plan;
    plan.declared = declareddirs(rs);
    // The folded listing paths of the files this run's input installs (none
    // under --uninstall), and of every file entry of the trees.
    std::set<std::string> installed;
    std::set<std::string> entries;
    foreachtreeentry(rs, [&](fileinfo* e) {
        std::string path;
        if (!isfile(e) || !treepath(rs, e, &path)) return;
        path = foldedascii(path);
        if (!rs->uninstall && (e->flags & F_FROMMANIFEST) == 0) installed.insert(path);
        entries.insert(std::move(path));
    });
    std::set<std::string> packages;
    for (removal& r : ls->removals) {
        if (!isrecordedfile(r.entry, r.orph)) {
            char kind = (r.entry->flags & F_HARDLINK) != 0 ? 'H' : 'S';
            const char* existing = r.entry->existing != nullptr ? r.entry->existing : "";
            listremoval(rs, kind, nullptr, r.listing, existing);
            drop(ls, r);
            continue;
        }
        removefilerecord(rs, ls, r, &plan, installed);
        if (r.orph == nullptr) removetemporary(rs, ls, r.entry, &plan, entries);
        if (rs->pkgmode != 0 && r.entry->pkgname[0] != '-') packages.insert(r.entry->pkgname);
    }
    // Without records nothing was installed here: the directories stay.
    if (rs->uninstall && !ls->removals.empty()) adddeclared(rs, &plan, packages);
    removedirs(rs, ls, &plan);

    unlinkgone(rs, ls);
    if (rs->uninstall && !recordsremain(rs, ls)) {
        ls->removedall = true;
        rs->changed = 0;
    } else if (!ls->gone.empty()) {
        rs->changed = 1;
    }
}

void removeoutputs(runstate* rs, lifestate* ls) {
    // --uninstall removes the script of every package of the records. After
    // --prune, the packages still named by an entry keep theirs (this run
    // rewrote them in package and spec mode); the others go.
    std::set<std::string> present;
    std::vector<std::string> packages;
    if (rs->uninstall) {
        for (const removal& r : ls->removals) packages.emplace_back(r.entry->pkgname);
    } else if (rs->pkgmode || rs->specfile) {
        foreachtreeentry(rs, [&](fileinfo* e) { present.insert(e->pkgname); });
        packages = ls->gonepkgs;
    }
    // Leftovers of a killed run: the temporaries of the tool's own files.
    removeown(rs, ownfile::manifest, nullptr, true);
    removeown(rs, ownfile::sums, nullptr, true);
    std::set<std::string> done;
    for (const removal& r : ls->removals)
        if (plainname(r.entry->pkgname)) done.insert(r.entry->pkgname);
    for (const std::string& pkg : done) removeown(rs, ownfile::perm, pkg.c_str(), true);
    done.clear();
    for (const std::string& pkg : packages)
        if (plainname(pkg) && present.count(pkg) == 0 && done.insert(pkg).second)
            removeown(rs, ownfile::perm, pkg.c_str());
    if (!ls->removedall) return;
    removejournal(rs, ls);
    removeown(rs, ownfile::sums);
    removeown(rs, ownfile::manifest);
    removelockfile(rs);
}
