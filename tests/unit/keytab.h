// Helpers of the tests of the key and type tables.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

#include "text/text.h"

// Frees the records of a key table (of 997 chains) and empties it.
inline void freekeys(subkey** keytab)
{
    for (int i = 0; i < 997; ++i) {
        while (subkey* rec = keytab[i]) {
            keytab[i] = rec->next;
            std::free(rec);
        }
    }
}

// Three-letter names (of ASCII letters) that share the bucket of "abc" in the
// key and type tables, "abc" among them, in a fixed order.
inline std::vector<std::string> bucketmates()
{
    const std::string letters = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    std::vector<std::string> names;
    for (char a : letters) {
        for (char b : letters) {
            for (char c : letters) {
                std::string name{a, b, c};
                if (strhash(name.c_str()) == strhash("abc")) names.push_back(name);
            }
        }
    }
    return names;
}
