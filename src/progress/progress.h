// Progress of a long run: with --progress, and only when standard error is a
// terminal, one line there (files done of total, bytes copied, rate),
// rewritten in place at most ten times a second and erased at the end.
#pragma once

#include <cstdint>

struct runstate;

// Begins showing progress when the run asked for it and standard error is a
// terminal; the total is the number of file entries the walk may install.
void progressstart(const runstate* rs);
// The walk is done with one file entry.
void progressfile();
// Bytes written to a destination file.
void progressbytes(std::uint64_t count);
// Erases the line for good.
void progressend();
