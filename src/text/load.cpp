// Loading a text file whole into one NUL-terminated heap block.
#include "text/text.h"

#include "ending/ending.h"
#include "platform/platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

constexpr std::size_t pathcap = 1024;

// The error number of a failed call; never 0, which would read as success.
int lasterror()
{
    return errno != 0 ? errno : EIO;
}

bool isasciialpha(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Reads up to size bytes into block: the count read, or -1 with errno set.
long long readall(int fd, char* block, std::size_t size)
{
    std::size_t got = 0;
    while (got < size) {
        long n = readfd(fd, block + got, size - got);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        if (n == 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    return static_cast<long long>(got);
}

// Length of the directory part of referrer up to and including its last
// separator; 0 when it has none after its first character.
std::size_t dirpartlen(std::string_view referrer)
{
    std::size_t last = referrer.find_last_of("/\\");
    return last == std::string_view::npos || last == 0 ? 0 : last + 1;
}

// Line of the byte at pos, counted from 1: CR LF, LF and CR each end a line.
unsigned long long lineof(const char* text, const char* pos)
{
    unsigned long long line = 1;
    for (const char* c = text; c != pos; ++c) {
        if (*c == '\n' || (*c == '\r' && (c + 1 == pos || c[1] != '\n'))) {
            ++line;
        }
    }
    return line;
}

// The files read here are text: a NUL byte in one would make the counted
// lengths and the C strings cut from it disagree.
void checknonul(const char* path, const char* text, std::size_t len)
{
    const auto* nul = static_cast<const char*>(std::memchr(text, '\0', len));
    if (nul != nullptr) {
        die("Unexpected NUL byte in file '%s' line %llu\n", path, lineof(text, nul));
    }
}

// A byte-order mark at the start: UTF-8's is dropped (line 1 is the text
// after it); a UTF-16 file, in either byte order, is not text this tool
// reads. Returns the bytes left.
std::size_t skipbom(const char* path, char* text, std::size_t len)
{
    auto starts = [&](const char* mark, std::size_t marklen) {
        return len >= marklen && std::memcmp(text, mark, marklen) == 0;
    };
    if (starts("\xFF\xFE", 2) || starts("\xFE\xFF", 2)) {
        die("File '%s' is UTF-16 text; save it as UTF-8\n", path);
    }
    if (!starts("\xEF\xBB\xBF", 3)) {
        return len;
    }
    std::memmove(text, text + 3, len - 3);
    return len - 3;
}

}  // namespace

int loadfile(const char* path, char** text, char** end, std::int64_t* mtime)
{
    *text = nullptr;
    *end = nullptr;
    int fd = openread(path);
    if (fd < 0) {
        return lasterror();
    }
    statinfo st;
    int err = statfd(fd, &st);
    if (err != 0) {
        filefailed("Error with fstat on file", path, err);
    }
    if (mtime != nullptr) {
        *mtime = wholeseconds(st.mtime);
    }
    std::int64_t size = st.size;
    // A size the address space cannot hold fails like an allocation would.
    char* block = nullptr;
    if (size >= 0 && static_cast<std::uint64_t>(size) < SIZE_MAX) {
        block = static_cast<char*>(std::malloc(static_cast<std::size_t>(size) + 1));
    }
    if (block == nullptr) {
        die("Out of memory reading file '%s' (%llu)\n", path,
            static_cast<unsigned long long>(size));
    }
    long long got = readall(fd, block, static_cast<std::size_t>(size));
    if (got < 0) {
        err = lasterror();
        closefd(fd);
        std::free(block);
        return err;
    }
    closefd(fd);
    got = static_cast<long long>(skipbom(path, block, static_cast<std::size_t>(got)));
    checknonul(path, block, static_cast<std::size_t>(got));
    block[got] = '\0';
    *text = block;
    *end = block + got;
    return 0;
}

int loadrelative(const char* path, char** text, char** end, std::int64_t* mtime,
                 const char* referrer)
{
    int err = loadfile(path, text, end, mtime);
    if (err == 0) {
        return 0;
    }
    if (isasciialpha(path[0]) && path[1] == ':') {
        return err;
    }
    std::size_t dirlen = dirpartlen(referrer);
    if (dirlen == 0) {
        return err;
    }
    if (dirlen >= pathcap) {
        return ENAMETOOLONG;
    }
    // The combined name must fit whole; a cut name would open another file.
    char buf[pathcap];
    int made = std::snprintf(buf, sizeof buf, "%.*s%s", static_cast<int>(dirlen), referrer, path);
    if (made < 0 || static_cast<std::size_t>(made) >= sizeof buf) {
        return ENAMETOOLONG;
    }
    return loadfile(buf, text, end, mtime);
}
