// The fault-injection seam of the platform layer: which call fails, how each
// kind of call fails, and the text streams of the fault build. Only a build
// configured with -DFP_FAULTS=ON has the seam; elsewhere the test is skipped.
#include "workdir.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/faults.h"
#include "platform/platform.h"

#if defined(FP_FAULTS)

namespace fs = std::filesystem;

namespace {

class faultstest : public workdirtest {
protected:
    void SetUp() override {
        workdirtest::SetUp();
        spill("in.txt", "0123456789");
    }
    void TearDown() override {
        faultselect("");
        workdirtest::TearDown();
    }
};

TEST_F(faultstest, selectionsAreReadWholeOrNotAtAll) {
    EXPECT_TRUE(faultselect("read:2:EIO"));
    EXPECT_TRUE(faultselect("open:1:ENOSPC,write:30:EINTR,stat:4:EACCES"));
    EXPECT_TRUE(faultselect(""));
    for (const char* bad : {"read:0:EIO", "read:x:EIO", "read:-1:EIO", "bogus:1:EIO",
                            "read:1:EBOGUS", "read:1", "read:1:EIO,", ",read:1:EIO",
                            "read:1:EIO:1", "read:1234567890:EIO",
                            "open:1:EIO,open:2:EIO,open:3:EIO,open:4:EIO,open:5:EIO,"
                            "open:6:EIO,open:7:EIO,open:8:EIO,open:9:EIO"})
        EXPECT_FALSE(faultselect(bad)) << bad;
    // A refused text leaves the selection as it was.
    ASSERT_TRUE(faultselect("open:1:EIO"));
    EXPECT_FALSE(faultselect("open:1:EBOGUS"));
    EXPECT_EQ(openread("in.txt"), -1);
    EXPECT_EQ(errno, EIO);
}

TEST_F(faultstest, onlyTheChosenCallOfTheChosenOperationFails) {
    ASSERT_TRUE(faultselect("read:2:ENOSPC,open:3:EACCES"));
    int fd = openread("in.txt");
    ASSERT_GE(fd, 0);
    char buf[4];
    EXPECT_EQ(readfd(fd, buf, 4), 4);
    errno = 0;
    EXPECT_EQ(readfd(fd, buf, 4), -1);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(readfd(fd, buf, 4), 4);  // the failed call read nothing
    EXPECT_EQ(std::string(buf, 4), "4567");
    EXPECT_EQ(closefd(fd), 0);
    int second = openread("in.txt");
    EXPECT_GE(second, 0);
    EXPECT_EQ(openread("in.txt"), -1);
    EXPECT_EQ(errno, EACCES);
    closefd(second);
    EXPECT_EQ(faultcalls(faultop::read), 3);
    EXPECT_EQ(faultcalls(faultop::open), 3);
    EXPECT_EQ(faultcalls(faultop::close), 2);
    EXPECT_EQ(faultcalls(faultop::write), 0);
}

// Calls that report the error number return it; the others fail with -1
// and errno. A failing close still closes the descriptor.
TEST_F(faultstest, eachKindOfCallFailsAsItsHostCallWould) {
    ASSERT_TRUE(faultselect("stat:1:EIO,stat:2:EACCES,unlink:1:EACCES,rename:1:ENOSPC,"
                            "mkdir:1:EIO,close:1:EINTR,write:1:EIO"));
    statinfo st;
    EXPECT_EQ(statfile("in.txt", &st), EIO);
    int fd = openread("in.txt");
    EXPECT_EQ(statfd(fd, &st), EACCES);
    EXPECT_EQ(closefd(fd), -1);
    EXPECT_EQ(errno, EINTR);
    char c;
    EXPECT_EQ(readfd(fd, &c, 1), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(removepath("in.txt", {.plain = true}), EACCES);
    EXPECT_EQ(makedir("sub", true).err, EIO);
    EXPECT_FALSE(fs::exists("sub"));
    atomicfile f;
    ASSERT_EQ(atomicopen(&f, "out.bin", "outTMPZ.bin", false), 0);
    EXPECT_EQ(writefd(f.fd, "x", 1), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(atomiccommit(&f, true), ENOSPC);
    EXPECT_FALSE(fs::exists("out.bin"));
    EXPECT_FALSE(fs::exists("outTMPZ.bin"));
    EXPECT_EQ(slurp("in.txt"), "0123456789");
}

// The failing makedir prints what makedir prints for a failure of its own.
TEST_F(faultstest, makedirFailsWithItsOwnMessage) {
    std::string longname(300, 'n');
    dirresult r = makedir(("/" + longname).c_str());
    EXPECT_EQ(r.made, dirmade::failed);
    EXPECT_EQ(r.why, "Create Directory '" + longname + "' failed: File name too long (36)\n");
    ASSERT_TRUE(faultselect("mkdir:2:EACCES"));
    EXPECT_EQ(makedir("/top").made, dirmade::made);
    r = makedir("/top/sub");
    EXPECT_EQ(r.made, dirmade::failed);
    EXPECT_EQ(r.why, "Create Directory 'top/sub' failed: Permission denied (13)\n");
}

// Text files: every write of the stream is a counted write; a failure in the
// middle of the file is reported with its own error, EINTR included, and a
// failing close of the stream fails the file. Without a failure the whole
// text arrives.
TEST_F(faultstest, textFilesFailLikeBinaryOnes) {
    std::string block(3000, 'a');
    struct {
        const char* selection;
        int err;
    } const cases[] = {
        {"write:1:ENOSPC", ENOSPC}, {"write:2:EINTR", EINTR}, {"close:1:EIO", EIO}, {"", 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.selection);
        ASSERT_TRUE(faultselect(c.selection));
        atomicfile f;
        ASSERT_EQ(atomicopen(&f, "out.txt", "outTMPZ.txt", true), 0);
        for (int i = 0; i < 10; i++) std::fputs(block.c_str(), f.stream);
        EXPECT_EQ(atomiccommit(&f, true), c.err);
        EXPECT_GE(faultcalls(faultop::write), 2);
        EXPECT_EQ(faultcalls(faultop::close), 1);
        EXPECT_EQ(fs::exists("out.txt"), c.err == 0);
        EXPECT_EQ(slurp("out.txt").size(), c.err == 0 ? 30000u : 0u);
        EXPECT_FALSE(fs::exists("outTMPZ.txt"));
    }
}

}  // namespace

#else

TEST(faults, builtOnlyInTheFaultBuild) {
    GTEST_SKIP() << "the fault hooks are built with -DFP_FAULTS=ON only";
}

#endif
