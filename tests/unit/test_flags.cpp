// Flag lists, platform names, win32 suffix choice and writing words back.
#include "text/text.h"

#include "gtestfp.h"

#include <cstring>
#include <string>
#include <vector>

TEST(FlagList, ListsGiveTheirBitsOrFailKeepingEarlierOnes)
{
    struct {
        const char* list;
        int result;
        flagword bits;
    } cases[] = {
        {"all", 0, 0x7f},
        {"unix", 0, 0x7b},
        {"!unix", 0, 0x4},
        {"!substitute", 0, 0x7f | F_SUBSTITUTE},
        {"linux,win32", 0, 0x6},
        {"!linux,hpux", 0, 0x75},
        {"solaris", 0, 0x41},
        {"srcpath,unchange,patch", 0, F_SRCPATH | F_UNCHANGE | F_PATCH},
        {"", -1, 0},
        {"!", -1, 0},
        {"linux,", -1, P_LINUX},
        {",linux", -1, 0},
        {"linux,,hpux", -1, P_LINUX},
        {"Win32", -1, 0},
        {"win", -1, 0},
        {"win32 ", -1, 0},
        {"*dir", -1, 0},
        {"*file", -1, 0},
        {"linux,!hpux", -1, P_LINUX},
        {"!!linux", -1, 0},
        {"unix;linux", -1, 0},
        {"win32,Win32", -1, P_WIN32},
    };
    for (const auto& c : cases) {
        std::vector<char> buf(c.list, c.list + std::strlen(c.list) + 1);
        flagword word = 0;
        EXPECT_EQ(parseflaglist(buf.data(), &word), c.result) << '"' << c.list << '"';
        EXPECT_EQ(word, c.bits) << '"' << c.list << '"';
    }
}

TEST(FlagList, OrsIntoTheWordAndCutsCommas)
{
    char list[] = "linux,hpux";
    flagword word = F_FILE;
    ASSERT_EQ(parseflaglist(list, &word), 0);
    EXPECT_EQ(word, F_FILE | P_LINUX | P_HPUX);
    EXPECT_STREQ(list, "linux");
    EXPECT_STREQ(list + 6, "hpux");
}

TEST(FlagWord, ManifestAcceptsDirectivesLineFlagsAndPlatforms)
{
    struct {
        const char* name;
        flagword bits;
    } cases[] = {{"*srcpath", F_SRCPATH}, {"srcpath", F_SRCPATH}, {"*dir", F_DIR},
                 {"*fixperm", F_FIXPERM}, {"osf", P_OSF},         {"patch", F_PATCH}};
    for (const auto& c : cases) {
        flagword word = 0;
        EXPECT_EQ(manifestflagword(c.name, &word), 0) << c.name;
        EXPECT_EQ(word, c.bits) << c.name;
    }
    flagword word = 0;
    EXPECT_EQ(manifestflagword("!linux", &word), -1);
    EXPECT_EQ(lineflagword("*srcpath", &word), -1);
    EXPECT_EQ(platformword("substitute", &word), -1);
    EXPECT_EQ(platformwordn("win32x", 5, &word), 0);
    EXPECT_EQ(word, P_WIN32);
}

TEST(Suffix, ChoosesTheLastEntryCoveringWin32)
{
    struct {
        const char* list;
        const char* suffix;  // null: none chosen
    } cases[] = {
        {"unix=so,win32=dll", "dll"}, {"win32=dll,all=x", "x"},  {"unix=so", nullptr},
        {"win32=dll,unix=so", "dll"}, {"win32=", ""},             {"all=a=b", "a=b"},
    };
    for (const auto& c : cases) {
        std::vector<char> buf(c.list, c.list + std::strlen(c.list) + 1);
        char* suffix = buf.data();
        std::size_t len = 99;
        ASSERT_EQ(pickwin32suffix(buf.data(), &suffix, &len), 0) << c.list;
        if (c.suffix == nullptr) {
            EXPECT_EQ(suffix, nullptr) << c.list;
            EXPECT_EQ(len, 0u) << c.list;
        } else {
            ASSERT_NE(suffix, nullptr) << c.list;
            EXPECT_EQ(std::string(suffix, len), c.suffix) << c.list;
            EXPECT_EQ(std::strlen(suffix), len) << c.list;
        }
    }
    for (const char* bad : {"win32", "nt=exe", "", "win32=dll,", "unix,linux=so=x"}) {
        std::vector<char> buf(bad, bad + std::strlen(bad) + 1);
        char* suffix = nullptr;
        std::size_t len = 0;
        EXPECT_EQ(pickwin32suffix(buf.data(), &suffix, &len), -1) << '"' << bad << '"';
    }
}

TEST(FlagNames, PlatformGroupsThenLineFlagsThenDirectives)
{
    struct {
        flagword word;
        const char* names;
    } cases[] = {
        {0, ""},
        {P_ALL | F_SUBSTITUTE | F_FILE, "all,substitute,*file"},
        {0x7b | F_SRCPATH, "unix,srcpath,*srcpath"},
        {0x41 | P_WIN32, "solaris,win32"},
        {0x41, "solaris"},
        {P_SOLARIS_SPARC, "solaris_sparc"},
        {P_ALL & ~P_SOLARIS_SPARC, "linux,win32,hpux,macosx,osf,solaris_x86"},
        {F_RUNOWNER | F_BINGROUP | F_FROMMANIFEST | F_TYPESLINK | F_ABSOLUTE | F_RETRY |
             F_PERMDONE | F_PKGDIRDONE | F_VERSIONLEAD | F_VERSIONTRAIL | 0x80 | 0xc0000000u,
         ""},
        {0xffffffffu,
         "all,substitute,srcpath,unchange,patch,*symlink,*hardlink,*copy,*file,*dir,*srcpath,"
         "*fixperm"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(flagnames(c.word), c.names) << std::hex << c.word;
    }
}

TEST(FlagNames, WrittenNamesReadBackToTheNamedBits)
{
    constexpr flagword named = P_ALL | F_FILE | F_DIR | F_FIXPERM | F_SYMLINK | F_HARDLINK |
                               F_COPY | F_SUBSTITUTE | F_SRCPATH | F_UNCHANGE | F_PATCH;
    for (flagword word : {0x2au, 0x55u | F_COPY, 0x7bu | F_DIR | F_PATCH, 0x45u | F_HARDLINK,
                          0x3cu | F_UNCHANGE | F_FIXPERM | F_RUNOWNER}) {
        std::string names = flagnames(word);
        flagword back = 0;
        for (std::size_t pos = 0; pos <= names.size();) {
            std::size_t comma = names.find(',', pos);
            if (comma == std::string::npos) {
                comma = names.size();
            }
            EXPECT_EQ(manifestflagword(names.substr(pos, comma - pos).c_str(), &back), 0) << names;
            pos = comma + 1;
        }
        EXPECT_EQ(back, word & named) << names;
    }
}
