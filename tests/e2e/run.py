#!/usr/bin/env python3
"""Runs the Installer's scenarios end to end on one platform.

native: build/native/setup on a fresh emulated machine per scenario.
wine:   SETUP.EXE in a fresh Wine prefix per scenario, hard-linked from one
        base prefix that is made once in the build tree.
Prints one line per scenario and closes with "N passed, N failed".
"""
import argparse
import difflib
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from scenarios import SCENARIOS  # noqa: E402

FIXTURES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fixtures")


def wine_env(prefix):
    env = dict(os.environ)
    env.update(WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    env.pop("DISPLAY", None)
    return env


class Native:
    def __init__(self, build):
        self.setup = os.path.join(build, "setup")
        self.machine_tool = os.path.join(build, "vtn2-machine")

    def run(self, scenario, work):
        root = os.path.join(work, "machine")
        subprocess.run([self.machine_tool, "init", root], check=True)
        for fixture in scenario["fixtures"]:
            subprocess.run([self.machine_tool, "reg", "import", root,
                            os.path.join(FIXTURES, fixture)], check=True)
        env = dict(os.environ, VTN2_MACHINE=root)
        done = subprocess.run([self.setup] + scenario["args"], input=scenario["stdin"],
                              capture_output=True, env=env, cwd=work, timeout=60)
        problems = []
        if done.stderr:
            problems.append("standard error: " + done.stderr.decode(errors="replace"))
        return done.returncode, done.stdout, problems


class Wine:
    def __init__(self, build, windows_build):
        self.setup = os.path.join(windows_build, "SETUP.EXE")
        self.base = os.path.join(build, "wine-base")

    def prepare(self):
        if os.path.exists(os.path.join(self.base, "system.reg")):
            return
        shutil.rmtree(self.base, ignore_errors=True)
        env = wine_env(self.base)
        subprocess.run(["wineboot", "-i"], env=env, capture_output=True, timeout=300)
        subprocess.run(["wineserver", "-w"], env=env, timeout=300)

    def run(self, scenario, work):
        prefix = os.path.join(work, "prefix")
        # Program files are shared with the base; the registry, which Wine
        # rewrites, is each prefix's own.
        subprocess.run(["cp", "-al", self.base, prefix], check=True)
        for name in ("system.reg", "user.reg", "userdef.reg"):
            target = os.path.join(prefix, name)
            os.unlink(target)
            shutil.copy2(os.path.join(self.base, name), target)
        env = wine_env(prefix)
        try:
            for fixture in scenario["fixtures"]:
                with open(os.path.join(FIXTURES, fixture), encoding="utf-8") as f:
                    text = f.read().replace("\n", "\r\n")
                converted = os.path.join(work, fixture)
                with open(converted, "wb") as f:
                    f.write(b"\xff\xfe" + text.encode("utf-16-le"))
                subprocess.run(["wine", "regedit", "/S", converted], env=env, check=True,
                               capture_output=True, timeout=120)
            done = subprocess.run(["wine", self.setup] + scenario["args"],
                                  input=scenario["stdin"], capture_output=True, env=env,
                                  cwd=work, timeout=120)
            return done.returncode, done.stdout, []
        finally:
            subprocess.run(["wineserver", "-k"], env=env, capture_output=True)
            subprocess.run(["wineserver", "-w"], env=env, capture_output=True)


def expected_stdout(scenario, platform):
    text = scenario["stdout"]
    if platform == "wine":
        text = text.replace("\n", "\r\n")
    return text.encode("latin-1")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--platform", choices=["native", "wine"], required=True)
    parser.add_argument("--build", required=True, help="the native build directory")
    parser.add_argument("--windows-build", help="where SETUP.EXE was built")
    parser.add_argument("-k", "--keyword", help="run only scenarios whose name holds this")
    options = parser.parse_args()
    options.build = os.path.abspath(options.build)
    if options.windows_build:
        options.windows_build = os.path.abspath(options.windows_build)

    if options.platform == "native":
        runner = Native(options.build)
    else:
        runner = Wine(options.build, options.windows_build)
        runner.prepare()

    passed = failed = skipped = 0
    for scenario in SCENARIOS:
        name = scenario["name"]
        if options.keyword and options.keyword not in name:
            continue
        if scenario["only"] and scenario["only"] != options.platform:
            skipped += 1
            print(f"skip  {name}: {scenario['why']}")
            continue
        with tempfile.TemporaryDirectory(prefix="vtn2-e2e-") as work:
            code, stdout, problems = runner.run(scenario, work)
        want = expected_stdout(scenario, options.platform)
        if code != scenario["exit_code"]:
            problems.append(f"exit code {code}, expected {scenario['exit_code']}")
        if stdout != want:
            diff = difflib.unified_diff(
                want.decode("latin-1").splitlines(True), stdout.decode("latin-1").splitlines(True),
                "expected", "actual")
            problems.append("standard output differs:\n" + "".join(repr(l) + "\n" for l in diff))
        if problems:
            failed += 1
            print(f"FAIL  {name}")
            for problem in problems:
                print("      " + problem)
        else:
            passed += 1
            print(f"ok    {name}")
    print(f"{options.platform}: {passed} passed, {failed} failed, {skipped} skipped")
    return 1 if failed or not passed else 0


if __name__ == "__main__":
    sys.exit(main())
