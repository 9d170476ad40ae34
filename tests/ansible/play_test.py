#!/usr/bin/env python3
"""The Ansible play of deploy/ansible/ run by Debian's ansible-playbook on
emulated machines: each row a server of its own (a host of one inventory,
its modules run locally by an interpreter that names its machine), through
stand-ins of the ansible.windows modules (tests/ansible/collections) that
take their options from the real modules' documentation. Every server runs
the play at once; a row with a second round runs it again after its fix.
Each round is held to what changed on the machine (SETUP.EXE's runs and
restarts) and to whether the play failed; the machine at the end to the
detection rule's files and to no moves left for a restart."""
import argparse
import json
import os
import shutil
import stat
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..", "..")
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
sys.path.insert(0, os.path.join(ROOT, "tools"))
import distribution  # noqa: E402
from run import SESSION_MANAGER, Native, reg_multi_string, resolve  # noqa: E402
from scenarios import DIST_FILES, DIST_TIME, NEW_TIME, OLD_FILES, OLD_KEYS, SYS  # noqa: E402

PLAY = os.path.join(ROOT, "deploy", "ansible", "vtn2.yml")
STANDINS = os.path.join(HERE, "collections")
MODULES = ["win_package", "win_reboot", "win_reg_stat", "win_stat"]
DEPLOY = "C:\\Deploy\\vtn2"
RULE_FILES = {folder + "\\" + name: source for folder, name, source in distribution.RULE}
SERVICE_RUNNING = SYS + "VLQSPSVC.EXE -service"
# Ansible's own: modules start faster than under another Python.
MODULE_PYTHON = shutil.which("python3", path="/usr/bin") or sys.executable
NEWER = {path: ("newer release\n", NEW_TIME) for path in RULE_FILES}


def row(name, fixtures, rounds, system=None, running=None, missing=(), arguments=None,
        end="installed"):
    """rounds: for each run of the play, what it did to the machine
    (["SETUP.EXE ARGS -> CODE", "restart"]) and whether it succeeded.
    missing: distribution files absent in the first round, there after it.
    end: the rule's files at the end: "installed" (the release's), "newer"
    (kept) or "absent" (none of the release's)."""
    return dict(name=name, fixtures=fixtures, rounds=rounds, system=system or {},
                running=running, missing=missing, arguments=arguments, end=end)


def setup_ran(code, arguments="/N"):
    return "SETUP.EXE %s -> %d" % (arguments, code)


SCENARIOS = [
    row("fresh install, then the play again", ["adapter-hid.reg"],
        [([setup_ran(0)], True), ([], True)]),
    row("a file in use: 1, restart", ["adapter-hid.reg"], [([setup_ran(1), "restart"], True)],
        system=OLD_FILES, running=SERVICE_RUNNING),
    row("adapter not found: 8", [], [([setup_ran(8)], False)], end="absent"),
    row("2, then a second run that installs", ["adapter-hid.reg"],
        [([setup_ran(2)], False), ([setup_ran(0)], True)], missing=["VLQSPW32.DLL"]),
    row("not reachable: 16, no restart due", ["adapter-usb.reg"], [([setup_ran(16)], True)]),
    row("not reachable with a file in use: 16, restart", ["adapter-usb.reg"],
        [([setup_ran(16), "restart"], True)], system=OLD_FILES, running=SERVICE_RUNNING),
    row("not reachable, old service's keys deleted: 16, restart", ["adapter-usb.reg"] + OLD_KEYS,
        [([setup_ran(16), "restart"], True)], system=OLD_FILES),
    row("an older release present", ["adapter-hid.reg"], [([setup_ran(0)], True)],
        system=OLD_FILES),
    row("a newer release present", ["adapter-hid.reg"], [([], True)], system=NEWER, end="newer"),
    row("mistyped force code: 0, nothing placed", ["adapter-hid.reg"],
        [([setup_ran(0, "/N -FX")], False)], arguments="/N -FX", end="absent"),
]


class Server:
    """A row's emulated machine, and the interpreter through which the
    play's modules act on it."""

    def __init__(self, index, scenario, work, options, docs):
        self.scenario = scenario
        self.host = "server%02d" % index
        self.work = os.path.join(work, self.host)
        os.makedirs(self.work)
        self.machine = Native(self.work, options.build, None)
        self.events = os.path.join(self.work, "events")
        self.programs = []
        env = {"VTN2_MACHINE": self.machine.root,
               "VTN2_MACHINE_TOOL": self.machine.machine_tool,
               "VTN2_STANDIN_LOG": self.machine.log, "VTN2_ANSIBLE_DOCS": docs,
               "VTN2_ANSIBLE_LOG": self.events, "VTN2_ANSIBLE_UTILS": HERE,
               "VTN2_PROGRAMS": os.path.join(self.work, "programs")}
        self.interpreter = os.path.join(self.work, "python")
        with open(self.interpreter, "w") as f:
            f.write("#!/bin/sh\n%s exec %s \"$@\"\n" % (
                " ".join("%s='%s'" % item for item in env.items()), MODULE_PYTHON))
        os.chmod(self.interpreter, stat.S_IRWXU)

    def set_up(self):
        m = self.machine
        m.prepare()
        for fixture in self.scenario["fixtures"]:
            m.import_reg(fixture)
        for path, (content, mtime) in self.scenario["system"].items():
            m.put(resolve(m.drive_c, path), content, mtime)
        m.dist = resolve(m.drive_c, DEPLOY)
        m.make_dist(self.scenario["missing"])
        if self.scenario["running"]:
            self.programs.append(m.start_running(self.scenario["running"]))
            with open(os.path.join(self.work, "programs"), "w") as f:
                f.write("".join("%d\n" % p.pid for p in self.programs))

    def fix(self):
        """What the administrator does before the second round."""
        for name in self.scenario["missing"]:
            self.machine.put(os.path.join(self.machine.dist, name), DIST_FILES[name], DIST_TIME)

    def take_events(self):
        if not os.path.exists(self.events):
            return []
        with open(self.events, encoding="utf-8") as f:
            lines = f.read().splitlines()
        os.unlink(self.events)
        return lines

    def end_problems(self):
        problems = []
        m = self.machine
        for path, source in RULE_FILES.items():
            got = m.file_bytes(path)
            release = m.content(DIST_FILES[source])
            want = {"installed": got == release,
                    "absent": got != release,
                    "newer": got == NEWER[path][0].encode()}[self.scenario["end"]]
            if not want:
                problems.append("%s is not as expected (%s): %r" % (
                    path, self.scenario["end"], got if got is None else got[:30]))
            elif self.scenario["end"] == "installed" and \
                    os.stat(resolve(m.drive_c, path)).st_mtime != DIST_TIME:
                problems.append("%s does not have the release's time" % path)
        moves = reg_multi_string(m.export(SESSION_MANAGER), "PendingFileRenameOperations")
        if moves:
            problems.append("moves left for a restart that no one asked for: %s" % moves)
        return problems

    def finish(self):
        for process in self.programs:
            if process.poll() is None:
                process.kill()
            process.wait()


def ansible_env(work):
    env = dict(os.environ, ANSIBLE_COLLECTIONS_PATH=STANDINS, ANSIBLE_STDOUT_CALLBACK="json",
               ANSIBLE_LOCAL_TEMP=os.path.join(work, "ansible-local"),
               ANSIBLE_REMOTE_TMP=os.path.join(work, "ansible-remote"),
               ANSIBLE_HOME=os.path.join(work, "ansible-home"), ANSIBLE_PIPELINING="True",
               ANSIBLE_NOCOLOR="1", ANSIBLE_RETRY_FILES_ENABLED="False",
               ANSIBLE_DEPRECATION_WARNINGS="False")
    return env


def real_docs(work):
    """The real modules' options and return values, from the collection
    Ansible comes with (not the stand-ins)."""
    path = os.path.join(work, "docs.json")
    env = dict(os.environ, ANSIBLE_LOCAL_TEMP=os.path.join(work, "ansible-local"),
               ANSIBLE_HOME=os.path.join(work, "ansible-home"))
    with open(path, "w") as f:
        subprocess.run(["ansible-doc", "-j"] + ["ansible.windows." + m for m in MODULES],
                       stdout=f, env=env, check=True)
    with open(path) as f:
        if sorted(json.load(f)) != ["ansible.windows." + m for m in MODULES]:
            raise RuntimeError("ansible-doc does not document " + ", ".join(MODULES))
    return path


def play(work, servers):
    """Runs the play on these servers at once: {host: failed}, or raises."""
    folder = os.path.join(work, "play")
    if not os.path.isdir(folder):
        os.makedirs(folder)
        shutil.copy(PLAY, folder)
        rows = distribution.rule_rows({name: DIST_TIME for name in distribution.FILES})
        with open(os.path.join(folder, "vtn2_release.yml"), "w") as f:
            f.write(distribution.ansible_vars(rows))
    inventory = {"vtn2_servers": {"hosts": {}}}
    for server in servers:
        host = {"ansible_connection": "local", "ansible_python_interpreter": server.interpreter}
        if server.scenario["arguments"]:
            host["vtn2_arguments"] = server.scenario["arguments"]
        inventory["vtn2_servers"]["hosts"][server.host] = host
    with open(os.path.join(work, "inventory.json"), "w") as f:
        json.dump(inventory, f)
    done = subprocess.run(["ansible-playbook", "-i", os.path.join(work, "inventory.json"),
                           "-f", str(len(servers)), os.path.join(folder, "vtn2.yml")],
                          capture_output=True, text=True, env=ansible_env(work), cwd=work)
    try:
        stats = json.loads(done.stdout)["stats"]
    except (ValueError, KeyError):
        raise RuntimeError("ansible-playbook gave no results (%d): %s%s" % (
            done.returncode, done.stdout[-2000:], done.stderr[-2000:]))
    return {s.host: stats.get(s.host, {}).get("failures", 1)
            + stats.get(s.host, {}).get("unreachable", 1) > 0 for s in servers}, done.stdout


def failed_tasks(output, host):
    """What the play said where it failed on host, for the report."""
    said = []
    for one in json.loads(output)["plays"]:
        for task in one["tasks"]:
            result = task["hosts"].get(host, {})
            if result.get("failed"):
                said.append("%s: %s" % (task["task"]["name"], result.get("msg", "")))
                said += ["    " + r.get("msg", "") for r in result.get("results", [])
                         if r.get("failed")]
    return said


def document_problems():
    """docs/deployment.md must show the play that is tested."""
    with open(os.path.join(ROOT, "docs", "deployment.md"), encoding="utf-8") as f:
        section = f.read().split("### Ansible", 1)[-1]
    shown = section.split("```yaml\n", 1)[-1].split("```", 1)[0]
    with open(PLAY, encoding="utf-8") as f:
        if shown != f.read():
            return ["docs/deployment.md's play under \"Ansible\" is not " + PLAY]
    return []


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", required=True, help="the native build directory")
    parser.add_argument("-k", "--keyword", help="run only the rows whose name holds this")
    options = parser.parse_args()
    options.build = os.path.abspath(options.build)
    if not shutil.which("ansible-playbook"):
        print("ansible-playbook is missing: apt-get install ansible (make deps)")
        return 1
    chosen = [s for s in SCENARIOS if not options.keyword or options.keyword in s["name"]]
    problems = {s["name"]: [] for s in chosen}
    with tempfile.TemporaryDirectory(prefix="vtn2-ansible-") as work:
        docs = real_docs(work)
        servers = [Server(i, s, work, options, docs) for i, s in enumerate(chosen)]
        try:
            for server in servers:
                server.set_up()
            for round_index in range(max(len(s["rounds"]) for s in chosen)):
                taking = [s for s in servers if len(s.scenario["rounds"]) > round_index]
                for server in taking:
                    if round_index:
                        server.fix()
                failed, output = play(work, taking)
                for server in taking:
                    events, succeeds = server.scenario["rounds"][round_index]
                    said = problems[server.scenario["name"]]
                    got = server.take_events()
                    if got != events:
                        said.append("round %d changed the machine by %s, expected %s" % (
                            round_index + 1, got, events))
                    if failed[server.host] == succeeds:
                        said.append("round %d: the play %s, expected it to %s" % (
                            round_index + 1, "failed" if failed[server.host] else "succeeded",
                            "succeed" if succeeds else "fail"))
                        said += ["    " + line for line in failed_tasks(output, server.host)]
            for server in servers:
                problems[server.scenario["name"]] += server.end_problems()
        finally:
            for server in servers:
                server.finish()
    problems["docs/deployment.md shows the play"] = document_problems()
    for name, said in problems.items():
        print("%s  %s" % ("FAIL" if said else "ok  ", name))
        for line in said:
            print("      " + line)
    failures = sum(1 for said in problems.values() if said)
    print("ansible: %d passed, %d failed" % (len(problems) - failures, failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
