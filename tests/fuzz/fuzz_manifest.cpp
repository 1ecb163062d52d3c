// The manifest reader, on the destination's "manifest.txt" next to the fixed
// types file. A manifest that is read and then written again must read back
// and write the same records a second time. The checks print to standard
// error and abort, so run a crash file without -close_fd_mask to see them.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "harness.h"
#include "input/input.h"
#include "manifest/manifest.h"
#include "platform/platform.h"
#include "types/types.h"

namespace {

std::string destdir() {
    static const std::string dir = fuzz::scratchpath("dest");
    return dir;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Reads the types file and the manifest into a fresh run state and writes
// the manifest again: true when all of it succeeded.
bool readandwrite(std::string_view data) {
    // Relative to the working directory: the tool drops a destination's
    // leading '/' and works below the working directory.
    static const std::string dir = std::filesystem::relative(destdir()).string();
    runstate* rs = fuzz::newrunstate();
    static std::string* typesname = new std::string(fuzz::scratchpath("types"));
    rs->typesfile = typesname->data();
    rs->destdir = dir.c_str();
    rs->destdirlen = static_cast<int>(dir.size());
    bool typesread = false;
    int status = fuzz::runinput(data, [rs, &typesread] {
        rs->readingtypes = 1;
        typesread = readtypes(rs) == 0;
        rs->readingtypes = 0;
        if (!typesread) return;
        rs->readingmanifest = 1;
        readmanifest(rs);
        rs->readingmanifest = 0;
        atomicfile out;
        writemanifest(rs, &out);
        commitmanifest(rs, &out);
    });
    std::free(rs);
    if (!typesread) {
        std::fprintf(stderr, "fuzz_manifest: the fixed types file was not read\n");
        std::abort();
    }
    return status == -1;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::scratchdir();
    setdurable(false);  // a sync per input would only slow the fuzzer down
    fuzz::writefile("types", fuzz::fixedtypes);
    std::filesystem::create_directory(destdir());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    std::string_view data(reinterpret_cast<const char*>(bytes), size);
    fuzz::writefile("dest/manifest.txt", data);
    if (!readandwrite(data)) return 0;
    std::string first = slurp(destdir() + "/manifest.txt");
    if (!readandwrite(data)) {
        std::fprintf(stderr, "fuzz_manifest: a manifest the tool wrote is not read back:\n%s",
                     first.c_str());
        std::abort();
    }
    std::string second = slurp(destdir() + "/manifest.txt");
    if (second != first) {
        std::fprintf(stderr, "fuzz_manifest: rewriting changed the manifest:\n%s\n----\n%s",
                     first.c_str(), second.c_str());
        std::abort();
    }
    return 0;
}
