#!/usr/bin/env python3
"""Runs the Installer's scenarios end to end on one platform.

native: build/native/setup on a fresh emulated machine per scenario.
wine:   SETUP.EXE in a fresh Wine prefix per scenario, hard-linked from one
        base prefix that is made once in the build tree.
Both get the same fixtures, distribution, files and standard input, and must
give the same exit code, output, files, service keys and moves at restart.
Scenarios run side by side (--jobs), each on its machine, under Wine each
with a wineserver of its own. Prints one line per scenario, in row order, and
closes with "N passed, N failed".
"""
import argparse
import concurrent.futures
import difflib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
from machine_helpers import (SERVICES, SESSION_MANAGER, file_content,  # noqa: E402,F401
                             put_file, reg_keys_below, reg_multi_string, resolve, start_program,
                             system_files, windows_form)
from scenarios import DIST_FILES, DIST_TIME, SCENARIOS, STAGING  # noqa: E402
import detection  # noqa: E402

FIXTURES = os.path.join(HERE, "fixtures")


def dist_folder(platform, scenario):
    """Where the scenario's distribution lies: in the staging folder, in a
    folder whose Windows path has the length asked for, or in work/dist."""
    if scenario["from_staging"]:
        return resolve(platform.drive_c, STAGING)
    folder = os.path.join(platform.work, scenario["folder"])
    length = scenario["dist_length"]
    while length and len(windows_form(folder)) < length:
        room = length - len(windows_form(folder)) - 1
        folder = os.path.join(folder, "d" * min(room, 100))
    return folder


def gone_reader():
    """The writing end of a pipe whose reader has gone."""
    reader, writer = os.pipe()
    os.close(reader)
    return writer


def run_through_files(command, stdout=None, **kwargs):
    """subprocess.run with its output taken through files (into the result's
    stdout and stderr): under Wine, programs left running (Wine's own among
    them) keep a pipe open long after the one started has ended. stdout, when
    given, takes the place of the file for standard output."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        done = subprocess.run(command, stdout=out if stdout is None else stdout, stderr=err,
                              **kwargs)
        out.seek(0)
        err.seek(0)
        done.stdout, done.stderr = out.read(), err.read()
    return done


def read_reg_text(data):
    if data.startswith(b"\xff\xfe"):
        return data[2:].decode("utf-16-le")
    return data.decode("utf-8", errors="replace")


class Platform:
    """What both platforms share: the files of a scenario and their checks."""

    def __init__(self, work):
        self.work = work
        self.dist = os.path.join(work, "dist")
        self.log = os.path.join(work, "standin.log")

    def content(self, text):
        return file_content(text, self.standin)

    def put(self, host_path, text, mtime):
        put_file(host_path, self.content(text), mtime)

    def make_dist(self, missing):
        os.makedirs(self.dist, exist_ok=True)
        shutil.copy(self.setup, os.path.join(self.dist, "SETUP.EXE"))
        os.utime(os.path.join(self.dist, "SETUP.EXE"), (DIST_TIME, DIST_TIME))
        for name, content in DIST_FILES.items():
            if name not in missing:
                self.put(os.path.join(self.dist, name), content, DIST_TIME)

    def expected_bytes(self, spec):
        if spec is None:
            return None
        kind, _, value = spec.partition(":")
        if kind == "dist":
            with open(os.path.join(self.dist, value), "rb") as f:
                return f.read()
        if kind == "text":
            return value.encode("latin-1")
        return self.content(spec)

    def file_bytes(self, windows_path):
        path = resolve(self.drive_c, windows_path)
        if not os.path.isfile(path):
            return None
        with open(path, "rb") as f:
            return f.read()

    def standin_log(self):
        if not os.path.exists(self.log):
            return []
        with open(self.log, encoding="latin-1") as f:
            return [line.rstrip("\r\n") for line in f if not line.startswith("HOLDER.EXE")]

    def run_setup(self, args, stdin, timeout, reader_gone=False, bare_name=False,
                  started_as=None):
        """Runs the Installer: its exit code, standard output and problems.
        reader_gone: its standard output is a pipe whose reader has gone.
        bare_name: started by its bare name from the distribution's folder.
        started_as: started by this Windows path to the distribution's SETUP.EXE."""
        program = os.path.join(self.dist, "SETUP.EXE") if os.path.isdir(self.dist) else self.setup
        word, executable, env = self.setup_word(program, bare_name, started_as)
        output = gone_reader() if reader_gone else None
        try:
            done = run_through_files(self.command(word) + args, stdout=output,
                                     executable=executable, input=stdin, env=env,
                                     cwd=self.dist if bare_name else self.work, timeout=timeout)
        finally:
            if reader_gone:
                os.close(output)
        return done.returncode, done.stdout, self.problems(done.stderr)

    def start_holder(self, windows_path):
        holder = os.path.join(self.work, "holder")
        os.makedirs(holder)
        shutil.copy(self.standin, os.path.join(holder, "HOLDER.EXE"))
        with open(os.path.join(holder, "standin.cfg"), "w") as f:
            f.write("hold %s\nrun-ms 600000\n" % windows_path)
        return self.start_program([os.path.join(holder, "HOLDER.EXE")], "HOLDER.EXE")

    def start_running(self, command):
        """A program of the machine, running until the scenario ends."""
        program, *args = command.split()
        host = resolve(self.drive_c, program)
        return self.start_program([host] + args, " ".join([os.path.basename(host).upper()] + args))

    def start_program(self, words, logged):
        """Starts a stand-in and waits until its log line is there."""
        return start_program(self.command(words[0]) + words[1:], self.env, self.log, logged)


class Native(Platform):
    def __init__(self, work, build, windows_build):
        super().__init__(work)
        self.build = build
        self.setup = os.path.join(build, "setup")
        self.standin = os.path.join(build, "standin")
        self.machine_tool = os.path.join(build, "vtn2-machine")
        self.root = os.path.join(work, "machine")
        self.drive_c = os.path.join(self.root, "drive_c")
        self.env = dict(os.environ, VTN2_MACHINE=self.root, VTN2_STANDIN_LOG=self.log)
        # The machine's clock a hundred times slower: a pause of the
        # Installer's wait for a program (500 s) then always outlasts a
        # program that ends, however loaded the host, so that a {wait} holds
        # one dot at most, and a run makes as many calls each time.
        self.clock = "scale 100\n"

    def prepare(self):
        subprocess.run([self.machine_tool, "init", self.root], check=True)
        if self.clock:
            with open(os.path.join(self.root, "clock"), "w") as f:
                f.write(self.clock)

    def import_reg(self, fixture):
        subprocess.run([self.machine_tool, "reg", "import", self.root,
                        os.path.join(FIXTURES, fixture)], check=True)

    def command(self, program):
        return [program]

    def setup_word(self, program, bare_name, started_as):
        if started_as:
            # A program the machine starts keeps its program word as given.
            return started_as, program, dict(self.env, VTN2_STARTED_BY_MACHINE="1")
        # Started as Wine starts it, so that both print the same paths.
        return ("SETUP.EXE" if bare_name else windows_form(program)), program, self.env

    def problems(self, stderr):
        return ["standard error: " + stderr.decode(errors="replace")] if stderr else []

    def export(self, key):
        done = subprocess.run([self.machine_tool, "reg", "export", self.root, key],
                              capture_output=True, check=True)
        return done.stdout.decode("utf-8")

    def restart(self):
        subprocess.run([self.machine_tool, "restart", self.root], check=True,
                       capture_output=True)

    def finish(self):
        pass


class Wine(Platform):
    def __init__(self, work, build, windows_build):
        super().__init__(work)
        self.setup = os.path.join(windows_build, "SETUP.EXE")
        self.standin = os.path.join(windows_build, "STANDIN.EXE")
        self.base = os.path.join(build, "wine-base")
        self.prefix = os.path.join(work, "prefix")
        self.drive_c = os.path.join(self.prefix, "drive_c")
        self.env = dict(os.environ, WINEPREFIX=self.prefix, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=", VTN2_STANDIN_LOG=windows_form(self.log))
        self.env.pop("DISPLAY", None)

    @staticmethod
    def make_base(base):
        if os.path.exists(os.path.join(base, "system.reg")):
            return
        shutil.rmtree(base, ignore_errors=True)
        env = dict(os.environ, WINEPREFIX=base, WINEDEBUG="-all",
                   WINEDLLOVERRIDES="mscoree,mshtml=")
        env.pop("DISPLAY", None)
        subprocess.run(["wineboot", "-i"], env=env, capture_output=True, timeout=300)
        subprocess.run(["wineserver", "-w"], env=env, timeout=300)

    def prepare(self):
        # Program files are shared with the base; the registry, which Wine
        # rewrites, is each prefix's own.
        subprocess.run(["cp", "-al", self.base, self.prefix], check=True)
        for name in ("system.reg", "user.reg", "userdef.reg"):
            target = os.path.join(self.prefix, name)
            os.unlink(target)
            shutil.copy2(os.path.join(self.base, name), target)
        self.start_server()

    def start_server(self):
        """One server for all the scenario's calls: each call saves starting
        one, and key descriptors live only as long as their server. It stays
        a minute past its last program, not forever, should the harness be
        killed; its output is detached, or a reader would wait for its end."""
        subprocess.run(["wineserver", "-p60"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)

    def wine(self, args, input=None, **kwargs):
        """Runs a program under Wine, its output through files."""
        return run_through_files(["wine"] + args, env=self.env, input=input,
                                 stdin=None if input is not None else subprocess.DEVNULL,
                                 **kwargs)

    def import_reg(self, fixture):
        with open(os.path.join(FIXTURES, fixture), encoding="utf-8") as f:
            text = f.read().replace("\n", "\r\n")
        converted = os.path.join(self.work, fixture)
        with open(converted, "wb") as f:
            f.write(b"\xff\xfe" + text.encode("utf-16-le"))
        self.wine(["regedit", "/S", converted], check=True, timeout=120)

    def command(self, program):
        return ["wine", program]

    def setup_word(self, program, bare_name, started_as):
        return started_as or ("SETUP.EXE" if bare_name else program), None, self.env

    def problems(self, stderr):
        return []

    def export(self, key):
        out = os.path.join(self.work, "export.reg")
        self.wine(["reg", "export", key, out, "/y"], timeout=120)
        if not os.path.exists(out):
            return ""
        with open(out, "rb") as f:
            text = read_reg_text(f.read())
        os.unlink(out)
        return text

    def restart(self):
        self.finish()
        subprocess.run(["wineboot", "-r"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
        self.finish()

    def finish(self):
        subprocess.run(["wineserver", "-k"], env=self.env, capture_output=True)
        subprocess.run(["wineserver", "-w"], env=self.env, capture_output=True)


def output_pattern(text, platform, dist):
    """A pattern for the expected output: {dist} is the distribution's folder
    as the Installer names it, {wait} the line feeds and dots of a wait for a
    program that ends within its first pause."""
    newline = "\r\n" if platform == "wine" else "\n"
    pattern = b""
    for piece in re.split(r"(\{dist\}|\{wait\})", text):
        if piece == "{dist}":
            # Host paths are UTF-8, and so is SETUP.EXE's code page.
            pattern += re.escape((windows_form(dist) + "\\").encode("utf-8"))
        elif piece == "{wait}":
            pattern += re.escape(newline.encode()) + rb"\.?" + re.escape(newline.encode())
        else:
            pattern += re.escape(piece.replace("\n", newline).encode("latin-1"))
    return re.compile(pattern, re.S)


def check_files(platform, expected, problems, when):
    """Contents as expected; a file placed from the distribution also keeps
    the distribution's last-write time, wherever it went through."""
    for windows_path, spec in expected.items():
        want = platform.expected_bytes(spec)
        got = platform.file_bytes(windows_path)
        if got != want:
            describe = lambda b: "absent" if b is None else "%d bytes %r" % (len(b), b[:40])
            problems.append("%s %s: %s, expected %s (%s)" % (
                when, windows_path, describe(got), describe(want), spec))
        elif spec and spec.startswith("dist:"):
            mtime = os.stat(resolve(platform.drive_c, windows_path)).st_mtime
            if mtime != DIST_TIME:
                problems.append("%s %s: last written %s, expected the distribution's %s" % (
                    when, windows_path, mtime, DIST_TIME))


def set_up(platform, scenario):
    """Makes the scenario's machine; returns the processes it runs (a file's
    holder, a program running), to be ended when it ends."""
    platform.prepare()
    for fixture in scenario["fixtures"]:
        platform.import_reg(fixture)
    for windows_path, (content, mtime) in scenario["system"].items():
        platform.put(resolve(platform.drive_c, windows_path), content, mtime)
    if scenario["dist"]:
        platform.dist = dist_folder(platform, scenario)
        platform.make_dist(scenario["missing"])
    processes = []
    if scenario["hold"]:
        held = scenario["hold"].replace("{dist}", windows_form(platform.dist))
        processes.append(platform.start_holder(held))
    if scenario["running"]:
        processes.append(platform.start_running(scenario["running"]))
    return processes


def check_end_state(platform, scenario, code, stdout, problems, options):
    """Compares what the run left (exit code, output, files, service keys,
    moves, programs run, files after a restart) with the row, and holds the
    detection rule of docs/deployment.md to it."""
    if code != scenario["exit_code"]:
        problems.append(f"exit code {code}, expected {scenario['exit_code']}")
    pattern = output_pattern(scenario["stdout"], options.platform, platform.dist)
    if not pattern.fullmatch(stdout):
        want = scenario["stdout"].replace("{dist}", windows_form(platform.dist) + "\\")
        diff = difflib.unified_diff(want.splitlines(True),
                                    stdout.decode("latin-1").replace("\r", "").splitlines(True),
                                    "expected", "actual")
        problems.append("standard output differs:\n" + "".join(
            "        " + repr(line) + "\n" for line in diff))
    check_files(platform, scenario["files"], problems, "after the run:")
    if scenario["keys"] is not None:
        keys = sorted(k for k in reg_keys_below(platform.export(SERVICES), SERVICES)
                      if "vlq" in k)
        if keys != sorted(scenario["keys"]):
            problems.append(f"service keys {keys}, expected {sorted(scenario['keys'])}")
    if scenario["moves"] is not None:
        moves = reg_multi_string(platform.export(SESSION_MANAGER),
                                 "PendingFileRenameOperations")
        expected = [m.replace("{dist}", windows_form(platform.dist)) for m in scenario["moves"]]
        if moves != expected:
            problems.append(f"moves at restart {moves}, expected {expected}")
    if scenario["log"] is not None and platform.standin_log() != scenario["log"]:
        problems.append(f"programs run {platform.standin_log()}, expected {scenario['log']}")
    if scenario["after_restart"]:
        platform.restart()
        check_files(platform, scenario["after_restart"], problems, "after a restart:")
    problems += detection.check(platform, scenario, code, resolve)


def run_scenario(platform_class, scenario, options):
    """The problems of one scenario, on a machine of its own."""
    with tempfile.TemporaryDirectory(prefix="vtn2-e2e-") as work:
        platform = platform_class(work, options.build, options.windows_build)
        processes = []
        try:
            processes = set_up(platform, scenario)
            try:
                code, stdout, problems = platform.run_setup(
                    scenario["args"], scenario["stdin"], scenario["timeout"],
                    reader_gone=scenario["reader_gone"],
                    bare_name=scenario["from_staging"] and not scenario["started_as"],
                    started_as=scenario["started_as"])
            except subprocess.TimeoutExpired:
                return [f"the Installer did not end within {scenario['timeout']} s"]
            for process in processes:
                process.kill()
                process.wait()
            check_end_state(platform, scenario, code, stdout, problems, options)
            return problems
        finally:
            for process in processes:
                if process.poll() is None:
                    process.kill()
            platform.finish()


def report(scenario, options):
    """Runs one scenario: whether it passed, and its lines for the report."""
    started = time.time()
    try:
        problems = run_scenario(Native if options.platform == "native" else Wine, scenario, options)
    except (OSError, RuntimeError, subprocess.SubprocessError) as error:
        problems = ["%s: %s" % (type(error).__name__, error)]
    took = time.time() - started
    lines = [f"{'FAIL' if problems else 'ok  '}  {scenario['name']} ({took:.1f} s)"]
    return not problems, lines + ["      " + problem for problem in problems]


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--platform", choices=["native", "wine"], required=True)
    parser.add_argument("--build", required=True, help="the native build directory")
    parser.add_argument("--windows-build", help="where SETUP.EXE was built")
    parser.add_argument("-k", "--keyword", help="run only scenarios whose name holds this")
    parser.add_argument("-j", "--jobs", type=int, default=len(os.sched_getaffinity(0)),
                        help="scenarios run side by side (default: the cores this may use)")
    options = parser.parse_args()
    options.build = os.path.abspath(options.build)
    if options.windows_build:
        options.windows_build = os.path.abspath(options.windows_build)

    if options.platform == "wine":
        Wine.make_base(os.path.join(options.build, "wine-base"))

    chosen = [s for s in SCENARIOS if not options.keyword or options.keyword in s["name"]]
    passed = failed = skipped = 0
    with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, options.jobs)) as pool:
        runs = [None if s["only"] and s["only"] != options.platform
                else pool.submit(report, s, options) for s in chosen]
        # In row order, each as soon as the rows before it are done.
        for scenario, run in zip(chosen, runs):
            if run is None:
                skipped += 1
                print(f"skip  {scenario['name']}: {scenario['why']}")
                continue
            ok, lines = run.result()
            passed += ok
            failed += not ok
            print("\n".join(lines))
            sys.stdout.flush()
    print(f"{options.platform}: {passed} passed, {failed} failed, {skipped} skipped")
    return 1 if failed or not passed else 0


if __name__ == "__main__":
    sys.exit(main())
