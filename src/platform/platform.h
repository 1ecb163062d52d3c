// Platform layer: the only place that touches Windows or POSIX interfaces.
// Both builds behave as the win32 installer; the functions here hide how each
// host provides the few system services the tool needs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

// ---- what a failing run leaves --------------------------------------------

// Removes the temporaries of every output file not yet committed, so that a
// run that fails leaves no partial file behind.
void discardpending();
// Where this layer's warnings go (a file in use moved aside, say): sink gets
// the whole message; null for standard error, standard output flushed first.
void setwarningsink(void (*sink)(const char* message));

// ---- a status line on the terminal --------------------------------------

// 1 when standard error is a terminal.
int stderristerminal();
// Shows text on standard error as the one status line, in place of the one
// shown before.
void showstatus(const char* text);
// Erases the status line when one is shown (before a message of a failed run, say).
void clearstatus();

// ---- sockets and host facts ---------------------------------------------

// The calls that can fail in a way the run cannot go on from return false
// and describe the failure in *why, as the whole message line that names it
// (the host's own error text included); the caller decides to end the run.

// Starts the sockets library where the host needs it (Windows: version 2.0,
// checked); succeeds at once on POSIX.
bool startsockets(std::string* why);
// Host name into buf (result not examined; buf keeps its content on failure).
void gethost(char* buf, std::size_t cap);
// Dotted first IPv4 address of host into buf.
bool getipv4(char* buf, std::size_t cap, const char* host, std::string* why);
// Working directory into buf; 0 or the error number.
int getworkdir(char* buf, std::size_t cap);
// The value of an environment variable as UTF-8 (the Windows build reads the
// UTF-16 environment), or null when it is not set. The text stays valid for
// the rest of the run, and the caller may change it in place.
char* envtext(const char* name);

// ---- names and ids --------------------------------------------------------

// win32 behaviour in both builds: succeeds with id 0 and name length 0.
int lookupid(const char** namefield, int* id, int* namelen);
// '/' to '\\' on Windows; unchanged on POSIX.
void nativeseparators(char* text);
// _strnicmp semantics: ASCII letters folded to lower case, bytes compared
// unsigned, stops at the first difference, at a NUL or after n bytes.
int strnicmpascii(const char* a, const char* b, std::size_t n);

// ---- paths as a Windows host reads them (both builds) --------------------

// '/' or '\\'.
bool pathseparator(char c);
// The parent directory: "..", and dots followed by more dots or blanks.
bool parentname(std::string_view name);
// Starts with a drive: a letter and ':' ("C:").
bool startsdrive(std::string_view path);
// Absolute: starts with a separator, or with any character and ':'.
bool absolutepath(const char* path);

// ---- files ----------------------------------------------------------------

// Opens path read-only without newline translation: descriptor or -1 (errno).
int openread(const char* path);
// 0 when path would open for reading (a file the run may read), else -1 with
// errno as the open would have set it; nothing is opened.
int readable(const char* path);
int closefd(int fd);
// One read call: bytes read, 0 at end, -1 with errno (EINTR left to caller).
long readfd(int fd, void* buf, std::size_t count);
// One write call: bytes written, -1 with errno (EINTR left to caller).
long writefd(int fd, const void* buf, std::size_t count);
// Copies up to count bytes from the current offset of infd to that of outfd
// inside the kernel: bytes copied, 0 at the end of infd, -1 with errno.
// ENOSYS where the host has no such call.
long copyrange(int infd, int outfd, std::size_t count);
// 1 when a directory (or a link to one) stands at path.
int isdirectory(const char* path);
// What makedir did with one directory: made it; found it there already (or a
// file there, or the path names a drive); found its parent missing; or failed
// otherwise.
enum class dirmade { made, exists, noparent, failed };
struct dirresult {
    dirmade made = dirmade::failed;
    int err = 0;        // the error number when none was made (EEXIST: one was there)
    std::string why{};  // failed: the create-directory message, with the host's text
};
// Makes the one directory path names (one leading '/' skipped; its parent
// must exist). A directory of the tree (destination false) is made from a
// path of at most 1023 characters (a longer one fails, never cut), and a
// name ending in ':' names a drive, which is there already. The destination
// directory (destination true) is taken as given, and a directory found there
// (through a link too, or a drive's root) is looked for before one is made.
dirresult makedir(const char* path, bool destination = false);
// Link operation with the win32 behaviour in both builds: makes nothing,
// returns 0.
int makelink(const char* existing, const char* newpath);

// ---- status, removal and listing (keeping a destination in step) --------

// What stands at a path, without following a link there.
struct statinfo {
    std::int64_t size = 0;
    std::int64_t mtime = 0;   // nanoseconds since 1970 (as fine as the host keeps)
    char kind = 0;            // 'f' file, 'd' directory, 'l' link, 'o' anything else
};
// Whole seconds of a status time, rounded down as the C runtime's time_t is.
constexpr std::int64_t wholeseconds(std::int64_t ns) {
    return ns >= 0 ? ns / 1000000000 : -((-ns + 999999999) / 1000000000);
}
// Status of the name itself (a link is reported as a link, where the host can
// tell one: Windows hosts that cannot show a link to a file as a file): 0 or
// the error number.
int statpath(const char* path, statinfo* info);
// Status of an open file: 0 or the error number.
int statfd(int fd, statinfo* info);
// Status of what path names, through a link where the host follows one (as
// opening it would): 0 or the error number.
int statfile(const char* path, statinfo* info);
// Moves the file offset of fd back to the start: 0 or the error number.
int rewindfd(int fd);
// How removepath removes. By default the file or link standing at path, a
// link itself, never what it points to: 0 (also when nothing stands there),
// EEXIST for a directory, else the error number; where the host refuses to
// remove a read-only file or one another program holds open (Windows), it
// goes as described under "files another program holds open".
struct removeway {
    // One plain delete of the file: 0 or the error number (ENOENT when
    // nothing stands there); a read-only file or one in use stays (Windows).
    bool plain = false;
    // The root directory that path lies below ("" the working directory),
    // reached without following a link at any directory of path (root itself
    // may be reached through one): LINKONTHEWAY when one is a link, ENOENT
    // when nothing stands there.
    const char* below = nullptr;
    // Below a root: the empty directory there (ENOTEMPTY when it holds
    // anything), not a file.
    bool dir = false;
};
int removepath(const char* path, const removeway& way = {});
// The names in a directory, without "." and "..": 0 or the error number.
int listdir(const char* path, std::vector<std::string>* names);

// ---- files another program holds open ------------------------------------

// Replacing (movefile with replace, so atomiccommit) and removing (removepath)
// a file that another program holds open, where the host refuses both (Windows),
// move it aside within its directory first and then delete it; when it cannot
// be deleted either it stays under its aside name, with a warning. A
// read-only file is replaced or removed as any other. A file held open so
// that not even a rename works fails with EBUSY after about a second.
struct asidefile {
    std::string path;   // the name it had
    std::string aside;  // the name it has now
};
// The files this run left aside, in order.
const std::vector<asidefile>& filesleftaside();
// Whether path ends in a name that files in use are moved aside to.
bool isasidename(const std::string& path);

// ---- below a directory, never through a link ---------------------------

// Error number of a link (or, on Windows, a junction or other reparse point)
// standing on the way to a path below a directory.
constexpr int LINKONTHEWAY = -1;
// Status of root/rel without following a link at any component of rel
// (root itself may be reached through one; "" is the working directory):
// 0, LINKONTHEWAY when a directory of rel is a link, else the error number
// (ENOENT or ENOTDIR: nothing stands there).
int statbelow(const char* root, const char* rel, statinfo* info);

// ---- locks between runs ---------------------------------------------------

// A lock file held through the host's own locks, which go with the process
// however it ends: a killed run leaves no stale lock. The handle is -1 when
// none is open.
using lockhandle = std::intptr_t;
// Opens the lock file at path, never through a link; with create it is made
// when missing (and opened for writing). The handle, or -1 with errno.
lockhandle openlock(const char* path, bool create);
// Takes the lock, shared or exclusive: 0, EWOULDBLOCK when wait is false and
// another process holds it, else the error number.
int takelock(lockhandle lock, bool exclusive, bool wait);
// 1 when the lock file is still the one at path (not removed or replaced
// while this process waited for it), else 0.
int lockcurrent(lockhandle lock, const char* path);
// Removes the lock file at path while the lock is held (a process waiting
// for it then finds it removed): 0 or the error number.
int removelock(lockhandle lock, const char* path);
// Releases the lock and closes the file.
void droplock(lockhandle lock);

// ---- data on disk before it is named ---------------------------------------

// Whether files are flushed to the disk before they take their names (the
// default) or not (--no-sync).
void setdurable(bool on);
bool durable();
// Flushes the data of the open files fds to the disk as one batch (on Linux
// one sync of each file system they are on, else each file): 0, or the
// error with *failed the index of the file it concerns.
// samefs, when given, marks each file known to be on the file system of the
// file before it (one in the same directory), which then need not be asked.
int flushfiles(const int* fds, std::size_t n, std::size_t* failed,
               const unsigned char* samefs = nullptr);
// How many files this process may hold open at once.
std::size_t openfilelimit();
// The same flush made by a thread of its own, so that the disk writes one
// batch while the run goes on with the next. Once the flush succeeded, the
// same thread commits the files of commits in their order, as atomiccommit
// would, until one fails or replaces a file: their closing and renaming
// leave the copying too.
// The descriptors must stay open, and nothing may be written to them or done
// with those files, until waitflush, which ends the job and returns what
// flushfiles would have; with 0, committed (when given) gets the result of
// each commit: what atomiccommit returned, or NOTCOMMITTED for one not tried.
struct flushjob;
struct atomicfile;
struct flushcommit {
    atomicfile* file;
    bool replace;
};
constexpr int NOTCOMMITTED = -1;
flushjob* startflush(const int* fds, std::size_t n, const unsigned char* samefs,
                     const flushcommit* commits = nullptr, std::size_t ncommits = 0);
// Whether the flush has ended (waitflush would not wait).
bool flushdone(const flushjob* job);
int waitflush(flushjob* job, std::size_t* failed, std::vector<int>* committed = nullptr);
// Opens path for appending, created when missing, never through a link:
// descriptor, or -1 with errno.
int openappend(const char* path);
// Makes the names given in directory dir durable (its renames and removals):
// 0 or the error. Windows writes each rename through instead.
int syncdirectory(const char* dir);

// ---- crash-safe output files ---------------------------------------------

// Room for a temporary name: the final name (at most PATHSIZE - 1 characters)
// plus the tag and counter that make it a temporary.
constexpr std::size_t TEMPNAMESIZE = 1024 + 32;

// An output file written under a temporary name in the target's directory and
// moved to its name only when complete. Until it is committed it is one of
// the run's pending files: discardpending() removes the temporary, and so does
// the destructor when the file was never committed.
struct atomicfile {
    char path[1024];              // final name
    char tmppath[TEMPNAMESIZE];   // temporary name beside it
    int fd = -1;                  // open descriptor of a binary file, else -1
    std::FILE* stream = nullptr;  // open stream of a text file, else null
    int datafd = -1;              // the descriptor under either, while open
    bool active = false;          // temporary exists and is not yet committed
    atomicfile* nextpending = nullptr;  // next uncommitted file (discardpending() removes them all)
    atomicfile* prevpending = nullptr;  // the one before it in that list
    ~atomicfile();
};

// Creates tmppath exclusively, never through a link, with the permissions of
// a new file: 0666 less the umask for binary files (written through fd),
// 0644 less the umask for text files (written through stream, with the host's
// line ends). A plain file or a link already there is the leftover of an
// interrupted run and is removed first (a link itself, never what it points
// to). Returns 0 or the error number; EEXIST means something else stands at
// tmppath (a directory, say) and the caller should choose another name.
int atomicopen(atomicfile* f, const char* path, const char* tmppath, bool text);
// Closes the file: 0 or the error number of the failed flush or close.
int atomicclose(atomicfile* f);
// Writes out what the stream holds and flushes the open file to the disk
// (when files are flushed at all): 0 or the error number.
int atomicsync(atomicfile* f);
// Moves the closed temporary to its name. With replace false an existing file
// is never replaced (EEXIST). Returns 0 or the error number; the temporary is
// removed on failure.
int atomiccommit(atomicfile* f, bool replace);
// Closes (if open) and removes the temporary.
void atomicdiscard(atomicfile* f);
