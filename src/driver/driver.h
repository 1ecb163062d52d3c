// Driver: the top of the run: the command line, the package list and the
// host facts.
#pragma once

#include <cstddef>

#include "run/run.h"

// Prints the usage text on standard error and ends with status 1.
[[noreturn]] void usage(const char* progname);
// What the run does, from its options.
runmode modeof(const runstate* rs);
// Replaces the package list by the ':'-separated names of text (cut in place).
void parsepkglist(runstate* rs, char* text);

// Host facts that need no system service beyond the C runtime.
void getdatetime(char* buf, std::size_t cap);
int getdcpath(const char* hostname, char* buf, std::size_t cap);
