// Checks of the run seam that the fuzz targets rely on: every way the tool
// ends a run comes back to the harness with its status, and every block an
// input allocated is freed after it, however the input ended, so that memory
// stays flat over many inputs.
#include <sanitizer/allocator_interface.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "ending/ending.h"
#include "harness.h"
#include "input/input.h"
#include "platform/platform.h"
#include "text/text.h"
#include "types/types.h"

namespace {

int passed = 0;
int failed = 0;

void expect(bool ok, const char* what) {
    if (ok) {
        passed++;
    } else {
        failed++;
        std::printf("FAILED: %s\n", what);
        std::fflush(stdout);  // a leak report at exit ends the process unflushed
    }
}

std::size_t heapbytes() { return __sanitizer_get_current_allocated_bytes(); }

// Reads the types file named name in the scratch directory with a fresh run
// state; the run's status (-1 when it ended by itself) and, in *live, the
// input's blocks that were live at its end.
int readtypesfile(const char* name, std::size_t* live) {
    static std::string path;
    path = fuzz::scratchpath(name);
    runstate* rs = fuzz::newrunstate();
    rs->typesfile = path.data();
    rs->destdir = "/opt/app";
    *live = 0;
    int status = fuzz::runinput("", [rs, live] {
        readtypes(rs);
        *live = runseam::liveblocks();
    });
    std::free(rs);
    return status;
}

void checkstatuses() {
    expect(fuzz::runinput("", [] { die("%s", ""); }) == 1, "die() comes back with status 1");
    expect(fuzz::runinput("", [] { endrun(0); }) == 0, "endrun(0) comes back with status 0");
    expect(fuzz::runinput("", [] { usage("fileplacer"); }) == 1, "usage comes back with status 1");
    expect(fuzz::runinput("", [] {}) == -1, "an input that returns has no status");
    const char* check = nullptr;
    runseam::begininput();
    try {
        FP_CHECK(check != nullptr);
    } catch (const runseam::runended& end) {
        check = end.check;
    }
    runseam::endinput();
    expect(check != nullptr && std::string(check) == "check != nullptr",
           "a failed check comes back with its condition");
}

void checkblocks() {
    fuzz::writefile("good", fuzz::fixedtypes);
    // The error comes after keys, types and tree entries were made.
    fuzz::writefile("bad", std::string(fuzz::fixedtypes) + "dir 0755 - - - - missing/dir\n");
    std::size_t live = 0;
    readtypesfile("good", &live);  // first use of the C library's buffers
    std::size_t before = heapbytes();
    expect(readtypesfile("good", &live) == -1, "the fixed types file is read");
    expect(live > 0, "the blocks of a read are recorded");
    expect(runseam::liveblocks() == 0, "no block stays recorded after an input");
    expect(heapbytes() == before, "a read that succeeds leaves no block behind");
    expect(readtypesfile("bad", &live) == 1, "a types file with a missing directory ends the run");
    expect(heapbytes() == before, "a read that ended the run leaves no block behind");
    for (int i = 0; i < 2000; i++) {
        readtypesfile("good", &live);
        readtypesfile("bad", &live);
    }
    expect(heapbytes() == before, "memory stays flat over many inputs");
}

// Blocks made outside an input are not the input's, even when the input
// grows them.
void checkoutside() {
    char* out = nullptr;
    std::size_t outlen = 0;
    subkey* keys[HASHSIZE] = {};
    memdupsub(&out, &outlen, "outside", 7, keys, 18);
    char* end = out + outlen;
    char* next = end;
    fuzz::runinput("", [&] { memgrowdup(&out, &next, &end, " and inside", 11); });
    expect(std::string(out, static_cast<std::size_t>(next - out)) == "outside and inside",
           "a block from before the input survives it");
    std::free(out);  // never recorded, so the real allocator's
}

}  // namespace

int main() {
    // The tool's messages for the runs that end on purpose.
    if (std::freopen("/dev/null", "w", stderr) == nullptr) return 1;
    checkstatuses();
    checkblocks();
    checkoutside();
    std::printf("seamcheck: %d passed, %d failed\n", passed, failed);
    std::fflush(stdout);
    return failed == 0 ? 0 : 1;
}
