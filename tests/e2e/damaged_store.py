#!/usr/bin/env python3
"""The programs on a machine whose registry store is damaged: the Installer
ends as its failure handling says, and vtn2-machine names the file and the
line and exits 1, the store left as it was. Prints "N passed, N failed"."""
import argparse
import os
import subprocess
import sys
import tempfile

FIXTURES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fixtures")
NOT_FOUND = (b"VLQ Veltrane 2 software installation\n\r"
             b"The Veltrane II device was not found.\n"
             b"Check the USB cable connection of the VTN II.\n\nInstallation failed\n")


def label(command):
    return command[0] if command[0] == "restart" else " ".join(command[:2])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True)
    options = parser.parse_args()
    tool = os.path.join(options.build, "vtn2-machine")
    setup = os.path.join(options.build, "setup")
    passed, failed = 0, 0
    with tempfile.TemporaryDirectory(prefix="vtn2-damaged-") as work:
        root = os.path.join(work, "machine")
        subprocess.run([tool, "init", root], check=True)
        subprocess.run([tool, "reg", "import", root, os.path.join(FIXTURES, "adapter-hid.reg")],
                       check=True)
        store = os.path.join(root, "registry")
        with open(store, "rb") as f:
            damaged = f.read().replace(b"\n", b"\r\n")
        with open(store, "wb") as f:
            f.write(damaged)
        where = store + ":1: carriage return"
        env = dict(os.environ, VTN2_MACHINE=root)
        checks = []
        try:
            done = subprocess.run([setup, "/H"], env=env, capture_output=True, timeout=60)
            checks.append(("setup /H ends with 8, adapter not found", done.returncode == 8 and
                           done.stdout == NOT_FOUND, done))
            checks.append(("setup names the store's line once", done.stderr.decode().count(where)
                           == 1, done))
        except subprocess.TimeoutExpired:
            checks.append(("setup /H ends", False, None))
        for command in (["reg", "export", root, "HKLM"],
                        ["reg", "import", root, os.path.join(FIXTURES, "old-software.reg")],
                        ["reg", "sddl", root, "HKLM\\SYSTEM"], ["restart", root]):
            try:
                done = subprocess.run([tool] + command, capture_output=True, timeout=60)
                checks.append(("vtn2-machine %s exits 1 naming the line" % label(command),
                               done.returncode == 1 and done.stderr.decode() ==
                               "vtn2-machine: %s in the line (CRLF line ends?)\n" % where, done))
            except subprocess.TimeoutExpired:
                checks.append(("vtn2-machine %s ends" % label(command), False, None))
        with open(store, "rb") as f:
            checks.append(("the store is never repaired", f.read() == damaged, None))
    for name, ok, done in checks:
        print(("ok    " if ok else "FAIL  ") + name)
        if not ok and done is not None:
            print("      exit %s\n      stdout %r\n      stderr %r" % (done.returncode, done.stdout,
                                                                     done.stderr))
        passed, failed = passed + ok, failed + (not ok)
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
