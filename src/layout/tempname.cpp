// Temporary names and the output files beside the destination. A copy,
// "manifest.txt" and each permission script are written under a temporary
// name next to their final name. A name that an entry of the trees installs
// is never used as a temporary, even when nothing stands there yet: a run
// killed while writing would otherwise leave a partial file that the next
// run keeps as that entry's installed file.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <string_view>

#include "layout/layout.h"
#include "run/run.h"
#include "platform/platform.h"
#include "text/text.h"
#include "tree/tree.h"
#include "types/types.h"

// Installed file names (ASCII case folded) that could clash with a
// temporary name: those holding the tag every temporary name holds.
struct nameset {
    std::set<std::string, std::less<>> names;
};

namespace {

constexpr int MAXTEMPNAMES = 100;

std::string_view lastcomponent(std::string_view path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

void addinstalled(nameset* set, const fileinfo* e) {
    static const std::string tag = foldedascii(TEMPTAG);
    if (e->ftype == nullptr || (e->ftype->flags & F_FILE) == 0) return;
    // The installed name alone, without a directory.
    char name[PATHSIZE];
    int n = installedpath(name, sizeof name, e, {.version = findversion(e)});
    if (n < 0 || n >= PATHSIZE) return;  // never installed: the walk refuses the name
    std::string key = foldedascii(name);
    if (key.find(tag) != std::string::npos) set->names.insert(std::move(key));
}

bool installsatname(runstate* rs, std::string_view tmppath) {
    if (rs->tempclash == nullptr) {
        rs->tempclash = new nameset;
        auto add = [rs](const fileinfo* e) { addinstalled(rs->tempclash, e); };
        foreachentry(rs->dirtree, add);
        foreachentry(rs->roottree, add);
    }
    if (rs->tempclash->names.empty()) return false;
    return rs->tempclash->names.count(foldedascii(lastcomponent(tmppath))) != 0;
}

}  // namespace

int opentemp(runstate* rs, atomicfile* f, const char* path, const char* tmppath, bool text) {
    char name[TEMPNAMESIZE];
    int err = EEXIST;
    // tmppath itself first, then with a counter ("~1", "~2", ...).
    for (int attempt = 0; attempt < MAXTEMPNAMES; attempt++) {
        int n = attempt == 0 ? std::snprintf(name, sizeof name, "%s", tmppath)
                             : std::snprintf(name, sizeof name, "%s~%d", tmppath, attempt);
        if (n < 0 || static_cast<std::size_t>(n) >= sizeof name) return ENAMETOOLONG;
        if (installsatname(rs, name)) continue;
        err = atomicopen(f, path, name, text);
        if (err != EEXIST) return err;
    }
    return err;
}
