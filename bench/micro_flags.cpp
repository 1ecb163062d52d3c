// Micro-benchmark of flagnames, which the manifest writer calls once per
// record, over the flag words a manifest typically holds.
#include <benchmark/benchmark.h>

#include <string>

#include "text/text.h"

namespace {

const flagword words[] = {
    F_FILE,                                  // a plain file of a type without flags
    F_FILE | F_SRCPATH,                      // a srcpath file
    P_ALL | F_FILE | F_SUBSTITUTE,           // a substituted file on every platform
    P_WIN32 | F_DIR,                         // a directory for one platform
    (P_ALL & ~P_WIN32) | F_SYMLINK,          // a link of the other platforms
    0,                                       // nothing to write
    0xffffffffu,                             // every bit: the longest text
};
constexpr int numwords = sizeof words / sizeof words[0];

void BM_flagnames(benchmark::State& state) {
    std::size_t total = 0;
    for (auto _ : state) {
        for (flagword w : words) {
            std::string s = flagnames(w);
            total += s.size();
            benchmark::DoNotOptimize(s);
        }
    }
    if (total == 0) state.SkipWithError("no names written");
    state.SetItemsProcessed(state.iterations() * numwords);
}
BENCHMARK(BM_flagnames);

// One word at a time, to tell the short words from the long ones.
void BM_flagnames_word(benchmark::State& state) {
    flagword w = words[state.range(0)];
    for (auto _ : state) {
        std::string s = flagnames(w);
        benchmark::DoNotOptimize(s);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_flagnames_word)->DenseRange(0, numwords - 1);

}  // namespace
