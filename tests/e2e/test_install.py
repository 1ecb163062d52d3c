# The install walk: listing lines and status characters, the source search,
# staleness, substitution, package and no-action modes, directories missing on
# disk, deferred links, and copies that survive a kill or a write failure
# (of a first install and of --update).
import os
import random
import resource
import signal
import time

import helpers
from helpers import kill_rounds, killed, line, linux_only, ok, run_process, spawn

BIN_TYPES = (
    "set who=World\n"
    "file txt 0644 - - - win32=txt bin\n"
    "file raw 0644 - - - - bin\n"
    "dir 0755 - - - - bin\n"
)
TYPES = BIN_TYPES + (
    "file cfg 0640 $bin $bin substitute win32=cfg etc\n"
    "file lib 0755 - - - unix=so#,win32=dll# lib\n"
    "dir 0750 $bin $bin - - etc\n"
    "dir 0755 - - - - lib\n"
)


def layout(t, lines, types=BIN_TYPES, dest="dest", sources={}):
    helpers.layout(t, types, lines, sources, dest)


# ---- listing formats and status characters ---------------------------------------

def test_listing_every_kind(t):
    layout(t, [
        "core txt hello",
        "core raw notes",
        "core lib libz.1.2",
        "core cfg app",
        "core *symlink existing=hello.txt new=bin/hi",
        "core *hardlink existing=bin/hello.txt new=bin/hard",
        "core txt /opt/readme",
    ], types=TYPES + "dir 0755 - - - - /opt\n",
       sources={"hello.txt": "hello\n", "notes": "notes\n", "libz.dll.1.2": "lib\n",
                "app.cfg": "who=<who>\n", "readme.txt": "readme\n"})
    first = ok(t, t.run("-v", "-d", "dest", "src"), "first run")

    def listing(s):
        return (line(s, "D", 0o755, "dest/bin")
                + line("+", "H", 0, "dest/bin/hard", existing="bin/hello.txt")
                + line(s, "F", 0o644, "dest/bin/hello.txt")
                + line("+", "S", 0, "dest/bin/hi", existing="hello.txt")
                + line(s, "F", 0o644, "dest/bin/notes")
                + line(s, "D", 0o750, "dest/etc", "", "")
                + line(s, "F", 0o640, "dest/etc/app.cfg", "", "")
                + line(s, "D", 0o755, "dest/lib")
                + line(s, "F", 0o755, "dest/lib/libz.dll.1.2")
                + line("+", "S", 0, "dest/lib/libz.dll.1", existing="libz.dll.1.2")
                + line("+", "S", 0, "dest/lib/libz.dll", existing="libz.dll.1.2")
                + line(s, "D", 0o755, "/opt")
                + line(s, "F", 0o644, "/opt/readme.txt"))

    t.eq(first.out, listing("+"), "first listing")
    t.eq(t.read("dest/bin/hello.txt"), b"hello\n", "copied file")
    t.eq(t.read("dest/etc/app.cfg"), b"who=World\n", "substituted file")
    # An absolute entry is made relative to the working directory.
    t.eq(t.read("opt/readme.txt"), b"readme\n", "absolute entry")
    t.eq(t.listdir("dest/lib"), ["libz.dll.1.2"], "links are not made on this platform")
    t.eq(t.listdir("dest/bin"), ["hello.txt", "notes"], "no temporary left")

    second = ok(t, t.run("-v", "-d", "dest", "src"), "second run")
    t.eq(second.out, listing("-"), "second listing: everything already there")


def test_quiet_run_lists_nothing(t):
    layout(t, ["core txt hello"], sources={"hello.txt": "x"})
    r = ok(t, t.run("-d", "dest", "src"), "quiet run")
    t.eq(r.out, "", "no listing without -v")
    t.eq(t.read("dest/bin/hello.txt"), b"x", "copied")


def test_messages_that_end_the_walk(t):
    layout(t, ["core txt gone"])
    r = t.run("-d", "dest", "src")
    t.eq((r.status, r.err), (1, "file 'gone.txt' not found in source path\n"), "not found")

    # A "srcpath" entry is looked for below its own directory and named by it.
    layout(t, ["{srcpath}core txt sub/deep"], types=TYPES + "dir 0755 - - - - bin/sub\n",
           sources={"deep.txt": "not here: the entry is looked for in src/sub\n"})
    r = t.run("-d", "dest", "src")
    t.eq(r.err, "file 'sub/deep.txt' not found in source path\n", "srcpath not found")
    t.write("src/sub/deep.txt", "found\n")
    ok(t, t.run("-d", "dest", "src"), "srcpath found")
    t.eq(t.read("dest/bin/sub/deep.txt"), b"found\n", "srcpath entry installed")

    layout(t, ["core *copy existing=a new=bin/c"], dest="dest2")
    r = t.run("-d", "dest2", "src")
    t.eq((r.status, r.err), (1, "Unsupported directive for path bin/c\n"), "copy directive")

    # A destination whose parent does not exist cannot be made.
    layout(t, ["core txt hello"], dest=None, sources={"hello.txt": "x"})
    r = t.run("-d", "nowhere/dest", "src")
    t.eq((r.status, r.err), (1, "Can't create destination directory 'nowhere/dest': "
                                "No such file or directory (2)\n"), "missing destination")
    t.check(not t.exists("nowhere"), "nothing made")

    # A path that does not fit is refused, never cut (-n: the destination,
    # which no file system takes, is not made first).
    long = "d" * 1020
    r = t.run("-m", "-n", "-d", long, "src")
    t.eq((r.status, r.err),
         (1, "Overflow destdir '%s' relpath '' file 'bin' extension ''\n" % long), "overflow")


# ---- the source search ----------------------------------------------------------

def test_source_search_order_and_errors(t):
    layout(t, ["core txt both", "core txt second"])
    t.write("one/both.txt", "from one\n")
    t.write("two/both.txt", "from two\n")
    t.write("two/second.txt", "from two\n")
    # A plain file where a source directory is expected: opening below it
    # fails with an error other than "no such file", which verbose runs show.
    t.write("notadir", "")
    r = ok(t, t.run("-v", "-d", "dest", "notadir", "one", "two"), "search")
    t.eq(t.read("dest/bin/both.txt"), b"from one\n", "first directory wins")
    t.eq(t.read("dest/bin/second.txt"), b"from two\n", "later directory searched")
    lines = r.out.splitlines(keepends=True)
    errors = [l for l in lines if l.startswith("source file ")]
    files = [l for l in lines if l[1] == "F"]
    t.eq(files, [line("+", "F", 0o644, "dest/bin/both.txt"),
                 line("+", "F", 0o644, "dest/bin/second.txt")], "file lines")
    if not t.wine:
        t.eq(errors, ["source file 'notadir/both.txt' error: Not a directory (20)\n",
                      "source file 'notadir/second.txt' error: Not a directory (20)\n"],
             "source error lines")
        t.eq(lines[1:3], [errors[0], files[0]], "the error line comes before its file line")
    quiet = ok(t, t.run("-d", "dest", "notadir", "one", "two"), "quiet search")
    t.eq(quiet.out, "", "source errors are shown only when verbose")


def test_source_directory_change_is_warned(t):
    layout(t, ["core txt item"])
    t.write("one/item.txt", "1\n")
    t.write("two/item.txt", "2\n")
    ok(t, t.run("-d", "dest", "one", "two"), "first run")
    t.check("src=one" in t.readtext("dest/manifest.txt"), "source directory recorded")
    os.remove(t.path("one/item.txt"))
    ok(t, t.run("-d", "dest", "one", "two"), "a warning does not end the run",
       "WARNING: Source path for file 'item.txt' changed from 'one' to 'two'\n")
    t.eq(t.read("dest/bin/item.txt"), b"1\n", "the installed file is left alone")


# ---- staleness ------------------------------------------------------------------

def test_existing_destination_is_never_replaced(t):
    layout(t, ["core txt a", "core txt b"])
    now = int(time.time())
    t.write("src/a.txt", "new a\n", mtime=now)
    t.write("src/b.txt", "new b\n", mtime=now - 1000)
    t.write("dest/bin/a.txt", "old a\n", mtime=now - 1000)   # older than its source
    t.write("dest/bin/b.txt", "old b\n", mtime=now)          # newer than its source
    r = ok(t, t.run("-v", "-d", "dest", "src"), "run")
    t.eq(r.out, line("-", "D", 0o755, "dest/bin") + line("-", "F", 0o644, "dest/bin/a.txt")
         + line("-", "F", 0o644, "dest/bin/b.txt"), "listing")
    t.eq(t.read("dest/bin/a.txt"), b"old a\n", "older destination kept")
    t.eq(t.read("dest/bin/b.txt"), b"old b\n", "newer destination kept")


def test_existing_destination_reads_its_source_only_when_substituted(t):
    # The source is a directory: it opens but cannot be read (Linux), so the
    # run shows whether the copy read it. Windows does not open directories.
    linux_only(t, "Windows does not open a directory as a source file")
    layout(t, ["core txt a"])
    base = 1500000000
    t.mkdir("src/a.txt")
    os.utime(t.path("src/a.txt"), (base, base))
    t.write("install.ins", "fileplacer types.txt\ncore txt a\n", mtime=base)
    t.write("dest/bin/a.txt", "kept\n", mtime=base + 10)
    # An existing destination is left alone unread, whatever the times: newer
    # than the source and the input file, older than the input file, equal.
    listing = line("-", "D", 0o755, "dest/bin") + line("-", "F", 0o644, "dest/bin/a.txt")
    for input_time, dest_time in ((base, base + 10), (base + 20, base + 10), (base, base)):
        t.write("install.ins", "fileplacer types.txt\ncore txt a\n", mtime=input_time)
        os.utime(t.path("dest/bin/a.txt"), (dest_time, dest_time))
        r = t.run("-v", "-m", "-d", "dest", "src")
        t.eq((r.status, r.err, r.out), (0, "", listing),
             "input %d, destination %d" % (input_time, dest_time))
    # A substituted file is always read.
    t.write("install.ins", "fileplacer types.txt\n{substitute}core txt a\n", mtime=base)
    r = t.run("-m", "-d", "dest", "src")
    t.eq((r.status, r.err), (1, "Error reading file 'src/a.txt': Is a directory (21)\n"),
         "substituted")
    t.eq(t.read("dest/bin/a.txt"), b"kept\n", "destination untouched")


# ---- substitution ---------------------------------------------------------------

def test_substitution_and_line_tags(t):
    layout(t, ["core cfg app", "{substitute}core txt readme", "core txt plain"], types=TYPES)
    text = ("name=<who>\r\n"
            "key=<cli>\r\n"
            "<line:unix>unix only\r\n"
            "<line:win32>windows only\r\n"
            "<line:all>everywhere\r\n"
            "kept <x> and <undefined>\n"
            "\x00binary\xff")
    t.write("src/app.cfg", text)
    t.write("src/readme.txt", "<who>\n<line:linux>no\nyes\n")
    t.write("src/plain.txt", text)
    r = ok(t, t.run("-D", "cli=given", "-d", "dest", "src"), "substituting run")
    t.eq(t.read("dest/etc/app.cfg"),
         ("name=World\r\nkey=given\r\nwindows only\r\neverywhere\r\n"
          "kept <x> and <undefined>\n\x00binary\xff").encode("utf-8"), "substituted bytes")
    t.eq(t.read("dest/bin/readme.txt"), b"World\nyes\n", "substitute flag on the input line")
    t.eq(t.read("dest/bin/plain.txt"), text.encode("utf-8"), "plain copy byte for byte")


def test_package_mode_copies_without_substitution(t):
    layout(t, ["core cfg app", "core lib libz.1"], types=TYPES,
           sources={"app.cfg": "who=<who>\n", "libz.dll.1": "lib\n"})
    r = ok(t, t.run("-p", "-v", "-d", "dest", "src"), "package run")
    t.eq(t.read("dest/core/etc/app.cfg"), b"who=<who>\n", "no expansion in package mode")
    t.eq(r.out,
         line("+", "D", 0o750, "dest/core/etc", "", "")
         + line("+", "F", 0o640, "dest/core/etc/app.cfg", "", "")
         + line("+", "D", 0o755, "dest/core/lib") + line("+", "F", 0o755, "dest/core/lib/libz.dll.1"),
         "package listing without version links")


# ---- package mode ---------------------------------------------------------------

def test_package_mode_directories(t):
    layout(t, ["core txt one", "core txt two", "extra txt three"],
           sources={n + ".txt": n + "\n" for n in ("one", "two", "three")})
    r = ok(t, t.run("-p", "-v", "-d", "dest", "src"), "package run")
    # Each entry of a package makes its package directory and its parent
    # again; directories of no package are not made for themselves.
    t.eq(r.out,
         line("+", "D", 0o755, "dest/core/bin") + line("+", "F", 0o644, "dest/core/bin/one.txt")
         + line("+", "D", 0o755, "dest/extra/bin")
         + line("+", "F", 0o644, "dest/extra/bin/three.txt")
         + line("-", "D", 0o755, "dest/core/bin") + line("+", "F", 0o644, "dest/core/bin/two.txt"),
         "package listing")
    names = t.listdir("dest")
    t.check("core" in names and "extra" in names, "package directories made: %r" % names)
    t.check("bin" not in names and "lib" not in names, "no directory outside the packages")
    t.eq(t.read("dest/extra/bin/three.txt"), b"three\n", "installed in its package")


def test_package_mode_makes_missing_parents_on_the_way_down(t):
    types = BIN_TYPES + "dir 0755 - - - - bin/a\ndir 0711 - - - - bin/a/b\n"
    layout(t, ["core txt bin/a/b/f"], types=types, sources={"f.txt": "f\n"})
    r = ok(t, t.run("-p", "-v", "-d", "dest", "src"), "package run")
    t.eq(r.out,
         line("+", "D", 0o755, "dest/core/bin") + line("+", "D", 0o755, "dest/core/bin/a")
         + line("+", "D", 0o711, "dest/core/bin/a/b")
         + line("+", "F", 0o644, "dest/core/bin/a/b/f.txt"),
         "parents made top down after the failed attempt")
    t.eq(t.read("dest/core/bin/a/b/f.txt"), b"f\n", "installed")


def test_going_up_that_cannot_help_ends(t):
    types = BIN_TYPES + "dir 0755 - - - - bin/a\n"
    layout(t, ["core txt bin/a/f"], types=types, sources={"f.txt": "f\n"})
    t.write("dest/core/bin", "a file where a directory belongs\n")
    r = t.run("-p", "-d", "dest", "src")
    t.eq((r.status, r.err), (1, "Can't create directory 'dest/core/bin/a'\n"), "message")


# ---- no-action mode ---------------------------------------------------------------

def test_no_action_mode(t):
    layout(t, ["core txt hello", "core lib libz.1.2", "core *symlink existing=x new=bin/ln"],
           types=TYPES, sources={"hello.txt": "x", "libz.dll.1.2": "x"})
    r = ok(t, t.run("-n", "-v", "-d", "dest", "src"), "no-action run")
    t.eq(r.out,
         line(" ", "D", 0o755, "dest/bin") + line("=", "F", 0o644, "dest/bin/hello.txt")
         + line("+", "S", 0, "dest/bin/ln", existing="x")
         + line(" ", "D", 0o750, "dest/etc", "", "")
         + line(" ", "D", 0o755, "dest/lib") + line("=", "F", 0o755, "dest/lib/libz.dll.1.2")
         + line("=", "S", 0, "dest/lib/libz.dll.1", existing="libz.dll.1.2")
         + line("=", "S", 0, "dest/lib/libz.dll", existing="libz.dll.1.2"),
         "no-action listing")
    t.eq(t.listdir("dest"), [], "nothing made")

    # Every file must still be found.
    os.remove(t.path("src/hello.txt"))
    r = t.run("-n", "-d", "dest", "src")
    t.eq((r.status, r.err), (1, "file 'hello.txt' not found in source path\n"), "missing file")

    # Package directories are still made.
    t.write("src/hello.txt", "x")
    ok(t, t.run("-n", "-p", "-d", "dest", "src"), "no-action package run")
    t.eq(t.listdir("dest"), ["core"], "package directory made")
    t.eq(t.listdir("dest/core"), [], "nothing inside it")


# ---- deferred links ---------------------------------------------------------------

def test_deferred_link_is_made_after_the_trees(t):
    types = BIN_TYPES + "dir 0755 - - - - bin/a\n"
    layout(t, ["core *symlink existing=not-yet new=bin/a/ln",
               "core txt bin/a/ln/inner",
               "core txt bin/a/later",
               "core txt top"], types=types,
           sources={n + ".txt": n + "\n" for n in ("inner", "later", "top")})
    # No link is made on this platform; a directory stands in for it.
    t.mkdir("dest/bin/a/ln")
    r = ok(t, t.run("-v", "-d", "dest", "src"), "run")
    t.eq(r.out,
         line("-", "D", 0o755, "dest/bin") + line("-", "D", 0o755, "dest/bin/a")
         + line("+", "F", 0o644, "dest/bin/a/later.txt")
         + line("+", "F", 0o644, "dest/bin/top.txt")
         + line("+", "S", 0, "dest/bin/a/ln", existing="not-yet")
         + line("+", "F", 0o644, "dest/bin/a/ln/inner.txt"),
         "the deferred link and its entries come last, in their own directory")
    t.eq(t.read("dest/bin/a/ln/inner.txt"), b"inner\n", "entry below the link installed")
    manifest = t.readtext("dest/manifest.txt")
    for name in ("ln", "inner", "later", "top"):
        t.eq(manifest.count("\nnam=%s\n" % name), 1, "manifest records %s once" % name)


def test_link_whose_target_exists_is_not_deferred(t):
    types = BIN_TYPES + "dir 0755 - - - - bin/a\n"
    layout(t, ["core *symlink existing=there new=bin/a/ln", "core txt bin/a/ln/inner",
               "core txt top"], types=types, sources={"inner.txt": "i", "top.txt": "t"})
    t.write("there", "")
    t.mkdir("dest/bin/a/ln")
    r = ok(t, t.run("-v", "-d", "dest", "src"), "run")
    t.eq(r.out,
         line("-", "D", 0o755, "dest/bin") + line("-", "D", 0o755, "dest/bin/a")
         + line("+", "S", 0, "dest/bin/a/ln", existing="there")
         + line("+", "F", 0o644, "dest/bin/a/ln/inner.txt")
         + line("+", "F", 0o644, "dest/bin/top.txt"),
         "made in tree order")


# ---- crash safety -----------------------------------------------------------------

BIG = 300 * 1024 * 1024


def test_killed_copy_leaves_no_destination(t):
    # Linux build only: under Wine, killing the launcher we started does not
    # stop the Windows process at once, which then goes on copying.
    linux_only(t, "killing the Wine launcher does not stop the Windows process")
    layout(t, ["core raw big"])
    t.mkdir("src")
    with open(t.path("src/big"), "wb") as out:
        out.truncate(BIG)
    t.mkdir("dest/bin")
    temp = t.path("dest/bin/bigTMPZ")
    proc = spawn(t, "-d", "dest", "src")
    deadline = time.time() + 30
    while not os.path.exists(temp) and proc.poll() is None and time.time() < deadline:
        time.sleep(0.0005)
    proc.send_signal(signal.SIGKILL)
    proc.wait()
    t.check(proc.returncode == -signal.SIGKILL, "killed while copying (status %r)"
            % proc.returncode)
    t.check(os.path.getsize(temp) < BIG, "killed before the copy was complete")
    t.check(not t.exists("dest/bin/big"), "no file under the destination name")

    r = ok(t, t.run("-v", "-d", "dest", "src"), "next run")
    t.eq(r.out, line("-", "D", 0o755, "dest/bin") + line("+", "F", 0o644, "dest/bin/big"),
         "copied now")
    t.eq(os.path.getsize(t.path("dest/bin/big")), BIG, "complete copy")
    t.eq(t.listdir("dest/bin"), ["big"], "leftover temporary replaced and gone")


def test_write_failure_removes_the_temporary(t):
    # A file-size limit makes writes fail. Linux build only: under Wine the
    # limit also binds the Wine server the run may start (its registry files),
    # and the failure arrives with another error number.
    linux_only(t, "a file-size limit also binds the Wine server")
    layout(t, ["core raw big", "core txt small"],
           sources={"big": b"\x01" * (3 * 1024 * 1024 + 5), "small.txt": "s"})

    def limit():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (1024 * 1024, 1024 * 1024))

    proc = run_process(t, "-d", "dest", "src", preexec_fn=limit)
    t.eq(proc.stderr.decode(), "Error writing file 'dest/bin/big': File too large (27)\n",
         "message")
    t.eq(proc.returncode, 1, "status")
    t.eq(t.listdir("dest/bin"), [], "neither temporary nor destination left")


def test_killed_update_leaves_old_or_new_files(t):
    # --update replaces files that differ; the sources alternate between two
    # versions, so every run replaces every file. Whenever a run is killed,
    # each destination is one complete version, never a part.
    linux_only(t, "killing the Wine launcher does not stop the Windows process")
    count = 24
    layout(t, ["core raw f%02d" % i for i in range(count)])
    versions = {}
    for name, fill in (("srcA", b"a"), ("srcB", b"bb")):
        for i in range(count):
            t.write("%s/f%02d" % (name, i), fill * (300 * 1024 + i))
        versions[name] = [fill * (300 * 1024 + i) for i in range(count)]

    t.eq(t.run("--update", "-d", "dest", "srcA").status, 0, "first install")
    # How long a run takes that replaces every file: the median of three, as
    # one run alone may be slowed or sped up by what else the machine does.
    durations = []
    for src in ("srcB", "srcA", "srcB"):
        start = time.time()
        spawn(t, "--update", "-d", "dest", src).wait()
        durations.append(time.time() - start)
    duration = sorted(durations)[1]
    rng = random.Random(11)
    kills = 0
    for attempt in range(kill_rounds()):
        kills += killed(t, rng.uniform(0, duration * 1.1),
                        "--update", "-d", "dest", "srcA" if attempt % 2 else "srcB")
        for i in range(count):
            data = t.read("dest/bin/f%02d" % i)
            t.check(data in (versions["srcA"][i], versions["srcB"][i]),
                    "attempt %d: f%02d is a complete version (%d bytes)" % (attempt, i, len(data)))
    t.check(kills > kill_rounds() // 4, "enough runs were killed (%d)" % kills)
    t.eq(t.run("--update", "-d", "dest", "srcB").status, 0, "a complete run after the kills")
    t.eq([t.read("dest/bin/f%02d" % i) for i in range(count)], versions["srcB"], "all replaced")
    # A temporary of a killed copy stays until that file is written again, as
    # after a killed first install; it never takes an installed name.
    t.eq([n for n in t.listdir("dest/bin") if "TMPZ" not in n], ["f%02d" % i for i in range(count)],
         "the installed names")
