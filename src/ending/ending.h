// The end of a run: the one place that decides a run is over. The layers
// below return their failures; a stage that cannot go on calls die() (or a
// failed internal check calls checkfailed()), and every end of a run, good or
// bad, passes through endrun().
#pragma once

// Prints the formatted message on standard error, removes the pending
// temporary output files and ends the run with status 1.
[[noreturn]] void die(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// die() for a failure of a call on a file: "<what> '<path>': <reason> (<err>)".
[[noreturn]] void filefailed(const char* what, const char* path, int err);

// Internal invariant that holds in every build type: a failure names the
// condition and the tool, then ends the run with status 1.
[[noreturn]] void checkfailed(const char* cond);
#define FP_CHECK(cond) ((cond) ? (void)0 : checkfailed(#cond))

// The parts the upper layers take in the end of a run; any may be null.
struct runhooks {
    // A failing run still puts the work it finished in place; called once, by
    // die() (a failure inside it ends the run as it is), never after a failed
    // check.
    void (*keepwork)();
    // The message die() or checkfailed() printed (to report it again, as a
    // JSON object say; a message longer than 16 KiB arrives cut short).
    void (*failed)(const char* message);
    // The exit status just before the run ends (once).
    void (*ending)(int status);
    // A warning of the platform layer; null: standard error.
    void (*warned)(const char* message);
};
// Sets the hooks; a layer that owns some of them changes only those:
// `runhooks h = currentrunhooks(); h.failed = f; setrunhooks(h);`.
void setrunhooks(const runhooks& hooks);
// The hooks in force (null members when none were set).
const runhooks& currentrunhooks();

// Ends the run with status once its message is out (check: the condition of a
// failed internal check, else null). The fuzz build returns to its harness
// instead of ending the process (src/ending/runseam.h).
[[noreturn]] void endrun(int status, const char* check = nullptr);
