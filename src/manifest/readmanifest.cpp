// Reading the previous "manifest.txt": one entry per record, placed into the
// destination trees and marked as known only from the manifest.
#include "manifest/manifest.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "ending/ending.h"
#include "layout/layout.h"
#include "lifecycle/lifecycle.h"
#include "platform/platform.h"
#include "report/report.h"
#include "run/run.h"
#include "text/text.h"
#include "tree/tree.h"
#include "types/types.h"

namespace {

// What the reader keeps between lines.
struct manifestreader {
    runstate* rs;
    const char* path;
    unsigned lineno;
    fileinfo* entry;          // the entry being filled, none before the first nam=
    const char* ext;          // its ext= value, none without one
    const char* unknowntype;  // the type its typ= names that the types file lacks
};

bool haskey(const char* line, const char* key) { return std::strncmp(line, key, 4) == 0; }

// A field whose value could lead a later write or removal outside the
// destination ends the run before anything is changed.
void checkfield(const manifestreader& r, const char* key, fieldkind kind, std::string_view value) {
    if (const char* why = fieldproblem(kind, value))
        die("Unsafe %.4s'%.*s' in manifest file '%s' line %u: %s\n", key,
            static_cast<int>(value.size()), value.data(), r.path, r.lineno, why);
}

[[noreturn]] void notunderstood(const manifestreader& r) {
    die("Can't understand line %u in manifest file '%s'\n", r.lineno, r.path);
}

// An ins= line before the first record: the install path the manifest was
// written for must be the types file's "defdestdir".
void checkins(const manifestreader& r, const char* value) {
    const char* defdestdir = r.rs->defdestdir;
    if (defdestdir == nullptr) die("Missing defdestdir in types file, manifest says '%s'\n", value);
    if (std::strcmp(value, defdestdir) != 0)
        die("install path mismatch, manifest file has '%s' types file has '%s'\n", value,
            defdestdir);
}

// The record just read is complete: placed into the trees, set aside, or
// dropped.
void finishentry(const manifestreader& r) {
    fileinfo* entry = r.entry;
    if (entry == nullptr) return;
    // A record the types file no longer places may be set aside (--prune).
    if (lifeorphan(r.rs, entry, r.ext, r.unknowntype)) return;
    // Directories come from the types file; a record of one is ignored.
    if ((entry->flags & F_DIR) != 0) {
        std::free(entry);
        return;
    }
    if (r.ext != nullptr && entry->ftype == nullptr)
        die("Manifest file '%s' entry '%s' ending line %u specifies extension '%s' with no "
            "type\n",
            r.path, entry->name, r.lineno, r.ext);
    if (entry->pkgname == nullptr)
        die("Missing package name on manifest file '%s' entry '%s' ending line %u\n", r.path,
            entry->name, r.lineno);
    insertentry(r.rs, entry);
}

void beginentry(manifestreader& r, char* value, char* lineend) {
    finishentry(r);
    checkfield(r, "nam=", fieldkind::name, std::string_view(value, lineend - value));
    auto* entry = static_cast<fileinfo*>(std::calloc(1, sizeof(fileinfo)));
    if (entry == nullptr)
        die("Out of memory on manifest file entry '%s' line %u\n", value, r.lineno);
    entry->flags = F_FROMMANIFEST;
    entry->name = value;
    entry->namelen = static_cast<std::uint32_t>(lineend - value);
    r.entry = entry;
    r.ext = nullptr;
    r.unknowntype = nullptr;
}

void applytype(manifestreader& r, const char* value) {
    filetype* type = findtype(r.rs, value);
    if (type != nullptr) {
        r.entry->ftype = type;
        r.entry->flags |= type->flags;
    } else if (std::strcmp(value, "dir") == 0) {
        r.entry->ftype = nullptr;
    } else if (lifetakesorphans(r.rs)) {
        r.unknowntype = value;
    } else {
        die("Unknown file type '%s' manifest file '%s' line %u\n", value, r.path, r.lineno);
    }
}

// Each comma-separated name adds its bits; the value is cut in place.
void applyflags(manifestreader& r, char* value) {
    if (*value == '\0') return;
    for (char* name = value;;) {
        char* comma = std::strchr(name, ',');
        if (comma != nullptr) *comma = '\0';
        if (manifestflagword(name, &r.entry->flags) != 0)
            die("Invalid flag '%s' manifest file '%s' line %u\n", name, r.path, r.lineno);
        if (comma == nullptr) return;
        name = comma + 1;
    }
}

// A field line of the entry being filled: 1 when the key is known, else 0.
int applyfield(manifestreader& r, char* line, char* lineend) {
    fileinfo* e = r.entry;
    char* value = line + 4;
    std::string_view text(value, static_cast<std::size_t>(lineend - value));
    if (haskey(line, "ext=")) {
        if (!text.empty()) checkfield(r, line, fieldkind::name, text);
        r.ext = value;
    } else if (haskey(line, "dst=")) {
        checkfield(r, line, fieldkind::path, text);
        e->dstpath = value;
        e->dstlen = static_cast<std::uint32_t>(lineend - value);
    } else if (haskey(line, "pkg=")) {
        checkfield(r, line, fieldkind::package, text);
        e->pkgname = value;
    } else if (haskey(line, "bas=")) {
        e->basedir = value;
    } else if (haskey(line, "src=")) {
        e->srcdir = value;
    } else if (haskey(line, "typ=")) {
        applytype(r, value);
    } else if (haskey(line, "exi=")) {
        e->existing = value;
    } else if (haskey(line, "flg=")) {
        applyflags(r, value);
    } else {
        return 0;
    }
    return 1;
}

void readline(manifestreader& r, char* line, char* lineend) {
    if (line == lineend || line[0] == '#') return;
    if (r.entry == nullptr && haskey(line, "ins=")) {
        checkins(r, line + 4);
    } else if (haskey(line, "nam=")) {
        beginentry(r, line + 4, lineend);
    } else if (r.entry == nullptr) {
        die("Invalid line %u in manifest file '%s', must have a nam= entry first\n", r.lineno,
            r.path);
    } else if (applyfield(r, line, lineend) == 0) {
        notunderstood(r);
    }
}

}  // namespace

void readmanifest(runstate* rs) {
    char path[PATHSIZE];
    if (ownpath(path, sizeof path, rs->destdir, ownfile::manifest) < 0) {
        // Not a path this host can open: reported like any unreadable manifest.
        reportwarning("Failed to open manifest file '%s/manifest.txt': %s (%d)\n",
                      rs->destdir, std::strerror(ENAMETOOLONG), ENAMETOOLONG);
        return;
    }

    char* text = nullptr;
    char* end = nullptr;
    std::int64_t mtime = 0;
    int err = loadfile(path, &text, &end, &mtime);
    if (err == ENOENT) return;
    if (err != 0) {
        // A manifest that is there but cannot be read ends the run: going on
        // would write a new one without its records. When no file can stand
        // at the name (a directory is there, or a path the host cannot hold),
        // the run goes on as if there were none.
        bool nofile = err == ENOTDIR || err == ENAMETOOLONG || err == EISDIR || isdirectory(path);
        if (!nofile) filefailed("Failed to open manifest file", path, err);
        reportwarning("Failed to open manifest file '%s': %s (%d)\n", path,
                      std::strerror(err), err);
        return;
    }
    if (mtime < rs->typesmtime) rs->changed = 1;

    manifestreader r{rs, path, 0, nullptr, nullptr, nullptr};
    if (text == end) notunderstood(r);
    char* cursor = text;
    while (cursor != end) {
        r.lineno++;
        char* line = nullptr;
        char* lineend = nullptr;
        if (nextline(&line, &lineend, &cursor, end) != 0) notunderstood(r);
        readline(r, line, lineend);
    }
    finishentry(r);
}
