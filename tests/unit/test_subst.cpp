// Hashing, the key table, the growable buffer and <key> / <line:NAME> expansion.
#include "text/text.h"

#include "keytab.h"
#include "gtestfp.h"

#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct keyfixture : testing::Test {
    subkey* keytab[997] = {};
    unsigned maxkeylen = 18;
    std::map<std::string, std::string> defined;  // the newest value of each key added

    ~keyfixture() override { freekeys(keytab); }

    void add(const char* key, const char* value, unsigned verbose = 0)
    {
        addkey(keytab, &maxkeylen, key, std::strlen(key), value, std::strlen(value), verbose);
        defined[key] = value;
    }

    // Expands a copy of text held in a block of exactly its size, so that
    // any read past the range is caught by the address sanitizer.
    std::string expand(std::string_view text, unsigned limit = 0)
    {
        char* range = static_cast<char*>(std::malloc(text.empty() ? 1 : text.size()));
        std::memcpy(range, text.data(), text.size());
        char* out = nullptr;
        std::size_t outlen = 0;
        memdupsub(&out, &outlen, range, text.size(), keytab, limit != 0 ? limit : maxkeylen);
        std::string result(out, outlen);
        std::free(out);
        std::free(range);
        return result;
    }
};

}  // namespace

TEST(Hash, SignedBytesAndBothForms)
{
    EXPECT_EQ(strhash("abc"), 771u);
    EXPECT_EQ(strhash("\xE9"), 851u);
    EXPECT_EQ(strhash(""), 0u);
    const char* names[] = {"abc", "\xE9", "bindir", "\x80\xff solaris_x86 \x7f"};
    for (const char* name : names) {
        EXPECT_EQ(strhashn(name, std::strlen(name)), strhash(name)) << name;
    }
    EXPECT_EQ(strhashn("abcdef", 3), 771u);
}

TEST_F(keyfixture, FindsByLengthAndBytesNewestFirst)
{
    add("ab", "1");
    add("abc", "2");
    // A key in the same chain as "abc" that differs in its bytes.
    std::vector<std::string> mates = bucketmates();
    ASSERT_GE(mates.size(), 2u);
    add((mates[0] != "abc" ? mates[0] : mates[1]).c_str(), "3");
    EXPECT_EQ(expand("<abc>"), "2");
    EXPECT_EQ(expand("<ab>"), "1");
    EXPECT_EQ(expand("<ABC>"), "<ABC>");
    EXPECT_EQ(expand("<abcd>"), "<abcd>");
    // Looked up by length and bytes: a longer text's first bytes find "ab".
    const char* value = nullptr;
    std::size_t vallen = 0;
    ASSERT_EQ(findkey(keytab, "abcd", 2, &value, &vallen), 0);
    EXPECT_EQ(std::string(value, vallen), "1");
    EXPECT_EQ(findkey(keytab, "a", 1, &value, &vallen), -1);

    testing::internal::CaptureStderr();
    add("abc", "quiet", 1);
    add("abc", "loud", 2);
    add("abc", "newest", 2);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "WARNING duplicate substitution key: abc\n"
              "WARNING duplicate substitution key: abc\n"
              "WARNING duplicate substitution key: abc\n"
              "WARNING duplicate substitution key: abc\n"
              "WARNING duplicate substitution key: abc\n");
    EXPECT_EQ(expand("<abc>"), "newest");
}

TEST(GrowBuffer, GrowsWhenTheBytesWouldReachTheEnd)
{
    char* start = static_cast<char*>(std::malloc(10));
    char* next = start;
    char* end = start + 10;
    memgrowdup(&start, &next, &end, "12345", 5);
    memgrowdup(&start, &next, &end, "", 0);
    EXPECT_EQ(end - start, 10);
    memgrowdup(&start, &next, &end, "67890", 5);  // exactly filling still grows
    EXPECT_EQ(end - start, 5 + 2 * 10);
    EXPECT_EQ(std::string(start, next), "1234567890");
    std::free(start);

    start = next = end = nullptr;
    memgrowdup(&start, &next, &end, "xy", 2);
    EXPECT_EQ(end - start, 2);
    EXPECT_EQ(std::string(start, next), "xy");
    std::free(start);
}

TEST_F(keyfixture, KeysLineTagsAndMalformedReferences)
{
    add("bindir", "/opt/tool/bin");
    add("ab", "<bindir>");
    add("empty", "");
    struct {
        const char* text;
        const char* result;
    } cases[] = {
        {"", ""},
        {"plain text > without opening", "plain text > without opening"},
        {"<bindir>/x", "/opt/tool/bin/x"},
        {"a<b<bindir>", "a<b/opt/tool/bin"},
        {"<<bindir>>", "</opt/tool/bin>"},
        {"<undefined>/<x>/<>", "<undefined>/<x>/<>"},
        {"<ab>", "<bindir>"},  // a value is not scanned again
        {"[<empty>]", "[]"},
        {"<bindir", "<bindir"},
        {"<BINDIR>", "<BINDIR>"},
        {"x<", "x<"},
        // A line tag keeps or drops the rest of its line.
        {"a\n<line:unix>b\nc\n", "a\nc\n"},
        {"a\n<line:win32>b\nc\n", "a\nb\nc\n"},
        {"<line:all>b\r\n", "b\r\n"},
        {"pre <line:linux>post\r\nnext", "pre next"},
        {"a\n<line:solaris_sparc>gone\nkept", "a\nkept"},
        {"a\n<line:hpux>to the end", "a\n"},
        {"<line:unix>", ""},
        {"<line:!unix>x", "<line:!unix>x"},
        {"<line:unix,linux>x", "<line:unix,linux>x"},
        {"<line:Win32>x", "<line:Win32>x"},
        {"<line:>x", "<line:>x"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(expand(c.text), c.result) << c.text;
    }
    add("line:unix", "key");
    EXPECT_EQ(expand("<line:unix>\n"), "key\n");
}

TEST_F(keyfixture, NamesLongerThanTheLimitAreNotLookedUp)
{
    const std::string name18(18, 'k');
    const std::string name19(19, 'k');
    add(name18.c_str(), "v18");
    EXPECT_EQ(maxkeylen, 18u);
    EXPECT_EQ(expand("<" + name18 + ">"), "v18");
    EXPECT_EQ(expand("<" + name18 + ">", 17), "<" + name18 + ">");
    // Present in the table but longer than the limit in force: copied as written.
    unsigned limit = 18;
    addkey(keytab, &limit, name19.c_str(), 19, "v19", 3, 0);
    EXPECT_EQ(expand("<" + name19 + ">", 18), "<" + name19 + ">");
    EXPECT_EQ(limit, 19u);
    EXPECT_EQ(expand("<" + name19 + ">", limit), "v19");
    add("ab", "short");
    EXPECT_EQ(maxkeylen, 18u);
}

namespace {

// The expansion as the plain definition states it, with a fresh search and a
// whole hash for every '<': what the expander must match, however it finds
// names and hashes them.
std::string reference(const std::map<std::string, std::string>& defined, unsigned maxkeylen,
                      const std::string& text)
{
    std::string out;
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] != '<') {
            out += text[i++];
            continue;
        }
        std::size_t name = i + 1;
        std::size_t close = text.find('>', name);
        std::size_t n = close == std::string::npos ? 0 : close - name;
        auto key = defined.end();
        if (close != std::string::npos) key = defined.find(text.substr(name, n));
        if (close == std::string::npos || n < 2 || n > maxkeylen) {
            out += '<';
            i = name;
        } else if (key != defined.end()) {
            out += key->second;
            i = close + 1;
        } else if (text.compare(name, 5, "line:") == 0 &&
                   (text.compare(name + 5, n - 5, "win32") == 0 ||
                    text.compare(name + 5, n - 5, "all") == 0)) {
            i = close + 1;
        } else if (text.compare(name, 5, "line:") == 0 &&
                   (text.compare(name + 5, n - 5, "unix") == 0)) {
            std::size_t lf = text.find('\n', close + 1);
            i = lf == std::string::npos ? text.size() : lf + 1;
        } else {
            out += '<';
            i = name;
        }
    }
    return out;
}

}  // namespace

TEST_F(keyfixture, SameResultAsThePlainDefinitionOnRandomTexts)
{
    // Keys with '<' and '>' in their names and values, names of many lengths.
    add("ab", "[ab]");
    add("a<b", "<ab>");
    add("<<", "L");
    add("b>", "never whole");
    add("aaaaaaab", "long");
    add("abab", "");
    add("ab", "newer");
    maxkeylen = 9;
    std::mt19937 random(12345);
    const std::string alphabet = "<<<>>ab\n";
    const std::string pieces[] = {"<line:unix>", "<line:win32>", "<line:all>", "<aaaaaaab>"};
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        std::size_t len = random() % 40;
        while (text.size() < len) {
            if (random() % 8 == 0)
                text += pieces[random() % 4];
            else
                text += alphabet[random() % alphabet.size()];
        }
        ASSERT_EQ(expand(text), reference(defined, maxkeylen, text)) << text;
    }
}

TEST_F(keyfixture, BoundedExpansionNeverPassesItsLimit)
{
    add("kk", "12345");
    struct {
        const char* text;
        std::size_t limit;
        const char* result;  // null when the limit is passed
    } cases[] = {
        {"a<kk>b", 7, "a12345b"},
        {"a<kk>b", 6, nullptr},
        {"a<kk>", 5, nullptr},       // the value itself does not fit
        {"<kk><kk>", 10, "1234512345"},
        {"<kk><kk>", 9, nullptr},
        {"plain", 5, "plain"},
        {"plain", 4, nullptr},      // the text after the last reference
        {"<x>", 2, nullptr},        // a name kept as written
        {"a\n<line:unix>dropped\n", 2, "a\n"},
        {"", 0, ""},
    };
    for (const auto& c : cases) {
        char* out = reinterpret_cast<char*>(1);
        std::size_t outlen = 99;
        std::string text = c.text;
        int r = memdupsubupto(&out, &outlen, text.data(), text.size(), keytab, maxkeylen,
                              c.limit);
        if (c.result == nullptr) {
            EXPECT_EQ(r, -1) << c.text << " limit " << c.limit;
            EXPECT_EQ(out, nullptr) << c.text;
            continue;
        }
        ASSERT_EQ(r, 0) << c.text << " limit " << c.limit;
        EXPECT_EQ(std::string(out, outlen), c.result) << c.text;
        std::free(out);
    }
}

TEST_F(keyfixture, LongChainsFindTheNewestKeyOfEachName)
{
    // Names that all share one bucket; each is set twice and looked up while
    // the chain grows past the length at which it is indexed.
    std::vector<std::string> names = bucketmates();
    ASSERT_GE(names.size(), 17u);
    std::string absent = names.back();
    names.pop_back();
    std::deque<std::string> values;  // the table points at them
    for (std::size_t i = 0; i < 16; ++i) {
        for (int round = 0; round < 2; ++round) {
            values.push_back(names[i] + "=" + std::to_string(round));
            addkey(keytab, &maxkeylen, names[i].data(), 3, values.back().data(),
                   values.back().size(), 0);
        }
        for (std::size_t j = 0; j <= i; ++j) {
            EXPECT_EQ(expand("[<" + names[j] + ">]"), "[" + names[j] + "=1]") << i << " " << j;
        }
        EXPECT_EQ(expand("<" + absent + ">"), "<" + absent + ">");
        EXPECT_EQ(expand("<" + names[i + 1] + ">"), "<" + names[i + 1] + ">");
    }
}
