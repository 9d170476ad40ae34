#!/usr/bin/env python3
"""Fails every emulated call of the Installer in turn.

For each run below, counts the calls the Installer makes through the
platform, then runs it again once per call N with that call failing
(ROOT/faults: "call:N setup* ERROR"). Every such run must end by itself
with an exit code in 0, 1, 2, 8, 16; print nothing that isn't one of the
Installer's texts; report nothing on standard error (no resource left
outstanding, no sanitizer report); and leave every file in the system,
32-bit and staging directories either as it was or as its source made it.
Closes with "N passed, N failed".
"""
import argparse
import concurrent.futures
import fnmatch
import os
import re
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import scenarios as texts  # noqa: E402
from run import Native, set_up, system_files  # noqa: E402

SWEPT = {
    "upgrade over the old software": "a full unattended installation",
    "older installed file answered y": "an attended one, answered from standard input",
    "adapter reachable, detect only": "a detect-only run",
    "adapter seen but not reachable, detect only": "a run where only the scan sees the adapter",
}
EXIT_CODES = {0, 1, 2, 8, 16}
INSTALLER = "setup*"  # SETUP.EXE in a distribution folder, setup in the build
ERRORS = [5, 8, 32]  # no access, no memory, in use: taken in turn by the call's number

PIECES = [texts.BANNER, texts.COMPLETE, texts.FAILED, texts.NOT_FOUND, texts.NOT_CONFIGURED,
          texts.PRESS_ANY_KEY, texts.FORCING, texts.REBOOT, texts.QUESTION,
          "Invalid force code!\n", "\n", "."]
OUTPUT = re.compile(
    ("(?:" + "|".join([re.escape(p) for p in PIECES] + [r"\n[^\n]* is older than [^\n]*\.\n"])
     + ")*").encode("latin-1"))
def watched_files(platform):
    files = {}
    for windows_path, path in system_files(platform.drive_c).items():
        with open(path, "rb") as f:
            files[windows_path] = f.read()
    return files


def machine(options, work):
    """The Installer of the build swept; the machine's tool and the stand-ins
    from the tools' build, as the sanitizers would only slow them down here."""
    platform = Native(work, options.build, None)
    # The real clock: a wait that fails pauses for its five seconds, not 500.
    platform.clock = None
    platform.standin = os.path.join(options.tools, "standin")
    platform.machine_tool = os.path.join(options.tools, "vtn2-machine")
    return platform


def count_calls(options, scenario):
    with tempfile.TemporaryDirectory(prefix="vtn2-sweep-") as work:
        platform = machine(options, work)
        set_up(platform, scenario)
        log = os.path.join(work, "calls")
        platform.env["VTN2_CALL_LOG"] = log
        code, _, problems = platform.run_setup(scenario["args"], scenario["stdin"], 120)
        if code != scenario["exit_code"] or problems:
            raise RuntimeError(f"the run without faults went wrong: {code} {problems}")
        with open(log, encoding="latin-1") as f:
            return [line.split(" ", 2)[2].rstrip("\n") for line in f
                    if fnmatch.fnmatch(line.split(" ", 1)[0].lower(), INSTALLER)]


def run_failing(options, scenario, number, call):
    error = ERRORS[number % len(ERRORS)]
    with tempfile.TemporaryDirectory(prefix="vtn2-sweep-") as work:
        platform = machine(options, work)
        set_up(platform, scenario)
        with open(os.path.join(platform.root, "faults"), "w") as f:
            f.write(f"call:{number} {INSTALLER} {error}\n")
        before = watched_files(platform)
        sources = set(before.values())
        for folder in (platform.dist,):
            if os.path.isdir(folder):
                for name in os.listdir(folder):
                    with open(os.path.join(folder, name), "rb") as f:
                        sources.add(f.read())
        try:
            code, stdout, problems = platform.run_setup(scenario["args"], scenario["stdin"], 60)
        except Exception as e:  # a hang is a finding like any other
            return [f"call {number} ({call}) failing with {error}: {e}"]
        if code not in EXIT_CODES:
            problems.append(f"exit code {code}")
        if not OUTPUT.fullmatch(stdout):
            problems.append(f"output not of the Installer's texts: {stdout[-200:]!r}")
        for path, content in watched_files(platform).items():
            if content != before.get(path) and content not in sources:
                problems.append(f"{path} is neither as it was nor as its source: "
                                f"{len(content)} bytes")
        return [f"call {number} ({call}) failing with {error}: {p}" for p in problems]


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", required=True, help="the native build directory")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    parser.add_argument("--tools", help="where vtn2-machine and the stand-in are built "
                        "(default: the build directory)")
    options = parser.parse_args()
    options.build = os.path.abspath(options.build)
    options.tools = os.path.abspath(options.tools or options.build)
    if not all(os.path.exists(os.path.join(options.tools, name))
               for name in ("standin", "vtn2-machine")):
        print(f"sweep: no vtn2-machine and stand-in in {options.tools}: those of {options.build}")
        options.tools = options.build

    by_name = {s["name"]: s for s in texts.SCENARIOS}
    passed = failed = 0
    for name, what in SWEPT.items():
        scenario = by_name[name]
        calls = count_calls(options, scenario)
        with concurrent.futures.ThreadPoolExecutor(options.jobs) as pool:
            results = list(pool.map(lambda n: run_failing(options, scenario, n, calls[n - 1]),
                                    range(1, len(calls) + 1)))
        findings = [problem for result in results for problem in result]
        bad = sum(1 for result in results if result)
        passed += len(results) - bad
        failed += bad
        print(f"{'ok  ' if not bad else 'FAIL'}  {what}: {len(calls)} calls, each failing once")
        for finding in findings[:20]:
            print("      " + finding)
        sys.stdout.flush()
    print(f"sweep: {passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
