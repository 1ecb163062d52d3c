// Micro-benchmarks of insertentry: one directory of 100,000 entries, filled
// in name order, in reverse order and in a shuffled order, and the re-run
// case where every input entry merges into a manifest record.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "tree/tree.h"
#include "types/types.h"

namespace {

constexpr int entries = 100000;

char cwd[] = "/work";
char pkg[] = "core";

filetype* maketype(const char* name, flagword flags) {
    auto* t = static_cast<filetype*>(std::calloc(1, sizeof(filetype)));
    t->typename_ = name;
    t->dirpath = ".";
    t->dirpathlen = 1;
    t->flags = flags;
    return t;
}

filetype* const filetype_ = maketype("f", F_FILE | F_SRCPATH);
filetype* const dirtype = maketype("dir", F_DIR);

// The paths "big/f000000" ... as the input file names them; the records
// point into these texts, which live as long as the program.
const std::vector<std::string>& paths() {
    static const std::vector<std::string> all = [] {
        std::vector<std::string> v;
        char buf[32];
        for (int i = 0; i < entries; i++) {
            std::snprintf(buf, sizeof buf, "big/f%06d", i);
            v.emplace_back(buf);
        }
        return v;
    }();
    return all;
}

// A record as the input stage makes it from a path with one '/'.
fileinfo* makeentry(const std::string& path, flagword extra) {
    auto* e = static_cast<fileinfo*>(std::calloc(1, sizeof(fileinfo)));
    char* text = const_cast<char*>(path.c_str());
    char* slash = std::strchr(text, '/');
    e->dstpath = text;
    e->dstlen = static_cast<std::uint32_t>(slash - text);
    e->name = slash + 1;
    e->namelen = static_cast<std::uint32_t>(path.size()) - e->dstlen - 1;
    e->ftype = filetype_;
    e->flags = filetype_->flags | extra;
    e->pkgname = pkg;
    e->basedir = cwd;
    return e;
}

// A run state with the directory "big" declared, as the types file does.
runstate* newstate() {
    auto* rs = static_cast<runstate*>(std::calloc(1, sizeof(runstate)));
    rs->infile = "install.ins";
    rs->destdir = "dest";
    std::strcpy(rs->cwd, cwd);
    static char big[] = "big";
    auto* d = static_cast<fileinfo*>(std::calloc(1, sizeof(fileinfo)));
    d->dstpath = big;
    d->name = big;
    d->namelen = 3;
    d->ftype = dirtype;
    d->flags = F_DIR;
    d->pkgname = pkg;
    d->basedir = cwd;
    insertentry(rs, d);
    return rs;
}

enum order { sorted, reversed, shuffled };

std::vector<const std::string*> inorder(order o) {
    std::vector<const std::string*> v;
    for (const std::string& p : paths()) v.push_back(&p);
    if (o == reversed) std::reverse(v.begin(), v.end());
    if (o == shuffled) std::shuffle(v.begin(), v.end(), std::mt19937(12345));
    return v;
}

// Each iteration fills a fresh tree. The records are freed afterwards; the
// index beside the list is not (the tree keeps it for the life of a run), so
// the iterations are few.
void BM_insertentry(benchmark::State& state) {
    std::vector<const std::string*> list = inorder(static_cast<order>(state.range(0)));
    for (auto _ : state) {
        state.PauseTiming();
        runstate* rs = newstate();
        std::vector<fileinfo*> recs;
        recs.reserve(list.size());
        for (const std::string* p : list) recs.push_back(makeentry(*p, 0));
        state.ResumeTiming();
        for (fileinfo* e : recs) insertentry(rs, e);
        state.PauseTiming();
        if (rs->dirtree->child == nullptr) state.SkipWithError("nothing inserted");
        for (fileinfo* e : recs) std::free(e);
        std::free(rs);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * entries);
}
BENCHMARK(BM_insertentry)
    ->ArgName("order")
    ->Arg(sorted)
    ->Arg(reversed)
    ->Arg(shuffled)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

// The re-run: the manifest's records (in name order, as the manifest is
// written), then the input's entries in shuffled order, each merged into its
// record and freed by insertentry.
void BM_insertentry_rerun(benchmark::State& state) {
    std::vector<const std::string*> manifest = inorder(sorted);
    std::vector<const std::string*> input = inorder(shuffled);
    for (auto _ : state) {
        state.PauseTiming();
        runstate* rs = newstate();
        std::vector<fileinfo*> records, recs;
        for (const std::string* p : manifest) records.push_back(makeentry(*p, F_FROMMANIFEST));
        for (const std::string* p : input) recs.push_back(makeentry(*p, 0));
        state.ResumeTiming();
        rs->readingmanifest = 1;
        for (fileinfo* e : records) insertentry(rs, e);
        rs->readingmanifest = 0;
        for (fileinfo* e : recs) insertentry(rs, e);
        state.PauseTiming();
        if (rs->changed) state.SkipWithError("an equal entry counted as a change");
        for (fileinfo* e : records) std::free(e);
        std::free(rs);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * entries);
}
BENCHMARK(BM_insertentry_rerun)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
