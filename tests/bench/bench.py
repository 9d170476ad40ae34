#!/usr/bin/env python3
"""How the native Installer's time grows with the machine: `make bench`.

Builds emulated machines of server sizes (service keys, devices, both), and
on a fresh copy of each runs a full forced installation over the old
software (`setup -FU /X` with the distribution, as the end-to-end scenarios
do it) and a detect-only run (`setup /H`). Prints the median time of each,
and the peak memory of the slowest process against the registry store's
size. A figure, never a verdict: nothing here fails on time.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
from scenarios import DIST_FILES, DIST_TIME, OLD_FILES  # noqa: E402
from machine_helpers import file_content, put_file  # noqa: E402

FIXTURES = os.path.join(HERE, "..", "e2e", "fixtures")
GNU_TIME = "/usr/bin/time"
SIZES = [  # name, service keys, devices
    ("empty", 0, 0),
    ("1,000 service keys", 1000, 0),
    ("10,000 service keys", 10000, 0),
    ("1,000 devices", 0, 1000),
    ("5,000 devices", 0, 5000),
    ("10,000 keys + 5,000 devices", 10000, 5000),
]


def utf16_hex(text, final_nuls=1):
    data = (text + "\0" * final_nuls).encode("utf-16-le")
    return ",".join("%02x" % b for b in data)


def bulk_reg(services, devices):
    """A .reg text with stock-looking service keys and present HID devices
    that are not the adapter."""
    out = ["Windows Registry Editor Version 5.00", ""]
    for i in range(services):
        key = r"HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\svc%05d" % i
        out += ["[%s]" % key, '"Type"=dword:00000010', '"Start"=dword:00000003',
                '"ErrorControl"=dword:00000001',
                '"ImagePath"="C:\\\\windows\\\\system32\\\\svc%05d.exe"' % i,
                '"DisplayName"="Service %d"' % i, "",
                "[%s\\Parameters]" % key, '"Level"=dword:00000002', ""]
    for i in range(devices):
        device = r"VID_1%03X&PID_%04X" % (i % 4096, i)
        instance = "7&%08x&0&0000" % (0x1000000 + i)
        ids = "HID\\%s&REV_0100\0HID\\%s" % (device, device)
        out += [r"[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\HID\%s\%s]" % (device, instance),
                '"ClassGUID"="{745a17a0-74d3-11d0-b6fe-00a0c90f57da}"',
                '"HardwareID"=hex(7):' + utf16_hex(ids, 2), ""]
    return "\n".join(out) + "\n"


def make_machine(build, work, services, devices):
    tool = os.path.join(build, "vtn2-machine")
    standin = os.path.join(build, "standin")
    root = os.path.join(work, "machine")
    subprocess.run([tool, "init", root], check=True)
    bulk = os.path.join(work, "bulk.reg")
    with open(bulk, "w") as f:
        f.write(bulk_reg(services, devices))
    for reg in (bulk, os.path.join(FIXTURES, "old-software.reg"),
                os.path.join(FIXTURES, "adapter-hid.reg")):
        subprocess.run([tool, "reg", "import", root, reg], check=True)
    for windows_path, (content, mtime) in OLD_FILES.items():
        relative = windows_path[3:].replace("\\", "/").lower()
        put_file(os.path.join(root, "drive_c", relative), file_content(content, standin), mtime)
    dist = os.path.join(work, "dist")
    os.makedirs(dist)
    shutil.copy(os.path.join(build, "setup"), os.path.join(dist, "SETUP.EXE"))
    os.utime(os.path.join(dist, "SETUP.EXE"), (DIST_TIME, DIST_TIME))
    for name, content in DIST_FILES.items():
        put_file(os.path.join(dist, name), file_content(content, standin), DIST_TIME)
    return root, dist


def store_bytes(root):
    return sum(os.path.getsize(os.path.join(root, name))
               for name in ("registry", "attributes") if os.path.exists(os.path.join(root, name)))


def run_once(build, template, dist, args, timeout):
    """One run on a fresh copy of the machine: seconds, exit code, peak RSS
    (KiB, from GNU time: a child forked here would count this script's own)."""
    root = template + "-run"
    shutil.rmtree(root, ignore_errors=True)
    shutil.copytree(template, root, symlinks=True)
    env = dict(os.environ, VTN2_MACHINE=root, VTN2_STANDIN_LOG=os.path.join(root, "standin.log"))
    program = os.path.join(dist, "SETUP.EXE")
    rss_file = root + ".rss"
    command = ["-a", "Z:" + program.replace("/", "\\"), program] + args
    if os.path.exists(GNU_TIME):
        command = [GNU_TIME, "-f", "%M", "-o", rss_file, "--", "bash", "-c",
                   'exec -a "$0" "$@"'] + command[1:]
    else:
        command = ["bash", "-c", 'exec -a "$0" "$@"'] + command[1:]
    start = time.monotonic()
    try:
        done = subprocess.run(command, env=env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              cwd=os.path.dirname(root), timeout=timeout)
    except subprocess.TimeoutExpired:
        return None, None, 0
    seconds = time.monotonic() - start
    rss = 0
    if os.path.exists(rss_file):
        with open(rss_file) as f:
            rss = int(f.read().split()[-1])
        os.unlink(rss_file)
    shutil.rmtree(root, ignore_errors=True)
    return seconds, done.returncode, rss


def measure(build, template, dist, args, runs, timeout):
    times, codes, peak = [], set(), 0
    for _ in range(runs):
        seconds, code, rss = run_once(build, template, dist, args, timeout)
        if seconds is None:
            return None, codes, peak
        times.append(seconds)
        codes.add(code)
        peak = max(peak, rss)
        if seconds > 10:  # one slow run tells enough
            break
    return statistics.median(times), codes, peak


def show(seconds, timeout):
    if seconds is None:
        return "> %d s (stopped)" % timeout
    return "%.3f s" % seconds if seconds < 10 else "%.0f s" % seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(HERE, "..", "..", "build", "native"))
    parser.add_argument("--runs", type=int, default=5, help="runs per figure (median)")
    parser.add_argument("--timeout", type=int, default=300,
                        help="seconds after which a run is stopped and reported as such")
    parser.add_argument("-k", dest="only", help="only the sizes whose name holds this")
    options = parser.parse_args()
    build = os.path.abspath(options.build)
    print("| machine | store | full forced install | detect only (/H) | peak RSS, full / (/H) |")
    print("|---|---|---|---|---|")
    for name, services, devices in SIZES:
        if options.only and options.only not in name:
            continue
        with tempfile.TemporaryDirectory(prefix="vtn2-bench-") as work:
            root, dist = make_machine(build, work, services, devices)
            size = store_bytes(root)
            full, full_codes, full_rss = measure(build, root, dist, ["-FU", "/X"], options.runs,
                                                 options.timeout)
            detect, detect_codes, detect_rss = measure(build, root, dist, ["/H"], options.runs,
                                                       options.timeout)
            print("| %s | %.2f MB | %s (exit %s) | %s (exit %s) | %.1f / %.1f MB |" % (
                name, size / 1e6, show(full, options.timeout),
                ",".join(map(str, sorted(full_codes))) or "-", show(detect, options.timeout),
                ",".join(map(str, sorted(detect_codes))) or "-", full_rss / 1024,
                detect_rss / 1024), flush=True)


if __name__ == "__main__":
    main()
