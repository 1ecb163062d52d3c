// Content hashes: XXH3 with 128 bits, the library compiled into this file.
#include "lifecycle/fingerprint.h"

#include <cstdio>

#define XXH_INLINE_ALL
#include FP_XXHASH_HEADER

struct hasher {
    XXH3_state_t state;
};

namespace {

digest fromxxh(XXH128_hash_t h) { return digest{h.high64, h.low64}; }

}  // namespace

int hexvalue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

hasher* newhasher() {
    auto* h = new hasher;
    hashreset(h);
    return h;
}

void hashreset(hasher* h) { XXH3_128bits_reset(&h->state); }

void hashupdate(hasher* h, const void* data, std::size_t len) {
    XXH3_128bits_update(&h->state, data, len);
}

digest hashdigest(const hasher* h) { return fromxxh(XXH3_128bits_digest(&h->state)); }

digest hashbytes(const void* data, std::size_t len) { return fromxxh(XXH3_128bits(data, len)); }

std::string hexdigest(const digest& d) {
    char buf[33];
    std::snprintf(buf, sizeof buf, "%016llx%016llx", static_cast<unsigned long long>(d.high),
                  static_cast<unsigned long long>(d.low));
    return buf;
}

bool parsedigest(std::string_view text, digest* d) {
    if (text.size() != 32) return false;
    std::uint64_t half[2] = {0, 0};
    for (std::size_t i = 0; i < 32; i++) {
        int v = hexvalue(text[i]);
        if (v < 0 || (text[i] >= 'A' && text[i] <= 'F')) return false;  // lower case only
        half[i / 16] = half[i / 16] << 4 | static_cast<std::uint64_t>(v);
    }
    *d = digest{half[0], half[1]};
    return true;
}
