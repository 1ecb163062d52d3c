// The input stage: the input file, the types file it names and the manifest
// of the previous run, read into the trees before anything is installed.
#pragma once

struct runstate;

// The input-file stage: 0, or -1 after a message.
int readinput(runstate* rs);

// The types-file pass: 0, or -1 after a message.
int readtypes(runstate* rs);
// One line: 1 handled, 0 "readconfig" without a name, -1 backslash in a
// symlink's new path (entry dropped).
int parsetypeline(int lineno, runstate* rs, const char* filename, char* end, char** cursor);
