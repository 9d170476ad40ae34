#!/usr/bin/python
"""Stands in for ansible.windows.win_reg_stat on the emulated machine's
registry: whether a key, or a value of it, exists."""
import os
import re
import sys

# WANT_JSON: Ansible hands this module its arguments as a file (standin_module).
sys.path.insert(0, os.environ["VTN2_ANSIBLE_UTILS"])
from standin_module import finish, machine_tool, module  # noqa: E402


def main():
    m = module("win_reg_stat", {"path", "name"})
    path, name = m.params["path"], m.params["name"]
    if not re.match(r"^HK(CC|CR|CU|LM|U):\\", path):
        finish(m, fail="path: %s is not a valid registry path, see module documentation for "
               "examples." % path, changed=False)
    exported = machine_tool("reg", "export", os.environ["VTN2_MACHINE"],
                            path.replace(":", "", 1).rstrip("\\"))
    # The key's own values come first, up to its first subkey.
    own = exported.stdout.split("\n[", 2)[:2][-1] if exported.returncode == 0 else None
    if own is None:
        finish(m, changed=False, exists=False)
    if name is None:
        finish(m, changed=False, exists=True)
    value = re.search(r'^"%s"=' % re.escape(name), own, re.M | re.I)
    finish(m, changed=False, exists=bool(value))


if __name__ == "__main__":
    main()
