// Platform functions for Windows: Windows Sockets 2 for the host facts, the
// Windows file functions for directories and deletion, and the C runtime's
// low-level file calls opened without newline translation.
#ifdef _WIN32

#include <winsock2.h>
#include <windows.h>

#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/platform_internal.h"

// ---- sockets and host facts ---------------------------------------------

int stderristerminal() { return _isatty(_fileno(stderr)); }

void startsockets() {
    WSADATA data;
    int err = WSAStartup(MAKEWORD(2, 0), &data);
    if (err != 0) die("Could not initialize winsock, err %d\n", err);
    if (LOBYTE(data.wVersion) != 2 || HIBYTE(data.wVersion) != 0) {
        WSACleanup();
        die("Winsock 2.0 requested but could not find support\n");
    }
}

void gethost(char* buf, std::size_t cap) {
    if (gethostname(buf, static_cast<int>(cap)) == 0) buf[cap - 1] = '\0';
}

void getipv4(char* buf, std::size_t cap, const char* host) {
    const hostent* entry = gethostbyname(host);
    if (entry == nullptr || entry->h_addr_list == nullptr || entry->h_addr_list[0] == nullptr) {
        int err = errno;
        die("Error getting IP address for host '%s': %s (%d)\n", host, std::strerror(err), err);
    }
    if (entry->h_length < 4) die("Error getting IP address unexpected size %d\n", entry->h_length);
    const auto* bytes = reinterpret_cast<const unsigned char*>(entry->h_addr_list[0]);
    std::snprintf(buf, cap, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
}

int getworkdir(char* buf, std::size_t cap) {
    return _getcwd(buf, static_cast<int>(cap)) != nullptr ? 0 : errno;
}

// ---- names ----------------------------------------------------------------

void nativeseparators(char* text) {
    for (; *text != '\0'; text++)
        if (*text == '/') *text = '\\';
}

// ---- files ----------------------------------------------------------------

namespace {

// The C runtime's error number closest to a Windows error code, for callers
// that report failures as "%s (%d)" with strerror.
int errnofromwin(DWORD code) {
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION: return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return EEXIST;
    case ERROR_DISK_FULL: return ENOSPC;
    case ERROR_DIR_NOT_EMPTY: return ENOTEMPTY;
    default: return EIO;
    }
}

}  // namespace

int openread(const char* path) { return _open(path, _O_RDONLY | _O_BINARY); }

int readable(const char* path) {
    DWORD attrs = GetFileAttributesA(path);
    if (attrs == INVALID_FILE_ATTRIBUTES) {
        errno = errnofromwin(GetLastError());
        return -1;
    }
    // A directory does not open as a file here.
    if ((attrs & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        errno = EACCES;
        return -1;
    }
    return 0;
}

int closefd(int fd) { return _close(fd); }

long readfd(int fd, void* buf, std::size_t count) {
    unsigned int chunk = count > INT_MAX ? INT_MAX : static_cast<unsigned int>(count);
    return _read(fd, buf, chunk);
}

long writefd(int fd, const void* buf, std::size_t count) {
    unsigned int chunk = count > INT_MAX ? INT_MAX : static_cast<unsigned int>(count);
    return _write(fd, buf, chunk);
}

// Windows has no in-kernel copy between descriptors; callers read and write.
long copyrange(int infd, int outfd, std::size_t count) {
    (void)infd;
    (void)outfd;
    (void)count;
    errno = ENOSYS;
    return -1;
}

int fdstat(int fd, std::int64_t* size, std::int64_t* mtime) {
    struct _stat64 st;
    if (_fstat64(fd, &st) != 0) return errno;
    *size = static_cast<std::int64_t>(st.st_size);
    *mtime = static_cast<std::int64_t>(st.st_mtime);
    return 0;
}

int pathstat(const char* path, std::int64_t* mtime) {
    struct _stat64 st;
    if (_stat64(path, &st) != 0) return errno;
    *mtime = static_cast<std::int64_t>(st.st_mtime);
    return 0;
}

int isdirectory(const char* path) {
    DWORD attrs = GetFileAttributesA(path);
    return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0 ? 1 : 0;
}

int deletefile(const char* path) { return DeleteFileA(path) ? 0 : errnofromwin(GetLastError()); }

char makedir(const char* path) {
    char buf[1024];
    std::size_t len = copydirpath(buf, sizeof buf, path, '\\');
    if (len > 0 && buf[len - 1] == ':') return '-';
    if (CreateDirectoryA(buf, nullptr)) return '+';
    DWORD err = GetLastError();
    if (err == ERROR_PATH_NOT_FOUND) return 'x';
    if (err == ERROR_FILE_EXISTS || err == ERROR_ALREADY_EXISTS) return '-';
    char msg[256];
    msg[0] = '\0';
    // 4680: text from the system, no inserts, lines of at most 72 characters
    // (the message's own line breaks are dropped); 1024: the user's language.
    FormatMessageA(4680, nullptr, err, 1024, msg, sizeof msg, nullptr);
    die("Create Directory '%s' failed: %s (%d)\n", buf, msg, static_cast<int>(err));
}

int createdir(const char* path) {
    if (*path == '/') path++;
    DWORD attrs = GetFileAttributesA(path);
    if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0) return 0;
    if (_mkdir(path) == 0 || errno == EEXIST) return 0;
    return errno;
}

// ---- status, removal and listing ----------------------------------------

namespace {

// 100-nanosecond intervals from 1601 to 1970.
constexpr std::int64_t EPOCHDIFF = 116444736000000000LL;

std::int64_t nanoseconds(FILETIME t) {
    std::int64_t ticks = (static_cast<std::int64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    return (ticks - EPOCHDIFF) * 100;
}

char kindof(DWORD attrs) {
    // A link shows as a reparse point where the host can tell (to a
    // directory even under Wine); a link to a file may show as a file.
    if ((attrs & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return 'l';
    if ((attrs & FILE_ATTRIBUTE_DIRECTORY) != 0) return 'd';
    return 'f';
}

}  // namespace

int statpath(const char* path, statinfo* info) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data))
        return errnofromwin(GetLastError());
    info->size = (static_cast<std::int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    info->mtime = nanoseconds(data.ftLastWriteTime);
    info->kind = kindof(data.dwFileAttributes);
    return 0;
}

// What a file's name reports; a link that this host shows as a link reports
// itself, and a caller comparing it with the file opened learns it differs.
int statfile(const char* path, statinfo* info) { return statpath(path, info); }

int statfd(int fd, statinfo* info) {
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    BY_HANDLE_FILE_INFORMATION data;
    if (h == INVALID_HANDLE_VALUE) return EBADF;
    if (!GetFileInformationByHandle(h, &data)) return errnofromwin(GetLastError());
    info->size = (static_cast<std::int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    info->mtime = nanoseconds(data.ftLastWriteTime);
    info->kind = kindof(data.dwFileAttributes);
    return 0;
}

int rewindfd(int fd) { return _lseeki64(fd, 0, SEEK_SET) == 0 ? 0 : errno; }

int removedir(const char* path) {
    return RemoveDirectoryA(path) ? 0 : errnofromwin(GetLastError());
}

int listdir(const char* path, std::vector<std::string>* names) {
    std::string pattern = std::string(path) + "\\*";
    WIN32_FIND_DATAA data;
    HANDLE h = FindFirstFileA(pattern.c_str(), &data);
    if (h == INVALID_HANDLE_VALUE) return errnofromwin(GetLastError());
    do {
        if (std::strcmp(data.cFileName, ".") != 0 && std::strcmp(data.cFileName, "..") != 0)
            names->emplace_back(data.cFileName);
    } while (FindNextFileA(h, &data));
    DWORD err = GetLastError();
    FindClose(h);
    return err == ERROR_NO_MORE_FILES ? 0 : errnofromwin(err);
}

// ---- below a directory, never through a link ---------------------------

namespace {

// A UTF-8 path as the wide calls take it, '/' turned into '\\'.
std::wstring widepath(const std::string& path) {
    std::wstring out;
    int n = MultiByteToWideChar(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), nullptr, 0);
    if (n <= 0) return out;
    out.resize(static_cast<std::size_t>(n));
    MultiByteToWideChar(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), out.data(), n);
    for (wchar_t& c : out)
        if (c == L'/') c = L'\\';
    return out;
}

// root/rel with each directory of rel checked not to be a reparse point (a
// link or a junction): 0 with the whole path in *full, else the error.
int checkbelow(const char* root, const char* rel, std::wstring* full) {
    std::string path = *root != '\0' ? std::string(root) + "/" : std::string();
    for (const char* p = rel; *p != '\0'; p++) {
        if (*p != '/') continue;
        std::string dir = path + std::string(rel, static_cast<std::size_t>(p - rel));
        DWORD attrs = GetFileAttributesW(widepath(dir).c_str());
        if (attrs == INVALID_FILE_ATTRIBUTES) return errnofromwin(GetLastError());
        if ((attrs & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return LINKONTHEWAY;
        if ((attrs & FILE_ATTRIBUTE_DIRECTORY) == 0) return ENOTDIR;
    }
    *full = widepath(path + rel);
    return 0;
}

}  // namespace

int statbelow(const char* root, const char* rel, statinfo* info) {
    std::wstring full;
    if (int err = checkbelow(root, rel, &full); err != 0) return err;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(full.c_str(), GetFileExInfoStandard, &data))
        return errnofromwin(GetLastError());
    info->size = (static_cast<std::int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    info->mtime = nanoseconds(data.ftLastWriteTime);
    info->kind = kindof(data.dwFileAttributes);
    return 0;
}

int removebelow(const char* root, const char* rel, bool dir) {
    std::wstring full;
    if (int err = checkbelow(root, rel, &full); err != 0) return err;
    DWORD attrs = GetFileAttributesW(full.c_str());
    if (attrs == INVALID_FILE_ATTRIBUTES) return errnofromwin(GetLastError());
    bool isdir = (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0;
    bool islink = (attrs & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if (!dir && isdir && !islink) return EEXIST;
    // A link or junction to a directory is removed as a directory entry of
    // its own: the removal never reaches what it points to.
    BOOL done = isdir ? RemoveDirectoryW(full.c_str()) : DeleteFileW(full.c_str());
    return done ? 0 : errnofromwin(GetLastError());
}

// ---- data on disk before it is named ---------------------------------------

int flushfiles(const int* fds, std::size_t n, std::size_t* failed) {
    for (std::size_t i = 0; i < n; i++) {
        HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fds[i]));
        if (h == INVALID_HANDLE_VALUE || !FlushFileBuffers(h)) {
            *failed = i;
            return h == INVALID_HANDLE_VALUE ? EBADF : errnofromwin(GetLastError());
        }
    }
    return 0;
}

int openappend(const char* path) {
    HANDLE h = CreateFileW(widepath(path).c_str(), FILE_APPEND_DATA,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        errno = errnofromwin(GetLastError());
        return -1;
    }
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY | _O_APPEND);
    if (fd < 0) CloseHandle(h);
    return fd;
}

// Each rename is written through (movefile), so nothing is left to do.
int syncdirectory(const char* dir) {
    (void)dir;
    return 0;
}

// ---- locks between runs ---------------------------------------------------

lockhandle openlock(const char* path, bool create) {
    // Others may read, write and delete it meanwhile: the lock, not the
    // sharing mode, keeps runs apart. A reparse point is opened as itself
    // and refused, so the lock file is never reached through a link.
    DWORD access = create ? GENERIC_READ | GENERIC_WRITE | DELETE : GENERIC_READ;
    std::wstring name = widepath(path);
    HANDLE h = INVALID_HANDLE_VALUE;
    // A lock file removed by --uninstall stays, pending, until the last run
    // holding it open closes it; meanwhile it cannot be opened. Such a
    // moment passes as soon as the runs that waited for it look again.
    for (int attempt = 0; attempt < 200; attempt++) {
        h = CreateFileW(name.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, create ? OPEN_ALWAYS : OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (h != INVALID_HANDLE_VALUE || GetLastError() != ERROR_ACCESS_DENIED) break;
        Sleep(10);
    }
    if (h == INVALID_HANDLE_VALUE) {
        errno = errnofromwin(GetLastError());
        return -1;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(h, &info) &&
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        CloseHandle(h);
        errno = ELOOP;
        return -1;
    }
    return reinterpret_cast<lockhandle>(h);
}

int takelock(lockhandle lock, bool exclusive, bool wait) {
    OVERLAPPED where{};
    DWORD flags = (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0) | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
    if (LockFileEx(reinterpret_cast<HANDLE>(lock), flags, 0, 1, 0, &where)) return 0;
    DWORD err = GetLastError();
    return err == ERROR_LOCK_VIOLATION || err == ERROR_IO_PENDING ? EWOULDBLOCK : errnofromwin(err);
}

int lockcurrent(lockhandle lock, const char* path) {
    (void)path;
    // A lock file removed while others hold it open waits, pending, for the
    // last of them to close it; a run that finds it so opens a new one.
    FILE_STANDARD_INFO info;
    if (!GetFileInformationByHandleEx(reinterpret_cast<HANDLE>(lock), FileStandardInfo, &info,
                                      sizeof info))
        return 0;
    return info.DeletePending ? 0 : 1;
}

int removelock(lockhandle lock, const char* path) {
    (void)path;
    // Deleted through the open handle: a name that is open cannot be
    // deleted any other way.
    FILE_DISPOSITION_INFO info{};
    info.DeleteFile = TRUE;
    if (SetFileInformationByHandle(reinterpret_cast<HANDLE>(lock), FileDispositionInfo, &info,
                                   sizeof info))
        return 0;
    return errnofromwin(GetLastError());
}

void droplock(lockhandle lock) {
    if (lock != -1) CloseHandle(reinterpret_cast<HANDLE>(lock));
}

// ---- crash-safe output files ---------------------------------------------

int createexclusive(const char* path, bool text) {
    // _O_EXCL creates the file only when no name exists there (CREATE_NEW).
    int mode = _O_WRONLY | _O_CREAT | _O_EXCL | (text ? _O_TEXT : _O_BINARY);
    return _open(path, mode, _S_IREAD | _S_IWRITE);
}

int removeleftover(const char* path) {
    // A name that exists but shows no attributes is a link to nothing.
    DWORD attrs = GetFileAttributesA(path);
    if (attrs == INVALID_FILE_ATTRIBUTES) {
        DWORD err = GetLastError();
        if (err != ERROR_FILE_NOT_FOUND && err != ERROR_PATH_NOT_FOUND) return errnofromwin(err);
    } else if ((attrs & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return EEXIST;  // a directory, or a link to one, is never a leftover of ours
    }
    // The name may be a link, which this host need not tell from a file, and
    // deleting it by name could delete what it points to. A rename never
    // follows a link standing at its new name: an empty file of our own
    // takes the name, and then that file is deleted.
    char spare[TEMPNAMESIZE + 8];
    int n = std::snprintf(spare, sizeof spare, "%s~rm", path);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof spare) return ENAMETOOLONG;
    int fd = createexclusive(spare, false);
    if (fd < 0) return errno;
    _close(fd);
    if (!MoveFileExA(spare, path, MOVEFILE_REPLACE_EXISTING)) {
        int err = errnofromwin(GetLastError());
        DeleteFileA(spare);
        return err;
    }
    return DeleteFileA(path) ? 0 : errnofromwin(GetLastError());
}

std::FILE* textstream(int fd) { return _fdopen(fd, "w"); }

int movefile(const char* from, const char* to, bool replace) {
    DWORD flags = replace ? MOVEFILE_REPLACE_EXISTING : 0;
    // The rename returns once it is on the disk.
    if (durable()) flags |= MOVEFILE_WRITE_THROUGH;
    return MoveFileExA(from, to, flags) ? 0 : errnofromwin(GetLastError());
}

#endif  // _WIN32
