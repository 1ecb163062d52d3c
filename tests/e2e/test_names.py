# Names and texts as a Windows user has them: UTF-8 names beyond any legacy
# code page, text files saved with a byte-order mark, names Windows forbids
# and paths past the classic length limit.

from helpers import entries, failed, layout, ok, windows_only

BOM8 = b"\xef\xbb\xbf"
BASE = "file txt 0644 - - - - bin\ndir 0755 - - - - bin\n"
TYPES = "readconfig settings.txt\n" + BASE
INPUT = "fileplacer types.txt\n- txt a.txt\n"


def bomlayout(t, marked, mark):
    """Input, types and settings files, the one named marked with mark in front."""
    files = {"install.ins": INPUT, "types.txt": TYPES, "settings.txt": "set k=v\n"}
    for name, text in files.items():
        t.write(name, (mark if name == marked else b"") + text.encode())
    t.write("src/a.txt", "a\n")
    t.mkdir("out")


def test_utf8_byte_order_mark_is_skipped(t):
    for marked in ("install.ins", "types.txt", "settings.txt"):
        bomlayout(t, marked, BOM8)
        r = t.run("-d", "out", "src")
        t.eq((r.status, r.out, r.err), (0, "", ""), "run with a marked " + marked)
    # The manifest of that run, marked as an editor would save it, reads back.
    t.write("out/manifest.txt", BOM8 + t.read("out/manifest.txt"))
    r = ok(t, t.run("-v", "-d", "out", "src"), "run with a marked manifest")
    t.eq(r.out, "-D -       -        755 out/bin\n"
                "-F -       -        644 out/bin/a.txt\n", "listing")


def test_utf16_text_files_are_refused_by_name(t):
    for marked in ("install.ins", "types.txt", "settings.txt"):
        for mark in (b"\xff\xfe", b"\xfe\xff"):
            bomlayout(t, marked, mark)
            r = t.run("-d", "out", "src")
            t.eq((r.status, r.out), (1, ""), "status with %s marked %r" % (marked, mark))
            t.eq(r.err, "File '%s' is UTF-16 text; save it as UTF-8\n" % marked, "message")
    bomlayout(t, None, b"")
    t.write("out/manifest.txt", b"\xff\xfe#\x00 \x00")
    r = t.run("-d", "out", "src")
    t.eq(r.status, 1, "status with a UTF-16 manifest")
    t.check(r.err.endswith("manifest.txt' is UTF-16 text; save it as UTF-8\n"), r.err)


def test_names_beyond_any_code_page(t):
    names = ["h\u00e9llo_w\u00f6rld.txt", "\u30c7\u30fc\u30bf.txt", "\U0001f600.txt"]
    t.write("types.txt", "file txt 0644 - - - - Daten-\u00f6\ndir 0755 - - - - Daten-\u00f6\n")
    t.write("install.ins", entries("- txt " + n for n in names))
    for n in names:
        t.write("s\u0159c/" + n, n)
    dest = "\u51fa\u529b"
    t.mkdir(dest)
    r = ok(t, t.run("-v", "-d", dest, "s\u0159c"), "run")
    t.eq(r.out, "+D -       -        755 %s/Daten-\u00f6\n" % dest +
         "".join("+F -       -        644 %s/Daten-\u00f6/%s\n" % (dest, n) for n in names),
         "listing")
    t.eq(t.listdir(dest + "/Daten-\u00f6"), sorted(names), "names on disk")
    manifest = t.read(dest + "/manifest.txt").decode("utf-8")
    t.check("src=s\u0159c" in manifest and "nam=\U0001f600.txt" in manifest,
            "the manifest holds UTF-8: %r" % manifest)
    # The destination from the environment too.
    r = ok(t, t.run("-v", "s\u0159c", env={"DESTDIR": dest}), "second run")
    t.check(r.out.startswith("-D -       -        755 %s/Daten-" % dest), r.out)


FORBIDDEN = [
    # (types file lines, input line, message)
    ("", "- txt CON",
     "Name 'CON' is not allowed on Windows (a device name) in path 'bin/CON' input file "
     "'install.ins' line 2\n"),
    ("", "- txt sub/nul.txt/a",
     "Name 'nul.txt' is not allowed on Windows (a device name) in path 'sub/nul.txt/a' "
     "input file 'install.ins' line 2\n"),
    ("", "- txt notes.",
     "Name 'notes.' is not allowed on Windows (ends in a dot) in path 'bin/notes.' input file "
     "'install.ins' line 2\n"),
    ("", "- txt a:b",
     "Name 'a:b' is not allowed on Windows (holds ':') in path 'bin/a:b' input file "
     "'install.ins' line 2\n"),
    ("", "- *symlink existing=a.txt new=lpt1",
     "Name 'lpt1' is not allowed on Windows (a device name) in path 'lpt1' input file "
     "'install.ins' line 2\n"),
    ("dir 0755 - - - - bin/Com3\n", "- txt a.txt",
     "Name 'Com3' is not allowed on Windows (a device name) in path 'bin/Com3' types file "
     "'types.txt' line 3\n"),
    ("set dd=bin/Daten.\ndir 0755 - - - - <dd>\n", "- txt a.txt",
     "Name 'Daten.' is not allowed on Windows (ends in a dot) in path 'bin/Daten.' types file "
     "'types.txt' line 4\n"),
    ("file odd 0644 - - - - bin/what?\n", "- odd a.txt",
     "Name 'what?' is not allowed on Windows (holds '?') in path 'bin/what?/a.txt' input file "
     "'install.ins' line 2\n"),
    ("file odd 0644 - - - win32=txt. bin\n", "- txt a.txt",
     "Suffix 'txt.' is not allowed on Windows (ends in a dot) types file 'types.txt' line 3\n"),
    ("symlink existing=a new=bin/aux\n", "- txt a.txt",
     "Name 'aux' is not allowed on Windows (a device name) in path 'bin/aux' types file "
     "'types.txt' line 3\n"),
]


def test_names_windows_forbids_are_refused_where_they_enter(t):
    # Input-file lines are numbered as the backslash message numbers them.
    layout(t, BASE, ["- txt a\\b"], {"a.txt": "a\n"}, "out")
    r = t.run("-d", "out", "src")
    inputline = "line " + r.err.rsplit("line ", 1)[-1]
    t.check(inputline in ("line 1\n", "line 2\n"), "backslash message: %r" % r.err)
    for types, line, message in FORBIDDEN:
        if "input file" in message:
            message = message.replace("line 2\n", inputline)
        layout(t, BASE + types, [line], {"a.txt": "a\n"}, "out")
        failed(t, t.run("-d", "out", "src"), message, "run with %r / %r" % (types, line))
        t.eq([n for n in t.listdir("out") if n != "manifest.lock"], [], "nothing installed")
    # A drive at the start of a type directory stays allowed.
    layout(t, BASE + "dir 0755 - - - - q:\n", ["- txt a.txt"], {"a.txt": "a\n"}, "out")
    ok(t, t.run("-d", "out", "src"), "a drive as a type directory")


def test_legacy_code_page_names(t):
    windows_only(t, "a POSIX host takes names as the bytes they are")
    # An input file written for the legacy code page (Windows-1252 here):
    # its names are not UTF-8 and are read in the system's ANSI code page.
    layout(t, BASE, "", {"caf\u00e9.txt": "coffee\n"}, "out")
    t.write("install.ins", b"fileplacer types.txt\n- txt caf\xe9.txt\n")
    ok(t, t.run("-d", "out", "src"), "run")
    t.eq(t.listdir("out/bin"), ["caf\u00e9.txt"], "installed under its Unicode name")
