// Loading files whole, retrying relative to the referring file, and cutting
// texts into lines and tokens.
#include "run/run.h"
#include "text/text.h"

#include "gtestfp.h"
#include "keytab.h"
#include "workdir.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// The lines nextline delivers from text (held in a block of exactly its
// size), then "|" and what is left at the cursor.
std::string lines(const std::string& text)
{
    std::vector<char> block(text.begin(), text.end());
    char* cursor = block.data();
    char* end = block.data() + block.size();
    char* line = nullptr;
    char* lineend = nullptr;
    std::string out;
    while (nextline(&line, &lineend, &cursor, end) == 0) {
        EXPECT_EQ(*lineend, '\0');
        out += std::string(line, lineend) + ";";
    }
    EXPECT_EQ(line, cursor);
    EXPECT_EQ(lineend, end);
    return out + "|" + std::string(cursor, end);
}

// A fresh working directory; files are written below it, with their
// directories.
struct tempdir : workdirtest {
    std::string write(const fs::path& rel, const std::string& data)
    {
        fs::path p = dir / rel;
        fs::create_directories(p.parent_path());
        spill(p, data);
        return p.string();
    }
};

// Loads through loadrelative: the text, or "error N".
std::string load(const std::string& path, const std::string& referrer)
{
    char* text = nullptr;
    char* end = nullptr;
    int err = loadrelative(path.c_str(), &text, &end, nullptr, referrer.c_str());
    if (err != 0) {
        EXPECT_EQ(end, nullptr);
        return "error " + std::to_string(err);
    }
    EXPECT_EQ(*end, '\0');
    std::string result(text, end);
    std::free(text);
    return result;
}

}  // namespace

TEST(NextLine, TerminatorsAndUnterminatedLines)
{
    EXPECT_EQ(lines(""), "|");
    EXPECT_EQ(lines("a\r\nb\n"), "a;b;|");
    EXPECT_EQ(lines("a\rb"), "a;|b");
    EXPECT_EQ(lines("a\n\r\nb\n"), "a;;b;|");
    EXPECT_EQ(lines("a\n\rb\r"), "a;;b;|");
    EXPECT_EQ(lines("\n\n"), ";;|");
    EXPECT_EQ(lines("one\ntwo words"), "one;|two words");
    EXPECT_EQ(lines("x\r"), "x;|");
}

TEST(MatchPrefix, LiteralAtTheCursorThenBlanks)
{
    char text[] = "fileplacer \t types.txt\nfileplacertypes\nfile";
    char* end = text + std::strlen(text);
    char* cursor = text;
    ASSERT_EQ(matchprefix(&cursor, end, "fileplacer", 10), 0);
    EXPECT_STREQ(cursor, "types.txt\nfileplacertypes\nfile");
    cursor = std::strchr(text, '\n') + 1;
    ASSERT_EQ(matchprefix(&cursor, end, "fileplacer", 10), 0);
    EXPECT_EQ(std::strncmp(cursor, "types", 5), 0);
    char* last = end - 4;
    cursor = last;
    EXPECT_EQ(matchprefix(&cursor, end, "fileplacer", 10), -1);
    EXPECT_EQ(matchprefix(&cursor, end, "File", 4), -1);
    EXPECT_EQ(cursor, last);
    ASSERT_EQ(matchprefix(&cursor, end, "file", 4), 0);
    EXPECT_EQ(cursor, end);
}

TEST(NextToken, WordsExpansionAndCopies)
{
    auto rs = std::make_unique<runstate>();
    rs->maxkeylen = 18;
    addkey(rs->keytab, &rs->maxkeylen, "dir", 3, "/opt/x", 6, 0);
    char line[] = "a\tb  <dir>/bin <line:unix>gone\t<line:win32>k <dir> ";
    char* cursor = line;
    char* token = nullptr;
    std::size_t len = 0;
    std::vector<std::string> words;
    std::vector<bool> inplace;
    while (nexttoken(rs.get(), &token, &len, &cursor) == 0) {
        EXPECT_EQ(std::strlen(token), len);
        words.emplace_back(token, len);
        inplace.push_back(token >= line && token < line + sizeof line);
        if (!inplace.back()) {
            std::free(token);
        }
    }
    EXPECT_EQ(words, (std::vector<std::string>{"a", "b", "/opt/x/bin", "", "k", "/opt/x"}));
    EXPECT_EQ(inplace, (std::vector<bool>{true, true, false, false, false, false}));
    EXPECT_EQ(*cursor, '\0');
    EXPECT_EQ(len, 0u);

    char blank[] = " a";
    cursor = blank;
    EXPECT_EQ(nexttoken(rs.get(), &token, &len, &cursor), -1);
    EXPECT_EQ(cursor, blank);
    freekeys(rs->keytab);
}

TEST(NextToken, ExpansionsAddAtMostTheRunsBudget)
{
    // In a child process: the budget is the run's, and this run ends there.
    auto spend = [] {
        auto rs = std::make_unique<runstate>();
        std::string mib(std::size_t{1} << 20, 'v');
        addkey(rs->keytab, &rs->maxkeylen, "kk", 2, mib.data(), mib.size(), 0);
        auto take = [&](int refs) {
            std::string line;
            for (int i = 0; i < refs; ++i) line += "<kk>";
            char* cursor = line.data();
            char* token = nullptr;
            std::size_t len = 0;
            return nexttoken(rs.get(), &token, &len, &cursor);
        };
        // 20 MiB less the 80 bytes of the references, then 13 MiB do not fit
        // in the 12 MiB and 80 bytes left, 12 MiB less 48 bytes do.
        bool ok = take(20) == 0 && expansionroom(rs.get()) == EXPANSIONBUDGET - (20 << 20) + 80 &&
                  take(13) == -2 && expansionroom(rs.get()) == (std::size_t{12} << 20) + 80 &&
                  take(12) == 0 && expansionroom(rs.get()) == 128;
        std::exit(ok ? 0 : 3);
    };
    EXPECT_EXIT(spend(), testing::ExitedWithCode(0), "");
}

TEST_F(tempdir, LoadFileKeepsBytesAndTime)
{
    std::time_t before = std::time(nullptr);
    std::string path = write("data.bin", "a\r\nb\x01c\r");
    char* text = nullptr;
    char* end = nullptr;
    std::int64_t mtime = 0;
    ASSERT_EQ(loadfile(path.c_str(), &text, &end, &mtime), 0);
    EXPECT_EQ(std::string(text, end), "a\r\nb\x01c\r");
    EXPECT_EQ(*end, '\0');
    EXPECT_GE(mtime, before - 2);
    EXPECT_LE(mtime, std::time(nullptr) + 2);
    std::free(text);

    path = write("empty", "");
    ASSERT_EQ(loadfile(path.c_str(), &text, &end, nullptr), 0);
    EXPECT_EQ(text, end);
    EXPECT_EQ(*text, '\0');
    std::free(text);

    char sentinel = 'x';
    text = end = &sentinel;
    EXPECT_EQ(loadfile((dir / "missing").string().c_str(), &text, &end, nullptr), ENOENT);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(end, nullptr);

    // A directory opens but cannot be read: the read error comes back.
    text = end = &sentinel;
    EXPECT_EQ(loadfile(dir.string().c_str(), &text, &end, nullptr), EISDIR);
    EXPECT_EQ(end, nullptr);
}

TEST_F(tempdir, RetryInTheReferrersDirectory)
{
    const std::string base = dir.string();
    write("pkg/build/types.txt", "types\n");
    write("pkg/build/opt/x", "doubled\n");
    write("pkg/build\\back.txt", "after backslash\n");
    write("pkg/build/c:drive.txt", "drive\n");
    const std::string referrer = base + "/pkg/build/install.ins";
    EXPECT_EQ(load("types.txt", referrer), "types\n");
    EXPECT_EQ(load("/opt/x", referrer), "doubled\n");
    EXPECT_EQ(load("back.txt", base + "/pkg/build\\install.ins"), "after backslash\n");
    EXPECT_EQ(load("c:drive.txt", referrer), "error " + std::to_string(ENOENT));
    EXPECT_EQ(load("missing.txt", referrer), "error " + std::to_string(ENOENT));
    EXPECT_EQ(load("types.txt", "install.ins"), "error " + std::to_string(ENOENT));

    // A separator only in the first character is never the directory part;
    // taking it would name the file backslash + "t.txt" in the working
    // directory, the test's own.
    write("\\t.txt", "wrong\n");
    EXPECT_EQ(load("t.txt", "\\sub"), "error " + std::to_string(ENOENT));
}

TEST_F(tempdir, RetriedPathMustFitWhole)
{
    // Nested directories so that the combined name is exactly 1023 bytes.
    std::string referrer = dir.string() + "/";
    while (referrer.size() < 1023 - 200) {
        referrer += std::string(100, 'd') + "/";
    }
    fs::create_directories(referrer);
    std::string name(1023 - referrer.size(), 'f');
    spill(referrer + name, "fits\n");
    EXPECT_EQ(load(name, referrer + "in.ins"), "fits\n");
    // One byte more: cut to the buffer, the name would be the file above.
    EXPECT_EQ(load(name + "f", referrer + "in.ins"), "error " + std::to_string(ENAMETOOLONG));
    std::string longdir = referrer + std::string(1100 - referrer.size(), 'z') + "/in.ins";
    EXPECT_EQ(load("x", longdir), "error " + std::to_string(ENAMETOOLONG));
}
