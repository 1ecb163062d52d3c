// The flag vocabulary: platform, line-flag and directive names and the
// lookups that turn them into bits of a flag word.
#include "text/text.h"

#include <cstring>
#include <string_view>

// Order matters: the largest platform groups come first so that writing a
// word back names the group rather than its members.
const flagname platformtable[10] = {
    {"all", P_ALL},
    {"unix", P_ALL & ~P_WIN32},
    {"solaris", P_SOLARIS_SPARC | P_SOLARIS_X86},
    {"linux", P_LINUX},
    {"win32", P_WIN32},
    {"hpux", P_HPUX},
    {"macosx", P_MACOSX},
    {"osf", P_OSF},
    {"solaris_sparc", P_SOLARIS_SPARC},
    {"solaris_x86", P_SOLARIS_X86},
};

const flagname lineflagtable[4] = {
    {"substitute", F_SUBSTITUTE},
    {"srcpath", F_SRCPATH},
    {"unchange", F_UNCHANGE},
    {"patch", F_PATCH},
};

const flagname directivetable[7] = {
    {"*symlink", F_SYMLINK},
    {"*hardlink", F_HARDLINK},
    {"*copy", F_COPY},
    {"*file", F_FILE},
    {"*dir", F_DIR},
    {"*srcpath", F_SRCPATH},
    {"*fixperm", F_FIXPERM},
};

namespace {

// ORs in the bits of the first row whose name equals the whole of name
// (case-sensitive): 0, or -1 when there is none.
template <std::size_t N>
int orname(const flagname (&table)[N], std::string_view name, flagword* word)
{
    for (const flagname& row : table) {
        if (name == row.name) {
            *word |= row.bits;
            return 0;
        }
    }
    return -1;
}

// Calls take on each comma-separated piece of text, left to right; each
// comma is overwritten with NUL first. 0, or -1 at the first piece that take
// refuses.
template <typename Take>
int eachpiece(char* text, Take take)
{
    for (;;) {
        char* comma = std::strchr(text, ',');
        if (comma != nullptr) {
            *comma = '\0';
        }
        if (take(text) != 0) {
            return -1;
        }
        if (comma == nullptr) {
            return 0;
        }
        text = comma + 1;
    }
}

void addname(std::string& out, const char* name)
{
    if (!out.empty()) {
        out += ',';
    }
    out += name;
}

}  // namespace

int platformwordn(const char* name, std::size_t len, flagword* word)
{
    return orname(platformtable, std::string_view(name, len), word);
}

int platformword(const char* name, flagword* word)
{
    return orname(platformtable, name, word);
}

int lineflagword(const char* name, flagword* word)
{
    return orname(lineflagtable, name, word) == 0 ? 0 : platformword(name, word);
}

int manifestflagword(const char* name, flagword* word)
{
    return orname(directivetable, name, word) == 0 ? 0 : lineflagword(name, word);
}

int parseflaglist(char* text, flagword* word)
{
    bool invert = *text == '!';
    char* names = invert ? text + 1 : text;
    if (eachpiece(names, [&](const char* name) { return lineflagword(name, word); }) != 0) {
        return -1;
    }
    if (invert) {
        *word ^= P_ALL;
    }
    return 0;
}

int pickwin32suffix(char* text, char** suffix, std::size_t* suffixlen)
{
    *suffix = nullptr;
    *suffixlen = 0;
    return eachpiece(text, [&](char* entry) {
        char* equals = std::strchr(entry, '=');
        if (equals == nullptr) {
            return -1;
        }
        *equals = '\0';
        flagword platforms = 0;
        if (platformword(entry, &platforms) != 0) {
            return -1;
        }
        if ((platforms & P_WIN32) != 0) {
            *suffix = equals + 1;
            *suffixlen = std::strlen(equals + 1);
        }
        return 0;
    });
}

std::string flagnames(flagword word)
{
    std::string out;
    flagword covered = 0;
    for (const flagname& row : platformtable) {
        if ((word & row.bits) == row.bits && (covered & row.bits) == 0) {
            addname(out, row.name);
            covered |= row.bits;
        }
    }
    for (const flagname& row : lineflagtable) {
        if ((word & row.bits) != 0) {
            addname(out, row.name);
        }
    }
    for (const flagname& row : directivetable) {
        if ((word & row.bits) != 0) {
            addname(out, row.name);
        }
    }
    return out;
}

std::string foldedascii(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    appendfolded(&out, text);
    return out;
}
