"""What a run reports: the JSON Lines of --json checked against the tree, the
--stats summary, and the order of standard output and standard error in one
pipe."""

import base64
import json
import os

from helpers import files, layout, ok

TYPES = ("file exe 0755 - - - win32=exe bin\n"
         "file doc 0644 - - - - doc\n"
         "dir 0755 - - - - bin\n"
         "dir 0755 - - - - doc\n")
SOURCES = {"tool.exe": "tool 1\n", "readme": "read me\n", "guide": "a guide\n"}
LINES = ["core exe tool", "core doc readme", "core doc guide"]
STATE = ("manifest.txt", "manifest.sums", "manifest.lock")


def setup(t, lines=LINES):
    layout(t, TYPES, lines, SOURCES, None, 1000000000)


def events(t, r):
    """The JSON objects of a --json run, checked for the frame every run has:
    the format first, the summary last with the run's status."""
    objs = [json.loads(line) for line in r.out.splitlines()]
    t.check(len(objs) >= 2, "at least the format and the summary: %r" % r.out)
    t.eq(objs[0], {"type": "format", "format": "fileplacer-json", "version": 1,
                   "program_version": objs[0].get("program_version")}, "first object")
    summary = objs[-1]
    t.eq((summary["type"], summary["status"]), ("summary", r.status), "last object")
    t.check(all(o["type"] != "summary" for o in objs[1:-1]), "one summary")
    return objs[1:-1], summary


def actions(objs, action=None, kind=None):
    return sorted(o["path"] for o in objs if o["type"] == "action"
                  and (action is None or o["action"] == action)
                  and (kind is None or o["kind"] == kind))


def tree_files(t):
    """The installed files: those below dest but the tool's own state."""
    return ["dest/" + p for p in files(t) if os.path.basename(p) not in STATE]


def test_json_stream_of_a_lifecycle_against_the_tree(t):
    setup(t)
    # First install: every file and directory made is an action, the
    # summary counts them and the bytes they hold.
    r = t.run("--json", "--update", "-d", "dest", "src")
    objs, summary = events(t, r)
    t.eq(r.err, "", "stderr of the first install")
    files = tree_files(t)
    t.eq(actions(objs, "created", "file"), files, "installed files are the tree's")
    t.eq(actions(objs, "created", "directory"), ["dest/bin", "dest/doc"], "directories made")
    for o in objs:
        t.check(t.exists(o["path"]), "%s exists" % o["path"])
        t.eq((o["status"][0], o["owner"], o["group"]), ("+", "-", "-"), "fields of " + o["path"])
    t.eq(summary["counts"]["files_installed"], len(files), "files counted")
    t.eq(summary["counts"]["directories_made"], 2, "directories counted")
    t.eq(summary["bytes_copied"], sum(len(v) for v in SOURCES.values()), "bytes copied")
    t.check(isinstance(summary["seconds"], float) and summary["seconds"] >= 0, "seconds")

    # --update: the changed source's file is replaced, the others left alone.
    t.write("src/readme", "read me again\n")
    r = t.run("--json", "--update", "-d", "dest", "src")
    objs, summary = events(t, r)
    t.eq(actions(objs, "replaced"), ["dest/doc/readme"], "replaced")
    t.eq(actions(objs, "unchanged", "file"), ["dest/bin/tool.exe", "dest/doc/guide"], "left alone")
    t.eq(t.read("dest/doc/readme"), b"read me again\n", "new content")
    t.eq((summary["counts"]["files_replaced"], summary["bytes_copied"]), (1, 14), "update counts")

    # --verify: a file changed in place is a finding, status 2.
    t.write("dest/doc/guide", "edited\n")
    r = t.run("--json", "--verify", "-d", "dest", "src")
    objs, summary = events(t, r)
    t.eq(r.status, 2, "status of --verify with a difference")
    found = {o["path"]: o["finding"] for o in objs if o["type"] == "finding"}
    t.eq(found, {"dest/bin/tool.exe": "ok", "dest/doc/readme": "ok", "dest/doc/guide": "modified"},
         "findings")
    t.eq((summary["counts"]["checked"], summary["counts"]["differ"]), (3, 1), "verify totals")

    # --prune: the files of the dropped lines go (the directories stay: the
    # types file declares them); the edited file is still listed.
    setup(t, [LINES[2]])
    r = t.run("--json", "--prune", "-d", "dest", "src")
    objs, summary = events(t, r)
    ok(t, r, "--prune")
    t.eq(actions(objs, "removed"), ["dest/bin/tool.exe", "dest/doc/readme"], "removed")
    t.eq(tree_files(t), ["dest/doc/guide"], "left in the tree")
    t.eq(summary["counts"]["files_removed"], 2, "removals counted")


def test_json_reports_warnings_errors_and_names_that_are_not_utf8(t):
    setup(t)
    t.write("src/readme", "")
    os.remove(t.path("src/readme"))
    r = t.run("--json", "-d", "dest", "src")
    objs, summary = events(t, r)
    message = "file 'readme' not found in source path\n"
    t.eq((r.status, r.err), (1, message), "run ended by an error")
    t.eq(objs[-1], {"type": "error", "message": message.rstrip("\n")}, "error object last")
    t.eq(summary["counts"]["errors"], 1, "error counted")
    # A kept file is a warning on standard error and an action and a
    # warning object on standard output.
    setup(t)
    t.eq(t.run("-d", "dest", "src").status, 0, "install")
    t.eq(t.run("--prune", "-d", "dest", "src").status, 0, "fingerprints made")
    t.write("dest/doc/readme", "changed\n")
    setup(t, [LINES[0]])
    r = t.run("--json", "--prune", "-d", "dest", "src")
    objs, summary = events(t, r)
    warning = "WARNING: kept 'dest/doc/readme': changed since it was installed"
    t.eq(r.err, warning + "\n", "stderr keeps its message")
    t.check({"type": "warning", "message": warning} in objs, "warning object: %r" % objs)
    t.eq(actions(objs, "kept"), ["dest/doc/readme"], "kept action")
    t.eq(summary["counts"]["files_kept"], 1, "kept counted")
    if t.wine:
        return  # names are UTF-8 text on Windows
    # A name that is not UTF-8: U+FFFD in the text, the exact bytes beside it.
    raw = b"caf\xe9"
    t.write("install.ins", "fileplacer types.txt\n")
    with open(t.path("install.ins"), "ab") as f:
        f.write(b"core doc " + raw + b"\n")
    with open(os.path.join(t.path("src").encode(), raw), "wb") as f:
        f.write(b"x")
    r = t.run("--json", "-d", "dest", "src")
    objs, _ = events(t, r)
    (o,) = [o for o in objs if o["type"] == "action" and o["kind"] == "file"]
    t.eq(o["path"], "dest/doc/caf\ufffd", "text of the name")
    t.eq(base64.b64decode(o["path_base64"]), b"dest/doc/" + raw, "bytes of the name")


def test_stats_summary_after_every_kind_of_run(t):
    setup(t)
    rows = [  # arguments, counts the summary must show
        (["-v"], ["directories made: 2", "files installed: 3", "files replaced: 0",
                  "bytes copied: 23"]),
        (["-n"], ["files installed: 0", "actions a real run would take (-n): 5"]),
        (["--update"], ["files left alone: 3", "directories already there: 2"]),
        (["--verify"], ["files checked: 3", "files that differ: 0"]),
        (["-vn", "--prune"], ["files removed: 0", "bytes copied: 0"]),
    ]
    for args, wanted in rows:
        r = t.run(*args, "--stats", "-d", "dest", "src")
        what = " ".join(args)
        ok(t, r, what)
        block = r.out[r.out.index("Summary:\n"):].splitlines()
        t.eq(block[-1], "  exit status: 0", "last line of " + what)
        for text in wanted:
            t.check("  " + text in block, "%r in the summary of %s: %r" % (text, what, block))
    # The listing comes first and is unchanged.
    r = t.run("-v", "--stats", "-d", "dest", "src")
    listing = t.run("-v", "-d", "dest", "src").out
    t.eq(r.out[:len(listing)], listing, "listing before the summary")
    t.eq(r.out[len(listing):].split("\n")[0], "Summary:", "summary follows the listing")


def test_one_pipe_keeps_the_order_of_output_and_messages(t):
    setup(t)
    t.eq(t.run("-d", "dest", "src").status, 0, "first install")
    # A file found in another source directory than before: its warning
    # comes between the lines listed before and after it.
    t.write("src0/guide", "a guide\n")
    r = t.run("-v", "-d", "dest", "src0", "src", merged=True)
    lines = r.out.splitlines()
    warning = "WARNING: Source path for file 'guide' changed from 'src' to 'src0'"
    t.check(warning in lines, "warning in the pipe: %r" % lines)
    at = lines.index(warning)
    t.eq([l.split()[-1] for l in lines[:at]], ["dest/bin", "dest/bin/tool.exe", "dest/doc"],
         "lines listed before the warning")
    t.eq([l.split()[-1] for l in lines[at + 1:]], ["dest/doc/guide", "dest/doc/readme"],
         "lines listed after it")
    # The error that ends a run comes after everything listed.
    os.remove(t.path("src/readme"))
    os.remove(t.path("src0/guide"))
    r = t.run("-v", "-d", "new", "src", merged=True)
    t.eq(r.status, 1, "status")
    t.eq([l.split()[-1] for l in r.out.splitlines()[:-1]],
         ["new/bin", "new/bin/tool.exe", "new/doc", "new/doc/guide"], "listed before the error")
    t.eq(r.out.splitlines()[-1], "file 'readme' not found in source path", "error last")
