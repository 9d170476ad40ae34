"""What the stand-ins of ansible.windows share: the real module's options and
return values, as `ansible-doc -j` gives them (in the file VTN2_ANSIBLE_DOCS
names), and the emulated machine the server is (VTN2_MACHINE, with its tool
VTN2_MACHINE_TOOL). VTN2_ANSIBLE_LOG, when set, gets a line for each change
made to the machine.

The stand-ins take their arguments as a file (WANT_JSON) and use the
AnsibleModule of the Ansible installed, compiled once, rather than the copy
Ansible packs with each run of a module and Python compiles every time:
that took 0.43 s of CPU a run, against 0.19 s, on a loaded machine."""
import json
import os
import re
import subprocess
import sys

from ansible.module_utils import basic

SPEC_KEYS = ("type", "elements", "default", "choices", "aliases", "required")


def module(name, modelled):
    """The AnsibleModule with the real module's options, which refuses what
    the real one refuses. modelled: the options this stand-in acts on; any
    other given a value is refused, so that a play never passes here on an
    option whose effect is not modelled."""
    with open(os.environ["VTN2_ANSIBLE_DOCS"], encoding="utf-8") as f:
        doc = json.load(f)["ansible.windows." + name]
    options = doc["doc"]["options"]
    spec = {option: dict({k: v for k, v in info.items() if k in SPEC_KEYS},
                         no_log=option.endswith("password"))
            for option, info in options.items()}
    with open(sys.argv[1], encoding="utf-8") as f:
        basic._ANSIBLE_ARGS = json.dumps({"ANSIBLE_MODULE_ARGS": json.load(f)}).encode()
    m = basic.AnsibleModule(argument_spec=spec)
    for option, info in options.items():
        if option not in modelled and m.params[option] != info.get("default"):
            m.fail_json(msg="the stand-in of %s does not model option %s" % (name, option))
    m.vtn2_returns = set(doc.get("return") or {}) | {"changed", "failed", "msg"}
    return m


def finish(m, fail=None, **result):
    """Ends the module with only the return values the real module documents."""
    unknown = set(result) - m.vtn2_returns
    if unknown:
        m.fail_json(msg="the stand-in returns what the module does not: %s" % sorted(unknown))
    if fail:
        m.fail_json(msg=fail, **result)
    m.exit_json(**result)


def host_path(windows_path):
    """The machine's file for a C: path, names matched without regard to case."""
    path = os.path.join(os.environ["VTN2_MACHINE"], "drive_c")
    if not re.match(r"^[cC]:[\\/]", windows_path):
        return None
    for part in re.split(r"[\\/]+", windows_path[3:]):
        if part in ("", "."):
            continue
        entries = os.listdir(path) if os.path.isdir(path) else []
        path = os.path.join(path, next((e for e in entries if e.lower() == part.lower()), part))
    return path


def machine_tool(*args):
    return subprocess.run([os.environ["VTN2_MACHINE_TOOL"], *args], capture_output=True,
                          text=True)


def log(line):
    if os.environ.get("VTN2_ANSIBLE_LOG"):
        with open(os.environ["VTN2_ANSIBLE_LOG"], "a", encoding="utf-8") as f:
            f.write(line + "\n")
