// The types file and the settings files it includes: each input holds up to
// four files (see splitfiles): "types" and then "c1", "c2" and "c3", which
// "readconfig" lines may name. Files of a previous input are removed.
#include <cstdlib>

#include "harness.h"
#include "input/input.h"
#include "manifest/manifest.h"
#include "types/types.h"

namespace {

constexpr const char* settingsnames[] = {"c1", "c2", "c3"};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::scratchdir();
    fuzz::nullstream();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    std::string_view data(reinterpret_cast<const char*>(bytes), size);
    std::vector<std::string_view> files = fuzz::splitfiles(data, 4);
    fuzz::writefile("types", files[0]);
    for (std::size_t i = 0; i < 3; i++) {
        if (i + 1 < files.size())
            fuzz::writefile(settingsnames[i], files[i + 1]);
        else
            fuzz::removefile(settingsnames[i]);
    }
    runstate* rs = fuzz::newrunstate();
    static std::string* typesname = new std::string(fuzz::scratchpath("types"));
    rs->typesfile = typesname->data();
    fuzz::runinput(data, [rs] {
        rs->readingtypes = 1;
        if (readtypes(rs) != 0) return;
        rs->readingtypes = 0;
        // What the types file built is written as a manifest would be.
        fuzz::setsources(rs->dirtree);
        fuzz::setsources(rs->roottree);
        writeentries(fuzz::nullstream(), rs->dirtree);
        writeentries(fuzz::nullstream(), rs->roottree);
    });
    std::free(rs);
    return 0;
}
