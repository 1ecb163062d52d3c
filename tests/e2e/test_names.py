# Names and texts as a Windows user has them: UTF-8 names beyond any legacy
# code page, text files saved with a byte-order mark, names Windows forbids
# and paths past the classic length limit.

BOM8 = b"\xef\xbb\xbf"
TYPES = "readconfig settings.txt\nfile txt 0644 - - - - bin\ndir 0755 - - - - bin\n"
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
    r = t.run("-v", "-d", "out", "src")
    t.eq((r.status, r.err), (0, ""), "run with a marked manifest")
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
    t.write("install.ins", "fileplacer types.txt\n" + "".join("- txt %s\n" % n for n in names))
    for n in names:
        t.write("s\u0159c/" + n, n)
    dest = "\u51fa\u529b"
    t.mkdir(dest)
    r = t.run("-v", "-d", dest, "s\u0159c")
    t.eq((r.status, r.err), (0, ""), "run")
    t.eq(r.out, "+D -       -        755 %s/Daten-\u00f6\n" % dest +
         "".join("+F -       -        644 %s/Daten-\u00f6/%s\n" % (dest, n) for n in names),
         "listing")
    t.eq(t.listdir(dest + "/Daten-\u00f6"), sorted(names), "names on disk")
    manifest = t.read(dest + "/manifest.txt").decode("utf-8")
    t.check("src=s\u0159c" in manifest and "nam=\U0001f600.txt" in manifest,
            "the manifest holds UTF-8: %r" % manifest)
    # The destination from the environment too.
    r = t.run("-v", "s\u0159c", env={"DESTDIR": dest})
    t.eq((r.status, r.err), (0, ""), "second run")
    t.check(r.out.startswith("-D -       -        755 %s/Daten-" % dest), r.out)
