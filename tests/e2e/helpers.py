"""Helpers shared by the scenario files (tests/e2e/test_<area>.py): scenarios
for one build, laying out a project, checking a run and what it wrote, the
lines the tool lists, what lies below a directory, the project that the
lifecycle scenarios keep in step, and processes started beside t.run.
"""

import collections
import os
import re
import signal
import subprocess
import time

OLD = int(time.time()) - 3600  # an hour ago: when the inputs of a scenario were written
INPUT = "fileplacer types.txt\n- mytype name\n"  # one entry, of the type mytype
MYTYPE = "file mytype 0644 - - - - .\n"  # that type, for the types file
SOURCE = {"name": "payload\n"}  # its source file
MANIFEST = "dest/manifest.txt"
SUMS = "dest/manifest.sums"
KEPT = "WARNING: kept '%s': changed since it was installed\n"  # a file a removal leaves

# A project installed from src into dest: a program, a document and a
# configuration file with a substituted key, in three directories.
PROJECT_TYPES = (
    "set who=World\n"
    "file exe 0755 $bin $bin - win32=exe bin\n"
    "file doc 0644 - - - - doc\n"
    "file cfg 0640 $bin $bin substitute win32=cfg etc\n"
    "dir 0755 $bin $bin - - bin\n"
    "dir 0755 - - - - doc\n"
    "dir 0750 $bin $bin - - etc\n"
)
PROJECT_LINES = ["core exe tool", "core doc readme", "core cfg app"]
PROJECT_SOURCES = {"tool.exe": "tool 1\n", "readme": "read me\n", "app.cfg": "hello <who>\n",
                   "extra.exe": "extra\n", "notes": "notes\n", "old": "old\n"}


# ---- scenarios for one build ------------------------------------------------------

def linux_only(t, why):
    """Skips the scenario under Wine, saying why."""
    if t.wine:
        t.skip(why)


def windows_only(t, why):
    """Skips the scenario unless it runs under Wine, saying why."""
    if not t.wine:
        t.skip(why)


# ---- laying out a project --------------------------------------------------------

def entries(lines):
    """The text of an input file: the line naming types.txt, then lines."""
    return "fileplacer types.txt\n" + "".join(line + "\n" for line in lines)


def layout(t, types, inp=INPUT, sources=SOURCE, dest="out", mtime=None, text="contents of %s\n"):
    """Writes types.txt and install.ins (inp: its text, or its entry lines)
    and src/<name> of every source (a dict of name and content, or names
    whose content is text naming them), all modified at mtime (None: now),
    and makes the directory dest (None: none)."""
    t.write("types.txt", types, mtime=mtime)
    t.write("install.ins", inp if isinstance(inp, str) else entries(inp), mtime=mtime)
    if not isinstance(sources, dict):
        sources = {name: text % name for name in sources}
    for name, data in sources.items():
        t.write("src/" + name, data, mtime=mtime)
    if dest:
        t.mkdir(dest)


def age(t, rel, when):
    """Sets the modification time of rel."""
    os.utime(t.path(rel), (when, when))


# ---- checking a run and what it wrote -------------------------------------------

def ok(t, r, what="the run", err=""):
    """The run r ended with status 0 and wrote err to standard error: r."""
    t.eq((r.status, r.err), (0, err), "status and stderr of " + what)
    return r


def failed(t, r, err, what="the run", out=""):
    """The run r ended with status 1, wrote err to standard error and out to
    standard output: r."""
    t.eq((r.status, r.out, r.err), (1, out, err), "status, stdout and stderr of " + what)
    return r


def expect_text(t, rel, expected):
    """The text file rel holds exactly expected, with the host's line ends."""
    t.eq(t.readtext(rel), expected, rel)
    newline = "\r\n" if t.wine else "\n"
    t.eq(t.read(rel), expected.replace("\n", newline).encode(), rel + " (bytes)")


# ---- the lines the tool lists -----------------------------------------------------

def line(status, kind, mode, path, owner="-", group="-", existing=None):
    """One line of the listing of a run (-v): status and kind, owner, group,
    mode and path, and the target of a link."""
    return "%c%s %-7s %-7s %4o %s%s\n" % (status, kind, owner, group, mode, path,
                                         "" if existing is None else " existing=" + existing)


def tree_line(depth, name, typ, pkg, existing=None):
    """One line of a tree listing (-vv), without its line end."""
    return "%s %-*s %-15s %-10s%s" % (" " * min(depth, 9), 35 - depth, name, typ, pkg,
                                      " existing=" + existing if existing is not None else "")


def listing(t, r, title="Destination Directory Tree:"):
    """The lines of the tree listing under title that the -vv run r printed
    (and the run succeeded)."""
    t.eq(r.status, 0, "status of the listing run (stderr %r)" % r.err)
    lines = r.out.split("\n")
    t.check(title in lines, "%s shown" % title)
    start = lines.index(title) + 1
    end = start
    while end < len(lines) and not lines[end].endswith(":") and lines[end] != "installing files":
        end += 1
    return lines[start:end]


# ---- what lies below a directory -------------------------------------------------

def snapshot(t, top=".", times=True):
    """Every name below top (relative to the scenario's directory) with its
    content (None for a directory) and, with times, its modification time."""
    found = {}
    for root, dirs, files in os.walk(t.path(top)):
        for name in dirs + files:
            p = os.path.join(root, name)
            data = None if os.path.isdir(p) else open(p, "rb").read()
            found[os.path.relpath(p, t.dir)] = (data, os.lstat(p).st_mtime_ns) if times else data
    return found


def leftovers(t, top):
    """The names below top that a run of the tool leaves only by mistake:
    its temporaries."""
    found = []
    for _, dirs, names in os.walk(t.path(top)):
        found += [n for n in dirs + names if "TMPZ" in n or n.endswith(("~rm", ".tmp"))]
    return found


def files(t, top="dest"):
    """The paths of the files below top, relative to top, sorted."""
    found = []
    for root, _, names in os.walk(t.path(top)):
        found += [os.path.relpath(os.path.join(root, name), t.path(top)) for name in names]
    return sorted(found)


# ---- the project that the lifecycle scenarios keep in step --------------------

def project(t, lines=PROJECT_LINES, types=PROJECT_TYPES, install=None):
    """Lays out the project, its input file with lines, all an hour old;
    with install (options, maybe none), installs it by a run with them."""
    layout(t, types, lines, PROJECT_SOURCES, None, OLD)
    if install is not None:
        ok(t, run(t, *install), "the install with %r" % (install,))


def inputs(t, lines):
    """Rewrites the project's input file with lines, an hour old."""
    t.write("install.ins", entries(lines), mtime=OLD)


def run(t, *args):
    """A run of the tool with args that installs src into dest."""
    return t.run(*(list(args) + ["-d", "dest", "src"]))


def sums(t):
    """The fingerprint lines of manifest.sums by path: (hash, size, mtime,
    srcsize, srcmtime, record)."""
    lines = t.readtext(SUMS).split("\n")
    t.eq(lines[0], "fileplacer-sums 1", "version line")
    t.eq(lines[-1], "", "last line ends")
    out = {}
    for l in lines[1:-1]:
        m = re.fullmatch(r"([0-9a-f]{32}) (\d+) (-?\d+) (\d+) (-?\d+) (\S+) (.+)", l)
        t.check(m is not None, "fingerprint line %r" % l)
        out[m.group(7)] = m.groups()[:6]
    return out


def records(t):
    """The names of the records of dest/manifest.txt."""
    return re.findall(r"^nam=(.*)$", t.readtext(MANIFEST), re.M)


# ---- processes started beside t.run --------------------------------------------

# A run of the tool: its exit status, standard output and standard error.
Result = collections.namedtuple("Result", "status out err")


def clean_env():
    """The caller's environment without DESTDIR and the tool's FP_ variables."""
    return {k: v for k, v in os.environ.items() if k != "DESTDIR" and not k.startswith("FP_")}


def command(t, *args):
    """The command line that starts the tool with args (through Wine for the
    Windows build)."""
    return (list(t.wine_cmd) if t.wine else []) + [t.exe] + [str(a) for a in args]


def spawn(t, *args, **popen):
    """Starts the tool in the scenario's directory and returns at once: the
    subprocess.Popen. The clean environment, and output dropped, unless popen
    says otherwise."""
    popen.setdefault("env", clean_env())
    popen.setdefault("stdout", subprocess.DEVNULL)
    popen.setdefault("stderr", subprocess.DEVNULL)
    return subprocess.Popen(command(t, *args), cwd=t.dir, **popen)


def run_process(t, *args, prefix=(), **options):
    """Runs the tool to its end outside t.run, for what t.run cannot set up
    (another user, a umask, a resource limit): the CompletedProcess, with
    its output captured. prefix: a command that starts the tool."""
    return subprocess.run(list(prefix) + command(t, *args), cwd=t.dir, env=clean_env(),
                          capture_output=True, timeout=60, **options)


def killed(t, delay, *args):
    """Starts the tool with args and kills it after delay seconds unless it
    has ended: whether it was killed. Only the tool's own process is killed:
    under Wine a whole process group could hold the Wine server that later
    runs need."""
    proc = spawn(t, *args)
    time.sleep(delay)
    running = proc.poll() is None
    if running:
        proc.send_signal(signal.SIGKILL)
    proc.wait()
    return running


def kill_rounds():
    """Rounds of the kill scenarios: 50, or KILLTEST_ROUNDS (make killtest)."""
    return int(os.environ.get("KILLTEST_ROUNDS", "50"))
