#!/usr/bin/python
"""Stands in for ansible.windows.win_package on the emulated machine: runs
the program at path (an executable, which the module always runs when no
product_id or creates_* says it is installed) with the arguments, and
succeeds for the return codes expected, as the module does."""
import os
import struct
import subprocess
import sys
import tempfile

# WANT_JSON: Ansible hands this module its arguments as a file (standin_module).
sys.path.insert(0, os.environ["VTN2_ANSIBLE_UTILS"])
from standin_module import finish, host_path, log, module  # noqa: E402


def main():
    m = module("win_package", {"path", "arguments", "expected_return_code", "state"})
    if m.params["state"] != "present":
        finish(m, fail="the stand-in of win_package models state=present only", changed=False)
    program = host_path(m.params["path"] or "")
    if not program or not os.path.isfile(program):
        finish(m, fail="the file at the path '%s' cannot be reached" % m.params["path"],
               changed=False, reboot_required=False)
    arguments = m.params["arguments"] or []
    if not isinstance(arguments, list):
        arguments = str(arguments).split()
    arguments = [str(a) for a in arguments]
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        # A program that SETUP.EXE leaves running would hold a pipe open.
        rc = subprocess.run([program] + arguments, stdin=subprocess.DEVNULL, stdout=out,
                            stderr=err, cwd=os.path.dirname(program)).returncode
        out.seek(0)
        err.seek(0)
        stdout, stderr = out.read().decode(errors="replace"), err.read().decode(errors="replace")
    # The exit code as Windows gives it, a 32-bit value read as signed.
    rc = struct.unpack("<i", struct.pack("<I", rc & 0xFFFFFFFF))[0]
    command = " ".join([m.params["path"]] + arguments)
    log("%s -> %d" % (" ".join([os.path.basename(program).upper()] + arguments), rc))
    if rc not in m.params["expected_return_code"]:
        finish(m, fail="unexpected rc from '%s': see rc, stdout, and stderr for more details"
               % command, rc=rc, stdout=stdout, stderr=stderr, changed=False,
               reboot_required=False)
    # Else Ansible takes a return code other than 0 for a failure.
    finish(m, changed=True, failed=False, rc=rc, reboot_required=rc == 3010)


if __name__ == "__main__":
    main()
