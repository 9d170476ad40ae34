#!/usr/bin/env python3
"""A whole installation as a person sees it, on a fresh demo machine.

The machine has the adapter plugged in, the old software installed (its
programs and service keys) and its management service running as a program
of the machine, which holds its file as Windows holds a running program's. The
Installer runs at the console from a distribution folder, without switches;
afterwards the demo shows what changed.
"""
import os
import shutil
import subprocess
import sys

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(TOP, "tools"))
from machine_helpers import (DIST_FILES, DIST_TIME, OLD_SOFTWARE, OLD_TIME,  # noqa: E402
                             SERVICES, SESSION_MANAGER, SYS, file_content, put_file,
                             reg_keys_below, reg_multi_string, resolve, start_program,
                             system_files, windows_form)

BUILD = os.path.join(TOP, "build", "native")
DEMO = os.path.join(TOP, "build", "demo")
STANDIN = os.path.join(BUILD, "standin")
# The adapter's device keys and the old software's service keys, the same as
# the end-to-end scenarios' machines have.
FIXTURES = [os.path.join(TOP, "tests", "e2e", "fixtures", name)
            for name in ("adapter-hid.reg", "old-software.reg")]

SERVICE = SYS + "VLQSPSVC.EXE -service"


class Machine:
    """The demo's emulated machine, made and read through vtn2-machine, with
    the distribution in a folder beside it."""

    def __init__(self, work):
        self.tool = os.path.join(BUILD, "vtn2-machine")
        self.root = os.path.join(work, "machine")
        self.drive_c = os.path.join(self.root, "drive_c")
        self.dist = os.path.join(work, "dist")
        self.log = os.path.join(work, "standin.log")
        self.env = dict(os.environ, VTN2_MACHINE=self.root, VTN2_STANDIN_LOG=self.log)

    def set_up(self):
        """The machine with the adapter and the old software, the
        distribution, and the old management service running; returns its
        process."""
        subprocess.run([self.tool, "init", self.root], check=True)
        # A pause of the Installer's wait for a program (500 s) always
        # outlasts a program that ends, so that the wait shows one dot at most.
        with open(os.path.join(self.root, "clock"), "w") as f:
            f.write("scale 100\n")
        for fixture in FIXTURES:
            subprocess.run([self.tool, "reg", "import", self.root, fixture], check=True)
        for windows_path, text in OLD_SOFTWARE.items():
            put_file(resolve(self.drive_c, windows_path), file_content(text, STANDIN), OLD_TIME)
        os.makedirs(self.dist)
        shutil.copy(os.path.join(BUILD, "setup"), os.path.join(self.dist, "SETUP.EXE"))
        os.utime(os.path.join(self.dist, "SETUP.EXE"), (DIST_TIME, DIST_TIME))
        for name, text in DIST_FILES.items():
            put_file(os.path.join(self.dist, name), file_content(text, STANDIN), DIST_TIME)
        program, argument = SERVICE.split()
        return start_program([resolve(self.drive_c, program), argument], self.env, self.log,
                             "VLQSPSVC.EXE -service")

    def export(self, key):
        return subprocess.run([self.tool, "reg", "export", self.root, key], capture_output=True,
                              check=True).stdout.decode("utf-8")

    def standin_log(self):
        with open(self.log, encoding="latin-1") as f:
            return [line.rstrip("\r\n") for line in f]


def heading(text):
    print("\n\033[1m== %s\033[0m" % text if sys.stdout.isatty() else "\n== " + text)


def service_keys(machine):
    return sorted(k for k in reg_keys_below(machine.export(SERVICES), SERVICES) if "vlq" in k)


def listing(machine):
    files = {}
    for windows_path, path in system_files(machine.drive_c).items():
        stat = os.stat(path)
        files[windows_path] = (stat.st_size, int(stat.st_mtime))
    return files


def main():
    shutil.rmtree(DEMO, ignore_errors=True)
    os.makedirs(DEMO)
    machine = Machine(DEMO)
    service = machine.set_up()

    heading("The demo machine (VTN2_MACHINE=%s)" % machine.root)
    print("Adapter plugged in: HID\\VID_2F1D&PID_7C01. Old software's service keys:")
    keys_before = service_keys(machine)
    for key in keys_before:
        print("   HKLM\\...\\Services\\" + key)
    print("Its management service is running: " + SERVICE)
    before = listing(machine)

    heading("Distribution folder " + windows_form(machine.dist))
    for name in sorted(os.listdir(machine.dist)):
        print("   %-14s %8d bytes" % (name, os.path.getsize(os.path.join(machine.dist, name))))

    heading("SETUP.EXE, run at the console without switches")
    sys.stdout.flush()
    program = os.path.join(machine.dist, "SETUP.EXE")
    code = subprocess.run([windows_form(program)], executable=program, env=machine.env,
                          cwd=machine.dist).returncode
    service.kill()
    service.wait()
    print()
    meaning = {0: "done", 1: "done, restart the server", 2: "failed", 8: "adapter not found",
               16: "adapter not reachable, software installed"}
    heading("Exit code %d: %s" % (code, meaning.get(code, "?")))

    heading("Files placed or replaced")
    after = listing(machine)
    for path in sorted(after):
        if after[path] != before.get(path):
            print("   %-52s %8d bytes" % (path, after[path][0]))
    heading("Service keys")
    remaining = service_keys(machine)
    for key in keys_before:
        if key not in remaining:
            print("   removed  " + key)
    for key in remaining:
        print("   %-8s %s" % ("kept" if key in keys_before else "added", key))
    heading("Moves waiting for the restart (PendingFileRenameOperations)")
    moves = reg_multi_string(machine.export(SESSION_MANAGER), "PendingFileRenameOperations")
    for source, dest in zip(moves[::2], moves[1::2]):
        print("   %s\n      -> %s" % (source, dest))
    heading("Programs the Installer ran")
    for line in machine.standin_log():
        if not line.endswith(" -service"):
            print("   " + line)
    print("\nSee them yourself: build/native/vtn2-machine reg export %s 'HKLM\\SYSTEM' | less"
          % machine.root)
    return 0


if __name__ == "__main__":
    sys.exit(main())
