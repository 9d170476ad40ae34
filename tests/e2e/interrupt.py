#!/usr/bin/env python3
"""Kills a full installation part-way, runs it again, and compares.

On a fresh machine with the old software (the scenario "upgrade over the old
software"), `SETUP.EXE -FU /X` is killed at one point, the programs it
started are let finish, it is run again to its end, and the machine is
restarted (which carries out any moves recorded for the restart). The
machine must then hold what one uninterrupted run leaves: the same entries
under ROOT (so no temporary file of the killed run), the same file contents,
times and DOS attributes, and the same keys and values. The second
run ends with the uninterrupted run's exit code, or with 0 when the killed
run had already deleted every key of the old service: there is nothing left
to purge, though the server still needs its restart (the README says so).

The points, each in turn:
  call N     the Installer's Nth emulated call (VTN2_KILL_AT)
  rename N   its Nth rename(2): a copy or a store being put in place
             (strace -e inject=rename:signal=KILL:when=N)
  write N    its Nth write(2): a copy's or a store's content, or its output
Closes with "N passed, N failed".
"""
import argparse
import concurrent.futures
import errno
import fnmatch
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import scenarios  # noqa: E402
from run import SERVICES, SESSION_MANAGER, Native, reg_multi_string, set_up  # noqa: E402

SCENARIO = "upgrade over the old software"
INSTALLER = "setup*"
OLD_SERVICE = "\\vlqwdz"


def machine_state(platform):
    """What a run leaves: ROOT's entries (file contents, times, modes), the
    DOS attributes, the keys with their values, the recorded moves."""
    entries = {}
    for folder, dirs, names in os.walk(platform.root):
        for name in dirs + names:
            path = os.path.join(folder, name)
            relative = os.path.relpath(path, platform.root)
            info = os.lstat(path)
            if os.path.isdir(path) or relative in ("registry", "attributes"):
                entries[relative] = "directory" if os.path.isdir(path) else "store"
                continue
            with open(path, "rb") as f:
                digest = hashlib.sha1(f.read()).hexdigest()[:12]
            entries[relative] = f"{info.st_size} bytes {digest}, mode {info.st_mode:o}"
            if relative.startswith("drive_c" + os.sep):
                entries[relative] += f", written {info.st_mtime_ns}"
    attributes = []
    if os.path.exists(os.path.join(platform.root, "attributes")):
        with open(os.path.join(platform.root, "attributes"), encoding="latin-1") as f:
            attributes = sorted(line.replace(platform.root, "ROOT").rstrip("\n")
                                for line in f if not line.startswith("vtn2-attributes"))
    return {"entries": entries, "attributes": attributes,
            "keys": platform.export("HKEY_LOCAL_MACHINE").splitlines(),
            "moves": reg_multi_string(platform.export(SESSION_MANAGER),
                                      "PendingFileRenameOperations")}


def differences(got, want):
    problems = []
    for part in ("entries", "attributes", "keys", "moves"):
        if got[part] == want[part]:
            continue
        if isinstance(want[part], dict):
            for key in sorted(set(got[part]) | set(want[part])):
                if got[part].get(key) != want[part].get(key):
                    problems.append(f"{key}: {got[part].get(key, 'absent')}, "
                                    f"expected {want[part].get(key, 'absent')}")
        else:
            extra = [line for line in got[part] if line not in want[part]]
            missing = [line for line in want[part] if line not in got[part]]
            problems.append(f"{part}: {len(extra)} lines more {extra[:4]}, "
                            f"{len(missing)} lines fewer {missing[:4]}")
    return problems


def wait_for_programs(work, timeout=30):
    """Waits until no program started from the scenario's folder runs: the
    killed Installer's programs run on in sessions of their own."""
    deadline = time.time() + timeout
    while time.time() < deadline:
        running = False
        for pid in os.listdir("/proc"):
            if pid.isdigit():
                try:
                    running |= os.readlink(f"/proc/{pid}/exe").startswith(work + os.sep)
                except OSError:
                    pass
        if not running:
            return True
        time.sleep(0.05)
    return False


def machine(work, options):
    """A scenario's platform, with the programs without their debug
    information: a tenth of the bytes to copy, the same code."""
    platform = Native(work, options.build, None)
    platform.setup = os.path.join(options.programs, "setup")
    platform.standin = os.path.join(options.programs, "standin")
    return platform


def installer_run(platform, scenario, kill=None, log=None):
    """Runs the Installer, under strace when kill says so; the exit status."""
    program = os.path.join(platform.dist, "SETUP.EXE")
    command = [program] + scenario["args"]
    env = dict(platform.env, VTN2_CALL_LOG=log) if log else platform.env
    if kill and kill[0] == "call":
        env = dict(env, VTN2_KILL_AT=f"call:{kill[1]} {INSTALLER}")
    elif kill:
        command = ["strace", "-f", "-qq", "-o", "/dev/null", "-e", f"trace={kill[0]}",
                   "-e", f"inject={kill[0]}:signal=KILL:when={kill[1]}"] + command
    for attempt in range(100):
        try:
            done = subprocess.run(command, input=scenario["stdin"], capture_output=True,
                                  env=env, cwd=platform.work, timeout=120)
            return done.returncode, done.stderr.decode(errors="replace")
        except OSError as e:
            # Another thread's child, between its fork and its exec, may still
            # hold the program open from when set_up wrote it.
            if e.errno != errno.ETXTBSY or attempt == 99:
                raise
            time.sleep(0.02)


def uninterrupted(options, scenario):
    """The reference: the state, the exit code, and how many calls, renames
    and writes the Installer makes (counted on a second machine, as the call
    log's own writes are no part of the run)."""
    with tempfile.TemporaryDirectory(prefix="vtn2-interrupt-") as work:
        platform = machine(work, options)
        set_up(platform, scenario)
        trace = os.path.join(work, "trace")
        command = [os.path.join(platform.dist, "SETUP.EXE")] + scenario["args"]
        subprocess.run(["strace", "-qq", "-o", trace, "-e", "trace=rename,write"] + command,
                       input=scenario["stdin"], capture_output=True, env=platform.env, cwd=work,
                       timeout=120)
        with open(trace, encoding="latin-1") as f:
            syscalls = [line.split("(", 1)[0] for line in f]
        wait_for_programs(work)
    with tempfile.TemporaryDirectory(prefix="vtn2-interrupt-") as work:
        platform = machine(work, options)
        set_up(platform, scenario)
        log = os.path.join(work, "calls")
        code, stderr = installer_run(platform, scenario, log=log)
        if code != scenario["exit_code"] or stderr:
            raise RuntimeError(f"the uninterrupted run went wrong: {code} {stderr}")
        wait_for_programs(work)
        platform.restart()
        with open(log, encoding="latin-1") as f:
            calls = sum(1 for line in f
                        if fnmatch.fnmatch(line.split(" ", 1)[0].lower(), INSTALLER))
        counts = {"call": calls, "rename": syscalls.count("rename"),
                  "write": syscalls.count("write")}
        return machine_state(platform), code, counts


def killed_and_run_again(options, scenario, reference, kill):
    """What differs from the reference, the second run's exit code, and
    whether the first run reached the point (the waits for the programs make
    a few calls more or fewer from run to run; a run that ends first is an
    uninterrupted one)."""
    state, code = reference
    where = f"killed at {kill[0]} {kill[1]}"
    with tempfile.TemporaryDirectory(prefix="vtn2-interrupt-") as work:
        platform = machine(work, options)
        set_up(platform, scenario)
        try:
            killed, stderr = installer_run(platform, scenario, kill)
            reached = killed in (-9, 128 + 9)
            if not reached and (killed != code or stderr):
                return [f"{where}: not killed, exit {killed} {stderr!r}"], None, False
            if not wait_for_programs(work):
                return [f"{where}: the programs it started never ended"], None, reached
            purged = OLD_SERVICE not in platform.export(SERVICES).lower()
            again, stderr = installer_run(platform, scenario)
            wait_for_programs(work)
            platform.restart()
        except subprocess.TimeoutExpired:
            return [f"{where}: a run did not end within 120 s"], None, True
        problems = differences(machine_state(platform), state)
        if stderr:
            problems.append("standard error: " + stderr)
        if again != code and not (purged and again == 0):
            problems.append(f"exit code {again}, expected {code}"
                            + (" or 0" if purged else ""))
        return [f"{where}, then run again: {p}" for p in problems], again, reached


def sweep(options, scenario, kinds):
    state, code, counts = uninterrupted(options, scenario)
    passed = failed = 0
    for kind in kinds:
        points = [(kind, n) for n in range(1, counts[kind] + 1)]
        with concurrent.futures.ThreadPoolExecutor(options.jobs) as pool:
            results = list(pool.map(
                lambda point: killed_and_run_again(options, scenario, (state, code), point),
                points))
        bad = [problems for problems, _, _ in results if problems]
        nothing_to_purge = sum(1 for _, again, _ in results if again == 0 and again != code)
        unreached = sum(1 for _, _, reached in results if not reached)
        if unreached > max(2, len(points) // 20):
            bad.append([f"the run ended before {unreached} of the points: no kill there"])
        passed += len(results) - len(bad)
        failed += len(bad)
        print(f"{'ok  ' if not bad else 'FAIL'}  killed at each of its {len(points)} {kind}s, "
              f"then run again ({nothing_to_purge} second runs ended with 0: nothing was "
              f"left to purge)")
        findings = [problem for problems in bad for problem in problems]
        for finding in findings if options.all else findings[:20]:
            print("      " + finding)
        sys.stdout.flush()
    return passed, failed


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", required=True, help="the native build directory")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    parser.add_argument("--points", default="call,rename,write",
                        help="which kinds of point to kill at")
    parser.add_argument("--all", action="store_true", help="print every finding")
    options = parser.parse_args()
    options.build = os.path.abspath(options.build)
    kinds = options.points.split(",")
    if any(kind != "call" for kind in kinds) and not shutil.which("strace"):
        print("strace is missing: run tools/install-deps.sh")
        return 1

    scenario = {s["name"]: s for s in scenarios.SCENARIOS}[SCENARIO]
    started = time.time()
    with tempfile.TemporaryDirectory(prefix="vtn2-interrupt-") as programs:
        options.programs = programs
        for name in ("setup", "standin"):
            subprocess.run(["strip", "--strip-debug", "-o", os.path.join(programs, name),
                            os.path.join(options.build, name)], check=True)
        passed, failed = sweep(options, scenario, kinds)
    print(f"interrupt: {time.time() - started:.1f} s")
    print(f"interrupt: {passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
