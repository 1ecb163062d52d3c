#!/usr/bin/env python3
"""Checks of the benchmark harness itself (not part of `make check`):

    python3 bench/test_run.py [-v]

The trace parsers on fixed strace lines and on real traces of cp and rsync,
the tree comparison, and the generated tree installed by the tool
(FP_BENCH_EXE or build/fileplacer; skipped when it is not built).
"""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import run  # noqa: E402

EXE = os.environ.get("FP_BENCH_EXE", os.path.join(os.path.dirname(HERE), "build", "fileplacer"))

SUMMARY = """\
% time     seconds  usecs/call     calls    errors syscall
------ ----------- ----------- --------- --------- ----------------
 41.07    0.004107           2      2000           write
 30.00    0.003000           1      3001         4 newfstatat
  0.00    0.000000           0         1         1 access
------ ----------- ----------- --------- --------- ----------------
100.00    0.010000           1      5002         5 total
"""


class Parsers(unittest.TestCase):
    def test_summary_counts_every_call_but_the_total(self):
        self.assertEqual(run.parsesummary(SUMMARY),
                         {"write": 2000, "newfstatat": 3001, "access": 1})

    def test_source_reads_by_descriptor_path(self):
        src = "/t/src"
        lines = [
            'openat(AT_FDCWD</t>, "src/a", O_RDONLY) = 3</t/src/a>',
            'read(3</t/src/a>, ""..., 4096) = 4096',
            'read(3</t/src/a>, "", 4096) = 0',
            'openat(AT_FDCWD</t>, "src/missing", O_RDONLY) = -1 ENOENT (No such file or directory)',
            'openat(AT_FDCWD</t>, "src/d", O_RDONLY|O_DIRECTORY) = 7</t/src/d>',
            'openat(AT_FDCWD</t>, "srcx/b", O_RDONLY) = 4</t/srcx/b>',
            'read(4</t/srcx/b>, ""..., 100) = 100',             # beside src, not in it
            'read(5</t/install.ins>, ""..., 50) = 50',
            '1234  pread64(3</t/src/a>, ""..., 10, 0) = 10',    # with a pid in front
            'copy_file_range(3</t/src/a>, NULL, 6</t/dest/a>, NULL, 700, 0) = 700',
            'copy_file_range(6</t/dest/a>, NULL, 3</t/src/a>, NULL, 9, 0) = 9',  # into src
            'sendfile(6</t/dest/a>, 3</t/src/a>, NULL, 20) = 20',
            'mmap(NULL, 8192, PROT_READ, MAP_PRIVATE, 3</t/src/a>, 0) = 0x7f0000000000',
            'read(3</t/src/a>, 0x7ffc, 4096) = -1 EISDIR (Is a directory)',
        ]
        opened, nbytes = run.parsesourcereads(lines, src)
        self.assertEqual(opened, 1)
        self.assertEqual(nbytes, 4096 + 10 + 700 + 20 + 8192)


class Traces(unittest.TestCase):
    """Real traces: what cp and rsync read from a small tree is its size."""

    def setUp(self):
        if not shutil.which("strace"):
            self.skipTest("strace is not installed")
        self.work = tempfile.mkdtemp(prefix="fpbench-test-")
        self.case = run.Case(os.path.join(self.work, "tree"), 6, 2, 1000, 1)
        os.makedirs(self.case.root)
        self.case.make()
        os.makedirs(os.path.join(self.work, "trace"))
        self.out = os.path.join(self.work, "trace", "t")

    def tearDown(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def reads(self, cmd):
        return run.sourcereads(cmd, self.case.root, (0,), self.case.src, self.out)

    def test_cp_reads_every_source_byte(self):
        self.case.reset("cp")
        self.assertEqual(self.reads(run.cpcmd(self.case, "cp")), (6, 6000))

    def test_rsync_reads_are_summed_over_its_processes(self):
        if not shutil.which("rsync"):
            self.skipTest("rsync is not installed")
        self.case.reset("rsync")
        opened, nbytes = self.reads(run.rsynccmd(self.case, "rsync"))
        self.assertEqual(nbytes, 6000)
        self.assertGreaterEqual(opened, 6)
        # The no-op re-run compares times and sizes only.
        self.assertEqual(self.reads(run.rsynccmd(self.case, "rsync"))[1], 0)

    def test_summary_of_cp(self):
        self.case.reset("cp")
        counts = run.syscalls(run.cpcmd(self.case, "cp"), self.case.root, (0,), self.out)
        self.assertGreaterEqual(counts.get("openat", 0), 12)  # each source and each copy


class Trees(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="fpbench-test-")
        self.case = run.Case(os.path.join(self.work, "tree"), 12, 3, 300, 1)
        os.makedirs(self.case.root)
        self.case.make()

    def tearDown(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def test_generated_files_differ_and_inputs_list_each_once(self):
        files, dirs = run.listtree(self.case.src, False)
        self.assertEqual((len(files), dirs), (12, {"d0", "d1", "d2"}))
        contents = set()
        for rel in files:
            with open(os.path.join(self.case.src, rel), "rb") as f:
                contents.add(f.read())
        self.assertEqual(len(contents), 12)
        self.assertEqual({len(c) for c in contents}, {300})
        with open(self.case.ins) as f:
            lines = f.read().splitlines()
        self.assertEqual(lines[0], "fileplacer types.txt")
        self.assertEqual(sorted(line.split()[2] for line in lines[1:]), sorted(files))

    def test_sametree_finds_each_kind_of_difference(self):
        self.case.reset("copy")
        copy = self.case.dest("copy")
        subprocess.run(["cp", "-r", self.case.src + "/.", copy], check=True)
        self.assertIsNone(run.sametree(self.case.src, copy, False))
        with open(os.path.join(copy, "manifest.txt"), "w") as f:
            f.write("x")
        self.assertIn("1 extra files", run.sametree(self.case.src, copy, False))
        self.assertIsNone(run.sametree(self.case.src, copy, True))  # the tool's own file
        victim = os.path.join(copy, "d1", sorted(os.listdir(os.path.join(copy, "d1")))[0])
        with open(victim, "r+b") as f:
            f.seek(299)
            f.write(b"\0" if f.read(1) != b"\0" else b"\1")
        self.assertIn("1 files differ", run.sametree(self.case.src, copy, True))
        os.unlink(victim)
        self.assertIn("1 files missing", run.sametree(self.case.src, copy, True))
        os.mkdir(os.path.join(copy, "d9"))
        self.assertIn("1 extra directories", run.sametree(self.case.src, copy, True))

    def test_tool_installs_the_tree_as_it_stands(self):
        if not os.access(EXE, os.X_OK):
            self.skipTest("no binary at %s" % EXE)
        self.case.reset("tool")
        run.run(run.toolcmd(EXE, self.case, "tool"), self.case.root)
        self.assertIsNone(run.sametree(self.case.src, self.case.dest("tool"), True))
        self.assertTrue(os.path.exists(os.path.join(self.case.dest("tool"), "manifest.txt")))


if __name__ == "__main__":
    unittest.main()
