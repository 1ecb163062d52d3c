// Substitution keys: the hash shared with the type table, the key table and
// the <key> / <line:NAME> expansion of text ranges.
#include "report/report.h"
#include "run/run.h"
#include "text/chains.h"
#include "text/text.h"

#include "ending/ending.h"
#include "platform/platform.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr unsigned hashbuckets = 997;
constexpr char linetag[] = "line:";
constexpr std::size_t linetaglen = sizeof linetag - 1;

// One step of the hash: bytes count as signed values, arithmetic wraps.
std::uint32_t hashstep(std::uint32_t h, char c)
{
    auto value = static_cast<std::uint32_t>(static_cast<std::int32_t>(static_cast<signed char>(c)));
    return h * 7u + value * 5u;
}

bool samekey(const subkey* rec, const char* key, std::size_t keylen)
{
    return rec->keylen == keylen && (keylen == 0 || std::memcmp(rec->key, key, keylen) == 0);
}

// The name hash of a name: a polynomial hash modulo the prime 2^61 - 1 at a base
// chosen when the run starts. Names made to share a bucket of the table's
// fixed hash do not share a name hash, except by chance.
constexpr std::uint64_t namehashmod = (std::uint64_t{1} << 61) - 1;

std::uint64_t mulmod(std::uint64_t a, std::uint64_t b)
{
    unsigned __int128 p = static_cast<unsigned __int128>(a) * b;
    std::uint64_t r =
        static_cast<std::uint64_t>(p & namehashmod) + static_cast<std::uint64_t>(p >> 61);
    // At most 2 * namehashmod: every residue ends with one representation.
    while (r >= namehashmod) {
        r -= namehashmod;
    }
    return r;
}

std::uint64_t submod(std::uint64_t a, std::uint64_t b)
{
    return a >= b ? a - b : a + namehashmod - b;
}

std::uint64_t pickbase()
{
    auto seed = static_cast<std::uint64_t>(
        std::chrono::steady_clock::now().time_since_epoch().count());
    seed ^= reinterpret_cast<std::uintptr_t>(&seed);
    // One round of a 64-bit mixer, then a base well inside the field.
    seed = (seed ^ (seed >> 30)) * 0xbf58476d1ce4e5b9u;
    seed = (seed ^ (seed >> 27)) * 0x94d049bb133111ebu;
    seed ^= seed >> 31;
    return (std::uint64_t{1} << 32) + seed % (namehashmod - (std::uint64_t{1} << 33));
}

std::uint64_t printbase()
{
    static const std::uint64_t base = pickbase();
    return base;
}

std::uint64_t namehashstep(std::uint64_t p, char c)
{
    std::uint64_t r = mulmod(p, printbase()) + static_cast<unsigned char>(c) + 1;
    return r >= namehashmod ? r - namehashmod : r;
}

std::uint64_t basepower(std::size_t n)
{
    std::uint64_t result = 1;
    for (std::uint64_t b = printbase(); n != 0; n >>= 1, b = mulmod(b, b)) {
        if ((n & 1) != 0) {
            result = mulmod(result, b);
        }
    }
    return result;
}

// A <line:NAME> tag with a known platform name: 1 when the rest of its line
// is kept, 0 when dropped, -1 when NAME is no platform name.
int linetagkeeps(const char* name, std::size_t n)
{
    if (n < linetaglen + 1 || std::memcmp(name, linetag, linetaglen) != 0) {
        return -1;
    }
    flagword platforms = 0;
    if (platformwordn(name + linetaglen, n - linetaglen, &platforms) != 0) {
        return -1;
    }
    return (platforms & P_WIN32) != 0 ? 1 : 0;
}

}  // namespace

std::uint64_t namehash(const char* name, std::size_t len)
{
    std::uint64_t p = 0;
    for (std::size_t i = 0; i < len; ++i) {
        p = namehashstep(p, name[i]);
    }
    return p;
}

unsigned strhash(const char* text)
{
    return strhashn(text, std::strlen(text));
}

unsigned strhashn(const char* text, std::size_t len)
{
    std::uint32_t h = 0;
    for (std::size_t i = 0; i < len; ++i) {
        h = hashstep(h, text[i]);
    }
    return h % hashbuckets;
}

subkey* addkey(subkey** keytab, unsigned* maxkeylen, const char* key, std::size_t keylen,
               const char* value, std::size_t vallen, unsigned verbose)
{
    FP_CHECK(keylen <= UINT32_MAX && vallen <= INT32_MAX);
    unsigned h = strhashn(key, keylen);
    // One warning per older record of the name: a walk along the whole chain,
    // made only when the warnings are wanted.
    for (const subkey* rec = verbose > 1 ? keytab[h] : nullptr; rec != nullptr; rec = rec->next) {
        if (samekey(rec, key, keylen)) {
            reportwarning("WARNING duplicate substitution key: %.*s\n",
                          static_cast<int>(keylen), key);
        }
    }
    auto* rec = static_cast<subkey*>(std::malloc(sizeof(subkey)));
    if (rec == nullptr) {
        die("Out of memory adding key %.*s\n", static_cast<int>(keylen), key);
    }
    if (keylen > *maxkeylen) {
        *maxkeylen = static_cast<unsigned>(keylen);
    }
    rec->key = key;
    rec->value = value;
    rec->keylen = static_cast<std::uint32_t>(keylen);
    rec->vallen = static_cast<std::int32_t>(vallen);
    rec->namehash = namehash(key, keylen);
    pushchain(&keytab[h], rec);
    return rec;
}

int findkey(subkey* const* keytab, const char* key, std::size_t keylen, const char** value,
            std::size_t* vallen)
{
    const subkey* rec = findinchain(
        keytab[strhashn(key, keylen)], [&] { return namehash(key, keylen); },
        [&](const subkey* r) { return samekey(r, key, keylen); });
    if (rec == nullptr) {
        return -1;
    }
    *value = rec->value;
    *vallen = static_cast<std::size_t>(rec->vallen);
    return 0;
}

void memgrowdup(char** bufstart, char** bufnext, char** bufend, const char* source,
                std::size_t count)
{
    if (count == 0) {
        return;
    }
    // Sizes rather than pointer sums, so an empty (null) block is handled too.
    auto used = static_cast<std::size_t>(*bufnext - *bufstart);
    auto capacity = static_cast<std::size_t>(*bufend - *bufstart);
    if (count >= capacity - used) {
        std::size_t grown = count + 2 * capacity;
        bool overflow = capacity > (SIZE_MAX - count) / 2;
        char* block = overflow ? nullptr : static_cast<char*>(std::realloc(*bufstart, grown));
        if (block == nullptr) {
            die("Out of memory in memgrowdup: avail=%llu srcsize=%lld\n",
                static_cast<unsigned long long>(grown), static_cast<long long>(count));
        }
        *bufstart = block;
        *bufnext = block + used;
        *bufend = block + grown;
    }
    std::memcpy(*bufnext, source, count);
    *bufnext += count;
}

namespace {

// Output being built by an expansion; it never holds more than limit bytes.
struct growbuf {
    char* start;
    char* next;
    char* end;
    std::size_t limit;
};

// false, with nothing appended, when the bytes would take the output past
// its limit.
bool append(growbuf* buf, const char* source, std::size_t count)
{
    auto used = static_cast<std::size_t>(buf->next - buf->start);
    if (count > buf->limit - used) {
        return false;
    }
    memgrowdup(&buf->start, &buf->next, &buf->end, source, count);
    return true;
}

// The unreduced hash of the bytes from a starting point to pos, carried
// forward as pos moves on: with two of them from the same start the hash of
// any name between them costs no pass over the name.
struct prefixhash {
    const char* pos;
    std::uint32_t h;
    std::uint64_t namehash;
};

void moveto(prefixhash* p, const char* pos)
{
    for (; p->pos < pos; ++p->pos) {
        p->h = hashstep(p->h, *p->pos);
        p->namehash = namehashstep(p->namehash, *p->pos);
    }
}

std::uint32_t powerof7(std::size_t n)
{
    std::uint32_t result = 1;
    std::uint32_t base = 7;
    for (; n != 0; n >>= 1) {
        if ((n & 1) != 0) {
            result *= base;
        }
        base *= base;
    }
    return result;
}

// What an expansion looks up and where it stands. No search goes past the
// end of the range or back over text it has passed: the first '>' at or
// after the last name is kept, and the hashes before the names and before
// their closing '>' are carried forward (both only move on), so that an
// expansion costs time in proportion to its range however the '<' and '>'
// fall.
struct reference {
    subkey* const* keytab;
    unsigned maxkeylen;
    const char* rangeend;
    bool searched;      // gt has been looked for
    const char* gt;     // first '>' at or after the last name searched from, or null
    prefixhash atname;
    prefixhash atclose;
};

// The '>' closing the name that starts at name, no further than a name of
// maxkeylen bytes could reach; null when there is none.
const char* findclose(reference* ref, const char* name)
{
    if (!ref->searched || (ref->gt != nullptr && ref->gt < name)) {
        ref->gt = static_cast<const char*>(
            std::memchr(name, '>', static_cast<std::size_t>(ref->rangeend - name)));
        ref->searched = true;
    }
    if (ref->gt == nullptr || static_cast<std::size_t>(ref->gt - name) > ref->maxkeylen) {
        return nullptr;
    }
    return ref->gt;
}

// The newest key named by [name, close), or null: its hash and name hash
// from the two carried prefixes.
const subkey* lookup(reference* ref, const char* name, const char* close)
{
    auto n = static_cast<std::size_t>(close - name);
    // Only differences of the two prefixes count, so both may start afresh at
    // this name when the last one ended before it: text between references
    // is never hashed, and a byte is hashed at most twice however names
    // overlap.
    if (ref->atclose.pos <= name) {
        ref->atname = prefixhash{name, 0, 0};
        ref->atclose = ref->atname;
    }
    moveto(&ref->atname, name);
    moveto(&ref->atclose, close);
    std::uint32_t h = ref->atclose.h - ref->atname.h * powerof7(n);
    return findinchain(
        ref->keytab[h % hashbuckets],
        [&] { return submod(ref->atclose.namehash, mulmod(ref->atname.namehash, basepower(n))); },
        [&](const subkey* r) { return samekey(r, name, n); });
}

// Where copying resumes after a dropping line tag that ends at after: past the
// next line feed, or the end of the range when the line has none.
const char* pastline(const reference& ref, const char* after)
{
    const auto* lf = static_cast<const char*>(
        std::memchr(after, '\n', static_cast<std::size_t>(ref.rangeend - after)));
    return lf != nullptr ? lf + 1 : ref.rangeend;
}

// Handles the '<' at open: appends the text from cursor up to it and what the
// reference becomes, and returns where scanning resumes (null when the output
// would pass its limit). A reference that is neither a known key nor a line
// tag keeps its '<', and scanning resumes inside its name.
const char* expandat(growbuf* buf, reference* ref, const char* cursor, const char* open)
{
    const char* name = open + 1;
    const char* close = findclose(ref, name);
    std::size_t n = close != nullptr ? static_cast<std::size_t>(close - name) : 0;
    int keeps = -1;
    if (close != nullptr && n >= 2) {
        if (const subkey* key = lookup(ref, name, close)) {
            bool fits = append(buf, cursor, static_cast<std::size_t>(open - cursor)) &&
                        append(buf, key->value, static_cast<std::size_t>(key->vallen));
            return fits ? close + 1 : nullptr;
        }
        keeps = linetagkeeps(name, n);
    }
    if (keeps < 0) {
        return append(buf, cursor, static_cast<std::size_t>(name - cursor)) ? name : nullptr;
    }
    if (!append(buf, cursor, static_cast<std::size_t>(open - cursor))) {
        return nullptr;
    }
    return keeps == 1 ? close + 1 : pastline(*ref, close + 1);
}

}  // namespace

int memdupsubupto(char** out, std::size_t* outlen, const char* text, std::size_t len,
                  subkey* const* keytab, unsigned maxkeylen, std::size_t limit)
{
    std::size_t capacity = len + len / 10;
    if (capacity > limit) {
        capacity = limit + 1;  // the most a bounded output can take
    }
    // At least one byte is allocated so the caller always gets a block to free
    // or resize; the recorded capacity stays the computed one.
    auto* block = static_cast<char*>(std::malloc(capacity != 0 ? capacity : 1));
    if (block == nullptr) {
        die("Out of memory in memdupsub %llu\n", static_cast<unsigned long long>(capacity));
    }
    growbuf buf{block, block, block + capacity, limit};
    reference ref{keytab, maxkeylen, text + len, false, nullptr, {text, 0, 0}, {text, 0, 0}};
    const char* cursor = text;
    while (cursor != nullptr && cursor != ref.rangeend) {
        const auto* open = static_cast<const char*>(
            std::memchr(cursor, '<', static_cast<std::size_t>(ref.rangeend - cursor)));
        if (open == nullptr) {
            break;
        }
        cursor = expandat(&buf, &ref, cursor, open);
    }
    if (cursor == nullptr ||
        !append(&buf, cursor, static_cast<std::size_t>(ref.rangeend - cursor))) {
        std::free(buf.start);
        *out = nullptr;
        *outlen = 0;
        return -1;
    }
    *out = buf.start;
    *outlen = static_cast<std::size_t>(buf.next - buf.start);
    return 0;
}

void memdupsub(char** out, std::size_t* outlen, const char* text, std::size_t len,
               subkey* const* keytab, unsigned maxkeylen)
{
    memdupsubupto(out, outlen, text, len, keytab, maxkeylen, SIZE_MAX);
}

bool expands(const runstate* rs, flagword flags, std::int64_t size) {
    return (flags & F_SUBSTITUTE) != 0 && rs->pkgmode == 0 && rs->specfile == 0 && size > 0 &&
           rs->maxkeylen != 0;
}
