// Destination trees: the sorted sibling lists, their ordered indexes, the
// placement and merging of entries, and the verbose tree listing.
#include "tree/tree.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "ending/ending.h"
#include "platform/platform.h"
#include "report/report.h"
#include "run/run.h"
#include "types/types.h"

namespace {

const char* textor(const char* text) { return text != nullptr ? text : ""; }

// The suffix an entry sorts and lists by: its type's suffix, or none.
const char* suffixof(const fileinfo* entry) {
    return entry->ftype != nullptr ? entry->ftype->suffix : nullptr;
}

// Bytes of the name that take part in comparisons: a comparison stops at a
// NUL, so a name is effectively cut at its first NUL.
std::size_t effectivelen(const fileinfo* entry) {
    const void* nul = std::memchr(entry->name, '\0', entry->namelen);
    return nul != nullptr ? static_cast<std::size_t>(static_cast<const char*>(nul) - entry->name)
                          : entry->namelen;
}

// The index key of an entry. Byte order of keys is the sibling order: the
// folded name, a NUL (so a shorter name sorts first), the folded suffix. A name holding a NUL before namelen compares as if cut
// there; its key ends with namelen so that the order stays strict.
std::string sortkey(const fileinfo* entry) {
    const char* suffix = textor(suffixof(entry));
    std::size_t len = effectivelen(entry);
    std::string key;
    appendfolded(&key, {entry->name, len});
    key.push_back('\0');
    appendfolded(&key, suffix);
    if (len != entry->namelen) {
        key.push_back('\0');
        for (int shift = 24; shift >= 0; shift -= 8)
            key.push_back(static_cast<char>((entry->namelen >> shift) & 0xff));
    }
    return key;
}

}  // namespace

// Ordered index beside one sibling list: the same entries in the same order,
// so that lookups and insertions need O(log n) comparisons.
struct sibindex {
    std::map<std::string, fileinfo*> entries;
};

namespace {

// One sibling list: its head and the slot of its index.
struct siblist {
    fileinfo** head;
    sibindex** index;
};

// The list's index, made on first use and rebuilt from the list when the
// list was not filled through insertentry (its head is not the index's first).
sibindex* indexof(siblist list) {
    if (*list.index == nullptr) *list.index = new sibindex;
    auto& entries = (*list.index)->entries;
    fileinfo* first = entries.empty() ? nullptr : entries.begin()->second;
    if (first != *list.head) {
        entries.clear();
        for (fileinfo* e = *list.head; e != nullptr; e = e->next) entries.emplace(sortkey(e), e);
    }
    return *list.index;
}

// The text walked to find an entry's directory, with the length that counts.
struct walkpath {
    const char* text;
    std::size_t len;
    char buffer[PATHSIZE];
};

void choosewalk(const fileinfo* finfo, walkpath* walk) {
    const filetype* type = finfo->ftype;
    walk->text = finfo->dstpath;
    walk->len = finfo->dstlen;
    if (!(finfo->flags & F_SRCPATH) || type == nullptr || type->dirpath == nullptr ||
        finfo->dstlen == 0 || finfo->dstpath[0] == '/')
        return;
    int n = std::snprintf(walk->buffer, sizeof walk->buffer, "%s/%s", type->dirpath,
                          finfo->dstpath);
    if (n < 0 || n >= PATHSIZE)
        die("Path '%s/%s' is too long (more than %d characters)\n", type->dirpath,
            finfo->dstpath, PATHSIZE - 1);
    std::size_t len = static_cast<std::size_t>(type->dirpathlen) + 1 + finfo->dstlen;
    FP_CHECK(len <= static_cast<std::size_t>(n));
    walk->text = walk->buffer;
    walk->len = len;
}

[[noreturn]] void missingdir(const runstate* rs, const fileinfo* finfo, const walkpath& walk,
                             std::size_t upto) {
    const char* root = (finfo->flags & F_ABSOLUTE) ? "/" : "";
    reporterror("Missing directory node '%s%.*s' in file '%s'\n", root,
                static_cast<int>(upto), walk.text, textor(rs->typesfile));
    if (rs->readingmanifest)
        die("This error can occur if a directory name was changed in the install.\n"
            "Try removing '%s/manifest.txt' if you believe this is the case.\n",
            textor(rs->destdir));
    die("Error occurred in path '%s%s' input file '%s'\n", root, textor(finfo->dstpath),
        textor(rs->infile));
}

[[noreturn]] void typeconflict(const fileinfo* tree, const walkpath& walk, std::string_view c) {
    reporterror("Type conflict error: file '%s' component '%.*s' is not a directory.\n"
                "current tree follows:\n",
                walk.text, static_cast<int>(c.size()), c.data());
    std::fflush(stderr);
    // The JSON stream carries only its objects.
    if (!reportjson()) dumptree(tree, 0);
    std::fflush(stdout);
    die("%s", "");
}

// The first entry whose name is not less than the directory component c, if
// its name equals it apart from case and has its length.
fileinfo* findcomponent(const sibindex* index, std::string_view c) {
    std::string key;
    appendfolded(&key, c);
    auto it = index->entries.lower_bound(key);
    if (it == index->entries.end()) return nullptr;
    const std::string& found = it->first;
    if (found.size() <= key.size() || found.compare(0, key.size(), key) != 0 ||
        found[key.size()] != '\0' || it->second->namelen != c.size())
        return nullptr;
    return it->second;
}

// The top-level list of the entry's tree. An absolute path goes to the root
// tree, without its leading '/', and the entry is marked as absolute.
siblist toplist(runstate* rs, fileinfo* finfo) {
    if (finfo->dstlen == 0 || finfo->dstpath[0] != '/')
        return siblist{&rs->dirtree, &rs->dirindex};
    finfo->dstpath++;
    finfo->dstlen--;
    finfo->flags |= F_ABSOLUTE;
    return siblist{&rs->roottree, &rs->rootindex};
}

// Walks the directory components of the entry's walked text from the top
// list and returns the list the entry belongs in; *parent is its parent.
// A probe returns a list without head where a directory is missing or a
// component is "..", instead of ending the run.
siblist walkdirs(const runstate* rs, const fileinfo* finfo, siblist list, fileinfo** parent,
                 bool probe = false) {
    walkpath walk;
    choosewalk(finfo, &walk);
    const fileinfo* tree = *list.head;
    std::size_t pos = 0;
    *parent = nullptr;
    while (pos < walk.len) {
        while (pos < walk.len && walk.text[pos] == '/') pos++;
        std::size_t start = pos;
        while (pos < walk.len && walk.text[pos] != '/') pos++;
        std::string_view c(walk.text + start, pos - start);
        if (c.empty() || c == ".") continue;
        bool dotdot = c == "..";
        fileinfo* found = dotdot ? nullptr : findcomponent(indexof(list), c);
        if (found == nullptr && probe) return siblist{nullptr, nullptr};
        if (dotdot) die("Invalid '../' component in path '%s'\n", walk.text);
        if (found == nullptr) missingdir(rs, finfo, walk, pos);
        if (!(found->flags & (F_DIR | F_SYMLINK))) typeconflict(tree, walk, c);
        *parent = found;
        list = siblist{&found->child, &found->kids};
    }
    return list;
}

bool sametext(const char* a, const char* b) { return std::strcmp(textor(a), textor(b)) == 0; }

[[noreturn]] void duplicate(const fileinfo* finfo) {
    const char* suffix = suffixof(finfo);
    die("duplicate file '%s%s%s' found\n", finfo->name, suffix != nullptr ? "." : "",
        textor(suffix));
}

// A manifest record equal to an entry the types file made: the entry keeps
// its own values, any difference marks the run as changed.
void matchtypesentry(runstate* rs, fileinfo* old, fileinfo* record) {
    if (old->ftype != record->ftype || !sametext(old->pkgname, record->pkgname) ||
        !sametext(old->existing, record->existing) ||
        (old->flags & ~F_TYPESLINK) != (record->flags & ~F_FROMMANIFEST))
        rs->changed = 1;
    if (old->flags & F_TYPESLINK) {
        old->flags &= ~F_TYPESLINK;
        rs->typeslinks--;
    }
    std::free(record);
}

// A text that differs is taken; an equal one (null and "" are equal) keeps
// the old pointer.
void taketext(runstate* rs, char** old, char* text) {
    if (sametext(*old, text)) return;
    rs->changed = 1;
    *old = text;
}

// An entry read from the manifest takes the values of the equal new entry.
void mergeentry(runstate* rs, fileinfo* old, fileinfo* finfo) {
    old->flags &= ~F_FROMMANIFEST;
    if (old->ftype != finfo->ftype || old->flags != finfo->flags) rs->changed = 1;
    old->ftype = finfo->ftype;
    old->flags = finfo->flags;
    taketext(rs, &old->pkgname, finfo->pkgname);
    taketext(rs, &old->existing, finfo->existing);
    std::free(finfo);
}

// A link line of the types file makes an entry without a type; every other
// entry the types file makes is a directory with its line's type.
bool typesfilelink(const fileinfo* entry) {
    return entry->ftype == nullptr && (entry->flags & F_SYMLINK) &&
           !(entry->flags & F_FROMMANIFEST);
}

// Only a link of the types file takes in the manifest's record of it; a
// record that meets any other entry of the types file (a directory) is a
// duplicate like any other.
void equalentry(runstate* rs, fileinfo* old, fileinfo* finfo) {
    bool samebase = sametext(old->basedir, finfo->basedir);
    if ((finfo->flags & F_FROMMANIFEST) && rs->readingmanifest && typesfilelink(old)) {
        if (!samebase) duplicate(finfo);
        matchtypesentry(rs, old, finfo);
        return;
    }
    if (!(old->flags & F_FROMMANIFEST) || !samebase) duplicate(finfo);
    mergeentry(rs, old, finfo);
}

// Links finfo into the list before the index position it (the entry after
// it in list order, or the end).
void linkentry(siblist list, sibindex* index, std::map<std::string, fileinfo*>::iterator it,
               std::string key, fileinfo* finfo) {
    if (it == index->entries.begin()) {
        finfo->next = *list.head;
        *list.head = finfo;
    } else {
        fileinfo* prev = std::prev(it)->second;
        finfo->next = prev->next;
        prev->next = finfo;
    }
    index->entries.emplace_hint(it, std::move(key), finfo);
}

void countnew(runstate* rs, fileinfo* finfo) {
    if (finfo->flags & (F_FROMMANIFEST | F_DIR)) return;
    if (rs->readingtypes && (finfo->flags & F_SYMLINK)) {
        // A link of the types file is new only if the manifest does not
        // record it; the input stage decides that after reading the manifest.
        finfo->flags |= F_TYPESLINK;
        rs->typeslinks++;
        return;
    }
    rs->changed = 1;
}

// Formats and prints one listing line.
void listline(const fileinfo* entry, int depth) {
    const char* suffix = suffixof(entry);
    bool dot = suffix != nullptr && suffix[0] != '\0';
    char namecol[PATHSIZE];
    // The name column is cut at the buffer's size; it is only displayed.
    std::snprintf(namecol, sizeof namecol, "%s%s%s", textor(entry->name), dot ? "." : "",
                  dot ? suffix : "");
    const char* typecol = "*unknown";
    if (entry->ftype != nullptr)
        typecol = textor(entry->ftype->typename_);
    else if (entry->flags & F_SYMLINK)
        typecol = "*symlink";
    else if (entry->flags & F_HARDLINK)
        typecol = "*hardlink";
    else if (entry->flags & F_COPY)
        typecol = "*copy";
    std::printf("%.*s %-*s %-15s %-10s%s%s\n", depth, "         ", 35 - depth, namecol, typecol,
                textor(entry->pkgname), entry->existing != nullptr ? " existing=" : "",
                textor(entry->existing));
}

// Lists first and what lies below it; its later siblings too when siblings
// is set. Iterative, so that a deep tree cannot exhaust the stack.
void listentries(const fileinfo* first, int depth, bool siblings) {
    std::vector<const fileinfo*> resume;  // where each open level goes on
    const fileinfo* entry = first;
    for (;;) {
        if (entry == nullptr) {
            if (resume.empty()) return;
            entry = resume.back();
            resume.pop_back();
            depth--;
            continue;
        }
        listline(entry, depth);
        const fileinfo* after = (siblings || !resume.empty()) ? entry->next : nullptr;
        if (entry->child != nullptr) {
            resume.push_back(after);
            depth++;
            entry = entry->child;
        } else {
            entry = after;
        }
    }
}

}  // namespace

void splitpath(fileinfo* f, char* path, std::size_t len) {
    f->dstpath = path;
    std::size_t slash = std::string_view(path, len).rfind('/');
    if (slash == std::string_view::npos) {
        f->name = path;
        f->namelen = static_cast<std::uint32_t>(len);
        f->dstlen = 0;
        return;
    }
    f->name = path + slash + 1;
    f->namelen = static_cast<std::uint32_t>(len - slash - 1);
    f->dstlen = slash == 0 ? 1 : static_cast<std::uint32_t>(slash);
}

int compareentries(const fileinfo* a, const fileinfo* b) {
    int r = strnicmpascii(a->name, b->name, b->namelen);
    if (r != 0) return r;
    if (a->namelen > b->namelen) return 1;
    return strnicmpascii(textor(suffixof(a)), textor(suffixof(b)), SIZE_MAX);
}

void insertentry(runstate* rs, fileinfo* finfo) {
    siblist top = toplist(rs, finfo);
    fileinfo* parent = nullptr;
    siblist list = walkdirs(rs, finfo, top, &parent);

    sibindex* index = indexof(list);
    std::string key = sortkey(finfo);
    auto it = index->entries.lower_bound(key);
    if (it != index->entries.end() && it->first == key) {
        equalentry(rs, it->second, finfo);
        return;
    }
    countnew(rs, finfo);
    finfo->parent = parent;
    linkentry(list, index, it, std::move(key), finfo);
}

bool hasdirectories(runstate* rs, const fileinfo* finfo) {
    fileinfo probe = *finfo;
    siblist top = toplist(rs, &probe);
    fileinfo* parent = nullptr;
    return walkdirs(rs, &probe, top, &parent, true).head != nullptr;
}

void dumptree(const fileinfo* first, int depth) { listentries(first, depth, true); }

void dumpentry(const fileinfo* entry, int depth) { listentries(entry, depth, false); }

// Arguments are addresses of text pointers (qsort and bsearch elements).
int pkgcmp(const void* first, const void* second) {
    const char* const* str1 = static_cast<const char* const*>(first);
    const char* const* str2 = static_cast<const char* const*>(second);
    FP_CHECK(str1 != NULL);
    FP_CHECK(str2 != NULL);
    FP_CHECK(*str1 != NULL);
    FP_CHECK(*str2 != NULL);
    int diff = std::strcmp(*str1, *str2);  // compares bytes as unsigned char
    return (diff > 0) - (diff < 0);
}

bool packagewanted(const runstate* rs, const char* pkg) {
    if (rs->numpkgs <= 0) return true;
    return std::bsearch(&pkg, rs->pkglist, static_cast<std::size_t>(rs->numpkgs),
                        sizeof rs->pkglist[0], pkgcmp) != nullptr;
}

bool inscope(const runstate* rs, const fileinfo* e) {
    if (rs->patch != 0 && (e->flags & F_PATCH) == 0) return false;
    return packagewanted(rs, e->pkgname);
}
