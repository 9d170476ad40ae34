#!/usr/bin/python
"""Stands in for ansible.windows.win_reboot on the emulated machine: ends
the machine's programs (the process ids in the file VTN2_PROGRAMS names)
and does to its files what a restart does (vtn2-machine restart)."""
import os
import signal
import sys
import time

# WANT_JSON: Ansible hands this module its arguments as a file (standin_module).
sys.path.insert(0, os.environ["VTN2_ANSIBLE_UTILS"])
from standin_module import finish, log, machine_tool, module  # noqa: E402


def ended(pid):
    try:
        with open("/proc/%d/stat" % pid, encoding="latin-1") as f:
            return f.read().rsplit(")", 1)[1].split()[0] in ("Z", "X")
    except OSError:
        return True


def main():
    m = module("win_reboot", {"msg", "reboot_timeout", "pre_reboot_delay", "post_reboot_delay",
                              "connect_timeout", "boot_time_command"})
    pids = []
    if os.environ.get("VTN2_PROGRAMS") and os.path.exists(os.environ["VTN2_PROGRAMS"]):
        with open(os.environ["VTN2_PROGRAMS"], encoding="utf-8") as f:
            pids = [int(line) for line in f if line.strip()]
    for pid in pids:
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    deadline = time.monotonic() + m.params["reboot_timeout"]
    while not all(ended(pid) for pid in pids):
        if time.monotonic() > deadline:
            finish(m, fail="the machine's programs did not end", changed=False, rebooted=False)
        time.sleep(0.02)
    done = machine_tool("restart", os.environ["VTN2_MACHINE"])
    if done.returncode != 0:
        finish(m, fail="vtn2-machine restart: " + done.stderr.strip(), changed=True,
               rebooted=False)
    log("restart")
    finish(m, changed=True, rebooted=True, elapsed=0)


if __name__ == "__main__":
    main()
