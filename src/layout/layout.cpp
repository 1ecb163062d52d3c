// Composing the paths a run touches and checking the names and paths read
// back from its state.
#include "layout/layout.h"

#include <cstdio>
#include <cstring>
#include <functional>

#include "platform/platform.h"
#include "text/text.h"
#include "text/winnames.h"
#include "tree/tree.h"
#include "types/types.h"

namespace {

bool isdigitchar(char c) { return c >= '0' && c <= '9'; }

// True when p points into the text [first, first + len].
bool pointsinto(const char* p, const char* first, std::size_t len) {
    std::less_equal<const char*> le;
    return le(first, p) && le(p, first + len);
}

// Number of characters of the entry's name in front of its version part.
// The version text is either a pointer into the name (the installed file)
// or a shortened copy of it (the version links); for a copy the stem is
// where the name's own version part starts.
std::size_t stembefore(const fileinfo* entry, const char* version) {
    if (pointsinto(version, entry->name, entry->namelen))
        return static_cast<std::size_t>(version - entry->name);
    const char* own = findversion(entry);
    return own != nullptr ? static_cast<std::size_t>(own - entry->name) : entry->namelen;
}

// The one formatter behind every installed, temporary and source path.
int compose(char* buffer, std::size_t capacity, const fileinfo* entry, const placement& p,
            const char* tag) {
    const filetype* type = entry->ftype;
    const char* version = p.version;
    std::size_t stemlen = p.stemlen;
    if (stemlen == 0) stemlen = version != nullptr ? stembefore(entry, version) : entry->namelen;
    flagword typeflags = type != nullptr ? type->flags : 0;
    const char* trailver = (version != nullptr && (typeflags & F_VERSIONTRAIL)) ? version : "";
    const char* leadver = (version != nullptr && (typeflags & F_VERSIONLEAD)) ? version : "";
    const char* base = p.base != nullptr ? p.base : "";
    const char* basesep = p.base != nullptr ? "/" : "";
    const char* pkgsep = *p.pkgdir != '\0' ? "/" : "";
    const char* relsep = !p.rel.empty() ? "/" : "";
    int rel = static_cast<int>(p.rel.size());
    int stem = static_cast<int>(stemlen);
    const char* reltext = p.rel.empty() ? "" : p.rel.data();
    // A suffix holding '%' splices the name in its place ("lib%.a"); any
    // other follows the name after a dot. The common form has a format of
    // its own: fewer fields make the formatting of every path cheaper.
    const char* suffix = type != nullptr ? type->suffix : nullptr;
    const char* percent = suffix != nullptr ? std::strchr(suffix, '%') : nullptr;
    if (percent != nullptr) {
        int headlen = static_cast<int>(percent - suffix);
        return std::snprintf(buffer, capacity, "%s%s%s%s%.*s%s%.*s%.*s%s%s%s%s", base, basesep,
                             p.pkgdir, pkgsep, rel, reltext, relsep, headlen, suffix, stem,
                             entry->name, tag, leadver, percent + 1, trailver);
    }
    return std::snprintf(buffer, capacity, "%s%s%s%s%.*s%s%.*s%s%s%s%s%s", base, basesep,
                         p.pkgdir, pkgsep, rel, reltext, relsep, stem, entry->name, tag, leadver,
                         suffix != nullptr ? "." : "", suffix != nullptr ? suffix : "", trailver);
}

// The length snprintf returned, or -1 when the text did not fit.
int fitted(int n, std::size_t cap) {
    return n < 0 || static_cast<std::size_t>(n) >= cap ? -1 : n;
}

// The stem and extension of the tool's own files.
struct ownname {
    const char* stem;
    const char* ext;
};
constexpr ownname ownnames[] = {
    {"manifest", ".txt"}, {"manifest", ".sums"}, {"perm", "."}, {"manifest", ".lock"},
    {"manifest", ".journal"}, {"manifest", ".inuse"}};

// Null when c may stand as one name component of a path, else why not.
const char* componentproblem(std::string_view c) {
    if (c.empty()) return "an empty name";
    if (parentname(c)) return "'..' leads out of the destination";
    if (c == ".") return "'.' is not a name";
    if (startsdrive(c)) return "a drive letter";
    // A name Windows forbids or reads as a device: on Windows it would not
    // name a file of the destination.
    return windowsforbidden(c);
}

}  // namespace

const char* findversion(const fileinfo* entry) {
    if ((entry->flags & (F_VERSIONLEAD | F_VERSIONTRAIL)) == 0 || entry->ftype == nullptr ||
        entry->namelen == 0)
        return nullptr;
    const char* name = entry->name;
    std::size_t p = entry->namelen;
    if (!isdigitchar(name[p - 1])) return nullptr;
    // Walk back over groups of '.' and digits as long as they chain.
    for (;;) {
        while (p > 0 && isdigitchar(name[p - 1])) p--;
        if (p == 0 || name[p - 1] != '.') break;
        p--;
        if (p == 0 || !isdigitchar(name[p - 1])) return name + p;
    }
    // Stopped on a digit run not led by '.': the version starts after it.
    while (isdigitchar(name[p])) p++;
    return name[p] == '.' ? name + p : nullptr;
}

int installedpath(char* buf, std::size_t cap, const fileinfo* e, const placement& p) {
    return compose(buf, cap, e, p, "");
}

int temporarypath(char* buf, std::size_t cap, const fileinfo* e, const placement& p) {
    return compose(buf, cap, e, p, TEMPTAG.data());
}

int sourcepath(char* buf, std::size_t cap, const fileinfo* e, const char* srcdir,
               const char* version) {
    // A name given with its directory is looked for below that directory.
    std::size_t n = (e->flags & F_SRCPATH) != 0 ? e->dstlen : 0;
    placement p{.base = srcdir, .rel = {n != 0 ? e->dstpath : "", n}, .version = version};
    return compose(buf, cap, e, p, "");
}

int besidepath(char* buf, std::size_t cap, const char* path) {
    return fitted(std::snprintf(buf, cap, "%s.new", path), cap);
}

int packagepath(char* buf, std::size_t cap, const char* destdir, const char* pkg) {
    return std::snprintf(buf, cap, "%s/%s", destdir, pkg);
}

int ownpath(char* buf, std::size_t cap, const char* destdir, ownfile which, const char* pkg,
            bool temp) {
    const ownname& own = ownnames[static_cast<int>(which)];
    const char* tag = temp ? TEMPTAG.data() : "";
    int n = std::snprintf(buf, cap, "%s/%s%s%s%s", destdir, own.stem, tag, own.ext,
                          pkg != nullptr ? pkg : "");
    if (fitted(n, cap) < 0) return -1;
    // As with the copies, a leading '/' is dropped: an empty destination
    // means the working directory, never the root of the file system.
    if (buf[0] == '/') {
        std::memmove(buf, buf + 1, static_cast<std::size_t>(n));
        n--;
    }
    return n;
}

// ---- checks -----------------------------------------------------------------

const char* fieldproblem(fieldkind kind, std::string_view value) {
    if (kind != fieldkind::path) {
        if (kind == fieldkind::package && !value.empty() && value[0] == '-') return nullptr;
        for (char c : value)
            if (pathseparator(c)) return "a separator where a name belongs";
        return componentproblem(value);
    }
    if (value.empty()) return nullptr;
    // One leading '/' marks an entry of the absolute tree; anything else
    // that makes the path absolute (a second separator: "//server", "\\.\";
    // a leading '\\': the root of the current drive) is refused.
    std::string_view rest = value;
    if (rest[0] == '\\' || (rest[0] == '/' && rest.size() > 1 && pathseparator(rest[1])))
        return "an absolute path";
    if (rest[0] == '/') {
        rest.remove_prefix(1);
        // An absolute entry of a types-file directory on a drive ("/C:/x"):
        // the drive stays allowed where it starts the path.
        if (startsdrive(rest) && (rest.size() == 2 || pathseparator(rest[2])))
            rest.remove_prefix(2);
    }
    if (rest.empty()) return nullptr;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= rest.size(); i++) {
        if (i < rest.size() && !pathseparator(rest[i])) continue;
        // "./BIN/" as a types file may give it: "." and empty components
        // stay where they are.
        std::string_view c = rest.substr(start, i - start);
        start = i + 1;
        if (c.empty() || c == ".") continue;
        if (const char* why = componentproblem(c)) return why;
    }
    return nullptr;
}
