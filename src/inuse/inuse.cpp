// The list of files left aside because another program held them open.
#include "inuse/inuse.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "run/run.h"
#include "layout/layout.h"
#include "platform/platform.h"
#include "report/report.h"
#include "text/text.h"

namespace {

struct asidelist {
    bool read = false;                // the list of earlier runs was there
    std::vector<std::string> kept;    // earlier entries still aside
};

asidelist earlier;
int keptfiles = 0;  // files left in place for being in use

// The destination as the file calls take it: a leading '/' dropped (an
// empty destination is the working directory), '/' as the separator.
std::string destination(const runstate* rs) {
    std::string dir = rs->destdir[0] == '/' ? rs->destdir + 1 : rs->destdir;
    std::replace(dir.begin(), dir.end(), '\\', '/');
    return dir;
}

// A listed name that stays inside the destination and is one the platform
// moves files aside to; the list is a file anybody may edit. It is written
// with '/' only: a backslash, a separator on Windows alone, would make the
// line mean different files on each host.
bool trusted(const std::string& rel) {
    if (rel.empty() || rel[0] == '/' || rel.find('\\') != std::string::npos) return false;
    return fieldproblem(fieldkind::path, rel) == nullptr && isasidename(rel);
}

// The list, or its temporary name.
std::string listpath(const runstate* rs, bool temp) {
    char path[PATHSIZE];
    return ownpath(path, sizeof path, rs->destdir, ownfile::inuse, nullptr, temp) < 0
               ? std::string()
               : std::string(path);
}

// The aside name relative to the destination, with '/' separators.
std::string relative(const runstate* rs, std::string path) {
    std::replace(path.begin(), path.end(), '\\', '/');
    std::string dir = destination(rs) + "/";
    if (dir.size() > 1 && path.size() > dir.size() && path.starts_with(dir))
        return path.substr(dir.size());
    return path;
}

}  // namespace

void removeleftaside(runstate* rs) {
    if (!rs->mode.writes) return;
    std::string list = listpath(rs, false);
    char* text = nullptr;
    char* end = nullptr;
    if (loadfile(list.c_str(), &text, &end, nullptr) != 0) return;
    earlier.read = true;
    std::string dir = destination(rs);
    char* cursor = text;
    char* line;
    char* lineend;
    while (cursor != end && nextline(&line, &lineend, &cursor, end) == 0) {
        std::string rel(line, lineend);
        if (!trusted(rel)) continue;
        std::string path = dir.empty() ? rel : dir + "/" + rel;
        statinfo st;
        if (statpath(path.c_str(), &st) != 0 || st.kind != 'f') continue;
        // A plain delete: a file still in use stays where it is.
        if (removepath(path.c_str(), {.plain = true}) != 0) earlier.kept.push_back(rel);
    }
    std::free(text);
}

void recordleftaside(runstate* rs) {
    if (!rs->mode.writes) return;
    std::vector<std::string> names = earlier.kept;
    for (const asidefile& f : filesleftaside()) names.push_back(relative(rs, f.aside));
    std::string list = listpath(rs, false);
    if (list.empty()) return;
    if (names.empty()) {
        int err = earlier.read ? removepath(list.c_str()) : 0;
        if (err != 0)
            reportwarning("WARNING: can't remove '%s': %s (%d)\n", list.c_str(),
                          std::strerror(err), err);
        return;
    }
    std::string temp = listpath(rs, true);
    atomicfile f;
    int err = opentemp(rs, &f, list.c_str(), temp.c_str(), true);
    if (err == 0) {
        for (const std::string& name : names) std::fprintf(f.stream, "%s\n", name.c_str());
        err = atomiccommit(&f, true);
    }
    if (err != 0)
        reportwarning("WARNING: can't write '%s': %s (%d)\n", list.c_str(),
                      std::strerror(err), err);
}

void keptinuse(const char* path, bool replace) {
    reportwarning("WARNING: '%s' is in use by another program; it was not %s\n", path,
                  replace ? "replaced" : "removed");
    keptfiles++;
}

int leftasidestatus() { return filesleftaside().empty() && keptfiles == 0 ? 0 : 2; }
