#!/usr/bin/env python3
"""Black-box scenarios for the fileplacer executable.

Every tests/e2e/test_<area>.py defines functions `def test_<name>(t):`. Each
scenario gets a fresh temporary directory, which is the working directory of
every run of the tool, and an object `t` with helpers to lay out files, run
the tool and compare results; what the scenario files share beyond that
(laying out a project, checking runs, listing lines, tree snapshots, runs
outside t.run) is in helpers.py. The same scenarios run against the Linux
build and, with --wine, against the Windows build under Wine.
"""

import argparse
import difflib
import importlib.util
import multiprocessing
import os
import shutil
import subprocess
import sys
import tempfile
import traceback

from helpers import Result, clean_env

HERE = os.path.dirname(os.path.abspath(__file__))
RUN_TIMEOUT = 60  # seconds for one run of the tool


# How Wine reports that it could not start a program at all.
WINE_START_FAILURES = (b"wine client error:", b"wine: ")


class ScenarioFailed(Exception):
    pass


class ScenarioSkipped(Exception):
    """Raised by t.skip(): the scenario does not apply to this build."""


def windows_path(path):
    """A Unix path as Wine shows it to Windows programs (drive Z: is /)."""
    return "Z:" + path.replace("/", "\\")


def decode(data, wine):
    text = data.decode("utf-8", errors="replace")
    return text.replace("\r\n", "\n") if wine else text


class Scenario:
    """The object handed to each scenario function as `t`."""

    def __init__(self, directory, exe, wine_cmd):
        self.dir = directory
        self.wine_cmd = wine_cmd
        self.wine = wine_cmd is not None
        self.program = exe  # what is started
        # exe and cwd are as the tool itself sees them (argv[0], getcwd):
        # under Wine the Unix paths of drive Z: in Windows form.
        self.exe = windows_path(exe) if self.wine else exe
        self.cwd = windows_path(directory) if self.wine else directory
        self.runs = []  # (command, Result) of each run, shown on failure

    def path(self, rel):
        return os.path.join(self.dir, rel)

    def write(self, rel, data, mtime=None):
        p = self.path(rel)
        os.makedirs(os.path.dirname(p) or ".", exist_ok=True)
        if isinstance(data, str):
            data = data.encode("utf-8")
        with open(p, "wb") as f:
            f.write(data)
        if mtime is not None:
            os.utime(p, (mtime, mtime))

    def mkdir(self, rel):
        os.makedirs(self.path(rel), exist_ok=True)

    def run(self, *args, env=None, merged=False):
        """Runs the tool, with env added to its environment and nothing on
        its standard input; merged: standard error goes into the one pipe of
        standard output (Result.out holds both, Result.err is empty)."""
        command = [self.program] + [str(a) for a in args]
        if self.wine:
            command = list(self.wine_cmd) + command
        environment = dict(clean_env(), **(env or {}))
        for attempt in range(3):
            try:
                proc = subprocess.run(command, cwd=self.dir, env=environment, input=b"",
                                      stdout=subprocess.PIPE, timeout=RUN_TIMEOUT,
                                      stderr=subprocess.STDOUT if merged else subprocess.PIPE)
            except subprocess.TimeoutExpired:
                # Wine now and then hangs while starting a program; the
                # program's own runs take well under a second.
                if self.wine and attempt == 0:
                    continue
                raise ScenarioFailed("run timed out after %d s: %s" % (RUN_TIMEOUT, " ".join(command)))
            # Wine itself can fail to start a program (its client loses the
            # connection to the Wine server); the program never ran, so the
            # run is made again. Now and then that failure says nothing and
            # ends with status 1, which the tool never does: each of its
            # failures has a message.
            err = proc.stdout if merged else proc.stderr
            silent = proc.returncode == 1 and not proc.stdout and not err
            if not (self.wine and (merged or not proc.stdout) and
                    (err.startswith(WINE_START_FAILURES) or silent)):
                break
        result = Result(proc.returncode, decode(proc.stdout, self.wine),
                        decode(proc.stderr or b"", self.wine))
        self.runs.append((command, result))
        return result

    def read(self, rel):
        with open(self.path(rel), "rb") as f:
            return f.read()

    def readtext(self, rel):
        return decode(self.read(rel), self.wine)

    def exists(self, rel):
        return os.path.lexists(self.path(rel))

    def listdir(self, rel="."):
        return sorted(os.listdir(self.path(rel)))

    def mtime(self, rel):
        return int(os.stat(self.path(rel)).st_mtime)

    def eq(self, actual, expected, what=""):
        if actual == expected:
            return
        label = what or "value"
        if isinstance(actual, str) and isinstance(expected, str):
            diff = difflib.unified_diff(
                expected.splitlines(keepends=True),
                actual.splitlines(keepends=True),
                "expected", "actual", lineterm="")
            body = "".join(line if line.endswith("\n") else line + "\n" for line in diff)
            raise ScenarioFailed("%s differs:\n%s  expected %r\n  actual   %r"
                                 % (label, body, expected, actual))
        raise ScenarioFailed("%s differs:\n  expected %r\n  actual   %r" % (label, expected, actual))

    def check(self, cond, what):
        if not cond:
            raise ScenarioFailed("check failed: %s" % what)

    def skip(self, why):
        raise ScenarioSkipped(why)


# ---- discovery ---------------------------------------------------------------

def load_scenarios(directory):
    """All (file, name, function) in definition order, files sorted by name."""
    found = []
    for fname in sorted(os.listdir(directory)):
        if not (fname.startswith("test_") and fname.endswith(".py")):
            continue
        modname = "e2e_" + fname[:-3]
        modspec = importlib.util.spec_from_file_location(modname, os.path.join(directory, fname))
        module = importlib.util.module_from_spec(modspec)
        sys.modules[modname] = module
        modspec.loader.exec_module(module)
        funcs = [(name, obj) for name, obj in vars(module).items()
                 if name.startswith("test_") and callable(obj)]
        funcs.sort(key=lambda item: item[1].__code__.co_firstlineno)
        for name, func in funcs:
            found.append((fname[:-3], name, func))
    return found


# ---- running -----------------------------------------------------------------

# Filled before the worker processes fork, so workers look scenarios up by index.
SCENARIOS = []
OPTIONS = {}


def describe_runs(t):
    lines = []
    for command, r in t.runs[-3:]:
        lines.append("  run: %s" % " ".join(command))
        lines.append("    status %r\n    out %r\n    err %r" % (r.status, r.out, r.err))
    return "\n".join(lines)


def run_one(index):
    """Runs scenario index: (index, outcome, report); outcome is "pass", "fail" or "skip"."""
    fname, name, func = SCENARIOS[index]
    directory = os.path.realpath(tempfile.mkdtemp(prefix="fp-e2e-%s-" % name))
    t = Scenario(directory, OPTIONS["exe"], OPTIONS["wine_cmd"])
    try:
        func(t)
    except ScenarioSkipped as e:
        shutil.rmtree(directory, ignore_errors=True)
        return index, "skip", str(e)
    except ScenarioFailed as e:
        return index, "fail", "%s\n%s\n  kept: %s" % (e, describe_runs(t), directory)
    except Exception:
        return index, "fail", "%s%s\n  kept: %s" % (traceback.format_exc(), describe_runs(t), directory)
    shutil.rmtree(directory, ignore_errors=True)
    return index, "pass", ""


def find_wine():
    for candidate in (shutil.which("wine64"), "/usr/lib/wine/wine64", shutil.which("wine")):
        if candidate and os.access(candidate, os.X_OK):
            return candidate
    return None


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--exe", required=True, help="the fileplacer executable to test")
    p.add_argument("--wine", nargs="?", const="auto", default=None, metavar="WINE",
                   help="run the executable through Wine (optionally the wine program to use)")
    p.add_argument("-k", dest="filter", default=None,
                   help="run only scenarios whose file::name contains this text")
    p.add_argument("-j", dest="jobs", type=int, default=1, help="scenarios run in parallel")
    return p.parse_args(argv)


def main(argv):
    args = parse_args(argv)
    exe = os.path.abspath(args.exe)
    if not os.path.isfile(exe):
        print("no executable at %s" % exe)
        return 1
    wine_cmd = None
    if args.wine is not None:
        wine = find_wine() if args.wine == "auto" else args.wine
        if wine is None:
            print("--wine given but no wine program found")
            return 1
        wine_cmd = [wine]
    OPTIONS.update(exe=exe, wine_cmd=wine_cmd)
    SCENARIOS.extend(s for s in load_scenarios(HERE)
                     if args.filter is None or args.filter in "%s::%s" % (s[0], s[1]))

    passed = failed = skipped = 0
    indices = range(len(SCENARIOS))
    if args.jobs > 1 and len(SCENARIOS) > 1:
        pool = multiprocessing.get_context("fork").Pool(args.jobs)
        results = pool.imap(run_one, indices)
    else:
        pool = None
        results = map(run_one, indices)
    for index, outcome, report in results:
        fname, name, _ = SCENARIOS[index]
        label = "%s::%s" % (fname, name)
        if outcome == "pass":
            passed += 1
            print("PASS %s" % label, flush=True)
        elif outcome == "skip":
            skipped += 1
            print("SKIP %s (%s)" % (label, report), flush=True)
        else:
            failed += 1
            print("FAIL %s\n%s" % (label, report), flush=True)
    if pool is not None:
        pool.close()
        pool.join()
    if passed + failed == 0:
        print("no scenario ran")
    print("%d passed, %d failed, %d skipped" % (passed, failed, skipped))
    return 1 if failed or passed == 0 else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
