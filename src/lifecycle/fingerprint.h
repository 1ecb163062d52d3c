// Content hashes of installed files (XXH3, 128 bits).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

struct digest {
    std::uint64_t high = 0;
    std::uint64_t low = 0;
    bool operator==(const digest&) const = default;
};

// A hash computed piece by piece while a file is copied or read.
struct hasher;
hasher* newhasher();
void hashreset(hasher* h);
void hashupdate(hasher* h, const void* data, std::size_t len);
digest hashdigest(const hasher* h);
// The hash of one block.
digest hashbytes(const void* data, std::size_t len);

// The value of a hex digit of either case, or -1.
int hexvalue(char c);
// 32 lower-case hex digits, the high half first.
std::string hexdigest(const digest& d);
// Reads 32 hex digits: true when text is exactly that.
bool parsedigest(std::string_view text, digest* d);
