// Names that Windows forbids or treats as something else than a file: the
// device names, names ending in a dot or a blank (Windows drops those
// characters, so two names would be one file), and names holding a character
// that Windows keeps for paths, wildcards and streams. Both builds refuse
// them where they enter, so that a tree staged on any host installs on
// Windows as listed.
#pragma once

#include <string_view>

// Null when the single name component name is fine on Windows, else a short
// reason ("a device name", "ends in a dot", ...). "." and ".." are not names
// and pass.
const char* windowsforbidden(std::string_view name);

// The same check for each '/'-separated component of path; a drive ("C:")
// as the first component (after an optional leading '/') is allowed. Null
// when every component is fine, else the reason, with *name set to the
// component it is about.
const char* windowsforbiddenpath(std::string_view path, std::string_view* name);
