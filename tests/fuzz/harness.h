// Shared by the fuzz targets: the per-process scratch directory the inputs
// are written into, the split of one input into several files, a fresh run
// state, and the run of one input through the run seam.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "driver/driver.h"
#include "ending/runseam.h"
#include "tree/tree.h"

namespace fuzz {

// The scratch directory made for this process; removed at exit. The run
// state's input file is in it, so that the tool looks there for the names it
// does not find in the working directory.
const std::string& scratchdir();
// scratchdir() + "/" + name.
std::string scratchpath(std::string_view name);
// Replaces the file name (relative to the scratch directory) with bytes.
void writefile(std::string_view name, std::string_view bytes);
// Removes the file when it exists.
void removefile(std::string_view name);

// An input holding several files: they are separated by lines "%%" (the
// newline before a separator stays with the file before it). At most
// maxparts files; the last one keeps the rest of the input.
std::vector<std::string_view> splitfiles(std::string_view data, std::size_t maxparts);

// A zero-filled run state with the driver's defaults, the input file
// scratchpath("install.ins") and fixed host facts (working directory
// "/build", the base directory of the entries); release with std::free after
// the input.
runstate* newrunstate();

// Runs body as one input through the run seam: the tool's allocations are
// freed afterwards and an end of the run comes back here as its status
// (-1 when body returned by itself). A failed internal check is counted and,
// when FP_FUZZ_CHECKDIR names a directory, the input that caused it is saved
// there once per condition.
template <class F>
int runinput(std::string_view data, F body);

// Saves the input of a failed internal check (see runinput).
void notecheck(std::string_view data, const char* check);

// Gives every typed entry of the tree without a source directory the one the
// install walk would have recorded, so that the manifest writer gets past it.
void setsources(fileinfo* first);

// The null device, for the writers the targets call.
std::FILE* nullstream();

// The types file of the input and manifest targets ("types" in the scratch
// directory): types with and without suffixes, directories of both trees, a
// directory reached through a key, and a link.
constexpr std::string_view fixedtypes =
    "set defdestdir=/opt/app\n"
    "set ver=1.2\n"
    "set libv=lib/v1.2\n"
    "set vdir=<libv>\n"
    "set host=$hostprefix\n"
    "file exe 0755 $bin $bin - win32=exe bin\n"
    "file lib 0755 $bin $bin - unix=so#,win32=dll# lib\n"
    "file conf 0644 $run $run substitute win32=ini /var/app\n"
    "file doc 0644 - - - - doc\n"
    "file unixonly 0644 $bin $bin linux - bin\n"
    "file src 0644 $bin $bin srcpath - lib\n"
    "dir 0755 $bin $bin - - bin\n"
    "dir 0755 $bin $bin - - lib\n"
    "dir 0755 $bin $bin - core <vdir>\n"
    "dir 0755 $bin $bin - - doc\n"
    "dir 0755 $run $run - - /var\n"
    "dir 0755 $run $run - core /var/app\n"
    "{win32}dir 0755 - - - - bin/<host>\n"
    "symlink existing=bin/tool.exe new=bin/tool\n";

template <class F>
int runinput(std::string_view data, F body) {
    int status = -1;
    runseam::begininput();
    try {
        body();
    } catch (const runseam::runended& end) {
        status = end.status;
        if (end.check != nullptr) notecheck(data, end.check);
    }
    runseam::endinput();
    return status;
}

}  // namespace fuzz
