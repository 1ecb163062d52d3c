// The two forms of the report: the listing and messages as text, or JSON
// Lines; and the counts behind the run's summary.
#include "report/report.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "ending/ending.h"
#include "platform/platform.h"

namespace {

// Listing statuses and kinds, in the order of the count table. 'k' is the
// kept file, which the text listing does not show.
constexpr std::string_view statuses = "+-*= xnk";
constexpr std::string_view kinds = "DFSH";

constexpr const char* actionwords[] = {"created", "unchanged", "replaced",    "planned",
                                       "planned", "removed",   "written_new", "kept"};
constexpr const char* kindwords[] = {"directory", "file", "symlink", "hardlink"};

// One count of the summary: the listing lines whose status and kind are
// among those given.
struct counter {
    const char* key;    // JSON name
    const char* words;  // --stats wording
    std::string_view statuses;
    std::string_view kinds;
};

constexpr counter counters[] = {
    {"directories_made", "directories made", "+", "D"},
    {"directories_existing", "directories already there", "-", "D"},
    {"files_installed", "files installed", "+", "F"},
    {"files_replaced", "files replaced", "*", "F"},
    {"files_unchanged", "files left alone", "-", "F"},
    {"files_new", "files written beside as .new", "n", "F"},
    {"links_made", "links made", "+", "SH"},
    {"links_existing", "links already there", "-", "SH"},
    {"planned", "actions a real run would take (-n)", "= ", "DFSH"},
    {"files_removed", "files removed", "x", "F"},
    {"links_removed", "links removed", "x", "SH"},
    {"directories_removed", "directories removed", "x", "D"},
    {"files_kept", "changed files kept", "k", "F"},
};

struct reportstate {
    bool json = false;
    bool stats = false;
    bool begun = false;
    bool ended = false;
    std::chrono::steady_clock::time_point start;
    std::uint64_t counts[statuses.size()][kinds.size()] = {};
    std::uint64_t bytes = 0;
    std::uint64_t warnings = 0;
    std::uint64_t errors = 0;
    int checked = 0;
    int differ = 0;
    std::string line;  // the JSON object being built
};

reportstate state;

void count(char status, char kind) {
    std::size_t s = statuses.find(status);
    std::size_t k = kinds.find(kind);
    if (s != std::string_view::npos && k != std::string_view::npos) state.counts[s][k]++;
}

std::uint64_t total(const counter& c) {
    std::uint64_t n = 0;
    for (char s : c.statuses)
        for (char k : c.kinds) n += state.counts[statuses.find(s)][kinds.find(k)];
    return n;
}

// Every count of the summary in its order, as f(JSON name, --stats wording,
// value).
template <class F>
void eachcount(F f) {
    for (const counter& c : counters) f(c.key, c.words, total(c));
    f("checked", "files checked", static_cast<std::uint64_t>(state.checked));
    f("differ", "files that differ", static_cast<std::uint64_t>(state.differ));
    f("warnings", "warnings", state.warnings);
    f("errors", "errors", state.errors);
}

// ---- JSON objects -----------------------------------------------------------

void open(const char* type) {
    state.line.assign("{\"type\":\"");
    state.line.append(type);
    state.line.push_back('"');
}

// ,"name":"text" and, when text is not valid UTF-8, ,"name_base64":"..."
void field(const char* name, std::string_view text) {
    std::string& l = state.line;
    l.append(",\"").append(name).append("\":\"");
    bool valid = jsonescape(&l, text);
    l.push_back('"');
    if (!valid) {
        l.append(",\"").append(name).append("_base64\":\"");
        base64(&l, text);
        l.push_back('"');
    }
}

void number(const char* name, std::uint64_t value) {
    state.line.append(",\"").append(name).append("\":").append(std::to_string(value));
}

void close() {
    state.line.append("}\n");
    std::fwrite(state.line.data(), 1, state.line.size(), stdout);
}

// A message as printed, less its final line end.
void message(const char* type, std::string_view text) {
    if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    open(type);
    field("message", text);
    close();
}

std::string format(const char* fmt, va_list args) {
    va_list again;
    va_copy(again, args);
    int n = std::vsnprintf(nullptr, 0, fmt, again);
    va_end(again);
    std::string text(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
    std::vsnprintf(text.data(), text.size() + 1, fmt, args);
    return text;
}

// A message for standard error, after standard output is out.
void tostderr(const char* type, const char* fmt, va_list args) {
    clearstatus();
    std::fflush(stdout);
    if (!state.json) {
        std::vfprintf(stderr, fmt, args);
        return;
    }
    va_list again;
    va_copy(again, args);
    bool printed = false;
    try {
        std::string text = format(fmt, args);
        std::fputs(text.c_str(), stderr);
        printed = true;
        message(type, text);
    } catch (...) {
        // Out of memory: the message still reaches standard error.
        if (!printed) std::vfprintf(stderr, fmt, again);
    }
    va_end(again);
}

void warned(const char* text) { reportwarning("%s", text); }

void failed(const char* text) {
    state.errors++;
    if (!state.json || *text == '\0') return;
    // The run is ending, perhaps for want of memory: the object is left out
    // rather than the end of the run lost.
    try {
        message("error", text);
    } catch (...) {
    }
}

// ---- the plain-words summary --------------------------------------------------

void printstats(int status, double seconds) {
    std::printf("Summary:\n");
    eachcount([](const char*, const char* words, std::uint64_t n) {
        std::printf("  %s: %llu\n", words, static_cast<unsigned long long>(n));
    });
    std::printf("  bytes copied: %llu\n", static_cast<unsigned long long>(state.bytes));
    std::printf("  seconds: %.3f\n", seconds);
    std::printf("  exit status: %d\n", status);
}

}  // namespace

// ---- escaping -----------------------------------------------------------------

bool jsonescape(std::string* out, std::string_view text) {
    static constexpr char hex[] = "0123456789abcdef";
    bool valid = true;
    std::size_t i = 0;
    std::size_t n = text.size();
    while (i < n) {
        // Runs of plain printable ASCII are copied in one piece.
        std::size_t j = i;
        while (j < n) {
            auto c = static_cast<unsigned char>(text[j]);
            if (c < 0x20 || c >= 0x80 || c == '"' || c == '\\') break;
            j++;
        }
        out->append(text.data() + i, j - i);
        i = j;
        if (i == n) break;
        auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            // Five characters have a letter of their own; other controls
            // are written as \u00XX.
            std::size_t named = std::string_view("\"\\\n\r\t").find(static_cast<char>(c));
            out->push_back('\\');
            if (named != std::string_view::npos) {
                out->push_back("\"\\nrt"[named]);
            } else {
                out->append("u00");
                out->push_back(hex[c >> 4]);
                out->push_back(hex[c & 15]);
            }
            i++;
            continue;
        }
        // A UTF-8 sequence: a lead byte from 0xc2 to 0xf4, its length, and
        // the range of its second byte (which rules out overlong forms,
        // surrogates and code points above U+10FFFF).
        std::size_t len = c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : 2;
        unsigned char lo = c == 0xe0 ? 0xa0 : c == 0xf0 ? 0x90 : 0x80;
        unsigned char hi = c == 0xed ? 0x9f : c == 0xf4 ? 0x8f : 0xbf;
        bool ok = c >= 0xc2 && c <= 0xf4 && i + len <= n;
        for (std::size_t k = 1; ok && k < len; k++) {
            auto b = static_cast<unsigned char>(text[i + k]);
            ok = k == 1 ? (b >= lo && b <= hi) : (b >= 0x80 && b <= 0xbf);
        }
        if (ok) {
            out->append(text.data() + i, len);
            i += len;
        } else {
            out->append("\xef\xbf\xbd");  // U+FFFD for the one byte
            valid = false;
            i++;
        }
    }
    return valid;
}

void base64(std::string* out, std::string_view bytes) {
    static constexpr char digits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    // Each group of three bytes (the last one padded with zero bits) gives
    // four digits; a short last group of n bytes keeps n + 1 and pads with '='.
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        std::size_t take = std::min<std::size_t>(3, bytes.size() - i);
        unsigned v = 0;
        for (std::size_t k = 0; k < 3; k++)
            v = v << 8 | (k < take ? static_cast<unsigned char>(bytes[i + k]) : 0u);
        for (std::size_t k = 0; k < 4; k++)
            out->push_back(k <= take ? digits[(v >> (18 - 6 * k)) & 63] : '=');
    }
}

// ---- events -------------------------------------------------------------------

void reportbegin(bool json, bool stats) {
    state.json = json;
    state.stats = stats;
    state.begun = true;
    state.start = std::chrono::steady_clock::now();
    runhooks hooks = currentrunhooks();
    hooks.failed = failed;
    hooks.ending = reportend;
    hooks.warned = warned;
    setrunhooks(hooks);
    if (!state.json) return;
    open("format");
    field("format", "fileplacer-json");
    number("version", 1);
    field("program_version", FP_VERSION);
    close();
}

bool reportjson() { return state.json; }

void reportlisting(const listing& l, bool shown) {
    count(l.status, l.kind);
    if (!shown) return;
    clearstatus();
    if (!state.json) {
        std::printf("%c%c %-7.*s %-7.*s %4o %.*s", l.status, l.kind,
                    static_cast<int>(l.owner.size()), l.owner.data(),
                    static_cast<int>(l.group.size()), l.group.data(), l.mode,
                    static_cast<int>(l.path.size()), l.path.data());
        if (l.existing != nullptr) std::printf(" existing=%s", l.existing);
        std::putchar('\n');
        return;
    }
    std::size_t s = statuses.find(l.status);
    std::size_t k = kinds.find(l.kind);
    open("action");
    field("action", s != std::string_view::npos ? actionwords[s] : "other");
    field("kind", k != std::string_view::npos ? kindwords[k] : "other");
    const char status[] = {l.status, l.kind, '\0'};
    field("status", status);
    field("path", l.path);
    if (l.existing != nullptr) {
        field("target", l.existing);
    } else {
        field("owner", l.owner);
        field("group", l.group);
        char mode[16];
        std::snprintf(mode, sizeof mode, "%o", l.mode);
        field("mode", mode);
    }
    close();
}

void reportkept(std::string_view path) {
    count('k', 'F');
    if (!state.json) return;
    open("action");
    field("action", "kept");
    field("kind", "file");
    field("path", path);
    close();
}

void reportfinding(std::string_view word, std::string_view path) {
    if (!state.json) {
        std::printf("%.*s %.*s\n", static_cast<int>(word.size()), word.data(),
                    static_cast<int>(path.size()), path.data());
        return;
    }
    open("finding");
    field("finding", word);
    field("path", path);
    close();
}

void reportverifytotals(int checked, int differ) {
    state.checked = checked;
    state.differ = differ;
    if (!state.json) std::printf("%d checked, %d differ\n", checked, differ);
}

void reportnote(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    if (!state.json) {
        std::vprintf(fmt, args);
    } else {
        message("note", format(fmt, args));
    }
    va_end(args);
}

void reportwarning(const char* fmt, ...) {
    state.warnings++;
    va_list args;
    va_start(args, fmt);
    tostderr("warning", fmt, args);
    va_end(args);
}

void reporterror(const char* fmt, ...) {
    state.errors++;
    va_list args;
    va_start(args, fmt);
    tostderr("error", fmt, args);
    va_end(args);
}

void reportbytes(std::uint64_t count) { state.bytes += count; }

void reportend(int status) {
    if (!state.begun || state.ended) return;
    state.ended = true;
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - state.start).count();
    if (!state.json) {
        if (state.stats) printstats(status, seconds);
        std::fflush(stdout);
        return;
    }
    open("summary");
    state.line.append(",\"counts\":{");
    std::size_t first = state.line.size();
    eachcount([](const char* key, const char*, std::uint64_t n) { number(key, n); });
    state.line.erase(first, 1);  // the comma before the first count
    state.line.push_back('}');
    number("bytes_copied", state.bytes);
    char buf[48];
    std::snprintf(buf, sizeof buf, ",\"seconds\":%.3f,\"status\":%d", seconds, status);
    state.line.append(buf);
    close();
    std::fflush(stdout);
}
