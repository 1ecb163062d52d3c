// Copying one source file into the destination. The file is written under
// its temporary name beside the destination and moved to the destination
// name only once it is complete, so an interrupted run never leaves a partial
// file under a name that the next run would keep. Plain files are copied in
// fixed-size chunks; files whose keys are substituted are read whole.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "driver/driver.h"
#include "install/install.h"
#include "platform/platform.h"
#include "text/text.h"
#include "tree/tree.h"

namespace {

constexpr std::size_t CHUNKSIZE = 256 * 1024;

struct sourcefile {
    int fd;
    const char* path;
};

struct heapblock {
    void operator()(char* p) const { std::free(p); }
};
using heapbuffer = std::unique_ptr<char, heapblock>;

// Reads exactly count bytes of the source into buf; a short file or a read
// error ends the run.
void readexact(const sourcefile& src, char* buf, std::size_t count) {
    std::size_t got = 0;
    while (got < count) {
        long n = readfd(src.fd, buf + got, count - got);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
        } else if (n == 0) {
            die("Unexpected 0 read of file '%s'\n", src.path);
        } else if (errno != EINTR) {
            int err = errno;
            die("Error reading file '%s': %s (%d)\n", src.path, std::strerror(err), err);
        }
    }
}

// Writes count bytes to the open temporary; a failure removes it and ends
// the run with a message naming the destination.
void writeall(atomicfile* out, const char* destpath, const char* buf, std::size_t count) {
    std::size_t done = 0;
    while (done < count) {
        errno = 0;
        std::size_t n = std::fwrite(buf + done, 1, count - done, out->stream);
        done += n;
        if (done == count) break;
        if (std::ferror(out->stream)) {
            int err = errno;
            if (err == EINTR) {
                std::clearerr(out->stream);
                continue;
            }
            atomicdiscard(out);
            die("Error writing file '%s': %s (%d)\n", destpath, std::strerror(err), err);
        }
        if (n == 0) {
            atomicdiscard(out);
            die("Unexpected 0 write to file '%s'\n", destpath);
        }
    }
}

void opentemp(atomicfile* out, const char* destpath, const char* temppath) {
    int err = atomicopen(out, destpath, temppath, false);
    if (err != 0) die("Error creating file '%s': %s (%d)\n", destpath, std::strerror(err), err);
}

// Closes the temporary and moves it to the destination name: 1 when it was
// moved, 0 when a file of that name appeared meanwhile (temporary removed).
int committemp(atomicfile* out, const char* destpath) {
    int err = atomicclose(out);
    if (err == 0) err = atomiccommit(out, false);
    if (err == EEXIST) return 0;
    if (err != 0) {
        atomicdiscard(out);
        die("Failed to flush file '%s': %s (%d)\n", destpath, std::strerror(err), err);
    }
    return 1;
}

heapbuffer allocate(std::size_t size, const char* sourcepath) {
    heapbuffer buf(static_cast<char*>(std::malloc(size)));
    if (!buf) die("Out of memory allocating buffer for file '%s'\n", sourcepath);
    return buf;
}

// Reads the whole source, expands its keys and writes the result.
int copysubstituted(runstate* rs, const sourcefile& src, std::size_t size, const char* temppath,
                    const char* destpath) {
    heapbuffer raw = allocate(size, src.path);
    readexact(src, raw.get(), size);
    closefd(src.fd);
    char* expanded = nullptr;
    std::size_t outlen = 0;
    memdupsub(&expanded, &outlen, raw.get(), size, rs->keytab, rs->maxkeylen);
    raw.reset();
    heapbuffer text(expanded);
    if (pathexists(destpath)) return 0;
    atomicfile out{};
    opentemp(&out, destpath, temppath);
    writeall(&out, destpath, text.get(), outlen);
    return committemp(&out, destpath);
}

// Reads the source through in chunks without writing anything: the read
// errors of a source are reported whether or not its copy is needed.
void drain(const sourcefile& src, char* buf, std::uint64_t size) {
    while (size > 0) {
        std::size_t n = size < CHUNKSIZE ? static_cast<std::size_t>(size) : CHUNKSIZE;
        readexact(src, buf, n);
        size -= n;
    }
}

// Copies the source byte for byte in chunks of bounded size.
int copyplain(const sourcefile& src, std::uint64_t size, const char* temppath,
              const char* destpath) {
    std::size_t bufsize = size < CHUNKSIZE ? static_cast<std::size_t>(size) : CHUNKSIZE;
    heapbuffer buf = bufsize > 0 ? allocate(bufsize, src.path) : heapbuffer();
    if (pathexists(destpath)) {
        drain(src, buf.get(), size);
        closefd(src.fd);
        return 0;
    }
    atomicfile out{};
    opentemp(&out, destpath, temppath);
    while (size > 0) {
        std::size_t n = size < bufsize ? static_cast<std::size_t>(size) : bufsize;
        readexact(src, buf.get(), n);
        writeall(&out, destpath, buf.get(), n);
        size -= n;
    }
    closefd(src.fd);
    return committemp(&out, destpath);
}

}  // namespace

int copyfile(runstate* rs, int sourcefd, const char* sourcepath, const char* temppath,
             const char* destpath, fileinfo* entry) {
    sourcefile src{sourcefd, sourcepath};
    std::int64_t size = 0;
    std::int64_t srcmtime = 0;
    int err = fdstat(sourcefd, &size, &srcmtime);
    if (err != 0) die("Error with fstat on file '%s': %s (%d)\n", sourcepath, std::strerror(err), err);
    if (*destpath == '/') destpath++;
    if (*temppath == '/') temppath++;

    // A destination newer than both the source and the input file is current,
    // unless the file's keys are substituted (their values may have changed).
    std::int64_t dstmtime = 0;
    if (pathstat(destpath, &dstmtime) == 0 && dstmtime > srcmtime &&
        (entry->flags & F_SUBSTITUTE) == 0 && dstmtime > rs->inmtime) {
        closefd(sourcefd);
        return 0;
    }

    if (size < 0 || static_cast<std::uint64_t>(size) > SIZE_MAX)
        die("Out of memory allocating buffer for file '%s'\n", sourcepath);
    bool substitute = (entry->flags & F_SUBSTITUTE) != 0 && rs->pkgmode == 0 &&
                      rs->specfile == 0 && size > 0 && rs->maxkeylen != 0;
    if (substitute)
        return copysubstituted(rs, src, static_cast<std::size_t>(size), temppath, destpath);
    return copyplain(src, static_cast<std::uint64_t>(size), temppath, destpath);
}
