#!/usr/bin/env python3
"""Benchmark of fileplacer against cp -r and rsync -a on a synthetic tree.

Makes a source tree (files of --size bytes spread over --dirs directories,
and two one-directory trees of --flat and --flat/10 files), an install.ins and
a types file that install each tree as it stands, and then, in one run and on
the same trees:

  - the tool's first install beside `cp -r` and `rsync -a` of the source tree;
  - the tool's no-op re-run beside rsync's no-op re-run;
  - the tool's re-run after install.ins was touched (newer than every
    installed file), against its own no-op re-run;
  - first install and no-op re-run of --flat files against --flat/10 files;
  - `--update` with nothing changed and `--verify` of the unchanged tree
    against the plain no-op re-run, and the first install with `--json`
    against the same install with -v, when the binary lists those options in
    its --help text;
  - with the Windows build and Wine present, the Windows build's first
    install and no-op re-run of the main tree under Wine beside the Linux
    build's and a tar pipe's copy (and beside another Windows build given
    with --wine-baseline); its tree must be byte-identical to the Linux
    build's. System calls are not counted there.

The machine is shared, so every comparison is made between commands run
right after one another (in an order that rotates from one repetition to the
next), repeated --repeat times; the table shows the median of the
per-repetition ratios. With strace present it also counts system calls per
installed file (strace -f -c) and the bytes the touched-input re-run reads
from source files. The installed trees are compared byte for byte with the
source tree and with cp's copy.

Exit status: 0 when every run succeeded and every tree matched (targets
that are not met are reported, not failed; --strict makes them fail with
status 2), 1 when a run failed or a tree differs.
"""

import argparse
import os
import random
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

# Files the tool writes into the destination beside the installed files.
TOOL_FILES = re.compile(r"^(manifest\.txt|manifest\.sums|manifest\.lock|manifest\.journal|perm\..*)$")
# Sources and inputs are dated this far back, so that a fresh install is
# newer than all of them (times are compared in whole seconds).
AGE = 7200

QUICK = {"files": 400, "dirs": 8, "flat": 2000, "repeat": 2}
DEFAULTS = {"files": 20000, "dirs": 200, "flat": 100000, "repeat": 5}


class RunFailed(Exception):
    pass


# ---- the synthetic trees --------------------------------------------------

class Case:
    """One source tree with its install.ins and types file, and the
    destination directories the commands write into."""

    def __init__(self, root, files, dirs, size, seed):
        self.root = root
        self.src = os.path.join(root, "src")
        self.files = files
        self.dirs = dirs
        self.size = size
        self.seed = seed
        self.ins = os.path.join(root, "install.ins")

    def dest(self, name):
        return os.path.join(self.root, "dest-" + name)

    def dirname(self, d):
        return "d%0*d" % (len(str(self.dirs - 1)), d) if self.dirs > 1 else "flat"

    def make(self):
        """Writes the tree. File i goes to directory i mod dirs; its content is
        its name and then a slice of a random block, so every file differs.
        The input lines come in a shuffled order, as a hand-written install.ins
        would not list its files sorted by name."""
        rng = random.Random(self.seed)
        block = rng.randbytes(1 << 20)
        width = len(str(self.files - 1))
        os.makedirs(self.src)
        lines = []
        for d in range(self.dirs):
            os.mkdir(os.path.join(self.src, self.dirname(d)))
        for i in range(self.files):
            rel = "%s/f%0*d" % (self.dirname(i % self.dirs), width, i)
            head = rel.encode()[: self.size]
            start = (i * 7919) % (len(block) - self.size) if self.size < len(block) else 0
            body = block[start:start + self.size - len(head)]
            with open(os.path.join(self.src, rel), "wb") as f:
                f.write(head + body)
            lines.append("core f %s\n" % rel)
        rng.shuffle(lines)
        # One type, dirpath "." so that a srcpath entry is placed by its own
        # path alone: the file comes from src/<dir>/<name> and goes to
        # dest/<dir>/<name>, and each <dir> is declared by a dir line.
        with open(os.path.join(self.root, "types.txt"), "w") as f:
            f.write("# Benchmark tree: one file type, one dir line per directory.\n")
            f.write("file f 0644 $bin $bin srcpath - .\n")
            for d in range(self.dirs):
                f.write("dir 0755 $bin $bin - core %s\n" % self.dirname(d))
        with open(self.ins, "w") as f:
            f.write("fileplacer types.txt\n")
            f.writelines(lines)
        old = time.time() - AGE
        for dirpath, _, names in os.walk(self.src):
            for n in names:
                os.utime(os.path.join(dirpath, n), (old, old))
        for p in (self.ins, os.path.join(self.root, "types.txt")):
            os.utime(p, (old, old))

    def touchinput(self):
        """Dates install.ins a little after every file installed so far."""
        t = int(time.time()) + 2
        os.utime(self.ins, (t, t))

    def untouchinput(self):
        old = time.time() - AGE
        os.utime(self.ins, (old, old))

    def reset(self, *names):
        """Makes the named destinations empty. What they held is moved aside
        into trash/, deleted with the work directory: deleting it here would
        charge the next timed command for it, as an ext4 file system without
        a journal searches longer for a free inode for a minute or more after
        many were freed. Mind that before a run too: delete nothing large in
        the minutes before it."""
        trash = os.path.join(self.root, "trash")
        os.makedirs(trash, exist_ok=True)
        for n in names:
            if os.path.exists(self.dest(n)):
                os.rename(self.dest(n), os.path.join(trash, "%s-%d" % (n, len(os.listdir(trash)))))
            os.mkdir(self.dest(n))


# ---- running commands -----------------------------------------------------

def cleanenv():
    return {k: v for k, v in os.environ.items() if k != "DESTDIR" and not k.startswith("FP_")}


def toolcmd(exe, case, dest, *longopts):
    # Relative paths, run from the case's directory: the tool takes a
    # destination path with a leading '/' as relative to the working directory.
    return [exe, *longopts, "-d", "dest-" + dest, "-i", "install.ins", "src"]


def winecmd(args, case, dest):
    return [args.wine, *toolcmd(args.wine_exe, case, dest)]


def tarcmd(case, dest):
    return ["sh", "-c", "tar -C src -cf - . | tar -C %s -xf -" % case.dest(dest)]


def cpcmd(case, dest):
    return ["cp", "-r", "src/.", case.dest(dest)]


def rsynccmd(case, dest):
    return ["rsync", "-a", "src/", case.dest(dest) + "/"]


def run(cmd, cwd, ok=(0,), prefix=()):
    """Runs cmd and returns (wall seconds, cpu seconds, exit status). A status
    outside ok raises RunFailed with the command's error output."""
    with tempfile.TemporaryFile() as err:
        t0 = time.perf_counter()
        p = subprocess.Popen([*prefix, *cmd], cwd=cwd, env=cleanenv(),
                             stdout=subprocess.DEVNULL, stderr=err)
        _, status, usage = os.wait4(p.pid, 0)
        wall = time.perf_counter() - t0
        p.returncode = os.waitstatus_to_exitcode(status)
        if p.returncode not in ok:
            err.seek(0)
            text = err.read().decode(errors="replace")
            raise RunFailed("%s\n  in %s: status %d\n%s" % (" ".join(cmd), cwd, p.returncode,
                                                             text[-2000:]))
    return wall, usage.ru_utime + usage.ru_stime, p.returncode


class Ratio(float):
    """A median ratio that knows the lowest and highest of its samples."""

    def __new__(cls, median, lo, hi):
        r = super().__new__(cls, median)
        r.lo, r.hi = lo, hi
        return r

    def spread(self):
        return "%.2f-%.2f" % (self.lo, self.hi)


class Samples:
    """Wall and CPU times per labelled command, one per repetition."""

    def __init__(self):
        self.wall = {}
        self.cpu = {}

    def add(self, label, wall, cpu):
        self.wall.setdefault(label, []).append(wall)
        self.cpu.setdefault(label, []).append(cpu)

    def ratio(self, num, den, kind="wall"):
        """Median of the per-repetition ratios num/den (a Ratio), or None."""
        series = self.wall if kind == "wall" else self.cpu
        a, b = series.get(num), series.get(den)
        if not a or not b:
            return None
        pairs = [x / y for x, y in zip(a, b) if y > 0]
        return Ratio(statistics.median(pairs), min(pairs), max(pairs)) if pairs else None

    def median(self, label):
        return statistics.median(self.wall[label]), statistics.median(self.cpu[label])


def rotated(items, r):
    r %= len(items)
    return items[r:] + items[:r]


def timeall(samples, jobs, r):
    """Runs the (label, cmd, cwd, ok) jobs one after another, in an order
    that rotates with the repetition r; returns the exit statuses by label."""
    statuses = {}
    for label, cmd, cwd, ok in rotated(jobs, r):
        os.sync()  # write-back of the previous command's files is not charged to this one
        wall, cpu, status = run(cmd, cwd, ok)
        samples.add(label, wall, cpu)
        statuses[label] = status
    return statuses


# ---- comparing trees ------------------------------------------------------

def listtree(top, skiptool):
    """Relative paths of the files and directories below top."""
    files, dirs = set(), set()
    for dirpath, dirnames, names in os.walk(top):
        rel = os.path.relpath(dirpath, top)
        for d in dirnames:
            dirs.add(os.path.normpath(os.path.join(rel, d)))
        for n in names:
            if skiptool and rel == "." and TOOL_FILES.match(n):
                continue
            files.add(os.path.normpath(os.path.join(rel, n)))
    return files, dirs


def sametree(a, b, skiptool_b, skiptool_a=False):
    """None when the trees hold the same files with the same bytes, else a
    short description of the first differences."""
    fa, da = listtree(a, skiptool_a)
    fb, db = listtree(b, skiptool_b)
    problems = []
    for what, x, y in (("files", fa, fb), ("directories", da, db)):
        if x - y:
            problems.append("%d %s missing, e.g. %s" % (len(x - y), what, sorted(x - y)[0]))
        if y - x:
            problems.append("%d extra %s, e.g. %s" % (len(y - x), what, sorted(y - x)[0]))
    differ = []
    for rel in sorted(fa & fb):
        with open(os.path.join(a, rel), "rb") as f1, open(os.path.join(b, rel), "rb") as f2:
            if f1.read() != f2.read():
                differ.append(rel)
    if differ:
        problems.append("%d files differ, e.g. %s" % (len(differ), differ[0]))
    return "; ".join(problems) or None


# ---- strace ---------------------------------------------------------------

def parsesummary(text):
    """Call counts by system call from an strace -c summary."""
    counts = {}
    for line in text.splitlines():
        parts = line.split()
        # "% time  seconds  usecs/call  calls  [errors]  syscall"; not the total
        if (len(parts) >= 5 and re.match(r"^\d+\.\d+$", parts[0]) and parts[3].isdigit()
                and parts[-1] != "total"):
            counts[parts[-1]] = int(parts[3])
    return counts


def syscalls(cmd, cwd, ok, outfile):
    """Per-syscall call counts of cmd and its children (strace -f -c)."""
    run(cmd, cwd, ok, prefix=("strace", "-f", "-c", "-o", outfile))
    with open(outfile) as f:
        return parsesummary(f.read())


READS = ("read", "pread64", "readv", "preadv", "preadv2", "copy_file_range", "splice")
TRACED = ("openat", "open", "mmap", "sendfile") + READS
CALL = re.compile(r"^(?:\d+\s+)?(\w+)\((.*)\)\s+=\s+(0x[0-9a-f]+|-?\d+)(?:<([^>]*)>)?")


def parsesourcereads(lines, src):
    """(source files opened, bytes read or mapped from files below src) in
    the lines of an strace -y trace, where every descriptor shows its path.
    Directories opened (O_DIRECTORY) are not counted as files."""
    insrc = os.path.realpath(src) + "/"
    opened, nbytes = set(), 0
    for line in lines:
        m = CALL.match(line)
        if not m:
            continue
        name, args, ret, retpath = m.group(1), m.group(2), int(m.group(3), 0), m.group(4)
        if name in ("openat", "open"):
            if ret >= 0 and retpath and retpath.startswith(insrc) and "O_DIRECTORY" not in args:
                opened.add(retpath)
            continue
        if ret <= 0:
            continue
        if name in READS:
            fd = re.match(r"\d+<([^>]*)>", args)
        elif name == "sendfile":
            fd = re.match(r"\d+<[^>]*>, \d+<([^>]*)>", args)
        elif name == "mmap":  # the descriptor is the only argument with a path
            fd = re.search(r", \d+<([^>]*)>, ", args)
        else:
            continue
        if fd and fd.group(1).startswith(insrc):
            nbytes += int(args.split(",")[1]) if name == "mmap" else ret
    return len(opened), nbytes


def sourcereads(cmd, cwd, ok, src, outfile):
    """What cmd and its children read from the files below src
    (parsesourcereads). One trace file per process (-ff), so that no call is
    split by another process's lines."""
    run(cmd, cwd, ok, prefix=("strace", "-ff", "-y", "-s", "0", "-e",
                              "trace=" + ",".join(TRACED), "-o", outfile))
    opened, nbytes = 0, 0
    top = os.path.dirname(outfile)
    for name in sorted(os.listdir(top)):
        if name.startswith(os.path.basename(outfile) + "."):
            with open(os.path.join(top, name), errors="replace") as f:
                o, b = parsesourcereads(f, src)
            opened, nbytes = opened + o, nbytes + b
            os.unlink(os.path.join(top, name))
    return opened, nbytes


# ---- the benchmark --------------------------------------------------------

def probe(exe):
    """The long options the binary lists in its --help text."""
    p = subprocess.run([exe, "--help"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                       env=cleanenv())
    text = p.stdout.decode(errors="replace")
    return {opt for opt in ("--update", "--verify", "--json", "--no-sync")
            if re.search(re.escape(opt) + r"(?![\w-])", text)}


def parseargs(argv):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--files", type=int, help="files of the main tree (20000)")
    ap.add_argument("--dirs", type=int, help="directories of the main tree (200)")
    ap.add_argument("--size", type=int, default=4096, help="bytes per file (4096)")
    ap.add_argument("--flat", type=int,
                    help="files in the one-directory tree (100000); compared with a tenth")
    ap.add_argument("--repeat", type=int, help="repetitions of every comparison (5)")
    ap.add_argument("--exe", default=os.path.join(ROOT, "build", "fileplacer"),
                    help="the binary to measure (build/fileplacer)")
    ap.add_argument("--keep", action="store_true", help="keep the work directory")
    ap.add_argument("--quick", action="store_true",
                    help="a small run for smoke use (400 files, flat 2000, 2 repetitions)")
    ap.add_argument("--workdir", help="directory to make the work directory in (system temp)")
    ap.add_argument("--no-strace", action="store_true", help="skip the strace measurements")
    ap.add_argument("--strict", action="store_true", help="status 2 when a target is not met")
    ap.add_argument("--wine-exe", default=os.path.join(ROOT, "build-win", "fileplacer.exe"),
                    help="the Windows build, run under Wine (build-win/fileplacer.exe)")
    ap.add_argument("--wine-baseline",
                    help="another Windows build, timed beside --wine-exe (an older commit's)")
    ap.add_argument("--wine", help="the Wine loader (wine64 on PATH, else /usr/lib/wine/wine64)")
    ap.add_argument("--no-wine", action="store_true", help="skip the Windows build")
    args = ap.parse_args(argv)
    base = QUICK if args.quick else DEFAULTS
    for k, v in base.items():
        if getattr(args, k) is None:
            setattr(args, k, v)
    if args.files < 1 or args.dirs < 1 or args.dirs > args.files or args.size < 0:
        ap.error("need 1 <= --dirs <= --files and --size >= 0")
    if args.flat < 10 or args.repeat < 1:
        ap.error("need --flat >= 10 and --repeat >= 1")
    args.exe = os.path.abspath(args.exe)
    if not args.no_wine:
        args.wine = args.wine or shutil.which("wine64") or (
            "/usr/lib/wine/wine64" if os.access("/usr/lib/wine/wine64", os.X_OK) else None)
        args.wine_exe = os.path.abspath(args.wine_exe)
        if args.wine_baseline:
            args.wine_baseline = os.path.abspath(args.wine_baseline)
        if args.wine is None or not os.path.exists(args.wine_exe):
            args.no_wine = True
        else:
            # The prefix of the Windows build's checks, and no Wine chatter.
            os.environ.setdefault("WINEDEBUG", "-all")
            os.environ.setdefault("WINEPREFIX", os.path.join(ROOT, "build-win", "wineprefix"))
    if not os.access(args.exe, os.X_OK):
        ap.error("%s is not an executable (run `make build`, or give --exe)" % args.exe)
    return args


def spreadof(value):
    return value.spread() if isinstance(value, Ratio) else ""


class Report:
    def __init__(self):
        self.rows = []       # (measurement, value, spread, target, verdict) texts
        self.failures = []   # correctness problems
        self.notes = []

    def target(self, what, value, limit, fmt="%.2fx", target=None):
        """A row with a target: met when value <= limit."""
        target = target or ("<= " + fmt % limit)
        if value is None:
            self.rows.append((what, "n/a", "", target, "skipped"))
            return
        verdict = "met" if value <= limit else "NOT MET"
        self.rows.append((what, fmt % value, spreadof(value), target, verdict))

    def info(self, what, value, fmt="%.2fx"):
        self.rows.append((what, "n/a" if value is None else fmt % value, spreadof(value), "-",
                          "-"))

    def check(self, what, problem):
        if problem:
            self.failures.append("%s: %s" % (what, problem))

    def table(self):
        head = ("measurement", "median", "range", "target", "result")
        widths = [max(len(r[i]) for r in self.rows + [head]) for i in range(4)]
        line = "%-*s  %*s  %*s  %-*s  %s"
        out = [line % (widths[0], head[0], widths[1], head[1], widths[2], head[2], widths[3],
                       head[3], head[4])]
        out.append("-" * (sum(widths) + 8 + 7))
        for r in self.rows:
            out.append(line % (widths[0], r[0], widths[1], r[1], widths[2], r[2], widths[3], r[3],
                               r[4]))
        return "\n".join(out)

    def unmet(self):
        return [r for r in self.rows if r[4] == "NOT MET"]


def bench(args, work, rep):
    exe = args.exe
    have_rsync = shutil.which("rsync") is not None
    have_strace = shutil.which("strace") is not None and not args.no_strace
    opts = probe(exe)
    samples = Samples()

    print("making the trees in %s" % work, flush=True)
    main = Case(os.path.join(work, "tree"), args.files, args.dirs, args.size, 1)
    big = Case(os.path.join(work, "flat-%d" % args.flat), args.flat, 1, args.size, 2)
    small = Case(os.path.join(work, "flat-%d" % (args.flat // 10)), args.flat // 10, 1,
                 args.size, 3)
    for c in (main, big, small):
        os.makedirs(c.root)
        c.make()

    tool = lambda c, d, *o, ok=(0,): (toolcmd(exe, c, d, *o), c.root, ok)  # noqa: E731
    start = time.monotonic()
    for r in range(args.repeat):
        print("repetition %d of %d (%.0f s so far)" % (r + 1, args.repeat,
                                                     time.monotonic() - start), flush=True)
        # First install of the main tree, beside cp -r and rsync -a.
        main.reset("tool", "cp", "rsync", "nosync")
        jobs = [("tool first", *tool(main, "tool")), ("cp -r", cpcmd(main, "cp"), main.root, (0,))]
        if "--no-sync" in opts:
            jobs.append(("tool first --no-sync", *tool(main, "nosync", "--no-sync")))
        if have_rsync:
            jobs.append(("rsync first", rsynccmd(main, "rsync"), main.root, (0,)))
        timeall(samples, jobs, r)
        if r == 0:
            rep.check("installed tree against the source tree",
                      sametree(main.src, main.dest("tool"), True))
            rep.check("installed tree against cp's copy",
                      sametree(main.dest("cp"), main.dest("tool"), True))
            rep.check("cp's copy against the source tree",
                      sametree(main.src, main.dest("cp"), False))
            if have_rsync:
                rep.check("rsync's copy against the source tree",
                          sametree(main.src, main.dest("rsync"), False))
        # The first install listed as JSON Lines beside the same install
        # listed as text (-v); both listings go to /dev/null.
        if "--json" in opts:
            main.reset("listed-v", "listed-json")
            timeall(samples, [("tool -v first", *tool(main, "listed-v", "-v")),
                              ("tool --json first", *tool(main, "listed-json", "--json"))], r)
            if r == 0:
                rep.check("install listed as JSON against the source tree",
                          sametree(main.src, main.dest("listed-json"), True))
        # No-op re-runs, and the re-run after install.ins was touched, each
        # beside the tool's plain no-op re-run.
        jobs = [("tool no-op", *tool(main, "tool"))]
        if have_rsync:
            jobs.append(("rsync no-op", rsynccmd(main, "rsync"), main.root, (0,)))
        timeall(samples, jobs, r)
        for label in rotated(["tool touched", "tool no-op (touched pair)"], r):
            if label == "tool touched":
                main.touchinput()
            timeall(samples, [(label, *tool(main, "tool"))], 0)
            main.untouchinput()
        # --update and --verify beside the plain no-op re-run; one untimed
        # --update first, which makes the fingerprints they rely on.
        if opts:
            if "--update" in opts:
                run(*tool(main, "tool", "--update"))
            jobs = [("tool no-op (options pair)", *tool(main, "tool"))]
            if "--update" in opts:
                jobs.append(("tool --update", *tool(main, "tool", "--update")))
            if "--verify" in opts:
                # 2 means differences: recorded and reported, not a failed run.
                jobs.append(("tool --verify", *tool(main, "tool", "--verify", ok=(0, 2))))
            status = timeall(samples, jobs, r)
            if status.get("tool --verify") == 2:
                rep.check("--verify of the unchanged tree", "status 2 (differences reported)")
        # Scaling: the one-directory trees, first install and no-op re-run.
        big.reset("tool")
        small.reset("tool")
        timeall(samples, [("flat big first", *tool(big, "tool")),
                          ("flat small first", *tool(small, "tool"))], r)
        if r == 0:
            rep.check("one-directory install (%d files)" % big.files,
                      sametree(big.src, big.dest("tool"), True))
            rep.check("one-directory install (%d files)" % small.files,
                      sametree(small.src, small.dest("tool"), True))
        timeall(samples, [("flat big no-op", *tool(big, "tool")),
                          ("flat small no-op", *tool(small, "tool"))], r)

    rep.check("installed tree after the re-runs", sametree(main.src, main.dest("tool"), True))

    if not args.no_wine:
        benchwine(args, main, samples, rep, start)

    # System calls, on fresh destinations.
    perfile = {}
    touched = None
    if have_strace:
        print("counting system calls", flush=True)
        main.reset("tool", "cp", "rsync")
        out = os.path.join(work, "strace", "trace")
        os.makedirs(os.path.dirname(out))
        runs = [("tool first install", toolcmd(exe, main, "tool"), (0,)),
                ("cp -r", cpcmd(main, "cp"), (0,))]
        if have_rsync:
            runs += [("rsync -a first", rsynccmd(main, "rsync"), (0,))]
        runs += [("tool no-op re-run", toolcmd(exe, main, "tool"), (0,))]
        if have_rsync:
            runs += [("rsync -a no-op", rsynccmd(main, "rsync"), (0,))]
        runs += [("tool touched-input re-run", "touched", (0,))]
        if "--update" in opts:
            runs += [("tool --update no-op", toolcmd(exe, main, "tool", "--update"), (0,))]
        if "--verify" in opts:
            runs += [("tool --verify", toolcmd(exe, main, "tool", "--verify"), (0, 2))]
        for label, cmd, ok in runs:
            if cmd == "touched":
                main.touchinput()
                cmd = toolcmd(exe, main, "tool")
                perfile[label] = syscalls(cmd, main.root, ok, out)
                touched = sourcereads(cmd, main.root, ok, main.src, out)
                main.untouchinput()
            else:
                if label == "tool --update no-op":
                    run(cmd, main.root, ok)  # the first --update makes the fingerprints
                perfile[label] = syscalls(cmd, main.root, ok, out)

    return samples, perfile, touched, opts, have_rsync, have_strace, (main, big, small)


def benchwine(args, main, samples, rep, start):
    """The Windows build under Wine on the main tree: first install and
    no-op re-run beside the Linux build's and a tar pipe's, and beside a
    baseline Windows build when one is given."""
    # The Wine server stays up between runs, as it does for a user.
    subprocess.run([os.path.join(os.path.dirname(args.wine), "wineserver"), "-p"],
                   env=cleanenv(), check=False)
    main.reset("warm")
    run(winecmd(args, main, "warm"), main.root)  # starts Wine's services once, untimed
    main.reset("warm")
    for r in range(args.repeat):
        print("Windows build, repetition %d of %d (%.0f s so far)"
              % (r + 1, args.repeat, time.monotonic() - start), flush=True)
        main.reset("win", "linux", "tar", "winbase")
        jobs = [("win first", winecmd(args, main, "win"), main.root, (0,)),
                ("linux first (win pair)", toolcmd(args.exe, main, "linux"), main.root, (0,)),
                ("tar pipe", tarcmd(main, "tar"), main.root, (0,))]
        if args.wine_baseline:
            base = [args.wine, *toolcmd(args.wine_baseline, main, "winbase")]
            jobs.append(("win baseline first", base, main.root, (0,)))
        timeall(samples, jobs, r)
        if r == 0:
            rep.check("Windows build's tree against the Linux build's",
                      sametree(main.dest("linux"), main.dest("win"), True, True))
        timeall(samples, [("win no-op", winecmd(args, main, "win"), main.root, (0,)),
                          ("linux no-op (win pair)", toolcmd(args.exe, main, "linux"), main.root,
                           (0,))], r)


def report(args, samples, perfile, touched, opts, have_rsync, have_strace, cases, rep):
    main, big, small = cases
    n = main.files
    rep.target("first install / cp -r", samples.ratio("tool first", "cp -r"), 1.0)
    if have_rsync:
        rep.info("first install / rsync -a", samples.ratio("tool first", "rsync first"))
    if perfile:
        tool = sum(perfile["tool first install"].values()) / n
        cp = sum(perfile["cp -r"].values()) / n
        rep.target("first install: system calls per file, tool / cp -r", tool, cp,
                   fmt="%.1f", target="<= %.1f (cp -r)" % cp)
    if "--no-sync" in opts:
        rep.target("first install / the same with --no-sync",
                   samples.ratio("tool first", "tool first --no-sync"), 1.3)
    if perfile:
        flushes = sum(perfile["tool no-op re-run"].get(k, 0) for k in ("fsync", "fdatasync", "syncfs"))
        rep.target("no-op re-run: flush calls", flushes, 0, fmt="%d", target="0")
    rep.target("no-op re-run / rsync -a no-op",
               samples.ratio("tool no-op", "rsync no-op") if have_rsync else None, 1.0)
    rep.target("touched-input re-run / no-op re-run",
               samples.ratio("tool touched", "tool no-op (touched pair)"), 1.2)
    if touched is not None:
        rep.target("touched-input re-run: bytes read from sources", touched[1], 0, fmt="%d",
                   target="0")
    rep.target("first install, %d / %d files in one directory" % (big.files, small.files),
               samples.ratio("flat big first", "flat small first"), 11.0, fmt="%.1fx")
    rep.target("no-op re-run, %d / %d files in one directory" % (big.files, small.files),
               samples.ratio("flat big no-op", "flat small no-op"), 11.0, fmt="%.1fx")
    if "--update" in opts:
        rep.target("--update no-op / plain no-op re-run",
                   samples.ratio("tool --update", "tool no-op (options pair)"), 1.1)
    else:
        rep.notes.append("--update is not in the binary's --help text: not measured")
    if "--verify" in opts:
        rep.target("--verify / plain no-op re-run",
                   samples.ratio("tool --verify", "tool no-op (options pair)"), 1.2)
    else:
        rep.notes.append("--verify is not in the binary's --help text: not measured")
    if "--json" in opts:
        rep.target("first install --json / -v",
                   samples.ratio("tool --json first", "tool -v first"), 1.05)
    else:
        rep.notes.append("--json is not in the binary's --help text: not measured")
    if not args.no_wine:
        rep.info("Windows first install (Wine) / Linux build",
                 samples.ratio("win first", "linux first (win pair)"))
        rep.info("Windows first install (Wine) / tar pipe", samples.ratio("win first", "tar pipe"))
        if args.wine_baseline:
            rep.target("Windows first install / baseline Windows build",
                       samples.ratio("win first", "win baseline first"), 1.0)
        rep.info("Windows no-op re-run (Wine) / Linux build",
                 samples.ratio("win no-op", "linux no-op (win pair)"))
    else:
        rep.notes.append("no Windows build or no Wine: the Windows rows are skipped")
    if not have_rsync:
        rep.notes.append("rsync is not installed: its comparisons are skipped")
    if not have_strace:
        rep.notes.append("strace not used: no system-call counts or source reads")

    print()
    print("fileplacer benchmark: %s" % args.exe)
    print("main tree %d files of %d bytes in %d directories; one-directory trees of %d and %d "
          "files; %d repetitions" % (n, args.size, args.dirs, big.files, small.files, args.repeat))
    print("each ratio is the median of the per-repetition ratios of wall-clock times; range: "
          "the lowest and highest of them")
    print()
    print(rep.table())
    print()
    print("CPU-time ratios (user + system, same pairs):")
    for what, num, den in (("first install / cp -r", "tool first", "cp -r"),
                           ("no-op re-run / rsync -a no-op", "tool no-op", "rsync no-op"),
                           ("touched-input / no-op re-run", "tool touched",
                            "tool no-op (touched pair)"),
                           ("one directory, big / small first install", "flat big first",
                            "flat small first"),
                           ("one directory, big / small no-op", "flat big no-op",
                            "flat small no-op"),
                           ("--update / plain no-op", "tool --update", "tool no-op (options pair)"),
                           ("--verify / plain no-op", "tool --verify", "tool no-op (options pair)"),
                           ("first install --json / -v", "tool --json first", "tool -v first")):
        value = samples.ratio(num, den, "cpu")
        if value is not None:
            print("  %-42s %.2fx" % (what, value))
    print()
    print("Median times, for reference (seconds, wall / cpu):")
    for label in samples.wall:
        wall, cpu = samples.median(label)
        print("  %-28s %8.3f / %.3f" % (label, wall, cpu))
    if perfile:
        print()
        print("System calls per file of the main tree (strace -f -c, %d files):" % n)
        for label, counts in perfile.items():
            print("  %-28s %7.2f" % (label, sum(counts.values()) / n))
        print("  first install, by call (>= 0.05 per file):")
        names = sorted({k for k in perfile["tool first install"]} | set(perfile["cp -r"]),
                       key=lambda k: -perfile["tool first install"].get(k, 0))
        print("    %-20s %8s %8s" % ("call", "tool", "cp -r"))
        for k in names:
            t, c = perfile["tool first install"].get(k, 0) / n, perfile["cp -r"].get(k, 0) / n
            if t >= 0.05 or c >= 0.05:
                print("    %-20s %8.2f %8.2f" % (k, t, c))
    if touched is not None:
        print()
        print("Touched-input re-run: %d source files opened, %d bytes read from sources"
              % touched)
    for note in rep.notes:
        print("note: " + note)


def main(argv):
    args = parseargs(argv)
    parent = args.workdir or None
    if parent:
        os.makedirs(parent, exist_ok=True)
    work = tempfile.mkdtemp(prefix="fpbench-", dir=parent)
    rep = Report()
    status = 0
    try:
        results = bench(args, work, rep)
        report(args, *results, rep)
    except RunFailed as e:
        print("FAILED: a command did not succeed: %s" % e, file=sys.stderr)
        status = 1
    finally:
        if args.keep:
            print("work directory kept: %s" % work)
        else:
            shutil.rmtree(work, ignore_errors=True)
    for f in rep.failures:
        print("FAILED: " + f)
        status = 1
    if status == 0 and args.strict and rep.unmet():
        status = 2
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
