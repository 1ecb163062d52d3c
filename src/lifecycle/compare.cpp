// Comparing contents: an installed file with its fingerprint, with a source
// file or with the expansion of a substituted one. Files are read in chunks
// through two buffers the run shares; read errors end the run as the copy's
// do.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "ending/ending.h"
#include "layout/layout.h"
#include "lifecycle/lifeinternal.h"
#include "run/run.h"
#include "text/text.h"
#include "tree/tree.h"
#include "types/types.h"

namespace {

constexpr std::size_t CHUNKSIZE = 256 * 1024;

char* chunk(int which) {
    static std::unique_ptr<char[]> buffers[2];
    if (!buffers[which]) buffers[which] = std::make_unique<char[]>(CHUNKSIZE);
    return buffers[which].get();
}

hasher* sharedhasher() {
    static hasher* h = newhasher();
    hashreset(h);
    return h;
}

// Fills buf from r up to cap bytes; fewer only at the end of the file.
std::size_t fill(const reader& r, char* buf, std::size_t cap) {
    std::size_t got = 0;
    while (got < cap) {
        long n = readfd(r.fd, buf + got, cap - got);
        if (n == 0) break;
        if (n > 0) {
            got += static_cast<std::size_t>(n);
        } else if (errno != EINTR) {
            int err = errno;
            filefailed("Error reading file", r.path, err);
        }
    }
    return got;
}

// The source directory of a record, as the run that installed it saw it:
// relative to its working directory (bas=) when that is not this run's.
std::string sourcedir(const runstate* rs, const fileinfo* e) {
    const char* src = e->srcdir;
    if (absolutepath(src) || e->basedir == nullptr || std::strcmp(e->basedir, rs->cwd) == 0) return src;
    return std::string(e->basedir) + "/" + src;
}

// The hash of the whole file at path: false when it cannot be opened.
bool hashfile(const char* path, digest* d) {
    openfile f(path);
    if (!f.ok()) return false;
    *d = hashrest(f.r);
    return true;
}

// The expansion of a file read from r, as the copy expands it (expands()).
std::string expandtext(runstate* rs, const reader& r, std::size_t size) {
    std::string raw(size, '\0');
    if (fill(r, raw.data(), size) != size) die("Unexpected 0 read of file '%s'\n", r.path);
    char* out = nullptr;
    std::size_t outlen = 0;
    memdupsub(&out, &outlen, raw.data(), size, rs->keytab, rs->maxkeylen);
    std::string text(out, outlen);
    std::free(out);
    return text;
}

}  // namespace

digest hashrest(const reader& r) {
    hasher* h = sharedhasher();
    char* buf = chunk(0);
    for (std::size_t n; (n = fill(r, buf, CHUNKSIZE)) > 0;) hashupdate(h, buf, n);
    return hashdigest(h);
}

bool sameastext(const char* path, const char* text, std::size_t len) {
    openfile f(path);
    if (!f.ok()) return false;
    char* buf = chunk(1);
    std::size_t pos = 0;
    for (;;) {
        std::size_t n = fill(f.r, buf, CHUNKSIZE);
        if (n == 0) return pos == len;
        if (n > len - pos || std::memcmp(buf, text + pos, n) != 0) return false;
        pos += n;
    }
}

bool sameasreader(const char* path, const reader& r, digest* d) {
    openfile f(path);
    if (!f.ok()) return false;
    hasher* h = sharedhasher();
    char* a = chunk(0);
    char* b = chunk(1);
    for (;;) {
        std::size_t n = fill(r, a, CHUNKSIZE);
        std::size_t m = fill(f.r, b, CHUNKSIZE);
        if (n != m || std::memcmp(a, b, n) != 0) return false;
        if (n == 0) break;
        hashupdate(h, a, n);
    }
    *d = hashdigest(h);
    return true;
}

bool asinstalled(const fingerprint* fp, const std::vector<fingerprint>& alt, const char* destpath,
                 const statinfo& st) {
    if (st.kind != 'f') return false;
    // Its status tells first; the content is read only when a size matches.
    bool samesize = false;
    auto untouched = [&](const fingerprint& p) {
        samesize = samesize || p.size == st.size;
        return p.size == st.size && p.mtime == st.mtime;
    };
    if ((fp != nullptr && untouched(*fp)) || std::any_of(alt.begin(), alt.end(), untouched))
        return true;
    digest d;
    if (!samesize || !hashfile(destpath, &d)) return false;
    auto holds = [&](const fingerprint& p) { return p.size == st.size && p.hash == d; };
    return (fp != nullptr && holds(*fp)) || std::any_of(alt.begin(), alt.end(), holds);
}

bool stillinstalled(runstate* rs, const fileinfo* e, const char* ext, const fingerprint* fp,
                    const char* diskpath, const statinfo& st, const std::vector<fingerprint>& alt) {
    // The tool installs files only; anything else there is not its file.
    if (st.kind != 'f') return false;
    if (fp != nullptr) return asinstalled(fp, alt, diskpath, st);
    // Without a fingerprint: what would be installed now from the source
    // directory the record names.
    if (e->srcdir == nullptr) return false;
    char src[PATHSIZE];
    int len = sourcepath(src, sizeof src, e, sourcedir(rs, e).c_str(), findversion(e));
    if (len <= 0 || len >= PATHSIZE) return false;
    std::string path(src, static_cast<std::size_t>(len));
    if (e->ftype == nullptr && ext != nullptr) path += std::string(".") + ext;
    openfile source(path.c_str());
    statinfo ss;
    if (!source.ok() || statfd(source.r.fd, &ss) != 0) return false;
    if (expands(rs, e->flags, ss.size)) {
        std::string text = expandtext(rs, source.r, static_cast<std::size_t>(ss.size));
        return sameastext(diskpath, text.data(), text.size());
    }
    digest d;
    return ss.size == st.size && sameasreader(diskpath, source.r, &d);
}
