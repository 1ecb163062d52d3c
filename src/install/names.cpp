// Installed names: the version part of an entry's name and the one routine
// that composes every path the installer touches from an entry and its type.
#include <cstdio>
#include <cstring>
#include <functional>

#include "install/install.h"
#include "platform/platform.h"
#include "text/text.h"
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
// The version text handed to composepath is either a pointer into the name
// (the installed file) or a shortened copy of it (the version links); for a
// copy the stem is where the name's own version part starts.
std::size_t stembefore(const fileinfo* entry, const char* version) {
    if (pointsinto(version, entry->name, entry->namelen))
        return static_cast<std::size_t>(version - entry->name);
    const char* own = findversion(entry);
    return own != nullptr ? static_cast<std::size_t>(own - entry->name) : entry->namelen;
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

int composepath(char* buffer, std::size_t capacity, const fileinfo* entry, const char* base,
                const char* pkgdir, std::size_t rellen, const char* reltext, const char* tag,
                std::size_t stemlen, const char* version) {
    const filetype* type = entry->ftype;
    if (stemlen == 0) stemlen = version != nullptr ? stembefore(entry, version) : entry->namelen;
    flagword typeflags = type != nullptr ? type->flags : 0;
    const char* trailver = (version != nullptr && (typeflags & F_VERSIONTRAIL)) ? version : "";
    const char* leadver = (version != nullptr && (typeflags & F_VERSIONLEAD)) ? version : "";
    const char* basesep = base != nullptr ? "/" : "";
    if (base == nullptr) base = "";
    const char* pkgsep = *pkgdir != '\0' ? "/" : "";
    const char* relsep = rellen != 0 ? "/" : "";
    int rel = static_cast<int>(rellen);
    int stem = static_cast<int>(stemlen);
    const char* suffix = type != nullptr ? type->suffix : nullptr;
    const char* percent = suffix != nullptr ? std::strchr(suffix, '%') : nullptr;
    if (percent != nullptr) {
        int headlen = static_cast<int>(percent - suffix);
        return std::snprintf(buffer, capacity, "%s%s%s%s%.*s%s%.*s%.*s%s%s%s%s", base, basesep,
                             pkgdir, pkgsep, rel, reltext, relsep, headlen, suffix, stem,
                             entry->name, tag, leadver, percent + 1, trailver);
    }
    return std::snprintf(buffer, capacity, "%s%s%s%s%.*s%s%.*s%s%s%s%s%s", base, basesep, pkgdir,
                         pkgsep, rel, reltext, relsep, stem, entry->name, tag, leadver,
                         suffix != nullptr ? "." : "", suffix != nullptr ? suffix : "", trailver);
}
