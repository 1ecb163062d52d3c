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

struct freer {
    void operator()(runstate* rs) const { std::free(rs); }
};
using runptr = std::unique_ptr<runstate, freer>;

runptr newrunstate() { return runptr(static_cast<runstate*>(std::calloc(1, sizeof(runstate)))); }

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

TEST(PackageList, SkipsEmptyNamesCutsInPlaceAndSorts) {
    auto rs = newrunstate();
    char text[] = "::b::a:";
    parsepkglist(rs.get(), text);
    EXPECT_EQ(pkgs(rs.get()), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(rs->pkglist[0], text + 5);  // points into the text itself

    char bytes[] = "b:\xe9t:B:a:ab";
    parsepkglist(rs.get(), bytes);  // replaces the earlier list; byte order, case-sensitive
    EXPECT_EQ(pkgs(rs.get()), (std::vector<std::string>{"B", "a", "ab", "b", "\xe9t"}));

    char none[] = ":::";
    parsepkglist(rs.get(), none);
    EXPECT_EQ(rs->numpkgs, 0);
}

TEST(PackageList, OnlyTheWholeTextAllMeansEveryPackage) {
    auto rs = newrunstate();
    char all[] = "ALL";
    parsepkglist(rs.get(), all);
    EXPECT_EQ(rs->numpkgs, 0);
    char alltools[] = "tools:ALL";
    parsepkglist(rs.get(), alltools);
    EXPECT_EQ(pkgs(rs.get()), (std::vector<std::string>{"ALL", "tools"}));
    char lower[] = "all";
    parsepkglist(rs.get(), lower);
    EXPECT_EQ(pkgs(rs.get()), (std::vector<std::string>{"all"}));
}

TEST(PackageList, FullTableFitsOneMoreNameEndsTheRun) {
    std::string list;
    for (int i = 0; i < MAXPKGS; ++i) list += "p" + std::to_string(100 + i) + ":";
    auto rs = newrunstate();
    std::vector<char> text(list.begin(), list.end());
    text.push_back('\0');
    parsepkglist(rs.get(), text.data());
    ASSERT_EQ(rs->numpkgs, MAXPKGS);
    EXPECT_STREQ(rs->pkglist[MAXPKGS - 1], "p131");

    list += "q";
    std::vector<char> over(list.begin(), list.end());
    over.push_back('\0');
    EXPECT_EXIT(parsepkglist(rs.get(), over.data()), ::testing::ExitedWithCode(1),
                "^Too many packages in list, maximum is 32\n$");
}

TEST(PackageCompare, NormalisedUnsignedByteOrder) {
    const char* a = "a";
    const char* c = "c";
    const char* ab = "ab";
    const char* high = "\x80";
    const char* a2 = "a";
    EXPECT_EQ(pkgcmp(&a, &c), -1);
    EXPECT_EQ(pkgcmp(&c, &a), 1);
    EXPECT_EQ(pkgcmp(&a, &a2), 0);
    EXPECT_EQ(pkgcmp(&ab, &a), 1);
    EXPECT_EQ(pkgcmp(&high, &c), 1);  // bytes above 127 sort last

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
