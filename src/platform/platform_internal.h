// Helpers shared by the platform files only; nothing outside src/platform/
// includes this header.
#pragma once

#include <cstdio>
#include <string>

#include "platform/platform.h"

// Creates path for writing only if nothing stands there, never through a
// link, with the given permissions (less the umask) and, for text, the host's
// line ends: descriptor, or -1 with errno.
int createexclusive(const char* path, bool text);
// Removes a plain file or a link standing at path (a link itself, never what
// it points to): 0 when nothing stands there any more, EEXIST when something
// else does, else the error number.
int removeleftover(const char* path);
// The host's flush of a batch of open files, as flushfiles describes it
// (without its fault hooks).
int flushbatch(const int* fds, std::size_t n, std::size_t* failed, const unsigned char* samefs);
// A text output stream on fd, which it then owns; null with errno.
std::FILE* textstream(int fd);
// Renames from to to; without replace an existing to is never replaced
// (EEXIST). 0 or the error number.
int movefile(const char* from, const char* to, bool replace);
// Copies path into buf for makedir: one leading '/' skipped, '/' turned into
// sep. False, with *r what makedir reports, when no directory is to be made:
// the path is longer than cap - 1 characters (failed: a directory is never
// made under a cut name), or it names a drive ("C:", there already).
bool copydirpath(char* buf, std::size_t cap, const char* path, char sep, dirresult* r);
// A message formatted as printf would print it.
std::string formatmessage(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// The message of a directory that could not be made: path, the host's text
// for the error and its number.
std::string dirfailure(const char* path, const char* text, int code);

// The name a file in use is moved aside to within its directory (n from 1
// tells several apart).
std::string asidename(const char* path, int n);
// A warning of this layer: through the warning sink when one is set,
// else on standard error (standard output flushed first).
void hostwarning(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Notes a file moved aside that could not be deleted (see filesleftaside).
void noteaside(const char* path, const char* aside);
