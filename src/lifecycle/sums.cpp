// "manifest.sums": the fingerprints of the installed files, beside
// "manifest.txt". A text file of lines; the first is the version line
// "fileplacer-sums 1", each further line one installed file:
//
//   <hash> <size> <mtime> <srcsize> <srcmtime> <record> <path>
//
// hash: XXH3-128 of the installed content, 32 hex digits; size and mtime of
// the installed file, srcsize and srcmtime of the source it came from (times
// in nanoseconds since 1970); record: the identity of the manifest record,
// its type name, dst= value, name and ext= value joined by '|' (no fourth
// part without ext=), with blanks, '%', '|' and control characters written
// as %XX; path: the installed file relative to the destination directory,
// '/' first for an absolute entry, taken to the end of the line. A file that
// does not read this way is reported once and treated as absent.
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ending/ending.h"
#include "layout/layout.h"
#include "lifecycle/lifeinternal.h"
#include "report/report.h"
#include "run/run.h"
#include "tree/tree.h"
#include "types/types.h"

namespace {

constexpr char versionline[] = "fileplacer-sums 1";

bool plainbyte(unsigned char c) { return c > 0x20 && c != 0x7f && c != '%' && c != '|'; }

// Appends the record field of a line from a record identity ('\0' separated).
void encoderecord(std::string* out, const std::string& key) {
    static const char hex[] = "0123456789ABCDEF";
    for (char ch : key) {
        auto c = static_cast<unsigned char>(ch);
        if (c == 0) {
            *out += '|';
        } else if (plainbyte(c)) {
            *out += ch;
        } else {
            *out += '%';
            *out += hex[c >> 4];
            *out += hex[c & 15];
        }
    }
}

bool decoderecord(std::string_view field, std::string* key) {
    key->reserve(field.size());
    int parts = 1;
    for (std::size_t i = 0; i < field.size(); i++) {
        char c = field[i];
        if (c == '|') {
            key->push_back('\0');
            parts++;
        } else if (c == '%') {
            int hi = i + 2 < field.size() ? hexvalue(field[i + 1]) : -1;
            int lo = hi >= 0 ? hexvalue(field[i + 2]) : -1;
            // A NUL byte would move the boundaries between the parts.
            if (lo < 0 || hi * 16 + lo == 0) return false;
            key->push_back(static_cast<char>(hi * 16 + lo));
            i += 2;
        } else if (plainbyte(static_cast<unsigned char>(c))) {
            key->push_back(c);
        } else {
            return false;  // the writer encodes every such byte
        }
    }
    return parts == 3 || parts == 4;
}

bool parsenumber(std::string_view text, std::int64_t* value) {
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, *value);
    return ec == std::errc() && ptr == end;
}

// Cuts the next blank-separated field off the front of line.
bool nextfield(std::string_view* line, std::string_view* field) {
    std::size_t blank = line->find(' ');
    if (blank == std::string_view::npos || blank == 0) return false;
    *field = line->substr(0, blank);
    line->remove_prefix(blank + 1);
    return true;
}

bool parseline(std::string_view line, std::string* key, fingerprint* fp) {
    std::string_view f[6];
    for (auto& field : f)
        if (!nextfield(&line, &field)) return false;
    if (line.empty()) return false;
    fp->path.assign(line);
    return parsedigest(f[0], &fp->hash) && parsenumber(f[1], &fp->size) &&
           parsenumber(f[2], &fp->mtime) && parsenumber(f[3], &fp->srcsize) &&
           parsenumber(f[4], &fp->srcmtime) && decoderecord(f[5], key);
}

// Why the names of a fingerprint line could lead outside the destination
// (its path, and the directory, name and ext= value of its record), or null.
const char* unsafeline(const std::string& key, const fingerprint& fp, std::string* value) {
    *value = fp.path;
    if (const char* why = fieldproblem(fieldkind::path, fp.path)) return why;
    std::string_view parts[4];
    std::size_t n = 0;
    std::string_view rest = key;
    for (std::size_t cut; n < 3 && (cut = rest.find('\0')) != std::string_view::npos; n++) {
        parts[n] = rest.substr(0, cut);
        rest.remove_prefix(cut + 1);
    }
    parts[n++] = rest;
    static constexpr fieldkind kinds[] = {fieldkind::name, fieldkind::path, fieldkind::name,
                                          fieldkind::name};
    for (std::size_t i = 1; i < n; i++) {
        if (i == 3 && parts[i].empty()) continue;  // an empty ext= value
        if (const char* why = fieldproblem(kinds[i], parts[i])) {
            value->assign(parts[i]);
            return why;
        }
    }
    return nullptr;
}

// Reads the lines of text after its version line, each that reads going to
// keep: 0, or the number of the first line that does not read (with
// passover, such a line is passed over and only a missing version line or a
// line cut short count). A line that reads but is unsafe stops the reading
// and is described in *unsafe (0 is returned then).
template <typename Keep>
unsigned readlines(const std::string& text, bool passover, sumsunsafe* unsafe, Keep keep) {
    const std::string head = std::string(versionline) + "\n";
    if (text.compare(0, head.size(), head) != 0) return 1;
    unsigned lineno = 1;
    for (std::size_t pos = head.size(), end; pos < text.size(); pos = end + 1) {
        lineno++;
        end = text.find('\n', pos);
        if (end == std::string::npos) return lineno;  // cut short
        std::string key;
        fingerprint fp;
        if (!parseline(std::string_view(text).substr(pos, end - pos), &key, &fp)) {
            if (passover) continue;
            return lineno;
        }
        if ((unsafe->why = unsafeline(key, fp, &unsafe->value)) != nullptr) {
            unsafe->line = lineno;
            return 0;
        }
        keep(std::move(key), std::move(fp));
    }
    return 0;
}

}  // namespace

unsigned parsesums(const std::string& text, printtable* sums, sumsunsafe* unsafe) {
    sums->list.reserve(static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')));
    return readlines(text, false, unsafe, [&](std::string key, fingerprint fp) {
        sums->list.emplace_back(std::move(key), std::move(fp));
    });
}

namespace {

// The whole file into text with LF line ends: 0 or the error number.
int readsums(const char* path, std::string* text) {
    openfile f(path);
    if (!f.ok()) return errno != 0 ? errno : EIO;
    statinfo st;
    std::size_t got = 0;
    // Read in one piece of its size; a file that grows meanwhile still ends.
    text->resize(statfd(f.r.fd, &st) == 0 && st.size > 0 ? static_cast<std::size_t>(st.size) + 1 : 65536);
    for (;;) {
        if (got == text->size()) text->resize(got * 2);
        long n = readfd(f.r.fd, text->data() + got, text->size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno != 0 ? errno : EIO;
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    text->resize(got);
    // Windows hosts write CR LF line ends.
    if (text->find('\r') != std::string::npos) std::erase(*text, '\r');
    return 0;
}

bool statepath(const runstate* rs, ownfile which, char* path) {
    return ownpath(path, PATHSIZE, rs->destdir, which) >= 0;
}

// Writes text as the tool's own file which, under its temporary name until
// it is complete: 0 or the error number.
int writestate(runstate* rs, ownfile which, const std::string& text) {
    char path[PATHSIZE];
    char tmppath[TEMPNAMESIZE];
    if (!statepath(rs, which, path)) return ENAMETOOLONG;
    ownpath(tmppath, sizeof tmppath, rs->destdir, which, nullptr, true);
    atomicfile f;
    int err = opentemp(rs, &f, path, tmppath, true);
    if (err != 0) return err;
    std::fputs(text.c_str(), f.stream);
    err = atomicsync(&f);
    return err == 0 ? atomiccommit(&f, true) : err;
}

// The journal of killed runs. Each run appends whole lines after closing a
// line cut by a kill, so a line that does not read is passed over and the
// lines after it still count. A journal without its version line holds
// nothing that reads: the next run that journals starts it anew.
void loadjournal(runstate* rs, lifestate* ls) {
    char path[PATHSIZE];
    std::string text;
    if (!statepath(rs, ownfile::journal, path) || readsums(path, &text) != 0) return;
    ls->journalcut = !text.empty() && text.back() != '\n';
    sumsunsafe unsafe;
    unsigned bad = readlines(text, true, &unsafe, [&](std::string key, fingerprint fp) {
        ls->journal[key].push_back(std::move(fp));
    });
    ls->journalfresh = bad == 1;
    if (unsafe.why != nullptr)
        die("Unsafe path '%s' in '%s' line %u: %s\n", unsafe.value.c_str(), path, unsafe.line,
            unsafe.why);
    // The next run that keeps fingerprints writes manifest.sums with what it
    // finds of these files, and the journal goes, or keeps those it did not
    // look at.
    ls->dirty = ls->dirty || !ls->journal.empty();
}

}  // namespace

void removejournal(runstate* rs, lifestate* ls) {
    char path[PATHSIZE];
    if (ls->journalfd >= 0) {
        closefd(ls->journalfd);
        ls->journalfd = -1;
    }
    if (statepath(rs, ownfile::journal, path)) removepath(path);
}

void sumsline(std::string* out, const std::string& key, const fingerprint& fp) {
    char numbers[128];
    std::snprintf(numbers, sizeof numbers, " %lld %lld %lld %lld ",
                  static_cast<long long>(fp.size), static_cast<long long>(fp.mtime),
                  static_cast<long long>(fp.srcsize), static_cast<long long>(fp.srcmtime));
    *out += hexdigest(fp.hash);
    *out += numbers;
    encoderecord(out, key);
    *out += ' ';
    *out += fp.path;
    *out += '\n';
}

std::vector<fingerprint> journalprints(const lifestate* ls, const std::string& key,
                                       const std::string& rel) {
    std::vector<fingerprint> out;
    auto it = ls->journal.find(key);
    if (it == ls->journal.end()) return out;
    for (const fingerprint& fp : it->second)
        if (fp.path == rel) out.push_back(fp);
    return out;
}

int writejournal(runstate* rs, lifestate* ls, std::string text) {
    if (text.empty()) return -1;
    char path[PATHSIZE];
    if (ls->journalfd < 0 && statepath(rs, ownfile::journal, path)) {
        // Nothing of a journal without its version line reads: it goes.
        if (ls->journalfresh) removepath(path);
        ls->journalfd = openappend(path);
        statinfo st;
        // A line cut by a kill is closed, so that the first of this run's
        // lines stays whole.
        std::string before = ls->journalcut ? "\n" : "";
        if (ls->journalfd >= 0 && statfd(ls->journalfd, &st) == 0 && st.size == 0)
            before = std::string(versionline) + "\n";
        text.insert(0, before);
    }
    // Without a journal the copies still go ahead: it only spares the next
    // run the doubt about a killed one.
    if (ls->journalfd < 0) return -1;
    for (std::size_t done = 0; done < text.size();) {
        long n = writefd(ls->journalfd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return ls->journalfd;
        done += static_cast<std::size_t>(n);
    }
    return ls->journalfd;
}

void recordkey(std::string* key, const fileinfo* e, const char* typname, const char* ext) {
    key->assign(typname != nullptr ? typname : "");
    *key += '\0';
    if ((e->flags & F_ABSOLUTE) != 0) *key += '/';
    if (e->dstlen > 0) key->append(e->dstpath, e->dstlen);
    *key += '\0';
    key->append(e->name, e->namelen);
    if (ext != nullptr) {
        *key += '\0';
        *key += ext;
    }
}

std::string recordkey(const fileinfo* e, const char* typname, const char* ext) {
    std::string key;
    recordkey(&key, e, typname, ext);
    return key;
}

std::string recordkey(const fileinfo* e) {
    if (e->ftype == nullptr) return recordkey(e, nullptr, nullptr);
    return recordkey(e, e->ftype->typename_, e->ftype->suffix);
}

fingerprint* printfind(printtable* t, const std::string& key) {
    if (t->cursor < t->list.size() && t->list[t->cursor].first == key)
        return &t->list[t->cursor++].second;
    if (!t->indexed) {
        for (std::size_t i = 0; i < t->list.size(); i++) t->index.emplace(t->list[i].first, i);
        t->indexed = true;
    }
    auto it = t->index.find(key);
    if (it == t->index.end()) return nullptr;
    t->cursor = it->second + 1;
    return &t->list[it->second].second;
}

fingerprint& printput(printtable* t, const std::string& key) {
    fingerprint* fp = printfind(t, key);
    if (fp != nullptr) return *fp;
    if (t->indexed) t->index.emplace(key, t->list.size());
    t->list.emplace_back(key, fingerprint{});
    return t->list.back().second;
}

void loadsums(runstate* rs, lifestate* ls) {
    char path[PATHSIZE];
    if (!statepath(rs, ownfile::sums, path)) return;
    loadjournal(rs, ls);
    int err = readsums(path, &ls->sumstext);
    if (err == ENOENT || err == ENOTDIR) return;
    // A file that cannot be read, or is damaged, counts as absent: a plain
    // run leaves it as it is, and the next run that makes fingerprints
    // (--update, --prune, --uninstall) replaces it.
    if (err != 0) {
        reportwarning("WARNING: can't read '%s': %s (%d); fingerprints ignored\n", path,
                      std::strerror(err), err);
        ls->sumstext.clear();
        return;
    }
    sumsunsafe unsafe;
    unsigned bad = parsesums(ls->sumstext, &ls->sums, &unsafe);
    // A line that reads but names a path that could lead outside the
    // destination is not damage: someone wrote it, and nothing it names is
    // touched. The run ends before anything changes.
    if (unsafe.why != nullptr)
        die("Unsafe path '%s' in '%s' line %u: %s\n", unsafe.value.c_str(), path, unsafe.line,
            unsafe.why);
    if (bad != 0) {
        reportwarning("WARNING: '%s' is damaged (line %u); fingerprints ignored\n", path,
                      bad);
        ls->sums = printtable{};
        ls->sumstext.clear();
        return;
    }
    ls->sumspresent = true;
}

namespace {

// The text of manifest.sums for the records of the trees and the kept
// orphans; their identities in keys, in that order.
std::string sumstext(const runstate* rs, lifestate* ls, std::vector<std::string>* keys) {
    std::string out = std::string(versionline) + "\n";
    auto add = [&](const std::string& key) {
        const fingerprint* fp = printfind(&ls->sums, key);
        if (fp == nullptr) return;
        sumsline(&out, key, *fp);
        keys->push_back(key);
    };
    foreachtreeentry(rs, [&](fileinfo* e) {
        if (isfile(e) && ls->gone.count(e) == 0) add(recordkey(e));
    });
    for (const orphan& o : ls->orphans)
        if (o.kept) add(recordkey(o.entry, o.typname, o.ext));
    return out;
}

// Once manifest.sums holds what this run found, the journal keeps what it
// still tells: the fingerprints killed runs noted for records still
// fingerprinted whose files this run did not look at (it installed a
// selection, or failed midway). Without any, it goes.
void finishjournal(runstate* rs, lifestate* ls, const std::vector<std::string>& keys) {
    std::string text = std::string(versionline) + "\n";
    const std::size_t head = text.size();
    for (const std::string& key : keys) {
        auto it = ls->journal.find(key);
        if (it == ls->journal.end() || ls->journaldone.count(key) != 0) continue;
        for (const fingerprint& fp : it->second) sumsline(&text, key, fp);
    }
    if (text.size() == head) return removejournal(rs, ls);
    if (ls->journalfd >= 0) {
        closefd(ls->journalfd);
        ls->journalfd = -1;
    }
    // When it cannot be written the journal stays as it is, which tells no less.
    writestate(rs, ownfile::journal, text);
}

}  // namespace

void writesums(runstate* rs, lifestate* ls) {
    // Records change only with the manifest; fingerprints are marked when
    // they change. Otherwise the file already holds what it would be.
    if (ls->sumspresent && !ls->dirty && !rs->changed) {
        if (ls->journalfd >= 0) removejournal(rs, ls);
        return;
    }
    std::vector<std::string> keys;
    std::string text = sumstext(rs, ls, &keys);
    if (ls->sumspresent && text == ls->sumstext) return finishjournal(rs, ls, keys);
    int err = writestate(rs, ownfile::sums, text);
    if (err == 0 && durable()) err = syncdirectory(rs->destdir + (rs->destdir[0] == '/' ? 1 : 0));
    if (err == 0) return finishjournal(rs, ls, keys);
    // The fingerprints only spare reads; without them the bytes decide.
    reportwarning("WARNING: can't write '%s/manifest.sums': %s (%d)\n", rs->destdir,
                  std::strerror(err), err);
}
