// Fault injection for the tests (see faults.h); compiled only in a build
// configured with FP_FAULTS.
#if defined(FP_FAULTS)

#include "platform/faults.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/platform.h"

namespace {

struct errorname {
    std::string_view name;
    int number;
};

constexpr errorname errornames[] = {
    {"ENOSPC", ENOSPC}, {"EIO", EIO},       {"EACCES", EACCES}, {"EINTR", EINTR},
    {"EPERM", EPERM},   {"EROFS", EROFS},   {"ENOENT", ENOENT}, {"EEXIST", EEXIST},
};

constexpr std::string_view opnames[FAULTOPS] = {"open",  "read",  "write",  "close",
                                                "rename", "mkdir", "unlink", "stat"};

// One selected failure: the n-th call of op fails with err.
struct faultrule {
    faultop op;
    long n;
    int err;
};

constexpr int MAXRULES = 8;

struct faultstate {
    faultrule rules[MAXRULES];
    int nrules = 0;
    long calls[FAULTOPS] = {};
    std::FILE* trace = nullptr;
    const char* countfile = nullptr;
};

faultstate state;

const char* errorlabel(int err) {
    for (const errorname& e : errornames)
        if (e.number == err) return e.name.data();
    return "?";
}

bool parseop(std::string_view text, faultop* op) {
    const std::string_view* found = std::find(std::begin(opnames), std::end(opnames), text);
    *op = static_cast<faultop>(found - opnames);
    return found != std::end(opnames);
}

bool parsecount(std::string_view text, long* n) {
    if (text.empty() || text.size() > 9) return false;
    long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    *n = value;
    return value > 0;
}

bool parseerror(std::string_view text, int* err) {
    const errorname* found = std::find_if(std::begin(errornames), std::end(errornames),
                                          [text](const errorname& e) { return e.name == text; });
    *err = found != std::end(errornames) ? found->number : 0;
    return found != std::end(errornames);
}

// "<op>:<n>:<error>" into rule.
bool parserule(std::string_view text, faultrule* rule) {
    std::size_t first = text.find(':');
    if (first == std::string_view::npos) return false;
    std::size_t second = text.find(':', first + 1);
    if (second == std::string_view::npos) return false;
    return parseop(text.substr(0, first), &rule->op) &&
           parsecount(text.substr(first + 1, second - first - 1), &rule->n) &&
           parseerror(text.substr(second + 1), &rule->err);
}

void writecounts() {
    if (state.trace != nullptr) std::fflush(state.trace);
    if (state.countfile == nullptr) return;
    std::FILE* out = std::fopen(state.countfile, "w");
    if (out == nullptr) return;
    for (int i = 0; i < FAULTOPS; i++)
        std::fprintf(out, "%s %ld\n", opnames[i].data(), state.calls[i]);
    std::fclose(out);
}

// Reads the environment once, before the program starts.
struct faultsetup {
    faultsetup() {
        const char* selection = std::getenv("FP_FAULT");
        if (selection != nullptr && !faultselect(selection)) {
            std::fprintf(stderr, "fileplacer: FP_FAULT not understood: '%s'\n", selection);
            std::exit(1);
        }
        if (const char* path = std::getenv("FP_FAULT_TRACE"); path != nullptr)
            state.trace = std::fopen(path, "w");
        state.countfile = std::getenv("FP_FAULT_COUNT");
        std::atexit(writecounts);
    }
};

faultsetup setup;

// Counts one call of op and writes its trace line: the error it is to fail
// with, else 0. errno is left as it was.
int countcall(faultop op, const char* fn, const char* path) {
    int saved = errno;
    int index = static_cast<int>(op);
    long n = ++state.calls[index];
    int err = 0;
    for (int i = 0; i < state.nrules && err == 0; i++)
        if (state.rules[i].op == op && state.rules[i].n == n) err = state.rules[i].err;
    if (state.trace != nullptr) {
        std::fprintf(state.trace, "%s %ld %s %s", opnames[index].data(), n, fn, path);
        if (err != 0) std::fprintf(state.trace, " !%s", errorlabel(err));
        std::fputc('\n', state.trace);
    }
    errno = saved;
    return err;
}

// The text stream's descriptor and buffer.
struct streamcookie {
    int fd;
    std::unique_ptr<char[]> buffer;
};

// The text stream's functions: writes go through writefd, each buffer whole
// unless a call fails (as the host's own file streams write), and a failure
// is left to the stream to report, EINTR included (the host's streams do not
// retry it either).
ssize_t streamwrite(void* cookie, const char* buf, std::size_t size) {
    int fd = static_cast<streamcookie*>(cookie)->fd;
    std::size_t done = 0;
    while (done < size) {
        long n = writefd(fd, buf + done, size - done);
        if (n < 0) return done > 0 ? static_cast<ssize_t>(done) : -1;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

// The stream writes nothing more once it is closed: its buffer goes too.
int streamclose(void* cookie) {
    auto* c = static_cast<streamcookie*>(cookie);
    int fd = c->fd;
    delete c;
    return closefd(fd);
}

// Set in a thread whose calls were counted ahead.
thread_local bool quiet = false;

}  // namespace

void faultquiet(bool on) { quiet = on; }

int faultcheck(faultop op, const char* fn, const char* path) {
    return quiet ? 0 : countcall(op, fn, path);
}

int faultcheck(faultop op, const char* fn, int fd) {
    if (quiet) return 0;
    int saved = errno;
    char path[1100] = "?";
    if (state.trace != nullptr) {
        char link[64];
        std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        ssize_t n = readlink(link, path, sizeof path - 1);
        if (n < 0) n = std::snprintf(path, sizeof path, "fd:%d", fd);
        path[n] = '\0';
    }
    errno = saved;
    return countcall(op, fn, path);
}

bool faultselect(std::string_view selection) {
    faultrule rules[MAXRULES];
    int count = 0;
    // Rules separated by commas, each one whole: an empty one is refused.
    for (bool more = !selection.empty(); more;) {
        std::size_t comma = selection.find(',');
        if (count == MAXRULES || !parserule(selection.substr(0, comma), &rules[count])) return false;
        count++;
        more = comma != std::string_view::npos;
        if (more) selection.remove_prefix(comma + 1);
    }
    std::memcpy(state.rules, rules, sizeof rules);
    state.nrules = count;
    for (long& n : state.calls) n = 0;
    return true;
}

long faultcalls(faultop op) { return state.calls[static_cast<int>(op)]; }

int faultfail(int err) {
    errno = err;
    return -1;
}

int faultclose(int fd, int err) {
    close(fd);
    return faultfail(err);
}

std::FILE* faulttextstream(int fd) {
    // A buffer of the size the host's own stream on this file would have, so
    // that the writes come in the same pieces.
    struct stat st;
    std::size_t size = BUFSIZ;
    if (fstat(fd, &st) == 0 && st.st_blksize > 0) size = static_cast<std::size_t>(st.st_blksize);
    auto* cookie = new streamcookie{fd, std::make_unique<char[]>(size)};
    cookie_io_functions_t functions{};
    functions.write = streamwrite;
    functions.close = streamclose;
    std::FILE* stream = fopencookie(cookie, "w", functions);
    if (stream == nullptr) {
        delete cookie;
        return nullptr;
    }
    std::setvbuf(stream, cookie->buffer.get(), _IOFBF, size);
    return stream;
}

#endif  // FP_FAULTS
