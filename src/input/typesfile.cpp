// The types file and included settings files: line kinds, type definitions,
// directory and link entries, and the error report for a bad line.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "ending/ending.h"
#include "input/input.h"
#include "platform/platform.h"
#include "report/report.h"
#include "run/run.h"
#include "text/winnames.h"
#include "tree/tree.h"
#include "types/types.h"

namespace {

constexpr int MAXCONFDEPTH = 16;
// Settings files read in one run, and the bytes they hold in all: includes
// that fan out (a few files, each including the next many times) would
// otherwise read the same files millions of times.
constexpr int MAXCONFFILES = 1000;
constexpr std::size_t MAXCONFBYTES = std::size_t{8} << 20;

// Package name of every link entry made here.
char nopackage[] = "-";

// One line being parsed: where it starts (the report text of every error on
// it), its end, and the position of the next token.
struct typeline {
    runstate* rs;
    const char* filename;
    int lineno;
    char* start;
    char* end;
    char* cursor;
};

[[noreturn]] void typeserror(const char* filename, int lineno, const char* message,
                             const char* text)
{
    die("Invalid input line in types file '%s' line %d: %s\n %78s\n", filename, lineno, message,
        text);
}

[[noreturn]] void lineerror(const typeline& ln, const char* message)
{
    typeserror(ln.filename, ln.lineno, message, ln.start);
}

[[noreturn]] void outofmemory(const typeline& ln)
{
    die("out of memory in types file '%s' line %u\n", ln.filename,
        static_cast<unsigned>(ln.lineno));
}

[[noreturn]] void toomuchexpanded(const typeline& ln)
{
    die("Expanded text too long (more than %llu characters added in all) in type file '%s' "
        "line %d\n",
        static_cast<unsigned long long>(EXPANSIONBUDGET), ln.filename, ln.lineno);
}

// One token: NUL-terminated, in the loaded text or in an expansion.
struct word {
    char* text;
    std::size_t len;
};

std::string_view view(word w)
{
    return {w.text, w.len};
}

// Next token of the line, or the line's error message when there is none.
word needtoken(typeline& ln, const char* message)
{
    word w;
    int r = nexttoken(ln.rs, &w.text, &w.len, &ln.cursor);
    if (r == -2)
        toomuchexpanded(ln);
    if (r != 0)
        lineerror(ln, message);
    return w;
}

// A path beginning with '<' is expanded once more, so that a key whose value
// is itself a reference resolves; the result is a new NUL-terminated text.
// The expansion stops as soon as the path is longer than a path can be.
// Returns null when memory runs out.
char* expandagain(const typeline& ln, char* text, std::size_t* len)
{
    if (text[0] != '<')
        return text;
    char* out;
    std::size_t outlen;
    if (memdupsubupto(&out, &outlen, text, *len, ln.rs->keytab, ln.rs->maxkeylen,
                      PATHSIZE - 1) != 0)
        die("Expanded path too long (more than %d characters) in type file '%s' line %d\n",
            PATHSIZE - 1, ln.filename, ln.lineno);
    if (outlen > *len && spendexpansion(ln.rs, outlen - *len) != 0) {
        std::free(out);
        toomuchexpanded(ln);
    }
    char* sized = static_cast<char*>(std::realloc(out, outlen + 1));
    if (!sized) {
        std::free(out);
        return nullptr;
    }
    sized[outlen] = '\0';
    *len = outlen;
    return sized;
}

bool hasbackslash(std::string_view text)
{
    return text.find('\\') != std::string_view::npos;
}

std::uint32_t parsemode(const typeline& ln, word token)
{
    std::uint32_t mode = 0;
    for (char c : view(token)) {
        if (c < '0' || c > '7')
            lineerror(ln, "invalid mode, must be octal");
        mode = mode * 8 + static_cast<std::uint32_t>(c - '0');
    }
    return mode;
}

// Where an owner or a group of the run or bin defaults lives in the run
// state, and which flag marks a type that uses it.
struct idsource {
    const char* name;
    int id;
    int len;
    flagword flag;
};

struct idtarget {
    const char** name;
    std::int32_t* id;
    std::int32_t* len;
};

// Owner or group token: "$run", "$bin", "-" or a name to look up.
void setid(const typeline& ln, filetype* t, word token, const idsource& run,
           const idsource& bin, idtarget to, const char* lookupmessage)
{
    std::string_view tv = view(token);
    const idsource* from = tv == "$run" ? &run : tv == "$bin" ? &bin : nullptr;
    if (from) {
        t->flags |= from->flag;
        *to.name = from->name;
        *to.id = from->id;
        *to.len = from->len;
    } else if (tv == "-") {
        t->flags |= F_UNCHANGE;
        *to.name = token.text;
        *to.id = 0;
        *to.len = 1;
    } else {
        *to.name = token.text;
        if (lookupid(to.name, to.id, to.len) != 0)
            lineerror(ln, lookupmessage);
    }
}

void readowners(typeline& ln, filetype* t)
{
    runstate* rs = ln.rs;
    word owner = needtoken(ln, "failed to get owner");
    t->ownertok = owner.text;
    setid(ln, t, owner, {rs->runuser, rs->runuid, rs->runuserlen, F_RUNOWNER},
          {rs->binuser, rs->binuid, rs->binuserlen, F_BINOWNER},
          {&t->owner, &t->uid, &t->ownerlen}, "Could not lookup user");
    word group = needtoken(ln, "failed to find group");
    t->grouptok = group.text;
    setid(ln, t, group, {rs->rungroup, rs->rungid, rs->rungrouplen, F_RUNGROUP},
          {rs->bingroup, rs->bingid, rs->bingrouplen, F_BINGROUP},
          {&t->group, &t->gid, &t->grouplen}, "Could not lookup group");
}

void readflags(typeline& ln, filetype* t)
{
    word token = needtoken(ln, "failed to find flags");
    if (token.text[0] == '-')
        return;
    if (parseflaglist(token.text, &t->flags) != 0)
        lineerror(ln, "failed to parse flags");
}

// The win32 suffix; a '#' in front or at the end says where the version
// part goes and is not part of the suffix.
void readsuffix(typeline& ln, filetype* t)
{
    word token = needtoken(ln, "failed to find suffix");
    if (view(token) == "-")
        return;
    char* suffix;
    std::size_t len;
    if (pickwin32suffix(token.text, &suffix, &len) != 0)
        lineerror(ln, "failed to parsing suffix list");
    if (!suffix)
        return;
    if (suffix[0] == '#') {
        t->flags |= F_VERSIONLEAD;
        suffix++;
    } else if (len > 0 && suffix[len - 1] == '#') {
        t->flags |= F_VERSIONTRAIL;
        suffix[len - 1] = '\0';
    }
    // The suffix ends every name of the type. An empty one ("win32=") is
    // left as it always was: Windows drops the dot it leaves.
    std::string name = std::string("x.") + suffix;
    const char* reason = *suffix != '\0' ? windowsforbidden(name) : nullptr;
    if (reason != nullptr)
        die("Suffix '%s' is not allowed on Windows (%s) types file '%s' line %d\n", suffix, reason,
            ln.filename, ln.lineno);
    t->suffix = suffix;
}

word readdirpath(typeline& ln, filetype* t)
{
    word path = needtoken(ln, "failed to find directory path");
    if (hasbackslash(view(path)))
        lineerror(ln, "Backslash character forbidden in path");
    t->dirpath = path.text;
    t->dirpathlen = static_cast<std::int32_t>(path.len);
    return path;
}

// Places the entry at a path of the types file; a path that names something
// Windows forbids ends the run.
void placeentry(const typeline& ln, fileinfo* f, char* path, std::size_t len)
{
    std::string_view bad;
    if (const char* reason = windowsforbiddenpath(std::string_view(path, len), &bad))
        die("Name '%.*s' is not allowed on Windows (%s) in path '%.*s' types file '%s' line %d\n",
            static_cast<int>(bad.size()), bad.data(), reason, static_cast<int>(len), path,
            ln.filename, ln.lineno);
    splitpath(f, path, len);
    insertentry(ln.rs, f);
}

// The directory entry of a "dir" line, with the line's own type.
void adddirentry(typeline& ln, filetype* t, word dirpath, word package)
{
    std::size_t len = dirpath.len;
    char* path = expandagain(ln, dirpath.text, &len);
    auto* f = static_cast<fileinfo*>(std::calloc(1, sizeof(fileinfo)));
    if (!path || !f)
        lineerror(ln, "Out of memory reading types file");
    f->ftype = t;
    f->flags = t->flags;
    f->pkgname = package.text;
    f->basedir = ln.rs->cwd;
    placeentry(ln, f, path, len);
}

// "file" and "dir" lines. The first one of the run fixes the default owners
// and groups before its tokens are read.
int parsetype(typeline& ln, bool isfile)
{
    if (!ln.rs->idsresolved)
        resolveids(ln.rs);
    auto* t = static_cast<filetype*>(std::calloc(1, sizeof(filetype)));
    if (!t)
        lineerror(ln, "Out of memory in types file");
    t->flags = isfile ? F_FILE : F_DIR;
    if (isfile) {
        word name = needtoken(ln, "failed to find file type");
        t->typename_ = name.text;
        t->typenamelen = static_cast<std::int32_t>(name.len);
    } else {
        t->typename_ = "dir";
        t->typenamelen = 3;
    }
    t->mode = parsemode(ln, needtoken(ln, "failed to find mode"));
    readowners(ln, t);
    readflags(ln, t);
    word package{};
    if (isfile)
        readsuffix(ln, t);
    else
        package = needtoken(ln, "failed to find package");
    word dirpath = readdirpath(ln, t);
    if (isfile)
        addtype(ln.rs, t);
    else
        adddirentry(ln, t, dirpath, package);
    return 1;
}

// The text after "existing=" or "new=", expanded once more when it begins
// with '<'.
char* linkpath(const typeline& ln, word token, std::size_t skip, std::size_t* len)
{
    *len = token.len - skip;
    char* path = expandagain(ln, token.text + skip, len);
    if (!path)
        outofmemory(ln);
    // A token that the first expansion copied out of the line is not used
    // once the second expansion has replaced it.
    bool inlinetext = token.text >= ln.start && token.text <= ln.end;
    if (path != token.text + skip && !inlinetext)
        std::free(token.text);
    return path;
}

// "symlink existing=PATH new=PATH": a link entry without a type. A
// backslash in the new path drops the entry and returns -1.
int parselink(typeline& ln)
{
    auto* f = static_cast<fileinfo*>(std::calloc(1, sizeof(fileinfo)));
    if (!f)
        outofmemory(ln);
    f->flags = F_SYMLINK;
    f->pkgname = nopackage;
    f->basedir = ln.rs->cwd;

    word source = needtoken(ln, "failed to find source path");
    if (!view(source).starts_with("existing="))
        die("Expected existing= instead of '%s' in type file '%s' line %d\n", source.text,
            ln.filename, ln.lineno);
    std::size_t len;
    f->existing = linkpath(ln, source, 9, &len);

    word target = needtoken(ln, "failed to find target path");
    if (target.len < 5 || !view(target).starts_with("new="))
        die("Expected new= instead of '%s' in type file '%s' line %d\n", target.text,
            ln.filename, ln.lineno);
    char* path = linkpath(ln, target, 4, &len);
    if (hasbackslash(std::string_view(path, len))) {
        reporterror("Backslash character forbidden in path '%s' file '%s' line %d\n",
                    path, ln.filename, ln.lineno);
        std::free(f);
        return -1;
    }
    placeentry(ln, f, path, len);
    return 1;
}

// An unknown keyword is reported with the whole line, so the terminator that
// the token scan put after it becomes a blank again.
void rejoinkeyword(char* keyword, char* lineend)
{
    char* cut = keyword + std::strlen(keyword);
    if (cut < lineend)
        *cut = ' ';
}

// A '{platforms}' prefix: false when the line is not for win32. On true,
// *cursor stands right after the '}'.
bool platformprefix(typeline& ln)
{
    char* close = static_cast<char*>(std::memchr(ln.start, '}', ln.end - ln.start));
    if (!close)
        lineerror(ln, "missing closing curly brace");
    *close = '\0';
    flagword word = 0;
    if (parseflaglist(ln.start + 1, &word) != 0)
        lineerror(ln, "flag not found");
    ln.cursor = close + 1;
    return (word & P_WIN32) != 0;
}

// Every line of [cursor, end): 0, or -1 at a link line that dropped its
// entry.
int parselines(runstate* rs, const char* filename, char* cursor, char* end)
{
    for (int n = 1; cursor != end; n++) {
        int r = parsetypeline(n, rs, filename, end, &cursor);
        if (r == 0)
            typeserror(filename, n, "Invalid input line in types file", "");
        if (r < 0)
            return -1;
    }
    return 0;
}

void readconfigfile(runstate* rs, const char* filename)
{
    // A depth limit also ends a file that includes itself.
    if (rs->confdepth >= MAXCONFDEPTH)
        die("Too many nested config files reading '%s'\n", filename);
    if (rs->conffiles >= MAXCONFFILES)
        die("Too many config files reading '%s'\n", filename);
    rs->conffiles++;
    int err = loadrelative(filename, &rs->conftext, &rs->conftextend, nullptr, rs->infile);
    if (err != 0)
        filefailed("Couldn't read config file", filename, err);
    if (rs->conftext == rs->conftextend)
        die("Empty config file '%s'\n", filename);
    auto size = static_cast<std::size_t>(rs->conftextend - rs->conftext);
    if (size > MAXCONFBYTES - rs->confbytes)
        die("Config files too large (more than %llu bytes in all) reading '%s'\n",
            static_cast<unsigned long long>(MAXCONFBYTES), filename);
    rs->confbytes += size;
    // conftext follows nested includes; this file is read to its own end.
    rs->confdepth++;
    parselines(rs, filename, rs->conftext, rs->conftextend);
    rs->confdepth--;
}

int dispatch(typeline& ln)
{
    char* keyword = ln.cursor;
    std::string_view kw = view(needtoken(ln, "failed to find file/dir label"));
    if (kw.empty())
        lineerror(ln, "failed to find file/dir label");
    if (kw == "file" || kw == "dir")
        return parsetype(ln, kw == "file");
    if (kw == "symlink")
        return parselink(ln);
    if (kw == "set") {
        parseassign(ln.rs, ln.cursor, ln.end, "types", ln.filename,
                    static_cast<unsigned>(ln.lineno));
        return 1;
    }
    if (kw == "readconfig") {
        if (*ln.cursor == '\0')
            return 0;
        readconfigfile(ln.rs, ln.cursor);
        return 1;
    }
    rejoinkeyword(keyword, ln.end);
    lineerror(ln, "Unknown type in types file");
}

} // namespace

int parsetypeline(int lineno, runstate* rs, const char* filename, char* end, char** cursor)
{
    typeline ln{rs, filename, lineno, nullptr, nullptr, nullptr};
    if (nextline(&ln.start, &ln.end, cursor, end) != 0)
        typeserror(filename, lineno, "end of file", ln.start);
    if (ln.start == ln.end || ln.start[0] == '#')
        return 1;
    ln.cursor = ln.start;
    if (ln.start[0] == '{' && !platformprefix(ln))
        return 1;
    return dispatch(ln);
}

int readtypes(runstate* rs)
{
    const char* name = rs->typesfile;
    int err = loadrelative(name, &rs->typestext, &rs->typestextend, &rs->typesmtime, rs->infile);
    if (err != 0) {
        reporterror("Couldn't read types file '%s' error: %s (%d)\n", name,
                    std::strerror(err), err);
        return -1;
    }
    if (rs->typestext == rs->typestextend) {
        reporterror("Empty types file '%s' not permitted\n", name);
        return -1;
    }
    rs->defdestdir = nullptr;
    if (parselines(rs, name, rs->typestext, rs->typestextend) != 0)
        return -1;
    if (!rs->destdir)
        die("Error: You must specify a destdir. You may do so with the DESTDIR\n"
            "environment variable, the -d command line switch or by adding a\n"
            "defdestdir parameter to the file '%s'\n",
            name);
    if (!rs->idsresolved)
        die("Error: file '%s' contains no type definitions\n", name);
    return 0;
}
