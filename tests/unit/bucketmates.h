// Three-letter names (of ASCII letters) that share the bucket of "abc" in the
// key and type tables, "abc" among them, in a fixed order.
#pragma once

#include <string>
#include <vector>

#include "text/text.h"

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
