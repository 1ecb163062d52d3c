// The batch of finished copies: flushed together, then named in order. A
// copy never takes its name before its data is on the disk, and the cost of
// that is one flush per batch, not per file.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ending/ending.h"
#include "install/install.h"
#include "inuse/inuse.h"
#include "lifecycle/fingerprint.h"
#include "lifecycle/lifecycle.h"
#include "platform/platform.h"
#include "report/report.h"
#include "run/run.h"

namespace {

// A batch is flushed when it holds this many copies or bytes.
constexpr std::size_t BATCHFILES = 64;
constexpr std::uint64_t BATCHBYTES = 64ull << 20;

// A listing line or note kept until the copies before it have their names;
// it owns the texts that a listing only points at.
struct pendingline {
    enum { nothing, action, note } what = nothing;
    listing line{};
    bool shown = false;
    std::string owner, group, path, existing, text;
    bool hasexisting = false;
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

struct settlequeue {
    std::vector<waiting> items;
    std::size_t files = 0;
    std::uint64_t bytes = 0;
    bool lineless = false;  // the last copy handed over awaits its line
    bool settling = false;
};

namespace {

settlequeue* queueof(runstate* rs) {
    if (rs->settle == nullptr) rs->settle = new settlequeue;
    return rs->settle;
}

[[noreturn]] void flushfailed(const char* path, int err) {
    die("Failed to flush file '%s': %s (%d)\n", path, std::strerror(err), err);
}

pendingline keep(const listing* line, bool shown) {
    pendingline p;
    if (line == nullptr) return p;
    p.what = pendingline::action;
    p.line = *line;
    p.shown = shown;
    p.owner = line->owner;
    p.group = line->group;
    p.path = line->path;
    p.hasexisting = line->existing != nullptr;
    if (p.hasexisting) p.existing = line->existing;
    return p;
}

void print(pendingline& p) {
    if (p.what == pendingline::note) {
        clearstatus();
        reportnote("%s", p.text.c_str());
    } else if (p.what == pendingline::action) {
        clearstatus();
        p.line.owner = p.owner;
        p.line.group = p.group;
        p.line.path = p.path;
        p.line.existing = p.hasexisting ? p.existing.c_str() : nullptr;
        reportlisting(p.line, p.shown);
    }
}

void settle(runstate* rs, settlequeue* q) {
    if (q->settling) return;  // a failure while settling ends the run as it is
    q->settling = true;
    std::vector<int> fds;
    std::vector<unsigned char> samefs;  // in the directory of the copy before it
    std::vector<const waiting*> owners;
    std::string_view lastdir;
    std::vector<copydone> done;  // the copies whose fingerprints are kept
    for (const waiting& w : q->items) {
        if (!w.file) continue;
        std::string_view path(w.file->path);
        std::string_view dir = path.substr(0, path.find_last_of("/\\") + 1);
        samefs.push_back(!fds.empty() && !dir.empty() && dir == lastdir);
        lastdir = dir;
        fds.push_back(w.file->fd);
        owners.push_back(&w);
        statinfo tmp;
        if (w.hashed && statfd(w.file->fd, &tmp) == 0)
            done.push_back({w.entry, w.file->path, w.hash, tmp, w.src});
    }
    // The journal is flushed with the copies, before any takes its name.
    if (int journal = lifejournal(rs, done); journal >= 0) {
        fds.push_back(journal);
        samefs.push_back(0);
    }
    std::size_t failed = 0;
    int err = durable() && !fds.empty()
                  ? flushfiles(fds.data(), fds.size(), &failed, samefs.data())
                  : 0;
    if (err != 0) flushfailed(owners[failed < owners.size() ? failed : 0]->file->path, err);
    std::vector<waiting> items = std::move(q->items);
    q->items.clear();
    q->files = 0;
    q->bytes = 0;
    q->lineless = false;
    for (waiting& w : items) {
        if (w.file) {
            atomicfile* f = w.file.get();
            err = atomiccommit(f, w.replace);
            if (err == EEXIST && !w.replace) {
                // A file of that name appeared meanwhile: it stays.
                w.line.line.status = '-';
            } else if (err == EBUSY && w.replace) {
                // Another program holds it: left as it is, with its
                // fingerprint, for a later run to replace.
                keptinuse(f->path, true);
                w.line.line.status = '-';
            } else if (err != 0) {
                flushfailed(f->path, err);
            } else if (w.hashed) {
                lifecopied(rs, w.entry, f->path, w.hash, w.src);
            }
        }
        print(w.line);
    }
    q->settling = false;
}

}  // namespace

void settlecopy(runstate* rs, atomicfile* f, bool replace, fileinfo* e, const digest* d,
                const statinfo& src, std::uint64_t bytes) {
    settlequeue* q = queueof(rs);
    waiting w;
    w.file.reset(f);
    w.replace = replace;
    w.entry = e;
    w.hashed = d != nullptr;
    if (d != nullptr) w.hash = *d;
    w.src = src;
    q->items.push_back(std::move(w));
    q->files++;
    q->bytes += bytes;
    q->lineless = true;
}

namespace {

void settleitem(runstate* rs, pendingline line, bool copyline) {
    settlequeue* q = rs->settle;
    bool attach = copyline && q != nullptr && q->lineless;
    if (q == nullptr || q->items.empty()) {
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
    if (attach && (q->files >= BATCHFILES || q->bytes >= BATCHBYTES)) settle(rs, q);
}

}  // namespace

void settleline(runstate* rs, const listing* line, bool shown, bool copyline) {
    settleitem(rs, keep(line, shown), copyline);
}

void settlenote(runstate* rs, std::string text) {
    pendingline p;
    p.what = pendingline::note;
    p.text = std::move(text);
    settleitem(rs, std::move(p), false);
}

void settleall(runstate* rs) {
    if (rs->settle != nullptr && !rs->settle->items.empty()) settle(rs, rs->settle);
}
