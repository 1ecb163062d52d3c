// The progress line. Updates arrive for every file and every chunk copied;
// the line is redrawn only when a tenth of a second has passed since it was
// last drawn, so a run of many small files costs a clock read per event.
#include "progress/progress.h"

#include <chrono>
#include <cstdio>

#include "run/run.h"
#include "platform/platform.h"
#include "tree/tree.h"
#include "types/types.h"

namespace {

using clock = std::chrono::steady_clock;
constexpr auto REDRAW = std::chrono::milliseconds(100);

struct progressstate {
    bool active;
    std::uint64_t total;
    std::uint64_t done;
    std::uint64_t bytes;
    clock::time_point start;
    clock::time_point drawn;
};

progressstate progress{};

// Whether the walk may copy the entry: a file entry, unless it is known only
// from the manifest and names a package (or, in package mode, names none).
bool counted(const fileinfo* e, bool pkgmode) {
    if (e->ftype == nullptr || (e->ftype->flags & F_FILE) == 0) return false;
    bool named = e->pkgname != nullptr && e->pkgname[0] != '-';
    bool recordonly = (e->flags & F_FROMMANIFEST) != 0;
    return pkgmode ? named && !recordonly : !(named && recordonly);
}

std::uint64_t countfiles(const fileinfo* first, bool pkgmode) {
    std::uint64_t n = 0;
    foreachentry(first, [&n, pkgmode](const fileinfo* e) { n += counted(e, pkgmode) ? 1 : 0; });
    return n;
}

// Bytes in the largest unit that keeps the number below 1024.
void sizetext(char* buf, std::size_t cap, double bytes) {
    static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int unit = 0;
    while (bytes >= 1024 && unit < 4) {
        bytes /= 1024;
        unit++;
    }
    std::snprintf(buf, cap, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
}

void draw(clock::time_point now) {
    progress.drawn = now;
    double seconds = std::chrono::duration<double>(now - progress.start).count();
    char copied[32];
    char rate[32];
    sizetext(copied, sizeof copied, static_cast<double>(progress.bytes));
    sizetext(rate, sizeof rate, seconds > 0 ? static_cast<double>(progress.bytes) / seconds : 0);
    char line[160];
    std::uint64_t done = progress.done < progress.total ? progress.done : progress.total;
    std::snprintf(line, sizeof line, "%llu/%llu files, %s copied, %s/s",
                  static_cast<unsigned long long>(done),
                  static_cast<unsigned long long>(progress.total), copied, rate);
    showstatus(line);
}

void update() {
    clock::time_point now = clock::now();
    if (now - progress.drawn >= REDRAW) draw(now);
}

}  // namespace

void progressstart(const runstate* rs) {
    if (!rs->progress || !stderristerminal()) return;
    bool pkgmode = rs->pkgmode != 0;
    progress = progressstate{};
    progress.active = true;
    progress.total = countfiles(rs->dirtree, pkgmode) + countfiles(rs->roottree, pkgmode);
    progress.start = clock::now();
    draw(progress.start);
}

void progressfile() {
    if (!progress.active) return;
    progress.done++;
    update();
}

void progressbytes(std::uint64_t count) {
    if (!progress.active) return;
    progress.bytes += count;
    update();
}

void progressend() {
    if (!progress.active) return;
    progress.active = false;
    clearstatus();
}
