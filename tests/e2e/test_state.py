"""State the tool can trust: hand-edited records and fingerprint lines that
would lead outside the destination, links placed below it, runs at the same
time, failures that must keep records, local edits that --update keeps, and
data flushed before it is named.
"""

import fcntl
import os
import re
import resource
import shutil
import subprocess
import threading
import time

from helpers import (KEPT, MANIFEST, PROJECT_LINES, SUMS, entries, failed, files, inputs, line,
                     linux_only, ok, project, records, run, run_process, snapshot, spawn)

WAITING = "Waiting for another run on 'dest' to finish\n"


def edit(t, rel, old, new):
    """Replaces old by new in the text file rel (keeping the host's line
    ends): the number of the line that now holds new."""
    text = t.readtext(rel)
    t.check(old in text, "%r in %s" % (old, rel))
    text = text.replace(old, new, 1)
    t.write(rel, text.replace("\n", "\r\n") if t.wine and rel == MANIFEST else text)
    return text[:text.index(new)].count("\n") + 1


# ---- hand-edited records --------------------------------------------------------

# (file, text replaced, replacement, what the message names, why it is refused)
TAMPERED = [
    (MANIFEST, "nam=readme\n", "nam=../victim\n", "nam='../victim'", "a separator where a name belongs"),
    (MANIFEST, "nam=readme\n", "nam=..\n", "nam='..'", "'..' leads out of the destination"),
    (MANIFEST, "nam=readme\n", "nam=a\\b\n", "nam='a\\b'", "a separator where a name belongs"),
    (MANIFEST, "nam=readme\n", "nam=C:x\n", "nam='C:x'", "a drive letter"),
    (MANIFEST, "dst=doc\n", "dst=doc/../..\n", "dst='doc/../..'", "'..' leads out of the destination"),
    (MANIFEST, "dst=doc\n", "dst=/doc/../../..\n", "dst='/doc/../../..'", "'..' leads out of the destination"),
    (MANIFEST, "dst=doc\n", "dst=doc\\..\\..\n", "dst='doc\\..\\..'", "'..' leads out of the destination"),
    (MANIFEST, "dst=doc\n", "dst=C:x\n", "dst='C:x'", "a drive letter"),
    (MANIFEST, "dst=doc\n", "dst=/doc/C:/x\n", "dst='/doc/C:/x'", "a drive letter"),
    (MANIFEST, "nam=readme\n", "nam=CON\n", "nam='CON'", "a device name"),
    (MANIFEST, "nam=readme\n", "nam=readme.\n", "nam='readme.'", "ends in a dot"),
    (MANIFEST, "dst=doc\n", "dst=doc/a:b\n", "dst='doc/a:b'", "a drive letter"),
    (MANIFEST, "dst=doc\n", "dst=\\x\n", "dst='\\x'", "an absolute path"),
    (MANIFEST, "dst=doc\n", "dst=\\\\server\\x\n", "dst='\\\\server\\x'", "an absolute path"),
    (MANIFEST, "dst=doc\n", "dst=\\\\.\\x\n", "dst='\\\\.\\x'", "an absolute path"),
    (MANIFEST, "dst=doc\n", "dst=//server/x\n", "dst='//server/x'", "an absolute path"),
    (MANIFEST, "pkg=core\n", "pkg=../vd\n", "pkg='../vd'", "a separator where a name belongs"),
    (MANIFEST, "pkg=core\n", "pkg=..\n", "pkg='..'", "'..' leads out of the destination"),
    (MANIFEST, "ext=exe\n", "ext=../x\n", "ext='../x'", "a separator where a name belongs"),
    (SUMS, " doc/readme\n", " ../readme\n", "path '../readme'", "'..' leads out of the destination"),
    (SUMS, " doc/readme\n", " C:x\n", "path 'C:x'", "a drive letter"),
    (SUMS, " doc/readme\n", " \\\\server\\x\n", "path '\\\\server\\x'", "an absolute path"),
    (SUMS, "doc|doc|readme", "doc|..|readme", "path '..'", "'..' leads out of the destination"),
    (SUMS, "doc|doc|readme", "doc|doc|..", "path '..'", "'..' leads out of the destination"),
]


def test_tampered_records_end_the_run_before_anything_changes(t):
    project(t, install=["--update"])
    t.write("victim", "read me\n")
    t.write("vd/doc/readme", "read me\n")
    pristine = {rel: t.read(rel) for rel in (MANIFEST, SUMS)}
    for rel, old, new, named, why in TAMPERED:
        for args in (["--uninstall"], ["--prune"], ["-p", "--uninstall"], ["--update"], ["--verify"], []):
            for r2, data in pristine.items():
                t.write(r2, data)
            lineno = edit(t, rel, old, new)
            before = snapshot(t)
            r = run(t, *args)
            where = "manifest file '%s'" % rel if rel == MANIFEST else "'%s'" % rel
            message = "Unsafe %s in %s line %d: %s\n" % (named, where, lineno, why)
            failed(t, r, message, "%r %s" % (new, " ".join(args)))
            t.eq(snapshot(t), before, "nothing changed: %r %s" % (new, " ".join(args)))


# ---- links below the destination -------------------------------------------------

def test_links_below_the_destination_are_never_followed(t):
    project(t, install=["--update"])
    t.mkdir("outside")
    t.write("outside/readme", "read me\n")
    if not t.wine:  # Wine shows a link to a file as the file itself
        link_where_a_file_was(t)

    # A fingerprint whose path differs from its record, through a link to a
    # directory outside: the record's own path decides.
    shutil.rmtree(t.path("dest"))
    project(t, install=["--update"])
    os.symlink(t.path("outside"), t.path("dest/lnk"))
    edit(t, SUMS, " doc/readme\n", " lnk/readme\n")
    inputs(t, ["core exe tool", "core cfg app"])
    r = run(t, "--prune", "-v")
    t.eq(r.status, 0, "--prune")
    t.check(line("x", "F", 0o644, "dest/doc/readme") in r.out, "the record's file goes")
    t.eq(t.read("outside/readme"), b"read me\n", "nothing removed through the link")


def link_where_a_file_was(t):
    """A link standing where an installed file was: not the tool's file."""
    os.remove(t.path("dest/doc/readme"))
    os.symlink(t.path("outside/readme"), t.path("dest/doc/readme"))
    r = run(t, "--verify")
    t.eq((r.status, r.out), (2, "modified dest/doc/readme\n3 checked, 1 differ\n"), "--verify")
    inputs(t, ["core exe tool", "core cfg app"])
    r = run(t, "--prune")
    t.eq((r.status, r.err), (2, KEPT % "dest/doc/readme"), "--prune keeps the link")
    r = run(t, "--uninstall")
    t.eq(r.status, 2, "--uninstall keeps the link")
    t.check(os.path.islink(t.path("dest/doc/readme")), "the link stays")
    t.check("nam=readme" in t.readtext(MANIFEST), "and so does its record")
    t.eq(t.read("outside/readme"), b"read me\n", "what it points to is untouched")
    inputs(t, PROJECT_LINES)


# ---- failures that keep records ------------------------------------------------------

def open_up(t):
    """Every name of the scenario open to everyone, for as_nobody."""
    os.chmod(t.dir, 0o777)
    for root, dirs, names in os.walk(t.dir):
        for name in dirs + names:
            os.chmod(os.path.join(root, name), 0o777)


def as_nobody(t, *args):
    """A run of the Linux build to which permissions apply (root's do not)."""
    prefix = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"] if os.geteuid() == 0 else []
    return run_process(t, *args, "-d", "dest", "src", prefix=prefix, text=True)


def test_an_unreadable_directory_keeps_its_records(t):
    linux_only(t, "permissions of the Linux build")
    if os.geteuid() == 0 and shutil.which("setpriv") is None:
        t.skip("needs setpriv to run without root's permissions")
    project(t, install=["--update"])
    open_up(t)
    os.chmod(t.path("dest/doc"), 0)
    denied = "'dest/doc/readme': Permission denied (13)\n"
    r = as_nobody(t, "--verify")
    t.eq((r.returncode, r.stdout, r.stderr),
         (2, "unreadable dest/doc/readme\n3 checked, 1 differ\n", "WARNING: can't examine " + denied),
         "--verify")
    r = as_nobody(t, "--uninstall", "-v")
    t.eq(r.returncode, 2, "--uninstall status")
    t.eq(r.stderr, "WARNING: can't examine " + denied, "--uninstall warns")
    t.check("dest/doc/readme" not in r.stdout, "no removal listed for it: %r" % r.stdout)
    os.chmod(t.path("dest/doc"), 0o777)
    t.eq(records(t), ["readme"], "its record stays, the others go")
    t.eq(t.read("dest/doc/readme"), b"read me\n", "and so does the file")


def test_a_failed_update_records_what_it_wrote(t):
    project(t, install=["--update"])
    t.write("src/tool.exe", "tool 2\n")
    t.write("src/readme", "read me 2\n")
    os.rename(t.path("src/app.cfg"), t.path("app.cfg"))
    r = run(t, "--update")
    t.eq((r.status, r.err), (1, "file 'app.cfg' not found in source path\n"), "the update fails")
    t.eq(t.read("dest/bin/tool.exe"), b"tool 2\n", "the files before were replaced")
    os.rename(t.path("app.cfg"), t.path("src/app.cfg"))
    r = run(t, "--verify")
    t.eq((r.status, r.out), (0, "3 checked, 0 differ\n"), "their fingerprints were recorded")
    ok(t, run(t, "--uninstall"), "and --uninstall knows them as its own")


def test_copies_in_many_batches_all_land_with_their_fingerprints(t):
    # More copies than the largest batch on either build, so that batches are
    # flushed while the next ones are written; the second run replaces half.
    names = ["many%03d" % i for i in range(600)]
    project(t, PROJECT_LINES + ["core doc " + n for n in names])
    for round, changed in (("install", names), ("update", names[::2])):
        for n in changed:
            t.write("src/" + n, "%s %s\n" % (n, round))
        t.eq(run(t, "--update").status, 0, round)
        r = run(t, "--verify")
        t.eq((r.status, r.out), (0, "603 checked, 0 differ\n"), "in step after the " + round)
    wrong = [n for i, n in enumerate(names)
             if t.read("dest/doc/" + n) != ("%s %s\n" % (n, "update" if i % 2 == 0 else "install")).encode()]
    t.eq(wrong, [], "every copy holds what its last run wrote")
    t.check(all("TMPZ" not in n for n in t.listdir("dest/doc")), "no temporary left")


# ---- --update and local edits -------------------------------------------------------

def test_update_keeps_a_local_edit_and_writes_the_new_version_beside_it(t):
    project(t, install=["--update"])
    t.write("dest/doc/readme", "my notes\n")
    t.write("src/readme", "read me 2\n")
    warning = ("WARNING: kept 'dest/doc/readme': changed since it was installed; the new version "
               "is 'dest/doc/readme.new'\n")
    for attempt in ("first", "again"):
        r = run(t, "--update", "-v")
        t.eq((r.status, r.err), (2, warning), "status and warning, " + attempt)
        t.check(line("n", "F", 0o644, "dest/doc/readme.new") in r.out, "listed nF: %r" % r.out)
        t.eq((t.read("dest/doc/readme"), t.read("dest/doc/readme.new")), (b"my notes\n", b"read me 2\n"),
             "the edit stays, the new version beside it")
    t.check(all("TMPZ" not in n for n in t.listdir("dest/doc")), "no temporary left")
    r = ok(t, run(t, "--update", "--force", "-v"), "--force")
    t.check(line("*", "F", 0o644, "dest/doc/readme") in r.out, "replaced: %r" % r.out)
    t.eq(t.read("dest/doc/readme"), b"read me 2\n", "the new version")

    # Without fingerprints nothing tells an edit: --update replaces, as before.
    shutil.rmtree(t.path("dest"))
    t.eq(run(t).status, 0, "plain install")
    t.write("dest/doc/readme", "my notes\n")
    r = run(t, "--update")
    t.eq((r.status, r.err, t.read("dest/doc/readme")), (0, "", b"read me 2\n"), "replaced")


# ---- one run at a time ----------------------------------------------------------------

def installed(t):
    """The names of the files installed below the directories of dest."""
    return {os.path.basename(p) for p in files(t) if "/" in p}


def together(t, what, *commands):
    """Runs the tool with each of commands at the same time, installing src
    into dest: each succeeds, saying at most that it waited for the others."""
    procs = [spawn(t, *c, "-d", "dest", "src", stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                   text=True) for c in commands]
    for p in procs:
        err = p.communicate()[1]
        t.eq((p.returncode, err in ("", WAITING)), (0, True), "%s: %r" % (what, err))


def test_runs_on_one_destination_take_turns(t):
    linux_only(t, "processes started side by side under Wine share one server")
    types = "file doc 0644 - - - - doc\ndir 0755 - - - - doc\n"
    t.write("types.txt", types)
    groups = {g: ["%s%02d" % (g, i) for i in range(15)] for g in "abxyz"}
    for names in groups.values():
        for n in names:
            t.write("src/" + n, n + "\n")
    for g, names in groups.items():
        t.write(g + ".ins", entries("core doc " + n for n in names))
    t.write("xy.ins", t.readtext("x.ins") + "".join("core doc %s\n" % n for n in groups["y"]))
    for round in range(20):
        shutil.rmtree(t.path("dest"), ignore_errors=True)
        together(t, "round %d: installs" % round, ["-i", "a.ins"], ["-i", "b.ins"])
        t.eq(set(records(t)), set(groups["a"] + groups["b"]), "round %d: no record lost" % round)
        t.eq(installed(t), set(records(t)), "round %d: records match the tree" % round)

        shutil.rmtree(t.path("dest"))
        t.eq(t.run("-i", "xy.ins", "-d", "dest", "src").status, 0, "round %d: first install" % round)
        together(t, "round %d: prune and install" % round, ["--prune", "-i", "x.ins"],
                 ["-i", "z.ins"])
        t.eq(installed(t), set(records(t)), "round %d: records match the tree after --prune" % round)
        t.check(not set(groups["y"]) & installed(t), "round %d: the pruned files are gone" % round)


def test_a_run_waits_for_the_lock_and_says_so_once(t):
    linux_only(t, "the host lock is taken here by this script")
    project(t, install=[])
    t.check(t.exists("dest/manifest.lock"), "the lock file")
    with open(t.path("dest/manifest.lock")) as held:
        fcntl.flock(held, fcntl.LOCK_SH)
        ok(t, run(t, "--verify"), "a reading run shares the lock")
        timer = threading.Timer(0.5, lambda: fcntl.flock(held, fcntl.LOCK_UN))
        timer.start()
        started = time.time()
        r = run(t, "--update")
        timer.join()
    t.eq((r.status, r.err), (0, WAITING), "a writing run waits, saying so once")
    t.check(time.time() - started >= 0.4, "until the lock is free")
    r = run(t, "--verify", "-v")
    t.check("manifest.lock" not in r.out, "--verify does not report it")
    t.eq(run(t, "--uninstall").status, 0, "uninstall")
    t.eq(t.listdir("dest"), [], "--uninstall leaves no lock file")


# ---- data on disk before it is named ---------------------------------------------------

def unflushed_renames(trace):
    """The renames in an strace log whose source had data written since the
    last flush that covered it (fsync of it, or a sync of its file system)."""
    fds, dirty, bad = {}, set(), []
    syncing = {}  # thread -> what was dirty when its sync began
    for call in trace.splitlines():
        m = re.search(r'openat\(AT_FDCWD, "([^"]+)", [^)]*\) = (\d+)', call)
        if m:
            fds[m.group(2)] = m.group(1)
            continue
        # A sync made by another thread covers what was written before it
        # began; what is written while it runs may still be only in memory.
        tid = call.split(None, 1)[0]
        if re.search(r'\bsyncfs\(\d+ <unfinished', call):
            syncing[tid] = set(dirty)
            continue
        if re.search(r'<\.\.\. syncfs resumed>\)\s+= 0', call):
            dirty -= syncing.pop(tid, set())
            continue
        m = re.search(r'\bwrite\((\d+),', call) or re.search(r'copy_file_range\(\d+, NULL, (\d+),', call)
        if m and m.group(1) in fds:
            dirty.add(fds[m.group(1)])
            continue
        if re.search(r'syncfs\(\d+\)\s+= 0', call):
            dirty.clear()
            continue
        m = re.search(r'f(?:data)?sync\((\d+)\)\s+= 0', call)
        if m and m.group(1) in fds:
            dirty.discard(fds[m.group(1)])
            continue
        m = re.search(r'rename(?:at2?)?\((?:AT_FDCWD, )?"([^"]+)"', call)
        if m and m.group(1) in dirty:
            bad.append(m.group(1))
    return bad


def test_every_renamed_temporary_was_flushed_first(t):
    linux_only(t, "strace traces the Linux build")
    if shutil.which("strace") is None:
        t.skip("needs strace")
    # Enough copies for several batches, each flushed while the next is
    # written: batches are sized by the descriptors a process may open.
    def few_descriptors():
        resource.setrlimit(resource.RLIMIT_NOFILE, (256, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))

    many = ["many%03d" % i for i in range(150)]
    project(t, PROJECT_LINES + ["core doc big"] + ["core doc " + n for n in many])
    t.write("src/big", "x" * (600 * 1024))
    for n in many:
        t.write("src/" + n, n + "\n")

    def traced(*args):
        log = t.path("trace")
        r = subprocess.run(["strace", "-f", "-o", log, "-e",
                            "trace=openat,write,copy_file_range,fsync,fdatasync,syncfs,rename,"
                            "renameat,renameat2", t.exe] + list(args) + ["-d", "dest", "src"],
                           cwd=t.dir, capture_output=True, text=True, timeout=60,
                           preexec_fn=few_descriptors)
        t.eq(r.returncode, 0, "traced run %s: %s" % (" ".join(args), r.stderr))
        with open(log) as f:
            return f.read()

    trace = traced("--update", "-s")
    renamed = re.findall(r'rename(?:at2?)?\((?:AT_FDCWD, )?"([^"]+)"', trace)
    t.check(any("manifestTMPZ" in n for n in renamed) and any("permTMPZ" in n for n in renamed) and
            len(renamed) >= 150, "the copies and outputs were renamed: %r" % renamed)
    t.eq(unflushed_renames(trace), [], "renamed before their data was flushed")
    after = trace.split('"dest/manifest.txt"', 1)[1]
    opened = re.findall(r'openat\(AT_FDCWD, "dest", O_RDONLY[^)]*O_DIRECTORY[^)]*\) = (\d+)', after)
    t.check(any(re.search(r"fsync\(%s\)\s+= 0" % fd, after) for fd in opened),
            "the destination is synced after the manifest is committed")
    shutil.rmtree(t.path("dest"))
    t.check(unflushed_renames(traced("--no-sync", "-s")) != [], "--no-sync flushes nothing")
    trace = traced("-s")
    t.check(re.search(r"\b(fsync|fdatasync|syncfs)\(", trace) is None,
            "a run with nothing to do flushes nothing")
