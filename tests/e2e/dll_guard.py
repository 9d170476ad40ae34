#!/usr/bin/env python3
"""SETUP.EXE against DLLs planted where a person downloads it.

It runs with administrator rights from that folder, so it may import only
DLLs that Windows always takes from the system directory, and a hid.dll or
setupapi.dll beside it (or in the working directory) must never load, while
detection still works. Runs SETUP.EXE under Wine in a prefix hard-linked from
the base that run.py makes. Prints one line per check and closes with
"N passed, N failed".
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from run import Wine, output_pattern, windows_form  # noqa: E402
from scenarios import SCENARIOS  # noqa: E402

SYSTEM_ONLY = {"kernel32.dll", "advapi32.dll", "msvcrt.dll"}
PLANTED = ("hid.dll", "setupapi.dll")
DETECT_ONLY = "adapter seen but not reachable, detect only"
NOT_FOUND = "no adapter, detect only"
MARK = ".loaded"


def imported_dlls(program):
    done = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", program],
                          capture_output=True, text=True, check=True)
    return re.findall(r"^\s*DLL Name: (\S+)\s*$", done.stdout, re.M)


def check_imports(options):
    dlls = imported_dlls(options.setup)
    if {name.lower() for name in dlls} != SYSTEM_ONLY or len(dlls) != len(SYSTEM_ONLY):
        return ["imports %s, expected exactly %s" % (sorted(dlls), sorted(SYSTEM_ONLY))]
    return []


def check_version(options):
    done = subprocess.run(["x86_64-w64-mingw32-windres", "-i", options.setup, "-O", "rc"],
                          capture_output=True, text=True)
    if done.returncode != 0 or "VERSIONINFO" not in done.stdout:
        return ["no version resource: " + (done.stderr.strip() or done.stdout.strip())]
    values = dict(re.findall(r'VALUE "(\w+)", "([^"]*)"', done.stdout))
    problems = []
    expected = {
        "FileDescription": "Veltrane 2 software installation",
        "ProductName": "Veltrane 2 management adapter software",
        "OriginalFilename": "SETUP.EXE",
        "CompanyName": "VLQ",
    }
    for name, text in expected.items():
        if values.get(name) != text:
            problems.append("%s is %r, expected %r" % (name, values.get(name), text))
    # Windows shows the numbers in one place and the text in another.
    for fixed, text in (("FILEVERSION", "FileVersion"), ("PRODUCTVERSION", "ProductVersion")):
        match = re.search(r"^\s*%s ([\d, ]+)$" % fixed, done.stdout, re.M)
        numbers = ".".join(n.strip() for n in match.group(1).split(",")) if match else None
        if not numbers or values.get(text) != numbers:
            problems.append("%s %s but %s %r" % (fixed, numbers, text, values.get(text)))
    return problems


def plant(folder, options):
    os.makedirs(folder, exist_ok=True)
    for name in PLANTED:
        shutil.copy(options.plant, os.path.join(folder, name))


def marks(folder):
    found = []
    for top, _, files in os.walk(folder):
        found += [os.path.join(top, f) for f in files if f.endswith(MARK)]
    return sorted(found)


def check_plant_marks(wine, options):
    """Without this the other check would pass with a plant that never marks."""
    folder = os.path.join(wine.work, "control")
    plant(folder, options)
    dll = os.path.join(folder, "hid.dll")
    wine.wine(["rundll32", windows_form(dll) + ",Load"], timeout=120)
    if not os.path.exists(dll + MARK):
        return ["a hid.dll that rundll32 loads left no mark"]
    return []


def scenario_named(name):
    for scenario in SCENARIOS:
        if scenario["name"] == name:
            return scenario
    raise LookupError("no scenario named %r in scenarios.py" % name)


def check_run(done, scenario, folder):
    problems = []
    if done.returncode != scenario["exit_code"]:
        problems.append("exit code %d, expected %d" % (done.returncode, scenario["exit_code"]))
    if not output_pattern(scenario["stdout"], "wine", folder).fullmatch(done.stdout):
        problems.append("standard output %r, expected that of %r"
                        % (done.stdout.decode("latin-1"), scenario["name"]))
    return problems


def check_planted_not_loaded(wine, options):
    scenario = scenario_named(DETECT_ONLY)
    for fixture in scenario["fixtures"]:
        wine.import_reg(fixture)
    downloads = os.path.join(wine.work, "Downloads")
    plant(downloads, options)
    shutil.copy(options.setup, os.path.join(downloads, "SETUP.EXE"))
    cwd = os.path.join(wine.work, "cwd")
    plant(cwd, options)
    done = wine.wine([os.path.join(downloads, "SETUP.EXE")] + scenario["args"],
                     input=scenario["stdin"], cwd=cwd, timeout=scenario["timeout"])

    problems = ["loaded: " + path for path in marks(downloads) + marks(cwd)]
    return problems + check_run(done, scenario, downloads)


def check_without_system_dlls(wine, options):
    """Where hid.dll and setupapi.dll can't be had, the adapter is not found:
    no crash, and no refusal to start as with DLLs imported."""
    scenario = scenario_named(NOT_FOUND)
    for fixture in scenario_named(DETECT_ONLY)["fixtures"]:
        wine.import_reg(fixture)
    env = dict(wine.env, WINEDLLOVERRIDES="mscoree,mshtml,hid,setupapi=")
    done = subprocess.run(["wine", options.setup] + scenario["args"], input=scenario["stdin"],
                          env=env, cwd=wine.work, capture_output=True, timeout=scenario["timeout"])
    return check_run(done, scenario, wine.work)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", required=True, help="the native build directory")
    parser.add_argument("--windows-build", required=True, help="where SETUP.EXE was built")
    options = parser.parse_args()
    options.build = os.path.abspath(options.build)
    options.windows_build = os.path.abspath(options.windows_build)
    options.setup = os.path.join(options.windows_build, "SETUP.EXE")
    options.plant = os.path.join(options.windows_build, "VTN2PLANT.DLL")

    results = []

    def check(name, function, *args):
        try:
            results.append((name, function(*args, options)))
        except (OSError, LookupError, subprocess.SubprocessError) as error:
            results.append((name, ["%s: %s" % (type(error).__name__, error)]))

    check("imports only DLLs of the system directory", check_imports)
    check("version resource", check_version)
    Wine.make_base(os.path.join(options.build, "wine-base"))
    with tempfile.TemporaryDirectory(prefix="vtn2-dll-guard-") as work:
        wine = Wine(work, options.build, options.windows_build)
        try:
            wine.prepare()
            check("the planted DLL marks its loading", check_plant_marks, wine)
            check("planted hid.dll and setupapi.dll stay unloaded, detection works",
                  check_planted_not_loaded, wine)
            check("without hid.dll and setupapi.dll the adapter is not found",
                  check_without_system_dlls, wine)
        finally:
            wine.finish()

    passed = failed = 0
    for name, problems in results:
        if problems:
            failed += 1
            print("FAIL  " + name)
            for problem in problems:
                print("      " + problem)
        else:
            passed += 1
            print("ok    " + name)
    print("dll_guard: %d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
