"""Keeping a destination in step: the fingerprints of manifest.sums, --update,
--verify, --prune and --uninstall, and how they combine with other options.
"""

import os
import shutil

from helpers import (KEPT, MANIFEST, OLD, PROJECT_LINES, PROJECT_SOURCES, PROJECT_TYPES, SUMS,
                     failed, inputs, line, ok, project, records, run, snapshot, sums)

HERE = os.path.dirname(os.path.abspath(__file__))


def dry_then_real(t, *args):
    """Runs args with -n, then without: the same output and status, and the
    -n run removes and writes nothing. Returns the real run."""
    before = snapshot(t)
    dry = run(t, "-n", *args)
    t.eq(snapshot(t), before, "-n removes and writes nothing")
    real = run(t, *args)
    t.eq((dry.status, dry.err), (real.status, real.err), "-n: the same status and warnings")
    removals = [[l for l in r.out.splitlines() if l.startswith("x")] for r in (dry, real)]
    t.eq(removals[0], removals[1], "-n: the same removals")
    return real

# ---- --verify -----------------------------------------------------------------

def test_verify_reports_every_kind_in_tree_order(t):
    project(t, PROJECT_LINES + ["core doc notes", "core doc old"], install=["--update"])
    os.remove(t.path("dest/bin/tool.exe"))                      # missing
    t.write("dest/doc/readme", "edited here\n")                 # modified
    t.write("types.txt", PROJECT_TYPES.replace("who=World", "who=Moon"), mtime=OLD)  # outdated
    inputs(t, PROJECT_LINES + ["core doc notes", "core exe extra"])     # old unlisted, extra new
    before = snapshot(t)
    r = run(t, "--verify")
    t.eq(r.err, "", "stderr")
    t.eq(r.out, "new dest/bin/extra.exe\nmissing dest/bin/tool.exe\nunlisted dest/doc/old\n"
                "modified dest/doc/readme\noutdated dest/etc/app.cfg\n6 checked, 5 differ\n",
         "report")
    t.eq(r.status, 2, "status with differences")
    r = run(t, "--verify", "-v")
    t.check("ok dest/doc/notes\nunlisted dest/doc/old\n" in r.out, "-v lists files in step too")
    t.eq(snapshot(t), before, "nothing written")

    # In step again: the changes are undone one by one.
    inputs(t, PROJECT_LINES + ["core doc notes", "core doc old"])
    t.write("types.txt", PROJECT_TYPES, mtime=OLD)
    shutil.copy(t.path("src/tool.exe"), t.path("dest/bin/tool.exe"))
    t.write("dest/doc/readme", PROJECT_SOURCES["readme"])
    r = run(t, "--verify")
    t.eq((r.status, r.out), (0, "5 checked, 0 differ\n"), "report in step")


def test_verify_without_fingerprints_compares_with_what_would_be_installed(t):
    project(t, install=[])
    t.check(not t.exists(SUMS), "a plain run creates no fingerprints")
    t.write("src/tool.exe", "tool 2\n")
    t.write("dest/doc/readme", "edited here\n")
    r = run(t, "--verify")
    t.eq((r.status, r.out), (2, "outdated dest/bin/tool.exe\noutdated dest/doc/readme\n"
                                "3 checked, 2 differ\n"), "report")
    t.check(not t.exists(SUMS), "--verify creates no fingerprints")


def test_verify_makes_no_directory(t):
    project(t)
    r = run(t, "--verify", "-p")
    t.eq((r.status, r.out), (2, "new dest/core/bin/tool.exe\nnew dest/core/doc/readme\n"
                                "new dest/core/etc/app.cfg\n3 checked, 3 differ\n"), "report")
    t.check(not t.exists("dest"), "neither the destination nor a package directory is made")


# ---- --update -----------------------------------------------------------------

def test_update_replaces_a_changed_file(t):
    project(t, install=[])
    manifest = (t.read(MANIFEST), os.stat(t.path(MANIFEST)).st_mtime_ns)
    t.write("src/tool.exe", "tool 2, longer\n")
    listing = [line("-", "D", 0o755, "dest/bin", "", ""), line("*", "F", 0o755, "dest/bin/tool.exe", "", ""),
               line("-", "D", 0o755, "dest/doc"), line("-", "F", 0o644, "dest/doc/readme"),
               line("-", "D", 0o750, "dest/etc", "", ""), line("-", "F", 0o640, "dest/etc/app.cfg", "", "")]
    r = ok(t, run(t, "--update", "-v", "-n"), "-n")
    t.eq(r.out, "".join(" " + l[1:] if l[1] == "D" else l for l in listing),
         "-n lists the replacement")
    t.eq(t.read("dest/bin/tool.exe"), b"tool 1\n", "-n replaces nothing")
    t.check(not t.exists(SUMS), "-n writes no fingerprints")
    r = ok(t, run(t, "--update", "-v"), "update")
    t.eq(r.out, "".join(listing), "listing")
    t.eq(t.read("dest/bin/tool.exe"), b"tool 2, longer\n", "replaced")
    t.eq((t.read(MANIFEST), os.stat(t.path(MANIFEST)).st_mtime_ns), manifest,
         "manifest.txt not rewritten")
    prints = sums(t)
    t.eq(sorted(prints), ["bin/tool.exe", "doc/readme", "etc/app.cfg"], "every file fingerprinted")
    t.eq(prints["bin/tool.exe"][1], "15", "size of the new content")
    t.eq(prints["etc/app.cfg"][5], "cfg|etc|app|cfg", "record identity")
    r = ok(t, run(t, "--update", "-v"), "second update")
    t.check("*F" not in r.out, "nothing to replace any more")


def test_update_in_spec_mode_rewrites_the_permission_script(t):
    project(t, install=["-s"])
    os.utime(t.path("dest/perm.core"), (OLD, OLD))
    os.utime(t.path(MANIFEST), (OLD, OLD))
    ok(t, run(t, "-s", "--update"), "update with nothing to replace")
    t.eq(t.mtime("dest/perm.core"), OLD, "script left alone")
    t.write("src/readme", "read me again\n")
    ok(t, run(t, "-s", "--update"), "update")
    t.eq(t.read("dest/doc/readme"), b"read me again\n", "replaced")
    t.check(t.mtime("dest/perm.core") > OLD, "script rewritten")
    t.eq(t.mtime(MANIFEST), OLD, "manifest.txt not rewritten")


def test_update_substituted_file_follows_its_keys(t):
    project(t, install=["--update"])
    t.write("types.txt", PROJECT_TYPES.replace("who=World", "who=Moon"), mtime=OLD)
    r = ok(t, run(t, "--update", "-v"), "update")
    t.check(line("*", "F", 0o640, "dest/etc/app.cfg", "", "") in r.out, "listed: %r" % r.out)
    t.eq(t.read("dest/etc/app.cfg"), b"hello Moon\n", "expanded with the new key")
    ok(t, run(t, "--update", "-Dwho=Sun"), "update with a -D key")
    t.eq(t.read("dest/etc/app.cfg"), b"hello Moon\n", "the types file's key wins over -D")
    t.write("types.txt", PROJECT_TYPES.replace("set who=World\n", ""), mtime=OLD)
    ok(t, run(t, "--update", "-Dwho=Sun"), "update with the key from -D only")
    t.eq(t.read("dest/etc/app.cfg"), b"hello Sun\n", "expanded with -D")


def test_update_leaves_a_touched_file_and_refreshes_its_fingerprint(t):
    project(t, install=["--update"])
    first = sums(t)["doc/readme"]
    os.utime(t.path("dest/doc/readme"), (OLD, OLD))
    os.utime(t.path("src/readme"), (OLD + 5, OLD + 5))
    r = ok(t, run(t, "--update", "-v"), "update")
    t.check(line("-", "F", 0o644, "dest/doc/readme") in r.out, "left alone: %r" % r.out)
    now = sums(t)["doc/readme"]
    t.eq((now[0], now[1], now[3]), (first[0], first[1], first[3]), "same content")
    t.eq((int(now[2]) // 10 ** 9, int(now[4]) // 10 ** 9), (OLD, OLD + 5), "times refreshed")


def journaled_twice(t, cut):
    """dest as two killed runs since the last complete one leave it: the
    journal holds version 1 of tool.exe, then (after a line cut by a kill,
    when cut) version 2, which the file holds; manifest.sums says version 1."""
    shutil.rmtree(t.path("dest"), ignore_errors=True)
    t.write("src/tool.exe", PROJECT_SOURCES["tool.exe"])
    ok(t, run(t, "--update"), "install version 1")
    first = t.readtext(SUMS)
    t.write("src/tool.exe", "tool 2, longer\n")
    ok(t, run(t, "--update"), "update to version 2")
    second = t.readtext(SUMS).split("\n", 1)[1]
    cutline = first.split("\n", 1)[1][:40] + "\n" if cut else ""
    t.write("dest/manifest.journal", first + cutline + second)
    t.write(SUMS, first)


def test_every_copy_a_killed_run_journaled_is_the_tools_own(t):
    project(t)
    # (options of a run before, options, source of tool.exe, what then holds
    # dest/bin/tool.exe). A run of another package's files writes
    # manifest.sums without looking at tool.exe: the journal keeps telling it.
    cases = [(None, ["--verify"], "tool 2, longer\n", b"tool 2, longer\n"),
             (None, ["--update"], "tool 1\n", b"tool 1\n"),
             (["--update", "-l", "other"], ["--update"], "tool 1\n", b"tool 1\n"),
             (None, ["--uninstall"], "tool 2, longer\n", None)]
    for cut in (False, True):
        for before, options, source, holds in cases:
            what = "%s%s%s" % (" ".join(before) + ", then " if before else "", " ".join(options),
                               " past a cut line" if cut else "")
            journaled_twice(t, cut)
            if before:
                ok(t, run(t, *before), what + ": the run before")
            t.write("src/tool.exe", source)
            ok(t, run(t, *options), what)
            t.eq(t.read("dest/bin/tool.exe") if t.exists("dest/bin/tool.exe") else None, holds,
                 what + ": tool.exe")
            t.check(not t.exists("dest/bin/tool.exe.new"), what + ": nothing written beside")


def test_plain_runs_keep_existing_fingerprints_current(t):
    project(t, install=["--update"])
    os.remove(t.path("dest/bin/tool.exe"))
    t.write("src/tool.exe", "tool 3 again\n")
    ok(t, run(t), "plain run")
    t.eq(sums(t)["bin/tool.exe"][1], "13", "the copy is recorded")
    before = snapshot(t, "dest")
    ok(t, run(t), "plain run with nothing to do")
    t.eq(snapshot(t, "dest"), before, "nothing rewritten")


def test_damaged_fingerprints_are_reported_once_and_ignored(t):
    project(t, install=[])
    warning = "WARNING: 'dest/manifest.sums' is damaged (line 2); fingerprints ignored\n"
    t.write(SUMS, "fileplacer-sums 1\nnot a fingerprint\n")
    ok(t, run(t), "a plain run warns once", warning)
    t.eq(t.read(SUMS), b"fileplacer-sums 1\nnot a fingerprint\n",
         "and leaves the file as it is: it counts as absent")
    t.write("dest/doc/readme", "edited\n")
    r = run(t, "--verify")
    t.eq((r.status, r.err, r.out), (2, warning, "outdated dest/doc/readme\n3 checked, 1 differ\n"),
         "--verify compares with the sources")
    ok(t, run(t, "--update"), "--update warns once", warning)
    t.eq(t.read("dest/doc/readme"), b"read me\n", "the bytes decided")
    t.eq(sorted(sums(t)), ["bin/tool.exe", "doc/readme", "etc/app.cfg"], "rewritten whole")
    ok(t, run(t), "no warning any more")


def test_fingerprint_paths_with_blanks_and_absolute_entries(t):
    project(t, ["core doc my notes", "core doc /opt/abs"],
            types=PROJECT_TYPES + "dir 0755 - - - - /opt\n")
    t.write("src/my notes", "blank\n")
    t.write("src/abs", "absolute\n")
    ok(t, run(t, "--update"), "install")
    prints = sums(t)
    t.eq(sorted(prints), ["/opt/abs", "doc/my notes"], "paths, the absolute one with '/'")
    t.eq((prints["doc/my notes"][5], prints["/opt/abs"][5]), ("doc|doc|my%20notes", "doc|/opt|abs"),
         "record identities")
    t.eq(prints["/opt/abs"][1], "9", "size")
    r = run(t, "--verify")
    t.eq((r.status, r.out), (0, "2 checked, 0 differ\n"), "verified through the fingerprints")


def test_options_that_cannot_be_combined(t):
    project(t)
    for first, second in (("--verify", "--update"), ("--verify", "--prune"),
                          ("--verify", "--uninstall"), ("--uninstall", "--update"),
                          ("--uninstall", "--prune"), ("--prune", "-m"), ("--uninstall", "-m")):
        for args in ((first, second), (second, first)):
            r = run(t, *args)
            t.eq((r.status, r.out, r.err),
                 (1, "", "Options %s and %s cannot be used together\n" % (first, second)),
                 " ".join(args))
    t.check(not t.exists("dest"), "nothing done")
    ok(t, run(t, "--update", "--prune", "-n"), "--update with --prune")
    ok(t, run(t, "--update", "-m"), "--update with -m")
    t.eq(t.listdir("dest"), ["bin", "doc", "etc"], "-m: no manifest, no fingerprints")


# ---- --prune ------------------------------------------------------------------

def test_prune_removes_a_dropped_file(t):
    project(t, install=["--update"])
    inputs(t, ["core exe tool", "core cfg app"])
    before = snapshot(t)
    r = ok(t, run(t, "--prune", "-v", "-n"), "-n")
    t.check(r.out.endswith(line("x", "F", 0o644, "dest/doc/readme")), "-n lists: %r" % r.out)
    t.eq(snapshot(t), before, "-n removes and writes nothing")
    r = ok(t, run(t, "--prune", "-v"), "prune")
    t.check(r.out.endswith(line("x", "F", 0o644, "dest/doc/readme")), "listing: %r" % r.out)
    t.eq(t.listdir("dest/doc"), [], "removed; the declared directory stays")
    t.eq(records(t), ["tool", "app"], "record removed")
    t.eq(sorted(sums(t)), ["bin/tool.exe", "etc/app.cfg"], "fingerprint removed")
    r = run(t, "--prune", "-v")
    t.check("x" not in r.out[:1] and "xF" not in r.out, "nothing more to remove")


def test_prune_keeps_a_file_changed_since_it_was_installed(t):
    project(t, install=["--update"])
    t.write("dest/doc/readme", "my own notes\n")
    inputs(t, ["core exe tool", "core cfg app"])
    for args in (("--prune", "-n"), ("--prune",), ("--prune",)):
        r = run(t, *args)
        t.eq((r.status, r.err), (2, KEPT % "dest/doc/readme"), " ".join(args))
    t.eq(t.read("dest/doc/readme"), b"my own notes\n", "kept")
    t.eq(records(t), ["tool", "readme", "app"], "its record stays")


def test_prune_without_fingerprints_compares_with_the_recorded_source(t):
    project(t, install=[])
    t.write("src/tool.exe", "tool 2\n")
    inputs(t, ["core exe other"])
    t.write("src/other.exe", "other\n")
    r = dry_then_real(t, "--prune", "-v")
    t.eq((r.status, r.err), (2, KEPT % "dest/bin/tool.exe"), "a file was kept")
    t.check(line("x", "F", 0o644, "dest/doc/readme") in r.out, "same as its source: removed")
    t.check(line("x", "F", 0o640, "dest/etc/app.cfg", "", "") in r.out,
            "same as its expansion: removed")
    t.eq((t.listdir("dest/bin"), t.listdir("dest/doc"), t.listdir("dest/etc")),
         (["other.exe", "tool.exe"], [], []), "what stays")
    t.eq(records(t), ["other", "tool"], "records")


def test_prune_a_dropped_directory_chain(t):
    types = PROJECT_TYPES + ("dir 0755 - - - - opt\ndir 0755 - - - - opt/sub\n"
                             "file gone 0644 - - - - doc\n")
    project(t, PROJECT_LINES + ["core doc opt/sub/notes", "core gone old"], types=types,
            install=["--update"])
    t.write("types.txt", PROJECT_TYPES, mtime=OLD)       # no opt, no opt/sub, no type gone
    inputs(t, PROJECT_LINES)
    r = run(t)
    t.eq((r.status, r.err.split(" ")[:2]), (1, ["Unknown", "file"]), "a plain run fails")
    r = run(t, "--verify")
    t.eq((r.status, r.out), (2, "unlisted dest/doc/old\nunlisted dest/opt/sub/notes\n"
                                "5 checked, 2 differ\n"), "--verify reports them")
    r = dry_then_real(t, "--prune", "-v")
    ok(t, r, "prune")
    t.check(r.out.endswith(line("x", "F", 0, "dest/doc/old")
                           + line("x", "F", 0o644, "dest/opt/sub/notes")
                           + line("x", "D", 0, "dest/opt/sub") + line("x", "D", 0, "dest/opt")),
            "listing: %r" % r.out)
    t.eq(t.listdir("dest"), ["bin", "doc", "etc", "manifest.lock", "manifest.sums", "manifest.txt"], "chain gone")
    t.eq(records(t), ["tool", "readme", "app"], "records")
    ok(t, run(t), "a plain run works again")


# ---- --uninstall --------------------------------------------------------------

def copy_examples(t):
    shutil.copytree(os.path.join(HERE, "..", "..", "examples"), t.path("ex"))
    return ["-d", "out", "-i", "ex/install.ins", "ex/src", "ex/src2"]


def test_uninstall_the_example_leaves_an_empty_destination(t):
    args = copy_examples(t)
    ok(t, t.run(*args), "install")
    files = ["out/bin/hello.exe", "out/doc/guide/usage", "out/doc/README", "out/etc/demo.ini",
             "out/lib/libdemo.dll.1.2"]
    modes = [0o755, 0o644, 0o644, 0o644, 0o755]
    dirs = ["out/doc/guide", "out/bin", "out/doc", "out/etc", "out/lib"]
    expected = ("".join(line("x", "F", m, p, "", "") for m, p in zip(modes, files))
                + "".join(line("x", "D", 0o755, p, "", "") for p in dirs))
    before = snapshot(t, "out")
    r = ok(t, t.run("--uninstall", "-n", "-v", *args), "-n")
    t.eq(r.out, expected, "-n listing")
    t.eq(snapshot(t, "out"), before, "-n removes nothing")
    r = ok(t, t.run("--uninstall", "-v", *args), "uninstall")
    t.eq(r.out, expected, "listing")
    t.eq(t.listdir("out"), [], "empty destination")


def test_uninstall_keeps_changed_and_foreign_files(t):
    project(t, install=["-s"])
    t.check(t.exists("dest/perm.core"), "permission script")
    t.write("dest/bin/tool.exe", "patched\n")
    t.write("dest/doc/mine.txt", "not installed by the tool\n")
    r = run(t, "--uninstall", "-s", "-v")
    t.eq((r.status, r.err), (2, KEPT % "dest/bin/tool.exe"), "status and warning")
    t.eq(r.out, line("x", "F", 0o644, "dest/doc/readme")
         + line("x", "F", 0o640, "dest/etc/app.cfg", "", "")
         + line("x", "D", 0o750, "dest/etc", "", ""), "listing")
    t.eq(t.listdir("dest"), ["bin", "doc", "manifest.lock", "manifest.sums", "manifest.txt"],
         "what stays: no permission script")
    t.eq(t.listdir("dest/doc"), ["mine.txt"], "the foreign file and its directory")
    t.eq(records(t), ["tool"], "the kept file keeps its record")
    t.write("dest/bin/tool.exe", PROJECT_SOURCES["tool.exe"])
    ok(t, run(t, "--uninstall", "-s"), "uninstall once the file is restored")
    t.eq(t.listdir("dest"), ["doc"], "only the foreign file's directory stays")


def test_uninstall_in_package_mode(t):
    project(t, ["core exe tool", "docs doc readme"], install=["-p", "--update"])
    t.eq(t.listdir("dest"), ["core", "docs", "manifest.lock", "manifest.sums", "manifest.txt", "perm.core",
                             "perm.docs"], "installed")
    inputs(t, ["core exe tool"])
    r = ok(t, run(t, "-p", "--prune", "-v"), "prune")
    t.check(line("x", "F", 0o644, "dest/docs/doc/readme") in r.out, "listing: %r" % r.out)
    t.eq(t.listdir("dest"), ["core", "docs", "manifest.lock", "manifest.sums", "manifest.txt", "perm.core"],
         "the script of the pruned package goes; its declared directory stays")
    ok(t, run(t, "-p", "--uninstall"), "uninstall")
    t.eq(t.listdir("dest"), ["docs"], "package directories emptied of files go")


# ---- never outside the destination ------------------------------------------------

def refused(t, args, message):
    before = snapshot(t)
    r = run(t, *args)
    failed(t, r, message, " ".join(args))
    t.eq(snapshot(t), before, "nothing removed or written")


def test_records_outside_the_destination_are_refused(t):
    project(t, PROJECT_LINES + ["core doc /opt/abs"],
            types=PROJECT_TYPES + "dir 0755 - - - - /opt\n")
    t.write("src/abs", "absolute\n")
    ok(t, run(t, "--update"), "install")
    inputs(t, PROJECT_LINES)
    message = ("Refused to remove '/opt/abs': the record is absolute, outside the "
               "destination\n")
    refused(t, ["--prune"], message)
    refused(t, ["--uninstall", "-n"], message)

    # A hand-made record whose directory climbs out of the destination.
    shutil.rmtree(t.path("dest"))
    project(t, install=["--update"])
    t.write("victim", "read me\n")
    text = t.readtext(MANIFEST).replace("nam=readme\ndst=doc", "nam=victim\ndst=doc/../..")
    t.write(MANIFEST, text.replace("\n", "\r\n") if t.wine else text)
    refused(t, ["--uninstall"], "Unsafe dst='doc/../..' in manifest file 'dest/manifest.txt' "
                                "line 14: '..' leads out of the destination\n")


def test_a_link_on_the_path_is_refused(t):
    project(t, install=["--update"])
    os.rename(t.path("dest/doc"), t.path("elsewhere"))
    os.symlink(t.path("elsewhere"), t.path("dest/doc"))
    refused(t, ["--uninstall"], "Refused to remove 'dest/doc/readme': a link stands in its path "
                                "at 'dest/doc'\n")
    t.eq(t.read("elsewhere/readme"), b"read me\n", "the file behind the link stays")
