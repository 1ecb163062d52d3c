# Resource bounds of the readers: inputs built to make a run take unbounded
# time or memory end with their message, or succeed, in bounded time and with
# memory proportional to the files read. Linux build only: the child's peak
# memory is measured with wait4, which a Wine launcher does not report for
# the Windows process.
import os
import resource
import subprocess
import time

from helpers import MYTYPE, Result, clean_env, command, failed, layout, linux_only, ok, spawn

MIB = 1024 * 1024
SECONDS = 10


def sanitized(t):
    """True for the ASan+UBSan build, whose time and memory are inflated."""
    with open(t.program, "rb") as f:
        return b"__asan_init" in f.read()


def cpulimit(seconds):
    resource.setrlimit(resource.RLIMIT_CPU, (seconds + 5, seconds + 5))


def measured(t, *options, read=()):
    """Runs the tool once with options, installing src into out; checks time
    and peak memory; returns the Result. The run reads install.ins,
    types.txt and the files of read.

    The bound is twice the size of the files read plus 64 MiB within 10
    seconds. The sanitizer build keeps freed blocks in a quarantine and
    shadows every byte, so it gets a small quarantine, three times that
    memory and three times that time: enough to tell bounded from unbounded,
    which is what these scenarios are about.
    """
    linux_only(t, "the peak memory of the Windows process is not measured under Wine")
    size = sum(os.path.getsize(t.path(f)) for f in ("install.ins", "types.txt") + read)
    limit = 2 * size + 64 * MIB
    seconds = SECONDS
    env = clean_env()
    if sanitized(t):
        limit, seconds = 3 * limit, 3 * seconds
        env["ASAN_OPTIONS"] = ":".join(o for o in (env.get("ASAN_OPTIONS"),
                                                   "quarantine_size_mb=16") if o)
    args = options + ("-d", "out", "src")
    argv = command(t, *args)
    with open(t.path("run.out"), "wb") as out, open(t.path("run.err"), "wb") as err:
        start = time.monotonic()
        # A CPU-time limit stops a runaway child even if this scenario does
        # not. Having a function to run before the program also makes the
        # child a forked copy of this process rather than one that shares its
        # memory, so the child's peak starts at this process's present size
        # instead of at its largest size so far.
        proc = spawn(t, *args, env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                     preexec_fn=lambda: cpulimit(seconds))
        while True:
            pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
            if pid != 0:
                break
            if time.monotonic() - start > seconds:
                proc.kill()
                os.wait4(proc.pid, 0)
                proc.returncode = -9
                t.check(False, "ended within %d s: %s" % (seconds, " ".join(argv)))
            time.sleep(0.01)
        elapsed = time.monotonic() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    result = Result(proc.returncode, t.readtext("run.out"), t.readtext("run.err"))
    # Shown when the scenario fails: the start of long outputs is enough.
    t.runs.append((argv, Result(result.status, result.out[:2000], result.err[:2000])))
    if os.environ.get("FP_BOUNDS_REPORT"):
        print("%s: %.1f MiB of %.1f MiB, %.2f s" % (args, usage.ru_maxrss / 1024, limit / MIB,
                                                  elapsed))
    peak = usage.ru_maxrss * 1024  # kilobytes on Linux
    t.check(peak <= limit, "peak memory %.1f MiB within %.1f MiB (files %.1f MiB)"
            % (peak / MIB, limit / MIB, size / MIB))
    t.check(elapsed <= seconds, "%.1f s within %d s" % (elapsed, seconds))
    return result


def test_types_file_of_100000_lines(t):
    # Directories, types and keys; every input line looks a type up.
    lines = [MYTYPE]
    for i in range(25000):
        lines.append("dir 0755 - - - p d%d\n" % i)
        lines.append("dir 0755 - - - p d%d/sub\n" % i)
        lines.append("set key%d=value%d\n" % (i, i))
        lines.append("file t%d 0644 - - - - d%d/sub\n" % (i, i))
    inp = "fileplacer types.txt\n" + "".join("- t%d f%d\n" % (i, i) for i in range(0, 25000, 5))
    layout(t, "".join(lines[:100000]), inp)
    failed(t, measured(t, "-n"), "file 'f0' not found in source path\n")


def test_directory_chain_1000_levels_deep(t):
    types = MYTYPE + "".join("dir 0755 - - - p %s\n" % "/".join(["a"] * n)
                             for n in range(1, 1001))
    layout(t, types, "fileplacer types.txt\n- mytype %s/name\n" % "/".join(["a"] * 1000))
    r = measured(t, "-vv", "-n")
    t.check(r.out.count(" dir ") == 1000, "every level listed")
    # Installing stops where the destination path no longer fits.
    t.eq(r.status, 1, "status")
    t.check(r.err.startswith("Overflow destdir 'out' relpath 'a/a/"), "stderr %r" % r.err[:100])


def test_key_referring_to_itself_in_a_path_expanded_twice(t):
    refs = "<kk>" * 600
    layout(t, MYTYPE + "set kk=" + refs + "\ndir 0755 - - - p " + refs + "\n"
           + "symlink existing=" + refs + " new=ln\n")
    failed(t, measured(t),
           "Expanded path too long (more than 1023 characters) in type file 'types.txt' line 3\n")


def test_settings_files_including_each_other_hundreds_of_times(t):
    # Each file of the first two includes the next one 150 times: 3.4 million
    # reads if nothing stopped them. The types file's first include reads
    # x.cfg, x.cfg reads y.cfg and y.cfg z.cfg, so the 1001st file read is
    # the 93rd z.cfg after the seventh y.cfg.
    t.write("x.cfg", "readconfig y.cfg\n" * 150)
    t.write("y.cfg", "readconfig z.cfg\n" * 150)
    t.write("z.cfg", "set key=value\n")
    layout(t, MYTYPE + "readconfig x.cfg\n" * 150)
    failed(t, measured(t, read=("x.cfg", "y.cfg", "z.cfg")),
           "Too many config files reading 'z.cfg'\n")
    # A settings file of 1 MiB read again and again: the bytes are bounded too.
    t.write("big.cfg", ("set k=" + "v" * 1017 + "\n") * 1024)
    layout(t, MYTYPE + "readconfig big.cfg\n" * 900)
    failed(t, measured(t, read=("big.cfg",)),
           "Config files too large (more than 8388608 bytes in all) reading 'big.cfg'\n")


def test_thousand_key_references_in_one_token(t):
    # 100 KiB values: 100 MiB would be added to one token.
    value = "v" * (100 * 1024)
    layout(t, MYTYPE + "set kk=" + value + "\nfile " + "<kk>" * 1000 + " 0644 - - - - .\n")
    failed(t, measured(t), "Expanded text too long (more than 33554432 characters added in all) "
           "in type file 'types.txt' line 3\n")
    # 1 KiB values in many tokens of the input file: within what a run may add.
    value = "v" * 1024
    layout(t, MYTYPE + "set kk=" + value + "\n",
           "fileplacer types.txt\n"
           + "".join("<kk>" * 1000 + " mytype name%d\n" % i for i in range(40)))
    failed(t, measured(t), "Expanded text too long (more than 33554432 characters added in all) "
           "in input file 'install.ins' line 34\n")


def test_run_of_openings_before_a_long_key_name(t):
    # Each '<' of a long run could start the name of the long key, and its
    # closing '>' is far away: each is looked at once, not once per '<'.
    n = 300000
    layout(t, MYTYPE + "set " + "k" * n + "=v\nfile " + "<" * n + "> 0644 - - - - .\n")
    ok(t, measured(t), "run")


def colliding_names(count, length=12):
    """Names with one and the same hash of the key table: raising one byte by
    one and lowering the next by seven keeps the hash (h = 7h + 5c)."""
    names = []
    for n in range(count):
        steps = [(n // 3 ** i) % 3 for i in range(length - 1)] + [0]
        names.append("".join(chr(ord("p") + steps[i] - (7 * steps[i - 1] if i else 0))
                             for i in range(length)))
    return names


def test_names_made_to_share_one_bucket(t):
    # 100,000 keys in one chain of the key table, 100,000 lookups of a name
    # that is not among them but shares their bucket.
    names = colliding_names(100001)
    absent = names.pop()
    layout(t, MYTYPE + "".join("set %s=v\n" % n for n in names)
           + ("file %s 0644 - - - - .\n" % ("<%s>" % absent * 100)) * 1000)
    ok(t, measured(t), "run with the keys")
    # 100,000 types in one chain of the type table, each input line naming
    # the oldest of them.
    os.remove(t.path("out/manifest.txt"))
    layout(t, "".join("file %s 0644 - - - - .\n" % n for n in names),
           "fileplacer types.txt\n" + "".join("- %s f%d\n" % (names[0], i)
                                              for i in range(100000)))
    failed(t, measured(t, "-n"), "file 'f0' not found in source path\n")


def test_100_mb_input_file_without_a_last_line_end(t):
    layout(t, MYTYPE)
    line = "#" + "c" * 1022 + "\n"
    with open(t.path("install.ins"), "w") as f:
        f.write("fileplacer types.txt\n")
        for _ in range(100):  # written in pieces: this process stays small
            f.write(line * (1024 if _ else 1023))
        f.write("- mytype name")
    # The header, 102,399 comment lines, then the unfinished one.
    failed(t, measured(t), "Input file 'install.ins' ended in middle of line %d\n - mytype name\n"
           % (100 * 1024 + 1))
