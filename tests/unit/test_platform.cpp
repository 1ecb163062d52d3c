// Platform layer: directory creation statuses, ASCII case folding, the
// crash-safe output files and file status.
#include "workdir.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "ending/ending.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

class platformtest : public workdirtest {};

void setmtime(const fs::path& p, std::int64_t seconds) {
    auto sys = std::chrono::sys_seconds(std::chrono::seconds(seconds));
    fs::last_write_time(p, std::chrono::file_clock::from_sys(sys));
}

// Writes text through a fresh atomicfile opened on path/tmp; returns the
// commit result.
int writeatomic(const char* path, const char* tmp, const char* text, bool replace) {
    atomicfile f;
    if (atomicopen(&f, path, tmp, true) != 0) return -1;
    std::fputs(text, f.stream);
    return atomiccommit(&f, replace);
}

}  // namespace

// ---- makedir ----------------------------------------------------------------

namespace {

// makedir of path: what it did, and its message when it failed.
dirmade mkdirof(const std::string& path, std::string* why = nullptr) {
    dirresult r = makedir(path.c_str());
    if (why != nullptr) *why = r.why;
    return r.made;
}

// The message of a directory path that is too long to be made.
std::string toolong(const std::string& path) {
    return "Create Directory '" + path + "' failed: " + std::strerror(ENAMETOOLONG) + " (" +
           std::to_string(ENAMETOOLONG) + ")\n";
}

}  // namespace

TEST_F(platformtest, makedirreportseachstatus) {
    EXPECT_EQ(mkdirof("a"), dirmade::made);
    EXPECT_TRUE(fs::is_directory("a"));
    EXPECT_EQ(mkdirof("a"), dirmade::exists);
    EXPECT_EQ(mkdirof("a/b/c"), dirmade::noparent);  // no error, no directory
    EXPECT_FALSE(fs::exists("a/b"));
    EXPECT_EQ(mkdirof("a/b"), dirmade::made);
    EXPECT_EQ(mkdirof("a/b/c"), dirmade::made);
    EXPECT_TRUE(fs::is_directory("a/b/c"));
}

TEST_F(platformtest, makedirsmallquirks) {
    // One leading '/' is dropped: the path is taken relative to the cwd.
    EXPECT_EQ(mkdirof("/top"), dirmade::made);
    EXPECT_TRUE(fs::is_directory(dir / "top"));
    // A name ending in ':' is a drive: reported as existing, nothing made.
    EXPECT_EQ(mkdirof("drive:"), dirmade::exists);
    EXPECT_FALSE(fs::exists("drive:"));
    EXPECT_EQ(mkdirof("/c:"), dirmade::exists);
    // An existing plain file counts as existing; a file in the way of a
    // parent counts as a missing parent.
    spill("plain", "x");
    EXPECT_EQ(mkdirof("plain"), dirmade::exists);
    EXPECT_EQ(mkdirof("plain/sub"), dirmade::noparent);
}

TEST_F(platformtest, makedirrefusesapathlongerthan1023) {
    // Three nested directories bring the path to 1020 characters; a path of
    // 1023 characters is created, one of 1024 is refused, never cut.
    std::string base;
    for (int i = 0; i < 4; i++) {
        if (!base.empty()) base += '/';
        base += std::string(i < 3 ? 254 : 1020 - 3 * 255, static_cast<char>('p' + i));
        ASSERT_EQ(mkdirof(base), dirmade::made);
    }
    ASSERT_EQ(base.size(), 1020u);
    EXPECT_EQ(mkdirof(base + "/ab"), dirmade::made);
    std::string why;
    EXPECT_EQ(mkdirof("/" + base + "/abc", &why), dirmade::failed);
    EXPECT_EQ(why, toolong(base + "/abc"));
    EXPECT_FALSE(fs::exists(base + "/abc"));
}

TEST_F(platformtest, makedirotherfailureisreturned) {
    std::string name(300, 'n');  // longer than any file-name component
    std::string why;
    EXPECT_EQ(mkdirof("/" + name, &why), dirmade::failed);
    EXPECT_EQ(why, toolong(name));
}

// ---- names ------------------------------------------------------------------

TEST(platformnames, strnicmpasciifoldsasciionly) {
    EXPECT_EQ(strnicmpascii("Makefile", "mAKEFILE", 8), 0);
    EXPECT_EQ(strnicmpascii("abcX", "ABCy", 3), 0);  // only n bytes count
    EXPECT_LT(strnicmpascii("abc", "ABD", 3), 0);
    EXPECT_GT(strnicmpascii("b", "A", 1), 0);
    // Letters fold to lower case, so '_' sorts before every letter.
    EXPECT_LT(strnicmpascii("_", "A", 1), 0);
    EXPECT_GT(strnicmpascii("a", "_", 1), 0);
    // Bytes compare unsigned and non-ASCII letters are not folded.
    EXPECT_GT(strnicmpascii("\xe9", "z", 1), 0);
    EXPECT_NE(strnicmpascii("\xc9", "\xe9", 1), 0);
    // Comparison stops at a NUL in both; a shorter text sorts first.
    EXPECT_EQ(strnicmpascii("ab\0x", "AB\0y", 4), 0);
    EXPECT_LT(strnicmpascii("ab", "abc", 10), 0);
    EXPECT_EQ(strnicmpascii("x", "y", 0), 0);
}

TEST(platformnames, pathsasawindowshostreadsthem) {
    struct row {
        const char* path;
        bool parent, drive, absolute;
    };
    const row rows[] = {
        {"..", true, false, false},        {".. .", true, false, false},
        {"...", true, false, false},       {"..x", false, false, false},
        {".", false, false, false},        {"C:", false, true, true},
        {"z:name", false, true, true},     {"1:", false, false, true},
        {"/opt", false, false, true},      {"\\share", false, false, true},
        {"bin/x", false, false, false},    {"", false, false, false},
    };
    for (const row& r : rows) {
        EXPECT_EQ(parentname(r.path), r.parent) << r.path;
        EXPECT_EQ(startsdrive(r.path), r.drive) << r.path;
        EXPECT_EQ(absolutepath(r.path), r.absolute) << r.path;
    }
    EXPECT_TRUE(pathseparator('/'));
    EXPECT_TRUE(pathseparator('\\'));
    EXPECT_FALSE(pathseparator(':'));
}

TEST(platformnames, win32idandlinkbehaviour) {
    const char* text = "root:rest";
    const char* field = text;
    int id = 77;
    int len = 77;
    EXPECT_EQ(lookupid(&field, &id, &len), 0);
    EXPECT_EQ(id, 0);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(field, text);
    std::string path = "pathwith/slashes";
    nativeseparators(path.data());
    EXPECT_EQ(path, "pathwith/slashes");  // POSIX keeps '/'
}

TEST_F(platformtest, makelinkmakesnothing) {
    spill("exists", "x");
    EXPECT_EQ(makelink("target", "newlink"), 0);
    EXPECT_EQ(makelink("target", "exists"), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status("newlink")));
    EXPECT_EQ(slurp("exists"), "x");
}

// ---- files ------------------------------------------------------------------

TEST_F(platformtest, statusandreading) {
    spill("f", "one\r\ntwo\n");
    setmtime("f", 1136368586);
    fs::create_directory("d");
    fs::create_symlink("f", "link");
    statinfo st;
    ASSERT_EQ(statpath("f", &st), 0);
    EXPECT_EQ(st.kind, 'f');
    EXPECT_EQ(st.size, 9);
    EXPECT_EQ(st.mtime, 1136368586LL * 1000000000);
    ASSERT_EQ(statpath("d", &st), 0);
    EXPECT_EQ(st.kind, 'd');
    ASSERT_EQ(statpath("link", &st), 0);
    EXPECT_EQ(st.kind, 'l');  // the link itself
    EXPECT_EQ(statpath("missing", &st), ENOENT);
    EXPECT_EQ(statfile("f", &st), 0);
    EXPECT_EQ(wholeseconds(st.mtime), 1136368586);
    EXPECT_EQ(statfile("missing", &st), ENOENT);
    EXPECT_EQ(wholeseconds(-1), -1);  // before 1970: rounded down, as time_t is
    EXPECT_EQ(wholeseconds(-1000000000), -1);

    // The file itself and through the link: the same open file.
    for (const char* name : {"f", "link"}) {
        int fd = openread(name);
        ASSERT_GE(fd, 0) << name;
        statinfo open;
        ASSERT_EQ(statfd(fd, &open), 0);
        EXPECT_EQ(open.kind, 'f');
        EXPECT_EQ(open.size, 9);
        EXPECT_EQ(open.mtime, 1136368586LL * 1000000000);
        char buf[32] = {};
        EXPECT_EQ(readfd(fd, buf, 3), 3);
        EXPECT_EQ(rewindfd(fd), 0);
        EXPECT_EQ(readfd(fd, buf, sizeof buf), 9);
        EXPECT_EQ(std::string(buf), "one\r\ntwo\n");  // no newline translation
        EXPECT_EQ(readfd(fd, buf, sizeof buf), 0);
        EXPECT_EQ(closefd(fd), 0);
    }
    EXPECT_EQ(openread("missing"), -1);
    EXPECT_EQ(removepath("f", {.plain = true}), 0);
    EXPECT_FALSE(fs::exists("f"));
    EXPECT_EQ(removepath("f", {.plain = true}), ENOENT);
}

TEST_F(platformtest, removalneverfollowsalink) {
    fs::create_directory("d");
    spill("d/target", "keep me");
    fs::create_symlink("d/target", "link");
    EXPECT_EQ(removepath("link"), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status("link")));
    EXPECT_EQ(slurp("d/target"), "keep me");
    EXPECT_EQ(removepath("link"), 0);  // nothing there: nothing to do
    EXPECT_EQ(removepath("d"), EEXIST);

    std::vector<std::string> names;
    EXPECT_EQ(listdir("d", &names), 0);
    EXPECT_EQ(names, std::vector<std::string>{"target"});
    // Below a root: nothing through a link on the way, and a directory only
    // when it is asked for and empty.
    fs::create_directory_symlink("d", "dlink");
    EXPECT_EQ(removepath("dlink/target", {.below = ""}), LINKONTHEWAY);
    EXPECT_EQ(removepath("d", {.below = ""}), EEXIST);
    EXPECT_EQ(removepath("d", {.below = "", .dir = true}), ENOTEMPTY);
    EXPECT_EQ(removepath("target", {.below = "d"}), 0);
    EXPECT_EQ(removepath("target", {.below = "d"}), ENOENT);
    EXPECT_FALSE(fs::exists("d/target"));
    EXPECT_EQ(removepath("d", {.below = "", .dir = true}), 0);
    EXPECT_EQ(listdir("d", &names), ENOENT);
}

TEST_F(platformtest, workdiristhecurrentdirectory) {
    char buf[1024] = {};
    EXPECT_EQ(getworkdir(buf, sizeof buf), 0);
    EXPECT_EQ(fs::path(buf), fs::current_path());
    char tiny[2] = {};
    EXPECT_NE(getworkdir(tiny, sizeof tiny), 0);
}

// ---- atomicfile -----------------------------------------------------------

TEST_F(platformtest, atomiccommitmovestemporarytoname) {
    spill("out.TMPZ", "leftover from a killed run, longer than the new text");
    atomicfile f;
    ASSERT_EQ(atomicopen(&f, "out", "out.TMPZ", true), 0);
    ASSERT_NE(f.stream, nullptr);
    EXPECT_TRUE(f.active);
    std::fputs("line 1\nline 2\n", f.stream);
    EXPECT_FALSE(fs::exists("out"));  // nothing under the name until committed
    EXPECT_EQ(atomicclose(&f), 0);
    EXPECT_EQ(f.stream, nullptr);
    EXPECT_EQ(atomiccommit(&f, false), 0);
    EXPECT_FALSE(f.active);
    EXPECT_EQ(slurp("out"), "line 1\nline 2\n");  // text mode: LF on POSIX
    EXPECT_FALSE(fs::exists("out.TMPZ"));
}

TEST_F(platformtest, atomiccommitwithoutreplaceleavesexistingfile) {
    spill("out", "previous");
    EXPECT_EQ(writeatomic("out", "out.tmp", "new", false), EEXIST);
    EXPECT_EQ(slurp("out"), "previous");
    EXPECT_FALSE(fs::exists("out.tmp"));

    EXPECT_EQ(writeatomic("out", "out.tmp", "new", true), 0);
    EXPECT_EQ(slurp("out"), "new");
    EXPECT_FALSE(fs::exists("out.tmp"));
}

TEST_F(platformtest, atomicbinarykeepsbytes) {
    atomicfile f;
    ASSERT_EQ(atomicopen(&f, "bin", "bin.tmp", false), 0);
    EXPECT_EQ(f.stream, nullptr);
    EXPECT_EQ(writefd(f.fd, "a\r\nb\0c", 6), 6);
    EXPECT_EQ(atomiccommit(&f, false), 0);  // commit closes an open descriptor
    EXPECT_EQ(f.fd, -1);
    EXPECT_EQ(slurp("bin"), std::string("a\r\nb\0c", 6));
}

TEST_F(platformtest, copyrangecopiesfromthecurrentoffsets) {
    spill("from", "0123456789");
    int in = openread("from");
    ASSERT_GE(in, 0);
    char head[4];
    ASSERT_EQ(readfd(in, head, 4), 4);
    atomicfile f;
    ASSERT_EQ(atomicopen(&f, "to", "to.tmp", false), 0);
    ASSERT_EQ(writefd(f.fd, "ab", 2), 2);
    long n = copyrange(in, f.fd, 100);
    if (n < 0) {
        EXPECT_EQ(errno, ENOSYS);  // a host without the call says so
    } else {
        EXPECT_EQ(n, 6);
        EXPECT_EQ(copyrange(in, f.fd, 100), 0);  // at the end of the source
        EXPECT_EQ(atomiccommit(&f, false), 0);
        EXPECT_EQ(slurp("to"), "ab456789");
    }
    closefd(in);
}

#ifndef _WIN32
TEST_F(platformtest, temporaryisnevercreatedthroughalink) {
    spill("outside", "a file outside the destination");
    fs::create_symlink("outside", "out.tmp");
    fs::create_symlink("nowhere", "dangling.tmp");
    atomicfile f;
    ASSERT_EQ(atomicopen(&f, "out", "out.tmp", false), 0);
    EXPECT_EQ(writefd(f.fd, "new", 3), 3);
    EXPECT_EQ(atomiccommit(&f, false), 0);
    EXPECT_EQ(slurp("outside"), "a file outside the destination");
    EXPECT_EQ(slurp("out"), "new");
    EXPECT_FALSE(fs::is_symlink("out"));
    ASSERT_EQ(atomicopen(&f, "other", "dangling.tmp", false), 0);
    EXPECT_EQ(atomiccommit(&f, false), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status("nowhere")));
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status("other")));
}

TEST_F(platformtest, newfilepermissionswhateveraleftoverhad) {
    spill("bin.tmp", "leftover");
    fs::permissions("bin.tmp", fs::perms::owner_read | fs::perms::owner_write);
    mode_t old = umask(002);
    atomicfile f;
    ASSERT_EQ(atomicopen(&f, "bin", "bin.tmp", false), 0);
    EXPECT_EQ(atomiccommit(&f, false), 0);
    ASSERT_EQ(atomicopen(&f, "text", "text.tmp", true), 0);
    EXPECT_EQ(atomiccommit(&f, false), 0);
    umask(old);
    EXPECT_EQ(fs::status("bin").permissions(), static_cast<fs::perms>(0664));
    EXPECT_EQ(fs::status("text").permissions(), static_cast<fs::perms>(0644));
}
#endif

TEST_F(platformtest, destinationmakesonelevel) {
    EXPECT_EQ(makedir("/made", true).made, dirmade::made);
    EXPECT_TRUE(fs::is_directory("made"));
    EXPECT_EQ(makedir("made", true).made, dirmade::exists);
    // A drive-like name is made as any other.
    EXPECT_EQ(makedir("c:", true).made, dirmade::made);
    EXPECT_TRUE(fs::is_directory("c:"));
    dirresult r = makedir("missing/below", true);
    EXPECT_EQ(r.made, dirmade::noparent);
    EXPECT_EQ(r.err, ENOENT);
    EXPECT_FALSE(fs::exists("missing"));
}

TEST_F(platformtest, atomicdiscardanddestructorremovetemporary) {
    {
        atomicfile f;
        ASSERT_EQ(atomicopen(&f, "gone", "gone.tmp", true), 0);
        std::fputs("partial", f.stream);
        atomicdiscard(&f);
        EXPECT_FALSE(f.active);
        EXPECT_EQ(f.stream, nullptr);
        EXPECT_FALSE(fs::exists("gone.tmp"));
    }
    {
        atomicfile f;
        ASSERT_EQ(atomicopen(&f, "gone", "gone.tmp", true), 0);
        std::fputs("partial", f.stream);
        EXPECT_EQ(atomicclose(&f), 0);
        EXPECT_TRUE(fs::exists("gone.tmp"));
    }
    EXPECT_FALSE(fs::exists("gone.tmp"));
    EXPECT_FALSE(fs::exists("gone"));
    {
        atomicfile f;  // never opened: the destructor must leave files alone
        spill("gone.tmp", "someone else's");
    }
    EXPECT_TRUE(fs::exists("gone.tmp"));
}

TEST_F(platformtest, atomicopenfailures) {
    atomicfile f;
    EXPECT_EQ(atomicopen(&f, "nodir/out", "nodir/out.tmp", true), ENOENT);
    EXPECT_FALSE(f.active);
    std::string longname(1100, 'l');
    EXPECT_EQ(atomicopen(&f, longname.c_str(), "short.tmp", true), ENAMETOOLONG);
    EXPECT_EQ(atomicopen(&f, "short", longname.c_str(), true), ENAMETOOLONG);
    EXPECT_FALSE(fs::exists("short.tmp"));
    // A directory at the temporary name is left alone.
    fs::create_directory("out.tmp");
    spill("out.tmp/inside", "x");
    EXPECT_EQ(atomicopen(&f, "out", "out.tmp", true), EEXIST);
    EXPECT_FALSE(f.active);
    EXPECT_EQ(slurp("out.tmp/inside"), "x");
}

TEST_F(platformtest, atomiccommitfailureremovestemporary) {
    fs::create_directory("out");  // a directory is in the way of the name
    fs::create_directory("out/inside");
    EXPECT_NE(writeatomic("out", "out.tmp", "data", true), 0);
    EXPECT_FALSE(fs::exists("out.tmp"));
    EXPECT_TRUE(fs::is_directory("out/inside"));
}

// Copies waiting for their flush leave the pending list in any order; what
// is left is what a failed run removes, and the batch flush made beside the
// run reports as the flush itself does.
TEST_F(platformtest, pendingfilesleaveinanyorderandflushinabatch) {
    atomicfile files[5];
    std::vector<int> fds;
    for (int i = 0; i < 5; i++) {
        std::string name = "f" + std::to_string(i);
        ASSERT_EQ(atomicopen(&files[i], name.c_str(), (name + ".tmp").c_str(), false), 0);
        ASSERT_EQ(writefd(files[i].fd, name.data(), name.size()), 2);
        fds.push_back(files[i].fd);
    }
    flushjob* job = startflush(fds.data(), fds.size(), nullptr);
    std::size_t failed = 99;
    EXPECT_EQ(waitflush(job, &failed), 0);
    for (int i : {2, 0, 4}) EXPECT_EQ(atomiccommit(&files[i], false), 0);
    discardpending();
    for (int i = 0; i < 5; i++) {
        std::string name = "f" + std::to_string(i);
        bool committed = i % 2 == 0;
        EXPECT_EQ(slurp(name), committed ? name : "") << name;
        EXPECT_FALSE(fs::exists(name + ".tmp")) << name;
        EXPECT_FALSE(files[i].active) << name;
    }
    int closed = -1;
    job = startflush(&closed, 1, nullptr);
    EXPECT_NE(waitflush(job, &failed), 0);
    EXPECT_EQ(failed, 0u);
}

// The flushing thread names the batch's files in order and stops at the
// first it cannot name (whose temporary goes) or that replaces a file: the
// rest stay pending for the caller, and the named ones leave the list.
TEST_F(platformtest, flushjobnamesitsfilesinorderuntilonefails) {
    atomicfile files[4];
    std::vector<int> fds;
    std::vector<flushcommit> commits;
    spill("f1", "taken");
    for (int i = 0; i < 4; i++) {
        std::string name = "f" + std::to_string(i);
        ASSERT_EQ(atomicopen(&files[i], name.c_str(), (name + ".tmp").c_str(), false), 0);
        ASSERT_EQ(writefd(files[i].fd, "new", 3), 3);
        fds.push_back(files[i].fd);
        commits.push_back({&files[i], false});
    }
    std::size_t failed = 99;
    std::vector<int> committed;
    flushjob* job = startflush(fds.data(), 4, nullptr, commits.data(), 4);
    EXPECT_EQ(waitflush(job, &failed, &committed), 0);
    EXPECT_EQ(committed, (std::vector<int>{0, EEXIST, NOTCOMMITTED, NOTCOMMITTED}));
    EXPECT_EQ(slurp("f0"), "new");
    EXPECT_EQ(slurp("f1"), "taken");
    EXPECT_FALSE(files[0].active || files[1].active || fs::exists("f1.tmp"));
    flushcommit rest[] = {{&files[2], true}, {&files[3], false}};
    EXPECT_EQ(waitflush(startflush(&fds[2], 2, nullptr, rest, 2), &failed, &committed), 0);
    EXPECT_EQ(committed, (std::vector<int>{NOTCOMMITTED, NOTCOMMITTED}));
    EXPECT_TRUE(files[2].active && files[3].active);
    EXPECT_EQ(atomiccommit(&files[3], false), 0);
    discardpending();
    EXPECT_EQ(slurp("f3"), "new");
    EXPECT_FALSE(fs::exists("f2") || fs::exists("f2.tmp"));
}

// ---- failure reporting ----------------------------------------------------

TEST_F(platformtest, dieremovespendingtemporary) {
    spill("keep", "previous");
    auto run = [] {
        atomicfile f;
        if (atomicopen(&f, "keep", "keep.tmp", true) != 0) std::exit(3);
        std::fputs("half", f.stream);
        std::fflush(f.stream);
        die("Error writing file '%s': %s (%d)\n", "keep", "No space", 28);
    };
    EXPECT_EXIT(run(), ::testing::ExitedWithCode(1), "^Error writing file 'keep': No space \\(28\\)\n$");
    EXPECT_FALSE(fs::exists("keep.tmp"));
    EXPECT_EQ(slurp("keep"), "previous");
}

TEST(platformfailure, checkfailednamesconditionandtool) {
    int two = 2;
    EXPECT_EXIT(FP_CHECK(two == 3), ::testing::ExitedWithCode(1),
                "^fileplacer: internal check failed: two == 3\n$");
    FP_CHECK(two == 2);  // a holding check does nothing
}
