// Platform functions for POSIX hosts. The tool behaves as the win32
// installer here too; only the system calls differ.
#ifndef _WIN32

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "platform/platform_internal.h"

// ---- sockets and host facts ---------------------------------------------

// POSIX sockets need no start-up.
void startsockets() {}

void gethost(char* buf, std::size_t cap) {
    if (gethostname(buf, cap) == 0) buf[cap - 1] = '\0';
}

void getipv4(char* buf, std::size_t cap, const char* host) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* list = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &list) != 0 || list == nullptr ||
        list->ai_addr == nullptr) {
        int err = errno;
        die("Error getting IP address for host '%s': %s (%d)\n", host, std::strerror(err), err);
    }
    if (list->ai_addrlen < sizeof(sockaddr_in)) {
        int len = static_cast<int>(list->ai_addrlen);
        freeaddrinfo(list);
        die("Error getting IP address unexpected size %d\n", len);
    }
    sockaddr_in addr;
    std::memcpy(&addr, list->ai_addr, sizeof addr);
    freeaddrinfo(list);
    unsigned char bytes[4];
    std::memcpy(bytes, &addr.sin_addr, sizeof bytes);
    std::snprintf(buf, cap, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
}

int getworkdir(char* buf, std::size_t cap) { return getcwd(buf, cap) != nullptr ? 0 : errno; }

// ---- names ----------------------------------------------------------------

// A POSIX path keeps its '/' separators.
void nativeseparators(char* text) { (void)text; }

// ---- files ----------------------------------------------------------------

int openread(const char* path) { return open(path, O_RDONLY); }

int closefd(int fd) { return close(fd); }

long readfd(int fd, void* buf, std::size_t count) { return static_cast<long>(read(fd, buf, count)); }

int fdstat(int fd, std::int64_t* size, std::int64_t* mtime) {
    struct stat st;
    if (fstat(fd, &st) != 0) return errno;
    *size = static_cast<std::int64_t>(st.st_size);
    *mtime = static_cast<std::int64_t>(st.st_mtime);
    return 0;
}

int pathstat(const char* path, std::int64_t* mtime) {
    struct stat st;
    if (stat(path, &st) != 0) return errno;
    *mtime = static_cast<std::int64_t>(st.st_mtime);
    return 0;
}

int pathexists(const char* path) { return access(path, F_OK) == 0 ? 1 : 0; }

int deletefile(const char* path) { return unlink(path) == 0 ? 0 : errno; }

char makedir(const char* path) {
    char buf[1024];
    std::size_t len = copydirpath(buf, sizeof buf, path, '/');
    if (len > 0 && buf[len - 1] == ':') return '-';
    if (mkdir(buf, 0777) == 0) return '+';
    int err = errno;
    if (err == ENOENT || err == ENOTDIR) return 'x';
    if (err == EEXIST) return '-';
    die("Create Directory '%s' failed: %s (%d)\n", buf, std::strerror(err), err);
}

// ---- crash-safe output files ---------------------------------------------

int atomicopen(atomicfile* f, const char* path, const char* tmppath, bool text) {
    f->stream = nullptr;
    f->active = false;
    int err = atomicnames(f, path, tmppath);
    if (err != 0) return err;
    int fd = open(f->tmppath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return errno;
    std::FILE* stream = fdopen(fd, text ? "w" : "wb");
    if (stream == nullptr) {
        err = errno;
        close(fd);
        unlink(f->tmppath);
        return err;
    }
    atomicbegin(f, stream);
    return 0;
}

namespace {

// Gives the temporary the final name unless something already has it.
int movenoreplace(const char* from, const char* to) {
#if defined(__linux__)
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return errno;
#endif
    // Where the exclusive rename is not offered, a hard link fails with
    // EEXIST just the same when the name is taken.
    if (link(from, to) != 0) return errno;
    unlink(from);
    return 0;
}

}  // namespace

int atomiccommit(atomicfile* f, bool replace) {
    int err = atomicclose(f);
    if (err == 0) {
        if (replace)
            err = rename(f->tmppath, f->path) == 0 ? 0 : errno;
        else
            err = movenoreplace(f->tmppath, f->path);
    }
    if (err != 0) {
        atomicdiscard(f);
        return err;
    }
    atomicend(f);
    return 0;
}

#endif  // !_WIN32
