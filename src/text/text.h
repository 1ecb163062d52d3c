// Text machinery: loading files whole, cutting lines and tokens in place, the
// flag vocabulary, substitution keys and <key> expansion.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

struct runstate;

// ---- flag word --------------------------------------------------------------

using flagword = std::uint32_t;

constexpr flagword P_SOLARIS_SPARC = 0x1;
constexpr flagword P_LINUX = 0x2;
constexpr flagword P_WIN32 = 0x4;
constexpr flagword P_HPUX = 0x8;
constexpr flagword P_MACOSX = 0x10;
constexpr flagword P_OSF = 0x20;
constexpr flagword P_SOLARIS_X86 = 0x40;
constexpr flagword P_ALL = 0x7f;

constexpr flagword F_FILE = 0x100;
constexpr flagword F_DIR = 0x200;
constexpr flagword F_RUNOWNER = 0x400;
constexpr flagword F_RUNGROUP = 0x800;
constexpr flagword F_BINOWNER = 0x1000;
constexpr flagword F_BINGROUP = 0x2000;
constexpr flagword F_FIXPERM = 0x4000;
constexpr flagword F_FROMMANIFEST = 0x8000;
constexpr flagword F_SYMLINK = 0x10000;
constexpr flagword F_HARDLINK = 0x20000;
constexpr flagword F_COPY = 0x40000;
constexpr flagword F_SUBSTITUTE = 0x80000;
// Internal, never written: a link entry made by the types file that no
// manifest record has matched yet.
constexpr flagword F_TYPESLINK = 0x100000;
constexpr flagword F_ABSOLUTE = 0x200000;
constexpr flagword F_RETRY = 0x400000;
constexpr flagword F_SRCPATH = 0x800000;
constexpr flagword F_PERMDONE = 0x1000000;
constexpr flagword F_PKGDIRDONE = 0x2000000;
constexpr flagword F_UNCHANGE = 0x4000000;
constexpr flagword F_VERSIONLEAD = 0x8000000;
constexpr flagword F_VERSIONTRAIL = 0x10000000;
constexpr flagword F_PATCH = 0x20000000;

struct flagname {
    const char* name;
    flagword bits;
};

// The three name tables; their order is part of the manifest format.
extern const flagname platformtable[10];
extern const flagname lineflagtable[4];
extern const flagname directivetable[7];

// Each returns 0 on success, -1 when a name is unknown; bits are ORed in.
int platformword(const char* name, flagword* word);
// As platformword for a counted name that need not be NUL-terminated.
int platformwordn(const char* name, std::size_t len, flagword* word);
int lineflagword(const char* name, flagword* word);
int manifestflagword(const char* name, flagword* word);
// Comma list with an optional leading '!'; commas are overwritten with NUL.
int parseflaglist(char* text, flagword* word);
// Suffix list "plat=suffix,..." of a file type line; cut in place.
int pickwin32suffix(char* text, char** suffix, std::size_t* suffixlen);
// The word written back as comma-separated names in table order.
std::string flagnames(flagword word);
// text with ASCII letters folded to lower case, as names are compared.
std::string foldedascii(std::string_view text);
// The same, appended to *out.
inline void appendfolded(std::string* out, std::string_view text)
{
    for (char c : text) {
        out->push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
    }
}

// ---- hashing and keys -----------------------------------------------------

unsigned strhash(const char* text);
unsigned strhashn(const char* text, std::size_t len);
// A hash of the name seeded when the run starts, for indexes beside the
// chains of the fixed hash: names cannot be made to share a name hash, except by
// chance.
std::uint64_t namehash(const char* name, std::size_t len);

template <typename Record>
struct chainindex;  // index beside a long chain (text/chains.h)

struct subkey {
    subkey* next;
    const char* key;
    const char* value;
    std::uint32_t keylen;
    std::int32_t vallen;
    // Beyond the record's classic fields, kept by addkey for the chain's index.
    std::uint64_t namehash;  // seeded hash of the name
    std::uint32_t depth;   // records in the chain from this one on
    chainindex<subkey>* index;  // the chain's index once it is long (used at its head)
};

subkey* addkey(subkey** keytab, unsigned* maxkeylen, const char* key, std::size_t keylen,
               const char* value, std::size_t vallen, unsigned verbose);
// 0 and the value of the newest record of the key (same length and bytes), or
// -1 when there is none.
int findkey(subkey* const* keytab, const char* key, std::size_t keylen, const char** value,
            std::size_t* vallen);
// Appends count bytes to the growable block [bufstart, bufend).
void memgrowdup(char** bufstart, char** bufnext, char** bufend, const char* source,
                std::size_t count);
// Expanded heap copy of text[0..len) (not NUL-terminated); caller frees.
void memdupsub(char** out, std::size_t* outlen, const char* text, std::size_t len,
               subkey* const* keytab, unsigned maxkeylen);
// Whether the keys of a source of that size and a file of those flags are
// expanded when it is copied (a substituted type, outside package and spec
// modes, with keys defined, and not empty).
bool expands(const runstate* rs, flagword flags, std::int64_t size);
// As memdupsub, but the expansion stops as soon as its output would pass
// limit bytes: 0, or -1 with nothing handed back.
int memdupsubupto(char** out, std::size_t* outlen, const char* text, std::size_t len,
                  subkey* const* keytab, unsigned maxkeylen, std::size_t limit);

// ---- loading and scanning -------------------------------------------------

// Whole text file into one NUL-terminated heap block; 0 or the error number.
// A NUL byte in the file ends the run with its file and line. A UTF-8
// byte-order mark at the start is dropped; a UTF-16 one ends the run.
int loadfile(const char* path, char** text, char** end, std::int64_t* mtime);
// As loadfile, retried in the directory of referrer when that can help.
int loadrelative(const char* path, char** text, char** end, std::int64_t* mtime,
                 const char* referrer);
// Next line of [cursor, end), terminator replaced by NUL: 0, or -1 for none.
int nextline(char** line, char** lineend, char** cursor, char* end);
// Requires literal at the cursor, then skips blanks and tabs: 0 or -1.
int matchprefix(char** cursor, char* end, const char* literal, std::size_t length);
// Next blank-separated word of a NUL-terminated line, <key>-expanded: 0, -1
// when there is none, -2 when its expansion would add more than the run's
// expansions may.
int nexttoken(runstate* rs, char** token, std::size_t* tokenlen, char** cursor);

// Characters that the expansion of tokens may add in one run, in all (what
// the expanded tokens hold beyond the text they came from). Far beyond what
// any installation needs, and it keeps a run's memory proportional to its
// files, since a short reference can stand for a long value.
constexpr std::size_t EXPANSIONBUDGET = std::size_t{32} << 20;
// Takes grown characters from what the run's expansions may still add: 0, or
// -1 (nothing taken) when fewer are left.
int spendexpansion(runstate* rs, std::size_t grown);
// What the run's expansions may still add.
std::size_t expansionroom(const runstate* rs);
