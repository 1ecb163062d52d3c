// The reader of "manifest.sums" (and of the journal, which has its form) and
// the checks of names and paths read from the tool's state. Every line the
// reader keeps must be safe to compose a path from: its path and the
// directory, name and extension of its record pass the field checks, and
// none of them may lead outside the destination by any reading a host could
// give it. The checks print to standard error and abort.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "harness.h"
#include "layout/layout.h"
#include "lifecycle/lifeinternal.h"

namespace {

[[noreturn]] void fail(const char* what, std::string_view value) {
    std::fprintf(stderr, "fuzz_sums: %s: '%.*s'\n", what, static_cast<int>(value.size()),
                 value.data());
    std::abort();
}

bool separator(char c) { return c == '/' || c == '\\'; }

// What no accepted path may hold, whatever the field checks say: a
// component that climbs, a drive, or a second leading separator.
void checkaccepted(std::string_view path, bool rooted) {
    if (path.empty()) return;
    if (path[0] == '\\' || (path.size() > 1 && separator(path[0]) && separator(path[1])))
        fail("an absolute path accepted", path);
    if (!rooted && path[0] == '/') fail("a name with a separator accepted", path);
    std::size_t start = 0;
    for (std::size_t i = 0; i <= path.size(); i++) {
        if (i < path.size() && !separator(path[i])) continue;
        std::string_view c = path.substr(start, i - start);
        start = i + 1;
        // ".." and, as Windows reads names, ".." followed by dots or blanks.
        if (c.size() >= 2 && c[0] == '.' && c[1] == '.' &&
            c.find_first_not_of(". ") == std::string_view::npos)
            fail("a parent component accepted", path);
        // An absolute entry may start on a drive ("/C:/x"), nowhere else.
        bool firstofrooted = rooted && path[0] == '/' && c.data() == path.data() + 1;
        if (c.size() >= 2 && c[1] == ':' && ((c[0] | 0x20) >= 'a' && (c[0] | 0x20) <= 'z') &&
            !(firstofrooted && c.size() == 2))
            fail("a drive accepted", path);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    std::string_view data(reinterpret_cast<const char*>(bytes), size);
    fuzz::runinput(data, [data] {
        std::string text(data);
        printtable table;
        sumsunsafe unsafe;
        unsigned bad = parsesums(text, &table, &unsafe);
        if (unsafe.why != nullptr && bad != 0) fail("both damaged and unsafe", text);
        for (const auto& [key, fp] : table.list) {
            checkaccepted(fp.path, true);
            // The record: type, directory, name and (maybe) extension.
            std::string_view rest = key;
            for (int part = 0; part < 4 && !rest.empty(); part++) {
                std::size_t cut = rest.find('\0');
                std::string_view field = rest.substr(0, cut);
                if (part == 1) checkaccepted(field, true);
                if (part >= 2) {
                    for (char c : field)
                        if (separator(c)) fail("a separator in a name accepted", field);
                    checkaccepted(field, false);
                }
                rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
            }
        }
        // The field checks alone, on the whole input as each kind of field.
        for (fieldkind kind : {fieldkind::name, fieldkind::package, fieldkind::path}) {
            if (fieldproblem(kind, data) != nullptr) continue;
            if (kind == fieldkind::path) {
                checkaccepted(data, true);
            } else if (!(kind == fieldkind::package && !data.empty() && data[0] == '-')) {
                for (char c : data)
                    if (separator(c)) fail("a separator in a name accepted", data);
                checkaccepted(data, false);
            }
        }
    });
    return 0;
}
