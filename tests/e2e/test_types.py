# Types file, included settings files, "set" lines with built-in words, and
# the directory and link entries that the types file declares.
import socket

from helpers import MYTYPE, failed, layout, listing, ok, tree_line

NOFILE = "No such file or directory (2)"
NODEST = ("Error: You must specify a destdir. You may do so with the DESTDIR\n"
          "environment variable, the -d command line switch or by adding a\n"
          "defdestdir parameter to the file 'types.txt'\n")


def report(fname, lineno, message, text):
    return ("Invalid input line in types file '%s' line %d: %s\n %78s\n"
            % (fname, lineno, message, text))


def fails(t, types, err, *args, what=""):
    """Runs with the given types file and expects status 1 and exactly err."""
    layout(t, types)
    r = t.run(*(args or ("-d", "out", "src")))
    failed(t, r, err, what or repr(types))


def hostname(t):
    if not t.wine:
        return socket.gethostname()
    r = t.run("-vv", "nosrc")  # no input file: only the summary
    return next(l[9:] for l in r.out.split("\n") if l.startswith("hostname="))


# ---- line errors reported with the 78-column text ---------------------------------

LINE_ERRORS = [
    # (types text, line, message, text shown)
    ("file a 0644 - - - - x\nset k=v", 2, "end of file", "set k=v"),
    ("{win32 file a 0644 - - - - x\n", 1, "missing closing curly brace",
     "{win32 file a 0644 - - - - x"),
    ("{}file a 0644 - - - - x\n", 1, "flag not found", "{"),
    ("{nosuch}file a 0644 - - - - x\n", 1, "flag not found", "{nosuch"),
    (" file a 0644 - - - - x\n", 1, "failed to find file/dir label", " file a 0644 - - - - x"),
    ("   \n", 1, "failed to find file/dir label", "   "),
    ("{win32} file a 0644 - - - - x\n", 1, "failed to find file/dir label", "{win32"),
    ("files a 0644\n", 1, "Unknown type in types file", "files a 0644"),
    ("bogus\tword  here\r\n", 1, "Unknown type in types file", "bogus word  here"),
    ("File a 0644 - - - - x\n", 1, "Unknown type in types file", "File a 0644 - - - - x"),
    ("{win32}#comment\n", 1, "Unknown type in types file", "{win32"),
    ("file\n", 1, "failed to find file type", "file"),
    ("file a\n", 1, "failed to find mode", "file"),
    ("file a 0o755 - - - - x\n", 1, "invalid mode, must be octal", "file"),
    ("file a 8 - - - - x\n", 1, "invalid mode, must be octal", "file"),
    ("dir - - - - p x\n", 1, "invalid mode, must be octal", "dir"),
    ("file a 0644\n", 1, "failed to get owner", "file"),
    ("file a 0644 -\n", 1, "failed to find group", "file"),
    ("file a 0644 - -\n", 1, "failed to find flags", "file"),
    ("file a 0644 - - nosuch - x\n", 1, "failed to parse flags", "file"),
    ("file a 0644 - - win32,Win32 - x\n", 1, "failed to parse flags", "file"),
    ("file a 0644 - - -\n", 1, "failed to find suffix", "file"),
    ("file a 0644 - - - win32 x\n", 1, "failed to parsing suffix list", "file"),
    ("file a 0644 - - - nt=exe x\n", 1, "failed to parsing suffix list", "file"),
    ("file a 0644 - - - -   \n", 1, "failed to find directory path", "file"),
    ("file a 0644 - - - - a\\b\n", 1, "Backslash character forbidden in path", "file"),
    ("dir 0755 - - -\n", 1, "failed to find package", "dir"),
    ("dir 0755 - - - p\n", 1, "failed to find directory path", "dir"),
    ("dir 0755 - - - p a\\b\n", 1, "Backslash character forbidden in path", "dir"),
    ("{win32,all}dir 0755 - - - p\n", 1, "failed to find directory path", "{win32"),
    ("symlink\n", 1, "failed to find source path", "symlink"),
    ("symlink existing=x\n", 1, "failed to find target path", "symlink"),
    ("readconfig\n", 1, "Invalid input line in types file", ""),
    ("readconfig  \t\n", 1, "Invalid input line in types file", ""),
    # Every line counts: empty, comment and skipped ones too.
    ("# c\n\n{linux}junk\r\n{unix}junk\rfile a 0644 - - - - x\nwhat\n", 6,
     "Unknown type in types file", "what"),
]


def test_line_errors_name_the_line_and_show_its_text(t):
    for types, lineno, message, text in LINE_ERRORS:
        fails(t, types, report("types.txt", lineno, message, text))


def test_report_text_is_right_aligned_in_78_columns(t):
    fails(t, "file\n", "Invalid input line in types file 'types.txt' line 1: failed to find file type\n"
          + " " * 75 + "file\n")
    fails(t, "readconfig\n", "Invalid input line in types file 'types.txt' line 1: "
          "Invalid input line in types file\n" + " " * 79 + "\n")
    long = "x" * 100
    fails(t, long + "\n", "Invalid input line in types file 'types.txt' line 1: "
          "Unknown type in types file\n " + long + "\n")


def test_messages_printed_directly(t):
    cases = [
        ("symlink new=a existing=x\n",
         "Expected existing= instead of 'new=a' in type file 'types.txt' line 1\n"),
        ("# c\nsymlink existing new=a\n",
         "Expected existing= instead of 'existing' in type file 'types.txt' line 2\n"),
        ("symlink existing=x new=\n",
         "Expected new= instead of 'new=' in type file 'types.txt' line 1\n"),
        ("symlink existing=x target=a\n",
         "Expected new= instead of 'target=a' in type file 'types.txt' line 1\n"),
        ("set\n", "Invalid assignment line 1 '' in types file 'types.txt'\n"),
        (MYTYPE + "set novalue \n",
         "Invalid assignment line 2 'novalue ' in types file 'types.txt'\n"),
        # In the types file itself a backslash in a link's new path ends the run.
        (MYTYPE + "symlink existing=x new=a\\b\n",
         "Backslash character forbidden in path 'a\\b' file 'types.txt' line 2\n"),
    ]
    for types, err in cases:
        fails(t, types, err)


def test_types_file_missing_or_empty(t):
    layout(t, "")
    r = t.run("-d", "out", "src")
    t.eq((r.status, r.err), (1, "Empty types file 'types.txt' not permitted\n"), "empty types file")
    t.write("install.ins", "fileplacer nosuch.txt\n- mytype name\n")
    r = t.run("-d", "out", "src")
    t.eq((r.status, r.err), (1, "Couldn't read types file 'nosuch.txt' error: %s\n" % NOFILE),
         "missing types file")


def test_destination_and_type_definitions_are_required(t):
    comments = "# only comments\n\n"
    fails(t, comments, "Error: file 'types.txt' contains no type definitions\n")
    fails(t, comments, NODEST, "src")
    # A defdestdir setting is a destination; the type check still follows.
    fails(t, comments + "set defdestdir=out\n",
          "Error: file 'types.txt' contains no type definitions\n", "src")
    # "$runuser" resolves the owners, which is what the type check looks at.
    fails(t, "set who=$runuser\n",
          "Unknown file type 'mytype' input file 'install.ins' line 2\n")
    # A "$destdir" with nothing to refer to does not give a destination.
    fails(t, MYTYPE + "set defdestdir=$destdir\n", NODEST, "src")


# ---- includes ----------------------------------------------------------------------

def test_includes_are_read_relative_to_the_input_file(t):
    t.write("build/install.ins", "fileplacer types.txt\n- mytype name\n")
    # The types file and every included file are looked up in the input
    # file's directory, whatever the directory of the including file.
    t.write("build/types.txt",
            "set top=1\n"
            "readconfig sub/first.cfg\n"
            "dir 0755 - - - after after\n"
            "readconfig my conf.cfg\n")
    t.write("build/sub/first.cfg",
            "dir 0755 - - - p <top>\n"
            "readconfig nested.cfg\n"
            "dir 0755 - - - p first-after\n")
    t.write("build/nested.cfg",
            MYTYPE
            + "set deep=nested\n"
            "dir 0755 - - - p <deep>\n"
            "symlink existing=<deep> new=link\n")
    t.write("build/my conf.cfg", "dir 0755 - - - p spaced\n")
    t.write("src/name", "payload\n")
    t.mkdir("out")
    r = t.run("-vv", "-i", "build/install.ins", "-d", "out", "src")
    t.eq(listing(t, r), [
        tree_line(0, "1", "dir", "p"),
        tree_line(0, "after", "dir", "after"),
        tree_line(0, "first-after", "dir", "p"),
        tree_line(0, "link", "*symlink", "-", "nested"),
        tree_line(0, "name", "mytype", "-"),
        tree_line(0, "nested", "dir", "p"),
        tree_line(0, "spaced", "dir", "p"),
    ], "tree from the types file and its includes")


def test_include_failures(t):
    fails(t, MYTYPE + "readconfig nosuch.cfg\n",
          "Couldn't read config file 'nosuch.cfg': %s\n" % NOFILE)
    fails(t, MYTYPE + "readconfig nosuch.cfg \n",
          "Couldn't read config file 'nosuch.cfg ': %s\n" % NOFILE)
    t.write("empty.cfg", "")
    fails(t, MYTYPE + "readconfig empty.cfg\n", "Empty config file 'empty.cfg'\n")
    # Reports inside an included file name it and count its own lines.
    t.write("bad.cfg", "# one\nset fine=1\nfile x 9\n")
    fails(t, MYTYPE + "\nreadconfig bad.cfg\n",
          report("bad.cfg", 3, "invalid mode, must be octal", "file"))
    t.write("noname.cfg", "\nreadconfig\n")
    fails(t, MYTYPE + "readconfig noname.cfg\n",
          report("noname.cfg", 2, "Invalid input line in types file", ""))
    t.write("cut.cfg", "set a=b\nset c=d")
    fails(t, MYTYPE + "readconfig cut.cfg\n", report("cut.cfg", 2, "end of file", "set c=d"))


def test_include_depth_is_limited(t):
    # Sixteen files nested inside each other are read...
    for i in range(1, 17):
        t.write("c%d.cfg" % i, "readconfig c%d.cfg\n" % (i + 1) if i < 16 else MYTYPE)
    layout(t, "readconfig c1.cfg\n")
    ok(t, t.run("-d", "out", "src"), "sixteen nested includes")
    # ...a seventeenth is not, and neither is a file that includes itself.
    t.write("c16.cfg", "readconfig c17.cfg\n")
    t.write("c17.cfg", MYTYPE)
    fails(t, "readconfig c1.cfg\n", "Too many nested config files reading 'c17.cfg'\n")
    t.write("loop.cfg", "set x=1\nreadconfig loop.cfg\n")
    fails(t, MYTYPE + "readconfig loop.cfg\n", "Too many nested config files reading 'loop.cfg'\n")


def test_settings_files_read_in_one_run_are_limited(t):
    # A thousand settings files in one run are read, the next one is not;
    # neither are settings files holding more than 8 MiB in all.
    t.write("one.cfg", "set a=1\n")
    layout(t, MYTYPE + "readconfig one.cfg\n" * 1000)
    ok(t, t.run("-d", "out", "src"), "a thousand settings files")
    fails(t, MYTYPE + "readconfig one.cfg\n" * 1001, "Too many config files reading 'one.cfg'\n")
    t.write("big.cfg", ("#" * 1023 + "\n") * 1024)  # 1 MiB
    t.write("last.cfg", "set a=1\n")
    fails(t, MYTYPE + "readconfig big.cfg\n" * 8 + "readconfig last.cfg\n",
          "Config files too large (more than 8388608 bytes in all) reading 'last.cfg'\n")


def test_backslash_link_in_an_include_stops_only_that_file(t):
    t.write("inner.cfg",
            "dir 0755 - - - p kept\n"
            "symlink existing=x new=a\\b\n"
            "dir 0755 - - - p dropped\n")
    t.write("outer.cfg", "readconfig inner.cfg\ndir 0755 - - - p outer-after\n")
    layout(t, MYTYPE + "readconfig outer.cfg\ndir 0755 - - - p types-after\n")
    r = t.run("-vv", "-d", "out", "src")
    t.eq(r.err, "Backslash character forbidden in path 'a\\b' file 'inner.cfg' line 2\n",
         "the backslash message is the only trace")
    t.eq(listing(t, r), [
        tree_line(0, "kept", "dir", "p"),
        tree_line(0, "name", "mytype", "-"),
        tree_line(0, "outer-after", "dir", "p"),
        tree_line(0, "types-after", "dir", "p"),
    ], "tree after the stopped include")


# ---- platform prefixes, entries and expansion ---------------------------------------

def test_platform_prefixes_choose_lines(t):
    layout(t, MYTYPE
           + "{linux}dir 0755 - - - p linux\n"
           "{substitute}dir 0755 - - - p substitute\n"
           "{unix}dir 0755 - - - p unix\n"
           "{linux}#not a comment, but skipped\n"
           "{win32}dir 0755 - - - p win32\n"
           "{!linux}dir 0755 - - - p notlinux\n"
           "{all}dir 0755 - - - p all\n"
           "{!win32}dir 0755 - - - p notwin32\n"
           "{linux,win32}dir 0755 - - - p linuxwin32\n")
    r = t.run("-vv", "-d", "out", "src")
    t.eq(listing(t, r), [
        tree_line(0, "all", "dir", "p"),
        tree_line(0, "linuxwin32", "dir", "p"),
        tree_line(0, "name", "mytype", "-"),
        tree_line(0, "notlinux", "dir", "p"),
        tree_line(0, "win32", "dir", "p"),
    ], "lines chosen by their prefix")


def test_directory_and_link_entries(t):
    layout(t, MYTYPE
           + "dir 0755 $bin $bin - core lib\n"
           "dir 0755 - - substitute tools lib/sub extra words\n"
           "symlink existing=../lib/libx.so new=lib/liby.so ignored\n"
           "symlink existing= new=a\n"
           "dir 0755 - - - root /opt\n"
           "dir 0755 - - - root /opt/app\n"
           "symlink existing=/opt/app new=/opt/current\n")
    r = t.run("-vv", "-n", "-d", "out", "src")  # -n: nothing is made under /opt
    t.eq(listing(t, r), [
        tree_line(0, "a", "*symlink", "-", ""),
        tree_line(0, "lib", "dir", "core"),
        tree_line(1, "liby.so", "*symlink", "-", "../lib/libx.so"),
        tree_line(1, "sub", "dir", "tools"),
        tree_line(0, "name", "mytype", "-"),
    ], "relative tree")
    t.eq(listing(t, r, "Destination Root Tree:"), [
        tree_line(0, "opt", "dir", "root"),
        tree_line(1, "app", "dir", "root"),
        tree_line(1, "current", "*symlink", "-", "/opt/app"),
    ], "absolute tree")


def test_directories_are_declared_parent_first(t):
    fails(t, MYTYPE + "dir 0755 - - - p /opt/app/lib\ndir 0755 - - - p /opt/app\n",
          "Missing directory node '/opt' in file 'types.txt'\n"
          "Error occurred in path '/opt/app/lib' input file 'install.ins'\n")
    fails(t, MYTYPE + "dir 0755 - - - p lib\ndir 0755 - - - q LIB\n",
          "duplicate file 'LIB' found\n")


def test_keys_expand_later_lines_and_paths_twice(t):
    # A key defined after the line stays a literal reference there, which is
    # no name Windows allows.
    fails(t, MYTYPE + "dir 0755 - - - p <later>\nset later=x\n",
          "Name '<later>' is not allowed on Windows (holds '<') in path '<later>' types file "
          "'types.txt' line 2\n")
    layout(t, MYTYPE
           + "set later=x\n"
           "set inner=deep\n"
           "set outer=<inner>\n"
           "set pkg=fromkey\n"
           "dir 0755 - - - <pkg> <outer>\n"
           "set target=<inner>/x\n"
           "symlink existing=<target> new=<outer>/ln\n"
           "set kw=dir\n"
           "<kw> 0755 - - - p bykeyword\n")
    r = t.run("-vv", "-n", "-d", "out", "src")
    t.eq(listing(t, r), [
        tree_line(0, "bykeyword", "dir", "p"),
        tree_line(0, "deep", "dir", "fromkey"),
        tree_line(1, "ln", "*symlink", "-", "deep/x"),
        tree_line(0, "name", "mytype", "-"),
    ], "expanded entries")


def test_second_expansion_stops_past_1023_characters(t):
    path_message = ("Expanded path too long (more than 1023 characters) in type file "
                    "'types.txt' line %d\n")
    # A value that refers to itself: the second expansion would ask for
    # hundreds of megabytes.
    refs = "<kk>" * 560
    fails(t, MYTYPE + "set kk=" + refs + "\ndir 0755 - - - p " + refs + "\n", path_message % 3)
    # A path of 1023 characters after the second expansion is whole; one
    # more and the line is refused, in a dir line and in both texts of a link.
    keys = MYTYPE + "set inner=%s\nset outer=<inner>\n"
    layout(t, keys % ("x" * 1023) + "symlink existing=<outer> new=ln\n")
    r = t.run("-vv", "-n", "-d", "out", "src")
    t.check(listing(t, r)[0].endswith(" existing=" + "x" * 1023), "whole link text")
    for line in ("symlink existing=<outer> new=ln\n", "symlink existing=a new=<outer>\n",
                 "dir 0755 - - - p <outer>\n"):
        fails(t, keys % ("x" * 1024) + line, path_message % 4)


def test_later_type_definition_wins(t):
    layout(t, "file mytype 0644 - - - - first\nfile mytype 0644 - - - - second\n"
           "dir 0755 - - - p first\ndir 0755 - - - p second\n")
    r = t.run("-vv", "-d", "out", "src")
    t.eq(listing(t, r), [
        tree_line(0, "first", "dir", "p"),
        tree_line(0, "second", "dir", "p"),
        tree_line(1, "name", "mytype", "-"),
    ], "entry placed by the later definition")
    t.check(t.exists("out/second/name"), "installed into the later type's directory")


# ---- settings and built-in words ------------------------------------------------------

def test_settings_and_built_in_words(t):
    host = hostname(t)
    labels = host.split(".")
    first = labels[0]
    domain = ".".join(labels[1:]) if len(labels) > 2 else host
    domainprefix = labels[1] if len(labels) > 1 else host
    layout(t,
           "set k = v \n"
           "set hn=$hostname\n"
           "set hnblank=$hostname \n"
           "set vv=$version\n"
           "set bb=$buildnum\n"
           "set xx=$nosuchword\n"
           "set un=$uname\n"
           "set who=$runuser\n"
           "set dd=$destdir\n"
           "set hp=$hostprefix\n"
           "set dom=$domain\n"
           "set dp=$domainprefix\n"
           "dir 0755 - - - p etc\n"
           "file conf 0644 - - substitute - etc\n",
           "fileplacer types.txt\n- conf app.cfg\n")
    t.write("src/app.cfg",
            "[<k >][<hn>][<hnblank>][<vv>][<bb>][<xx>][<un>][<who>][<dd>][<hp>][<dom>][<dp>]\n")
    ok(t, t.run("-d", "out", "src"), "run with substituted settings")
    t.eq(t.readtext("out/etc/app.cfg"),
         "[ v ][%s][$hostname ][unknown][2006.015.2356][$nosuchword][][][out][%s][%s][%s]\n"
         % (host, first, domain, domainprefix), "substituted file")


def test_defdestdir_setting(t):
    layout(t, MYTYPE + "set defdestdir=dest/app\nset second=1\nset defdestdir=dest/other\n")
    t.mkdir("dest/app")
    t.mkdir("dest/other")
    ok(t, t.run("src"), "run with defdestdir")
    t.check(t.exists("dest/app/name"), "installed into the first defdestdir")
    t.check(not t.exists("dest/other/name"), "a second defdestdir does not move the destination")
    native = "dest\\other" if t.wine else "dest/other"
    t.check("ins=%s\n" % native in t.readtext("dest/app/manifest.txt"),
            "the last defdestdir, with native separators, is recorded")
    # With -d the setting does not choose the destination.
    ok(t, t.run("-d", "out", "src"), "run with -d and defdestdir")
    t.check(t.exists("out/name"), "installed into the -d directory")
