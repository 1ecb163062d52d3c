// Installed names, the copy of one file and the walk over hand-built trees.
#include "workdir.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "run/run.h"
#include "install/install.h"
#include "lifecycle/lifecycle.h"
#include "platform/platform.h"
#include "text/text.h"
#include "tree/tree.h"
#include "types/types.h"

namespace fs = std::filesystem;

namespace {

// ---- hand-built entries and types ------------------------------------------

struct builder {
    std::vector<std::unique_ptr<fileinfo>> entries;
    std::vector<std::unique_ptr<filetype>> types;
    std::vector<std::unique_ptr<std::string>> texts;

    char* keep(const std::string& s) {
        texts.push_back(std::make_unique<std::string>(s));
        return texts.back()->data();
    }

    filetype* type(const char* suffix, flagword flags) {
        auto t = std::make_unique<filetype>();
        t->typename_ = "t";
        t->suffix = suffix;
        t->flags = flags;
        t->mode = 0644;
        types.push_back(std::move(t));
        return types.back().get();
    }

    // A loose entry: name plus the relative directory dstpath.
    fileinfo* entry(const std::string& name, filetype* ftype, const std::string& dir = "") {
        auto e = std::make_unique<fileinfo>();
        std::string path = dir.empty() ? name : dir + "/" + name;
        e->dstpath = keep(path);
        e->dstlen = static_cast<std::uint32_t>(dir.size());
        e->name = e->dstpath + (dir.empty() ? 0 : dir.size() + 1);
        e->namelen = static_cast<std::uint32_t>(name.size());
        e->pkgname = keep("-");
        e->ftype = ftype;
        e->flags = ftype != nullptr ? ftype->flags : 0;
        entries.push_back(std::move(e));
        return entries.back().get();
    }

    // An entry appended to parent's children (or to *top).
    fileinfo* add(fileinfo** top, fileinfo* parent, const std::string& name, filetype* ftype,
                  flagword extra = 0) {
        // A built entry's dstpath holds its whole path.
        fileinfo* e = entry(name, ftype, parent != nullptr ? parent->dstpath : "");
        e->flags |= extra;
        e->parent = parent;
        fileinfo** link = parent != nullptr ? &parent->child : top;
        while (*link != nullptr) link = &(*link)->next;
        *link = e;
        return e;
    }
};

std::string version(const char* name, flagword flags = F_VERSIONTRAIL) {
    builder b;
    fileinfo* e = b.entry(name, b.type("so", F_FILE | flags));
    const char* v = findversion(e);
    return v != nullptr ? std::string(v) : std::string("(none)");
}

std::string compose(const fileinfo* e, const char* base, const char* pkgdir,
                    std::string_view rel, const char* tag = "", std::size_t stemlen = 0,
                    const char* ver = nullptr) {
    char buf[1024];
    placement p{base, pkgdir, rel, ver, stemlen};
    int n = *tag != '\0' ? temporarypath(buf, sizeof buf, e, p) : installedpath(buf, sizeof buf, e, p);
    EXPECT_GE(n, 0);
    EXPECT_EQ(static_cast<std::size_t>(n), std::strlen(buf));
    return buf;
}

}  // namespace

// ---- findversion -------------------------------------------------------------

TEST(findversion, examples) {
    EXPECT_EQ(version("libx.1.2"), ".1.2");
    EXPECT_EQ(version("lib12.3"), ".3");
    EXPECT_EQ(version("1.2.3"), ".2.3");
    EXPECT_EQ(version("1.2"), ".2");
    EXPECT_EQ(version("x..2"), ".2");
    EXPECT_EQ(version(".5"), ".5");
    EXPECT_EQ(version("libx.10.200", F_VERSIONLEAD), ".10.200");
    for (const char* none : {"abc12", "12", "x.2a", "x.", "", "libx"})
        EXPECT_EQ(version(none), "(none)") << none;
}

TEST(findversion, needsversionflagandtype) {
    builder b;
    fileinfo* plain = b.entry("libx.1.2", b.type("so", F_FILE));
    EXPECT_EQ(findversion(plain), nullptr);
    fileinfo* untyped = b.entry("libx.1.2", nullptr);
    untyped->flags = F_VERSIONTRAIL;
    EXPECT_EQ(findversion(untyped), nullptr);
    // The version part is a pointer into the name, never a copy.
    fileinfo* typed = b.entry("libx.1.2", b.type("so", F_FILE | F_VERSIONTRAIL));
    EXPECT_EQ(findversion(typed), typed->name + 4);
}

// ---- composepath -------------------------------------------------------------

TEST(composepath, workedexamples) {
    builder b;
    fileinfo* trail = b.entry("libx.1.2", b.type("so", F_FILE | F_VERSIONTRAIL));
    const char* v = findversion(trail);
    EXPECT_EQ(compose(trail, "dest", "", "lib", "", 0, v), "dest/lib/libx.so.1.2");
    EXPECT_EQ(compose(trail, "dest", "", "lib", "TMPZ", 0, v), "dest/lib/libxTMPZ.so.1.2");
    EXPECT_EQ(compose(trail, nullptr, "", "", "", 4, ".1"), "libx.so.1");
    EXPECT_EQ(compose(trail, nullptr, "", "", "", 4, ""), "libx.so");
    EXPECT_EQ(compose(trail, "dest", "core", "lib", "", 0, v), "dest/core/lib/libx.so.1.2");

    fileinfo* lead = b.entry("libx.1.2", b.type("so", F_FILE | F_VERSIONLEAD));
    EXPECT_EQ(compose(lead, "dest", "", "lib", "", 0, findversion(lead)), "dest/lib/libx.1.2.so");

    fileinfo* splice = b.entry("foo", b.type("lib%.a", F_FILE));
    EXPECT_EQ(compose(splice, "dest", "", "lib"), "dest/lib/libfoo.a");
    fileinfo* dll = b.entry("foo.2", b.type("%.dll", F_FILE | F_VERSIONTRAIL));
    EXPECT_EQ(compose(dll, "dest", "", "lib", "", 0, findversion(dll)), "dest/lib/foo.dll.2");

    EXPECT_EQ(compose(b.entry("foo", b.type(nullptr, F_FILE)), "dest", "", "lib"), "dest/lib/foo");
    EXPECT_EQ(compose(b.entry("foo", nullptr), "dest", "", "lib"), "dest/lib/foo");
    EXPECT_EQ(compose(b.entry("tool", b.type("exe", F_FILE)), "", "", "usr/bin"),
              "/usr/bin/tool.exe");
}

TEST(composepath, edgecases) {
    builder b;
    // Without a version flag the whole name stands before the suffix.
    EXPECT_EQ(compose(b.entry("libx.1.2", b.type("so", F_FILE)), "d", "", ""), "d/libx.1.2.so");
    // A name that is only a version part has an empty stem.
    fileinfo* bare = b.entry(".5", b.type("so", F_FILE | F_VERSIONTRAIL));
    EXPECT_EQ(compose(bare, nullptr, "", "", "", 0, findversion(bare)), ".so.5");
    // ... also when the version handed in is a shortened copy.
    EXPECT_EQ(compose(bare, nullptr, "", "", "", 0, ""), ".so");
    EXPECT_EQ(compose(b.entry("foo", b.type("", F_FILE)), nullptr, "", ""), "foo.");
    EXPECT_EQ(compose(b.entry("n", b.type("a%b%c", F_FILE)), nullptr, "", ""), "anb%c");
    EXPECT_EQ(compose(b.entry("x", nullptr), "", "", ""), "/x");
    EXPECT_EQ(compose(b.entry("x", nullptr), nullptr, "", ""), "x");
    // Only the first rellen characters of the relative text count.
    EXPECT_EQ(compose(b.entry("f", nullptr), "d", "", std::string_view("abc/def", 3)), "d/abc/f");
}

TEST(composepath, resultreportsoverflow) {
    builder b;
    fileinfo* e = b.entry("n", nullptr);
    char buf[1024];
    std::string base(1021, 'b');  // base + '/' + name = 1023 characters: fits
    EXPECT_EQ(installedpath(buf, sizeof buf, e, {.base = base.c_str()}), 1023);
    base += 'b';  // exactly 1024 characters: the caller's overflow
    EXPECT_EQ(installedpath(buf, sizeof buf, e, {.base = base.c_str()}), 1024);
}

// ---- placefile -----------------------------------------------------------------

namespace {

class copytest : public workdirtest {
protected:
    std::unique_ptr<runstate> rs;
    builder b;

    void SetUp() override {
        workdirtest::SetUp();
        rs = std::make_unique<runstate>();
        rs->maxkeylen = 18;
        rs->destdir = "dest";
    }

    // Moves the file's modification time by the given number of seconds.
    static void shift(const std::string& path, int seconds) {
        fs::last_write_time(path, fs::last_write_time(path) + std::chrono::seconds(seconds));
    }

    // As the walk copies: the source is opened only when the copy needs it,
    // and only its status is read when that may tell.
    char copy(const std::string& src, const std::string& dst, fileinfo* e) {
        destination d;
        sourceneed need = needssource(rs.get(), e, dst.c_str(), &d);
        if (need == sourceneed::none) return COPYLEFT;
        statinfo st{};
        int fd = -1;
        if (need == sourceneed::open) {
            fd = openread(src.c_str());
            EXPECT_GE(fd, 0);
        } else {
            EXPECT_EQ(statpath(src.c_str(), &st), 0);
        }
        std::string tmp = dst + "TMPZ";
        char rc = placefile(rs.get(), fd, src.c_str(), st, tmp.c_str(), dst.c_str(), e, d);
        settleall(rs.get());  // the finished copy takes its name (and its descriptor goes)
        if (fd >= 0) {
            EXPECT_EQ(closefd(fd), -1) << "placefile must close the source";
        }
        return rc;
    }
    fileinfo* plainentry() { return b.entry("f", b.type(nullptr, F_FILE)); }
    fileinfo* substentry() { return b.entry("f", b.type(nullptr, F_FILE | F_SUBSTITUTE)); }
    void addkey(const char* key, const char* value) {
        ::addkey(rs->keytab, &rs->maxkeylen, key, std::strlen(key), value, std::strlen(value), 0);
    }
};

}  // namespace

TEST_F(copytest, newfileiswrittenwhole) {
    std::string data;
    for (int i = 0; data.size() < 700 * 1024; i++) data += std::to_string(i) + ",";
    data += std::string("\0\r\n\x80", 4);
    spill("src", data);
    EXPECT_EQ(copy("src", "out", plainentry()), COPYWRITTEN);
    EXPECT_EQ(slurp("out"), data);
    EXPECT_FALSE(fs::exists("outTMPZ"));

    spill("empty", "");
    EXPECT_EQ(copy("empty", "out0", plainentry()), COPYWRITTEN);
    EXPECT_TRUE(fs::exists("out0"));
    EXPECT_EQ(fs::file_size("out0"), 0u);
}

TEST_F(copytest, existingdestinationisneverreplaced) {
    spill("src", "new");
    spill("older", "old1");
    spill("newer", "old2");
    shift("older", -100);
    shift("newer", 100);
    EXPECT_EQ(copy("src", "older", plainentry()), COPYLEFT);
    EXPECT_EQ(copy("src", "newer", plainentry()), COPYLEFT);
    EXPECT_EQ(copy("src", "newer", substentry()), COPYLEFT);
    EXPECT_EQ(slurp("older"), "old1");
    EXPECT_EQ(slurp("newer"), "old2");
    EXPECT_FALSE(fs::exists("olderTMPZ") || fs::exists("newerTMPZ"));
}

TEST_F(copytest, leftovertemporaryisreplaced) {
    spill("src", "fresh");
    spill("outTMPZ", "partial leftover of a killed run, longer than the source");
    EXPECT_EQ(copy("src", "out", plainentry()), COPYWRITTEN);
    EXPECT_EQ(slurp("out"), "fresh");
    EXPECT_FALSE(fs::exists("outTMPZ"));
}

TEST_F(copytest, leadingslashmeansthecurrentdirectory) {
    spill("src", "abc");
    EXPECT_EQ(copy("src", "/rooted", plainentry()), COPYWRITTEN);
    EXPECT_EQ(slurp("rooted"), "abc");
}

TEST_F(copytest, substitutionoutsidepackageandspecmode) {
    addkey("name", "World");
    const std::string text = "Hello <name>!\n<line:unix>gone\n<line:win32>kept\n<x>\n";
    spill("src", text);
    EXPECT_EQ(copy("src", "out", substentry()), COPYWRITTEN);
    EXPECT_EQ(slurp("out"), "Hello World!\nkept\n<x>\n");
    EXPECT_EQ(copy("src", "plain", plainentry()), COPYWRITTEN);
    EXPECT_EQ(slurp("plain"), text);

    rs->pkgmode = 1;
    EXPECT_EQ(copy("src", "pkg", substentry()), COPYWRITTEN);
    EXPECT_EQ(slurp("pkg"), text);
    rs->pkgmode = 0;
    rs->specfile = 1;
    EXPECT_EQ(copy("src", "specmode", substentry()), COPYWRITTEN);
    EXPECT_EQ(slurp("specmode"), text);
}

// A directory opened as the source cannot be read: whether placefile reads the
// source shows in whether the run ends. That makes the staleness rule visible.
TEST_F(copytest, existingdestinationreadsthesourceonlywhensubstituted) {
    fs::create_directory("srcdir");  // opens, but every read fails
    spill("newer", "kept");
    fs::last_write_time("newer", fs::last_write_time("srcdir"));
    shift("newer", 10);
    // Left alone unread, whatever the times say.
    rs->inmtime = 0;
    EXPECT_EQ(copy("srcdir", "newer", plainentry()), COPYLEFT);
    rs->inmtime = INT64_MAX;
    EXPECT_EQ(copy("srcdir", "newer", plainentry()), COPYLEFT);
    // A substituted file is read (and expanded) all the same.
    rs->inmtime = 0;
    EXPECT_EXIT(copy("srcdir", "newer", substentry()), ::testing::ExitedWithCode(1),
                "Error reading file 'srcdir': ");
    EXPECT_EQ(slurp("newer"), "kept");
    // A source that cannot be read is reported before the temporary is made,
    // even when it could not be made.
    EXPECT_EXIT(copy("srcdir", "missing/out", plainentry()), ::testing::ExitedWithCode(1),
                "^Error reading file 'srcdir': ");
}

// As --update asks: the source's status first, read only when that does not
// tell; a differing destination is replaced with the source copied from its
// start, an equal one left.
TEST_F(copytest, comparingreadsthesourcewhenitsstatusdoesnottell) {
    rs->mode.compares = true;
    spill("src", "new content");
    spill("differs", "old content");  // the same size: the content is compared
    spill("same", "new content");
    for (const char* dst : {"differs", "same"}) {
        destination d;
        EXPECT_EQ(needssource(rs.get(), plainentry(), dst, &d), sourceneed::status) << dst;
    }
    EXPECT_EQ(copy("src", "differs", plainentry()), COPYREPLACED);
    EXPECT_EQ(slurp("differs"), "new content");
    EXPECT_EQ(copy("src", "same", plainentry()), COPYLEFT);
    EXPECT_FALSE(fs::exists("differsTMPZ") || fs::exists("sameTMPZ"));
}

TEST_F(copytest, creationfailureendstherun) {
    spill("src", "x");
    EXPECT_EXIT(copy("src", "missing/out", plainentry()), ::testing::ExitedWithCode(1),
                "^Error creating file 'missing/out': .* \\([0-9]+\\)\n$");
}

// ---- the walk ----------------------------------------------------------------

namespace {

class walktest : public copytest {
protected:
    filetype* dirtype = nullptr;
    filetype* texttype = nullptr;
    fileinfo* top = nullptr;
    char srcname[8] = "src";
    char* srclist[2] = {srcname, nullptr};

    void SetUp() override {
        copytest::SetUp();
        dirtype = b.type(nullptr, F_DIR);
        dirtype->mode = 0755;
        texttype = b.type("txt", F_FILE);
        rs->srcpaths = srclist;
        rs->verbose = 1;
        fs::create_directories("src");
        fs::create_directories("dest");
    }
    // Package mode: a/b/f, whose file alone belongs to package "core".
    void packagedfile() {
        rs->pkgmode = 1;
        fileinfo* a = b.add(&top, nullptr, "a", dirtype);
        fileinfo* inner = b.add(&top, a, "b", dirtype);
        fileinfo* f = b.add(&top, inner, "f", texttype);
        f->pkgname = b.keep("core");
        spill("src/f.txt", "F");
    }
    // The versioned file lib/name (its source named with the suffix "so"
    // before its version), in a "lib" directory made on first use.
    void versioned(const char* name, const char* source) {
        if (lib == nullptr) lib = b.add(&top, nullptr, "lib", dirtype);
        b.add(&top, lib, name, b.type("so", F_FILE | F_VERSIONTRAIL));
        spill(std::string("src/") + source, "v");
    }
    fileinfo* lib = nullptr;
    std::string walkall() {
        ::testing::internal::CaptureStdout();
        installwalk(rs.get(), top, "", 0);
        if (rs->retryhead != nullptr) retrywalk(rs.get());
        settleall(rs.get());
        return ::testing::internal::GetCapturedStdout();
    }
};

}  // namespace

TEST_F(walktest, deferredlinkkeepsitsplaceandrelativedirectory) {
    spill("src/a.txt", "A");
    spill("src/z.txt", "Z");
    fileinfo* a = b.add(&top, nullptr, "a", dirtype);
    fileinfo* link = b.add(&top, a, "l", nullptr, F_SYMLINK);
    link->existing = b.keep("no-such-target");
    b.add(&top, link, "in", texttype);
    fileinfo* after = b.add(&top, a, "m", texttype);
    b.add(&top, nullptr, "z", texttype);
    spill("src/m.txt", "M");
    spill("src/in.txt", "IN");
    // The link itself is not made on this platform; its directory stands in.
    fs::create_directories("dest/a/l");

    EXPECT_EQ(walkall(),
              "-D                  755 dest/a\n"
              "+F                  644 dest/a/m.txt\n"
              "+F                  644 dest/z.txt\n"
              "+S -       -          0 dest/a/l existing=no-such-target\n"
              "+F                  644 dest/a/l/in.txt\n");
    EXPECT_EQ(link->next, after);
    EXPECT_EQ(rs->retryhead, link);
    EXPECT_EQ(rs->retrytail, link);
    EXPECT_TRUE(link->flags & F_RETRY);
    EXPECT_EQ(slurp("dest/a/l/in.txt"), "IN");
    EXPECT_STREQ(b.entries.back()->srcdir, "src");
}

TEST_F(walktest, versionedfilegetsshorterlinks) {
    versioned("libx.1.2", "libx.so.1.2");
    EXPECT_EQ(walkall(),
              "+D                  755 dest/lib\n"
              "+F                  644 dest/lib/libx.so.1.2\n"
              "+S -       -          0 dest/lib/libx.so.1 existing=libx.so.1.2\n"
              "+S -       -          0 dest/lib/libx.so existing=libx.so.1.2\n");
    EXPECT_EQ(slurp("dest/lib/libx.so.1.2"), "v");
}

TEST_F(walktest, missingparentondiskismadeonthewaybackdown) {
    // Package mode: directories of package "-" are made inside the package
    // directory only when an entry of the package needs them.
    packagedfile();
    EXPECT_EQ(walkall(),
              "+D                  755 dest/core/a\n"
              "+D                  755 dest/core/a/b\n"
              "+F                  644 dest/core/a/b/f.txt\n");
    EXPECT_EQ(slurp("dest/core/a/b/f.txt"), "F");
}

TEST_F(walktest, goingupthatcannothelpends) {
    // A file stands where the parent directory should be: the parent exists
    // as far as makedir can tell, the child keeps failing.
    packagedfile();
    fs::create_directories("dest/core");
    spill("dest/core/a", "not a directory");
    EXPECT_EXIT(walkall(), ::testing::ExitedWithCode(1),
                "^Can't create directory 'dest/core/a/b'\n$");

    // Nor can a top-level directory whose destination is missing.
    top = nullptr;
    rs->pkgmode = 0;
    rs->destdir = "nowhere/dest";
    b.add(&top, nullptr, "a", dirtype);
    EXPECT_EXIT(walkall(), ::testing::ExitedWithCode(1),
                "^Can't create directory 'nowhere/dest/a'\n$");
}

TEST_F(walktest, versionpartmustfitthelinkbuffer) {
    // A 31-character version.
    versioned("x.1234567890.1234567890.12345678", "x.so.1234567890.1234567890.12345678");
    EXPECT_EQ(walkall(),
              "+D                  755 dest/lib\n"
              "+F                  644 dest/lib/x.so.1234567890.1234567890.12345678\n"
              "+S -       -          0 dest/lib/x.so.1234567890.1234567890 "
              "existing=x.so.1234567890.1234567890.12345678\n"
              "+S -       -          0 dest/lib/x.so.1234567890 "
              "existing=x.so.1234567890.1234567890.12345678\n"
              "+S -       -          0 dest/lib/x.so existing=x.so.1234567890.1234567890.12345678\n");

    // One character more is refused before anything is copied.
    versioned("y.1234567890.1234567890.123456789", "y.so.1234567890.1234567890.123456789");
    EXPECT_EXIT(walkall(), ::testing::ExitedWithCode(1),
                "^Overflow version '.1234567890.1234567890.123456789' "
                "file 'y.1234567890.1234567890.123456789'\n$");
    EXPECT_FALSE(fs::exists("dest/lib/y.so.1234567890.1234567890.123456789"));
}

TEST_F(walktest, specmodemakesnoversionlinks) {
    versioned("y.1234567890.1234567890.123456789", "y.so.1234567890.1234567890.123456789");
    rs->specfile = 1;
    EXPECT_EQ(walkall(),
              "+D                  755 dest/lib\n"
              "+F                  644 dest/lib/y.so.1234567890.1234567890.123456789\n");
}
