// The lifecycle seams: which options go together, what a run keeps of the
// fingerprints, and the decisions the copy asks for when a destination
// exists (--update replaces what differs, --verify notes how it differs).
#include "lifecycle/lifecycle.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "ending/ending.h"
#include "lifecycle/lifeinternal.h"
#include "platform/platform.h"
#include "report/report.h"
#include "run/run.h"
#include "tree/tree.h"
#include "types/types.h"

namespace {

// Pairs of options that cannot be used together, in the order they are
// checked: the first pair given is reported.
struct optionpair {
    int runstate::*first;
    const char* firstname;
    int runstate::*second;
    const char* secondname;
};

constexpr optionpair refused[] = {
    {&runstate::verify, "--verify", &runstate::update, "--update"},
    {&runstate::verify, "--verify", &runstate::prune, "--prune"},
    {&runstate::verify, "--verify", &runstate::uninstall, "--uninstall"},
    {&runstate::uninstall, "--uninstall", &runstate::update, "--update"},
    {&runstate::uninstall, "--uninstall", &runstate::prune, "--prune"},
    {&runstate::prune, "--prune", &runstate::nomanifest, "-m"},
    {&runstate::uninstall, "--uninstall", &runstate::nomanifest, "-m"},
};

// This run found what the file of key holds: its fingerprint describes it
// (or it changed since it was installed), and the journal need not tell it.
void settled(lifestate* ls, const std::string& key) {
    if (!ls->journal.empty() && ls->journal.count(key) != 0) ls->journaldone.insert(key);
}

void remember(lifestate* ls, const std::string& key, const digest& d, const statinfo& dst,
              const statinfo& src, const std::string& rel) {
    // A link at the destination is read through, but its own status says
    // nothing about what it points to: it gets no fingerprint.
    if (!ls->keep || dst.kind != 'f') return;
    settled(ls, key);
    fingerprint now{d, dst.size, dst.mtime, src.size, src.mtime, rel};
    fingerprint& fp = printput(&ls->sums, key);
    if (fp == now) return;
    fp = std::move(now);
    ls->dirty = true;
}

// What --update does with a file that differs (or not) from what would be
// installed now, and was edited (or not) since it was installed.
copyaction plan(runstate* rs, lifestate* ls, bool differs, bool edited, const char* destpath,
                const fileinfo* e) {
    copyaction action = decidecopy(rs->mode, {true, true, differs, edited});
    if (action == copyaction::replace) ls->replaced++;
    if (action != copyaction::beside) return action;
    std::string listing = listingpath(rs, relativepath(rs, e, destpath));
    clearstatus();
    reportwarning("WARNING: kept '%s': changed since it was installed; the new version is "
                  "'%s.new'\n",
                  listing.c_str(), listing.c_str());
    ls->keptfiles++;
    return action;
}

// --verify: counts what was found for e; keeps it for the report when it
// is a difference, or when every file is listed (-v).
void note(runstate* rs, const fileinfo* e, const char* destpath, finding f) {
    lifestate* ls = lifeof(rs);
    ls->checked++;
    if (f != finding::same) ls->differ++;
    if (f != finding::same || rs->verbose != 0)
        ls->findings[e] = {f, listingpath(rs, relativepath(rs, e, destpath))};
}

}  // namespace

void lifecheckoptions(const runstate* rs) {
    for (const optionpair& p : refused)
        if (rs->*p.first != 0 && rs->*p.second != 0)
            die("Options %s and %s cannot be used together\n", p.firstname, p.secondname);
}

void lifeprepare(runstate* rs) {
    lifestate* ls = lifeof(rs);
    if (!rs->nomanifest) loadsums(rs, ls);
    ls->keep = !rs->nomanifest && rs->mode.writes &&
               (rs->update || rs->mode.removes || ls->sumspresent);
    if (ls->keep) ls->hash = newhasher();
    if (rs->mode.removes) planremovals(rs, ls);
}

void lifeafterwalk(runstate* rs) {
    lifestate* ls = lifeof(rs);
    if (rs->mode.reports) {
        verifyreport(rs, ls);
        rs->changed = 0;
    }
    if (rs->mode.removes) removerecords(rs, ls);
}

bool lifewritesperms(const runstate* rs) {
    if (rs->mode.reports || rs->uninstall) return false;
    return rs->changed || lifeof(rs)->replaced > 0;
}

void lifeoutputs(runstate* rs) {
    lifestate* ls = lifeof(rs);
    if (!rs->mode.writes) return;
    if (rs->mode.removes) removeoutputs(rs, ls);
    if (ls->keep && !ls->removedall) writesums(rs, ls);
}

void lifeonfailure(runstate* rs) {
    lifestate* ls = rs->life;
    if (ls == nullptr || !ls->keep || !ls->dirty || ls->removedall) return;
    writesums(rs, ls);
}

int lifestatus(const runstate* rs) {
    const lifestate* ls = lifeof(rs);
    return ls->differ > 0 || ls->keptfiles > 0 ? 2 : 0;
}

// ---- the copy ------------------------------------------------------------

namespace {

// The destination destpath of e does not exist, or its status could not be
// read (err), and nothing is written: --verify notes it.
void absent(runstate* rs, const fileinfo* e, const char* destpath, int err) {
    if (!rs->mode.reports) return;
    // Only a path that does not exist is missing; one that cannot be
    // examined may well be there.
    if (err == 0 || err == ENOENT || err == ENOTDIR)
        return note(rs, e, destpath, recorded(rs, e) ? finding::missing : finding::absent);
    reportwarning("WARNING: can't examine '%s': %s (%d)\n",
                  listingpath(rs, relativepath(rs, e, destpath)).c_str(), std::strerror(err), err);
    note(rs, e, destpath, finding::unreadable);
}

// The existing destination (status dst) compared with what would be
// installed now: the source the copy opened (or its expansion), or, while
// it is not open, only its status.
copyaction compare(runstate* rs, const copyquestion& q, const statinfo& dst) {
    lifestate* ls = lifeof(rs);
    const fileinfo* e = q.entry;
    const statinfo& src = *q.src;
    // The record identity and relative path, built in buffers the run
    // reuses: there is one lookup per installed file.
    static std::string key;
    static std::string rel;
    const filetype* t = e->ftype;
    recordkey(&key, e, t != nullptr ? t->typename_ : nullptr, t != nullptr ? t->suffix : nullptr);
    relativepath(&rel, rs, e, q.destpath);
    // The fingerprint of the record, when it describes the file at its path.
    const fingerprint* fp = printfind(&ls->sums, key);
    if (fp != nullptr && fp->path != rel) fp = nullptr;
    // The destination's status is the one its fingerprint holds.
    bool installed =
        fp != nullptr && dst.kind == 'f' && fp->size == dst.size && fp->mtime == dst.mtime;
    // The destination as installed and its source unchanged since: it is in
    // step, and nothing need be read.
    bool insync = installed && fp->srcsize == src.size && fp->srcmtime == src.mtime;
    if (q.text == nullptr && (insync || q.srcfd < 0)) {
        if (!insync) return copyaction::look;
        settled(ls, key);
        if (rs->mode.reports) note(rs, e, q.destpath, finding::same);
        return copyaction::leave;
    }
    reader r{q.srcfd, q.srcpath};
    digest h = q.text != nullptr ? hashbytes(q.text, q.textlen) : digest{};
    // Whether the content fp describes is what would be installed now.
    auto matches = [&] {
        if (q.text != nullptr) return h == fp->hash;
        // Unchanged source times say the source still holds what was installed.
        if (fp->srcsize == src.size && fp->srcmtime == src.mtime) return true;
        return src.size == fp->size && hashrest(r) == fp->hash;
    };
    // Whether the destination holds what would be installed now; its hash in *d.
    auto same = [&](digest* d) {
        std::int64_t size = q.text != nullptr ? static_cast<std::int64_t>(q.textlen) : src.size;
        // The sizes tell the contents apart (a link's own size says nothing).
        if (dst.kind == 'f' && dst.size != size) return false;
        if (q.text == nullptr) return sameasreader(q.destpath, r, d);
        *d = h;
        return sameastext(q.destpath, q.text, q.textlen);
    };
    digest d;
    // --verify: how the destination differs from what was installed and
    // from what would be installed now.
    auto judge = [&] {
        // A link standing where an installed file was is not what was
        // installed, wherever it points.
        if (dst.kind == 'l' && (fp != nullptr || recorded(rs, e))) return finding::modified;
        if (dst.kind != 'f' && dst.kind != 'l')
            return fp != nullptr ? finding::modified : finding::outdated;
        if (fp == nullptr || dst.kind != 'f') return same(&d) ? finding::same : finding::outdated;
        if (asinstalled(fp, {}, q.destpath, dst))
            return matches() ? finding::same : finding::outdated;
        // A killed run's copy (its journal describes it) was installed too.
        if (!asinstalled(nullptr, journalprints(ls, key, rel), q.destpath, dst))
            return finding::modified;
        return same(&d) ? finding::same : finding::outdated;
    };
    if (rs->mode.reports) {
        note(rs, e, q.destpath, judge());
        return copyaction::leave;
    }
    // A directory where the file belongs is left alone, as by any run.
    if (dst.kind != 'f' && dst.kind != 'l') return copyaction::leave;
    // Changed since it was installed: its fingerprint, and those of what
    // killed runs wrote (their journal), say other content. Without a
    // fingerprint nothing can be told, and --force does not ask.
    bool edited = !installed && !rs->force && fp != nullptr && dst.kind == 'f' &&
                  !asinstalled(fp, journalprints(ls, key, rel), q.destpath, dst);
    if (installed || edited) settled(ls, key);
    bool differs = installed ? !matches() : !same(&d);
    if (!differs) remember(ls, key, installed ? fp->hash : d, dst, src, rel);
    return plan(rs, ls, differs, edited, q.destpath, e);
}

// The hash to compute while copying, or null when no fingerprint is kept.
hasher* copyhash(runstate* rs) {
    if (rs->life == nullptr || !rs->life->keep) return nullptr;
    hashreset(rs->life->hash);
    return rs->life->hash;
}

}  // namespace

copyaction decidecopy(const runmode& mode, const copyfacts& facts) {
    if (!facts.exists) return mode.writes ? copyaction::write : copyaction::would;
    if (!mode.compares || mode.reports || !facts.isfile || !facts.differs) return copyaction::leave;
    return facts.edited ? copyaction::beside : copyaction::replace;
}

copyanswer lifeask(runstate* rs, const copyquestion& q) {
    const destination& dst = *q.dst;
    copyaction action;
    if (!dst.exists) {
        action = decidecopy(rs->mode, {false, false, false, false});
        if (action == copyaction::would) absent(rs, q.entry, q.destpath, dst.error);
    } else if (!rs->mode.compares) {
        action = copyaction::leave;
    } else {
        action = compare(rs, q, dst.status);
    }
    bool writes = rs->mode.writes && (action == copyaction::write || action == copyaction::replace);
    return {action, writes ? copyhash(rs) : nullptr};
}


int lifecopied(runstate* rs, const copyreport& r) {
    lifestate* ls = rs->life;
    if (ls == nullptr || !ls->keep) return -1;
    for (const copydone& c : r.named) {
        statinfo dst;
        if (statpath(c.destpath, &dst) != 0) continue;
        remember(ls, recordkey(c.entry), c.hash, dst, c.src, relativepath(rs, c.entry, c.destpath));
    }
    std::string lines;
    for (const copydone& c : r.coming) {
        fingerprint fp{c.hash, c.tmp.size, c.tmp.mtime, c.src.size, c.src.mtime,
                       relativepath(rs, c.entry, c.destpath)};
        sumsline(&lines, recordkey(c.entry), fp);
    }
    return writejournal(rs, ls, std::move(lines));
}

// ---- manifest -------------------------------------------------------------

bool lifetakesorphans(const runstate* rs) { return rs->mode.removes || rs->mode.reports; }

bool lifeorphan(runstate* rs, fileinfo* e, const char* ext, const char* unknown) {
    if (!lifetakesorphans(rs)) return false;
    // A directory record is dropped, and one without a package is an error,
    // as in any run.
    if ((e->flags & F_DIR) != 0 || e->pkgname == nullptr) return false;
    if (unknown == nullptr && hasdirectories(rs, e)) return false;
    const char* typname = unknown != nullptr ? unknown
                          : e->ftype != nullptr ? e->ftype->typename_ : nullptr;
    lifeof(rs)->orphans.push_back(orphan{e, typname, ext});
    return true;
}

void lifeextrarecords(const runstate* rs, std::FILE* stream, recordwriter write) {
    for (const orphan& o : lifeof(rs)->orphans)
        if (o.kept) write(stream, o.entry, o.ext, o.typname);
}
