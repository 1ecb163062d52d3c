#include "gtestfp.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "tree/tree.h"

namespace {

std::vector<std::string> pkgs(const runstate* rs) {
    return std::vector<std::string>(rs->pkglist, rs->pkglist + rs->numpkgs);
}

std::string dcpath(const char* host, std::size_t cap = 256) {
    std::vector<char> buf(cap + 16, 'X');
    getdcpath(host, buf.data(), cap);
    for (std::size_t i = cap; i < buf.size(); ++i) EXPECT_EQ(buf[i], 'X') << "written past " << cap;
    EXPECT_NE(std::memchr(buf.data(), '\0', cap), nullptr) << "not terminated within " << cap;
    return buf.data();
}

}  // namespace

TEST(PackageList, SkipsEmptyNamesSortsAndOnlyTheWholeTextAllMeansEveryPackage) {
    struct pkgcase {
        std::string text;
        std::vector<std::string> want;
    };
    // One run state throughout: each list replaces the one before.
    const pkgcase cases[] = {
        {"::b::a:", {"a", "b"}},
        {"ALL", {}},
        {"b:\xe9t:B:a:ab", {"B", "a", "ab", "b", "\xe9t"}},  // byte order, case-sensitive
        {":::", {}},
        {"tools:ALL", {"ALL", "tools"}},
        {"all", {"all"}},
    };
    auto rs = std::make_unique<runstate>();
    for (pkgcase c : cases) {
        parsepkglist(rs.get(), c.text.data());
        EXPECT_EQ(pkgs(rs.get()), c.want) << c.text;
    }
    char text[] = "::b::a:";
    parsepkglist(rs.get(), text);
    EXPECT_EQ(rs->pkglist[0], text + 5);  // points into the text itself
}

TEST(PackageList, FullTableFitsOneMoreNameEndsTheRun) {
    std::string list;
    for (int i = 0; i < MAXPKGS; ++i) list += "p" + std::to_string(100 + i) + ":";
    std::string over = list + "q";
    auto rs = std::make_unique<runstate>();
    parsepkglist(rs.get(), list.data());
    ASSERT_EQ(rs->numpkgs, MAXPKGS);
    EXPECT_STREQ(rs->pkglist[MAXPKGS - 1], "p131");
    EXPECT_EXIT(parsepkglist(rs.get(), over.data()), ::testing::ExitedWithCode(1),
                "^Too many packages in list, maximum is 32\n$");
}

TEST(PackageCompare, NormalisedUnsignedByteOrder) {
    struct comparecase {
        const char* first;
        const char* second;
        int want;
    };
    const comparecase cases[] = {
        {"a", "c", -1}, {"c", "a", 1}, {"a", "a", 0}, {"ab", "a", 1},
        {"\x80", "c", 1},  // bytes above 127 sort last
    };
    for (comparecase c : cases) EXPECT_EQ(pkgcmp(&c.first, &c.second), c.want) << c.first;

    const char* table[] = {"a", "ab", "c"};
    const char* key = "ab";
    auto* hit = static_cast<const char**>(std::bsearch(&key, table, 3, sizeof table[0], pkgcmp));
    ASSERT_NE(hit, nullptr);
    EXPECT_EQ(hit, &table[1]);
}

TEST(PackageCompareDeathTest, NullReferencesAreRejected) {
    const char* a = "a";
    const char* none = nullptr;
    EXPECT_DEATH(pkgcmp(nullptr, &a), "str1 != NULL");
    EXPECT_DEATH(pkgcmp(&a, nullptr), "str2 != NULL");
    EXPECT_DEATH(pkgcmp(&none, &a), "\\*str1 != NULL");
    EXPECT_DEATH(pkgcmp(&a, &none), "\\*str2 != NULL");
}

TEST(DomainPath, LabelsAfterTheHostBecomeComponents) {
    EXPECT_EQ(dcpath("build7.lab.example.org"), "dc=lab,dc=example,dc=org");
    EXPECT_EQ(dcpath("host.local"), "dc=local");
    EXPECT_EQ(dcpath("Host.Lab.EXAMPLE"), "dc=Lab,dc=EXAMPLE");
    EXPECT_EQ(dcpath("host.example."), "dc=example,dc=");
    EXPECT_EQ(dcpath("myhost"), "dc=com");
    EXPECT_EQ(dcpath(""), "dc=com");
}

TEST(DomainPath, TextThatDoesNotFitBecomesTheDefault) {
    // "dc=aa,dc=b" needs 11 bytes with its terminator.
    EXPECT_EQ(dcpath("h.aa.b", 11), "dc=aa,dc=b");
    EXPECT_EQ(dcpath("h.aa.b", 10), "dc=com");  // last component does not fit
    EXPECT_EQ(dcpath("h.aaaa.b", 7), "dc=com");  // first component does not fit
    std::string many = "h";
    while (many.size() < 250) many += ".x";  // expands to far more than 256 bytes
    EXPECT_EQ(dcpath(many.c_str()), "dc=com");
}

TEST(DateTime, FifteenCharacterUtcStamp) {
    auto stamp = [](std::time_t t) {
        char buf[32];
        std::strftime(buf, sizeof buf, "%Y%m%d%H%M%SZ", std::gmtime(&t));
        return std::string(buf);
    };
    std::time_t before = std::time(nullptr);
    char buf[20];
    std::memset(buf, 'X', sizeof buf);
    getdatetime(buf, sizeof buf);
    std::time_t after = std::time(nullptr);
    ASSERT_EQ(std::strlen(buf), 15u);
    EXPECT_TRUE(buf == stamp(before) || buf == stamp(after)) << buf;
}
