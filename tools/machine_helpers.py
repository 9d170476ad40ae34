"""What the scripts that set up and read a machine share: the demo, and the
end-to-end harness, whose machines are emulated ones or Wine prefixes.

A machine here is its drive C: as a host folder; Windows paths are found in
it without regard to case, as Windows finds them. Registry keys are read from
the .reg text that `vtn2-machine reg export` and Wine's `reg export` write.
"""
import os
import re
import subprocess
import time

SERVICES = r"HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services"
SESSION_MANAGER = r"HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Session Manager"

SYS = "C:\\windows\\system32\\"
WOW64 = "C:\\windows\\syswow64\\"

# The distribution as the Installer ships, beside SETUP.EXE, and the old
# software's files, as file_content takes them: the demo's machine and the
# tests' are the same. Each was last written at its *_TIME.
DIST_TIME = 1700000000
OLD_TIME = 1600000000
DIST_FILES = {
    "VLQSPW.DLL": "VLQSPW.DLL 2.0\n",
    "VLQSPW32.DLL": "VLQSPW32.DLL 2.0\n",
    "VLQSPREM.EXE": "standin:new",
    "VLQSPSVC.EXE": "standin:new",
}
OLD_SOFTWARE = {
    SYS + "vlqwdzsv.exe": "standin:old",
    SYS + "VLQSPSVC.EXE": "standin:old",
    SYS + "VLQSPREM.EXE": "standin:old",
    SYS + "VLQSPW.DLL": "old library\n",
    WOW64 + "VLQSPW.DLL": "old library 32\n",
}


def windows_form(host_path):
    """The path as Windows programs under Wine see a host path (drive Z:)."""
    return "Z:" + os.path.abspath(host_path).replace("/", "\\")


def resolve(base, windows_path):
    """The host path of a C: path under base, matching names without regard to case."""
    path = base
    for part in windows_path[3:].replace("/", "\\").split("\\"):
        if part in ("", "."):
            continue
        if part == "..":
            path = os.path.dirname(path)
            continue
        match = part
        if os.path.isdir(path):
            for entry in os.listdir(path):
                if entry.lower() == part.lower():
                    match = entry
                    break
        path = os.path.join(path, match)
    return path


def system_files(drive_c):
    """The files of the system and 32-bit system directories (staging
    included), as {Windows path: host path}."""
    files = {}
    for windows_dir in (r"C:\windows\system32", r"C:\windows\syswow64"):
        for folder, _, names in os.walk(resolve(drive_c, windows_dir)):
            for name in names:
                path = os.path.join(folder, name)
                relative = os.path.relpath(path, drive_c).replace("/", "\\")
                files["C:\\" + relative] = path
    return files


def reg_keys_below(text, key):
    """Paths of the keys under key in .reg text, lower case, in file order."""
    prefix = key.lower() + "\\"
    keys = []
    for line in text.splitlines():
        line = line.strip()
        if line.startswith("[") and line.endswith("]") and line[1:-1].lower().startswith(prefix):
            keys.append(line[1 + len(prefix):-1].lower())
    return keys


def reg_multi_string(text, name):
    """The strings of a hex(7) value in .reg text, or [] when it is absent."""
    joined = re.sub(r"\\\r?\n\s*", "", text)
    match = re.search(r'^"%s"=hex\(7\):([0-9a-fA-F,]*)' % re.escape(name), joined, re.M)
    if not match:
        return []
    data = bytes(int(b, 16) for b in match.group(1).split(",") if b)
    return [s for s in data.decode("utf-16-le").split("\0") if s]


def file_content(text, standin):
    """A file's bytes from its text, in which "standin:TAG" stands for the
    stand-in program (the host file standin) that plays the adapter
    software's programs, with TAG after its end to tell versions apart."""
    kind, _, tag = text.partition(":")
    if kind != "standin":
        return text.encode("latin-1")
    with open(standin, "rb") as f:
        return f.read() + b"\nversion " + tag.encode() + b"\n"


def put_file(host_path, data, mtime):
    """A file of the machine, executable as its programs must be, last
    written at mtime (seconds since 1970)."""
    os.makedirs(os.path.dirname(host_path), exist_ok=True)
    with open(host_path, "wb") as f:
        f.write(data)
    os.chmod(host_path, 0o755)
    os.utime(host_path, (mtime, mtime))


def start_program(command, env, log, logged):
    """Starts a stand-in program and waits until the line logged is in its
    log, which the stand-in writes once it runs."""
    process = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.time() + 60
    while time.time() < deadline:
        with open(log, "a+", encoding="latin-1") as f:
            f.seek(0)
            if logged in f.read():
                return process
        time.sleep(0.1)
    process.kill()
    raise RuntimeError("never started: " + " ".join(command))
