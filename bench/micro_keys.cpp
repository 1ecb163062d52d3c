// Micro-benchmarks of memdupsub: a 10 MB text expanded with a table of
// 1,000 keys, with references dense, sparse or absent, and with many '<'
// that open no reference.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "text/text.h"

namespace {

constexpr int numkeys = 1000;
constexpr std::size_t textsize = 10 * 1000 * 1000;

struct table {
    subkey* keytab[997] = {};
    unsigned maxkeylen = 0;
    std::vector<std::string> names, values;

    table() {
        names.reserve(numkeys);
        values.reserve(numkeys);
        char buf[64];
        for (int i = 0; i < numkeys; i++) {
            std::snprintf(buf, sizeof buf, "key%04d", i);
            names.emplace_back(buf);
            std::snprintf(buf, sizeof buf, "value number %d of the table", i);
            values.emplace_back(buf);
        }
        for (int i = 0; i < numkeys; i++)
            addkey(keytab, &maxkeylen, names[i].data(), names[i].size(), values[i].data(),
                   values[i].size(), 0);
    }
};

const table& keys() {
    static const table t;
    return t;
}

// About textsize bytes of lines of words; every `every` bytes on average a
// reference to a random key (0: none); with tags, an HTML-like "<b>" or
// "a < b" instead of every other reference.
std::string maketext(int every, bool tags) {
    std::mt19937 rng(7);
    static const char* const words[] = {"install", "the", "files", "into", "destination",
                                        "tree", "with", "keys", "and", "types"};
    std::string text;
    text.reserve(textsize + 64);
    std::size_t next = every > 0 ? static_cast<std::size_t>(every) : textsize + 1;
    int col = 0;
    bool flip = false;
    while (text.size() < textsize) {
        if (text.size() >= next) {
            next = text.size() + 1 + rng() % static_cast<unsigned>(2 * every);
            if (tags && (flip = !flip))
                text += (rng() % 2) ? "<b>" : "a < b";
            else
                text.append("<").append(keys().names[rng() % numkeys]).append(">");
        } else {
            text += words[rng() % 10];
        }
        if (++col == 12) {
            text += '\n';
            col = 0;
        } else {
            text += ' ';
        }
    }
    return text;
}

void BM_memdupsub(benchmark::State& state) {
    const table& t = keys();
    std::string text = maketext(static_cast<int>(state.range(0)), state.range(1) != 0);
    std::size_t outlen = 0;
    for (auto _ : state) {
        char* out = nullptr;
        memdupsub(&out, &outlen, text.data(), text.size(), t.keytab, t.maxkeylen);
        benchmark::DoNotOptimize(out);
        std::free(out);
    }
    if (state.range(0) > 0 && outlen <= text.size()) state.SkipWithError("nothing was expanded");
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
// Arguments: mean distance between references in bytes (0: none), and
// whether half of them are '<' that open no reference.
BENCHMARK(BM_memdupsub)
    ->ArgNames({"every", "tags"})
    ->Args({0, 0})
    ->Args({1000, 0})
    ->Args({100, 0})
    ->Args({100, 1})
    ->Unit(benchmark::kMillisecond);

}  // namespace
