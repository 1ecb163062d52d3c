# What only the Windows build has: its resources, paths past the classic
# length limit, read-only destination files and files that another program
# holds open.
import contextlib
import os
import re
import shutil
import subprocess

from helpers import layout, leftovers, ok, windows_only

HERE = os.path.dirname(os.path.abspath(__file__))


def project_version():
    with open(os.path.join(HERE, "..", "..", "CMakeLists.txt")) as f:
        return re.search(r"project\(fileplacer VERSION ([0-9.]+)", f.read()).group(1)


def resource_string(exe, key):
    """The value of a version resource string (UTF-16) in the executable."""
    pattern = re.escape(key.encode("utf-16-le")) + rb"(?:\0\0)+((?:[^\0]\0)+)\0\0"
    found = re.search(pattern, exe)
    return found.group(1).decode("utf-16-le") if found else None


def test_executable_resources(t):
    windows_only(t, "the Linux build has no Windows resources")
    with open(t.program, "rb") as f:
        exe = f.read()
    version = project_version()
    t.eq(resource_string(exe, "ProductVersion"), version, "product version")
    t.eq(resource_string(exe, "FileVersion"), version, "file version")
    t.eq(resource_string(exe, "ProductName"), "fileplacer", "product name")
    t.check(resource_string(exe, "FileDescription"), "a file description")
    manifest = re.search(rb"<assembly .*?</assembly>", exe, re.S)
    t.check(manifest is not None, "an application manifest")
    text = manifest.group(0).decode()
    for part in ("<longPathAware", ">true</longPathAware>", ">UTF-8</activeCodePage>",
                 'version="%s.0"' % version, "supportedOS"):
        t.check(part in text, "manifest holds %s" % part)
    r = t.run("--version")
    t.eq((r.status, r.out), (0, "fileplacer %s\n" % version), "--version")


LIFE_TYPES = "file txt 0644 - - - - bin\ndir 0755 - - - - bin\n"


def lifelayout(t, names, contents="1"):
    layout(t, LIFE_TYPES, ["- txt " + n for n in names],
           {n: n + contents + "\n" for n in ("a.txt", "b.txt")}, None)


def whole_life(t, dest, what, between=lambda: None):
    """Installs a.txt and b.txt into dest; after a change of their sources
    a plain run leaves them, --update replaces them; then --prune and
    --uninstall remove them. between() runs before the plain run, --prune
    and --uninstall."""
    t.mkdir(dest)
    lifelayout(t, ["a.txt", "b.txt"])
    ok(t, t.run("-d", dest, "src"), "first install" + what)
    t.eq(t.readtext(dest + "/bin/a.txt"), "a.txt1\n", "installed" + what)
    between()
    lifelayout(t, ["a.txt", "b.txt"], "2")
    ok(t, t.run("-d", dest, "src"), "plain run" + what)
    t.eq(t.readtext(dest + "/bin/a.txt"), "a.txt1\n", "a plain run leaves the file alone" + what)
    ok(t, t.run("--update", "-d", dest, "src"), "--update" + what)
    t.eq((t.readtext(dest + "/bin/a.txt"), t.readtext(dest + "/bin/b.txt")),
         ("a.txt2\n", "b.txt2\n"), "replaced by --update" + what)
    between()
    lifelayout(t, ["a.txt"], "2")
    ok(t, t.run("--prune", "-d", dest, "src"), "--prune" + what)
    t.check(not t.exists(dest + "/bin/b.txt"), "removed by --prune" + what)
    between()
    ok(t, t.run("--uninstall", "-d", dest, "src"), "--uninstall" + what)
    t.eq(t.listdir(dest), [], "removed by --uninstall" + what)


def test_long_destinations_work_through_a_whole_life(t):
    # Destinations (as given to -d) around the classic 260-character limit:
    # the files and temporaries below them are longer still.
    for length in (200, 240, 250, 258, 300):
        top = "L%d" % length
        dest = top
        while len(dest) < length:
            dest += "/" + "d" * min(60, length - len(dest) - 1)
        whole_life(t, dest, " at %d" % length)
        t.eq(leftovers(t, top), [], "temporaries left at %d" % length)


def test_read_only_destination_files(t):
    def readonly():
        for n in ("a.txt", "b.txt"):
            if t.exists("out/bin/" + n):
                os.chmod(t.path("out/bin/" + n), 0o444)

    whole_life(t, "out", " of read-only files", readonly)


@contextlib.contextmanager
def holding(t, args):
    """A program started with args that holds a file open while the block
    runs: the helper holdopen.exe either runs from the destination (an
    installed program that is running) or holds the file open, letting
    others delete it."""
    proc = subprocess.Popen(list(t.wine_cmd) + args, cwd=t.dir, stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        t.eq(proc.stdout.readline().strip(), b"ready", "the holder started")
        yield
    finally:
        proc.stdin.close()
        proc.wait(timeout=60)


INUSE_OPS = [
    # (option, input lines of that run, the tool's file afterwards)
    ("--update", ["tool.exe", "a.txt"], "new"),
    ("--prune", ["a.txt"], None),
    ("--uninstall", ["tool.exe", "a.txt"], None),
]


def inuse_layout(t, names, exe):
    with open(exe, "rb") as f:
        program = f.read()
    layout(t, "file exe 0755 - - - - bin\n" + LIFE_TYPES,
           ["- %s %s" % ("exe" if n.endswith(".exe") else "txt", n) for n in names],
           {"a.txt": "a\n", "tool.exe": program}, None)


def inuse_rounds(t, *first):
    """The rounds of a scenario with files in use (Windows build only): for
    each of INUSE_OPS, a fresh install of the program and a.txt into out by a
    run with the options first, then (holdopen.exe, option, names, after)."""
    windows_only(t, "a POSIX host replaces and removes files in use")
    exe = os.path.join(os.path.dirname(t.program), "holdopen.exe")
    if not os.path.exists(exe):
        t.skip("holdopen.exe is not built beside the program")
    for option, names, after in INUSE_OPS:
        shutil.rmtree(t.path("out"), ignore_errors=True)
        t.mkdir("out")
        inuse_layout(t, ["tool.exe", "a.txt"], exe)
        ok(t, t.run(*first, "-d", "out", "src"), "first install")
        yield exe, option, names, after


def run_while_held(t, holder, exe, option, names, after):
    """Runs option with the input lines names while a holder started with
    the arguments holder runs; the program's source first gets a new version where after
    says so."""
    with holding(t, holder):
        inuse_layout(t, names, exe)
        if after == "new":
            t.write("src/tool.exe", t.read("src/tool.exe") + b"new")
        return t.run(option, "-d", "out", "src")


def test_a_running_program_is_moved_aside(t):
    tool = "out/bin/tool.exe"
    for exe, option, names, after in inuse_rounds(t):
        # The installed program runs, holding its own file.
        r = run_while_held(t, [t.path(tool), t.path("src/a.txt"), "read"], exe, option, names, after)
        aside = "out/bin/tool.exe.inuse~1"
        t.eq((r.status, r.err), (2, "WARNING: '%s' is in use by another program; it was moved "
                                    "aside as '%s' and is removed by a later run\n" % (tool, aside)),
             "status and warning of " + option)
        t.check(t.exists(aside), "the old program aside after " + option)
        t.eq(t.readtext("out/manifest.inuse"), "bin/tool.exe.inuse~1\n", "the list")
        if after == "new":
            t.check(t.read(tool).endswith(b"new"), "the new program in place")
        else:
            t.check(not t.exists(tool), "the program gone from its name after " + option)
        t.eq(leftovers(t, "out"), [], "temporaries after " + option)
        # The program has ended: the next run that writes removes what is aside.
        inuse_layout(t, names if option != "--uninstall" else ["a.txt"], exe)
        ok(t, t.run("-d", "out", "src"), "the run after " + option)
        t.check(not t.exists(aside) and not t.exists("out/manifest.inuse"),
                "aside file and list removed after " + option)


def test_a_file_held_open_that_may_be_deleted(t):
    for exe, option, names, after in inuse_rounds(t):
        r = run_while_held(t, [exe, t.path("out/bin/tool.exe"), "delete"], exe, option, names, after)
        ok(t, r, option)
        t.eq([n for n in t.listdir("out/bin") if "inuse" in n], [], "nothing aside")
        t.check(not t.exists("out/manifest.inuse"), "no list")
        if after == "new":
            t.check(t.read("out/bin/tool.exe").endswith(b"new"), "the new program in place")


def test_files_left_aside_are_removed_by_the_next_run(t):
    # As a Windows run leaves them; the list is a file anybody may edit, so
    # only names it moves files aside to, inside the destination, are taken.
    t.mkdir("out/bin")
    lifelayout(t, ["a.txt"])
    aside = ["out/bin/a.txt.inuse~1", "out/bin/a.txt.inuse~2"]
    kept = ["outside.txt.inuse~1", "out/bin/b.txt", "out/bin/c.inuse~x", "out/bin/d.inuse~1"]
    for name in aside + kept:
        t.write(name, "old\n")
    t.write("out/manifest.inuse", "bin/a.txt.inuse~1\nbin/a.txt.inuse~2\n../outside.txt.inuse~1\n"
                                  "bin/b.txt\nbin/c.inuse~x\n/bin/a.txt.inuse~1\nbin\\d.inuse~1\n")
    ok(t, t.run("-n", "-d", "out", "src"), "-n run")
    t.check(all(t.exists(n) for n in aside), "-n removes nothing")
    ok(t, t.run("-d", "out", "src"), "run")
    t.eq([n for n in aside if t.exists(n)], [], "files aside removed")
    t.eq([n for n in kept if not t.exists(n)], [], "other files kept")
    t.check(not t.exists("out/manifest.inuse"), "the list removed")


def test_a_file_held_open_against_any_rename_stays_with_its_record(t):
    tool = "out/bin/tool.exe"
    for exe, option, names, after in inuse_rounds(t, "--update"):  # with fingerprints
        old = t.read(tool)
        inuse_layout(t, names, exe)
        if after == "new":
            t.write("src/tool.exe", old + b"new")
            t.write("src/a.txt", "a2\n")
        with holding(t, [exe, t.path(tool), "read"]):
            r = t.run(option, "-d", "out", "src")
        verb = "replaced" if after == "new" else "removed"
        t.eq((r.status, r.err), (2, "WARNING: '%s' is in use by another program; it was not %s\n"
                                 % (tool, verb)), option)
        t.eq(t.read(tool), old, "the file left as it was by " + option)
        if after == "new":
            t.eq(t.readtext("out/bin/a.txt"), "a2\n", "the other file replaced")
        t.eq(leftovers(t, "out"), [], "temporaries after " + option)
        # Once the program has ended, the same command finishes the work,
        # its records and fingerprints being what stands on disk.
        ok(t, t.run(option, "-d", "out", "src"), option + " again")
        if after == "new":
            t.eq(t.read(tool), old + b"new", "replaced by the second " + option)
        else:
            t.check(not t.exists(tool), "removed by the second " + option)
