// The run seam of the fuzz build. The tool ends the process when an input is
// bad and frees nothing, by design; a fuzz harness runs many inputs in one
// process instead. With FP_FUZZ defined (the fuzz build only), endrun() throws
// runended back to the harness, and every block the tool allocates between
// begininput() and endinput() is freed by endinput(). Release and test builds
// have none of this: there endrun() ends the process.
#pragma once

#ifdef FP_FUZZ

#include <cstddef>

namespace runseam {

// Thrown by endrun() (so by die() and checkfailed() too) in the fuzz build.
struct runended {
    int status;
    const char* check;  // the failed internal check, else null
};

// From now on the tool's allocations (malloc, calloc, realloc and operator
// new) belong to the input being run.
void begininput();
// Frees every block allocated since begininput() that is still live, stops
// recording and returns how many blocks that was.
std::size_t endinput();
// Blocks of the current input that are live now.
std::size_t liveblocks();

}  // namespace runseam

#endif
