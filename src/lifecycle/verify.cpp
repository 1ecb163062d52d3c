// The --verify report: one line per file that differs, in tree order, then
// a count. The walk's copy step has counted what it found for every file of
// the input and kept the differences; the records the input no longer lists
// are added here.
#include <iterator>

#include "run/run.h"
#include "lifecycle/lifeinternal.h"
#include "report/report.h"
#include "tree/tree.h"

namespace {

// The report's word for each finding, in the order of the enumeration.
constexpr const char* words[] = {"ok", "missing", "modified", "outdated", "new", "unreadable"};
static_assert(std::size(words) == static_cast<std::size_t>(finding::unreadable) + 1);

void unlisted(lifestate* ls, const std::string& path) {
    ls->checked++;
    ls->differ++;
    reportfinding("unlisted", path);
}

}  // namespace

void verifyreport(runstate* rs, lifestate* ls) {
    foreachtreeentry(rs, [&](fileinfo* e) {
        if (!isfile(e)) return;
        auto it = ls->findings.find(e);
        if (it != ls->findings.end()) {
            reportfinding(words[static_cast<int>(it->second.first)], it->second.second);
            return;
        }
        std::string path;
        if ((e->flags & F_FROMMANIFEST) != 0 && inscope(rs, e) && treepath(rs, e, &path))
            unlisted(ls, path);
    });
    for (const orphan& o : ls->orphans) {
        std::string path;
        if (o.typname == nullptr || !inscope(rs, o.entry)) continue;
        orphanpath(rs, ls, o, &path);
        unlisted(ls, path);
    }
    reportverifytotals(ls->checked, ls->differ);
}
