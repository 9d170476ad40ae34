#!/usr/bin/python
"""Stands in for ansible.windows.win_stat on the emulated machine: whether
the file exists and, as the module does from 1.7.1 on, its last-write time
in seconds since 1970, UTC."""
import os
import sys

# WANT_JSON: Ansible hands this module its arguments as a file (standin_module).
sys.path.insert(0, os.environ["VTN2_ANSIBLE_UTILS"])
from standin_module import finish, host_path, module  # noqa: E402


def main():
    m = module("win_stat", {"path", "get_checksum", "get_size"})
    path = host_path(m.params["path"])
    if not path or not os.path.exists(path):
        finish(m, changed=False, stat={"exists": False})
    info = os.stat(path)
    stat = {"exists": True, "path": m.params["path"], "isdir": os.path.isdir(path),
            "isreg": os.path.isfile(path), "lastwritetime": info.st_mtime,
            "filename": os.path.basename(m.params["path"].replace("\\", "/"))}
    if m.params["get_size"]:
        stat["size"] = info.st_size
    finish(m, changed=False, stat=stat)


if __name__ == "__main__":
    main()
