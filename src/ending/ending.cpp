// die() and checkfailed(): the message, the run's hooks, then the end.
#include "ending/ending.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace {

runhooks hookset{nullptr, nullptr, nullptr, nullptr};

// The hook that keeps finished work, once: a failure inside it ends the run
// as it is.
void keepwork() {
    void (*hook)() = hookset.keepwork;
    hookset.keepwork = nullptr;
    if (hook != nullptr) hook();
}

}  // namespace

void setrunhooks(const runhooks& hooks) {
    hookset = hooks;
    setwarningsink(hooks.warned);
}

const runhooks& currentrunhooks() { return hookset; }

// The work the run finished goes first (the hook may still list copies that
// were waiting), then standard output is flushed, so that one pipe shows
// both in the order they were written, then the message.
void die(const char* fmt, ...) {
    clearstatus();
    // Formatted before the hook runs, on the stack: the run may be ending for
    // want of memory. A message too long for it (a whole input line, say) is
    // formatted again for standard error, from the caller's arguments.
    static char message[16384];
    va_list args;
    va_start(args, fmt);
    va_list again;
    va_copy(again, args);
    int length = std::vsnprintf(message, sizeof message, fmt, again);
    va_end(again);
    bool whole = length >= 0 && static_cast<std::size_t>(length) < sizeof message;
    if (whole) keepwork();
    std::fflush(stdout);
    if (whole)
        std::fputs(message, stderr);
    else
        std::vfprintf(stderr, fmt, args);
    va_end(args);
    if (hookset.failed != nullptr) hookset.failed(message);
    if (!whole) keepwork();
    discardpending();
    endrun(1);
}

void filefailed(const char* what, const char* path, int err) {
    die("%s '%s': %s (%d)\n", what, path, std::strerror(err), err);
}

void checkfailed(const char* cond) {
    clearstatus();
    std::fflush(stdout);
    static char message[16384];
    std::snprintf(message, sizeof message, "fileplacer: internal check failed: %s\n", cond);
    std::fputs(message, stderr);
    if (hookset.failed != nullptr) hookset.failed(message);
    hookset.keepwork = nullptr;  // nothing more is trusted after a failed check
    discardpending();
    endrun(1, cond);
}
