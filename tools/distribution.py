#!/usr/bin/env python3
"""Checks the distribution folder as the vendor ships it and writes the
release's detection rule beside a copy of it.

    tools/distribution.py [--release build/release] [--out build/distribution] FOLDER

FOLDER must hold SETUP.EXE (this build's, by its SHA-256 in the release's
SHA256SUMS, and signed when VTN2_SIGN_REQUIRED=1), VLQSPW.DLL (a 64-bit
DLL), VLQSPW32.DLL (a 32-bit DLL), VLQSPREM.EXE and VLQSPSVC.EXE (programs).
Each wrong or missing file gives one line naming it, exit status 2, and the
output folder as it was. Else the output folder is replaced by: the five
files with their times, detection-rule.txt (for Configuration Manager and
Intune), vtn2_release.yml (the Ansible play's variables), detection-rule.json
(for scripts) and SHA256SUMS over all of them.
"""
import argparse
import datetime
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pe  # noqa: E402

FILES = ["SETUP.EXE", "VLQSPW.DLL", "VLQSPW32.DLL", "VLQSPREM.EXE", "VLQSPSVC.EXE"]
# What each file must be: (machine or None for any, a DLL or a program).
KINDS = {
    "VLQSPW.DLL": ("x64", True),
    "VLQSPW32.DLL": ("i386", True),
    "VLQSPREM.EXE": (None, False),
    "VLQSPSVC.EXE": (None, False),
}
# The detection rule: the files SETUP.EXE places on a server, each from the
# release's file whose time it keeps. docs/deployment.md's table says the same.
RULE = [
    ("C:\\Windows\\System32", "VLQSPW.DLL", "VLQSPW.DLL"),
    ("C:\\Windows\\System32", "VLQSPREM.EXE", "VLQSPREM.EXE"),
    ("C:\\Windows\\System32", "VLQSPSVC.EXE", "VLQSPSVC.EXE"),
    ("C:\\Windows\\SysWOW64", "VLQSPW.DLL", "VLQSPW32.DLL"),
]


WIDTHS = {"x64": "64-bit (x64)", "i386": "32-bit (i386)"}


def describe(machine, dll):
    name = pe.MACHINES.get(machine, "machine 0x%04X" % machine)
    return "a %s %s" % (WIDTHS.get(name, name), "DLL" if dll else "program")


def kind_problem(path, name):
    """What is wrong with a library or program of the distribution, or None."""
    machine_wanted, dll_wanted = KINDS[name]
    with open(path, "rb") as f:
        data = f.read()
    try:
        machine, characteristics = pe.file_header(data)
    except ValueError:
        return "not a PE file"
    is_dll = bool(characteristics & pe.IMAGE_FILE_DLL)
    executable = bool(characteristics & pe.IMAGE_FILE_EXECUTABLE_IMAGE)
    if not executable:
        return "not an executable image"
    if is_dll == dll_wanted and machine_wanted in (None, pe.MACHINES.get(machine)):
        return None
    wanted = "a %s%s" % (WIDTHS[machine_wanted] + " " if machine_wanted else "",
                         "DLL" if dll_wanted else "program")
    return "%s, expected %s" % (describe(machine, is_dll), wanted)


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 16), b""):
            digest.update(block)
    return digest.hexdigest()


def setup_problem(path, release):
    sums = os.path.join(release, "SHA256SUMS")
    try:
        with open(sums, encoding="utf-8") as f:
            wanted = {name.lstrip("*"): digest for digest, name in
                      (line.split(None, 1) for line in f.read().split("\n") if line.strip())}
    except OSError:
        return "no %s to compare with (make release first)" % sums
    if wanted.get("SETUP.EXE", "").strip() != sha256(path):
        return "not this build's (its SHA-256 is not the one in %s)" % sums
    if os.environ.get("VTN2_SIGN_REQUIRED") == "1":
        with tempfile.TemporaryDirectory() as work:
            extracted = subprocess.run(
                ["osslsigncode", "extract-signature", "-in", path,
                 "-out", os.path.join(work, "signature")],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0
        if not extracted:
            return "not signed, and VTN2_SIGN_REQUIRED=1 requires a signature"
    return None


def find(folder):
    """{name: path} of the distribution's files, their names matched
    without regard to case, as Windows matches them."""
    found = {}
    for entry in os.listdir(folder):
        path = os.path.join(folder, entry)
        if entry.upper() in FILES and os.path.isfile(path):
            found[entry.upper()] = path
    return found


def problems(found, release):
    lines = []
    for name in FILES:
        if name not in found:
            lines.append("%s: missing" % name)
            continue
        problem = (setup_problem(found[name], release) if name == "SETUP.EXE"
                   else kind_problem(found[name], name))
        if problem:
            lines.append("%s: %s" % (name, problem))
    return lines


def since(mtime):
    """A release file's time as the rule takes it: UTC, down to the minute."""
    return int(mtime) // 60 * 60


def rule_rows(times):
    """The rule's rows, from the release files' last-write times ({name: seconds})."""
    rows = []
    for folder, name, source in RULE:
        seconds = since(times[source])
        utc = datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc)
        rows.append({"folder": folder, "file": name, "release_file": source,
                     "utc": utc.strftime("%Y-%m-%d %H:%M"), "since": seconds})
    return rows


def ansible_vars(rows):
    """The Ansible play's variables file."""
    lines = ["# This release's detection rule (make distribution): each file SETUP.EXE",
             "# places, and its release file's last-write time, UTC, down to the minute,",
             "# in seconds since 1970.",
             "vtn2_release:"]
    for row in rows:
        lines.append("  - { path: '%s\\%s', since: %d }  # %s UTC" % (
            row["folder"], row["file"], row["since"], row["utc"]))
    return "\n".join(lines) + "\n"


def rule_text(rows):
    """The rule for the consoles of Configuration Manager and Intune."""
    lines = ["Each file exists, with Date modified greater than or equal to this (UTC):", ""]
    for row in rows:
        lines.append("%-22s %-13s %s  (%d s since 1970)" % (
            row["folder"].replace("C:\\Windows", "%windir%"), row["file"], row["utc"],
            row["since"]))
    return "\n".join(lines) + "\n"


def write(found, out):
    """Replaces out with the release's copy and rule, all or nothing."""
    part = out + ".part"
    shutil.rmtree(part, ignore_errors=True)
    os.makedirs(part)
    for name in FILES:
        shutil.copy2(found[name], os.path.join(part, name))
    rows = rule_rows({name: os.stat(found[name]).st_mtime for name in FILES})
    outputs = {
        "detection-rule.txt": rule_text(rows),
        "vtn2_release.yml": ansible_vars(rows),
        "detection-rule.json": json.dumps({"rule": rows}, indent=2) + "\n",
    }
    for name, text in outputs.items():
        with open(os.path.join(part, name), "w", encoding="utf-8", newline="\n") as f:
            f.write(text)
    with open(os.path.join(part, "SHA256SUMS"), "w", encoding="utf-8") as f:
        for name in FILES + list(outputs):
            f.write("%s  %s\n" % (sha256(os.path.join(part, name)), name))
    shutil.rmtree(out, ignore_errors=True)
    os.rename(part, out)
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("folder", nargs="?", default="")
    parser.add_argument("--release", default="build/release")
    parser.add_argument("--out", default="build/distribution")
    options = parser.parse_args()
    if not options.folder:
        print("distribution: name the distribution folder: make distribution DIST=FOLDER",
              file=sys.stderr)
        return 2
    if not os.path.isdir(options.folder):
        print("distribution: %s: not a folder" % options.folder, file=sys.stderr)
        return 2
    found = find(options.folder)
    wrong = problems(found, options.release)
    for line in wrong:
        print("distribution: %s" % line, file=sys.stderr)
    if wrong:
        return 2
    for row in write(found, options.out):
        print("%s\\%s  %s UTC  %d" % (row["folder"], row["file"], row["utc"], row["since"]))
    print("written to %s" % options.out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
