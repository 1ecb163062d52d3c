// The destination lock. The lock itself is the host's (released when the
// process ends, whatever ends it); the file only gives it a place.
#include "lock/lock.h"

#include <cerrno>

#include "ending/ending.h"
#include "layout/layout.h"
#include "platform/platform.h"
#include "report/report.h"
#include "run/run.h"

namespace {

// The lock this process holds, if any (a fuzz harness runs many runs in one
// process: a new lock replaces the one before).
lockhandle held = -1;

[[noreturn]] void lockfailed(const char* path, int err) {
    filefailed("Can't lock", path, err);
}

}  // namespace

void makedestination(const runstate* rs) {
    const char* dir = rs->destdir[0] == '/' ? rs->destdir + 1 : rs->destdir;
    if (*dir == '\0' || !rs->mode.writes || rs->uninstall) return;
    dirresult r = makedir(rs->destdir, true);
    if (r.made != dirmade::made && r.made != dirmade::exists)
        filefailed("Can't create destination directory", rs->destdir, r.err);
}

void lockdestination(runstate* rs) {
    droplock(held);
    held = -1;
    bool exclusive = rs->mode.writes;  // runs that write hold the lock alone
    makedestination(rs);
    char path[PATHSIZE];
    // A destination too long for its files: reading the manifest says so.
    if (ownpath(path, sizeof path, rs->destdir, ownfile::lock) < 0) return;
    bool told = false;
    for (;;) {
        lockhandle lock = openlock(path, exclusive);
        if (lock == -1) {
            int err = errno;
            // Nothing to keep apart from: no destination, or no run that
            // writes has been there.
            if (err == ENOENT || err == ENOTDIR) return;
            lockfailed(path, err);
        }
        int err = takelock(lock, exclusive, false);
        if (err == EWOULDBLOCK) {
            if (!told) {
                reportwarning("Waiting for another run on '%s' to finish\n", rs->destdir);
                told = true;
            }
            err = takelock(lock, exclusive, true);
        }
        if (err != 0) {
            droplock(lock);
            lockfailed(path, err);
        }
        // The run that held it may have removed it (--uninstall): the lock
        // of a removed file keeps nobody apart.
        if (lockcurrent(lock, path)) {
            held = lock;
            return;
        }
        droplock(lock);
    }
}

void removelockfile(const runstate* rs) {
    char path[PATHSIZE];
    if (held == -1 || ownpath(path, sizeof path, rs->destdir, ownfile::lock) < 0) return;
    int err = removelock(held, path);
    if (err != 0) filefailed("Can't remove", path, err);
    // Nothing is left to do under the lock. Closing it now lets a host that
    // deletes an open file only when its last handle goes (Windows) remove
    // the name before the run ends, not at some moment after.
    droplock(held);
    held = -1;
}
