# Command line, environment, package list and debug summary of the driver.
import calendar
import re
import socket
import time

from helpers import failed, layout, ok

USAGE_TAIL = (
    "  -s       output the platform dependent file list\n"
    "             prototype-post.<pkg> on solaris\n"
    "             <pkg>.lst on Linux\n"
    "             perm.<pkg> on other platforms\n"
    "  -e       strictly enforce permissions\n"
    "  -m       suppress manifest.txt processing\n"
    "  -n       no action; show what would happen\n"
    "  -p       split package mode\n"
    "  -P       create sparse patch\n"
    "  -v       verbose\n"
    "  -d dir   the destination directory (overrides DESTDIR environment var)\n"
    "  -D k=v   define a substitution key and value as if set in the types file\n"
    "  -i file  the input file name (defaults to `install.ins')\n"
    "  -l pkgname:[pkgname2:...]\n"
    "           a list of package names to install, default is to install all packages\n"
    "  srcpath1 [srcpath2 ...]\n"
    "           a list of paths to search for files listed in the input file.\n"
    "Environment variables:\n"
    "  DESTDIR     destination directory\n"
    "  FP_VERBOSE  set verbose mode to 1 or 2\n"
    "  FP_PACKAGE  set package mode to 1\n"
    "  FP_PKGLIST  list of packages to install\n"
)

MISSING = "Couldn't read input file '%s': No such file or directory (2)\n"


def usage_text(t):
    # The tool names itself by the text after the last '/' of its path.
    progname = str(t.exe).rsplit("/", 1)[-1]
    return ("usage: %s [-e] [-m] [-n] [-p] [-v] [-d dir] [-i file] srcpath1 [srcpath2 ...]\n"
            % progname) + USAGE_TAIL


def expect_usage(t, *args, env=None, unknown=None):
    """A usage error; unknown: the argument that the first line names."""
    r = t.run(*args, env=env)
    what = " ".join(args)
    first = "Unknown option '%s'\n" % unknown if unknown is not None else ""
    failed(t, r, first + usage_text(t), what)


def dcpath(host):
    labels = host.split(".")
    if len(labels) == 1:
        return "dc=com"
    return ",".join("dc=" + label for label in labels[1:])


def stampseconds(stamp):
    """Seconds since the epoch of a YYYYMMDDhhmmssZ stamp read as UTC."""
    return calendar.timegm(time.strptime(stamp, "%Y%m%d%H%M%SZ"))


def summary_lines(t, out):
    """Splits the debug summary into (text before the host lines, host
    values by name, text after them) and checks the host values."""
    lines = out.split("\n")
    start = next(i for i, line in enumerate(lines) if line.startswith("hostname="))
    names = ["hostname", "datetime", "hardware", "ipv4addr", "dcpath", "uname", "cwd"]
    values = {}
    for name, line in zip(names, lines[start:start + len(names)]):
        t.check(line.startswith(name + "="), "summary line %r names %s" % (line, name))
        values[name] = line[len(name) + 1:]
    host = values["hostname"]
    t.check(host != "", "host name shown")
    t.eq(host, socket.gethostname(), "host name")
    t.eq(values["dcpath"], dcpath(host), "domain path of " + host)
    address = values["ipv4addr"]
    t.check(re.fullmatch(r"(\d{1,3}\.){3}\d{1,3}", address) is not None,
            "ipv4addr %r is dotted decimal" % address)
    if not t.wine:  # Wine resolves the host name by its own means
        known = {a[4][0] for a in socket.getaddrinfo(host, None, socket.AF_INET)}
        t.check(address in known, "ipv4addr %r is an address of %s %r" % (address, host, known))
    t.eq(values["hardware"], "", "hardware")
    t.eq(values["uname"], "", "uname")
    t.eq(values["cwd"], t.cwd, "working directory")
    head = "\n".join(lines[:start]) + "\n"
    tail = "\n".join(lines[start + len(names):])
    return head, values, tail


def run_summary(t, *args, env=None):
    before = time.time()
    r = t.run(*args, env=env)
    after = time.time()
    head, values, tail = summary_lines(t, r.out)
    stamp = values["datetime"]
    t.check(re.fullmatch(r"\d{14}Z", stamp) is not None, "datetime %r has 15 characters" % stamp)
    # One second of slack each way: the tool and this script read clocks
    # that need not agree to the second.
    t.check(int(before) - 1 <= stampseconds(stamp) <= after + 1,
            "datetime %r is the UTC time of the run" % stamp)
    return r, head, tail


def test_usage_for_bad_options_or_no_source_directory(t):
    expect_usage(t, "--v", "src", unknown="--v")
    # No source directory; an unknown letter anywhere in a bundle; a value
    # letter with nothing after it; a -D value without '='.
    for args in ([], ["-v"], ["-vv", "-e", "-n"], ["-x", "src"], ["-", "src"], ["-vx", "src"],
                 ["-nvq", "src"], ["-ek", "src"], ["-vv-", "src"], ["-v-n", "src"], ["-nvd"],
                 ["-Dkey", "src"], ["-D", "novalue", "src"], ["-d"], ["-v", "-i"], ["-l"], ["-D"]):
        expect_usage(t, *args)


def test_long_options(t):
    # --help: the usage text and the long options on standard output, nothing else done.
    r = ok(t, t.run("--help"), "--help")
    t.check(r.out.startswith(usage_text(t) + "Long options:\n"), "--help begins with the usage")
    names = re.findall(r"^  (--\S+) ", r.out[len(usage_text(t)):], re.M)
    t.eq(names, ["--help", "--version", "--progress", "--update", "--verify", "--prune",
                 "--uninstall", "--json", "--stats", "--force", "--no-sync"], "long options listed")
    t.eq(t.listdir(), [], "--help wrote nothing")
    r = t.run("--version")
    t.check(r.status == 0 and re.fullmatch(r"fileplacer \d+\.\d+\.\d+\n", r.out) is not None,
            "--version prints the version: %r" % r.out)
    # Only whole, exact names: no abbreviation, no value, no other case, no "--".
    for bad in ("--hel", "--help=1", "--HELP", "--", "--verify-all", "--updat"):
        expect_usage(t, bad, "src", unknown=bad)
    # The value of -d may begin with "--"; after a source path nothing is an option.
    t.write("install.ins", "fileplacer types.txt\n")
    r = t.run("-v", "-d", "--verify", "src", "--help")
    t.eq(r.status, 1, "status with a missing types file")
    t.check("types.txt" in r.err and "usage" not in r.err, "-d took --verify; --help a source")


def test_missing_input_file_ends_quietly(t):
    r = t.run("src")
    t.eq((r.status, r.out, r.err), (0, "", ""), "quiet run without input file")
    r = t.run("-v", "src")
    t.eq((r.status, r.out, r.err), (0, "", MISSING % "install.ins"), "-v run")
    # A file named by -i must be there.
    r = t.run("-ivariant.ins", "src")
    failed(t, r, MISSING % "variant.ins", "run with -i")


def test_debug_summary_with_every_mode(t):
    r, head, tail = run_summary(t, "-vv", "-s", "-P", "-p", "-m", "-n", "-e", "-d", "dest",
                                "-i", "my.ins", "-l", "zeta:alpha", "src1", "src two")
    t.eq(r.status, 1, "status: the input file named by -i is missing")
    t.eq(head, "modes: debug enforce noaction nomanifest package specfile patch \n"
               "destdir=dest\ninfilename=my.ins\n", "summary head")
    t.eq(tail, "Source directory list follows:\n  src1\n  src two\n"
               "Package List to install, numpkgs = 2\n  pkg[0] = alpha\n  pkg[1] = zeta\n"
               "parsing input files\n", "summary tail")
    t.eq(r.err, MISSING % "my.ins", "stderr")


def test_debug_summary_plain(t):
    r, head, tail = run_summary(t, "-v", "-v", "src")
    t.eq(head, "modes: debug \ninfilename=install.ins\n", "no destdir line")
    t.eq(tail, "Source directory list follows:\n  src\n"
               "Package List to install, numpkgs = 0\nparsing input files\n", "tail")
    t.eq(r.err, MISSING % "install.ins", "stderr")


def test_option_bundles(t):
    # Flag letters bundle; a value letter takes the rest of its argument or
    # the next one, even one that looks like an option. Each row: the
    # arguments before "src", then the summary head they give.
    rows = [
        (["-en", "-vv", "-d", "-m"], "modes: debug enforce noaction \ndestdir=-m\n"),
        (["-vvn"], "modes: debug noaction \n"),
        (["-nvv"], "modes: debug noaction \n"),
        (["-v", "-vv", "-n"], "modes: debug noaction \n"),
        (["-vvmpPse"], "modes: debug enforce nomanifest package specfile patch \n"),
        (["-vv", "-d/opt/x", "-lb:a"], "modes: debug \ndestdir=/opt/x\n"),
        (["-vvd/opt/x"], "modes: debug \ndestdir=/opt/x\n"),
        (["-vvd", "-n"], "modes: debug \ndestdir=-n\n"),
        (["-vvnDk=v=n", "-d", "out"], "modes: debug noaction \ndestdir=out\n"),
    ]
    for args, head_wanted in rows:
        r, head, _ = run_summary(t, *args, "src")
        t.eq(head, head_wanted + "infilename=install.ins\n", " ".join(args))
        t.eq((r.status, r.err), (0, MISSING % "install.ins"), "status of " + " ".join(args))
    # -vn lists what would happen and writes nothing.
    layout(t, "file txt 0644 - - - - bin\ndir 0755 - - - - bin\n", ["core txt a"], {"a": "a\n"},
           None)
    r = t.run("-vn", "-d", "out", "src")
    t.eq((r.status, r.out), (0, " D -       -        755 out/bin\n=F -       -        644 out/bin/a\n"),
         "-vn lists")
    t.eq(t.exists("out"), False, "-vn wrote nothing")


def test_package_list(t):
    r, _, tail = run_summary(t, "-vv", "-l", "::b::a:", "src")
    t.check("numpkgs = 2\n  pkg[0] = a\n  pkg[1] = b\n" in tail, "::b::a: gives a, b")
    r, _, tail = run_summary(t, "-vv", "-l", "tools:ALL", "-l", "z:B:a", "src")
    t.check("numpkgs = 3\n  pkg[0] = B\n  pkg[1] = a\n  pkg[2] = z\n" in tail,
            "later -l replaces, byte order")
    r, _, tail = run_summary(t, "-vv", "-l", "ALL", "src")
    t.check("numpkgs = 0\n" in tail, "ALL is every package")
    names = ":".join("p%02d" % i for i in range(32))
    r, _, tail = run_summary(t, "-vv", "-l", names, "src")
    t.check("numpkgs = 32\n" in tail and "  pkg[31] = p31\n" in tail, "32 names fit")
    r = t.run("-vv", "-l", names + ":p32", "src")
    t.eq((r.status, r.err), (1, "Too many packages in list, maximum is 32\n"), "33 names")
    r = t.run("src", env={"FP_PKGLIST": names + ":p32"})
    t.eq((r.status, r.err), (1, "Too many packages in list, maximum is 32\n"), "33 from env")


def test_environment(t):
    env = {"FP_PKGLIST": "c::a", "FP_PACKAGE": "3", "FP_VERBOSE": "2", "DESTDIR": "envdest"}
    r, head, tail = run_summary(t, "src", env=env)
    t.eq(head, "modes: debug package \ndestdir=envdest\ninfilename=install.ins\n", "env head")
    t.check("numpkgs = 2\n  pkg[0] = a\n  pkg[1] = c\n" in tail, "env package list")
    # The command line wins over the environment; -l ALL leaves FP_PKGLIST in force.
    r, head, tail = run_summary(t, "-vv", "-d", "cli", "-l", "x", "src", env=env)
    t.eq(head, "modes: debug package \ndestdir=cli\ninfilename=install.ins\n", "cli head")
    t.check("numpkgs = 1\n  pkg[0] = x\n" in tail, "-l wins")
    r, _, tail = run_summary(t, "-l", "ALL", "src", env=env)
    t.check("numpkgs = 2\n" in tail, "-l ALL leaves FP_PKGLIST")
    # An empty DESTDIR is a destination; FP_PACKAGE 0 or text leaves package mode off.
    for package in ("0", "abc"):
        r, head, _ = run_summary(t, "src", env={"FP_VERBOSE": "-1", "DESTDIR": "",
                                                "FP_PACKAGE": package})
        t.eq(head, "modes: debug \ndestdir=\ninfilename=install.ins\n", "FP_PACKAGE=" + package)


def test_verbose_from_environment(t):
    for value in ("0", "", "x", "1"):
        r = t.run("src", env={"FP_VERBOSE": value})
        t.eq((r.status, r.out, r.err), (0, "", MISSING % "install.ins"), "FP_VERBOSE=" + value)
    # A negative level is a huge unsigned one: the debug output appears.
    r, head, _ = run_summary(t, "src", env={"FP_VERBOSE": "-3"})
    t.eq(head, "modes: debug \ninfilename=install.ins\n", "FP_VERBOSE=-3")
    # -v given on the command line: FP_VERBOSE is not consulted.
    r = t.run("-v", "src", env={"FP_VERBOSE": "5"})
    t.eq(r.out, "", "-v overrides FP_VERBOSE")


def test_define_keys_use_verbose_level_so_far(t):
    warn = "WARNING duplicate substitution key: k\n"
    r = t.run("-Dk=1", "-vv", "-D", "k=2", "src")
    t.eq(r.err, warn + MISSING % "install.ins", "warned at verbose 2")
    r = t.run("-D", "k=1", "-Dk=2", "-vv", "src")
    t.eq(r.err, MISSING % "install.ins", "no warning before -vv")
    r = t.run("-vv", "-D=empty", "-D", "=", "-Dk=a=b", "-Dk=", "src")
    t.eq(r.err, "WARNING duplicate substitution key: \n" + warn + MISSING % "install.ins",
         "empty keys and values")


# ---- the stages after start-up ----------------------------------------------------

STAGE_TYPES = (
    "file txt 0644 - - - win32=txt bin\n"
    "dir 0755 - - - - bin\n"
    "dir 0755 - - - - bin/a\n"
    "dir 0755 - - - - /opt\n"
)
NOTICES = ("parsing input files", "Destination Directory Tree:", "Destination Root Tree:",
           "installing files", "Retry Tree:", "finished installing files.",
           "generating manifest file", "generating chmod/chown files")


def stage_layout(t):
    # No link is made on this platform; a directory stands in for its target.
    layout(t, STAGE_TYPES, ["core *symlink existing=not-yet new=bin/a/ln", "core txt bin/a/ln/inner",
                            "core txt bin/a/later", "core txt bin/a/zz", "core txt /opt/top"],
           {n + ".txt": n + "\n" for n in ("inner", "later", "zz", "top")}, "dest/bin/a/ln")


def notices(out):
    return [line for line in out.split("\n") if line in NOTICES]


def test_stages_run_in_order(t):
    stage_layout(t)
    r = ok(t, t.run("-vv", "-d", "dest", "src"), "first run")
    t.eq(notices(r.out), list(NOTICES[:7]), "stage notices")
    # The retry listing shows the deferred link and what lies below it, not
    # its later sibling zz.
    lines = r.out.split("\n")
    start = lines.index("Retry Tree:") + 1
    dump = [line for line in lines[start:] if line.startswith(" ")]
    t.eq([(len(l) - len(l.lstrip(" ")), l.split()[0]) for l in dump], [(1, "ln"), (2, "inner.txt")],
         "retry listing")
    t.check(t.exists("dest/manifest.txt"), "manifest written")
    t.eq(t.exists("dest/perm.core"), False, "no permission file without -p or -s")
    t.eq(t.read("dest/bin/a/ln/inner.txt"), b"inner\n", "deferred entry installed")

    again = ok(t, t.run("-vv", "-d", "dest", "src"), "second run")
    t.eq(notices(again.out), [n for n in NOTICES[:6]], "nothing changed: nothing written")


def test_no_action_announces_but_writes_nothing(t):
    stage_layout(t)
    r = ok(t, t.run("-vv", "-n", "-s", "-d", "dest", "src"), "no-action run")
    t.eq(notices(r.out), list(NOTICES), "every notice")
    t.eq(t.listdir("dest"), ["bin"], "neither manifest nor permission file")


def test_permission_files_follow_p_and_s(t):
    stage_layout(t)
    r = t.run("-vv", "-m", "-s", "-d", "dest", "src")
    t.eq(r.status, 0, "run in spec mode without manifest")
    t.eq(notices(r.out), list(NOTICES[:6]) + [NOTICES[7]], "notices with -m -s")
    t.eq(t.listdir("dest"), ["bin", "perm.core"], "only the permission file")


def test_failed_input_stage_ends_with_status_1(t):
    t.write("install.ins", "installer types.txt\n")
    r = t.run("-vv", "-d", "dest", "src")
    t.eq((r.status, r.err), (1, "Input file 'install.ins' not in expected format\n"), "bad header")
    t.eq(notices(r.out), ["parsing input files"], "no stage after the input stage")


def test_defined_keys_precede_the_types_file(t):
    # Names of fewer than two characters are never expanded: the key is dd.
    layout(t, "dir 0755 - - - - <dd>\n"
              "set dd=lib\n"
              "dir 0755 - - - - <dd>\n"
              "file conf 0644 - - - - etc\n"
              "file lib 0644 - - - - <dd>\n",
           ["core conf app.conf", "core lib x.dll"], {"app.conf": "conf\n", "x.dll": "dll\n"},
           "dest")
    ok(t, t.run("-D", "dd=etc", "-d", "dest", "src"), "run")
    t.eq(t.read("dest/etc/app.conf"), b"conf\n", "-D key used before the types file's own")
    t.eq(t.read("dest/lib/x.dll"), b"dll\n", "the types file's later setting wins after it")
