#!/usr/bin/env python3
"""Runs the suites again and again on a loaded machine, to find the tests
that pass or fail by chance: each unit-test binary shuffled (a seed of its
own each run), the end-to-end suites as they are, with busy loops beside
them as a shared CI machine has. Prints each test that failed, how often and
how to replay it; exits 1 when any did."""
import argparse
import collections
import os
import random
import re
import subprocess
import sys
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
E2E = os.path.join(TOP, "tests", "e2e")
LOGS = os.path.join(TOP, "build", "stress")


def unit_runs(build):
    binary = os.path.join(TOP, "build", build, "tests", "unit_tests")
    def run():
        seed = random.randint(1, 99999)
        command = [binary, "--gtest_shuffle", f"--gtest_random_seed={seed}", "--gtest_brief=1"]
        return command, f"--gtest_shuffle --gtest_random_seed={seed}"
    return f"unit tests ({build})", binary, run


def e2e_run(name, script, *arguments):
    command = [sys.executable, os.path.join(E2E, script), *arguments]
    return name, command[1], lambda: (command, "")


SUITES = {
    "unit": lambda: unit_runs("native"),
    "unit-sanitize": lambda: unit_runs("sanitize"),
    "scenarios": lambda: e2e_run("end-to-end scenarios (native)", "run.py", "--platform",
                                 "native", "--build", os.path.join(TOP, "build", "native")),
    "sweep": lambda: e2e_run("sweep (sanitize)", "sweep.py",
                             "--build", os.path.join(TOP, "build", "sanitize"),
                             "--tools", os.path.join(TOP, "build", "native"), "--jobs", "4"),
    "interrupt": lambda: e2e_run("interruption (native)", "interrupt.py",
                                 "--build", os.path.join(TOP, "build", "native"), "--jobs", "2"),
}
UNIT = ("unit", "unit-sanitize")


def failures(output, code):
    """The names of what failed in one run's output: gtest's and the
    end-to-end scripts' FAIL lines; the exit status when nothing names it."""
    names = set(re.findall(r"^\[  FAILED  \] (\S+\.\S+)", output, re.M))
    names |= {line[6:].split(" (")[0].split(":")[0].strip()
              for line in output.splitlines() if line.startswith("FAIL  ")}
    if code != 0 and not names:
        names.add(f"(ended with status {code}, naming no test)")
    return names


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--unit-runs", type=int, default=40, help="runs of each unit-test binary")
    parser.add_argument("--e2e-runs", type=int, default=5, help="runs of each end-to-end suite")
    parser.add_argument("--busy", type=int, default=2, help="busy loops beside the runs")
    parser.add_argument("--suites", default=",".join(SUITES),
                        help="which of " + ", ".join(SUITES) + " (comma-separated)")
    options = parser.parse_args()

    plan = []
    for key in options.suites.split(","):
        if key not in SUITES:
            parser.error(f"no suite {key}")
        name, program, run = SUITES[key]()
        if not os.path.exists(program):
            print(f"skip  {name}: no {program} (build it first)")
            continue
        plan.append((name, run, options.unit_runs if key in UNIT else options.e2e_runs))

    os.makedirs(LOGS, exist_ok=True)
    busy = [subprocess.Popen(["sh", "-c", "while :; do :; done"]) for _ in range(options.busy)]
    print(f"stress: {options.busy} busy loops beside the runs")
    failed_any = False
    try:
        for name, run, count in plan:
            seen = collections.Counter()
            replays = collections.defaultdict(list)
            started = time.time()
            for number in range(1, count + 1):
                command, replay = run()
                result = subprocess.run(command, cwd=TOP, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT, text=True, errors="replace")
                names = failures(result.stdout, result.returncode)
                seen.update(names)
                for failed in names:
                    replays[failed].append(replay)
                where = ""
                if names:
                    log = os.path.join(LOGS, f"{re.sub(r'[^a-z]+', '-', name)}{number}.log")
                    with open(log, "w") as out:
                        out.write(f"$ {' '.join(command)}\n{result.stdout}")
                    where = f" (output in {os.path.relpath(log, TOP)})"
                mark = "FAIL" if names else "ok  "
                print(f"{mark}  {name}, run {number}/{count}" +
                      (f": {', '.join(sorted(names))}{where}" if names else ""), flush=True)
            print(f"== {name}: {count} runs in {time.time() - started:.0f} s, "
                  f"{len(seen)} tests failed at least once")
            for failed, times in seen.most_common():
                failed_any = True
                replay = next((r for r in replays[failed] if r), "")
                print(f"   {times}/{count}  {failed}" + (f"   (replay: {replay})" if replay else ""))
    finally:
        for loop in busy:
            loop.kill()
            loop.wait()
    return 1 if failed_any else 0


if __name__ == "__main__":
    sys.exit(main())
