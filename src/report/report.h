// Reporting: every listing line, --verify finding, warning and run-ending
// error passes through here, and so does the summary of a run. The text
// form writes exactly what the tool has always written (listing on standard
// output, messages on standard error); with --json standard output carries
// one JSON object per event instead (JSON Lines, described in the user
// guide), while standard error keeps its messages. Standard output is
// flushed before anything goes to standard error, so the two keep their
// order in one pipe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Starts the report, once, before the first event: json (--json) puts JSON
// Lines on standard output, and its first object (the format and its
// version) is written; stats (--stats) adds a summary block after the run
// (text form). The run's clock starts. Also makes die() and the end of the
// run report through this module.
void reportbegin(bool json, bool stats);
// True when standard output carries JSON Lines.
bool reportjson();

// One action of the run, counted for the summary and, when shown (-v; --json
// turns -v on), a line of the listing or a JSON object. status is the listing's first
// character ('+' made, '-' left alone, '*' replaced, '=' or ' ' planned by a
// dry run, 'x' removed, 'n' written beside as <name>.new), kind its second
// ('D' directory, 'F' file, 'S' symbolic link, 'H' hard link). Links carry
// their target in existing (owner and group "-", mode 0); files and
// directories have existing null.
struct listing {
    char status;
    char kind;
    std::string_view owner;
    std::string_view group;
    unsigned mode;
    std::string_view path;
    const char* existing;
};
void reportlisting(const listing& line, bool shown);

// A changed file that a removal kept (the warning is reported separately);
// the listing shows no line for it, the JSON form an action "kept".
void reportkept(std::string_view path);

// One --verify finding ("missing", "modified", "outdated", "new",
// "unlisted", "ok") and its path; then the totals line.
void reportfinding(std::string_view word, std::string_view path);
void reportverifytotals(int checked, int differ);

// A line the verbose listing shows that is not an action (a source file that
// could not be examined, say): standard output, or a JSON "note".
void reportnote(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Messages for standard error: a warning, and an error (one that ends the
// run, or the message printed just before it ends). Both are printed as
// formatted (the format carries its own line end); the JSON form adds an
// object of type "warning" or "error" on standard output.
void reportwarning(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void reporterror(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Bytes written into destination files.
void reportbytes(std::uint64_t count);

// Ends the report with the run's exit status: the JSON summary object, or
// with --stats the plain-words summary. Runs at most once; die() and every
// other end of the run reach it too.
void reportend(int status);

// ---- for tests --------------------------------------------------------------

// Writes text to out as the body of a JSON string (without the quotes).
// Valid UTF-8 is kept as it is; control characters, '"' and '\\' are
// escaped. Returns false when text is not valid UTF-8: each byte that is not
// part of a valid sequence is then written as U+FFFD, and the caller adds the
// exact bytes in base64.
bool jsonescape(std::string* out, std::string_view text);
// Standard base64 (RFC 4648, with padding).
void base64(std::string* out, std::string_view bytes);
