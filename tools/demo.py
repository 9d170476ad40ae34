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
sys.path.insert(0, os.path.join(TOP, "tests", "e2e"))
from run import (SERVICES, SESSION_MANAGER, Native, reg_keys_below,  # noqa: E402
                 reg_multi_string, set_up, system_files, windows_form)
from scenarios import OLD_FILES, OLD_KEYS, SYS, row  # noqa: E402

SERVICE = SYS + "VLQSPSVC.EXE -service"

BUILD = os.path.join(TOP, "build", "native")
DEMO = os.path.join(TOP, "build", "demo")


def heading(text):
    print("\n\033[1m== %s\033[0m" % text if sys.stdout.isatty() else "\n== " + text)


def service_keys(machine):
    return sorted(k for k in reg_keys_below(machine.export(SERVICES), SERVICES) if "vlq" in k)


def listing(machine):
    files = {}
    for windows_path, path in system_files(machine).items():
        stat = os.stat(path)
        files[windows_path] = (stat.st_size, int(stat.st_mtime))
    return files


def main():
    shutil.rmtree(DEMO, ignore_errors=True)
    os.makedirs(DEMO)
    machine = Native(DEMO, BUILD, None)
    scenario = row("demo", ["adapter-hid.reg"] + OLD_KEYS, [], 1, "", dist=True, system=OLD_FILES,
                   running=SERVICE)
    processes = set_up(machine, scenario)

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
    for process in processes:
        process.kill()
        process.wait()
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
