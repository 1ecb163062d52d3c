#!/usr/bin/env python3
"""Checks of the install rules, the packages, the manual page and the shell completion.

Run after `make package`: the install rules (cmake --install and make install),
the Debian package of the Linux build (contents, control fields, copyright and
changelog, lintian, an install into a scratch root with dpkg --root and a run
of the installed program), the manual
page (groff and mandoc warnings, its sections, every option of the program), the
bash completion, and with --windows the zip archive of the Windows build (its
contents, README.txt and LICENSE.txt line ends, a run of the program under Wine).
"""

import argparse
import glob
import gzip
import os
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import traceback
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
EXAMPLES = os.path.join(ROOT, "examples")
WINE_START_FAILURES = (b"wine client error:", b"wine: ")


class CheckFailed(Exception):
    pass


def check(cond, what):
    if not cond:
        raise CheckFailed(what)


def eq(actual, expected, what):
    if actual != expected:
        raise CheckFailed("%s:\n  expected %r\n  actual   %r" % (what, expected, actual))


def run(cmd, cwd=None, env=None, timeout=120, ok=True):
    proc = subprocess.run(cmd, cwd=cwd, env=env, capture_output=True, timeout=timeout)
    if ok and proc.returncode != 0:
        raise CheckFailed("%s ended with status %d:\n%s%s" % (
            " ".join(cmd), proc.returncode, proc.stdout.decode(errors="replace"),
            proc.stderr.decode(errors="replace")))
    return proc


def text(data):
    return data.decode("utf-8", errors="replace")


def projectversion():
    with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
        found = re.search(r"project\(fileplacer\s+VERSION\s+(\S+)", f.read())
    check(found is not None, "CMakeLists.txt names no project version")
    return found.group(1)


def relfiles(top):
    """Every file below top, as paths relative to it with '/'."""
    out = set()
    for dirpath, _, files in os.walk(top):
        for name in files:
            out.add(os.path.relpath(os.path.join(dirpath, name), top).replace(os.sep, "/"))
    return out


def examplefiles(prefix):
    return {prefix + "/" + rel for rel in relfiles(EXAMPLES)}


def linuxtree():
    """What the Linux install rules lay out below the prefix."""
    return {
        "bin/fileplacer",
        "share/man/man1/fileplacer.1.gz",
        "share/bash-completion/completions/fileplacer",
        "share/doc/fileplacer/README.md",
        "share/doc/fileplacer/user-guide.md",
        "share/doc/fileplacer/LICENSE",
        "share/doc/fileplacer/copyright",
        "share/doc/fileplacer/changelog.gz",
    } | examplefiles("share/doc/fileplacer/examples")


def windowstree():
    return {
        "bin/fileplacer.exe",
        "README.txt",
        "LICENSE.txt",
        "share/doc/fileplacer/user-guide.md",
    } | examplefiles("share/doc/fileplacer/examples")


# Installed files that are copies of files of the source tree (.gz: compressed).
SOURCES = {
    "share/man/man1/fileplacer.1.gz": "docs/fileplacer.1",
    "share/doc/fileplacer/changelog.gz": "dist/changelog",
    "share/doc/fileplacer/LICENSE": "LICENSE",
    "share/bash-completion/completions/fileplacer": "dist/fileplacer.bash-completion",
    "share/doc/fileplacer/README.md": "README.md",
    "share/doc/fileplacer/user-guide.md": "docs/user-guide.md",
}


def readbytes(path):
    with open(path, "rb") as f:
        return f.read()


def samecontent(prefix, rels):
    for rel in rels:
        if rel.startswith("share/doc/fileplacer/examples/"):
            source = os.path.join(EXAMPLES, rel[len("share/doc/fileplacer/examples/"):])
        elif rel in SOURCES:
            source = os.path.join(ROOT, SOURCES[rel])
        else:
            continue
        data = readbytes(os.path.join(prefix, rel))
        if rel.endswith(".gz"):
            # gzip -n: no name and no time stamp (bytes 4-7 are zero).
            eq(data[4:8], b"\0\0\0\0", "time stamp of " + rel)
            data = gzip.decompress(data)
        check(data == readbytes(source), "%s differs from %s" % (rel, source))


def helpoptions(exe):
    """Options, long options and environment variables that --help names."""
    out = text(run([exe, "--help"]).stdout)
    shorts = set(re.findall(r"^  (-[A-Za-z])\b", out, re.M))
    longs = set(re.findall(r"^  (--[a-z-]+)", out, re.M))
    env = out.split("Environment variables:\n", 1)[1]
    variables = set(re.findall(r"^  ([A-Z_]+) ", env, re.M))
    check(len(shorts) >= 11 and len(longs) >= 2 and len(variables) >= 4,
          "--help output not understood:\n" + out)
    return shorts, longs, variables


# The example project run from the examples of an installed tree. The
# destination is relative: the tool makes directories below the working
# directory whatever the destination begins with.
def runexamples(cmd, examples, workdir, env=None):
    out = os.path.join(workdir, "out")
    os.mkdir(out)
    proc = run(cmd + ["-v", "-d", "out", "-i", os.path.join(examples, "install.ins"),
                      os.path.join(examples, "src"), os.path.join(examples, "src2")],
               cwd=workdir, env=env)
    return proc, out


def checkexampleoutput(out, reference):
    """The installed example tree holds what the build under test installs."""
    eq(relfiles(out), relfiles(reference), "files installed from the examples")
    eq(readbytes(os.path.join(out, "bin/hello.exe")),
       readbytes(os.path.join(EXAMPLES, "src/hello.exe")), "bin/hello.exe")
    ini = text(readbytes(os.path.join(out, "etc/demo.ini")))
    check("greeting=Hello, world" in ini and "platform=windows" in ini
          and "platform=unix" not in ini, "etc/demo.ini not substituted:\n" + ini)


class Checks:
    def __init__(self, args, scratch):
        self.args = args
        self.scratch = scratch
        self.build = os.path.abspath(args.build)
        self.exe = os.path.join(self.build, "fileplacer")
        self.version = projectversion()
        self._reference = None
        self._deb = None

    def tmp(self, name):
        path = os.path.join(self.scratch, name)
        os.makedirs(path)
        return path

    def reference(self):
        """The example tree as the freshly built Linux program installs it."""
        if self._reference is None:
            work = self.tmp("reference")
            _, self._reference = runexamples([self.exe], EXAMPLES, work)
        return self._reference

    def deb(self):
        if self._deb is None:
            debs = glob.glob(os.path.join(self.build, "fileplacer_*.deb"))
            eq(len(debs), 1, "Debian packages in " + self.build)
            self._deb = debs[0]
        return self._deb

    # --- install rules -------------------------------------------------
    def test_cmake_install(self):
        prefix = self.tmp("prefix")
        run(["cmake", "--install", self.build, "--prefix", prefix])
        eq(relfiles(prefix), linuxtree(), "files of cmake --install")
        samecontent(prefix, linuxtree())
        mode = os.stat(os.path.join(prefix, "bin/fileplacer")).st_mode
        check(mode & stat.S_IXOTH, "bin/fileplacer is not executable")
        proc = run([os.path.join(prefix, "bin/fileplacer"), "--version"])
        eq(text(proc.stdout), "fileplacer %s\n" % self.version, "installed --version")

    def test_make_install(self):
        # PREFIX alone, and a staged install under DESTDIR.
        prefix = self.tmp("make-prefix")
        stage = self.tmp("make-stage")
        run(["make", "-s", "install", "PREFIX=" + prefix], cwd=ROOT, timeout=300)
        eq(relfiles(prefix), linuxtree(), "files of make install PREFIX=")
        run(["make", "-s", "install", "PREFIX=/opt/fp", "DESTDIR=" + stage], cwd=ROOT,
            timeout=300)
        eq(relfiles(stage), {"opt/fp/" + rel for rel in linuxtree()},
           "files of make install DESTDIR=")

    # --- Debian package --------------------------------------------------
    def test_deb_control(self):
        fields = {}
        for name in ("Package", "Version", "Architecture", "Section", "Priority",
                     "Maintainer", "Depends", "Description"):
            fields[name] = text(run(["dpkg-deb", "-f", self.deb(), name]).stdout).rstrip("\n")
        eq(fields["Package"], "fileplacer", "Package")
        eq(fields["Version"], self.version, "Version (the project version)")
        arch = text(run(["dpkg", "--print-architecture"]).stdout).strip()
        eq(fields["Architecture"], arch, "Architecture")
        eq(fields["Section"], "utils", "Section")
        eq(fields["Priority"], "optional", "Priority")
        check(re.fullmatch(r".+ <[^ >]+@[^ >]+>", fields["Maintainer"]),
              "Maintainer is not 'name <address>': %r" % fields["Maintainer"])
        summary, _, extended = fields["Description"].partition("\n")
        check(summary and len(summary) <= 80, "Description summary: %r" % summary)
        check(len(extended.splitlines()) >= 2 and all(l.startswith(" ") for l in
                                                       extended.splitlines()),
              "Description has no extended text: %r" % fields["Description"])
        eq(os.path.basename(self.deb()), "fileplacer_%s_%s.deb" % (self.version, arch),
           "package file name")

    def test_deb_depends(self):
        # Every shared library the program needs comes from a package that
        # Depends names.
        depends = text(run(["dpkg-deb", "-f", self.deb(), "Depends"]).stdout)
        named = {d.strip().split(" ")[0] for d in re.split(r"[,|]", depends) if d.strip()}
        ldd = text(run(["ldd", self.exe]).stdout)
        libs = re.findall(r"^\s*(\S+) => (/\S+)", ldd, re.M)
        check(libs, "ldd found no libraries:\n" + ldd)
        for soname, path in libs:
            candidates = [path, os.path.realpath(path)]
            candidates += ["/usr" + p for p in candidates if not p.startswith("/usr/")]
            owner = None
            for candidate in candidates:
                proc = run(["dpkg", "-S", candidate], ok=False)
                if proc.returncode == 0:
                    owner = text(proc.stdout).split(":")[0]
                    break
            if owner is None:
                continue  # not from a package (a library built here)
            check(owner in named, "%s comes from %s, which Depends does not name: %r"
                  % (soname, owner, depends))

    def test_deb_contents(self):
        listing = text(run(["dpkg-deb", "-c", self.deb()]).stdout)
        files, dirs = set(), set()
        for line in listing.splitlines():
            mode, owner, _, _, _, path = line.split(None, 5)
            eq(owner, "root/root", "owner of " + path)
            check(path.startswith("./usr/"), "package path outside /usr: " + path)
            if mode.startswith("d"):
                eq(mode, "drwxr-xr-x", "mode of " + path)
                dirs.add(path)
            else:
                want = "-rwxr-xr-x" if path == "./usr/bin/fileplacer" else "-rw-r--r--"
                eq(mode, want, "mode of " + path)
                files.add(path[len("./usr/"):])
        eq(files, linuxtree(), "files of the Debian package")
        check("./usr/share/man/man1/" in dirs, "no man1 directory in the package")

    def test_deb_copyright_and_changelog(self):
        # The copyright file in Debian's machine-readable form carries the
        # licence of LICENSE; the changelog's latest entry is this version.
        work = self.tmp("deb-extract")
        run(["dpkg-deb", "-x", self.deb(), work])
        doc = os.path.join(work, "usr/share/doc/fileplacer")
        copyright = text(readbytes(os.path.join(doc, "copyright")))
        head, _, licence = copyright.partition("License: Expat\n")
        check(head.startswith("Format: https://www.debian.org/doc/packaging-manuals/"
                              "copyright-format/1.0/\n") and "\nFiles: *\n" in head,
              "copyright is not machine-readable:\n" + copyright)
        body = text(readbytes(os.path.join(ROOT, "LICENSE"))).split("\n", 2)[2]
        unfolded = "\n".join("" if l == " ." else l[1:] for l in licence.rstrip("\n").split("\n"))
        eq(unfolded + "\n", body, "licence text of copyright")
        check("Copyright (c) 2026 the fileplacer developers" in body, "LICENSE names no holder")
        proc = run(["dpkg-parsechangelog", "-l", os.path.join(ROOT, "dist/changelog"),
                    "-S", "Version"])
        eq(text(proc.stdout).strip(), self.version, "latest changelog version")

    def test_deb_lintian(self):
        if shutil.which("lintian") is None:
            raise CheckFailed("lintian is not installed (apt-get install lintian)")
        proc = run(["lintian", "--tag-display-limit", "0", self.deb()], ok=False)
        tags = [l for l in text(proc.stdout).splitlines() if re.match(r"[EW]: ", l)]
        eq(tags, [], "lintian errors and warnings")

    def test_deb_install(self):
        # Installed into a scratch root with its own package database, run,
        # then removed without a trace.
        root = self.tmp("dpkg-root")
        admin = os.path.join(root, "var/lib/dpkg")
        for sub in ("info", "updates", "triggers"):
            os.makedirs(os.path.join(admin, sub))
        for name in ("status", "available"):
            open(os.path.join(admin, name), "w").close()
        dpkg = ["dpkg", "--root=" + root, "--force-not-root"]
        run(dpkg + ["--force-depends", "-i", self.deb()])
        listed = text(run(dpkg + ["-L", "fileplacer"]).stdout).split("\n")
        check("/usr/bin/fileplacer" in listed, "dpkg -L does not list /usr/bin/fileplacer")
        installed = os.path.join(root, "usr/bin/fileplacer")
        proc = run([installed, "--version"])
        eq(text(proc.stdout), "fileplacer %s\n" % self.version, "installed --version")
        examples = os.path.join(root, "usr/share/doc/fileplacer/examples")
        work = self.tmp("deb-run")
        proc, out = runexamples([installed], examples, work)
        check("+F" in text(proc.stdout), "no file listed as copied:\n" + text(proc.stdout))
        checkexampleoutput(out, self.reference())
        run(dpkg + ["-r", "fileplacer"])
        left = {os.path.relpath(p, root) for p in glob.glob(os.path.join(root, "*"))}
        eq(left, {"var"}, "left in the root after dpkg -r")

    # --- manual page -----------------------------------------------------
    def manpage(self):
        with open(os.path.join(ROOT, "docs/fileplacer.1")) as f:
            return f.read()

    def test_man_lint(self):
        page = os.path.join(ROOT, "docs/fileplacer.1")
        proc = run(["mandoc", "-T", "lint", "-W", "warning", page], ok=False)
        eq((proc.returncode, text(proc.stdout) + text(proc.stderr)), (0, ""), "mandoc -T lint")
        env = dict(os.environ, MANWIDTH="80", LC_ALL="C.UTF-8")
        proc = run(["man", "--warnings", "-l", page], env=env)
        eq(text(proc.stderr), "", "groff warnings")
        check("SYNOPSIS" in text(proc.stdout), "man did not format the page")

    def test_man_sections(self):
        sections = re.findall(r'^\.SH "?([^"\n]+)"?$', self.manpage(), re.M)
        eq(sections, ["NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "ENVIRONMENT", "FILES",
                      "EXIT STATUS", "EXAMPLES", "SEE ALSO"], "sections of the manual page")
        files = self.section("FILES")
        for name in ("install.ins", "types file", "manifest.txt", "manifest.sums", "perm."):
            check(name in files, "FILES does not name " + name)
        status = self.section("EXIT STATUS")
        eq(re.findall(r"^\.B ([0-9]+)$", status, re.M), ["0", "1", "2"], "exit statuses")

    def section(self, name):
        body = self.manpage().split(".SH %s\n" % name, 1)[1]
        return body.split("\n.SH ", 1)[0]

    def tags(self, name):
        """First words of the .TP tags of a section, '\\-' read as '-'."""
        found = re.findall(r"^\.TP\n\.[BI]+ (\S+)", self.section(name), re.M)
        return {t.replace("\\-", "-") for t in found}

    def test_man_options(self):
        # The page documents exactly the options and variables the program has.
        shorts, longs, variables = helpoptions(self.exe)
        options = {t for t in self.tags("OPTIONS") if t.startswith("-")}
        eq(options, shorts | longs, "options documented in OPTIONS")
        eq(self.tags("ENVIRONMENT"), variables, "variables documented in ENVIRONMENT")
        synopsis = self.section("SYNOPSIS").replace("\\-", "-")
        for option in shorts | longs:
            check(re.search(r"(^|[ \[])%s\b" % re.escape(option), synopsis, re.M),
                  "SYNOPSIS does not show " + option)

    # --- bash completion -------------------------------------------------
    def complete(self, script, words, cwd):
        code = ('source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(( $# - 1 )); '
                '_fileplacer; (( ${#COMPREPLY[@]} )) && printf "%s\\n" "${COMPREPLY[@]}"; true')
        proc = run(["bash", "--norc", "--noprofile", "-c", code, "bash", script] + words,
                   cwd=cwd)
        return set(text(proc.stdout).splitlines())

    def test_completion(self):
        # The installed script, in a directory with a subdirectory, a file and
        # a directory whose name has a blank.
        prefix = os.path.join(self.scratch, "prefix")
        if not os.path.isdir(prefix):
            prefix = self.tmp("prefix")
            run(["cmake", "--install", self.build, "--prefix", prefix])
        script = os.path.join(prefix, "share/bash-completion/completions/fileplacer")
        cwd = self.tmp("completion")
        for d in ("alpha", "a dir", "beta"):
            os.mkdir(os.path.join(cwd, d))
        open(os.path.join(cwd, "afile"), "w").close()

        proc = run(["bash", "--norc", "--noprofile", "-c", 'source "$1"; complete -p fileplacer',
                    "bash", script])
        eq(text(proc.stdout).strip(), "complete -F _fileplacer fileplacer", "registration")
        shorts, longs, _ = helpoptions(self.exe)
        cases = [
            (["fileplacer", "-"], shorts | longs),
            (["fileplacer", "--u"], {"--update", "--uninstall"}),
            (["fileplacer", "--ver"], {"--verify", "--version"}),
            (["fileplacer", "-d", "a"], {"alpha", "a dir"}),
            (["fileplacer", "-v", "-i", "a"], {"alpha", "a dir", "afile"}),
            (["fileplacer", "-l", ""], set()),
            (["fileplacer", "-D", ""], set()),
            # a value is taken whole, even when it begins with '-'
            (["fileplacer", "-d", "out", "--p"], {"--progress", "--prune"}),
            (["fileplacer", "-d", "-i", "a"], {"alpha", "a dir"}),
            (["fileplacer", "-dout", "-i", "a"], {"alpha", "a dir", "afile"}),
            # in a bundle, a value letter at the end takes the next word
            (["fileplacer", "-vnd", "a"], {"alpha", "a dir"}),
            (["fileplacer", "-vdout", "-i", "a"], {"alpha", "a dir", "afile"}),
            # source directories, and no options after the first of them
            (["fileplacer", "-v", ""], {"alpha", "a dir", "beta"}),
            (["fileplacer", "-v", "alpha", "-"], set()),
            (["fileplacer", "-v", "alpha", "b"], {"beta"}),
        ]
        for words, expected in cases:
            eq(self.complete(script, words, cwd), expected, "completions of %r" % words)

    # --- Windows zip -----------------------------------------------------
    def zippath(self):
        win = os.path.abspath(self.args.windows)
        zips = glob.glob(os.path.join(win, "fileplacer-*.zip"))
        eq(len(zips), 1, "zip archives in " + win)
        eq(os.path.basename(zips[0]), "fileplacer-%s-win64.zip" % self.version, "zip name")
        return zips[0]

    def test_zip_contents(self):
        top = "fileplacer-%s-win64/" % self.version
        with zipfile.ZipFile(self.zippath()) as z:
            names = [n for n in z.namelist() if not n.endswith("/")]
            check(all(n.startswith(top) for n in names), "zip entries outside %s: %r"
                  % (top, names))
            eq({n[len(top):] for n in names}, windowstree(), "files of the zip")
            readme = z.read(top + "README.txt")
            licence = z.read(top + "LICENSE.txt")
            exe = z.read(top + "bin/fileplacer.exe")
        check(exe.startswith(b"MZ"), "bin/fileplacer.exe is not a Windows program")
        lines = readme.split(b"\r\n")
        check(len(lines) > 5 and lines[-1] == b"", "README.txt does not end with CR LF")
        check(all(b"\n" not in l and b"\r" not in l for l in lines),
              "README.txt has a line end other than CR LF")
        check(("fileplacer %s" % self.version).encode() in readme,
              "README.txt does not name the version")
        eq(licence, readbytes(os.path.join(ROOT, "LICENSE")).replace(b"\n", b"\r\n"),
           "LICENSE.txt: LICENSE with CR LF line ends")

    def test_zip_runs(self):
        # Unpacked into a scratch directory and run under Wine from there,
        # with the first-run command of its README.txt.
        work = self.tmp("zip-run")
        with zipfile.ZipFile(self.zippath()) as z:
            z.extractall(work)
        top = os.path.join(work, "fileplacer-%s-win64" % self.version)
        proc = self.wine(top, ["bin/fileplacer.exe", "--version"])
        eq(text(proc.stdout), "fileplacer %s\r\n" % self.version, "--version under Wine")
        with open(os.path.join(top, "README.txt"), newline="") as f:
            readme = f.read()
        command = re.search(r"^  (bin\\fileplacer\.exe -v .*)\r$", readme, re.M)
        check(command is not None, "README.txt shows no first-run command")
        args = command.group(1).split()
        check("mkdir out\r\n" in readme, "README.txt does not make the destination first")
        os.mkdir(os.path.join(top, "out"))
        proc = self.wine(top, ["bin/fileplacer.exe"] + args[1:])
        out = os.path.join(top, "out")
        check("+F" in text(proc.stdout), "no file listed as copied:\n" + text(proc.stdout))
        checkexampleoutput(out, self.reference())
        manifest = readbytes(os.path.join(out, "manifest.txt"))
        check(manifest.count(b"\r\n") == manifest.count(b"\n") > 0,
              "manifest.txt of the Windows build has no CR LF line ends")

    def wine(self, cwd, cmd):
        env = dict(os.environ, WINEDEBUG="-all")
        for attempt in range(2):
            proc = run([self.args.wine] + cmd, cwd=cwd, env=env, ok=False)
            # Wine now and then fails to start a program at all; try once more.
            if not (not proc.stdout and proc.stderr.startswith(WINE_START_FAILURES)):
                break
        if proc.returncode != 0:
            raise CheckFailed("%s ended with status %d:\n%s" % (
                " ".join(cmd), proc.returncode, text(proc.stdout + proc.stderr)))
        return proc


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--build", required=True, help="the Linux build directory, packaged")
    p.add_argument("--windows", help="the Windows build directory, packaged")
    p.add_argument("--wine", help="the wine program (with --windows)")
    p.add_argument("-k", dest="filter", default=None, help="run only checks whose name has this")
    args = p.parse_args(argv)
    if args.windows and not args.wine:
        p.error("--windows needs --wine")

    passed = failed = skipped = 0
    scratch = tempfile.mkdtemp(prefix="fp-package-")
    try:
        checks = Checks(args, scratch)
        names = sorted(n for n in dir(checks) if n.startswith("test_"))
        for name in names:
            if args.filter and args.filter not in name:
                continue
            if name.startswith("test_zip") and not args.windows:
                print("SKIP %s: no Windows build" % name)
                skipped += 1
                continue
            try:
                getattr(checks, name)()
                print("ok   %s" % name)
                passed += 1
            except CheckFailed as e:
                print("FAIL %s: %s" % (name, e))
                failed += 1
            except Exception:
                print("FAIL %s:\n%s" % (name, traceback.format_exc()))
                failed += 1
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    print("%d passed, %d failed, %d skipped" % (passed, failed, skipped))
    return 1 if failed or passed == 0 else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
