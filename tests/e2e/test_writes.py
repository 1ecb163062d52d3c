# What the tool writes and where: temporaries that never write through a
# link or take another entry's name, the permissions of new files, temporary
# names longer than their final names, output names taken by a directory, a
# source that cannot be read, an empty destination and a destination that
# does not exist yet.
import os

import helpers
from helpers import line, linux_only, ok, run_process

TYPES = "file prog 0644 - - - win32=exe bin\ndir 0755 - - - - bin\n"


def layout(t, names, dest="dest"):
    helpers.layout(t, TYPES, ["core prog " + n for n in names],
                   {n + ".exe": "contents of %s\n" % n for n in names}, dest and dest + "/bin")


def run_with_umask(t, mask, *args):
    """A run of the Linux build under the given umask."""
    return run_process(t, *args, preexec_fn=lambda: os.umask(mask))


def mode(t, rel):
    return os.stat(t.path(rel)).st_mode & 0o777


def test_link_at_a_temporary_name_is_removed_not_written_through(t):
    layout(t, ["tool"])
    t.write("outside.txt", "outside the destination\n")
    os.symlink(t.path("outside.txt"), t.path("dest/bin/toolTMPZ.exe"))
    os.symlink(t.path("outside.txt"), t.path("dest/manifestTMPZ.txt"))
    os.symlink(t.path("nowhere"), t.path("dest/permTMPZ.core"))
    r = ok(t, t.run("-v", "-s", "-d", "dest", "src"), "run")
    t.eq(r.out, line("-", "D", 0o755, "dest/bin") + line("+", "F", 0o644, "dest/bin/tool.exe"),
         "listing")
    t.eq(t.read("outside.txt"), b"outside the destination\n", "the linked file is untouched")
    t.check(not t.exists("nowhere"), "nothing made where the dangling link pointed")
    t.eq(t.read("dest/bin/tool.exe"), b"contents of tool\n", "copy")
    for rel in ("dest/bin/tool.exe", "dest/manifest.txt", "dest/perm.core"):
        t.check(not os.path.islink(t.path(rel)), rel + " is a file of its own")
    t.eq(t.listdir("dest/bin"), ["tool.exe"], "the leftover link is gone")
    t.eq(t.listdir("dest"), ["bin", "manifest.lock", "manifest.txt", "perm.core"], "no temporary left")


def test_a_temporary_never_takes_another_entrys_name(t):
    layout(t, ["tool", "toolTMPZ"])
    ok(t, t.run("-v", "-d", "dest", "src"), "first run")
    t.write("dest/bin/toolTMPZ.exe", "edited by the user\n")
    os.remove(t.path("dest/bin/tool.exe"))
    r = ok(t, t.run("-v", "-d", "dest", "src"), "second run")
    t.eq(r.out, line("-", "D", 0o755, "dest/bin") + line("+", "F", 0o644, "dest/bin/tool.exe")
         + line("-", "F", 0o644, "dest/bin/toolTMPZ.exe"), "listing")
    t.eq(t.read("dest/bin/toolTMPZ.exe"), b"edited by the user\n", "the other entry's file kept")
    t.eq(t.read("dest/bin/tool.exe"), b"contents of tool\n", "copied under another temporary")
    t.eq(t.listdir("dest/bin"), ["tool.exe", "toolTMPZ.exe"], "no temporary left")


def test_a_directory_at_a_temporary_name_is_left_alone(t):
    layout(t, ["tool"])
    t.write("dest/bin/toolTMPZ.exe/inside", "x")
    t.write("dest/manifestTMPZ.txt/inside", "y")
    ok(t, t.run("-d", "dest", "src"), "run")
    t.eq(t.read("dest/bin/tool.exe"), b"contents of tool\n", "copy")
    t.eq(t.read("dest/bin/toolTMPZ.exe/inside"), b"x", "directory kept")
    t.eq(t.read("dest/manifestTMPZ.txt/inside"), b"y", "directory kept")
    t.eq(t.listdir("dest/bin"), ["tool.exe", "toolTMPZ.exe"], "no temporary left")
    t.eq(t.listdir("dest"), ["bin", "manifest.lock", "manifest.txt", "manifestTMPZ.txt"], "no temporary left")


def test_new_files_get_new_file_permissions(t):
    linux_only(t, "Windows files have no umask permission bits")
    layout(t, ["tool", "other"])
    t.write("dest/bin/toolTMPZ.exe", "leftover of a killed run")
    os.chmod(t.path("dest/bin/toolTMPZ.exe"), 0o600)
    t.write("dest/manifestTMPZ.txt", "leftover")
    os.chmod(t.path("dest/manifestTMPZ.txt"), 0o600)
    # (umask, files removed before the run, modes after it): a copy is made
    # as fopen would make it (0666 masked), the outputs 0644 masked.
    rounds = [(0o002, [], {"bin/tool.exe": 0o664, "manifest.txt": 0o644, "perm.core": 0o644}),
              (0o000, ["bin/tool.exe", "bin/other.exe", "manifest.txt", "perm.core"],
               {"bin/tool.exe": 0o666, "manifest.txt": 0o644}),
              (0o027, ["manifest.txt", "bin/tool.exe"],
               {"bin/tool.exe": 0o640, "manifest.txt": 0o640})]
    for mask, removed, modes in rounds:
        for rel in removed:
            os.remove(t.path("dest/" + rel))
        r = run_with_umask(t, mask, "-s", "-d", "dest", "src")
        t.eq((r.returncode, r.stderr), (0, b""), "run under umask %03o" % mask)
        t.eq({rel: mode(t, "dest/" + rel) for rel in modes}, modes, "modes under umask %03o" % mask)


def test_temporary_names_longer_than_their_final_names(t):
    linux_only(t, "Windows paths of more than 1024 characters are not opened here")
    # 1007 characters: "<dest>/manifest.txt" fits in 1023, its temporary does not;
    # "<dest>/perm.<pkg>" is exactly 1023. The file itself goes to an absolute
    # directory (below the working directory).
    dest = "/".join(["d" * 200] * 5) + "/dd"
    t.eq(len(dest), 1007, "destination length")
    pkg = "p" * (1023 - len(dest) - len("/perm."))
    t.write("types.txt", TYPES + "dir 0755 - - - - /abs\n")
    t.write("install.ins", "fileplacer types.txt\n%s prog /abs/tool\n" % pkg)
    t.write("src/tool.exe", "tool\n")
    t.mkdir(dest)
    ok(t, t.run("-s", "-d", dest, "src"), "run")
    t.eq(t.read("abs/tool.exe"), b"tool\n", "copy")
    t.eq(t.listdir(dest), ["bin", "manifest.lock", "manifest.txt", "perm." + pkg], "outputs written")


def test_directory_at_an_output_name(t):
    layout(t, ["tool"])
    t.write("dest/manifest.txt/inside", "x")
    r = t.run("-d", "dest", "src")
    # Reading it failed first (a warning); writing it ends the run.
    last = r.err.splitlines()[-1]
    prefix = "failed to create file 'dest/manifest.txt': "
    t.check(r.err.startswith("Failed to open manifest file 'dest/manifest.txt': "),
            "read warning: %r" % r.err)
    if t.wine:
        t.check(last.startswith(prefix), "message: %r" % r.err)
    else:
        t.eq(last, prefix + "Is a directory (21)", "message")
    t.eq(r.status, 1, "status")
    t.eq(t.read("dest/manifest.txt/inside"), b"x", "the directory is untouched")
    t.eq(t.listdir("dest"), ["bin", "manifest.lock", "manifest.txt"], "no temporary left")

    os.remove(t.path("dest/manifest.txt/inside"))
    os.rmdir(t.path("dest/manifest.txt"))
    t.write("dest/perm.core/inside", "x")
    r = t.run("-m", "-s", "-d", "dest", "src")
    prefix = "failed to create file 'dest/perm.core': "
    if t.wine:
        t.check(r.err.startswith(prefix) and r.err.count("\n") == 1, "message: %r" % r.err)
    else:
        t.eq(r.err, prefix + "Is a directory (21)\n", "message")
    t.eq(r.status, 1, "status")
    t.eq(t.read("dest/perm.core/inside"), b"x", "the directory is untouched")
    t.eq(t.listdir("dest"), ["bin", "manifest.lock", "perm.core"], "no temporary left")


def test_unreadable_source_is_reported_before_the_temporary(t):
    linux_only(t, "Windows does not open a directory as a source file")
    layout(t, ["f"], dest=None)
    os.remove(t.path("src/f.exe"))
    t.mkdir("src/f.exe")
    t.mkdir("dest")
    # The destination directory is a dangling link: no temporary can be made there.
    os.symlink(t.path("gone"), t.path("dest/bin"))
    r = t.run("-d", "dest", "src")
    t.eq((r.status, r.err), (1, "Error reading file 'src/f.exe': Is a directory (21)\n"),
         "the read error, not the creation error")


def test_empty_destination_is_the_working_directory(t):
    layout(t, ["tool"], dest=None)
    root = "/manifest.txt"
    before = os.stat(root).st_mtime_ns if os.path.lexists(root) else None
    r = ok(t, t.run("-v", "-s", "-d", "", "src"), "run")
    t.eq(r.out, line("+", "D", 0o755, "/bin") + line("+", "F", 0o644, "/bin/tool.exe"),
         "listing")
    t.eq(t.read("bin/tool.exe"), b"contents of tool\n", "copy below the working directory")
    t.check(t.exists("manifest.txt"), "manifest in the working directory")
    t.check(t.exists("perm.core"), "permission script in the working directory")
    after = os.stat(root).st_mtime_ns if os.path.lexists(root) else None
    t.eq(after, before, "nothing written at the root of the file system")
    r = ok(t, t.run("-v", "-d", "", "src"), "second run reads the manifest back")
    t.eq(r.out, line("-", "D", 0o755, "/bin") + line("-", "F", 0o644, "/bin/tool.exe"),
         "second listing")


def test_missing_destination_directory_is_made(t):
    layout(t, ["tool"], dest=None)
    ok(t, t.run("-v", "-n", "-d", "out", "src"), "no-action run")
    t.check(not t.exists("out"), "-n makes nothing")
    r = ok(t, t.run("-v", "-d", "out", "src"), "run")
    t.eq(r.out, line("+", "D", 0o755, "out/bin") + line("+", "F", 0o644, "out/bin/tool.exe"),
         "no line for the destination itself")
    t.eq(t.listdir("out"), ["bin", "manifest.lock", "manifest.txt"], "installed")
    ok(t, t.run("-m", "-d", "out2", "src"), "run without a manifest")
    t.eq(t.listdir("out2"), ["bin"], "made without a manifest (and so without a lock)")
    t.write("notadir", "a file")
    r = t.run("-d", "notadir/out", "src")
    t.eq(r.status, 1, "status when the parent is a file")
    t.check(r.err.splitlines()[-1].startswith("Can't create destination directory 'notadir/out': "),
            "message: %r" % r.err)
