// Line and token scanning, <key> expansion and the flag lists, on one loaded
// file. Lines up to the first empty one define keys ("key=value"); every
// later line is matched against the header word, cut into expanded tokens,
// and each token is read as a flag list, a suffix list and a manifest flag.
// Checked on the way: a text without '<' expands to itself, and a flag word
// written as names reads back as the same word.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "harness.h"
#include "text/text.h"

namespace {

// Every bit that has a name in one of the tables.
flagword namedbits() {
    flagword bits = 0;
    for (const flagname& row : platformtable) bits |= row.bits;
    for (const flagname& row : lineflagtable) bits |= row.bits;
    for (const flagname& row : directivetable) bits |= row.bits;
    return bits;
}

[[noreturn]] void fail(const char* what, const std::string& text) {
    std::fprintf(stderr, "fuzz_scan: %s: '%s'\n", what, text.c_str());
    std::abort();
}

// The names of word read back the way the manifest reader reads flg=.
void checkroundtrip(flagword word) {
    std::string names = flagnames(word);
    flagword back = 0;
    std::string copy = names;
    char* name = copy.data();
    while (*name != '\0') {
        char* comma = std::strchr(name, ',');
        if (comma != nullptr) *comma = '\0';
        if (manifestflagword(name, &back) != 0) fail("a written flag name is not read", names);
        if (comma == nullptr) break;
        name = comma + 1;
    }
    if (back != (word & namedbits())) fail("flag names read back as another word", names);
}

void readtoken(const char* token, std::size_t len) {
    std::string copy(token, len);
    flagword word = 0;
    if (parseflaglist(copy.data(), &word) == 0) checkroundtrip(word);
    copy.assign(token, len);
    char* suffix = nullptr;
    std::size_t suffixlen = 0;
    if (pickwin32suffix(copy.data(), &suffix, &suffixlen) == 0 && suffix != nullptr &&
        std::strlen(suffix) != suffixlen)
        fail("suffix length", token);
    word = 0;
    if (manifestflagword(token, &word) == 0) checkroundtrip(word);
}

void scanline(runstate* rs, char* line, char* lineend) {
    char* cursor = line;
    matchprefix(&cursor, lineend, "fileplacer", 10);
    std::string whole(line, static_cast<std::size_t>(lineend - line));
    char* expanded = nullptr;
    std::size_t explen = 0;
    memdupsub(&expanded, &explen, whole.data(), whole.size(), rs->keytab, rs->maxkeylen);
    if (whole.find('<') == std::string::npos &&
        std::string(expanded, explen) != whole)
        fail("a text without references changed", whole);
    char* token = nullptr;
    std::size_t tokenlen = 0;
    while (nexttoken(rs, &token, &tokenlen, &cursor) == 0) readtoken(token, tokenlen);
}

void scanfile(runstate* rs, const char* path) {
    char* text = nullptr;
    char* end = nullptr;
    if (loadfile(path, &text, &end, nullptr) != 0) return;
    char* cursor = text;
    bool defining = true;
    while (cursor != end) {
        char* line = nullptr;
        char* lineend = nullptr;
        if (nextline(&line, &lineend, &cursor, end) != 0) {
            scanline(rs, line, lineend);
            return;
        }
        if (line == lineend) {
            defining = false;
        } else if (defining) {
            char* eq = static_cast<char*>(std::memchr(line, '=', lineend - line));
            if (eq != nullptr)
                addkey(rs->keytab, &rs->maxkeylen, line, static_cast<std::size_t>(eq - line),
                       eq + 1, static_cast<std::size_t>(lineend - eq - 1), 0);
        } else {
            scanline(rs, line, lineend);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::scratchdir();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    std::string_view data(reinterpret_cast<const char*>(bytes), size);
    fuzz::writefile("scan.txt", data);
    runstate* rs = fuzz::newrunstate();
    static const std::string* path = new std::string(fuzz::scratchpath("scan.txt"));
    fuzz::runinput(data, [rs] { scanfile(rs, path->c_str()); });
    std::free(rs);
    return 0;
}
