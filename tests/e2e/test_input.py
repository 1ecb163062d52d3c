# The input file and the destination trees: header and line errors, skipped
# lines, tree listings, placement errors, duplicates and merging with the
# previous manifest.
import os
import random
import re

import helpers
from helpers import age, failed, listing, ok, tree_line

TYPES = ("file tool 0755 - - - win32=exe bin\n"
         "file conf 0644 - - - - etc\n"
         "file unixonly 0644 - - unix - bin\n"
         "dir 0755 - - - core bin\n"
         "dir 0755 - - - core etc\n")
HEADER = "fileplacer types.txt\n"
NOFILE = "No such file or directory (2)"
OLD = 1000000000  # a types file older than any manifest written by a run


def layout(t, inp, types=TYPES, sources=("a.exe", "b.exe", "x.cfg")):
    helpers.layout(t, types, inp, sources, text="payload %s\n")
    age(t, "types.txt", OLD)


def fails(t, inp, err, *args, out="", types=TYPES):
    layout(t, inp, types)
    r = t.run(*(args + ("-d", "out", "src")))
    failed(t, r, err, repr(inp), out)
    return r


def invalid(n, text):
    return "Invalid input line in input file 'install.ins' line %d:\n %s\n" % (n, text)


# ---- the input file itself ----------------------------------------------------

def test_missing_default_input_file_ends_the_run_with_status_0(t):
    r = t.run("-d", "out", "src")
    t.eq((r.status, r.out, r.err), (0, "", ""), "quiet run")
    ok(t, t.run("-v", "-d", "out", "src"), "verbose run",
       "Couldn't read input file 'install.ins': %s\n" % NOFILE)


def test_input_file_named_by_i_must_be_readable(t):
    t.mkdir("adir.ins")
    # Windows reports a directory opened as a file as access denied.
    isdir = "Permission denied (13)" if t.wine else "Is a directory (21)"
    for args, name, why in [(["-i", "none.ins"], "none.ins", NOFILE),
                            (["-vinone.ins"], "none.ins", NOFILE),
                            (["-i", "install.ins"], "install.ins", NOFILE),
                            (["-i", "adir.ins"], "adir.ins", isdir)]:
        r = t.run(*args, "-d", "out", "src")
        failed(t, r, "Couldn't read input file '%s': %s\n" % (name, why), " ".join(args))


FORMAT = "Input file 'install.ins' not in expected format\n"
AT = " input file 'install.ins' line 2\n"

INPUT_ERRORS = [
    # (input file, message): the header...
    ("", FORMAT),
    ("fileplacer types.txt", FORMAT),
    ("Fileplacer types.txt\npkg tool a\n", FORMAT),
    ("\nfileplacer types.txt\n", FORMAT),
    (HEADER, invalid(0, "")),  # no line after the header
    (HEADER + "pkg tool a\npkg tool b",
     "Input file 'install.ins' ended in middle of line 3\n pkg tool b\n"),
    # ...directives and types...
    (HEADER + "pkg *Copy existing=a new=b\n", "Invalid file directive '*Copy'" + AT),
    (HEADER + "pkg *link existing=a new=b\n", "Invalid file directive '*link'" + AT),
    (HEADER + "pkg *copy new=a existing=b\n", "Expected existing= instead of 'new=a' in" + AT),
    (HEADER + "pkg *copy existing=a new=\n", "Expected target= instead of 'new=' in" + AT),
    (HEADER + "pkg *copy existing=a dst=b\n", "Expected target= instead of 'dst=b' in" + AT),
    (HEADER + "pkg Tool a\n", "Unknown file type 'Tool'" + AT),
    (HEADER + "pkg tool bin\\a\n", "Backslash character forbidden in path 'bin\\a'" + AT),
    (HEADER + "pkg *symlink existing=x new=a\\b\n",
     "Backslash character forbidden in path 'a\\b'" + AT),
    # ...each error gives its own line: the header, an empty line and a
    # comment count too...
    (HEADER + "\n# comment\n{linux}pkg tool a\npkg tool a\npkg nosuch b\n",
     "Unknown file type 'nosuch' input file 'install.ins' line 6\n"),
] + [
    # ...and invalid lines show where reading stopped.
    (HEADER + "# comment\n" + line + "\n", invalid(3, shown)) for line, shown in [
        (" pkg tool a", " pkg tool a"),
        ("\tpkg tool a", "\tpkg tool a"),
        ("{win32 pkg tool a", "{win32 pkg tool a"),
        ("{win32} pkg tool a", " pkg tool a"),
        ("{nosuch}pkg tool a", "pkg tool a"),
        ("{win32,}pkg tool a", "pkg tool a"),
        ("{*dir}pkg tool a", "pkg tool a"),
        ("pkg", ""),
        ("pkg *symlink", ""),
        ("pkg *symlink existing=x", ""),
    ]
]


def test_input_file_errors(t):
    for inp, err in INPUT_ERRORS:
        fails(t, inp, err)


def test_header_names_the_types_file_literally(t):
    layout(t, "fileplacertypes.txt\npkg tool a\n")
    ok(t, t.run("-d", "out", "src"), "name right after the tool name")
    t.check(t.exists("out/bin/a.exe"), "entry installed")
    # Trailing blanks belong to the name; Windows drops them when it opens
    # the file, a POSIX host does not.
    inp = "fileplacer \t types.txt  \npkg tool a\n"
    if t.wine:
        layout(t, inp)
        t.eq(t.run("-d", "out", "src").status, 0, "status with trailing blanks on Windows")
    else:
        fails(t, inp, "Couldn't read types file 'types.txt  ' error: %s\n" % NOFILE)


# ---- lines that do not apply ----------------------------------------------------

def test_skipped_lines_and_their_notices(t):
    inp = HEADER + ("{linux}pkg tool a\n"          # file line 2
                    "{!win32}pkg tool a\n"        # 3
                    "pkg unixonly a\n"            # 4: silently, even at -vv
                    "{!linux}pkg tool a\n"        # 5: taken
                    "{substitute}pkg conf x.cfg\n")  # 6: no platform named: taken
    layout(t, inp)
    r = ok(t, t.run("-vv", "-d", "out", "src"), "run")
    t.check("platform check: skipping linenum 2\nplatform check: skipping linenum 3\n"
            "Destination Directory Tree:\n" in r.out, "platform notices at -vv: %r" % r.out)
    t.check("linenum 4" not in r.out, "type of other platforms skipped silently")
    t.eq(sorted(t.listdir("out/bin")), ["a.exe"], "installed")
    t.check(t.exists("out/etc/x.cfg"), "line without a platform name taken")
    r = t.run("-d", "out", "src")
    t.eq(r.out, "", "no notice without -vv")


def test_patch_mode_and_package_list(t):
    inp = HEADER + ("pkg tool a\n"
                    "{linux,patch}pkg tool a\n"
                    "{patch}pkg tool b\n"
                    "other conf x.cfg\n"
                    "{patch}other conf   x.cfg\n")
    layout(t, inp)
    r = ok(t, t.run("-vv", "-l", "pkg:core", "-d", "out", "src"), "package list run")
    t.check("skipping entry not in package list:\n   package=other, linenum=5, entry=conf x.cfg\n"
            "skipping entry not in package list:\n   package=other, linenum=6, "
            "entry=conf   x.cfg\n" in r.out, "package list notices: %r" % r.out)
    t.check(not t.exists("out/etc/x.cfg"), "package not in the list skipped")
    t.eq(t.listdir("out/bin"), ["a.exe", "b.exe"], "listed package installed")

    t.mkdir("out2")
    r = ok(t, t.run("-vv", "-P", "-d", "out2", "src"), "patch run")
    t.check("patch check: skipping linenum 2\nplatform check: skipping linenum 3\n"
            "patch check: skipping linenum 5\n" in r.out, "patch notices: %r" % r.out)
    t.eq(t.listdir("out2/bin"), ["b.exe"], "only patch lines installed")


# ---- trees ----------------------------------------------------------------------

def root_dirs(t, base):
    """dir lines of the types file for every component of base (absolute)."""
    parts = base.strip("/").split("/")
    lines = ["dir 0755 - - - core /" + "/".join(parts[:i + 1]) + "\n" for i in range(len(parts))]
    return "".join(lines), parts


def test_tree_listings_and_merging_on_the_next_run(t):
    # The absolute entry lies in the scenario's directory, wherever the walk
    # puts it the run writes nothing outside.
    root, parts = root_dirs(t, t.dir)
    types = TYPES + root + "symlink existing=bin new=lnk\n"
    inp = HEADER + ("pkg tool bin/b\n"
                    "pkg tool ./BIN//a\n"
                    "pkg conf etc/x.cfg\n"
                    "tools conf %s/x.cfg\n"
                    "pkg *hardlink existing=etc/x.cfg new=etc/hl\n") % t.dir
    layout(t, inp, types)
    r = ok(t, t.run("-vv", "-d", "out", "src"), "first run")
    t.eq(listing(t, r),
         [tree_line(0, "bin", "dir", "core"), tree_line(1, "a.exe", "tool", "pkg"),
          tree_line(1, "b.exe", "tool", "pkg"), tree_line(0, "etc", "dir", "core"),
          tree_line(1, "hl", "*hardlink", "pkg", "etc/x.cfg"),
          tree_line(1, "x.cfg", "conf", "pkg"), tree_line(0, "lnk", "*symlink", "-", "bin")],
         "directory tree")
    want = [tree_line(i, p, "dir", "core") for i, p in enumerate(parts)]
    want.append(tree_line(len(parts), "x.cfg", "conf", "tools"))
    t.eq(listing(t, r, "Destination Root Tree:"), want, "root tree")
    t.check("generating manifest file\n" in r.out, "first run writes the manifest")

    r = ok(t, t.run("-vv", "-d", "out", "src"), "second run")
    t.check("generating manifest file\n" not in r.out,
            "every entry, the types-file link and the absolute one merged: %r" % r.out)

    t.write("types.txt", types.replace("existing=bin", "existing=etc"), mtime=OLD)
    r = ok(t, t.run("-vv", "-d", "out", "src"), "run with a changed link")
    t.check("generating manifest file\n" in r.out, "changed link rewrites the manifest")
    t.check("exi=etc\n" in t.readtext("out/manifest.txt"), "types file's value recorded")


def test_changes_against_the_manifest(t):
    layout(t, HEADER + "pkg tool bin/a\n")
    t.eq(t.run("-d", "out", "src").status, 0, "first run")
    first = t.readtext("out/manifest.txt")
    layout(t, HEADER + "other tool bin/a\n")
    r = t.run("-vv", "-d", "out", "src")
    t.check("generating manifest file\n" in r.out, "package change noticed")
    t.check("pkg=other\n" in t.readtext("out/manifest.txt"), "new package recorded")
    # The same entry recorded by a run from another working directory.
    t.write("out/manifest.txt", first.replace("bas=", "bas=/elsewhere"))
    fails(t, HEADER + "pkg tool bin/a\n", "duplicate file 'a.exe' found\n")


def test_duplicates(t):
    fails(t, HEADER + "pkg tool bin/a\npkg tool BIN/A\n", "duplicate file 'A.exe' found\n")
    fails(t, HEADER + "pkg conf etc/x\nx conf ./etc/X\n", "duplicate file 'X' found\n")
    layout(t, HEADER + "pkg tool bin/a\npkg conf bin/a\n")  # a.exe and a differ
    t.write("src/a", "plain\n")
    ok(t, t.run("-d", "out", "src"), "same name, other suffix")


def test_placement_errors(t):
    fails(t, HEADER + "pkg tool bin/../a\n", "Invalid '../' component in path 'bin/../a'\n")
    fails(t, HEADER + "pkg tool bin/...x/a\n",
          "Missing directory node 'bin/...x' in file 'types.txt'\n"
          "Error occurred in path 'bin/...x/a' input file 'install.ins'\n")
    fails(t, HEADER + "pkg tool /nowhere/a\n",
          "Missing directory node '/nowhere' in file 'types.txt'\n"
          "Error occurred in path '/nowhere/a' input file 'install.ins'\n")
    layout(t, HEADER + "pkg tool bin/a\n")
    t.write("out/manifest.txt", "nam=old\ndst=gone/deeper\npkg=pkg\n")
    fails(t, HEADER + "pkg tool bin/a\n",
          "Missing directory node 'gone' in file 'types.txt'\n"
          "This error can occur if a directory name was changed in the install.\n"
          "Try removing 'out/manifest.txt' if you believe this is the case.\n")


def test_type_conflict_lists_the_tree_being_walked(t):
    fails(t, HEADER + "pkg conf bin/f\npkg tool bin/F/x\n",
          "Type conflict error: file 'bin/F/x' component 'F' is not a directory.\n"
          "current tree follows:\n",
          out="\n".join([tree_line(0, "bin", "dir", "core"), tree_line(1, "f", "conf", "pkg"),
                         tree_line(0, "etc", "dir", "core")]) + "\n")
    fails(t, HEADER + "pkg conf /opt/f\npkg tool /opt/f/x\n",
          "Type conflict error: file 'opt/f/x' component 'f' is not a directory.\n"
          "current tree follows:\n",
          out=tree_line(0, "opt", "dir", "core") + "\n" + tree_line(1, "f", "conf", "pkg") + "\n",
          types=TYPES + "dir 0755 - - - core /opt\n")


def test_large_directory_is_listed_in_tree_order(t):
    rng = random.Random(5)
    seen = {}
    while len(seen) < 3000:
        name = "".join(rng.choice("aAbB_-z9") for _ in range(rng.randint(1, 6)))
        suffix = rng.choice(["exe", ""])
        seen.setdefault((name.lower(), suffix), (name, suffix))
    entries = list(seen.values())
    lines = ["pkg %s bin/%s\n" % ("tool" if s else "plain", n) for n, s in entries]
    names = [n + ("." + s if s else "") for n, s in entries]
    layout(t, HEADER + "".join(lines), TYPES + "file plain 0644 - - - - bin\n", sources=names)
    r = ok(t, t.run("-vv", "-d", "out", "src"), "run")
    got = [l.split()[0] for l in listing(t, r) if l.startswith("  ")]
    # ASCII letters folded to lower case, bytes by value, shorter name first,
    # then the suffix.
    want = [n + ("." + s if s else "") for n, s in
            sorted(entries, key=lambda e: (e[0].lower().encode(), e[1]))]
    t.eq(got, want, "order of 3000 entries")


def test_input_file_too_large_for_memory_gives_its_whole_size(t):
    # A sparse file larger than any address space: the size is printed whole
    # on both builds, never cut to 32 bits.
    size = 15 * 2**40 + 12345
    with open(t.path("install.ins"), "wb") as f:
        f.truncate(size)
    # The sanitizer build ends the run at an allocation this large unless told
    # to fail it as the C library would; it then still warns about it.
    options = [o for o in (os.environ.get("ASAN_OPTIONS"), "allocator_may_return_null=1") if o]
    r = t.run("-d", "out", "src", env={"ASAN_OPTIONS": ":".join(options)})
    err = re.sub(r"^==\d+==WARNING: AddressSanitizer failed to allocate 0x[0-9a-f]+ bytes\n", "",
                 r.err)
    t.eq((r.status, r.out, err),
         (1, "", "Out of memory reading file 'install.ins' (%d)\n" % size), "run")
