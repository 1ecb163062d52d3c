// The batches of finished copies: each flushed together, then named in
// order. A copy never takes its name before its data is on the disk; the cost
// of that is one flush per batch, not per file, made while the run copies the
// next batch.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <optional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ending/ending.h"
#include "install/install.h"
#include "inuse/inuse.h"
#include "layout/layout.h"
#include "lifecycle/fingerprint.h"
#include "lifecycle/lifecycle.h"
#include "platform/platform.h"
#include "report/report.h"
#include "run/run.h"

namespace {

// A batch is handed over to be flushed when it holds its share of copies or
// BATCHBYTES and the flush of the batch before it has ended; while that
// flush goes on it grows, up to twice its share or MOSTBYTES. Each copy keeps
// a descriptor open until it is named and two batches are open at once: the
// share keeps them within half of what the process may hold open. Fewer,
// larger batches make fewer syncs, each of which also writes the file
// system's own blocks again.
constexpr std::size_t BATCHFILES = 512;  // the share, where descriptors allow
constexpr std::uint64_t BATCHBYTES = 16ull << 20;
constexpr std::uint64_t MOSTBYTES = 64ull << 20;

// A listing line or note kept until the copies before it have their names;
// it owns the texts that a listing only points at.
struct pendingline {
    enum { nothing, action, note } what = nothing;
    listing line{};
    bool shown = false;
    std::string owner, group, path, text;
    std::optional<std::string> existing;
};

struct waiting {
    std::unique_ptr<atomicfile> file;  // null for a line alone
    bool replace = false;
    fileinfo* entry = nullptr;
    bool hashed = false;
    digest hash;
    statinfo src;
    pendingline line;
};

}  // namespace

// Copies are handed over in batches: the batch being filled, and the one
// before it, whose flush runs beside the copying of this one and which takes
// its names before this one is flushed.
struct settlequeue {
    std::vector<waiting> items;
    std::size_t files = 0;
    std::uint64_t bytes = 0;
    bool lineless = false;  // the last copy handed over awaits its line
    bool settling = false;
    std::vector<waiting> flushing;        // the batch whose flush is under way
    std::vector<waiting> named;  // copies named since the last report, with fingerprints
    flushjob* job = nullptr;
    // Without flushing a batch is one copy: nothing waits for a flush.
    std::size_t share = durable() ? std::clamp<std::size_t>(openfilelimit() / 8, 4, BATCHFILES) : 1;
};

namespace {

void print(pendingline& p) {
    if (p.what == pendingline::nothing) return;
    clearstatus();
    if (p.what == pendingline::note) {
        reportnote("%s", p.text.c_str());
        return;
    }
    p.line.owner = p.owner;
    p.line.group = p.group;
    p.line.path = p.path;
    p.line.existing = p.existing ? p.existing->c_str() : nullptr;
    reportlisting(p.line, p.shown);
}

// Reports to the lifecycle the copies named since the last report and those
// of r.coming, about to be flushed: the journal's descriptor, or -1.
int report(runstate* rs, settlequeue* q, copyreport& r) {
    for (const waiting& w : q->named) r.named.push_back({w.entry, w.file->path, w.hash, {}, w.src});
    int journal = lifecopied(rs, r);
    q->named.clear();
    return journal;
}

// Starts the flush of the batch being filled (its fingerprints journaled and
// flushed with it) and makes it the batch under way.
void handover(runstate* rs, settlequeue* q) {
    std::vector<int> fds;
    std::vector<unsigned char> samefs;  // in the directory of the copy before it
    std::vector<flushcommit> commits;
    std::string_view lastdir;
    copyreport r;
    for (const waiting& w : q->items) {
        if (!w.file) continue;
        commits.push_back({w.file.get(), w.replace});
        std::string_view path(w.file->path);
        std::string_view dir = path.substr(0, path.find_last_of("/\\") + 1);
        samefs.push_back(!fds.empty() && !dir.empty() && dir == lastdir);
        lastdir = dir;
        fds.push_back(w.file->fd);
        statinfo tmp;
        if (w.hashed && statfd(w.file->fd, &tmp) == 0)
            r.coming.push_back({w.entry, w.file->path, w.hash, tmp, w.src});
    }
    // The journal is flushed with the copies, before any takes its name.
    if (int journal = report(rs, q, r); journal >= 0) {
        fds.push_back(journal);
        samefs.push_back(0);
    }
    // The flushing thread names the copies too, off the copying.
    if (durable() && !fds.empty())
        q->job = startflush(fds.data(), fds.size(), samefs.data(), commits.data(), commits.size());
    q->flushing = std::move(q->items);
    q->items.clear();
    q->files = 0;
    q->bytes = 0;
    q->lineless = false;
}

// Waits for the flush of the batch under way, then names its copies in order
// and shows their lines.
void finish(runstate* rs, settlequeue* q) {
    std::vector<int> committed;
    if (q->job != nullptr) {
        std::size_t failed = 0;
        int err = waitflush(q->job, &failed, &committed);
        q->job = nullptr;
        if (err != 0) {
            // The copies were flushed in their order, the journal after them.
            for (const waiting& w : q->flushing)
                if (w.file && failed-- == 0) filefailed("Failed to flush file", w.file->path, err);
            char journal[PATHSIZE];
            ownpath(journal, sizeof journal, rs->destdir, ownfile::journal);
            filefailed("Failed to flush file", journal, err);
        }
    }
    std::vector<waiting> items = std::move(q->flushing);
    q->flushing.clear();
    std::size_t next = 0;
    for (waiting& w : items) {
        bool named = false;
        if (w.file) {
            atomicfile* f = w.file.get();
            // Those the flushing thread did not try are committed here.
            int err = next < committed.size() ? committed[next++] : NOTCOMMITTED;
            if (err == NOTCOMMITTED) err = atomiccommit(f, w.replace);
            if (err == EEXIST && !w.replace) {
                // A file of that name appeared meanwhile: it stays.
                w.line.line.status = '-';
            } else if (err == EBUSY && w.replace) {
                // Another program holds it: left as it is, with its
                // fingerprint, for a later run to replace.
                keptinuse(f->path, true);
                w.line.line.status = '-';
            } else if (err != 0) {
                filefailed("Failed to flush file", f->path, err);
            } else {
                named = w.hashed;
            }
        }
        print(w.line);
        if (named) q->named.push_back(std::move(w));
    }
}

// Names the batch under way, then starts the flush of the one filled since;
// with last, names that one too and reports every named copy.
void settle(runstate* rs, settlequeue* q, bool last) {
    copyreport none;
    // A failure while settling ends the run as it is, with what it named.
    if (q->settling) {
        if (last) report(rs, q, none);
        return;
    }
    q->settling = true;
    finish(rs, q);
    if (!q->items.empty()) handover(rs, q);
    if (last) {
        finish(rs, q);
        report(rs, q, none);
    }
    q->settling = false;
}

bool due(const settlequeue* q) {
    if (q->files < q->share && q->bytes < BATCHBYTES) return false;
    bool flushing = q->job != nullptr && !flushdone(q->job);
    return !flushing || q->files >= 2 * q->share || q->bytes >= MOSTBYTES;
}

void settleitem(runstate* rs, pendingline line, bool copyline) {
    settlequeue* q = rs->settle;
    bool attach = copyline && q != nullptr && q->lineless;
    if (q == nullptr || (q->items.empty() && q->flushing.empty())) {
        print(line);
        return;
    }
    if (attach) {
        q->items.back().line = std::move(line);
        q->lineless = false;
    } else if (line.what != pendingline::nothing) {
        waiting w;
        w.line = std::move(line);
        q->items.push_back(std::move(w));
    }
    if (attach && due(q)) settle(rs, q, false);
}

}  // namespace

void settlecopy(runstate* rs, atomicfile* f, bool replace, fileinfo* e, const digest* d,
                const statinfo& src, std::uint64_t bytes) {
    if (rs->settle == nullptr) rs->settle = new settlequeue;
    settlequeue* q = rs->settle;
    q->items.push_back({std::unique_ptr<atomicfile>(f), replace, e, d != nullptr,
                        d != nullptr ? *d : digest{}, src, {}});
    q->files++;
    q->bytes += bytes;
    q->lineless = true;
}

void settleline(runstate* rs, const listing* line, bool shown, bool copyline) {
    // Nothing waits (a run that copies nothing): the line goes out now, its
    // texts not copied.
    const settlequeue* q = rs->settle;
    if (q == nullptr || (q->items.empty() && q->flushing.empty())) {
        if (line == nullptr) return;
        clearstatus();
        return reportlisting(*line, shown);
    }
    pendingline p;
    if (line != nullptr) {
        p.what = pendingline::action;
        p.line = *line;
        p.shown = shown;
        p.owner = line->owner;
        p.group = line->group;
        p.path = line->path;
        if (line->existing != nullptr) p.existing = line->existing;
    }
    settleitem(rs, std::move(p), copyline);
}

void settlenote(runstate* rs, std::string text) {
    pendingline p;
    p.what = pendingline::note;
    p.text = std::move(text);
    settleitem(rs, std::move(p), false);
}

void settleall(runstate* rs) {
    settlequeue* q = rs->settle;
    if (q != nullptr && !(q->items.empty() && q->flushing.empty() && q->named.empty()))
        settle(rs, q, true);
}
