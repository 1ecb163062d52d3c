// Cutting a loaded text in place into lines and blank-separated tokens.
#include "text/text.h"

#include "ending/ending.h"
#include "platform/platform.h"
#include "run/run.h"

#include <cstdlib>
#include <cstring>

namespace {

bool blankortab(char c)
{
    return c == ' ' || c == '\t';
}

// Replaces the token by its expansion when substitution changed it: 0, or -1
// when the expansion would add more than the run's expansions may.
int expandtoken(runstate* rs, char** token, std::size_t* tokenlen)
{
    char* expanded = nullptr;
    std::size_t explen = 0;
    if (memdupsubupto(&expanded, &explen, *token, *tokenlen, rs->keytab, rs->maxkeylen,
                      *tokenlen + expansionroom(rs)) != 0) {
        return -1;
    }
    if (explen == *tokenlen && (explen == 0 || std::memcmp(expanded, *token, explen) == 0)) {
        std::free(expanded);
        return 0;
    }
    if (explen > *tokenlen) {
        FP_CHECK(spendexpansion(rs, explen - *tokenlen) == 0);
    }
    auto* copy = static_cast<char*>(std::realloc(expanded, explen + 1));
    if (copy == nullptr) {
        die("Out of memory expanding token '%.*s'\n", static_cast<int>(*tokenlen), *token);
    }
    copy[explen] = '\0';
    *token = copy;
    *tokenlen = explen;
    return 0;
}

}  // namespace

int spendexpansion(runstate* rs, std::size_t grown)
{
    if (grown > expansionroom(rs)) {
        return -1;
    }
    rs->expanded += grown;
    return 0;
}

std::size_t expansionroom(const runstate* rs)
{
    return EXPANSIONBUDGET - rs->expanded;
}

int nextline(char** line, char** lineend, char** cursor, char* end)
{
    char* pos = *cursor;
    *line = pos;
    *lineend = end;
    while (pos != end && *pos != '\r' && *pos != '\n') {
        ++pos;
    }
    if (pos == end) {
        return -1;
    }
    *lineend = pos;
    char* next = pos + 1;
    if (*pos == '\r' && next != end && *next == '\n') {
        ++next;
    }
    *pos = '\0';
    *cursor = next;
    return 0;
}

int matchprefix(char** cursor, char* end, const char* literal, std::size_t length)
{
    char* pos = *cursor;
    if (static_cast<std::size_t>(end - pos) < length || std::memcmp(pos, literal, length) != 0) {
        return -1;
    }
    pos += length;
    while (pos != end && blankortab(*pos)) {
        ++pos;
    }
    *cursor = pos;
    return 0;
}

int nexttoken(runstate* rs, char** token, std::size_t* tokenlen, char** cursor)
{
    char* pos = *cursor;
    *token = pos;
    *tokenlen = 0;
    while (*pos != '\0' && !blankortab(*pos)) {
        ++pos;
    }
    if (pos == *cursor) {
        return -1;
    }
    *tokenlen = static_cast<std::size_t>(pos - *cursor);
    if (*pos != '\0') {
        *pos++ = '\0';
        while (blankortab(*pos)) {
            ++pos;
        }
    }
    *cursor = pos;
    return expandtoken(rs, token, tokenlen) == 0 ? 0 : -2;
}
