// Platform functions whose behaviour is the same on every host: the status
// line, what a failing run leaves, warnings, the win32 id lookup and link
// operation, ASCII case folding, paths as a Windows host reads them and the
// host-independent half of the crash-safe output files.
#include "platform/platform.h"
#include "platform/platform_internal.h"
#include "platform/faults.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace {

// The output files whose temporaries exist and are not yet committed, most
// recent first; discardpending() removes them so that a failed run leaves
// no partial file behind.
atomicfile* pendingfiles = nullptr;

bool durability = true;

// Characters of the status line on the terminal now, 0 when none is shown.
std::size_t statuslength = 0;

void (*warningsink)(const char* message) = nullptr;

int foldascii(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c; }

constexpr const char ASIDETAG[] = ".inuse~";

std::vector<asidefile> asides;

// The error a failed call left in errno, EIO when it left none.
int lasterror() { return errno != 0 ? errno : EIO; }

}  // namespace

void showstatus(const char* text) {
    std::size_t len = std::strlen(text);
    // Blanks over what is left of a longer line shown before.
    int pad = statuslength > len ? static_cast<int>(statuslength - len) : 0;
    std::fprintf(stderr, "\r%s%*s", text, pad, "");
    if (pad > 0) std::fprintf(stderr, "\r%s", text);
    std::fflush(stderr);
    statuslength = len;
}

void clearstatus() {
    if (statuslength == 0) return;
    std::fprintf(stderr, "\r%*s\r", static_cast<int>(statuslength), "");
    std::fflush(stderr);
    statuslength = 0;
}

void discardpending() {
    while (pendingfiles != nullptr) atomicdiscard(pendingfiles);
}

void setwarningsink(void (*sink)(const char* message)) { warningsink = sink; }

void hostwarning(const char* fmt, ...) {
    static char message[4096];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(message, sizeof message, fmt, args);
    va_end(args);
    if (warningsink != nullptr) {
        warningsink(message);
        return;
    }
    std::fflush(stdout);
    std::fputs(message, stderr);
}

void setdurable(bool on) { durability = on; }

bool durable() { return durability; }

int lookupid(const char**, int* id, int* namelen) {
    *id = 0;
    *namelen = 0;
    return 0;
}

int makelink(const char*, const char*) { return 0; }

std::string asidename(const char* path, int n) {
    return std::string(path) + ASIDETAG + std::to_string(n);
}

void noteaside(const char* path, const char* aside) { asides.push_back({path, aside}); }

const std::vector<asidefile>& filesleftaside() { return asides; }

bool isasidename(const std::string& path) {
    std::size_t tag = path.rfind(ASIDETAG);
    if (tag == std::string::npos || tag == 0 || pathseparator(path[tag - 1])) return false;
    std::size_t digits = tag + sizeof ASIDETAG - 1;
    return digits < path.size() && path.find_first_not_of("0123456789", digits) == std::string::npos;
}

bool pathseparator(char c) { return c == '/' || c == '\\'; }

bool parentname(std::string_view name) {
    return name.size() >= 2 && name[0] == '.' && name[1] == '.' &&
           name.find_first_not_of(". ") == std::string_view::npos;
}

bool startsdrive(std::string_view path) {
    return path.size() >= 2 && ((path[0] | 0x20) >= 'a' && (path[0] | 0x20) <= 'z') && path[1] == ':';
}

bool absolutepath(const char* path) {
    return pathseparator(path[0]) || (path[0] != '\0' && path[1] == ':');
}

int strnicmpascii(const char* a, const char* b, std::size_t n) {
    for (std::size_t i = 0; i < n; i++) {
        int ca = foldascii(static_cast<unsigned char>(a[i]));
        int cb = foldascii(static_cast<unsigned char>(b[i]));
        if (ca != cb) return ca - cb;
        if (ca == 0) return 0;
    }
    return 0;
}

// ---- crash-safe output files: the host-independent steps ----------------

namespace {

// Copies path and tmppath into f; ENAMETOOLONG when either does not fit.
int atomicnames(atomicfile* f, const char* path, const char* tmppath) {
    std::size_t plen = std::strlen(path);
    std::size_t tlen = std::strlen(tmppath);
    if (plen >= sizeof f->path || tlen >= sizeof f->tmppath) return ENAMETOOLONG;
    std::memcpy(f->path, path, plen + 1);
    std::memcpy(f->tmppath, tmppath, tlen + 1);
    return 0;
}

// The temporary's descriptor: made exclusively, once more after a leftover
// plain file or link was removed. -1 with errno.
int opentemporary(const char* tmppath, bool text) {
    int fd = createexclusive(tmppath, text);
    if (fd >= 0 || errno != EEXIST) return fd;
    int err = removeleftover(tmppath);
    if (err != 0) {
        errno = err;
        return -1;
    }
    return createexclusive(tmppath, text);
}

// Forgets f as pending once its temporary is gone or committed. The list is
// linked both ways: hundreds of copies may wait for their flush, and each
// leaves it in constant time.
void atomicend(atomicfile* f) {
    bool listed = f->active;
    f->active = false;
    if (!listed) return;
    if (f->prevpending != nullptr) f->prevpending->nextpending = f->nextpending;
    else if (pendingfiles == f) pendingfiles = f->nextpending;
    if (f->nextpending != nullptr) f->nextpending->prevpending = f->prevpending;
    f->nextpending = nullptr;
    f->prevpending = nullptr;
}

// The fault hooks of a batch flush, counted by the calling thread so that a
// sweep meets the same calls in the same order on every run.
int flushfaults([[maybe_unused]] const int* fds, std::size_t n, std::size_t* failed) {
    for (std::size_t i = 0; i < n; i++) {
        if (int err = FP_FAULT_AS(write, "flushfiles", fds[i]); err != 0) {
            *failed = i;
            return err;
        }
    }
    return 0;
}

// The faults of a commit made by the flushing thread, counted beforehand by
// the thread that starts it: of its close, then of its rename.
struct commitfault {
    int close = 0;
    int rename = 0;
};

commitfault commitfaults([[maybe_unused]] const atomicfile* f) {
    return {FP_FAULT_AS(close, "closefd", f->fd), FP_FAULT_AS(rename, "movefile", f->path)};
}

}  // namespace

int atomicopen(atomicfile* f, const char* path, const char* tmppath, bool text) {
    f->fd = -1;
    f->stream = nullptr;
    f->active = false;
    int err = atomicnames(f, path, tmppath);
    if (err != 0) return err;
    int fd = opentemporary(f->tmppath, text);
    if (fd < 0) return lasterror();
    f->datafd = fd;
    if (text) {
        f->stream = textstream(fd);
        if (f->stream == nullptr) {
            err = lasterror();
            closefd(fd);
            removepath(f->tmppath, {.plain = true});
            return err;
        }
    } else {
        f->fd = fd;
    }
    f->active = true;
    f->prevpending = nullptr;
    f->nextpending = pendingfiles;
    if (pendingfiles != nullptr) pendingfiles->prevpending = f;
    pendingfiles = f;
    return 0;
}

int flushfiles(const int* fds, std::size_t n, std::size_t* failed, const unsigned char* samefs) {
    if (int err = flushfaults(fds, n, failed); err != 0) return err;
    return flushbatch(fds, n, failed, samefs);
}

struct flushjob {
    std::vector<int> fds;
    std::vector<unsigned char> samefs;
    std::vector<flushcommit> commits;
    std::vector<commitfault> faults;
    std::vector<int> committed;
    std::thread worker;
    int err = 0;
    std::size_t failed = 0;
    std::atomic<bool> done{false};
};

namespace {

// Closes and renames the files of the job in order until one fails, as
// atomiccommit does; the list of pending files is left to waitflush.
void commitall(flushjob* job) {
    FP_FAULT_QUIET(true);  // the calls were counted by the starting thread
    for (std::size_t i = 0; i < job->commits.size(); i++) {
        atomicfile* f = job->commits[i].file;
        const commitfault& fault = job->faults[i];
        int err = atomicclose(f);
        if (fault.close != 0) err = fault.close;
        if (err == 0) err = fault.rename != 0 ? fault.rename : movefile(f->tmppath, f->path, false);
        job->committed[i] = err;
        if (err != 0) break;
    }
    FP_FAULT_QUIET(false);
}

}  // namespace

flushjob* startflush(const int* fds, std::size_t n, const unsigned char* samefs,
                     const flushcommit* commits, std::size_t ncommits) {
    auto* job = new flushjob;
    job->err = flushfaults(fds, n, &job->failed);
    if (job->err != 0 || n == 0) {
        job->done = true;
        return job;
    }
    job->fds.assign(fds, fds + n);
    if (samefs != nullptr) job->samefs.assign(samefs, samefs + n);
    // The thread commits up to the first replacement: replacing a file
    // another program holds may set it aside and warn (on Windows), which is
    // the calling thread's to do.
    for (std::size_t i = 0; i < ncommits && !commits[i].replace; i++) {
        job->commits.push_back(commits[i]);
        job->faults.push_back(commitfaults(commits[i].file));
    }
    job->committed.assign(ncommits, NOTCOMMITTED);
    auto flush = [job] {
        job->err = flushbatch(job->fds.data(), job->fds.size(), &job->failed,
                              job->samefs.empty() ? nullptr : job->samefs.data());
        if (job->err == 0) commitall(job);
        job->done = true;
    };
    try {
        job->worker = std::thread(flush);
    } catch (const std::system_error&) {
        flush();  // no thread to be had: the flush is made here and now
    }
    return job;
}

bool flushdone(const flushjob* job) { return job->done; }

int waitflush(flushjob* job, std::size_t* failed, std::vector<int>* committed) {
    if (job->worker.joinable()) job->worker.join();
    int err = job->err;
    *failed = job->failed;
    // The bookkeeping of atomiccommit, made here in the calling thread.
    for (std::size_t i = 0; i < job->commits.size(); i++) {
        int result = job->committed[i];
        if (result == 0) atomicend(job->commits[i].file);
        else if (result != NOTCOMMITTED) atomicdiscard(job->commits[i].file);
    }
    if (committed != nullptr) *committed = std::move(job->committed);
    delete job;
    return err;
}

int atomicsync(atomicfile* f) {
    if (f->stream != nullptr && std::fflush(f->stream) != 0) return lasterror();
    if (!durable() || f->datafd < 0) return 0;
    std::size_t failed = 0;
    return flushfiles(&f->datafd, 1, &failed);
}

int atomicclose(atomicfile* f) {
    f->datafd = -1;
    if (f->stream != nullptr) {
        // A write that failed earlier leaves the error mark even when the
        // final flush succeeds: the data it held is lost either way. Its
        // error number is still in errno (only a later failure could have
        // replaced it) and is the one reported, not the close's outcome.
        bool writefailed = std::ferror(f->stream) != 0;
        int writeerr = writefailed ? errno : 0;
        errno = 0;
        int rc = std::fclose(f->stream);
        f->stream = nullptr;
        if (writeerr != 0) return writeerr;
        return rc == 0 && !writefailed ? 0 : lasterror();
    }
    if (f->fd < 0) return 0;
    int rc = closefd(f->fd);
    f->fd = -1;
    return rc == 0 ? 0 : lasterror();
}

int atomiccommit(atomicfile* f, bool replace) {
    int err = atomicclose(f);
    if (err == 0) err = movefile(f->tmppath, f->path, replace);
    if (err != 0) {
        atomicdiscard(f);
        return err;
    }
    atomicend(f);
    return 0;
}

void atomicdiscard(atomicfile* f) {
    atomicclose(f);  // how the close went does not matter: the file goes
    if (f->active) removepath(f->tmppath, {.plain = true});
    atomicend(f);
}

atomicfile::~atomicfile() {
    if (active || stream != nullptr || fd >= 0) atomicdiscard(this);
}

bool copydirpath(char* buf, std::size_t cap, const char* path, char sep, dirresult* r) {
    if (*path == '/') path++;
    std::size_t n = 0;
    for (; n + 1 < cap && path[n] != '\0'; n++) buf[n] = path[n] == '/' ? sep : path[n];
    buf[n] = '\0';
    if (path[n] != '\0') {
        // A path that does not fit is refused: creating a directory under a
        // cut name would put it somewhere nobody asked for.
        *r = {dirmade::failed, ENAMETOOLONG,
              dirfailure(path, std::strerror(ENAMETOOLONG), ENAMETOOLONG)};
        return false;
    }
    if (n == 0 || buf[n - 1] != ':') return true;
    *r = {dirmade::exists, EEXIST};
    return false;
}

std::string formatmessage(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    va_list again;
    va_copy(again, args);
    int n = std::vsnprintf(nullptr, 0, fmt, args);
    va_end(args);
    std::string message(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
    if (n > 0) std::vsnprintf(message.data(), message.size() + 1, fmt, again);
    va_end(again);
    return message;
}

std::string dirfailure(const char* path, const char* text, int code) {
    return formatmessage("Create Directory '%s' failed: %s (%d)\n", path, text, code);
}
