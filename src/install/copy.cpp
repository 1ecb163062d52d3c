// Copying one source file into the destination. The file is written under
// its temporary name beside the destination and moved to the destination
// name only once it is complete and flushed to the disk with the others of
// its batch (settle.cpp), so neither an interrupted run nor a power cut
// leaves a partial file under a name that the next run would keep. Plain files are copied in
// fixed-size chunks (inside the kernel where the host can, through a buffer
// when the content is hashed for a fingerprint); files whose keys are
// substituted are read whole. An existing destination is never replaced,
// except by --update when it differs from what would be installed now: then
// the temporary is renamed over it, so it is always the old or the new file;
// a file changed since it was installed stays, and the new content goes
// beside it ("<name>.new").
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "ending/ending.h"
#include "install/install.h"
#include "lifecycle/fingerprint.h"
#include "lifecycle/lifecycle.h"
#include "platform/platform.h"
#include "progress/progress.h"
#include "report/report.h"
#include "run/run.h"
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
            filefailed("Error reading file", src.path, errno);
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
            reportbytes(static_cast<std::uint64_t>(n));
        } else if (n == 0) {
            die("Unexpected 0 write to file '%s'\n", destpath);
        } else if (errno != EINTR) {
            filefailed("Error writing file", destpath, errno);
        }
    }
}

void createtemp(runstate* rs, atomicfile* out, const char* destpath, const char* temppath) {
    int err = opentemp(rs, out, destpath, temppath, false);
    if (err != 0) filefailed("Error creating file", destpath, err);
}

// Copies what follows the first chunk: inside the kernel while the host
// allows it; after any failure there the buffered copy goes on from the same
// offsets, so a lasting failure is reported as the read or the write it is.
// With a hash to compute, every byte passes through the buffer.
void copyrest(const sourcefile& src, atomicfile* out, const char* destpath, std::uint64_t left,
              char* buf, hasher* hash) {
    bool inkernel = hash == nullptr;
    while (left > 0) {
        std::size_t n = chunk(left);
        if (inkernel) {
            long done = copyrange(src.fd, out->fd, n);
            if (done > 0) {
                left -= static_cast<std::uint64_t>(done);
                progressbytes(static_cast<std::uint64_t>(done));
                reportbytes(static_cast<std::uint64_t>(done));
                continue;
            }
            if (done == 0) die("Unexpected 0 read of file '%s'\n", src.path);
            if (errno != EINTR) inkernel = false;
            continue;
        }
        readexact(src, buf, n);
        if (hash != nullptr) hashupdate(hash, buf, n);
        writeall(out, destpath, buf, n);
        left -= n;
    }
}

// The result of placefile for an action that writes nothing.
char unwritten(copyaction action) {
    switch (action) {
        case copyaction::replace: return COPYREPLACED;
        case copyaction::beside: return COPYBESIDE;
        case copyaction::would: return COPYWOULD;
        default: return COPYLEFT;
    }
}

// Reads the source through without writing anything: its read errors are
// reported although the destination is left alone.
void drain(const sourcefile& src, std::uint64_t size) {
    char* buf = chunkbuffer(src.path);
    for (std::uint64_t left = size; left > 0; left -= chunk(left)) readexact(src, buf, chunk(left));
    closefd(src.fd);
}

// Reads the whole source and expands its keys (*len bytes).
heapbuffer expandsource(runstate* rs, const sourcefile& src, const statinfo& info,
                        std::size_t* len) {
    auto size = static_cast<std::size_t>(info.size);
    heapbuffer raw = allocate(size, src.path);
    readexact(src, raw.get(), size);
    closefd(src.fd);
    char* expanded = nullptr;
    memdupsub(&expanded, len, raw.get(), size, rs->keytab, rs->maxkeylen);
    return heapbuffer(expanded);
}

}  // namespace

sourceneed needssource(runstate* rs, const fileinfo* entry, const char* destpath,
                       destination* dst) {
    if (*destpath == '/') destpath++;
    dst->error = statpath(destpath, &dst->status);
    dst->exists = dst->error == 0;
    // An existing destination is left alone. Unless the file's keys are
    // substituted, its source is not even read: nothing it holds could
    // change the outcome. --update and --verify compare it instead, and its
    // fingerprint may show from the source's status alone that it is in step.
    if (!dst->exists || (entry->flags & F_SUBSTITUTE) != 0) return sourceneed::open;
    return rs->mode.compares ? sourceneed::status : sourceneed::none;
}

namespace {

// The source of one copy as far as it has been read: open, its status, and
// the expansion of a file whose keys are substituted.
struct sourceread {
    sourcefile src{-1, nullptr};
    statinfo info{};
    bool expand = false;
    heapbuffer text;
    std::size_t textlen = 0;
};

// Opens the source unless it is open, reads its status and expands it.
void readsource(runstate* rs, const fileinfo* entry, sourceread& s) {
    if (s.src.fd < 0) s.src.fd = openread(s.src.path);
    if (s.src.fd < 0) filefailed("Error reading file", s.src.path, errno);
    if (int err = statfd(s.src.fd, &s.info); err != 0)
        filefailed("Error with fstat on file", s.src.path, err);
    if (s.info.size < 0 || static_cast<std::uint64_t>(s.info.size) > SIZE_MAX)
        die("Out of memory allocating buffer for file '%s'\n", s.src.path);
    s.expand = expands(rs, entry->flags, s.info.size);
    if (s.expand) s.text = expandsource(rs, s.src, s.info, &s.textlen);
}

// Shows what was read of the source to the lifecycle: the expansion, or the
// source itself.
void showsource(const sourceread& s, copyquestion* q) {
    q->src = &s.info;
    if (s.expand) {
        q->text = s.text.get();
        q->textlen = s.textlen;
    } else {
        q->srcfd = s.src.fd;
        q->srcpath = s.src.path;
    }
}

// Writes what was read of the source (its expansion, or the file itself from
// where it stands) under dest through the temporary temp, and hands the copy
// over to its batch. The first chunk of a plain file is read before the
// temporary is made, so a source that cannot be read is reported as such.
// A copy without a hash gets no fingerprint (one beside the installed file:
// the record's stays that of the file as installed).
void writecopy(runstate* rs, sourceread& s, const char* temp, const char* dest, fileinfo* entry,
               hasher* hash, bool replace) {
    auto out = std::make_unique<atomicfile>();
    digest d;
    std::uint64_t size = s.textlen;
    if (s.expand) {
        createtemp(rs, out.get(), dest, temp);
        writeall(out.get(), dest, s.text.get(), s.textlen);
        if (hash != nullptr) d = hashbytes(s.text.get(), s.textlen);
    } else {
        size = static_cast<std::uint64_t>(s.info.size);
        char* buf = chunkbuffer(s.src.path);
        std::size_t first = chunk(size);
        readexact(s.src, buf, first);
        if (hash != nullptr) hashupdate(hash, buf, first);
        createtemp(rs, out.get(), dest, temp);
        writeall(out.get(), dest, buf, first);
        copyrest(s.src, out.get(), dest, size - first, buf, hash);
        closefd(s.src.fd);
        if (hash != nullptr) d = hashdigest(hash);
    }
    settlecopy(rs, out.release(), replace, entry, hash != nullptr ? &d : nullptr, s.info, size);
}

}  // namespace

char placefile(runstate* rs, int sourcefd, const char* sourcepath, const statinfo& srcstatus,
               const char* temppath, const char* destpath, fileinfo* entry,
               const destination& dst) {
    if (*destpath == '/') destpath++;
    if (*temppath == '/') temppath++;
    bool exists = dst.exists;
    sourceread s;
    s.src = {sourcefd, sourcepath};
    copyquestion q{entry, destpath, &dst};
    // A missing destination is asked about before its source is read. An
    // existing one is shown the source's status alone when only that was
    // read: its fingerprint may show it in step. An open source is read
    // first, so that its expansion fails alike whatever becomes of it.
    if (exists && sourcefd < 0) {
        q.src = &srcstatus;
    } else if (exists) {
        readsource(rs, entry, s);
        if (!s.expand && !rs->mode.compares) {
            drain(s.src, static_cast<std::uint64_t>(s.info.size));
            return COPYLEFT;
        }
        showsource(s, &q);
    }
    // The lifecycle answers "look" while what it was shown does not tell.
    copyanswer a;
    while ((a = lifeask(rs, q)).action == copyaction::look) {
        readsource(rs, entry, s);
        showsource(s, &q);
    }
    if (!exists && a.action == copyaction::would) {
        closefd(s.src.fd);
        return COPYWOULD;
    }
    if (!exists) readsource(rs, entry, s);
    // An existing destination is left alone unless the lifecycle asks for it
    // to be replaced or written beside; a source it compared is read again
    // from its start when it is copied.
    if (exists) {
        if (a.action == copyaction::leave || !rs->mode.writes) {
            if (!s.expand && s.src.fd >= 0) closefd(s.src.fd);
            return unwritten(a.action);
        }
        if (int err = s.expand ? 0 : rewindfd(s.src.fd); err != 0)
            filefailed("Error reading file", s.src.path, err);
    }
    if (a.action != copyaction::beside) {
        writecopy(rs, s, temppath, destpath, entry, a.hash, exists);
        return exists ? COPYREPLACED : COPYWRITTEN;
    }
    // The new content goes beside the file changed since it was installed.
    char path[PATHSIZE];
    char temp[TEMPNAMESIZE];
    if (besidepath(path, sizeof path, destpath) < 0 || besidepath(temp, sizeof temp, temppath) < 0)
        filefailed("Error creating file", (std::string(destpath) + ".new").c_str(), ENAMETOOLONG);
    writecopy(rs, s, temp, path, entry, a.hash, exists);
    return COPYBESIDE;
}
