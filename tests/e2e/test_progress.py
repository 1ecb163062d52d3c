# --progress: a line rewritten in place on a terminal's standard error, at
# most ten times a second, erased at the end; nothing at all when standard
# error is not a terminal.
import os
import pty
import re
import select
import subprocess
import time

from helpers import layout, linux_only, spawn

COUNT = 4000
DRAW = re.compile(r"^(\d+)/(\d+) files, [\d.]+ (B|KiB|MiB|GiB) copied, [\d.]+ (B|KiB|MiB|GiB)/s")


TYPES = "file raw 0644 - - - - bin\ndir 0755 - - - - bin\n"
NAMES = ["f%05d" % i for i in range(COUNT)]


def many_files(t):
    layout(t, TYPES, ["core raw " + n for n in NAMES], {n: "x" * 4096 for n in NAMES}, None)


def on_terminal(t, *args):
    """Runs the Linux build with standard error on a pseudo-terminal: status,
    standard output, what the terminal received, seconds taken."""
    master, slave = pty.openpty()
    start = time.monotonic()
    proc = spawn(t, *args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=slave)
    os.close(slave)
    received, out = b"", b""
    streams = {master: "term", proc.stdout.fileno(): "out"}
    while streams:
        for fd in select.select(list(streams), [], [])[0]:
            try:
                chunk = os.read(fd, 65536)
            except OSError:  # the terminal's last writer went away
                chunk = b""
            if not chunk:
                del streams[fd]
            elif streams[fd] == "term":
                received += chunk
            else:
                out += chunk
    proc.wait()
    elapsed = time.monotonic() - start
    os.close(master)
    return proc.returncode, out.decode(), received.decode(), elapsed


def screen(text):
    """What a terminal line shows after text: '\\r' returns to the start,
    other characters overwrite."""
    line, col = [], 0
    for c in text:
        if c == "\r":
            col = 0
        elif c == "\n":
            line, col = [], 0
        else:
            if col < len(line):
                line[col] = c
            else:
                line.append(c)
            col += 1
    return "".join(line)


def test_progress_on_a_terminal(t):
    linux_only(t, "pseudo-terminals are a Linux build matter")
    many_files(t)
    status, out, term, elapsed = on_terminal(t, "--progress", "-d", "dest", "src")
    t.eq((status, out), (0, ""), "run")
    t.eq(len(t.listdir("dest/bin")), COUNT, "installed")
    draws = [DRAW.match(piece) for piece in term.split("\r") if piece.strip()]
    t.check(draws and all(draws), "every piece is a progress line: %r" % term[:300])
    t.check(all(int(m.group(2)) == COUNT for m in draws), "the total is the file count")
    t.eq(int(draws[0].group(1)), 0, "first line before any file")
    done = [int(m.group(1)) for m in draws]
    t.check(done == sorted(done), "files done never go back: %r" % done)
    t.check(len(draws) <= elapsed * 10 + 2,
            "%d lines in %.2f s: at most ten a second" % (len(draws), elapsed))
    t.eq(screen(term).strip(), "", "the line is erased at the end")

    # With -v the listing goes to standard output as before.
    os.remove(t.path("dest/bin/f00000"))
    status, out, term, _ = on_terminal(t, "--progress", "-v", "-d", "dest", "src")
    t.eq(status, 0, "status with -v")
    t.eq(out.count("\n"), COUNT + 1, "the listing is whole")
    t.check(out.startswith("-D ") and "+F -       -        644 dest/bin/f00000\n" in out,
            "listing lines unchanged")
    t.eq(screen(term).strip(), "", "erased at the end with -v")


def test_progress_failure_message_stands_alone(t):
    linux_only(t, "pseudo-terminals are a Linux build matter")
    many_files(t)
    t.write("install.ins", "fileplacer types.txt\ncore raw f00000\ncore raw missing\n")
    status, out, term, _ = on_terminal(t, "--progress", "-d", "dest", "src")
    t.eq(status, 1, "status")
    t.check(term.endswith("\r\n"), "the message ends its line")
    t.eq(screen(term[:-2]), "file 'missing' not found in source path", "message on a clean line")


def test_no_progress_without_a_terminal(t):
    many_files(t)
    r = t.run("--progress", "-d", "dest", "src")
    t.eq((r.status, r.out, r.err), (0, "", ""), "nothing shown when standard error is a pipe")
