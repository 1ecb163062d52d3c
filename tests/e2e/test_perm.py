"""Permission files: one "perm.<package>" script per package in package mode
(-p) and spec mode (-s), with the mkdir, chown, chgrp and chmod lines of the
package's directories and files.
"""

import os

from helpers import OLD, expect_text, layout, ok

TYPES = (
    "file shlib 0644 root $run - win32=so# lib\n"
    "file prog 0755 $run $bin - win32=exe bin\n"
    "file text 0640 staff users - - doc\n"
    "dir 0755 $bin $bin - - lib\n"
    "dir 0755 $bin $bin - - bin\n"
    "dir 0750 adm adm - - doc\n"
)


def _setup(t, lines, types=TYPES, sources=()):
    layout(t, types, lines, sources, "dest", OLD)
    t.mkdir("src")


def _dirrec(path, owner, group, mode):
    return "#\nmkdir %s\nchown %s %s\nchgrp %s %s\nchmod %s %s\n" % (
        path, owner, path, group, path, mode, path)


def _filerec(path, owner, group, mode):
    return "#\nchown %s %s\nchgrp %s %s\nchmod %s %s\n" % (owner, path, group, path, mode, path)


def _permfiles(t):
    return [n for n in t.listdir("dest") if n.startswith("perm")]


def test_versioned_library_in_its_directory(t):
    _setup(t, ["core shlib libx.1.2"], sources=("libx.so.1.2",))
    ok(t, t.run("-s", "-d", "dest", "src"))
    expect_text(t, "dest/perm.core",
                _dirrec("lib", "bin", "bin", "755")
                + _filerec("lib/libx.so.1.2", "root", "$RUNGROUP", "644"))
    t.eq(_permfiles(t), ["perm.core"], "permission files")
    t.eq(t.listdir("dest/lib"), ["libx.so.1.2"], "no version links in spec mode")


def test_packages_sharing_a_directory(t):
    _setup(t, ["extra text c", "core text b", "core text a", "- text d", "core prog tool"],
           sources=("a", "b", "c", "d", "tool.exe"))
    ok(t, t.run("-s", "-d", "dest", "src"))
    # Files in tree order: bin/tool, then doc/a, doc/b, doc/c, doc/d.
    expect_text(t, "dest/perm.core",
                _dirrec("bin", "bin", "bin", "755")
                + _filerec("bin/tool.exe", "$RUNOWNER", "bin", "755")
                + _dirrec("doc", "adm", "adm", "750")
                + _filerec("doc/a", "staff", "users", "640")
                + _filerec("doc/b", "staff", "users", "640"))
    expect_text(t, "dest/perm.extra",
                _dirrec("doc", "adm", "adm", "750")
                + _filerec("doc/c", "staff", "users", "640"))
    t.eq(_permfiles(t), ["perm.core", "perm.extra"], "one file per package, none for '-'")


def test_no_package_no_file(t):
    _setup(t, ["- text a", "- prog tool"], sources=("a", "tool.exe"))
    ok(t, t.run("-s", "-d", "dest", "src"))
    t.eq(_permfiles(t), [], "permission files")
    t.check(t.exists("dest/manifest.txt"), "manifest written")


def test_directory_entry_of_package(t):
    types = TYPES + "dir 0755 root root - - opt\ndir 0700 adm sys - core opt/data\n"
    _setup(t, ["- text a"], types=types, sources=("a",))
    ok(t, t.run("-s", "-d", "dest", "src"))
    expect_text(t, "dest/perm.core",
                _dirrec("opt", "root", "root", "755")
                + _dirrec("opt/data", "adm", "sys", "700"))


def test_absolute_entries(t):
    types = TYPES + "dir 0711 root sys - - /opt\n"
    _setup(t, ["core prog /opt/tool", "core text /rootfile"], types=types,
           sources=("tool.exe", "rootfile"))
    ok(t, t.run("-s", "-d", "dest", "src"))
    expect_text(t, "dest/perm.core",
                _dirrec("/opt", "root", "sys", "711")
                + _filerec("/opt/tool.exe", "$RUNOWNER", "bin", "755")
                + _filerec("/rootfile", "staff", "users", "640"))


def test_links_of_the_package(t):
    _setup(t, ["core prog tool",
               "core *symlink existing=tool.exe new=bin/t1",
               "core *symlink existing=tool.exe new=bin/t2",
               "core *hardlink existing=bin/tool.exe new=top"],
           sources=("tool.exe",))
    ok(t, t.run("-s", "-d", "dest", "src"),
       err="WARNING: Not adding symlink bin/t1 to package core\n"
           "WARNING: Not adding symlink bin/t2 to package core\n"
           "WARNING: Not adding symlink top to package core\n")
    expect_text(t, "dest/perm.core",
                _dirrec("bin", "bin", "bin", "755")
                + _filerec("bin/tool.exe", "$RUNOWNER", "bin", "755"))


def test_link_on_the_directory_chain(t):
    # Files below a link of the types file: the link gets no record and one
    # warning; the files below it are still listed.
    types = TYPES + "symlink existing=later new=bin/cur\n"
    _setup(t, ["core prog bin/cur/x", "core prog bin/cur/y", "core prog bin/z"], types=types,
           sources=("x.exe", "y.exe", "z.exe"))
    t.mkdir("dest/bin/cur")
    ok(t, t.run("-s", "-d", "dest", "src"),
       err="WARNING: Not adding symlink bin/cur to package core\n")
    expect_text(t, "dest/perm.core",
                _dirrec("bin", "bin", "bin", "755")
                + _filerec("bin/cur/x.exe", "$RUNOWNER", "bin", "755")
                + _filerec("bin/cur/y.exe", "$RUNOWNER", "bin", "755")
                + _filerec("bin/z.exe", "$RUNOWNER", "bin", "755"))


def _packages(t, count):
    names = ["f%02d" % i for i in range(count)]
    _setup(t, ["p%02d text %s" % (i, n) for i, n in enumerate(names)], sources=names)


def test_thirty_two_packages(t):
    _packages(t, 32)
    ok(t, t.run("-s", "-d", "dest", "src"))
    t.eq(_permfiles(t), ["perm.p%02d" % i for i in range(32)], "permission files")
    expect_text(t, "dest/perm.p31",
                _dirrec("doc", "adm", "adm", "750") + _filerec("doc/f31", "staff", "users", "640"))


def test_thirty_three_packages(t):
    _packages(t, 33)
    r = t.run("-s", "-d", "dest", "src")
    t.eq((r.status, r.err), (1, "Exceeded maximum package limit: 32, package 'p32'"),
         "status and stderr")
    t.eq(_permfiles(t), ["perm.p%02d" % i for i in range(32)], "the 32 files written stay")
    # The manifest takes its name after the permission files: a run that
    # failed on them leaves none, so the next run sees the change again.
    t.check(not t.exists("dest/manifest.txt"), "no manifest after the failed run")
    t.eq([n for n in t.listdir("dest") if "TMPZ" in n], [], "no temporary left")


def test_package_mode_and_second_runs(t):
    _setup(t, ["core prog tool"], sources=("tool.exe",))
    r = ok(t, t.run("-p", "-vv", "-d", "dest", "src"))
    t.check("generating chmod/chown files\ncreating permission file 'dest/perm.core'\n" in r.out,
            "stage and file announced")
    expected = _dirrec("bin", "bin", "bin", "755") + _filerec("bin/tool.exe", "$RUNOWNER",
                                                                "bin", "755")
    expect_text(t, "dest/perm.core", expected)
    t.check(t.exists("dest/core/bin/tool.exe"), "installed below the package directory")

    # Nothing changed: the script is not written again.
    os.utime(t.path("dest/perm.core"), (OLD, OLD))
    os.utime(t.path("dest/manifest.txt"), (OLD + 60, OLD + 60))
    ok(t, t.run("-p", "-d", "dest", "src"))
    t.eq(t.mtime("dest/perm.core"), OLD, "permission file not rewritten")

    # A change rewrites it whole; a temporary left by a killed run is replaced.
    t.write("dest/permTMPZ.core", "partial")
    t.write("install.ins", "fileplacer types.txt\ncore prog tool\ncore text a\n", mtime=OLD)
    t.write("src/a", "a")
    ok(t, t.run("-p", "-d", "dest", "src"))
    expect_text(t, "dest/perm.core", expected + _dirrec("doc", "adm", "adm", "750")
                + _filerec("doc/a", "staff", "users", "640"))
    t.eq(_permfiles(t), ["perm.core"], "no temporary file left")


def test_no_action_writes_nothing(t):
    _setup(t, ["core prog tool"], sources=("tool.exe",))
    r = ok(t, t.run("-s", "-n", "-vv", "-d", "dest", "src"))
    t.check("generating chmod/chown files\n" in r.out, "stage announced")
    t.eq(_permfiles(t), [], "permission files")


def test_unwritable_permission_file(t):
    # The second package's script cannot be created: the first stays complete
    # and nothing partial is left.
    _setup(t, ["core text a", "x/y text b"], sources=("a", "b"))
    r = t.run("-s", "-d", "dest", "src")
    t.eq(r.status, 1, "status")
    t.check(r.err.startswith("failed to create file 'dest/perm.x/y': "), "message: " + r.err)
    t.eq(_permfiles(t), ["perm.core"], "permission files")
    expect_text(t, "dest/perm.core",
                _dirrec("doc", "adm", "adm", "750") + _filerec("doc/a", "staff", "users", "640"))
