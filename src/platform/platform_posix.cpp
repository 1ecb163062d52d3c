// Platform functions for POSIX hosts. The tool behaves as the win32
// installer here too; only the system calls differ.
#ifndef _WIN32

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/faults.h"
#include "platform/platform.h"
#include "platform/platform_internal.h"

// ---- sockets and host facts ---------------------------------------------

int stderristerminal() { return isatty(STDERR_FILENO); }

// POSIX sockets need no start-up.
bool startsockets(std::string*) { return true; }

void gethost(char* buf, std::size_t cap) {
    if (gethostname(buf, cap) == 0) buf[cap - 1] = '\0';
}

bool getipv4(char* buf, std::size_t cap, const char* host, std::string* why) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* list = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &list) != 0 || list == nullptr ||
        list->ai_addr == nullptr) {
        int err = errno;
        *why = formatmessage("Error getting IP address for host '%s': %s (%d)\n", host,
                             std::strerror(err), err);
        return false;
    }
    if (list->ai_addrlen < sizeof(sockaddr_in)) {
        int len = static_cast<int>(list->ai_addrlen);
        freeaddrinfo(list);
        *why = formatmessage("Error getting IP address unexpected size %d\n", len);
        return false;
    }
    sockaddr_in addr;
    std::memcpy(&addr, list->ai_addr, sizeof addr);
    freeaddrinfo(list);
    unsigned char bytes[4];
    std::memcpy(bytes, &addr.sin_addr, sizeof bytes);
    std::snprintf(buf, cap, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
    return true;
}

int getworkdir(char* buf, std::size_t cap) { return getcwd(buf, cap) != nullptr ? 0 : errno; }

char* envtext(const char* name) { return std::getenv(name); }

// ---- names ----------------------------------------------------------------

// A POSIX path keeps its '/' separators.
void nativeseparators(char*) {}

// ---- files ----------------------------------------------------------------

int openread(const char* path) {
    FP_FAULT_FAIL(open, path);
    return open(path, O_RDONLY);
}

int readable(const char* path) {
    FP_FAULT_FAIL(open, path);
    return faccessat(AT_FDCWD, path, R_OK, AT_EACCESS);
}

int closefd(int fd) {
    FP_FAULT_CLOSE(fd);
    return close(fd);
}

long readfd(int fd, void* buf, std::size_t count) {
    FP_FAULT_FAIL(read, fd);
    return static_cast<long>(read(fd, buf, count));
}

long writefd(int fd, const void* buf, std::size_t count) {
    FP_FAULT_FAIL(write, fd);
    return static_cast<long>(write(fd, buf, count));
}

long copyrange([[maybe_unused]] int infd, int outfd, [[maybe_unused]] std::size_t count) {
    FP_FAULT_FAIL(write, outfd);
#if defined(__linux__)
    return static_cast<long>(copy_file_range(infd, nullptr, outfd, nullptr, count, 0));
#else
    errno = ENOSYS;
    return -1;
#endif
}

int isdirectory(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode) ? 1 : 0;
}

namespace {

// One plain delete (unlink): 0 or the error number.
int deleteplain(const char* path) {
    FP_FAULT_ERROR(unlink, path);
    return unlink(path) == 0 ? 0 : errno;
}

// What a stat call that returned rc found: 0 with info filled, else errno.
int fillstat(int rc, const struct stat& st, statinfo* info) {
    if (rc != 0) return errno;
    info->size = static_cast<std::int64_t>(st.st_size);
    info->mtime = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 +
                  static_cast<std::int64_t>(st.st_mtim.tv_nsec);
    info->kind = S_ISREG(st.st_mode)   ? 'f'
                 : S_ISDIR(st.st_mode) ? 'd'
                 : S_ISLNK(st.st_mode) ? 'l'
                                       : 'o';
    return 0;
}

// What a mkdir of dir that failed with err means for makedir.
dirresult mkdirfailed(const char* dir, int err) {
    dirresult r{dirmade::failed, err};
    if (err == ENOENT || err == ENOTDIR)
        r.made = dirmade::noparent;
    else if (err == EEXIST)
        r.made = dirmade::exists;
    else
        r.why = dirfailure(dir, std::strerror(err), err);
    return r;
}

}  // namespace

dirresult makedir(const char* path, bool destination) {
    // A failure the fault build makes is one of the mkdir call itself.
    int fault = FP_FAULT_CHECK(mkdir, path);
    const char* dir = path + (*path == '/');
    char buf[1024];
    if (destination) {
        struct stat st;
        if (fault == 0 && stat(dir, &st) == 0 && S_ISDIR(st.st_mode))
            return {dirmade::exists, EEXIST};
    } else {
        if (dirresult r; !copydirpath(buf, sizeof buf, path, '/', &r)) return r;
        dir = buf;
    }
    if (fault != 0) return mkdirfailed(dir, fault);
    return mkdir(dir, 0777) == 0 ? dirresult{dirmade::made} : mkdirfailed(dir, errno);
}

// ---- status, removal and listing ----------------------------------------

int statpath(const char* path, statinfo* info) {
    FP_FAULT_ERROR(stat, path);
    struct stat st;
    return fillstat(lstat(path, &st), st, info);
}

int statfd(int fd, statinfo* info) {
    FP_FAULT_ERROR(stat, fd);
    struct stat st;
#if defined(__linux__) && defined(SYS_fstat)
    // The C library's fstat goes through fstatat with an empty path, which
    // costs a third more per call; --update makes one per installed file.
    return fillstat(static_cast<int>(syscall(SYS_fstat, fd, &st)), st, info);
#else
    return fillstat(fstat(fd, &st), st, info);
#endif
}

int statfile(const char* path, statinfo* info) {
    FP_FAULT_ERROR(stat, path);
    struct stat st;
    return fillstat(stat(path, &st), st, info);
}

int rewindfd(int fd) {
    FP_FAULT_ERROR(read, fd);
    return lseek(fd, 0, SEEK_SET) == 0 ? 0 : errno;
}

int listdir(const char* path, std::vector<std::string>* names) {
    FP_FAULT_ERROR(open, path);
    DIR* dir = opendir(path);
    if (dir == nullptr) return errno;
    errno = 0;
    while (dirent* d = readdir(dir)) {
        if (std::strcmp(d->d_name, ".") != 0 && std::strcmp(d->d_name, "..") != 0)
            names->emplace_back(d->d_name);
    }
    int err = errno;
    closedir(dir);
    return err;
}

// ---- below a directory, never through a link ---------------------------

namespace {

// A descriptor closed when it goes out of scope.
struct ownedfd {
    int fd = -1;
    ~ownedfd() {
        if (fd >= 0) close(fd);
    }
};

// Opens the directory that holds the last component of rel, below root,
// each directory of rel opened without following a link: 0 with the
// descriptor in dir and the last component in *last, else the error.
int openparent(const char* root, const char* rel, ownedfd* dir, const char** last) {
    dir->fd = open(*root != '\0' ? root : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir->fd < 0) return errno;
    const char* start = rel;
    for (const char* slash; (slash = std::strchr(start, '/')) != nullptr; start = slash + 1) {
        std::string name(start, static_cast<std::size_t>(slash - start));
        if (name.empty()) continue;
        int next = openat(dir->fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) {
            int err = errno;
            struct stat st;
            // O_NOFOLLOW fails with ELOOP on a link (ENOTDIR on some hosts).
            if ((err == ELOOP || err == ENOTDIR) &&
                fstatat(dir->fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
                return LINKONTHEWAY;
            return err;
        }
        close(dir->fd);
        dir->fd = next;
    }
    *last = start;
    return 0;
}

// What stands at root/rel, reached never through a link: the file or link
// (EEXIST for a directory) or the empty directory.
int removeunder(const char* root, const char* rel, bool isdir) {
    FP_FAULT_ERROR(unlink, rel);
    ownedfd dir;
    const char* last = nullptr;
    if (int err = openparent(root, rel, &dir, &last); err != 0) return err;
    if (!isdir) {
        struct stat st;
        if (fstatat(dir.fd, last, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
        if (S_ISDIR(st.st_mode)) return EEXIST;
    }
    if (unlinkat(dir.fd, last, isdir ? AT_REMOVEDIR : 0) == 0) return 0;
    return errno == EEXIST ? ENOTEMPTY : errno;
}

}  // namespace

int statbelow(const char* root, const char* rel, statinfo* info) {
    FP_FAULT_ERROR(stat, rel);
    ownedfd dir;
    const char* last = nullptr;
    if (int err = openparent(root, rel, &dir, &last); err != 0) return err;
    struct stat st;
    return fillstat(fstatat(dir.fd, last, &st, AT_SYMLINK_NOFOLLOW), st, info);
}

int removepath(const char* path, const removeway& way) {
    if (way.below != nullptr) return removeunder(way.below, path, way.dir);
    return way.plain ? deleteplain(path) : removeleftover(path);
}

// ---- data on disk before it is named ---------------------------------------

std::size_t openfilelimit() {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 256;
    if (limit.rlim_cur == RLIM_INFINITY) return SIZE_MAX;
    return static_cast<std::size_t>(limit.rlim_cur);
}

int flushbatch(const int* fds, std::size_t n, std::size_t* failed,
               [[maybe_unused]] const unsigned char* samefs) {
#if defined(__linux__)
    // One sync per file system writes every file of the batch (and the
    // renames made before it) with one journal commit, where a sync of each
    // file would make one commit per file.
    std::vector<dev_t> done;
    for (std::size_t i = 0; i < n; i++) {
        if (samefs != nullptr && i > 0 && samefs[i] != 0) continue;
        struct stat st;
        bool ok = fstat(fds[i], &st) == 0;
        if (ok && std::find(done.begin(), done.end(), st.st_dev) != done.end()) continue;
        if (!ok || syncfs(fds[i]) != 0) {
            *failed = i;
            return errno;
        }
        done.push_back(st.st_dev);
    }
#else
    for (std::size_t i = 0; i < n; i++) {
        if (fsync(fds[i]) != 0) {
            *failed = i;
            return errno;
        }
    }
#endif
    return 0;
}

int openappend(const char* path) {
    FP_FAULT_FAIL(open, path);
    return open(path, O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0666);
}

int syncdirectory(const char* dir) {
    FP_FAULT_ERROR(write, dir);
    int fd = open(*dir != '\0' ? dir : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    int err = fsync(fd) == 0 ? 0 : errno;
    close(fd);
    // Some file systems cannot sync a directory; their renames are durable
    // as they are made.
    return err == EINVAL || err == EROFS ? 0 : err;
}

// ---- locks between runs ---------------------------------------------------

lockhandle openlock(const char* path, bool create) {
    FP_FAULT_FAIL(open, path);
    int flags = (create ? O_RDWR | O_CREAT : O_RDONLY) | O_NOFOLLOW | O_CLOEXEC;
    return open(path, flags, 0666);
}

int takelock(lockhandle lock, bool exclusive, bool wait) {
    FP_FAULT_ERROR(open, static_cast<int>(lock));
    int op = (exclusive ? LOCK_EX : LOCK_SH) | (wait ? 0 : LOCK_NB);
    while (flock(static_cast<int>(lock), op) != 0) {
        if (errno == EINTR) continue;
        return errno == EAGAIN ? EWOULDBLOCK : errno;
    }
    return 0;
}

int lockcurrent(lockhandle lock, const char* path) {
    struct stat held;
    struct stat named;
    if (fstat(static_cast<int>(lock), &held) != 0 || lstat(path, &named) != 0) return 0;
    return held.st_dev == named.st_dev && held.st_ino == named.st_ino ? 1 : 0;
}

int removelock(lockhandle, const char* path) {
    FP_FAULT_ERROR(unlink, path);
    return unlink(path) == 0 || errno == ENOENT ? 0 : errno;
}

void droplock(lockhandle lock) {
    if (lock >= 0) close(static_cast<int>(lock));
}

// ---- crash-safe output files ---------------------------------------------

int createexclusive(const char* path, bool text) {
    FP_FAULT_FAIL(open, path);
    // O_EXCL fails on any name that exists, a link (even a dangling one)
    // included, so nothing is ever written through a link.
    return open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, text ? 0644 : 0666);
}

int removeleftover(const char* path) {
    FP_FAULT_ERROR(unlink, path);
    struct stat st;
    if (lstat(path, &st) != 0) return errno == ENOENT ? 0 : errno;
    if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) return EEXIST;
    if (unlink(path) != 0 && errno != ENOENT) return errno;
    return 0;
}

std::FILE* textstream(int fd) {
    FP_FAULT_TEXTSTREAM(fd);
    return fdopen(fd, "w");
}

int movefile(const char* from, const char* to, bool replace) {
    FP_FAULT_ERROR(rename, to);
    if (replace) return rename(from, to) == 0 ? 0 : errno;
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

#endif  // !_WIN32
