#include "gtestfp.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "input/input.h"
#include "platform/platform.h"
#include "run/run.h"
#include "tree/tree.h"
#include "types/types.h"

namespace {

using testing::Eq;

std::deque<std::string> texts;  // every text the records point at

char* keep(std::string s) {
    texts.push_back(std::move(s));
    return texts.back().data();
}

runstate* newstate() {
    auto* rs = static_cast<runstate*>(std::calloc(1, sizeof(runstate)));
    rs->infile = "install.ins";
    rs->typesfile = keep("types.txt");
    rs->destdir = "/dest";
    std::strcpy(rs->cwd, "/work");
    return rs;
}

filetype* newtype(const char* name, const char* suffix, const char* dirpath = nullptr,
                  flagword flags = F_FILE) {
    auto* t = static_cast<filetype*>(std::calloc(1, sizeof(filetype)));
    t->typename_ = name;
    t->suffix = suffix;
    t->dirpath = dirpath;
    t->dirpathlen = dirpath ? static_cast<std::int32_t>(std::strlen(dirpath)) : 0;
    t->flags = flags;
    return t;
}

filetype* dirtype = newtype("dir", nullptr, nullptr, F_DIR);

// An entry as the input file makes it from a path.
fileinfo* entry(const char* path, filetype* type, flagword flags = 0, const char* pkg = "pkg",
                const char* base = "/work") {
    auto* e = static_cast<fileinfo*>(std::calloc(1, sizeof(fileinfo)));
    char* p = keep(path);
    splitpath(e, p, std::strlen(p));
    if (e->dstlen == 0 && type && type->dirpath) {
        e->dstpath = const_cast<char*>(type->dirpath);
        e->dstlen = type->dirpathlen;
    }
    e->ftype = type;
    e->flags = flags | (type ? type->flags : 0);
    e->pkgname = const_cast<char*>(pkg);
    e->basedir = const_cast<char*>(base);
    return e;
}

fileinfo* dir(runstate* rs, const char* path) {
    fileinfo* e = entry(path, dirtype);
    insertentry(rs, e);
    return e;
}

std::string fullname(const fileinfo* e) {
    std::string s = e->name;
    if (e->ftype && e->ftype->suffix) s += std::string(".") + e->ftype->suffix;
    return s;
}

std::vector<std::string> names(const fileinfo* first) {
    std::vector<std::string> out;
    for (const fileinfo* e = first; e; e = e->next) out.push_back(fullname(e));
    return out;
}


}  // namespace

TEST(InsertEntry, KeepsSiblingsSortedWithParents) {
    runstate* rs = newstate();
    filetype* exe = newtype("tool", "exe");
    // Case folded, a name before longer ones it begins, a directory before a
    // file of the same name, bytes compared unsigned.
    for (const char* n : {"zeta", "\xe9", "Alpha", "beta", "alphabet", "_x", "bin"})
        insertentry(rs, entry(n, exe));
    dir(rs, "bin");
    EXPECT_EQ(names(rs->dirtree), (std::vector<std::string>{"_x.exe", "Alpha.exe", "alphabet.exe",
                                                            "beta.exe", "bin", "bin.exe",
                                                            "zeta.exe", "\xe9.exe"}));
    fileinfo* sub = dir(rs, "bin/sub");
    fileinfo* a = entry("bin/./sub//a", exe);
    fileinfo* b = entry("./BIN/sub/b", exe);
    insertentry(rs, b);
    insertentry(rs, a);
    EXPECT_EQ(names(sub->child), (std::vector<std::string>{"a.exe", "b.exe"}));
    EXPECT_EQ(a->parent, sub);
    EXPECT_EQ(sub->parent->child, sub);  // sub sits in bin's list
    EXPECT_EQ(rs->dirtree->parent, nullptr);
    EXPECT_STREQ(a->dstpath, "bin/./sub//a");  // the producer's text is kept
}

TEST(InsertEntry, AbsoluteEntriesGoToTheRootTree) {
    runstate* rs = newstate();
    filetype* exe = newtype("tool", "exe");
    fileinfo* x = entry("/x", exe);
    insertentry(rs, x);
    EXPECT_EQ(rs->roottree, x);
    EXPECT_EQ(rs->dirtree, nullptr);
    EXPECT_EQ(x->dstlen, 0u);
    EXPECT_STREQ(x->dstpath, "x");
    EXPECT_TRUE(x->flags & F_ABSOLUTE);
    fileinfo* opt = dir(rs, "/opt");
    fileinfo* y = entry("/opt/y", exe);
    insertentry(rs, y);
    EXPECT_EQ(y->parent, opt);
    EXPECT_EQ(names(rs->roottree), (std::vector<std::string>{"opt", "x.exe"}));
}

TEST(InsertEntry, SrcpathWalksTheTypeDirectoryFirst) {
    runstate* rs = newstate();
    filetype* lib = newtype("lib", "dll", "lib");
    fileinfo* libdir = dir(rs, "lib");
    fileinfo* sub = dir(rs, "lib/sub");
    fileinfo* twice = dir(rs, "lib/lib");
    fileinfo* a = entry("sub/a", lib, F_SRCPATH);
    fileinfo* b = entry("b", lib, F_SRCPATH);  // dstpath is "lib": walks lib/lib
    fileinfo* c = entry("c", lib);             // no srcpath: walks lib
    insertentry(rs, a);
    insertentry(rs, b);
    insertentry(rs, c);
    EXPECT_EQ(a->parent, sub);
    EXPECT_EQ(b->parent, twice);
    EXPECT_EQ(c->parent, libdir);
}

TEST(InsertEntry, ChangedOnlyForNewEntriesThatAreNotDirectoriesOrManifestRecords) {
    runstate* rs = newstate();
    filetype* exe = newtype("tool", "exe");
    dir(rs, "bin");
    insertentry(rs, entry("bin/old", exe, F_FROMMANIFEST));
    EXPECT_EQ(rs->changed, 0);
    insertentry(rs, entry("bin/new", exe));
    EXPECT_EQ(rs->changed, 1);
}

struct mergecase {
    const char* what;
    const char* pkg;
    const char* existing;
    flagword extra;
    bool othertype;
    int changed;
};

TEST(InsertEntry, MergesIntoManifestRecordsAndTakesTheNewValues) {
    const mergecase cases[] = {
        {"all equal", "pkg", "", 0, false, 0},      // null and "" existing are equal
        {"package", "other", nullptr, 0, false, 1},
        {"existing", "pkg", "t", 0, false, 1},
        {"flags", "pkg", nullptr, F_PATCH, false, 1},
        {"type", "pkg", nullptr, 0, true, 1},
    };
    filetype* exe = newtype("tool", "exe");
    filetype* exe2 = newtype("tool2", "EXE");
    for (const mergecase& c : cases) {
        runstate* rs = newstate();
        fileinfo* old = entry("x", exe, F_FROMMANIFEST);
        old->srcdir = keep("src");
        insertentry(rs, old);
        fileinfo* nu = entry("X", c.othertype ? exe2 : exe, c.extra, c.pkg);
        nu->existing = c.existing ? keep(c.existing) : nullptr;
        insertentry(rs, nu);
        EXPECT_EQ(rs->changed, c.changed) << c.what;
        EXPECT_EQ(rs->dirtree, old) << c.what;
        EXPECT_EQ(old->next, nullptr) << c.what;
        EXPECT_STREQ(old->name, "x") << c.what;
        EXPECT_STREQ(old->srcdir, "src") << c.what;
        EXPECT_STREQ(old->pkgname, c.pkg) << c.what;
        EXPECT_EQ(old->ftype, c.othertype ? exe2 : exe) << c.what;
        EXPECT_EQ(old->flags, (c.extra | F_FILE)) << c.what;
    }
}

TEST(InsertEntryDeath, DuplicatesAreRefused) {
    filetype* exe = newtype("tool", "exe");
    filetype* empty = newtype("e", "");
    auto twice = [](fileinfo* first, fileinfo* second) {
        runstate* rs = newstate();
        insertentry(rs, first);
        insertentry(rs, second);
    };
    EXPECT_EXIT(twice(entry("a", exe), entry("A", exe)), testing::ExitedWithCode(1),
                Eq("duplicate file 'A.exe' found\n"));
    // Suffixes compare with case folded; no type or no suffix counts as "".
    EXPECT_EXIT(twice(entry("bin", exe), entry("Bin", newtype("TOOL", "EXE"))),
                testing::ExitedWithCode(1), Eq("duplicate file 'Bin.EXE' found\n"));
    EXPECT_EXIT(twice(entry("bin", dirtype), entry("BIN", newtype("plain", nullptr))),
                testing::ExitedWithCode(1), Eq("duplicate file 'BIN' found\n"));
    EXPECT_EXIT(twice(entry("bin", dirtype), entry("bin", nullptr)), testing::ExitedWithCode(1),
                Eq("duplicate file 'bin' found\n"));
    EXPECT_EXIT(twice(entry("a", exe, F_FROMMANIFEST, "pkg", "/elsewhere"), entry("a", exe)),
                testing::ExitedWithCode(1), Eq("duplicate file 'a.exe' found\n"));
    EXPECT_EXIT(twice(entry("a", empty), entry("a", empty)), testing::ExitedWithCode(1),
                Eq("duplicate file 'a.' found\n"));
}

TEST(InsertEntryDeath, WalkErrors) {
    filetype* exe = newtype("tool", "exe");
    filetype* lib = newtype("lib", "dll", "lib");
    auto place = [](fileinfo* e, int manifest) {
        runstate* rs = newstate();
        dir(rs, "bin");
        insertentry(rs, entry("bin/file", newtype("t", nullptr)));
        rs->readingmanifest = manifest;
        insertentry(rs, e);
    };
    EXPECT_EXIT(place(entry("bin/../x", exe), 0), testing::ExitedWithCode(1),
                Eq("Invalid '../' component in path 'bin/../x'\n"));
    EXPECT_EXIT(place(entry("bin/...x/.y", exe), 0), testing::ExitedWithCode(1),
                Eq("Missing directory node 'bin/...x' in file 'types.txt'\n"
                        "Error occurred in path 'bin/...x/.y' input file 'install.ins'\n"));
    EXPECT_EXIT(place(entry("/bi/x", exe), 1), testing::ExitedWithCode(1),
                Eq("Missing directory node '/bi' in file 'types.txt'\n"
                        "This error can occur if a directory name was changed in the install.\n"
                        "Try removing '/dest/manifest.txt' if you believe this is the case.\n"));
    EXPECT_EXIT(place(entry("BIN/file/x", exe), 0), testing::ExitedWithCode(1),
                Eq("Type conflict error: file 'BIN/file/x' component 'file' is not a "
                        "directory.\ncurrent tree follows:\n"));
    std::string longdir(1020, 'd');
    EXPECT_EXIT(place(entry((longdir + "/x").c_str(), lib, F_SRCPATH), 0),
                testing::ExitedWithCode(1),
                Eq("Path 'lib/" + longdir + "/x' is too long (more than 1023 characters)\n"));
}

TEST(InsertEntry, TypesFileLinksAreMatchedByManifestRecords) {
    // A link entry to target: made by the types file, or a manifest record.
    auto link = [](runstate* rs, const char* name, const char* target, flagword flags) {
        fileinfo* l = entry(name, nullptr, F_SYMLINK | flags, "-");
        l->existing = keep(target);
        rs->readingtypes = !(flags & F_FROMMANIFEST);
        rs->readingmanifest = !rs->readingtypes;
        insertentry(rs, l);
        return l;
    };
    runstate* rs = newstate();
    fileinfo* typeslink = link(rs, "l", "target", 0);
    EXPECT_EQ(rs->changed, 0);
    EXPECT_EQ(rs->typeslinks, 1);
    EXPECT_TRUE(typeslink->flags & F_TYPESLINK);

    link(rs, "L", "target", F_FROMMANIFEST);
    EXPECT_EQ(rs->changed, 0);
    EXPECT_EQ(rs->typeslinks, 0);
    EXPECT_EQ(typeslink->flags, F_SYMLINK);
    EXPECT_EQ(rs->dirtree, typeslink);
    EXPECT_EQ(typeslink->next, nullptr);

    runstate* rs2 = newstate();
    fileinfo* link2 = link(rs2, "l", "new", 0);
    link(rs2, "l", "old", F_FROMMANIFEST);
    EXPECT_EQ(rs2->changed, 1);
    EXPECT_STREQ(link2->existing, "new");  // the types file is current
    EXPECT_EXIT(insertentry(rs2, entry("l", nullptr, F_SYMLINK | F_FROMMANIFEST, "-", "/b")),
                testing::ExitedWithCode(1), Eq("duplicate file 'l' found\n"));
}

TEST(InsertEntryDeath, ManifestRecordsMeetingTypesFileDirectoriesAreDuplicates) {
    // Only links of the types file take in the manifest's record of them.
    filetype* doc = newtype("doc", nullptr);
    auto meet = [](fileinfo* record) {
        runstate* rs = newstate();
        rs->readingtypes = 1;
        dir(rs, "bin");
        dir(rs, "bin/sub");
        rs->readingtypes = 0;
        rs->readingmanifest = 1;
        insertentry(rs, record);
    };
    EXPECT_EXIT(meet(entry("bin/sub", doc, F_FROMMANIFEST)), testing::ExitedWithCode(1),
                Eq("duplicate file 'sub' found\n"));
    fileinfo* link = entry("bin/SUB", nullptr, F_SYMLINK | F_FROMMANIFEST, "-");
    link->existing = keep("x");
    EXPECT_EXIT(meet(link), testing::ExitedWithCode(1), Eq("duplicate file 'SUB' found\n"));
}

TEST(InsertEntry, IndexRebuildsForHandBuiltLists) {
    runstate* rs = newstate();
    filetype* exe = newtype("tool", "exe");
    fileinfo* b = entry("b", exe);
    fileinfo* d = entry("d", exe);
    b->next = d;
    rs->dirtree = b;  // not made through insertentry
    insertentry(rs, entry("c", exe));
    insertentry(rs, entry("a", exe));
    EXPECT_EQ(names(rs->dirtree), (std::vector<std::string>{"a.exe", "b.exe", "c.exe", "d.exe"}));
}

namespace {

// The sibling-list insertion as a plain linear walk, for comparison.
void linearinsert(fileinfo** head, fileinfo* e) {
    fileinfo** at = head;
    while (*at && compareentries(*at, e) < 0) at = &(*at)->next;
    e->next = *at;
    *at = e;
}

std::vector<fileinfo*> randomentries(std::size_t count, unsigned seed, std::size_t minlen,
                                     std::size_t maxlen) {
    std::vector<filetype*> types = {dirtype, newtype("a", "exe"), newtype("b", "Exf"),
                                    newtype("c", nullptr), newtype("d", "e")};
    std::mt19937 gen(seed);
    std::uniform_int_distribution<std::size_t> len(minlen, maxlen);
    const std::string alphabet = "aAbB_.-z9";
    std::vector<std::pair<std::string, fileinfo*>> made;
    std::map<std::string, int> uses;
    while (made.size() < count) {
        std::string name;
        for (std::size_t i = len(gen); i > 0; i--) name += alphabet[gen() % alphabet.size()];
        filetype* t = types[gen() % types.size()];
        std::string key = name + "|" + (t->suffix ? t->suffix : "");
        std::transform(key.begin(), key.end(), key.begin(), ::tolower);
        uses[key]++;
        made.emplace_back(key, entry(("big/" + name).c_str(), t));
    }
    // Drop keys that compare equal, so that no insertion is a duplicate.
    std::vector<fileinfo*> unique;
    for (const auto& [key, e] : made)
        if (uses[key] == 1) unique.push_back(e);
    return unique;
}

}  // namespace

TEST(InsertEntry, SameOrderAsTheLinearWalk) {
    std::vector<fileinfo*> entries = randomentries(4000, 7, 1, 4);
    runstate* rs = newstate();
    fileinfo* big = dir(rs, "big");
    std::vector<fileinfo> copies;
    copies.reserve(entries.size());
    fileinfo* linear = nullptr;
    for (fileinfo* e : entries) {
        copies.push_back(*e);
        linearinsert(&linear, &copies.back());
        insertentry(rs, e);
    }
    std::vector<std::string> got, want;
    for (fileinfo* e = big->child; e; e = e->next) got.push_back(fullname(e));
    for (fileinfo* e = linear; e; e = e->next) want.push_back(fullname(e));
    EXPECT_EQ(got.size(), entries.size());
    EXPECT_EQ(got, want);
}

TEST(InsertEntry, HundredThousandEntriesInOneDirectory) {
    std::vector<fileinfo*> entries = randomentries(100000, 11, 6, 14);
    ASSERT_GT(entries.size(), 99000u);
    runstate* rs = newstate();
    fileinfo* big = dir(rs, "big");
    auto start = std::chrono::steady_clock::now();
    for (fileinfo* e : entries) insertentry(rs, e);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("inserted %zu entries in %.3f s\n", entries.size(), seconds);
    EXPECT_LT(seconds, 30.0);  // a linear search per insertion takes many minutes
    std::vector<fileinfo*> expect = entries;
    std::stable_sort(expect.begin(), expect.end(),
                     [](const fileinfo* a, const fileinfo* b) { return compareentries(a, b) < 0; });
    std::vector<fileinfo*> got;
    for (fileinfo* e = big->child; e; e = e->next) got.push_back(e);
    EXPECT_TRUE(got == expect);
}

TEST(DumpTree, ColumnsIndentationAndEntryListing) {
    runstate* rs = newstate();
    filetype* exe = newtype("tool", "exe");
    filetype* empty = newtype("e", "");
    std::string path = "d0";
    dir(rs, "d0");
    for (int i = 1; i < 11; i++) {
        path.append("/d").append(std::to_string(i));
        dir(rs, path.c_str());
    }
    insertentry(rs, entry((path + "/f").c_str(), exe));
    fileinfo* l = entry("link", nullptr, F_SYMLINK);
    l->existing = keep("d0");
    insertentry(rs, l);
    insertentry(rs, entry("c", nullptr, F_COPY));
    insertentry(rs, entry("h", nullptr, F_HARDLINK));
    insertentry(rs, entry("u", nullptr));
    insertentry(rs, entry("v", empty));

    testing::internal::CaptureStdout();
    dumptree(rs->dirtree, 0);
    std::string out = testing::internal::GetCapturedStdout();
    auto line = [](int depth, const std::string& name, const std::string& type,
                   const char* rest = "") {
        std::string s(std::min(depth, 9), ' ');
        s.append(" ").append(name).append(35 - depth - name.size(), ' ');
        s.append(" ").append(type).append(15 - type.size(), ' ');
        return s.append(" pkg       ").append(rest).append("\n");
    };
    std::string want = line(0, "c", "*copy");
    for (int i = 0; i < 11; i++) want += line(i, std::string("d").append(std::to_string(i)), "dir");
    want += line(11, "f.exe", "tool");
    want += line(0, "h", "*hardlink") + line(0, "link", "*symlink", " existing=d0") +
            line(0, "u", "*unknown") + line(0, "v", "e");
    EXPECT_EQ(out, want);

    testing::internal::CaptureStdout();
    dumpentry(rs->dirtree->next, 2);  // d0 and what is below it, not its later siblings
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 12);
    EXPECT_EQ(out.substr(0, 5), "   d0");
    EXPECT_EQ(out.find("link"), std::string::npos);
}

namespace {

namespace fs = std::filesystem;

// Runs the input stage on an input file and a types file in a fresh
// directory, without a manifest.
runstate* runinput(const std::string& input, const std::string& types, int patch = 0) {
    static int counter = 0;
    fs::path d = fs::temp_directory_path() / ("fp_tree_" + std::to_string(counter++));
    fs::create_directories(d);
    std::ofstream((d / "install.ins").string(), std::ios::binary) << input;
    std::ofstream((d / "types.txt").string(), std::ios::binary) << types;
    runstate* rs = newstate();
    rs->infile = keep((d / "install.ins").string());
    rs->nomanifest = 1;
    rs->patch = patch;
    rs->maxkeylen = 18;
    EXPECT_EQ(readinput(rs), 0);
    fs::remove_all(d);
    return rs;
}

const char* typesfile =
    "file tool 0755 - - - win32=exe lib\n"
    "file bare 0644 - - - - lib\n"
    "file unixonly 0644 - - unix - lib\n"
    "dir 0755 - - - core lib\n"
    "dir 0755 - - - core lib/sub\n";

}  // namespace

TEST(ReadInput, SplitsPathsAndSkipsLinesThatDoNotApply) {
    runstate* rs = runinput("fileplacer types.txt\n"
                            "pkg tool lib/sub/x\n"
                            "pkg tool y\n"
                            "{linux}pkg tool skipped1\n"
                            "pkg unixonly skipped2\n"
                            "{!linux,patch}pkg bare z w#v\n"
                            "pkg *copy existing= new=lib/c\n",
                            typesfile);
    fileinfo* lib = rs->dirtree;
    ASSERT_NE(lib, nullptr);
    EXPECT_EQ(names(lib->child), (std::vector<std::string>{"c", "sub", "y.exe", "z w#v"}));
    fileinfo* c = lib->child;
    EXPECT_TRUE(c->flags & F_COPY);
    EXPECT_STREQ(c->existing, "");
    fileinfo* y = c->next->next;
    EXPECT_EQ(y->dstlen, 3u);
    EXPECT_EQ(std::string(y->dstpath, 3), "lib");
    fileinfo* z = y->next;
    EXPECT_EQ(z->flags & (F_PATCH | P_ALL), F_PATCH | (P_ALL & ~P_LINUX));
    fileinfo* x = c->next->child;
    EXPECT_EQ(x->dstlen, 7u);
    EXPECT_STREQ(x->name, "x");
    EXPECT_EQ(x->basedir, rs->cwd);
    EXPECT_EQ(rs->changed, 1);

    runstate* patched = runinput("fileplacer types.txt\npkg tool a\n{patch}pkg tool b\n", typesfile, 1);
    EXPECT_EQ(names(patched->dirtree->child), (std::vector<std::string>{"b.exe", "sub"}));
}

TEST(ReadInput, HundredThousandLinesInOneDirectory) {
    std::string input = "fileplacer types.txt\n";
    for (int i = 0; i < 100000; i++) input += "pkg tool lib/f" + std::to_string(i * 7919 % 100000) + "\n";
    auto start = std::chrono::steady_clock::now();
    runstate* rs = runinput(input, typesfile);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("read 100000 input lines in %.3f s\n", seconds);
    std::size_t count = 0;
    for (fileinfo* e = rs->dirtree->child; e; e = e->next) count++;
    EXPECT_EQ(count, 100001u);  // with lib/sub
    EXPECT_LT(seconds, 30.0);  // generous for sanitizer builds on a loaded machine
}
