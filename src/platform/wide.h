// Names as the Windows file calls take them: UTF-16, and past the classic
// length limit in the "\\?\" form. The tool holds every text as UTF-8; the
// Windows build converts a path at the call that takes it, through widepath()
// and nothing else. The conversions themselves are plain code, the same on
// every host, so that they are tested everywhere.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// UTF-8 text as UTF-16: false (out unspecified) when text is not valid UTF-8.
// A surrogate code point written in three bytes is taken as that UTF-16 unit,
// so a name that Windows holds with an unpaired surrogate comes back as it was
// listed (utf16toutf8 writes it so).
bool utf8toutf16(std::string_view text, std::u16string* out);
// UTF-16 text as UTF-8; an unpaired surrogate is written as its own code point
// in three bytes.
std::string utf16toutf8(std::u16string_view text);

// Paths at least this long (as absolute paths) go through the "\\?\" form:
// a directory's name must leave room for an 8.3 file name below it within
// the classic 260 characters.
constexpr std::size_t CLASSICPATHLIMIT = 248;

// The "\\?\" form of path: absolute (a relative path is taken from cwd, a
// path from the root or a drive-relative path from cwd's drive when it is the
// same one), separators as backslashes, no empty, "." or ".." components (a
// ".." goes up one level, never above the root); a UNC path becomes
// "\\?\UNC\server\share\...". A path already in that form is returned as it
// is. cwd is an absolute path with a drive or a UNC share.
std::u16string longpathform(std::u16string_view path, std::u16string_view cwd);
// Characters path has once made absolute against a working directory of
// cwdlen characters (a guess for drive-relative paths, which are rare).
std::size_t absolutelength(std::u16string_view path, std::size_t cwdlen);

#ifdef _WIN32
// A UTF-8 path as the wide file calls take it: converted (bytes that are not
// valid UTF-8 are read in the system's ANSI code page, as files written for a
// legacy code page name them), and in the "\\?\" form when it is long.
std::wstring widepath(const char* path);
// A UTF-8 text (no path) as UTF-16, with the same fallback.
std::wstring widetext(std::string_view text);
// A UTF-16 text of the system as UTF-8.
std::string narrowtext(const wchar_t* text);
#endif
