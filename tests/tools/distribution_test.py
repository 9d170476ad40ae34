#!/usr/bin/env python3
"""tools/distribution.py on a made-up distribution: accepted, with the rule
it writes, and refused, a row for each way a file can be wrong."""
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

import yaml

HERE = os.path.dirname(os.path.abspath(__file__))
TOOL = os.path.join(HERE, "..", "..", "tools", "distribution.py")
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
import detection  # noqa: E402
import distribution  # noqa: E402

X64, I386 = 0x8664, 0x14C
PROGRAM, DLL = 0x0022, 0x2022  # executable image (large-address aware), and a DLL


def made_up(machine, characteristics, tail=b""):
    data = bytearray(0x100)
    data[0:2] = b"MZ"
    struct.pack_into("<I", data, 0x3C, 0x40)
    data[0x40:0x44] = b"PE\0\0"
    struct.pack_into("<H", data, 0x44, machine)
    struct.pack_into("<H", data, 0x40 + 22, characteristics)
    return bytes(data) + tail


# Times a minute apart and not on the minute, so that each row shows
# which release file it was taken from, rounded down.
GOOD = {
    "SETUP.EXE": (made_up(X64, PROGRAM, b"setup"), 1700000000),
    "VLQSPW.DLL": (made_up(X64, DLL), 1700000059),
    "VLQSPW32.DLL": (made_up(I386, DLL), 1700000119),
    "VLQSPREM.EXE": (made_up(X64, PROGRAM, b"rem"), 1700000179),
    "vlqspsvc.exe": (made_up(I386, PROGRAM, b"svc"), 1700000239),
}
SINCE = {"VLQSPW.DLL": 1700000040, "VLQSPW32.DLL": 1700000100, "VLQSPREM.EXE": 1700000160,
         "VLQSPSVC.EXE": 1700000220}

# (name, files changed (None: removed), environment, how the one line starts)
REFUSED = [
    ("missing file", {"VLQSPREM.EXE": None}, {}, "VLQSPREM.EXE: missing"),
    ("another build's SETUP.EXE", {"SETUP.EXE": made_up(X64, PROGRAM, b"other")}, {},
     "SETUP.EXE: not this build's"),
    ("unsigned SETUP.EXE where a signature is required", {}, {"VTN2_SIGN_REQUIRED": "1"},
     "SETUP.EXE: not signed, and VTN2_SIGN_REQUIRED=1 requires a signature"),
    ("64-bit library under the 32-bit name", {"VLQSPW32.DLL": made_up(X64, DLL)}, {},
     "VLQSPW32.DLL: a 64-bit (x64) DLL, expected a 32-bit (i386) DLL"),
    ("32-bit library under the 64-bit name", {"VLQSPW.DLL": made_up(I386, DLL)}, {},
     "VLQSPW.DLL: a 32-bit (i386) DLL, expected a 64-bit (x64) DLL"),
    ("program under the library's name", {"VLQSPW.DLL": made_up(X64, PROGRAM)}, {},
     "VLQSPW.DLL: a 64-bit (x64) program, expected a 64-bit (x64) DLL"),
    ("DLL under a program's name", {"vlqspsvc.exe": made_up(X64, DLL)}, {},
     "VLQSPSVC.EXE: a 64-bit (x64) DLL, expected a program"),
    ("object file, not an image", {"VLQSPREM.EXE": made_up(X64, 0)}, {},
     "VLQSPREM.EXE: not an executable image"),
    ("text", {"VLQSPREM.EXE": b"MZ but nothing more"}, {}, "VLQSPREM.EXE: not a PE file"),
]


class Distribution(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="vtn2-distribution-")
        self.addCleanup(shutil.rmtree, self.work)
        self.dist = os.path.join(self.work, "dist")
        self.release = os.path.join(self.work, "release")
        self.out = os.path.join(self.work, "out")
        for folder in (self.dist, self.release, self.out):
            os.makedirs(folder)
        self.put(GOOD)
        digest = distribution.sha256(os.path.join(self.dist, "SETUP.EXE"))
        with open(os.path.join(self.release, "SHA256SUMS"), "w") as f:
            f.write("%s  SETUP.EXE\n%s  SETUP.EXE.debug\n" % (digest, "0" * 64))
        with open(os.path.join(self.out, "previous"), "w") as f:
            f.write("the previous release's\n")

    def put(self, files):
        for name, (data, mtime) in files.items():
            path = os.path.join(self.dist, name)
            if data is None:
                os.unlink(path)
                continue
            with open(path, "wb") as f:
                f.write(data)
            os.utime(path, (mtime, mtime))

    def run_tool(self, env=()):
        # A zone west of UTC: the rule's times must not move with it.
        return subprocess.run([sys.executable, TOOL, "--release", self.release, "--out", self.out,
                               self.dist], capture_output=True, text=True,
                              env={**os.environ, "TZ": "America/Los_Angeles",
                                   "VTN2_SIGN_REQUIRED": "0", **dict(env)})

    def test_accepted_release_gets_its_rule_in_each_form(self):
        done = self.run_tool()
        self.assertEqual((done.returncode, done.stderr), (0, ""))
        self.assertEqual(sorted(os.listdir(self.out)), sorted(
            distribution.FILES + ["SHA256SUMS", "detection-rule.json", "detection-rule.txt",
                                  "vtn2_release.yml"]))
        for name, (data, mtime) in GOOD.items():
            copy = os.path.join(self.out, name.upper())
            with open(copy, "rb") as f:
                self.assertEqual(f.read(), data)
            self.assertEqual(os.stat(copy).st_mtime, mtime)
        subprocess.run(["sha256sum", "--quiet", "-c", "SHA256SUMS"], cwd=self.out, check=True)
        rule = detection.rule()
        expected = [(path, SINCE[source]) for path, source in rule]
        with open(os.path.join(self.out, "vtn2_release.yml")) as f:
            play_vars = yaml.safe_load(f)["vtn2_release"]
        self.assertEqual([(v["path"], v["since"]) for v in play_vars], expected)
        with open(os.path.join(self.out, "detection-rule.json")) as f:
            rows = json.load(f)["rule"]
        self.assertEqual([(r["folder"] + "\\" + r["file"], r["since"]) for r in rows], expected)
        # 1700000040 is 2023-11-14 22:14 UTC, 14:14 in Los Angeles.
        self.assertEqual(rows[0]["utc"], "2023-11-14 22:14")
        with open(os.path.join(self.out, "detection-rule.txt")) as f:
            rows = [line.split()[:4] for line in f.read().splitlines()]
        self.assertIn(["%windir%\\SysWOW64", "VLQSPW.DLL", "2023-11-14", "22:15"], rows)

    def test_wrong_distribution_is_refused_naming_the_file(self):
        for name, changes, env, line in REFUSED:
            with self.subTest(name):
                self.setUp()
                self.put({n: (data, 1700000000) for n, data in changes.items()})
                done = self.run_tool(env)
                self.assertEqual(done.returncode, 2)
                self.assertEqual(len(done.stderr.splitlines()), 1, done.stderr)
                self.assertTrue(done.stderr.startswith("distribution: " + line), done.stderr)
                self.assertEqual(os.listdir(self.out), ["previous"])


if __name__ == "__main__":
    unittest.main()
