"""Helpers shared by the scenario files (tests/e2e/test_<area>.py):
processes started beside t.run.
"""

import os
import subprocess


# ---- processes started beside t.run --------------------------------------------

def clean_env():
    """The caller's environment without DESTDIR and the tool's FP_ variables."""
    return {k: v for k, v in os.environ.items() if k != "DESTDIR" and not k.startswith("FP_")}


def command(t, *args):
    """The command line that starts the tool with args (through Wine for the
    Windows build)."""
    return (list(t.wine_cmd) if t.wine else []) + [t.exe] + [str(a) for a in args]


def spawn(t, *args, **popen):
    """Starts the tool in the scenario's directory with the clean environment
    and returns at once: the subprocess.Popen. Its output is dropped unless
    popen says where it goes."""
    popen.setdefault("stdout", subprocess.DEVNULL)
    popen.setdefault("stderr", subprocess.DEVNULL)
    return subprocess.Popen(command(t, *args), cwd=t.dir, env=clean_env(), **popen)


def kill_rounds():
    """Rounds of the kill scenarios: 50, or KILLTEST_ROUNDS (make killtest)."""
    return int(os.environ.get("KILLTEST_ROUNDS", "50"))
