// The input file ("install.ins") with its header, the types file it names,
// the previous manifest and its entry lines. Each input holds up to three
// files (see splitfiles): the input file, then the destination's
// "manifest.txt", then "extra", which the header may name as its types file
// instead of the fixed "types".
#include <cstdlib>
#include <filesystem>

#include "harness.h"
#include "input/input.h"
#include "manifest/manifest.h"
#include "tree/tree.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::scratchdir();
    fuzz::nullstream();
    fuzz::writefile("types", fuzz::fixedtypes);
    std::filesystem::create_directory(fuzz::scratchpath("dest"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    std::string_view data(reinterpret_cast<const char*>(bytes), size);
    std::vector<std::string_view> files = fuzz::splitfiles(data, 3);
    fuzz::writefile("install.ins", files[0]);
    if (files.size() > 1)
        fuzz::writefile("dest/manifest.txt", files[1]);
    else
        fuzz::removefile("dest/manifest.txt");
    if (files.size() > 2)
        fuzz::writefile("extra", files[2]);
    else
        fuzz::removefile("extra");
    static const std::string destdir = fuzz::scratchpath("dest");
    runstate* rs = fuzz::newrunstate();
    rs->destdir = destdir.c_str();
    rs->destdirlen = static_cast<int>(destdir.size());
    fuzz::runinput(data, [rs] {
        if (readinput(rs) != 0) return;
        fuzz::setsources(rs->dirtree);
        fuzz::setsources(rs->roottree);
        writeentries(fuzz::nullstream(), rs->dirtree, false);
        writeentries(fuzz::nullstream(), rs->roottree, false);
    });
    std::free(rs);
    return 0;
}
