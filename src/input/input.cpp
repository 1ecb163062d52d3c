// The input-file stage: the header, the types file, the previous manifest and
// then one destination entry per input line.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "ending/ending.h"
#include "input/input.h"
#include "lock/lock.h"
#include "manifest/manifest.h"
#include "platform/platform.h"
#include "report/report.h"
#include "run/run.h"
#include "text/winnames.h"
#include "tree/tree.h"
#include "types/types.h"

namespace {

constexpr char toolname[] = "fileplacer";
constexpr int SKIPPED = 1;  // a line that does not apply to this run

// The line being read: its number n in the file (the header is line 1), its
// text and the reading position inside it.
struct inputline {
    runstate* rs;
    int n;
    char* text;
    char* cursor;
};

[[noreturn]] void invalidline(const inputline& ln, const char* rest) {
    die("Invalid input line in input file '%s' line %d:\n %s\n", ln.rs->infile, ln.n, rest);
}

int loadinput(runstate* rs) {
    int err = loadfile(rs->infile, &rs->intext, &rs->intextend, &rs->inmtime);
    if (err == 0) return 0;
    // A missing default input file ends the run quietly (with -v, saying
    // so); an input file named by -i must be there.
    if (err == ENOENT && !rs->infilenamed) {
        if (rs->verbose != 0)
            reportwarning("Couldn't read input file '%s': %s (%d)\n", rs->infile,
                          std::strerror(err), err);
        endrun(0);
    }
    reporterror("Couldn't read input file '%s': %s (%d)\n", rs->infile, std::strerror(err), err);
    return -1;
}

// Checks the header line and points typesfile at the name after the tool
// name; the cursor is left at the second line.
int readheader(runstate* rs, char** cursor) {
    char* line;
    char* lineend;
    if (nextline(&line, &lineend, cursor, rs->intextend) != 0 ||
        matchprefix(&line, lineend, toolname, sizeof toolname - 1) != 0) {
        reporterror("Input file '%s' not in expected format\n", rs->infile);
        return -1;
    }
    rs->typesfile = line;
    return 0;
}

// Types file, then the previous manifest unless -m.
int readsettings(runstate* rs) {
    rs->readingtypes = 1;
    int r = readtypes(rs);
    rs->readingtypes = 0;
    if (r != 0) return -1;
    if (!rs->nomanifest) {
        lockdestination(rs);
        rs->readingmanifest = 1;
        readmanifest(rs);
        rs->readingmanifest = 0;
    }
    // A link of the types file that no manifest record matched is new.
    if (rs->typeslinks > 0) rs->changed = 1;
    return 0;
}

void skipnotice(const inputline& ln, const char* check) {
    if (ln.rs->verbose > 1) std::printf("%s check: skipping linenum %d\n", check, ln.n);
}

// The optional brace prefix and the platform and patch checks: 0, or
// SKIPPED.
int lineflags(inputline& ln, flagword* flags) {
    *flags = 0;
    if (ln.text[0] == '{') {
        char* close = std::strchr(ln.text, '}');
        if (close == nullptr) invalidline(ln, ln.text);
        *close = '\0';
        ln.cursor = close + 1;
        if (parseflaglist(ln.text + 1, flags) != 0) invalidline(ln, ln.cursor);
        if ((*flags & P_ALL) && !(*flags & P_WIN32)) {
            skipnotice(ln, "platform");
            return SKIPPED;
        }
    }
    if (ln.rs->patch && !(*flags & F_PATCH)) {
        skipnotice(ln, "patch");
        return SKIPPED;
    }
    return 0;
}

char* token(inputline& ln, std::size_t* len) {
    char* text;
    int r = nexttoken(ln.rs, &text, len, &ln.cursor);
    if (r == -2)
        die("Expanded text too long (more than %llu characters added in all) in input file "
            "'%s' line %d\n",
            static_cast<unsigned long long>(EXPANSIONBUDGET), ln.rs->infile, ln.n);
    if (r != 0) invalidline(ln, ln.cursor);
    return text;
}

// 0 when the package is wanted in this run, else SKIPPED.
int checkpackage(const inputline& ln, char* pkgname) {
    const runstate* rs = ln.rs;
    if (packagewanted(rs, pkgname)) return 0;
    if (rs->verbose > 1)
        std::printf("skipping entry not in package list:\n   package=%s, linenum=%d, entry=%s\n",
                    pkgname, ln.n, ln.cursor);
    return SKIPPED;
}

// A "*symlink", "*hardlink" or "*copy" line: existing= and new= tokens.
int readdirective(inputline& ln, fileinfo* entry, const char* directive, char** path,
                  std::size_t* pathlen) {
    const runstate* rs = ln.rs;
    const char* kind = directive + 1;
    if (std::strcmp(kind, "symlink") == 0)
        entry->flags |= F_SYMLINK;
    else if (std::strcmp(kind, "hardlink") == 0)
        entry->flags |= F_HARDLINK;
    else if (std::strcmp(kind, "copy") == 0)
        entry->flags |= F_COPY;
    else {
        reporterror("Invalid file directive '%s' input file '%s' line %d\n", directive,
                    rs->infile, ln.n);
        return -1;
    }
    std::size_t len;
    char* existing = token(ln, &len);
    if (!std::string_view(existing, len).starts_with("existing=")) {
        reporterror("Expected existing= instead of '%s' in input file '%s' line %d\n",
                    existing, rs->infile, ln.n);
        return -1;
    }
    entry->existing = existing + 9;
    char* target = token(ln, &len);
    if (!std::string_view(target, len).starts_with("new=") || len <= 4) {
        reporterror("Expected target= instead of '%s' in input file '%s' line %d\n",
                    target, rs->infile, ln.n);
        return -1;
    }
    *path = target + 4;
    *pathlen = len - 4;
    return 0;
}

// A line naming a type: the rest of the line is the path. SKIPPED for a type
// of other platforms.
int readtypeline(inputline& ln, fileinfo* entry, const char* typename_, char** path,
                 std::size_t* pathlen) {
    filetype* type = findtype(ln.rs, typename_);
    if (type == nullptr) {
        reporterror("Unknown file type '%s' input file '%s' line %d\n", typename_,
                    ln.rs->infile, ln.n);
        return -1;
    }
    if ((type->flags & P_ALL) && !(type->flags & P_WIN32)) return SKIPPED;
    entry->ftype = type;
    entry->flags |= type->flags;
    *path = ln.cursor;
    *pathlen = std::strlen(ln.cursor);
    return 0;
}

// Directory part and name of a destination path; a bare name takes the
// directory of its type.
void splitentrypath(fileinfo* entry, char* path, std::size_t len) {
    splitpath(entry, path, len);
    const filetype* type = entry->ftype;
    if (entry->dstlen == 0 && type != nullptr && type->dirpath != nullptr) {
        entry->dstpath = const_cast<char*>(type->dirpath);
        entry->dstlen = static_cast<std::uint32_t>(type->dirpathlen);
    }
}

// The destination path of a line, its type's directory in front of a bare
// name, names nothing that Windows forbids: 0, else -1 after a message.
int windowsnames(const inputline& ln, const fileinfo* entry, const char* path,
                 std::size_t pathlen) {
    std::string full(path, pathlen);
    const filetype* type = entry->ftype;
    if (std::memchr(path, '/', pathlen) == nullptr && type != nullptr && type->dirpath != nullptr)
        full = std::string(type->dirpath, static_cast<std::size_t>(type->dirpathlen)) + "/" + full;
    std::string_view bad;
    const char* reason = windowsforbiddenpath(full, &bad);
    if (reason == nullptr) return 0;
    reporterror("Name '%.*s' is not allowed on Windows (%s) in path '%s' input file '%s' line %d\n",
                static_cast<int>(bad.size()), bad.data(), reason, full.c_str(), ln.rs->infile,
                ln.n);
    return -1;
}

// The tokens after the brace prefix: 0 with the entry filled, SKIPPED, or -1.
int readfields(inputline& ln, fileinfo* entry) {
    std::size_t len;
    entry->pkgname = token(ln, &len);
    if (checkpackage(ln, entry->pkgname) != 0) return SKIPPED;
    char* kind = token(ln, &len);
    char* path;
    std::size_t pathlen;
    int r = kind[0] == '*' ? readdirective(ln, entry, kind, &path, &pathlen)
                           : readtypeline(ln, entry, kind, &path, &pathlen);
    if (r != 0) return r;
    if (std::memchr(path, '\\', pathlen) != nullptr) {
        reporterror("Backslash character forbidden in path '%s' input file '%s' line %d\n",
                    path, ln.rs->infile, ln.n);
        return -1;
    }
    if (windowsnames(ln, entry, path, pathlen) != 0) return -1;
    splitentrypath(entry, path, pathlen);
    return 0;
}

// One entry line: 0 (placed, merged or skipped) or -1 after a message.
int readentry(inputline& ln) {
    flagword flags;
    if (lineflags(ln, &flags) != 0) return 0;
    auto* entry = static_cast<fileinfo*>(std::calloc(1, sizeof(fileinfo)));
    if (entry == nullptr) {
        reporterror("Out of memory reading input file '%s'\n", ln.rs->infile);
        return -1;
    }
    entry->flags = flags;
    entry->basedir = ln.rs->cwd;
    int r = readfields(ln, entry);
    if (r != 0) {
        std::free(entry);
        return r == SKIPPED ? 0 : -1;
    }
    insertentry(ln.rs, entry);
    return 0;
}

int readentries(runstate* rs, char* cursor) {
    inputline ln{rs, 1, nullptr, nullptr};
    while (cursor != rs->intextend) {
        ln.n++;
        char* lineend;
        if (nextline(&ln.text, &lineend, &cursor, rs->intextend) != 0) {
            reporterror("Input file '%s' ended in middle of line %d\n %.*s\n", rs->infile,
                        ln.n, static_cast<int>(rs->intextend - cursor), cursor);
            return -1;
        }
        if (ln.text[0] == '\0' || ln.text[0] == '#') continue;
        ln.cursor = ln.text;
        if (readentry(ln) != 0) return -1;
    }
    return 0;
}

}  // namespace

int readinput(runstate* rs) {
    if (loadinput(rs) != 0) return -1;
    char* cursor = rs->intext;
    if (readheader(rs, &cursor) != 0) return -1;
    if (readsettings(rs) != 0) return -1;
    if (cursor == rs->intextend)
        die("Invalid input line in input file '%s' line %d:\n %s\n", rs->infile, 0, "");
    return readentries(rs, cursor);
}
