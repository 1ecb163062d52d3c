// Copying one source file into the destination. The file is written under
// its temporary name beside the destination and moved to the destination
// name only once it is complete, so an interrupted run never leaves a partial
// file under a name that the next run would keep. Plain files are copied in
// fixed-size chunks (inside the kernel where the host can); files whose keys
// are substituted are read whole. An existing destination is never replaced.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "driver/driver.h"
#include "install/install.h"
#include "platform/platform.h"
#include "progress/progress.h"
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

heapbuffer allocate(std::size_t size, const char* sourcepath) {
    heapbuffer buf(static_cast<char*>(std::malloc(size != 0 ? size : 1)));
    if (!buf) die("Out of memory allocating buffer for file '%s'\n", sourcepath);
    return buf;
}

// The chunk buffer every plain copy of the run shares.
char* chunkbuffer(const char* sourcepath) {
    static heapbuffer buffer;
    if (!buffer) buffer = allocate(CHUNKSIZE, sourcepath);
    return buffer.get();
}

std::size_t chunk(std::uint64_t left) {
    return left < CHUNKSIZE ? static_cast<std::size_t>(left) : CHUNKSIZE;
}

// Reads exactly count bytes of the source into buf; a short file or a read
// error ends the run (and die() removes a temporary being written).
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

// Writes count bytes to the open temporary; a failure ends the run with a
// message naming the destination.
void writeall(atomicfile* out, const char* destpath, const char* buf, std::size_t count) {
    std::size_t done = 0;
    while (done < count) {
        long n = writefd(out->fd, buf + done, count - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            progressbytes(static_cast<std::uint64_t>(n));
        } else if (n == 0) {
            die("Unexpected 0 write to file '%s'\n", destpath);
        } else if (errno != EINTR) {
            int err = errno;
            die("Error writing file '%s': %s (%d)\n", destpath, std::strerror(err), err);
        }
    }
}

void createtemp(runstate* rs, atomicfile* out, const char* destpath, const char* temppath) {
    int err = opentemp(rs, out, destpath, temppath, false);
    if (err != 0) die("Error creating file '%s': %s (%d)\n", destpath, std::strerror(err), err);
}

// Closes the temporary and moves it to the destination name: 1 when it was
// moved, 0 when a file of that name appeared meanwhile (temporary removed).
int committemp(atomicfile* out, const char* destpath) {
    int err = atomicclose(out);
    if (err == 0) err = atomiccommit(out, false);
    if (err == EEXIST) return 0;
    if (err != 0) die("Failed to flush file '%s': %s (%d)\n", destpath, std::strerror(err), err);
    return 1;
}

// Copies what follows the first chunk: inside the kernel while the host
// allows it; after any failure there the buffered copy goes on from the same
// offsets, so a lasting failure is reported as the read or the write it is.
void copyrest(const sourcefile& src, atomicfile* out, const char* destpath, std::uint64_t left,
              char* buf) {
    bool inkernel = true;
    while (left > 0) {
        std::size_t n = chunk(left);
        if (inkernel) {
            long done = copyrange(src.fd, out->fd, n);
            if (done > 0) {
                left -= static_cast<std::uint64_t>(done);
                progressbytes(static_cast<std::uint64_t>(done));
                continue;
            }
            if (done == 0) die("Unexpected 0 read of file '%s'\n", src.path);
            if (errno != EINTR) inkernel = false;
            continue;
        }
        readexact(src, buf, n);
        writeall(out, destpath, buf, n);
        left -= n;
    }
}

// Copies the source byte for byte. The first chunk is read before the
// temporary is made, so a source that cannot be read is reported as such.
int copyplain(runstate* rs, const sourcefile& src, std::uint64_t size, const char* temppath,
              const char* destpath) {
    char* buf = chunkbuffer(src.path);
    std::size_t first = chunk(size);
    readexact(src, buf, first);
    atomicfile out{};
    createtemp(rs, &out, destpath, temppath);
    writeall(&out, destpath, buf, first);
    copyrest(src, &out, destpath, size - first, buf);
    closefd(src.fd);
    return committemp(&out, destpath);
}

// Reads the source through without writing anything: its read errors are
// reported although the destination is left alone.
void drain(const sourcefile& src, std::uint64_t size) {
    char* buf = chunkbuffer(src.path);
    for (std::uint64_t left = size; left > 0; left -= chunk(left)) readexact(src, buf, chunk(left));
    closefd(src.fd);
}

// Reads the whole source, expands its keys and writes the result unless the
// destination exists.
int copysubstituted(runstate* rs, const sourcefile& src, std::size_t size, const char* temppath,
                    const char* destpath, bool exists) {
    heapbuffer raw = allocate(size, src.path);
    readexact(src, raw.get(), size);
    closefd(src.fd);
    char* expanded = nullptr;
    std::size_t outlen = 0;
    memdupsub(&expanded, &outlen, raw.get(), size, rs->keytab, rs->maxkeylen);
    raw.reset();
    heapbuffer text(expanded);
    if (exists) return 0;
    atomicfile out{};
    createtemp(rs, &out, destpath, temppath);
    writeall(&out, destpath, text.get(), outlen);
    return committemp(&out, destpath);
}

}  // namespace

int copyfile(runstate* rs, int sourcefd, const char* sourcepath, const char* temppath,
             const char* destpath, fileinfo* entry) {
    sourcefile src{sourcefd, sourcepath};
    if (*destpath == '/') destpath++;
    if (*temppath == '/') temppath++;

    // An existing destination is left alone. Unless the file's keys are
    // substituted, its source is not even read: nothing it holds could
    // change the outcome.
    std::int64_t dstmtime = 0;
    bool exists = pathstat(destpath, &dstmtime) == 0;
    bool substituted = (entry->flags & F_SUBSTITUTE) != 0;
    if (exists && !substituted) {
        closefd(sourcefd);
        return 0;
    }

    std::int64_t size = 0;
    std::int64_t srcmtime = 0;
    int err = fdstat(sourcefd, &size, &srcmtime);
    if (err != 0) die("Error with fstat on file '%s': %s (%d)\n", sourcepath, std::strerror(err), err);
    if (size < 0 || static_cast<std::uint64_t>(size) > SIZE_MAX)
        die("Out of memory allocating buffer for file '%s'\n", sourcepath);
    bool expand = substituted && rs->pkgmode == 0 && rs->specfile == 0 && size > 0 &&
                  rs->maxkeylen != 0;
    if (expand)
        return copysubstituted(rs, src, static_cast<std::size_t>(size), temppath, destpath, exists);
    if (exists) {
        drain(src, static_cast<std::uint64_t>(size));
        return 0;
    }
    return copyplain(rs, src, static_cast<std::uint64_t>(size), temppath, destpath);
}
