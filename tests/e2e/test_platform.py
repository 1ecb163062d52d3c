# Host services as the tool shows them: directory creation statuses, copies
# without newline translation, text files with the host's line ends, no
# temporary files left behind, and the create-directory failure message.
import re

import helpers
from helpers import leftovers, line, ok

INPUT = "fileplacer types.txt\n- mytype data.bin\n"
TYPES = ("dir 0755 - - - - bin\n"
         "file mytype 0644 - - - - bin\n"
         "dir 0755 - - - - bin/sub\n"
         "dir 0755 - - - - x:\n")
PAYLOAD = b"one\r\ntwo\nthree\r\0\xff\xfe end"


def layout(t, types=TYPES):
    helpers.layout(t, types, INPUT, {"data.bin": PAYLOAD})


def listing(status):
    """The listing of a run that made (+) or found (-) everything; a name
    ending in ':' is a drive: reported as existing, never created."""
    return (line(status, "D", 0o755, "out/bin") + line(status, "F", 0o644, "out/bin/data.bin")
            + line(status, "D", 0o755, "out/bin/sub") + line("-", "D", 0o755, "out/x:"))


def test_directories_and_copies_across_two_runs(t):
    layout(t)
    r = ok(t, t.run("-v", "-d", "out", "src"), "first run")
    t.eq(r.out, listing("+"), "first listing")
    t.eq(t.listdir("out"), ["bin", "manifest.lock", "manifest.txt"], "destination after the first run")
    t.eq(t.listdir("out/bin"), ["data.bin", "sub"], "bin after the first run")
    t.eq(t.read("out/bin/data.bin"), PAYLOAD, "copied bytes")

    r = ok(t, t.run("-v", "-d", "out", "src"), "second run")
    t.eq(r.out, listing("-"), "second listing")
    t.eq(leftovers(t, "out"), [], "temporary files")


def test_text_outputs_use_host_line_ends(t):
    layout(t)
    r = t.run("-d", "out", "src")
    t.eq((r.status, r.out, r.err), (0, "", ""), "run")
    raw = t.read("out/manifest.txt")
    t.check(raw.count(b"\n") > 2, "manifest has several lines")
    if t.wine:
        t.eq(raw.count(b"\r\n"), raw.count(b"\n"), "every manifest line ends in CR LF")
    else:
        t.eq(raw.count(b"\r"), 0, "no CR in the manifest")
    t.check(t.readtext("out/manifest.txt").startswith("# "), "manifest header line")
    t.eq(t.read("out/bin/data.bin"), PAYLOAD, "copied file keeps its own bytes")


def test_create_directory_failure(t):
    name = "n" * 300  # longer than any host allows for one name
    layout(t, TYPES + "dir 0755 - - - - %s\n" % name)
    r = t.run("-d", "out", "src")
    t.eq(r.status, 1, "status")
    if t.wine:
        # The system's own text, its line breaks dropped, then the code.
        prefix = "Create Directory 'out\\%s' failed: " % name
        t.check(r.err.startswith(prefix), "message names the path: %r" % r.err)
        t.check(re.fullmatch(r"[^\n]+ \(\d+\)\n", r.err[len(prefix):]) is not None,
                "message ends with the system text and code: %r" % r.err)
    else:
        t.eq(r.err, "Create Directory 'out/%s' failed: File name too long (36)\n" % name,
             "message")
    t.check(not t.exists("out/manifest.txt"), "no manifest after the failure")
    t.eq(leftovers(t, "out"), [], "temporary files")
