// Fingerprints: the hash, the lines of manifest.sums read back and damaged,
// record identities and the lookups in tree order.
#include "workdir.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <string>

#include "driver/driver.h"
#include "lifecycle/fingerprint.h"
#include "lifecycle/lifecycle.h"
#include "lifecycle/lifeinternal.h"
#include "text/text.h"
#include "tree/tree.h"

namespace fs = std::filesystem;

namespace {

// ---- what the copy does with a destination ------------------------------

// The mode of a run given these options (their fields set to 1).
runmode modewith(std::initializer_list<int runstate::*> options) {
    auto rs = std::make_unique<runstate>();
    for (int runstate::*option : options) rs.get()->*option = 1;
    return modeof(rs.get());
}

TEST(copydecision, eachmodeanddestination) {
    const runmode plain = modewith({});
    const runmode dry = modewith({&runstate::noaction});
    const runmode update = modewith({&runstate::update});
    const runmode dryupdate = modewith({&runstate::noaction, &runstate::update});
    const runmode verify = modewith({&runstate::verify});
    const runmode prune = modewith({&runstate::prune});
    // exists, a file there, it differs, it was edited since it was installed
    const copyfacts missing{false, false, false, false};
    const copyfacts same{true, true, false, false};
    const copyfacts differs{true, true, true, false};
    const copyfacts edited{true, true, true, true};
    const copyfacts directory{true, false, true, false};
    struct row {
        const char* what;
        runmode mode;
        copyfacts facts;
        copyaction expect;
    };
    const row rows[] = {
        {"a plain run writes a missing file", plain, missing, copyaction::write},
        {"a plain run never replaces", plain, edited, copyaction::leave},
        {"-n writes nothing", dry, missing, copyaction::would},
        {"-n leaves what exists", dry, differs, copyaction::leave},
        {"--update writes a missing file", update, missing, copyaction::write},
        {"--update leaves a file in step", update, same, copyaction::leave},
        {"--update replaces a file that differs", update, differs, copyaction::replace},
        {"--update keeps an edited file, new content beside", update, edited, copyaction::beside},
        {"--update leaves a directory", update, directory, copyaction::leave},
        {"-n --update tells what it would replace", dryupdate, differs, copyaction::replace},
        {"-n --update tells what it would put beside", dryupdate, edited, copyaction::beside},
        {"-n --update writes nothing", dryupdate, missing, copyaction::would},
        {"--verify only reports a difference", verify, differs, copyaction::leave},
        {"--verify only reports an edit", verify, edited, copyaction::leave},
        {"--verify writes nothing", verify, missing, copyaction::would},
        {"--prune installs a missing file", prune, missing, copyaction::write},
        {"--prune does not compare", prune, differs, copyaction::leave},
    };
    for (const row& r : rows) EXPECT_EQ(decidecopy(r.mode, r.facts), r.expect) << r.what;
}

TEST(prunedecision, eachrecordandwhatstandsthere) {
    struct row {
        const char* what;
        prunefacts facts;  // told, reinstalled, err, kind, matches
        pruneaction expect;
    };
    const row rows[] = {
        {"the record names no path", {false, false, 0, 'f', true}, pruneaction::keep},
        {"this run installs the path again", {true, true, 0, 'f', false}, pruneaction::drop},
        {"nothing stands there", {true, false, ENOENT, 0, false}, pruneaction::gone},
        {"a file stands where its directory was", {true, false, ENOTDIR, 0, false},
         pruneaction::gone},
        {"a link on the way", {true, false, LINKONTHEWAY, 0, false}, pruneaction::warn},
        {"the path cannot be examined", {true, false, EACCES, 0, false}, pruneaction::warn},
        {"the file as installed", {true, false, 0, 'f', true}, pruneaction::remove},
        {"the file changed since", {true, false, 0, 'f', false}, pruneaction::keep},
        {"a link where the file was", {true, false, 0, 'l', true}, pruneaction::keep},
        {"a directory where the file was", {true, false, 0, 'd', true}, pruneaction::keep},
    };
    for (const row& r : rows) EXPECT_EQ(decideprune(r.facts), r.expect) << r.what;
}

TEST(fingerprints, xxh3digestandhexform) {
    // XXH3-128 of "abc": the high half is written first.
    digest d = hashbytes("abc", 3);
    EXPECT_EQ(hexdigest(d), "06b05ab6733a618578af5f94892f3950");
    hasher* h = newhasher();
    hashupdate(h, "a", 1);
    hashupdate(h, "bc", 2);
    EXPECT_EQ(hashdigest(h), d);  // piece by piece as in one block
    hashreset(h);
    EXPECT_EQ(hashdigest(h), hashbytes("", 0));

    digest back;
    EXPECT_TRUE(parsedigest(hexdigest(d), &back));
    EXPECT_EQ(back, d);
    EXPECT_FALSE(parsedigest("06b05ab6733a618578af5f94892f395", &back));     // 31 digits
    EXPECT_FALSE(parsedigest("06B05AB6733A618578AF5F94892F3950", &back));    // upper case
    EXPECT_FALSE(parsedigest("06b05ab6733a618578af5f94892f395g", &back));
}

// A run state whose destination "dest" is a fresh directory below the
// working directory (the tool takes an absolute destination relative to it).
class sumstest : public workdirtest {
protected:
    void SetUp() override {
        workdirtest::SetUp();
        fs::create_directories(dest);
        rs = std::make_unique<runstate>();
        rs->destdir = dest.c_str();
        rs->destdirlen = static_cast<int>(dest.size());
    }

    void sumsfile(const std::string& text) { spill(dest + "/manifest.sums", text); }

    // Loads the file; returns what was printed on standard error.
    std::string load(lifestate* ls) {
        ::testing::internal::CaptureStderr();
        loadsums(rs.get(), ls);
        return ::testing::internal::GetCapturedStderr();
    }

    std::string dest = "dest";
    std::unique_ptr<runstate> rs;
};

const char hashA[] = "06b05ab6733a618578af5f94892f3950";

std::string key(const std::string& typ, const std::string& dst, const std::string& nam) {
    return typ + '\0' + dst + '\0' + nam;
}

TEST_F(sumstest, linesreadback) {
    sumsfile(std::string("fileplacer-sums 1\r\n") + hashA +
             " 12 1700000000123456789 13 -5 exe|bin|hello|exe bin/hello.exe\r\n" + hashA +
             " 0 1 0 2 doc|doc|my%20notes|%25 doc/my notes.%\n");
    lifestate ls;
    EXPECT_EQ(load(&ls), "");
    EXPECT_TRUE(ls.sumspresent);
    const fingerprint* fp = printfind(&ls.sums, key("exe", "bin", "hello") + '\0' + "exe");
    ASSERT_NE(fp, nullptr);
    EXPECT_EQ(hexdigest(fp->hash), hashA);
    EXPECT_TRUE((*fp == fingerprint{fp->hash, 12, 1700000000123456789LL, 13, -5, "bin/hello.exe"}));
    fp = printfind(&ls.sums, key("doc", "doc", "my notes") + '\0' + "%");
    ASSERT_NE(fp, nullptr);
    EXPECT_EQ(fp->path, "doc/my notes.%");  // blanks to the end of the line
    EXPECT_EQ(printfind(&ls.sums, key("exe", "bin", "hello")), nullptr);  // ext= absent differs
}

TEST_F(sumstest, damagedfileisreportedandignored) {
    const std::string good = std::string(hashA) + " 1 2 3 4 a|b|c path\n";
    const std::pair<std::string, unsigned> cases[] = {
        {"", 1},
        {"fileplacer-sums 2\n" + good, 1},
        {"fileplacer-sums 1\n" + good + std::string(hashA) + " 1 2 3 4 a|b|c\n", 3},
        {"fileplacer-sums 1\n" + good + std::string(hashA) + " 1 x 3 4 a|b|c p\n", 3},
        {"fileplacer-sums 1\n" + std::string(hashA) + " 1 2 3 4 a|b p\n", 2},
        {"fileplacer-sums 1\n" + std::string(hashA) + " 1 2 3 4 a|b|%2 p\n", 2},
        {"fileplacer-sums 1\n" + std::string(hashA) + "  1 2 3 4 a|b|c p\n", 2},
        {"fileplacer-sums 1\n" + good + good.substr(0, good.size() - 1), 3},  // cut short
    };
    for (const auto& [text, line] : cases) {
        sumsfile(text);
        lifestate ls;
        EXPECT_EQ(load(&ls), "WARNING: '" + dest + "/manifest.sums' is damaged (line " +
                                 std::to_string(line) + "); fingerprints ignored\n")
            << text;
        EXPECT_FALSE(ls.sumspresent);  // counts as absent: a plain run leaves it
        EXPECT_TRUE(ls.sums.list.empty());
    }
    fs::remove(dest + "/manifest.sums");
    lifestate absent;
    EXPECT_EQ(load(&absent), "");
    EXPECT_FALSE(absent.sumspresent);
}

TEST(fingerprints, lookupsintreeorderandoutofit) {
    printtable t;
    for (const char* k : {"a", "b", "c", "d"}) t.list.emplace_back(k, fingerprint{});
    t.list[2].second.size = 3;
    EXPECT_EQ(printfind(&t, "a"), &t.list[0].second);
    EXPECT_EQ(printfind(&t, "b"), &t.list[1].second);
    EXPECT_FALSE(t.indexed);  // in order: no index needed
    EXPECT_EQ(printfind(&t, "d"), &t.list[3].second);
    EXPECT_TRUE(t.indexed);
    EXPECT_EQ(printfind(&t, "c")->size, 3);
    EXPECT_EQ(printfind(&t, "e"), nullptr);
    printput(&t, "e").size = 5;
    EXPECT_EQ(printfind(&t, "e")->size, 5);
    EXPECT_EQ(t.list.size(), 5u);
    printput(&t, "a").size = 1;  // an existing one is changed, not added
    EXPECT_EQ(t.list.size(), 5u);
    EXPECT_EQ(t.list[0].second.size, 1);
}

TEST(fingerprints, recordidentities) {
    char dstpath[] = "opt/app";
    char name[] = "tool";
    fileinfo e{};
    e.dstpath = dstpath;
    e.dstlen = 3;
    e.name = name;
    e.namelen = 4;
    EXPECT_EQ(recordkey(&e, "exe", "exe"), std::string("exe\0opt\0tool\0exe", 16));
    EXPECT_EQ(recordkey(&e, "exe", ""), std::string("exe\0opt\0tool\0", 13));
    EXPECT_EQ(recordkey(&e, "exe", nullptr), std::string("exe\0opt\0tool", 12));
    e.flags = F_ABSOLUTE;  // placed in the root tree: its dst= has the '/' again
    EXPECT_EQ(recordkey(&e, "exe", nullptr), std::string("exe\0/opt\0tool", 13));
}

}  // namespace
