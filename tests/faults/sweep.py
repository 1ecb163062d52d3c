#!/usr/bin/env python3
"""Fault sweep: the install of a small project, run once for every call of
every file operation made to fail, against a build configured with
-DFP_FAULTS=ON (make check builds it in build-faults/).

For each project a clean run first records every call the tool makes
(FP_FAULT_TRACE: operation, number, function, path) and the destination it
leaves. Then, for every operation, every call number N of it and every error
of the set, the install runs again from the same starting destination (the
one an earlier run left, with its "manifest.txt") with
FP_FAULT=<op>:<N>:<error>, and afterwards:
  - the status and standard error are exactly what the failing call site
    prints, with the error's text and number (status 0 and no message where
    the failure is retried or is no error for the tool);
  - no temporary is left in the destination;
  - "manifest.txt" and each permission script is the old complete file or
    the new complete one;
  - every other file under a destination name is complete;
  - a following run without faults completes the install: the destination
    is then exactly what the clean run made.
Variants reach what a fresh destination never does: leftover temporaries of
an interrupted run (their removal fails), and a failure whose clean-up then
fails to remove its temporary.

With --release, also checks that a release binary holds none of the fault
code and ignores FP_FAULT.
"""

import argparse
import collections
import errno
import os
import shutil
import subprocess
import sys
import tempfile
import time

OPS = ("open", "read", "write", "close", "rename", "mkdir", "unlink", "stat")
ERRORS = {name: getattr(errno, name) for name in ("ENOSPC", "EIO", "EACCES", "EINTR")}
OK = (0, "")
TEMPTAGS = ("TMPZ", "~rm")

# ---- projects -------------------------------------------------------------

TYPES = (
    "set product=Demo Tool\n"
    "{readconfig}"
    "file exe   0755 $bin  $bin  -          win32=exe  bin\n"
    "file conf  0640 root  adm   substitute win32=ini  etc\n"
    "file doc   0644 $run  $run  -          -          doc\n"
    "file data  0644 $bin  $bin  -          -          share\n"
    "dir        0755 $bin  $bin  -          -          bin\n"
    "dir        0750 root  adm   -          -          etc\n"
    "dir        0755 $bin  $bin  -          -          doc\n"
    "dir        0755 $bin  $bin  -          -          doc/guide\n"
    "dir        0755 $bin  $bin  -          -          share\n"
)

# Long names make "manifest.txt" and the permission scripts longer than one
# stream buffer, so that they are written in several pieces.
LONGDOCS = ["notes-%02d-%s" % (i, "x" * 200) for i in range(1, 17)]
BIGSIZE = 600 * 1024  # more than one copy chunk: the rest goes through copyrange


def content(name):
    return ("contents of %s\n" % name).encode()


def bigdata():
    return bytes((i * 7 + i // 251) & 0xFF for i in range(BIGSIZE))


class Project:
    """A project in its own directory: sources, types file, the input of an
    earlier run and of the swept run, and the tool's arguments."""

    def __init__(self, name, root, args, before, after, sources, readconfig):
        self.name = name
        self.dir = os.path.join(root, name)
        self.args = args
        self.before = before
        self.after = after
        os.makedirs(self.dir)
        old = time.time() - 7200
        files = dict(sources)
        files["types.txt"] = TYPES.replace(
            "{readconfig}", "readconfig extra.cfg\n" if readconfig else "").encode()
        if readconfig:
            files["extra.cfg"] = b"set greeting=Hello\n"
        for rel, data in files.items():
            self.write(rel, data, old)

    def path(self, rel):
        return os.path.join(self.dir, rel)

    def write(self, rel, data, mtime=None):
        p = self.path(rel)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        with open(p, "wb") as f:
            f.write(data)
        if mtime is not None:
            os.utime(p, (mtime, mtime))

    def setinput(self, lines):
        self.write("install.ins", ("fileplacer types.txt\n" + "".join(
            l + "\n" for l in lines)).encode(), time.time() - 3600)


def plainproject(root):
    """Normal mode: substituted files, a settings file, a large file, a
    srcpath entry, two source directories; the swept run adds files and
    drops one that the manifest keeps."""
    sources = {
        "src/hello.exe": content("hello"),
        "src/tool.exe": content("tool"),
        "src/demo.ini": b"greeting=<greeting> product=<product>\n",
        "src/site.ini": b"site of <product>\n",
        "src/blob": bigdata(),
        "src2/README": content("README"),
        "src2/old": content("old"),
        "src2/guide/usage": content("usage"),
    }
    for name in LONGDOCS[:6]:
        sources["src2/" + name] = content(name)
    before = ["core exe hello", "core conf demo", "docs doc README", "docs doc old"]
    after = ["core exe hello", "core exe tool", "core conf demo", "core conf site",
             "core data blob", "docs doc README", "{srcpath}docs doc guide/usage"]
    after += ["docs doc " + name for name in LONGDOCS[:6]]
    return Project("plain", root, ["-d", "dest", "src", "src2"], before, after, sources, True)


def packageproject(root):
    """Package mode (-p): two packages, each with its permission script."""
    sources = {
        "src/hello.exe": content("hello"),
        "src/tool.exe": content("tool"),
        "src/demo.ini": b"greeting=<product>\n",
        "src/README": content("README"),
    }
    for name in LONGDOCS:
        sources["src/" + name] = content(name)
    before = ["core exe hello", "docs doc README"]
    after = ["core exe hello", "core exe tool", "core conf demo", "docs doc README"]
    after += ["docs doc " + name for name in LONGDOCS]
    return Project("package", root, ["-p", "-d", "dest", "src"], before, after, sources, False)


# ---- running the tool -----------------------------------------------------

Result = collections.namedtuple("Result", "status out err")


def environment(extra):
    env = {k: v for k, v in os.environ.items() if k != "DESTDIR" and not k.startswith("FP_")}
    env["LC_ALL"] = "C"
    env.update(extra)
    return env


def run(exe, project, extra=None):
    p = subprocess.run([exe] + project.args, cwd=project.dir, env=environment(extra or {}),
                       capture_output=True, timeout=60)
    return Result(p.returncode, p.stdout.decode(errors="replace"),
                  p.stderr.decode(errors="replace"))


def snapshot(top):
    """Every file (its bytes) and directory (None) under top, by relative path."""
    tree = {}
    for dirpath, dirnames, filenames in os.walk(top):
        rel = os.path.relpath(dirpath, top)
        for d in dirnames:
            tree[os.path.normpath(os.path.join(rel, d))] = None
        for f in filenames:
            with open(os.path.join(dirpath, f), "rb") as fh:
                tree[os.path.normpath(os.path.join(rel, f))] = fh.read()
    return tree


def restore(project, start):
    dest = project.path("dest")
    shutil.rmtree(dest, ignore_errors=True)
    shutil.copytree(start, dest, copy_function=shutil.copy2)


class Call:
    def __init__(self, op, n, fn, rel):
        self.op, self.n, self.fn, self.rel = op, n, fn, rel

    def __str__(self):
        return "%s:%d %s(%s)" % (self.op, self.n, self.fn, self.rel)


def readtrace(path, project):
    calls = []
    with open(path) as f:
        for line in f:
            op, n, fn, where = line.rstrip("\n").split(" ", 3)
            if " !" in where:
                where = where[:where.rindex(" !")]
            if where.startswith(project.dir + "/"):
                where = where[len(project.dir) + 1:]
            calls.append(Call(op, int(n), fn, where))
    return calls


# ---- what each failing call site reports ----------------------------------

def istemp(rel):
    return any(tag in os.path.basename(rel) for tag in TEMPTAGS)


def output(rel):
    """The output file ("manifest.txt", "perm.<pkg>") that rel is the final
    or temporary name of, else None."""
    base = os.path.basename(rel)
    if os.path.dirname(rel) != "dest":
        return None
    if base in ("manifest.txt", "manifestTMPZ.txt"):
        return "dest/manifest.txt"
    for prefix in ("perm.", "permTMPZ."):
        if base.startswith(prefix):
            return "dest/perm." + base[len(prefix):]
    return None


def finalname(rel):
    """The destination a copy's temporary stands for."""
    head, base = os.path.split(rel)
    return os.path.join(head, base.replace("TMPZ", "", 1))


def expected(project, call, err):
    """(status, standard error) of a run whose call fails with err."""
    text = "%s (%d)" % (os.strerror(err), err)
    fn, rel = call.fn, call.rel
    loaded = {"install.ins": "Couldn't read input file '%s': %s\n",
              "types.txt": "Couldn't read types file '%s' error: %s\n",
              "extra.cfg": "Couldn't read config file '%s': %s\n",
              # A manifest that cannot be read ends the run before anything.
              "dest/manifest.txt": "Failed to open manifest file '%s': %s\n"}
    source = rel.startswith(("src/", "src2/"))
    out = output(rel)

    def loadfailed():
        return (1, loaded[rel] % (rel, text))

    if fn in ("openread", "readable"):  # readable: a source looked for, not opened
        if rel in loaded:
            return loadfailed()
        if rel == "dest/manifest.sums":  # fingerprints only spare reads
            return 0, "WARNING: can't read '%s': %s; fingerprints ignored\n" % (rel, text)
        if not os.path.exists(project.path(rel)):
            return OK  # the source search goes on, as after the ENOENT it replaced
        # The search goes on, and no other source directory has the file.
        return 1, "file '%s' not found in source path\n" % rel.split("/", 1)[1]
    if fn == "statfd":
        return 1, "Error with fstat on file '%s': %s\n" % (rel, text)
    if fn == "readfd":
        if err == errno.EINTR:
            return OK
        if rel in loaded:
            return loadfailed()
        return 1, "Error reading file '%s': %s\n" % (rel, text)
    if fn == "writefd":
        if out is not None:  # a text stream: the C library does not retry EINTR
            return 1, "Error writing file '%s': %s\n" % (out, text)
        if err == errno.EINTR:
            return OK
        return 1, "Error writing file '%s': %s\n" % (finalname(rel), text)
    if fn == "copyrange":
        return OK  # retried on EINTR, else the copy goes on through read and write
    # flushfiles: a batch of copies, or an output, flushed before it is named
    if fn in ("closefd", "flushfiles"):
        if fn == "closefd" and (source or rel in loaded):
            return OK  # nothing was written through it
        if out is not None:
            return 1, "Error writing file '%s': %s\n" % (out, text)
        return 1, "Failed to flush file '%s': %s\n" % (finalname(rel), text)
    if fn in ("createexclusive", "removeleftover"):
        if out is not None:
            return 1, "failed to create file '%s': %s\n" % (out, text)
        return 1, "Error creating file '%s': %s\n" % (finalname(rel), text)
    if fn == "movefile":
        if out is not None:
            return 1, "failed to create file '%s': %s\n" % (out, text)
        return 1, "Failed to flush file '%s': %s\n" % (rel, text)
    if fn == "makedir" and rel == "dest":  # the destination directory itself
        return 1, "Can't create destination directory '%s': %s\n" % (rel, text)
    if fn == "makedir":
        return 1, "Create Directory '%s' failed: %s\n" % (rel.lstrip("/"), text)
    if fn in ("openlock", "takelock"):
        return 1, "Can't lock '%s': %s\n" % (rel, text)
    if fn == "syncdirectory":
        return 1, "Failed to flush directory '%s': %s\n" % (rel, text)
    if fn == "statpath":
        return OK  # an unknown destination is copied; the exclusive rename keeps an existing one
    raise AssertionError("no expectation for %s" % call)


# ---- checks ---------------------------------------------------------------

class Sweep:
    def __init__(self, exe, verbose):
        self.exe = exe
        self.verbose = verbose
        self.runs = 0
        self.faulty = 0
        self.faults = []     # (what, problem)

    def report(self, what, problems):
        for problem in problems:
            self.faults.append((what, problem))
            if self.verbose:
                print("FAULT %s: %s" % (what, problem))

    def run(self, project, extra=None):
        self.runs += 1
        return run(self.exe, project, extra)


def comparetrees(got, want):
    """Differences between two snapshots, one line each."""
    lines = []
    for rel in sorted(set(got) | set(want)):
        if rel not in got:
            lines.append("%s missing" % rel)
        elif rel not in want:
            lines.append("%s unexpected" % rel)
        elif got[rel] != want[rel]:
            lines.append("%s differs" % rel)
    return lines


def checkstate(tree, old, new, allowed):
    """The destination after a failed run: no temporary but the allowed
    ones, outputs old or new, every other file complete."""
    problems = []
    for rel, data in sorted(tree.items()):
        if data is None:
            continue
        if istemp(rel):
            if rel not in allowed:
                problems.append("temporary left: %s" % rel)
            continue
        if output("dest/" + rel) is not None:
            if data != old.get(rel) and data != new.get(rel):
                problems.append("%s is neither the old nor the new file" % rel)
            continue
        if data != new.get(rel, old.get(rel)):
            problems.append("%s is not a complete installed file" % rel)
    for rel in new:
        if output("dest/" + rel) is not None and rel not in tree and rel in old:
            problems.append("%s is gone" % rel)
    return problems


def faultrun(sweep, project, start, old, clean, selection, expect, allowed=()):
    """One run with FP_FAULT=selection from start, then the checks and the
    run that must complete the install."""
    restore(project, start)
    r = sweep.run(project, {"FP_FAULT": selection})
    sweep.faulty += 1
    problems = []
    if (r.status, r.err) != expect:
        problems.append("status %d, stderr %r; expected status %d, stderr %r" %
                        (r.status, r.err, expect[0], expect[1]))
    if r.out:
        problems.append("stdout %r" % r.out)
    tree = snapshot(project.path("dest"))
    if r.status == 0:
        problems += ["after the run: " + d for d in comparetrees(tree, clean)]
    else:
        problems += checkstate(tree, old, clean, allowed)
    follow = sweep.run(project)
    if (follow.status, follow.err, follow.out) != (0, "", ""):
        problems.append("following run: status %d, stderr %r" % (follow.status, follow.err))
    problems += ["after the following run: " + d
                 for d in comparetrees(snapshot(project.path("dest")), clean)]
    sweep.report("%s %s" % (project.name, selection), problems)


# ---- the sweep ------------------------------------------------------------

def prepare(sweep, project):
    """Runs the earlier install and the clean swept one: the starting
    destination, the old and new states and the trace of the clean run."""
    project.setinput(project.before)
    r = sweep.run(project)
    if (r.status, r.err) != (0, ""):
        raise SystemExit("%s: the earlier run failed: %d %r" % (project.name, r.status, r.err))
    start = project.path("start")
    shutil.copytree(project.path("dest"), start, copy_function=shutil.copy2)
    old = snapshot(start)
    project.setinput(project.after)
    trace = project.path("trace")
    countfile = project.path("counts")
    r = sweep.run(project, {"FP_FAULT_TRACE": trace, "FP_FAULT_COUNT": countfile})
    if (r.status, r.err) != (0, ""):
        raise SystemExit("%s: the clean run failed: %d %r" % (project.name, r.status, r.err))
    clean = snapshot(project.path("dest"))
    if clean.get("manifest.txt") == old.get("manifest.txt"):
        raise SystemExit("%s: the swept run must rewrite manifest.txt" % project.name)
    calls = readtrace(trace, project)
    # The counts written at exit are those of the trace: every N is swept.
    with open(countfile) as f:
        counts = dict((op, int(n)) for op, n in (line.split() for line in f))
    traced = dict((op, sum(c.op == op for c in calls)) for op in OPS)
    if counts != traced:
        raise SystemExit("%s: counts %r, trace %r" % (project.name, counts, traced))
    return start, old, clean, calls


def sweepcalls(sweep, project, start, old, clean, calls, ops, errors, allowed=()):
    for call in calls:
        if call.op not in ops:
            continue
        for name in errors:
            selection = "%s:%d:%s" % (call.op, call.n, name)
            faultrun(sweep, project, start, old, clean, selection,
                     expected(project, call, ERRORS[name]), allowed)


def leftovervariant(sweep, project, start, old, clean, errors):
    """Leftover temporaries of an interrupted run at the names this run
    uses: each is removed first, and that removal is made to fail."""
    leftstart = project.path("start-leftovers")
    shutil.copytree(start, leftstart, copy_function=shutil.copy2)
    leftovers = ["core/bin/toolTMPZ.exe", "manifestTMPZ.txt", "permTMPZ.docs"]
    for rel in leftovers:
        with open(os.path.join(leftstart, rel), "wb") as f:
            f.write(b"partial")
    restore(project, leftstart)
    trace = project.path("trace-leftovers")
    r = sweep.run(project, {"FP_FAULT_TRACE": trace})
    problems = comparetrees(snapshot(project.path("dest")), clean)
    if (r.status, r.err) != (0, "") or problems:
        raise SystemExit("package: the clean run over leftovers failed: %r %s" % (r.err, problems))
    calls = readtrace(trace, project)
    if sum(c.fn == "removeleftover" for c in calls) != len(leftovers):
        raise SystemExit("package: expected one removal per leftover")
    sweepcalls(sweep, project, leftstart, old, clean, calls, ("unlink",), errors,
               allowed=leftovers)


def cleanupvariant(sweep, project, start, old, clean, calls):
    """A failure whose clean-up cannot remove the temporary either: the run
    reports the first failure, the temporary stays (nothing else can remove
    it), and the next run removes it as a leftover and completes."""
    if any(c.op == "unlink" for c in calls):
        raise SystemExit("package: the clean run was not expected to remove anything")
    firsts = {}
    created = None
    temps = {}  # final name -> its temporary
    for c in calls:
        if c.fn == "createexclusive":
            created = c.rel
            temps[output(c.rel) or finalname(c.rel)] = c.rel
        if c.fn == "writefd":
            firsts.setdefault((c.fn, output(c.rel) or "copy"), (c, created))
        if c.fn == "movefile":  # traced with the final name
            firsts.setdefault((c.fn, output(c.rel) or "copy"), (c, temps[c.rel]))
    for c, temp in firsts.values():
        selection = "%s:%d:EIO,unlink:1:EACCES" % (c.op, c.n)
        faultrun(sweep, project, start, old, clean, selection, expected(project, c, errno.EIO),
                 allowed=[os.path.relpath(temp, "dest")])


def checkselection(sweep, project, start):
    """A selection the fault build cannot read ends the run before it starts."""
    restore(project, start)
    r = sweep.run(project, {"FP_FAULT": "read:0:EIO"})
    want = (1, "fileplacer: FP_FAULT not understood: 'read:0:EIO'\n")
    problems = []
    if (r.status, r.err) != want:
        problems.append("unreadable FP_FAULT: status %d, stderr %r" % (r.status, r.err))
    if comparetrees(snapshot(project.path("dest")), snapshot(start)):
        problems.append("unreadable FP_FAULT: the destination changed")
    return problems


def checkjournal(sweep, project, start):
    """A journal that cannot be flushed ends the run before any copy of its
    batch takes its name, and the message names the journal."""
    restore(project, start)
    before = snapshot(project.path("dest"))
    project.args = ["--update"] + project.args
    try:
        trace = project.path("journal.trace")
        sweep.run(project, {"FP_FAULT_TRACE": trace})
        flushes = [c for c in readtrace(trace, project)
                   if c.fn == "flushfiles" and c.rel == "dest/manifest.journal"]
        if not flushes:
            return ["journal: no flush of dest/manifest.journal to fail"]
        restore(project, start)
        r = sweep.run(project, {"FP_FAULT": "%s:%d:EIO" % (flushes[0].op, flushes[0].n)})
    finally:
        project.args = project.args[1:]
    problems = []
    want = (1, "Failed to flush file 'dest/manifest.journal': %s (5)\n" % os.strerror(5))
    if (r.status, r.err) != want:
        problems.append("journal flush failed: status %d, stderr %r" % (r.status, r.err))
    named = [rel for rel, data in snapshot(project.path("dest")).items()
             if data is not None and before.get(rel) != data and not rel.startswith("manifest.")]
    if named:
        problems.append("journal flush failed, yet copies took their names: %s" % named)
    return problems


def checkrelease(release, faultexe, project):
    """The release binary holds no fault code and ignores FP_FAULT."""
    problems = []
    with open(release, "rb") as f:
        data = f.read()
    with open(faultexe, "rb") as f:
        faultdata = f.read()
    for marker in (b"FP_FAULT", b"faultcheck", b"fopencookie"):
        if marker not in faultdata:
            problems.append("the fault build lacks %r: the check below proves nothing" % marker)
        if marker in data:
            problems.append("the release binary contains %r" % marker)
    start = project.path("start")
    restore(project, start)
    r = run(release, project, {"FP_FAULT": "open:1:EIO,write:1:ENOSPC"})
    if (r.status, r.err) != (0, ""):
        problems.append("the release binary did not ignore FP_FAULT: %d %r" % (r.status, r.err))
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--exe", required=True, help="fileplacer built with -DFP_FAULTS=ON")
    parser.add_argument("--release", help="a release fileplacer to check for fault code")
    parser.add_argument("--errors", default=",".join(ERRORS),
                        help="errors to sweep (default: %(default)s)")
    parser.add_argument("--ops", default=",".join(OPS), help="operations to sweep")
    parser.add_argument("-v", "--verbose", action="store_true", help="print each fault found")
    args = parser.parse_args()
    errors = args.errors.split(",")
    ops = args.ops.split(",")
    exe = os.path.abspath(args.exe)
    began = time.time()
    sweep = Sweep(exe, args.verbose)
    root = tempfile.mkdtemp(prefix="fp-faults-")
    problems = []
    try:
        counts = {}
        parts = []
        for make in (plainproject, packageproject):
            project = make(root)
            start, old, clean, calls = prepare(sweep, project)
            for op in OPS:
                counts[(project.name, op)] = sum(c.op == op for c in calls)
            first = sweep.faulty
            sweepcalls(sweep, project, start, old, clean, calls, ops, errors)
            parts.append("%s %d" % (project.name, sweep.faulty - first))
            if project.name == "package":
                if "unlink" in ops:
                    first = sweep.faulty
                    leftovervariant(sweep, project, start, old, clean, errors)
                    parts.append("leftovers %d" % (sweep.faulty - first))
                    first = sweep.faulty
                    cleanupvariant(sweep, project, start, old, clean, calls)
                    parts.append("failed clean-up %d" % (sweep.faulty - first))
                problems += checkselection(sweep, project, start)
                problems += checkjournal(sweep, project, start)
                if args.release:
                    problems += checkrelease(os.path.abspath(args.release), exe, project)
    finally:
        shutil.rmtree(root, ignore_errors=True)

    for (name, op), n in sorted(counts.items()):
        if n == 0 and op not in ("unlink",):
            problems.append("%s: no %s call to sweep" % (name, op))
    print("calls per operation in the clean runs: " + ", ".join(
        "%s %s=%d" % (name, op, n) for (name, op), n in sorted(counts.items())))
    for what, problem in sweep.faults:
        problems.append("%s: %s" % (what, problem))
    print("fault sweep: %d runs with a fault (%s), each followed by a clean run; %d runs of "
          "the tool in %.1f s; %d problems" % (sweep.faulty, ", ".join(parts), sweep.runs,
                                              time.time() - began, len(problems)))
    for p in problems[:60]:
        print("  " + p)
    if len(problems) > 60:
        print("  ... and %d more" % (len(problems) - 60))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
