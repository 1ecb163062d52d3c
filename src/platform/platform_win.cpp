// Platform functions for Windows: Windows Sockets 2 for the host facts, the
// wide Windows file functions (every path converted from UTF-8 by widepath),
// and the C runtime's low-level descriptors over the handles they open.
#ifdef _WIN32

#include <winsock2.h>
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "platform/platform_internal.h"
#include "platform/wide.h"

// ---- console output ---------------------------------------------------------

namespace {

// Whether standard error was a console when the run started (it is a pipe
// once the console output goes through the writer below).
bool stderrconsole = false;

struct consolewriter {
    HANDLE console = nullptr;  // where the text is shown
    HANDLE readend = nullptr;  // what the run writes, as UTF-8
    HANDLE thread = nullptr;
    bool out = false;          // standard output goes through it
    bool err = false;          // standard error goes through it
};

consolewriter writer;

// Shows what arrives through the pipe on the console through its wide call,
// so that any character displays whatever the console's code page; a
// character cut between two reads waits for its end.
DWORD WINAPI writeconsole(void*) {
    auto show = [](std::string_view utf8) {
        std::wstring text = widetext(utf8);
        DWORD written = 0;
        if (!text.empty())
            WriteConsoleW(writer.console, text.data(), static_cast<DWORD>(text.size()), &written,
                          nullptr);
    };
    std::string pending;
    char buf[4096];
    DWORD got = 0;
    while (ReadFile(writer.readend, buf, sizeof buf, &got, nullptr) && got > 0) {
        pending.append(buf, got);
        // Up to the last complete UTF-8 sequence.
        std::size_t end = pending.size();
        std::size_t back = 0;
        while (back < 3 && back < end &&
               (static_cast<unsigned char>(pending[end - 1 - back]) & 0xC0) == 0x80)
            back++;
        if (back < end) {
            auto lead = static_cast<unsigned char>(pending[end - 1 - back]);
            std::size_t need = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
            if (need > back + 1) end -= back + 1;
        }
        show(std::string_view(pending.data(), end));
        pending.erase(0, end);
    }
    show(pending);
    return 0;
}

// At exit: the streams are flushed and closed, so that the writer reads to
// the end and shows everything before the process ends.
void stopconsoleoutput() {
    std::fflush(stdout);
    std::fflush(stderr);
    if (writer.out) _close(1);
    if (writer.err) _close(2);
    WaitForSingleObject(writer.thread, 10000);
}

bool isconsole(HANDLE h) {
    DWORD mode;
    return h != nullptr && h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) != 0;
}

}  // namespace

// Standard output and standard error that are a console go through a pipe
// to a thread that shows the text with the console's wide call: the run
// writes UTF-8 everywhere, as it does to pipes and files.
void startconsoleoutput() {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    bool outconsole = isconsole(out);
    stderrconsole = isconsole(err);
    if (!outconsole && !stderrconsole) return;
    HANDLE writeend = nullptr;
    if (!CreatePipe(&writer.readend, &writeend, nullptr, 0)) return;
    // Text mode, as the console streams are: lines end in CR LF.
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(writeend), _O_WRONLY | _O_TEXT);
    if (fd < 0) {
        CloseHandle(writer.readend);
        CloseHandle(writeend);
        return;
    }
    // A handle of its own: the standard handle closes when its descriptor
    // takes the pipe.
    if (!DuplicateHandle(GetCurrentProcess(), outconsole ? out : err, GetCurrentProcess(),
                         &writer.console, 0, FALSE, DUPLICATE_SAME_ACCESS) ||
        (writer.thread = CreateThread(nullptr, 0, writeconsole, nullptr, 0, nullptr)) == nullptr) {
        _close(fd);
        CloseHandle(writer.readend);
        return;
    }
    // Each message goes out whole and in order, as on the console itself.
    writer.out = outconsole;
    writer.err = stderrconsole;
    if (outconsole) {
        _dup2(fd, 1);
        std::setvbuf(stdout, nullptr, _IONBF, 0);
    }
    if (stderrconsole) {
        _dup2(fd, 2);
        std::setvbuf(stderr, nullptr, _IONBF, 0);
    }
    _close(fd);
    std::atexit(stopconsoleoutput);
}

int stderristerminal() { return stderrconsole ? 1 : 0; }

// ---- wide names ------------------------------------------------------------

namespace {

// The code page that files written for the legacy code page use: the
// system's ANSI code page, whatever the process itself runs with (its
// manifest asks for UTF-8).
UINT legacycodepage() {
    static UINT page = [] {
        DWORD value = 0;
        if (GetLocaleInfoW(LOCALE_SYSTEM_DEFAULT, LOCALE_IDEFAULTANSICODEPAGE | LOCALE_RETURN_NUMBER,
                           reinterpret_cast<LPWSTR>(&value), sizeof value / sizeof(wchar_t)) == 0 ||
            value == 0 || value == CP_UTF8)
            return UINT{1252};
        return static_cast<UINT>(value);
    }();
    return page;
}

std::wstring fromutf16(const std::u16string& text) {
    return std::wstring(reinterpret_cast<const wchar_t*>(text.data()), text.size());
}

// The working directory as the host gives it; empty when it cannot be read.
std::wstring currentdir() {
    DWORD need = GetCurrentDirectoryW(0, nullptr);
    std::wstring dir(need, L'\0');
    DWORD len = need == 0 ? 0 : GetCurrentDirectoryW(need, dir.data());
    dir.resize(len < need ? len : 0);
    return dir;
}

// The working directory, for the length of relative paths and their "\\?\"
// form. The tool never changes it, so it is read once.
const std::u16string& workdir() {
    static std::u16string dir = [] {
        std::wstring buf = currentdir();
        return std::u16string(reinterpret_cast<const char16_t*>(buf.data()), buf.size());
    }();
    return dir;
}

}  // namespace

std::wstring widetext(std::string_view text) {
    std::u16string wide;
    if (utf8toutf16(text, &wide)) return fromutf16(wide);
    if (text.empty()) return std::wstring();
    int len = static_cast<int>(text.size());
    int need = MultiByteToWideChar(legacycodepage(), 0, text.data(), len, nullptr, 0);
    std::wstring out(need > 0 ? need : 0, L'\0');
    if (need > 0) MultiByteToWideChar(legacycodepage(), 0, text.data(), len, out.data(), need);
    return out;
}

std::wstring widepath(const char* path) {
    std::wstring wide = widetext(path);
    std::u16string_view view(reinterpret_cast<const char16_t*>(wide.data()), wide.size());
    if (absolutelength(view, workdir().size()) < CLASSICPATHLIMIT || workdir().empty())
        return wide;
    return fromutf16(longpathform(view, workdir()));
}

std::string narrowtext(const wchar_t* text) {
    return utf16toutf8(reinterpret_cast<const char16_t*>(text));
}

// ---- sockets and host facts ---------------------------------------------

bool startsockets(std::string* why) {
    WSADATA data;
    int err = WSAStartup(MAKEWORD(2, 0), &data);
    if (err != 0) {
        *why = formatmessage("Could not initialize winsock, err %d\n", err);
        return false;
    }
    if (LOBYTE(data.wVersion) != 2 || HIBYTE(data.wVersion) != 0) {
        WSACleanup();
        *why = "Winsock 2.0 requested but could not find support\n";
        return false;
    }
    return true;
}

void gethost(char* buf, std::size_t cap) {
    if (gethostname(buf, static_cast<int>(cap)) == 0) buf[cap - 1] = '\0';
}

bool getipv4(char* buf, std::size_t cap, const char* host, std::string* why) {
    const hostent* entry = gethostbyname(host);
    if (entry == nullptr || entry->h_addr_list == nullptr || entry->h_addr_list[0] == nullptr) {
        int err = errno;
        *why = formatmessage("Error getting IP address for host '%s': %s (%d)\n", host,
                             std::strerror(err), err);
        return false;
    }
    if (entry->h_length < 4) {
        *why = formatmessage("Error getting IP address unexpected size %d\n", entry->h_length);
        return false;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(entry->h_addr_list[0]);
    std::snprintf(buf, cap, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
    return true;
}

int getworkdir(char* buf, std::size_t cap) {
    std::wstring dir = currentdir();
    if (dir.empty()) return EIO;
    std::string text = narrowtext(dir.c_str());
    if (text.size() >= cap) return ERANGE;
    std::memcpy(buf, text.c_str(), text.size() + 1);
    return 0;
}

char* envtext(const char* name) {
    // Each value read is kept, so that the pointer handed out stays valid.
    static std::map<std::string, std::string> values;
    const wchar_t* value = _wgetenv(widetext(name).c_str());
    if (value == nullptr) return nullptr;
    std::string& text = values[name];
    text = narrowtext(value);
    return text.data();
}

// ---- names ----------------------------------------------------------------

void nativeseparators(char* text) {
    for (; *text != '\0'; text++)
        if (*text == '/') *text = '\\';
}

// ---- files ----------------------------------------------------------------

namespace {

// The C runtime's error number closest to each Windows error code, for
// callers that report failures as "%s (%d)" with strerror; EIO for the rest.
constexpr struct {
    DWORD code;
    int err;
} winerrors[] = {
    {ERROR_FILE_NOT_FOUND, ENOENT},             {ERROR_PATH_NOT_FOUND, ENOENT},
    {ERROR_INVALID_NAME, ENOENT},               {ERROR_BAD_PATHNAME, ENOENT},
    {ERROR_INVALID_DRIVE, ENOENT},              {ERROR_ACCESS_DENIED, EACCES},
    {ERROR_SHARING_VIOLATION, EACCES},          {ERROR_LOCK_VIOLATION, EACCES},
    {ERROR_WRITE_PROTECT, EACCES},              {ERROR_FILE_EXISTS, EEXIST},
    {ERROR_ALREADY_EXISTS, EEXIST},             {ERROR_DISK_FULL, ENOSPC},
    {ERROR_HANDLE_DISK_FULL, ENOSPC},           {ERROR_DIR_NOT_EMPTY, ENOTEMPTY},
    {ERROR_FILENAME_EXCED_RANGE, ENAMETOOLONG}, {ERROR_TOO_MANY_OPEN_FILES, EMFILE},
    {ERROR_NOT_ENOUGH_MEMORY, ENOMEM},          {ERROR_OUTOFMEMORY, ENOMEM},
    {ERROR_INVALID_HANDLE, EBADF},              {ERROR_DIRECTORY, ENOTDIR},
    {ERROR_NOT_SAME_DEVICE, EXDEV},             {ERROR_BUSY, EBUSY},
};

int errnofromwin(DWORD code) {
    for (const auto& e : winerrors)
        if (e.code == code) return e.err;
    return EIO;
}

// errno from the last Windows error; -1 for the callers that return it so.
int failwin() {
    errno = errnofromwin(GetLastError());
    return -1;
}

// A C runtime descriptor owning handle h (closed on failure): -1 with errno.
int descriptor(HANDLE h, int flags) {
    if (h == INVALID_HANDLE_VALUE) return failwin();
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), flags);
    if (fd < 0) {
        CloseHandle(h);
        errno = EMFILE;
    }
    return fd;
}

DWORD attributes(const char* path) { return GetFileAttributesW(widepath(path).c_str()); }

// At most INT_MAX bytes, as one call of the C runtime moves.
unsigned int chunk(std::size_t count) {
    return count > INT_MAX ? INT_MAX : static_cast<unsigned int>(count);
}

// Nanoseconds since 1970 of a time in 100-nanosecond ticks since 1601.
std::int64_t nanoseconds(std::int64_t ticks) { return (ticks - 116444736000000000LL) * 100; }

char kindof(DWORD attrs) {
    // A link shows as a reparse point where the host can tell (to a
    // directory even under Wine); a link to a file may show as a file.
    if ((attrs & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return 'l';
    if ((attrs & FILE_ATTRIBUTE_DIRECTORY) != 0) return 'd';
    return 'f';
}

// Status of the name wide: 0 or the error number.
int statwide(const std::wstring& wide, statinfo* info) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data))
        return errnofromwin(GetLastError());
    info->size = (static_cast<std::int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    info->mtime = nanoseconds((static_cast<std::int64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                              data.ftLastWriteTime.dwLowDateTime);
    info->kind = kindof(data.dwFileAttributes);
    return 0;
}

}  // namespace

int openread(const char* path) {
    // Others may go on reading, writing or even renaming the file meanwhile,
    // as with the C runtime's open.
    HANDLE h = CreateFileW(widepath(path).c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN,
                           nullptr);
    return descriptor(h, _O_RDONLY | _O_BINARY);
}

int readable(const char* path) {
    DWORD attrs = attributes(path);
    if (attrs == INVALID_FILE_ATTRIBUTES) return failwin();
    // A directory does not open as a file here.
    if ((attrs & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        errno = EACCES;
        return -1;
    }
    return 0;
}
int closefd(int fd) { return _close(fd); }

long readfd(int fd, void* buf, std::size_t count) { return _read(fd, buf, chunk(count)); }

long writefd(int fd, const void* buf, std::size_t count) { return _write(fd, buf, chunk(count)); }

// Windows has no in-kernel copy between descriptors; callers read and write.
long copyrange(int, int, std::size_t) {
    errno = ENOSYS;
    return -1;
}

int isdirectory(const char* path) {
    DWORD attrs = attributes(path);
    return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0 ? 1 : 0;
}

dirresult makedir(const char* path, bool destination) {
    char buf[1024];
    std::wstring wide;
    if (destination) {
        if (*path == '/') path++;
        wide = widepath(path);
        DWORD attrs = GetFileAttributesW(wide.c_str());
        if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0)
            return {dirmade::exists, EEXIST};
    } else {
        if (dirresult r; !copydirpath(buf, sizeof buf, path, '\\', &r)) return r;
        wide = widepath(buf);
    }
    if (CreateDirectoryW(wide.c_str(), nullptr)) return {dirmade::made};
    DWORD err = GetLastError();
    dirresult r{dirmade::failed, errnofromwin(err)};
    if (err == ERROR_ALREADY_EXISTS || (err == ERROR_FILE_EXISTS && !destination)) {
        r.made = dirmade::exists;
    } else if (err == ERROR_PATH_NOT_FOUND) {
        r.made = dirmade::noparent;
    } else {
        wchar_t msg[256];
        msg[0] = L'\0';
        // 4680: text from the system, no inserts, lines of at most 72
        // characters (the message's own line breaks are dropped); 1024: the
        // user's language.
        FormatMessageW(4680, nullptr, err, 1024, msg, sizeof msg / sizeof msg[0], nullptr);
        r.why = dirfailure(destination ? path : buf, narrowtext(msg).c_str(), static_cast<int>(err));
    }
    return r;
}

// ---- status, removal and listing ----------------------------------------

int statpath(const char* path, statinfo* info) { return statwide(widepath(path), info); }
// What a file's name reports; a link that this host shows as a link reports
// itself, and a caller comparing it with the file opened learns it differs.
int statfile(const char* path, statinfo* info) { return statpath(path, info); }

int statfd(int fd, statinfo* info) {
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    if (h == INVALID_HANDLE_VALUE) return EBADF;
    // Two plain queries of the handle: GetFileInformationByHandle also asks
    // for the volume's serial number, which costs a round trip to the volume
    // manager per file (a third of a first install's time under Wine).
    FILE_BASIC_INFO basic;
    FILE_STANDARD_INFO standard;
    if (!GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic) ||
        !GetFileInformationByHandleEx(h, FileStandardInfo, &standard, sizeof standard))
        return errnofromwin(GetLastError());
    info->size = standard.EndOfFile.QuadPart;
    info->mtime = nanoseconds(basic.LastWriteTime.QuadPart);
    info->kind = kindof(basic.FileAttributes);
    return 0;
}

int rewindfd(int fd) { return _lseeki64(fd, 0, SEEK_SET) == 0 ? 0 : errno; }

int listdir(const char* path, std::vector<std::string>* names) {
    std::string pattern = std::string(path) + "\\*";
    WIN32_FIND_DATAW data;
    HANDLE h = FindFirstFileW(widepath(pattern.c_str()).c_str(), &data);
    if (h == INVALID_HANDLE_VALUE) return errnofromwin(GetLastError());
    do {
        if (std::wcscmp(data.cFileName, L".") != 0 && std::wcscmp(data.cFileName, L"..") != 0)
            names->push_back(narrowtext(data.cFileName));
    } while (FindNextFileW(h, &data));
    DWORD err = GetLastError();
    FindClose(h);
    return err == ERROR_NO_MORE_FILES ? 0 : errnofromwin(err);
}

// ---- below a directory, never through a link ---------------------------

namespace {

// root/rel with each directory of rel checked not to be a reparse point (a
// link or a junction): 0 with the whole path in *full, else the error.
int checkbelow(const char* root, const char* rel, std::wstring* full) {
    std::string path = *root != '\0' ? std::string(root) + "/" : std::string();
    for (const char* p = rel; *p != '\0'; p++) {
        if (*p != '/') continue;
        std::string dir = path + std::string(rel, static_cast<std::size_t>(p - rel));
        DWORD attrs = GetFileAttributesW(widepath(dir.c_str()).c_str());
        if (attrs == INVALID_FILE_ATTRIBUTES) return errnofromwin(GetLastError());
        if ((attrs & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return LINKONTHEWAY;
        if ((attrs & FILE_ATTRIBUTE_DIRECTORY) == 0) return ENOTDIR;
    }
    *full = widepath((path + rel).c_str());
    return 0;
}

// What stands at root/rel, reached never through a link: the file or link
// (EEXIST for a directory) or the empty directory.
int removeunder(const char* root, const char* rel, bool dir) {
    std::wstring full;
    if (int err = checkbelow(root, rel, &full); err != 0) return err;
    DWORD attrs = GetFileAttributesW(full.c_str());
    if (attrs == INVALID_FILE_ATTRIBUTES) return errnofromwin(GetLastError());
    bool isdir = (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0;
    bool islink = (attrs & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if (!dir && isdir && !islink) return EEXIST;
    // A link or junction to a directory is removed as a directory entry of
    // its own: the removal never reaches what it points to.
    if (isdir) return RemoveDirectoryW(full.c_str()) ? 0 : errnofromwin(GetLastError());
    // A file goes as every removed file does: read-only or held open by
    // another program included, never through a link.
    std::string path = *root != '\0' ? std::string(root) + "/" + rel : std::string(rel);
    return removeleftover(path.c_str());
}

}  // namespace

int statbelow(const char* root, const char* rel, statinfo* info) {
    std::wstring full;
    if (int err = checkbelow(root, rel, &full); err != 0) return err;
    return statwide(full, info);
}

int removepath(const char* path, const removeway& way) {
    if (way.below != nullptr) return removeunder(way.below, path, way.dir);
    if (!way.plain) return removeleftover(path);
    return DeleteFileW(widepath(path).c_str()) ? 0 : errnofromwin(GetLastError());
}

// ---- data on disk before it is named ---------------------------------------

// The C runtime's table of descriptors holds 2048.
std::size_t openfilelimit() { return 2048; }

int flushbatch(const int* fds, std::size_t n, std::size_t* failed, const unsigned char*) {
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
    return descriptor(h, _O_BINARY | _O_APPEND);
}

// Each rename is written through (movefile), so nothing is left to do.
int syncdirectory(const char*) { return 0; }

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
    if (h == INVALID_HANDLE_VALUE) return failwin();
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

int lockcurrent(lockhandle lock, const char*) {
    // A lock file removed while others hold it open waits, pending, for the
    // last of them to close it; a run that finds it so opens a new one.
    FILE_STANDARD_INFO info;
    if (!GetFileInformationByHandleEx(reinterpret_cast<HANDLE>(lock), FileStandardInfo, &info,
                                      sizeof info))
        return 0;
    return info.DeletePending ? 0 : 1;
}

int removelock(lockhandle lock, const char*) {
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
    // CREATE_NEW creates the file only when no name exists there.
    HANDLE h = CreateFileW(widepath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                           CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    return descriptor(h, _O_WRONLY | (text ? _O_TEXT : _O_BINARY));
}

namespace {

// How long a file in use is waited for: a scanner or an indexer holds a file
// for a moment only.
constexpr int BUSYTRIES = 10;
constexpr DWORD BUSYWAIT = 100;  // milliseconds between tries

bool inuse(DWORD err) {
    return err == ERROR_SHARING_VIOLATION || err == ERROR_ACCESS_DENIED ||
           err == ERROR_LOCK_VIOLATION;
}

// A plain file (not a directory) stands at wide.
bool isplainfile(const std::wstring& wide) {
    DWORD attrs = GetFileAttributesW(wide.c_str());
    return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// Clears the read-only attribute of the file at wide: true when it had one.
bool clearreadonly(const std::wstring& wide) {
    DWORD attrs = GetFileAttributesW(wide.c_str());
    if (attrs == INVALID_FILE_ATTRIBUTES || (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
        (attrs & FILE_ATTRIBUTE_READONLY) == 0)
        return false;
    return SetFileAttributesW(wide.c_str(), attrs & ~FILE_ATTRIBUTE_READONLY) != 0;
}

// Deletes the file that was moved aside; when another program still holds
// it, it stays for a later run, with a warning.
void dropaside(const char* path, const std::string& aside) {
    std::wstring wide = widepath(aside.c_str());
    if (DeleteFileW(wide.c_str())) return;
    if (clearreadonly(wide) && DeleteFileW(wide.c_str())) return;
    hostwarning("WARNING: '%s' is in use by another program; it was moved aside as '%s' and is "
                "removed by a later run\n",
                path, aside.c_str());
    noteaside(path, aside.c_str());
}

// Moves the file at path, which another program holds open, aside within its
// directory (renaming an open file works where replacing or deleting it does
// not): 0 with *aside set, else the Windows error.
DWORD setaside(const char* path, std::string* aside) {
    std::wstring wide = widepath(path);
    for (int n = 1; n < 1000; n++) {
        *aside = asidename(path, n);
        if (MoveFileExW(wide.c_str(), widepath(aside->c_str()).c_str(), 0)) return 0;
        DWORD err = GetLastError();
        if (err != ERROR_ALREADY_EXISTS && err != ERROR_FILE_EXISTS) return err;
    }
    return ERROR_ALREADY_EXISTS;
}

// Replaces (from is the new file) or removes (from is null) the file at
// path. A read-only attribute is cleared first; a file another program holds
// open is moved aside, and the move is tried again over about a second while
// that fails too. 0, ERROR_BUSY when the file stayed in use, or the Windows
// error.
DWORD replaceorremove(const char* from, const char* path, bool (*step)(const std::wstring&,
                                                                         const std::wstring&)) {
    std::wstring wide = widepath(path);
    std::wstring widefrom = from != nullptr ? widepath(from) : std::wstring();
    if (step(widefrom, wide)) return 0;
    DWORD err = GetLastError();
    if (!inuse(err) || !isplainfile(wide)) return err;
    if (clearreadonly(wide)) {
        if (step(widefrom, wide)) return 0;
        err = GetLastError();
        if (!inuse(err)) return err;
    }
    for (int attempt = 1;; attempt++) {
        std::string aside;
        DWORD asideerr = setaside(path, &aside);
        if (asideerr == 0) {
            if (from != nullptr && !MoveFileExW(widefrom.c_str(), wide.c_str(), 0)) {
                // The name is free, yet the new file cannot take it: the old
                // one goes back, so that nothing is lost.
                err = GetLastError();
                MoveFileExW(widepath(aside.c_str()).c_str(), wide.c_str(), 0);
                return err;
            }
            dropaside(path, aside);
            return 0;
        }
        if (!inuse(asideerr)) return err;
        // Held open by a program that lets nobody even rename the file.
        if (attempt == BUSYTRIES) return asideerr == ERROR_ACCESS_DENIED ? err : ERROR_BUSY;
        Sleep(BUSYWAIT);
        if (step(widefrom, wide)) return 0;
        err = GetLastError();
        if (!inuse(err)) return err;
    }
}

// MOVEFILE_WRITE_THROUGH while files are made durable: the rename returns
// once it is on the disk.
DWORD throughflag() { return durable() ? MOVEFILE_WRITE_THROUGH : 0; }

bool replacestep(const std::wstring& from, const std::wstring& to) {
    return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | throughflag()) != 0;
}

// The name may be a link, which this host need not tell from a file, and
// deleting it by name could delete what it points to. A rename never follows
// a link standing at its new name: an empty file of our own takes the name,
// and then that file is deleted.
bool removestep(const std::wstring&, const std::wstring& path) {
    std::wstring widespare = path + L"~rm";
    auto create = [&] {
        return CreateFileW(widespare.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    };
    HANDLE h = create();
    // The spare of a removal that was interrupted goes first.
    if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS &&
        DeleteFileW(widespare.c_str()))
        h = create();
    if (h == INVALID_HANDLE_VALUE) return false;
    CloseHandle(h);
    if (!MoveFileExW(widespare.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        DWORD err = GetLastError();
        DeleteFileW(widespare.c_str());
        SetLastError(err);
        return false;
    }
    return DeleteFileW(path.c_str()) != 0;
}

}  // namespace

int removeleftover(const char* path) {
    // A name that exists but shows no attributes is a link to nothing.
    std::wstring wide = widepath(path);
    DWORD attrs = GetFileAttributesW(wide.c_str());
    if (attrs == INVALID_FILE_ATTRIBUTES) {
        DWORD err = GetLastError();
        if (err != ERROR_FILE_NOT_FOUND && err != ERROR_PATH_NOT_FOUND) return errnofromwin(err);
    } else if ((attrs & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return EEXIST;  // a directory, or a link to one, is never a leftover of ours
    }
    // The spare name removestep puts beside it must fit as a temporary's does.
    if (std::strlen(path) + sizeof "~rm" > TEMPNAMESIZE + 8) return ENAMETOOLONG;
    DWORD err = replaceorremove(nullptr, path, removestep);
    return err == 0 ? 0 : errnofromwin(err);
}

std::FILE* textstream(int fd) { return _fdopen(fd, "w"); }

int movefile(const char* from, const char* to, bool replace) {
    if (replace) {
        DWORD err = replaceorremove(from, to, replacestep);
        return err == 0 ? 0 : errnofromwin(err);
    }
    return MoveFileExW(widepath(from).c_str(), widepath(to).c_str(), throughflag())
               ? 0
               : errnofromwin(GetLastError());
}

#endif  // _WIN32
