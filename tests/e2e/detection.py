"""The deployment tools' detection rule, as docs/deployment.md gives it,
evaluated on the machine a scenario leaves: it must say "installed" exactly
when SETUP.EXE placed the software.

The rule is docs/deployment.md's table under "The detection rule": each row
a file that must exist with a last-write time no earlier than that of the
release's file, rounded down to the minute.
"""
import os
import re

from scenarios import DIST_FILES, DIST_TIME

DEPLOYMENT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs",
                          "deployment.md")
ROW = re.compile(r"^\| `(C:\\[^`]+)` \| `([^`]+)` \| the release's `([^`]+)` \|$")


def rule(document=DEPLOYMENT):
    """[(Windows path on the server, the release's file name)]."""
    with open(document, encoding="utf-8") as f:
        text = f.read()
    section = text.split("**The detection rule**", 1)[-1].split("\n\n**", 1)[0]
    rows = [(folder + "\\" + name, release) for folder, name, release
            in (m.groups() for m in map(ROW.match, section.splitlines()) if m)]
    if not rows or any(release not in DIST_FILES for _, release in rows):
        raise ValueError("no detection rule naming the distribution's files in " + document)
    return rows


def installed(drive_c, resolve, rows):
    # Every file of the test's distribution was last written at DIST_TIME.
    since = DIST_TIME // 60 * 60
    return all(os.path.isfile(resolve(drive_c, path))
               and os.stat(resolve(drive_c, path)).st_mtime >= since for path, _ in rows)


def placing(args):
    """Whether a run with these switches installs: not with /H, and not
    after a force code other than -FU (the run ends there)."""
    for arg in (a.upper() for a in args):
        if arg[:1] in "/-" and arg[1:2] == "F" and arg[1:] != "FU":
            return False
        if arg in ("/H", "-H"):
            return False
    return True


def check(platform, scenario, code, resolve):
    """Problems with the rule's verdict on the scenario's end state, once
    the server has restarted as the deployment recipes restart it: after 1,
    and after 16 from a run that installs (it may have left files in use,
    or deleted the old service's keys, for the restart)."""
    restarts = code == 1 or (code == 16 and placing(scenario["args"]))
    if restarts and not scenario["after_restart"]:
        platform.restart()
    want = code in (0, 1, 16) and placing(scenario["args"])
    got = installed(platform.drive_c, resolve, rule())
    if got == want:
        return []
    return ["after exit %d the detection rule says %sinstalled" % (
        code, "" if got else "not ")]
