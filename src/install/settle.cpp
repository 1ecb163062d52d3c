// The batch of finished copies: flushed together, then named in order. A
// copy never takes its name before its data is on the disk, and the cost of
// that is one flush per batch, not per file.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "driver/driver.h"
#include "install/install.h"
#include "lifecycle/fingerprint.h"
#include "lifecycle/lifecycle.h"
#include "platform/platform.h"

namespace {

// A batch is flushed when it holds this many copies or bytes.
constexpr std::size_t BATCHFILES = 64;
constexpr std::uint64_t BATCHBYTES = 64ull << 20;

struct waiting {
    std::unique_ptr<atomicfile> file;  // null for a line alone
    bool replace = false;
    fileinfo* entry = nullptr;
    bool hashed = false;
    digest hash;
    statinfo src;
    std::string line;
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

void print(const std::string& line) {
    if (line.empty()) return;
    clearstatus();
    std::fputs(line.c_str(), stdout);
}

void settle(runstate* rs, settlequeue* q) {
    if (q->settling) return;  // a failure while settling ends the run as it is
    q->settling = true;
    std::vector<int> fds;
    std::vector<const waiting*> owners;
    for (const waiting& w : q->items) {
        if (!w.file) continue;
        fds.push_back(w.file->fd);
        owners.push_back(&w);
        statinfo tmp;
        if (w.hashed && statfd(w.file->fd, &tmp) == 0)
            lifejournal(rs, w.entry, w.file->path, w.hash, tmp, w.src);
    }
    // The journal is flushed with the copies, before any takes its name.
    if (int journal = lifejournalwrite(rs); journal >= 0) fds.push_back(journal);
    std::size_t failed = 0;
    int err = durable() && !fds.empty() ? flushfiles(fds.data(), fds.size(), &failed) : 0;
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
                if (!w.line.empty()) w.line[0] = '-';
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

void settleline(runstate* rs, std::string line, bool copyline) {
    settlequeue* q = rs->settle;
    bool attach = copyline && q != nullptr && q->lineless;
    if (q == nullptr || q->items.empty()) {
        print(line);
        return;
    }
    if (attach) {
        q->items.back().line = std::move(line);
        q->lineless = false;
    } else if (!line.empty()) {
        waiting w;
        w.line = std::move(line);
        q->items.push_back(std::move(w));
    }
    if (attach && (q->files >= BATCHFILES || q->bytes >= BATCHBYTES)) settle(rs, q);
}

void settleall(runstate* rs) {
    if (rs->settle != nullptr && !rs->settle->items.empty()) settle(rs, rs->settle);
}
