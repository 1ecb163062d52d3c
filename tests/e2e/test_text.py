# Reading texts as a whole run sees them: every kind of line end, the header
# without a blank after the tool name, <key> expansion of words (the type
# word of an input line; its destination path is literal) and of the
# contents of substituted files with <line:NAME> tags, and duplicate keys.
from helpers import layout, ok

TYPES = (
    "set who=World\r"
    "file txt 0644 - - - win32=txt bin\r\n"
    "file cfg 0644 - - substitute win32=cfg etc\n"
    "dir 0755 - - - - bin\r"
    "dir 0755 - - - - etc\r\n"
)


def test_line_ends_header_and_expanded_words(t):
    plain = "raw <who>\r\n<line:unix>kept as is\r"
    layout(t, TYPES, "fileplacertypes.txt\r\ncore <kind> hello\rcore\tcfg  app\n",
           {"hello.txt": plain,
            "app.cfg": "hello <who>\r\n"
                       "<line:unix>unix only\r\n"
                       "<line:win32>win32 only\n"
                       "before <line:linux>gone\n"
                       "<x> <undefined> <line:!unix>stays\n"
                       "<line:all>last\n"
                       "<line:solaris_sparc>dropped to the end"}, "dest")
    ok(t, t.run("-D", "kind=txt", "-d", "dest", "src"))
    t.eq(t.read("dest/bin/hello.txt"), plain.encode(), "unsubstituted copy, byte for byte")
    t.eq(t.read("dest/etc/app.cfg"),
         b"hello World\r\n"
         b"win32 only\n"
         b"before <x> <undefined> <line:!unix>stays\n"
         b"last\n",
         "substituted copy")


def test_duplicate_keys_warn_at_verbosity_two_and_newest_wins(t):
    layout(t, TYPES + "set who=Types\n", ["core cfg app"], {"app.cfg": "<who>\n"}, "dest")
    warning = "WARNING duplicate substitution key: who\n"
    quiet = t.run("-v", "-D", "who=Cmd", "-d", "dest", "src")
    t.eq(quiet.status, 0, "status at verbosity 1")
    t.check(warning not in quiet.err, "no warning at verbosity 1: %r" % quiet.err)
    t.eq(t.readtext("dest/etc/app.cfg"), "Types\n", "the last definition is used")

    t.mkdir("dest2")
    loud = t.run("-vv", "-D", "who=Cmd", "-D", "who=Again", "-d", "dest2", "src")
    t.eq(loud.status, 0, "status at verbosity 2")
    # -D who twice, then the types file's two definitions: 1 + 2 + 3 older records.
    t.eq(loud.err.count(warning), 6, "one warning per older record: %r" % loud.err)
    t.eq(t.readtext("dest2/etc/app.cfg"), "Types\n", "the last definition is used")


def test_types_file_found_beside_the_input_file(t):
    # The header's name is tried as given, then in the input file's directory,
    # a name beginning with '/' included (the separators are then doubled).
    sep = "\\" if t.wine else "/"
    t.write("pkg/build/install.ins", "fileplacer /conf/types.txt\ncore txt hello\n")
    t.write("pkg/build/conf/types.txt", "file txt 0644 - - - win32=txt .\n")
    t.write("src/hello.txt", "hi\n")
    t.mkdir("dest")
    ok(t, t.run("-i", sep.join(["pkg", "build", "install.ins"]), "-d", "dest", "src"))
    t.eq(t.read("dest/hello.txt"), b"hi\n", "installed with the retried types file")


def test_nul_byte_in_a_text_file_names_the_file_and_line(t):
    # Each file the tool reads as text, with a NUL byte after lines ended by
    # CR LF, CR and LF (a CR right before the NUL ends its line too); the run
    # stops before anything is installed.
    types = "file doc 0644 - - - - .\r\nfile s 0644 - - srcpath - <dd>\n"
    inp = "fileplacer types.txt\npkg doc a\n"
    cases = [
        # (file, content, line)
        ("install.ins", "fileplacer types.txt\r\n# c\rpkg doc a\0\n", 3),
        ("install.ins", "\0fileplacer types.txt\n", 1),
        ("types.txt", "file t 0 - - - - .\nset dd=x\0yy\ndir 0 - - srcpath p <dd>/z\n", 2),
        ("types.txt", "set dd=x\0yy\n" + types, 1),
        ("inc.cfg", "set a=b\r\r\n\r\0", 4),
        ("dest/manifest.txt", "nam=\ndst=\0\npkg=\ntyp=doc\nflg=srcpath\n", 2),
    ]
    for name, content, line in cases:
        t.write("types.txt", types + "readconfig inc.cfg\n")
        t.write("inc.cfg", "set dd=d\n")
        t.write("install.ins", inp)
        t.write("dest/manifest.txt", "")
        t.write("src/a", "a\n")
        t.write(name, content)
        if name != "dest/manifest.txt":
            t.write("dest/manifest.txt", "nam=a\npkg=pkg\nbas=x\ntyp=doc\nflg=*file\n")
        r = t.run("-v", "-d", "dest", "src")
        t.eq((r.status, r.out, r.err),
             (1, "", "Unexpected NUL byte in file '%s' line %d\n" % (name, line)),
             "run with a NUL byte in %s" % name)
        t.check(not t.exists("dest/a"), "nothing installed")
