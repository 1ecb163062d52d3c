#include "keytab.h"
#include "gtestfp.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "input/input.h"
#include "run/run.h"
#include "platform/platform.h"
#include "tree/tree.h"
#include "types/types.h"

namespace {

// Run states are never freed, as in a run: everything the parser allocates
// stays reachable from them.
runstate* newrunstate() {
    static auto* all = new std::vector<runstate*>;
    auto* rs = static_cast<runstate*>(std::calloc(1, sizeof(runstate)));
    all->push_back(rs);
    rs->maxkeylen = 18;
    rs->infile = "install.ins";
    return rs;
}

// Texts handed to the parser stay alive for the whole test program, as the
// loaded files do in a run.
char* keep(const std::string& text) {
    static std::vector<std::unique_ptr<char[]>> texts;
    texts.push_back(std::make_unique<char[]>(text.size() + 1));
    std::memcpy(texts.back().get(), text.c_str(), text.size() + 1);
    return texts.back().get();
}

// Parses every line of text; returns the result of the last line.
int parse(runstate* rs, const std::string& text) {
    char* cursor = keep(text);
    char* end = cursor + text.size();
    int r = 1;
    for (int n = 1; cursor != end && r == 1; n++) r = parsetypeline(n, rs, "types.txt", end, &cursor);
    return r;
}

void assign(runstate* rs, const std::string& line) {
    char* text = keep(line);
    parseassign(rs, text, text + line.size(), "types", "types.txt", 1);
}

std::string keyvalue(runstate* rs, const std::string& key) {
    const char* value = nullptr;
    std::size_t len = 0;
    if (findkey(rs->keytab, key.data(), key.size(), &value, &len) != 0) return "<missing>";
    return std::string(value, len);
}

const filetype& typed(runstate* rs, const char* name) {
    const filetype* t = findtype(rs, name);
    if (!t) {
        ADD_FAILURE() << "type " << name << " not defined";
        static filetype none{};
        return none;
    }
    return *t;
}

std::string nameof(const fileinfo* f) { return std::string(f->name, f->namelen); }

}  // namespace

// ---- file lines -------------------------------------------------------------

TEST(TypeLine, FileLineFillsEveryField) {
    auto rs = newrunstate();
    ASSERT_EQ(parse(rs, "file conf 0644 $bin $bin - - /etc\n"), 1);
    const filetype& t = typed(rs, "conf");
    EXPECT_EQ(t.mode, 0644u);
    EXPECT_EQ(t.flags, F_FILE | F_BINOWNER | F_BINGROUP);
    EXPECT_EQ(t.suffix, nullptr);
    EXPECT_STREQ(t.dirpath, "/etc");
    EXPECT_EQ(t.dirpathlen, 4);
    EXPECT_EQ(t.typenamelen, 4);
    // The first type line resolved the defaults; "$bin" copies them.
    EXPECT_EQ(rs->idsresolved, 1);
    EXPECT_STREQ(rs->runuser, "daemon,nobody");
    EXPECT_EQ(t.owner, rs->binuser);
    EXPECT_STREQ(t.owner, "bin,root");
    EXPECT_STREQ(t.group, "bin,root");
    EXPECT_EQ(t.ownerlen, 0);
    EXPECT_STREQ(t.ownertok, "$bin");
    EXPECT_STREQ(t.grouptok, "$bin");
}

TEST(TypeLine, ModesAreOctalAndWrapAt32Bits) {
    auto rs = newrunstate();
    parse(rs,
          "file a 0755 - - - - x\n"
          "file b 755 - - - - x\n"
          "file c 0 - - - - x\n"
          "file d 77777777777 - - - - x\n");
    EXPECT_EQ(typed(rs, "a").mode, 493u);
    EXPECT_EQ(typed(rs, "b").mode, 493u);
    EXPECT_EQ(typed(rs, "c").mode, 0u);
    EXPECT_EQ(typed(rs, "d").mode, 0xffffffffu);  // 8^11 - 1 wrapped
}

TEST(TypeLine, OwnerAndGroupTokens) {
    auto rs = newrunstate();
    parse(rs,
          "set runuser=svc\n"
          "file a 0644 $run - - - x\n"
          "file b 0644 alice $run - - x\n"
          "set runuser=late\n"
          "file c 0644 $run staff - - x\n");
    const filetype& a = typed(rs, "a");
    EXPECT_EQ(a.flags, F_FILE | F_RUNOWNER | F_UNCHANGE);
    EXPECT_STREQ(a.owner, "svc");  // the setting before the first type line counts
    EXPECT_STREQ(a.group, "-");
    EXPECT_EQ(a.grouplen, 1);
    EXPECT_EQ(a.gid, 0);
    EXPECT_STREQ(a.grouptok, "-");

    const filetype& b = typed(rs, "b");
    EXPECT_EQ(b.flags, F_FILE | F_RUNGROUP);
    EXPECT_STREQ(b.owner, "alice");
    EXPECT_EQ(b.ownerlen, 0);  // the win32 lookup reports no length
    EXPECT_STREQ(b.group, "daemon,nobody");

    // A runuser setting after the first type line only defines its key.
    const filetype& c = typed(rs, "c");
    EXPECT_STREQ(c.owner, "svc");
    EXPECT_STREQ(c.group, "staff");
    EXPECT_EQ(keyvalue(rs, "runuser"), "late");
}

TEST(TypeLine, FlagTokens) {
    auto rs = newrunstate();
    parse(rs,
          "file a 0644 alice staff -x - x\n"
          "file b 0644 alice staff substitute,win32 - x\n"
          "file c 0644 alice staff !linux - x\n"
          "file d 0644 alice staff - - x\n");
    EXPECT_EQ(typed(rs, "a").flags, F_FILE);  // '-' and whatever follows it: no flags
    EXPECT_EQ(typed(rs, "b").flags, F_FILE | F_SUBSTITUTE | P_WIN32);
    EXPECT_EQ(typed(rs, "c").flags, F_FILE | (P_ALL & ~P_LINUX));
    EXPECT_EQ(typed(rs, "d").flags, F_FILE);
}

TEST(TypeLine, SuffixChoicesAndVersionMarks) {
    auto rs = newrunstate();
    parse(rs,
          "file lead 0644 - - - unix=so,win32=#dll x\n"
          "file trail 0644 - - - win32=dll# x\n"
          "file both 0644 - - - win32=#so# x\n"
          "file other 0644 - - - unix=so x\n"
          "file empty 0644 - - - win32= x\n"
          "file none 0644 - - - - x\n"
          "file last 0644 - - - win32=dll,all=x x\n");
    const flagword marks = F_VERSIONLEAD | F_VERSIONTRAIL;
    EXPECT_STREQ(typed(rs, "lead").suffix, "dll");
    EXPECT_EQ(typed(rs, "lead").flags & marks, F_VERSIONLEAD);
    EXPECT_STREQ(typed(rs, "trail").suffix, "dll");
    EXPECT_EQ(typed(rs, "trail").flags & marks, F_VERSIONTRAIL);
    EXPECT_STREQ(typed(rs, "both").suffix, "so#");  // only the leading mark is taken
    EXPECT_EQ(typed(rs, "both").flags & marks, F_VERSIONLEAD);
    EXPECT_EQ(typed(rs, "other").suffix, nullptr);
    EXPECT_STREQ(typed(rs, "empty").suffix, "");  // chosen, but empty
    EXPECT_EQ(typed(rs, "empty").flags & marks, 0u);
    EXPECT_EQ(typed(rs, "none").suffix, nullptr);
    EXPECT_STREQ(typed(rs, "last").suffix, "x");
}

TEST(TypeLine, SetLineStoresTheRestOfTheLineUnexpanded) {
    auto rs = newrunstate();
    parse(rs, "set\tk=v\nset ref=<k> tail \r\n");
    EXPECT_EQ(keyvalue(rs, "k"), "v");
    EXPECT_EQ(keyvalue(rs, "ref"), "<k> tail ");
}

// ---- the type table -----------------------------------------------------------

TEST(TypeTable, TypesGoToTheHeadOfTheirNamesBucket) {
    auto rs = newrunstate();
    filetype high{}, abc{}, again{};
    high.typename_ = "\xe9";  // a byte above 0x7f hashes as a negative value
    abc.typename_ = again.typename_ = "abc";
    high.flags = abc.flags = again.flags = F_FILE;
    addtype(rs, &high);
    addtype(rs, &abc);
    EXPECT_EQ(rs->typetab[851], &high);
    EXPECT_EQ(rs->typetab[771], &abc);
    addtype(rs, &again);
    EXPECT_EQ(rs->typetab[771], &again);
    EXPECT_EQ(again.next, &abc);
    EXPECT_EQ(findtype(rs, "abc"), &again);
    EXPECT_EQ(findtype(rs, "\xe9"), &high);
    EXPECT_EQ(findtype(rs, "ABC"), nullptr);
    EXPECT_EQ(findtype(rs, "ab"), nullptr);
}

TEST(TypeTable, LongChainsFindTheNewestTypeOfEachName) {
    // Names that all share one bucket, each defined twice, looked up while the
    // chain grows past the length at which it is indexed.
    auto rs = newrunstate();
    std::vector<std::string> names = bucketmates();
    ASSERT_GE(names.size(), 17u);
    std::vector<filetype> types(32);
    for (std::size_t i = 0; i < 16; ++i) {
        for (std::size_t round = 0; round < 2; ++round) {
            filetype& t = types[2 * i + round];
            t.typename_ = keep(names[i]);
            t.flags = F_FILE;
            addtype(rs, &t);
        }
        for (std::size_t j = 0; j <= i; ++j)
            EXPECT_EQ(findtype(rs, names[j].c_str()), &types[2 * j + 1]) << i << " " << j;
        EXPECT_EQ(findtype(rs, names[i + 1].c_str()), nullptr) << i;
        EXPECT_EQ(rs->typetab[strhash("abc")], &types[2 * i + 1]);
    }
}

// ---- directory and link entries ----------------------------------------------------

TEST(TypeEntries, DirectoryEntriesCarryTheirOwnType) {
    auto rs = newrunstate();
    std::strcpy(rs->cwd, "/work/here");
    ASSERT_EQ(parse(rs,
                    "dir 0755 $bin $bin - core lib\n"
                    "dir 0750 - - substitute tools lib/sub extra\n"),
              1);
    const fileinfo* lib = rs->dirtree;
    ASSERT_NE(lib, nullptr);
    EXPECT_EQ(nameof(lib), "lib");
    EXPECT_EQ(lib->dstlen, 0u);
    EXPECT_STREQ(lib->pkgname, "core");
    EXPECT_EQ(lib->basedir, rs->cwd);
    ASSERT_NE(lib->ftype, nullptr);
    EXPECT_STREQ(lib->ftype->typename_, "dir");
    EXPECT_EQ(lib->ftype->typenamelen, 3);
    EXPECT_EQ(lib->flags & ~F_TYPESLINK, lib->ftype->flags);
    EXPECT_EQ(lib->ftype->flags, F_DIR | F_BINOWNER | F_BINGROUP);

    const fileinfo* sub = lib->child;
    ASSERT_NE(sub, nullptr);
    EXPECT_EQ(nameof(sub), "sub");
    EXPECT_EQ(std::string(sub->dstpath, sub->dstlen), "lib");
    EXPECT_EQ(sub->ftype->mode, 0750u);
    EXPECT_EQ(sub->ftype->flags, F_DIR | F_UNCHANGE | F_SUBSTITUTE);
    EXPECT_STREQ(sub->pkgname, "tools");
    // Directory types are reachable only through their entries.
    EXPECT_EQ(findtype(rs, "dir"), nullptr);
}

TEST(TypeEntries, BackslashInALinkTargetDropsTheEntry) {
    auto rs = newrunstate();
    testing::internal::CaptureStderr();
    EXPECT_EQ(parse(rs, "symlink existing=a\\b new=c\\d\n"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Backslash character forbidden in path 'c\\d' file 'types.txt' line 1\n");
    EXPECT_EQ(rs->dirtree, nullptr);
    // The existing path is not checked.
    EXPECT_EQ(parse(rs, "symlink existing=a\\b new=cd\n"), 1);
    ASSERT_NE(rs->dirtree, nullptr);
    EXPECT_STREQ(rs->dirtree->existing, "a\\b");
}

// ---- settings -----------------------------------------------------------------------

TEST(Settings, KeyAndValueAreNotTrimmed) {
    auto rs = newrunstate();
    assign(rs, "a = b ");
    EXPECT_EQ(keyvalue(rs, "a "), " b ");
    EXPECT_EQ(keyvalue(rs, "a"), "<missing>");
    assign(rs, "empty=");
    EXPECT_EQ(keyvalue(rs, "empty"), "");
    assign(rs, "eq=x=y");
    EXPECT_EQ(keyvalue(rs, "eq"), "x=y");
}

TEST(Settings, BuiltInWords) {
    auto rs = newrunstate();
    std::strcpy(rs->hostname, "build7");
    std::strcpy(rs->ipv4addr, "10.1.2.3");
    std::strcpy(rs->datetime, "20060116075626Z");
    std::strcpy(rs->dcpath, "dc=com");
    const char* words[][2] = {
        {"$hostname", "build7"}, {"$ipv4address", "10.1.2.3"}, {"$uname", ""},
        {"$hardware", ""}, {"$version", "unknown"}, {"$ver", "unknown"},
        {"$base_version", "unknown"}, {"$major_version", "unknown"},
        {"$minor_version", "unknown"}, {"$revision", "unknown"},
        {"$buildnum", "2006.015.2356"}, {"$datetime", "20060116075626Z"},
        {"$dcpath", "dc=com"}, {"$nosuchword", "$nosuchword"},
        {"$hostname ", "$hostname "}, {"$Version", "$Version"}, {"x$ver", "x$ver"},
    };
    for (const auto& w : words) {
        assign(rs, std::string("k=") + w[0]);
        EXPECT_EQ(keyvalue(rs, "k"), w[1]) << w[0];
    }
}

TEST(Settings, HostNamePieces) {
    struct {
        const char* host;
        const char* prefix;
        const char* domain;
        const char* domainprefix;
    } cases[] = {
        {"build7", "build7", "build7", "build7"},
        {"host.com", "host", "host.com", "com"},
        {"build7.lab.example.org", "build7", "lab.example.org", "lab"},
        {"a.b.", "a", "b.", "b"},
    };
    for (const auto& c : cases) {
        auto rs = newrunstate();
        std::strcpy(rs->hostname, c.host);
        assign(rs, "p=$hostprefix");
        assign(rs, "d=$domain");
        assign(rs, "dp=$domainprefix");
        EXPECT_EQ(keyvalue(rs, "p"), c.prefix) << c.host;
        EXPECT_EQ(keyvalue(rs, "d"), c.domain) << c.host;
        EXPECT_EQ(keyvalue(rs, "dp"), c.domainprefix) << c.host;
        EXPECT_STREQ(rs->hostname, c.host);  // the buffer itself is unchanged
    }
}

TEST(Settings, RunUserWordResolvesTheDefaults) {
    auto rs = newrunstate();
    assign(rs, "who=$runuser");
    EXPECT_EQ(rs->idsresolved, 1);
    EXPECT_EQ(keyvalue(rs, "who"), "");  // the win32 lookup chooses no characters
    assign(rs, "runuser=svc");
    EXPECT_STREQ(rs->runuser, "daemon,nobody");
    EXPECT_EQ(keyvalue(rs, "runuser"), "svc");
}

TEST(Settings, DefdestdirGivesTheDestinationOnlyWhenNoneIsKnown) {
    auto rs = newrunstate();
    assign(rs, "defdestdir=C:/out/app");
    std::string native = "C:/out/app";
    nativeseparators(native.data());
    EXPECT_EQ(std::string(rs->defdestdir), native);
    EXPECT_EQ(rs->destdir, rs->defdestdir);
    EXPECT_EQ(rs->destdirlen, 10);
    EXPECT_EQ(keyvalue(rs, "defdestdir"), native);  // converted in place

    assign(rs, "defdestdir=D:/other");
    EXPECT_EQ(std::string(rs->destdir), native);  // the first destination stays
    EXPECT_NE(std::strstr(rs->defdestdir, "other"), nullptr);

    auto given = newrunstate();
    given->destdir = "cmdline";
    given->destdirlen = 7;
    assign(given, "defdestdir=x");
    EXPECT_STREQ(given->destdir, "cmdline");
    EXPECT_STREQ(given->defdestdir, "x");
}

TEST(Settings, DestdirWordWithoutADestination) {
    auto rs = newrunstate();
    assign(rs, "d=$destdir");
    EXPECT_EQ(keyvalue(rs, "d"), "");
    assign(rs, "defdestdir=$destdir");
    EXPECT_EQ(rs->destdir, nullptr);  // an unknown destination does not become one
    ASSERT_NE(rs->defdestdir, nullptr);
    EXPECT_STREQ(rs->defdestdir, "");
    assign(rs, "defdestdir=later");
    EXPECT_STREQ(rs->destdir, "later");
    assign(rs, "d=$destdir");
    EXPECT_EQ(keyvalue(rs, "d"), "later");

    auto empty = newrunstate();
    assign(empty, "defdestdir=");  // a literal empty value is a destination
    ASSERT_NE(empty->destdir, nullptr);
    EXPECT_STREQ(empty->destdir, "");
    EXPECT_EQ(empty->destdirlen, 0);
}

TEST(Settings, BuiltInValueOfASettingIsItsOwnText) {
    auto rs = newrunstate();
    std::strcpy(rs->hostname, "build7.lab.example.org");
    assign(rs, "defdestdir=$hostprefix");
    EXPECT_STREQ(rs->destdir, "build7");  // ends where the piece ends
    EXPECT_EQ(rs->destdirlen, 6);
    EXPECT_STREQ(rs->hostname, "build7.lab.example.org");
}
