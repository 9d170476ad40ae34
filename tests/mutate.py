#!/usr/bin/env python3
"""Plants simple faults, one at a time, in a copy of the tree and lists each
one that no suite catches.

The faults: a comparison turned around (== and !=) or made inclusive or
exclusive (< and <=, > and >=), && for || and back, a constant off by one,
true for false, a statement dropped, an early return dropped, and a flag left
out (one operand of A | B in C++, one option of a command in the shell
scripts). The copy is build/mutate/tree; it is built once with the native
preset (and the Windows one when a script of the shipping check is planted),
then each fault is built incrementally and the suites that run its file are
run, fastest first, stopping at the first failure: a failure, or a suite
still running at five times its unchanged time and half a minute (a hang; a
loaded machine must not pass for one), is a catch. Before planting anything
every suite must pass on the unchanged copy. A fault the compiler refuses is
counted apart, as not built. C++ runs under the native build's unit tests,
damaged_store, e2e_native and e2e_interrupt (the sweep and the Wine suites
would need the sanitizer or Windows build again for each fault); a script
under the suites that run it (SCRIPT_SUITES); a script no suite runs, such as
the demo or the dependency installer, is not planted.

    tests/mutate.py [PATH ...] [--sample N] [--seed S] [--list]

PATHs are files or folders (the Installer's rooms, platform/emu and tools by
default); --sample plants N faults drawn with the seed S, so that a run can
be replayed; --list prints the faults without building anything.
"""
import argparse
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WORK = os.path.join(TOP, "build", "mutate")
TREE = os.path.join(WORK, "tree")
DEFAULT_PATHS = ["main", "detect", "files", "upgrade", "platform/emu", "tools"]
CXX_SUITES = ["unit_tests", "damaged_store", "e2e_native", "e2e_interrupt"]
# Scripts and the suites that run them; a script no suite runs is not planted.
SCRIPT_SUITES = {
    "tools/pe.py": ["pe_tool", "distribution_tool", "shipping"],
    "tools/distribution.py": ["distribution_tool"],
    "tools/sign.sh": ["shipping"],
    "tools/release.sh": ["shipping"],
    "tools/lint.sh": ["lint"],
}
NEEDS_WINDOWS = {"shipping"}


class Fault:
    def __init__(self, path, line, kind, before, after, replacement):
        self.path, self.line, self.kind = path, line, kind
        self.before, self.after = before, after
        self.replacement = replacement  # {line index: new text}

    def __str__(self):
        return "%s:%d: %s: %s  ->  %s" % (self.path, self.line, self.kind,
                                         self.before.strip(), self.after.strip())


# ---- where code is: strings and comments blanked out, columns kept ----

def masked_lines(lines, language):
    """Each line with its string literals' and comments' characters made
    blanks (quotes kept), so that patterns only ever see code."""
    out = []
    in_block = None  # "*/" in C++, or a Python triple quote
    heredoc = None
    for text in lines:
        chars = list(text)
        if heredoc is not None:
            out.append(" " * len(text))
            if text.strip() == heredoc:
                heredoc = None
            continue
        i = 0
        while i < len(chars):
            if in_block:
                end = text.find(in_block, i)
                stop = len(chars) if end < 0 else end
                for j in range(i, stop):
                    chars[j] = " "
                if end < 0:
                    break
                i = end + len(in_block)
                in_block = None
                continue
            c = text[i]
            if language == "cpp" and text.startswith("//", i):
                chars[i:] = " " * (len(chars) - i)
                break
            if language == "cpp" and text.startswith("/*", i):
                chars[i] = chars[i + 1] = " "
                in_block, i = "*/", i + 2
                continue
            if language == "py" and text.startswith(('"""', "'''"), i):
                in_block, i = text[i:i + 3], i + 3
                continue
            if c == "#" and language in ("py", "sh") and (
                    language == "py" or i == 0 or text[i - 1] in " \t;"):
                chars[i:] = " " * (len(chars) - i)
                break
            if language == "sh":
                here = re.match(r"<<-?\s*['\"]?(\w+)", text[i:])
                if here:
                    heredoc = here.group(1)
            if c in "\"'" and not (language == "cpp" and c == "'" and i > 0
                                   and text[i - 1].isalnum()):
                escapes = c == '"' or language != "sh"  # not in a shell's '...'
                j = i + 1
                while j < len(text) and text[j] != c:
                    j += 2 if text[j] == "\\" and escapes else 1
                for k in range(i + 1, min(j, len(text))):
                    chars[k] = " "
                i = j + 1
                continue
            i += 1
        out.append("".join(chars))
    return out


# ---- the faults of one line ----

COMPARISONS = {"==": "!=", "!=": "==", "<": "<=", "<=": "<", ">": ">=", ">=": ">"}
SH_COMPARISONS = {"-eq": "-ne", "-ne": "-eq", "-lt": "-le", "-le": "-lt",
                  "-gt": "-ge", "-ge": "-gt", "=": "!=", "==": "!=", "!=": "="}
LOGIC = {"cpp": {"&&": "||", "||": "&&"}, "py": {"and": "or", "or": "and"},
         "sh": {"&&": "||", "||": "&&"}}
BOOLEANS = {"cpp": {"true": "false", "false": "true"},
            "py": {"True": "False", "False": "True"}, "sh": {}}
CXX_EXPRESSION = re.compile(
    r"^(\w+(::|\.|->))*~?\w+(\[[^\]]*\])?\s*(\(|=[^=]|\+=|-=|\|=|&=|\^=|\+\+|--)")
CXX_KEYWORDS = re.compile(r"^(return|case|default|if|for|while|switch|do|else|sizeof|"
                          r"static_assert|throw|delete|new)\b")
PY_EXPRESSION = re.compile(r"^[\w.]+(\[[^\]]*\])?\s*(\(|=[^=]|\+=|-=)")
PY_KEYWORDS = re.compile(r"^(def|class|import|from|return|if|elif|else|for|while|with|"
                         r"try|except|finally|raise|assert|global|nonlocal|pass|"
                         r"break|continue|yield|lambda|async|await)\b")
SH_KEYWORDS = re.compile(r"^(if|then|else|elif|fi|for|while|until|do|done|case|esac|"
                         r"function|local|set|trap|exit|return|\{|\}|\w+\(\)|\w+=|"
                         r"[^ ]*\)$|;;|\[|\[\[)")


def one_spot(faults, path, index, original, start, end, new, kind):
    after = original[:start] + new + original[end:]
    faults.append(Fault(path, index + 1, kind, original, after, {index: after}))


def token_faults(faults, path, language, index, text, code):
    if language != "sh":
        for match in re.finditer(r"(?<=\s)(==|!=|<=|>=|<|>)(?=\s)", code):
            one_spot(faults, path, index, text, match.start(), match.end(),
                     COMPARISONS[match.group(1)], "comparison")
    elif "[" in code:  # a test: elsewhere = assigns and < > redirect
        for match in re.finditer(r"(?<=\s)(-eq|-ne|-lt|-le|-gt|-ge|==|!=|=)(?=\s)", code):
            one_spot(faults, path, index, text, match.start(), match.end(),
                     SH_COMPARISONS[match.group(1)], "comparison")
    for word, other in LOGIC[language].items():
        pattern = r"(?<=\s)%s(?=\s)" % re.escape(word)
        for match in re.finditer(pattern, code):
            one_spot(faults, path, index, text, match.start(), match.end(), other, "logic")
    for word, other in BOOLEANS[language].items():
        for match in re.finditer(r"\b%s\b" % word, code):
            one_spot(faults, path, index, text, match.start(), match.end(), other, "constant")
    number = (r"(?<![\w$>&.-])(\d+)(?![\w>&.])" if language == "sh" else
              r"(?<![\w.])(0[xX][0-9A-Fa-f]+|\d+)(?![\w.'])")
    for match in re.finditer(number, code):
        if language == "cpp" and re.search(r"\w\s+\w+\[$", code[:match.start()]):
            continue  # an array's size: only the room left over changes
        literal = match.group(1)
        if literal.lower().startswith("0x"):
            digits = len(literal) - 2
            new = literal[:2] + format(int(literal, 16) + 1, "0%dX" % digits)
        else:
            new = str(int(literal) + 1)
        one_spot(faults, path, index, text, match.start(), match.end(), new, "constant")
    if language == "cpp":
        # A flag left out: one operand of an A | B of named constants.
        for match in re.finditer(r"\s\|\s+((\w+::)*[A-Z][A-Z0-9_]*)\b", code):
            one_spot(faults, path, index, text, match.start(), match.end(), "", "flag")
        for match in re.finditer(r"(?<![\w|])((\w+::)*[A-Z][A-Z0-9_]*)\s+\|\s(?!\|)", code):
            if not re.search(r"\|\s*$", code[:match.start()]):
                one_spot(faults, path, index, text, match.start(), match.end(), "", "flag")
    if language == "sh" and not SH_KEYWORDS.match(code.strip()) and "[" not in code:
        for match in re.finditer(r"(?<=\s)--?[A-Za-z][\w-]*(?=[\s=]|$)", code):
            end = match.end()
            if code[end:end + 1] == "=":
                end = len(re.match(r"=\S*", code[end:]).group(0)) + end
            one_spot(faults, path, index, text, match.start() - 1, end, "", "flag")


def statement_end(code, index):
    """The index of the line that ends the statement starting at index."""
    depth = 0
    for j in range(index, min(index + 20, len(code))):
        depth += code[j].count("(") + code[j].count("[") + code[j].count("{")
        depth -= code[j].count(")") + code[j].count("]") + code[j].count("}")
        stripped = code[j].rstrip()
        if depth <= 0 and (stripped.endswith(";") or
                           (depth == 0 and not stripped.endswith(("\\", ",", "(")))):
            return j
    return None


def dropped(faults, path, kind, lines, code, first, column, replacement):
    """The statement starting at lines[first][column:] replaced whole."""
    last = statement_end(code, first)
    if last is None or (language_of(path) == "cpp" and not code[last].rstrip().endswith(";")):
        return  # a C++ statement ends with ';': anything else is a declaration
    change = {first: lines[first][:column] + replacement}
    if last == first:
        tail = code[first].rstrip()
        change[first] = lines[first][:column] + replacement + lines[first][len(tail):]
    for j in range(first + 1, last + 1):
        change[j] = ""
    before = " ".join(lines[j].strip() for j in range(first, last + 1))
    faults.append(Fault(path, first + 1, kind, before, change[first], change))


def statement_faults(faults, path, language, lines, code):
    opener = []  # the line that opened each open brace (C++)
    previous = ""
    def_indent = []  # Python: the indentation of the enclosing defs
    depth = 0  # shell: parentheses still open, as in an array over lines
    for index, (text, masked) in enumerate(zip(lines, code)):
        stripped = masked.strip()
        if not stripped:
            continue
        indent = len(masked) - len(masked.lstrip())
        if language == "cpp":
            starts = not previous or previous.endswith((";", "{", "}", ")", ":", "else"))
            if stripped.startswith("#"):
                previous = ""
                continue
            early_block = opener and re.match(r"^(\}\s*)?(if|else|for|while|do|switch|case)\b",
                                              opener[-1])
            if starts and stripped.startswith("return") and (
                    early_block or previous.endswith((")", "else"))):
                dropped(faults, path, "early return dropped", lines, code, index, indent, "{}")
            elif starts and CXX_EXPRESSION.match(stripped) and not CXX_KEYWORDS.match(stripped) \
                    and not re.search(r"=\s*(delete|default)\s*;$", stripped):
                dropped(faults, path, "statement dropped", lines, code, index, indent, "{}")
            inline = re.search(r"^(\s*(\}\s*else\s+)?if\s*\(.*\)\s*)(return\b[^;]*;)\s*$", masked)
            if inline:
                one_spot(faults, path, index, text, inline.end(1), inline.end(3), "{}",
                         "early return dropped")
            for c in masked:
                if c == "{":
                    opener.append(stripped if stripped != "{" else previous)
                elif c == "}" and opener:
                    opener.pop()
            previous = stripped
        elif language == "py":
            starts = not previous.endswith(("\\", ",", "(", "[", "{"))
            while def_indent and indent <= def_indent[-1]:
                def_indent.pop()
            if stripped.startswith("def "):
                def_indent.append(indent)
            elif starts and stripped.startswith("return") and def_indent and \
                    indent > def_indent[-1] + 4:
                dropped(faults, path, "early return dropped", lines, code, index, indent, "pass")
            elif starts and PY_EXPRESSION.match(stripped) and not PY_KEYWORDS.match(stripped):
                dropped(faults, path, "statement dropped", lines, code, index, indent, "pass")
            previous = stripped
        else:
            starts = not previous.endswith(("\\", "|", "&&", "||")) and depth == 0
            depth = max(0, depth + masked.count("(") - masked.count(")"))
            for match in re.finditer(r"\b(exit|return)\b(\s+\d+)?", masked):
                if indent > 0 or match.start() > indent:  # in a block, or after || or &&
                    one_spot(faults, path, index, text, match.start(), match.end(), ":",
                             "early return dropped")
            if starts and not SH_KEYWORDS.match(stripped) and not stripped.endswith("\\") \
                    and re.match(r"^[\w./\"$-]", stripped):
                end = len(masked.rstrip())
                one_spot(faults, path, index, text, indent, end, ":", "statement dropped")
            previous = stripped


def language_of(path):
    if path.endswith((".cpp", ".h")):
        return "cpp"
    if path.endswith(".py"):
        return "py"
    if path.endswith(".sh"):
        return "sh"
    return None


def faults_in(path, text):
    language = language_of(path)
    lines = text.split("\n")
    code = masked_lines(lines, language)
    faults = []
    for index, (line, masked) in enumerate(zip(lines, code)):
        if language == "cpp" and masked.lstrip().startswith(("#", "static_assert")):
            continue
        if language == "py" and masked.lstrip().startswith(("import", "from")):
            continue
        token_faults(faults, path, language, index, line, masked)
    statement_faults(faults, path, language, lines, code)
    faults.sort(key=lambda f: (f.line, f.kind, f.after))
    return faults


def apply(text, fault):
    lines = text.split("\n")
    for index, new in fault.replacement.items():
        lines[index] = new
    return "\n".join(lines)


# ---- the copy, its builds and its suites ----

def tracked_files():
    listed = subprocess.run(["git", "ls-files", "-z"], cwd=TOP, check=True,
                            capture_output=True).stdout.decode().split("\0")
    return [f for f in listed if f and os.path.isfile(os.path.join(TOP, f))]


def write(path, data):
    """Written anew, never with the old time: the build must see the change."""
    with open(path, "wb") as f:
        f.write(data)


def sync_tree():
    """The copy made equal to the checkout, touching only what differs, so
    that a fault left by a run that was stopped is gone and a rebuild stays
    incremental."""
    for name in tracked_files():
        source, copy = os.path.join(TOP, name), os.path.join(TREE, name)
        with open(source, "rb") as f:
            data = f.read()
        if os.path.exists(copy):
            with open(copy, "rb") as f:
                if f.read() == data:
                    continue
        os.makedirs(os.path.dirname(copy), exist_ok=True)
        write(copy, data)
        shutil.copymode(source, copy)


def run(command, timeout, cwd=TREE, log=None):
    """(exit status or "timeout", seconds); the whole process group ends."""
    started = time.monotonic()
    with open(log or os.devnull, "wb") as out:
        process = subprocess.Popen(command, cwd=cwd, stdout=out, stderr=subprocess.STDOUT,
                                   stdin=subprocess.DEVNULL, start_new_session=True)
        try:
            status = process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            status = "timeout"
        finally:
            try:
                os.killpg(process.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            process.wait()
    return status, time.monotonic() - started


def build(preset):
    if not os.path.exists(os.path.join(TREE, "build", preset, "build.ninja")):
        status, _ = run(["cmake", "--preset", preset], 600, log=os.path.join(WORK, "build.log"))
        if status != 0:
            return False
    status, _ = run(["cmake", "--build", "--preset", preset], 1800,
                    log=os.path.join(WORK, "build.log"))
    return status == 0


def suite_commands():
    """Each suite of the native build's ctest, as ctest runs it; the unit
    tests as one run of their program, which stops at its first failure."""
    listed = subprocess.run(["ctest", "--preset", "native", "--show-only=json-v1"], cwd=TREE,
                            check=True, capture_output=True, text=True).stdout
    suites = {}
    for test in json.loads(listed)["tests"]:
        command = test["command"]
        if os.path.basename(command[0]) == "unit_tests":
            suites["unit_tests"] = [command[0], "--gtest_fail_fast", "--gtest_brief=1"]
        else:
            suites[test["name"]] = command
    return suites


def suites_of(path):
    return CXX_SUITES if language_of(path) == "cpp" else SCRIPT_SUITES.get(path, [])


def selected_files(paths):
    tracked = tracked_files()
    chosen = []
    for path in paths:
        path = os.path.relpath(os.path.abspath(path), TOP)
        chosen += [f for f in tracked if (f == path or f.startswith(path.rstrip("/") + "/"))
                   and language_of(f) and suites_of(f)]
    return sorted(set(chosen))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("paths", nargs="*", default=DEFAULT_PATHS)
    parser.add_argument("--sample", type=int, help="plant this many faults, drawn at random")
    parser.add_argument("--seed", type=int, default=1, help="the draw's seed (1 unless set)")
    parser.add_argument("--list", action="store_true", help="print the faults, plant none")
    options = parser.parse_args()

    files = selected_files(options.paths)
    texts = {}
    for name in files:
        with open(os.path.join(TOP, name), encoding="utf-8") as f:
            texts[name] = f.read()
    every = [fault for name in files for fault in faults_in(name, texts[name])]
    chosen = every
    if options.sample is not None and options.sample < len(every):
        chosen = random.Random(options.seed).sample(every, options.sample)
        chosen.sort(key=lambda f: (f.path, f.line, f.kind, f.after))
    print("%d faults in %d files; planting %d%s" % (
        len(every), len(files), len(chosen),
        " (sample, seed %d)" % options.seed if chosen is not every else ""), flush=True)
    if options.list:
        signal.signal(signal.SIGPIPE, signal.SIG_DFL)  # --list | head
        for fault in chosen:
            print(fault)
        return 0

    os.makedirs(TREE, exist_ok=True)
    sync_tree()
    wanted = sorted({s for fault in chosen for s in suites_of(fault.path)})
    presets = ["native"] + (["windows"] if NEEDS_WINDOWS & set(wanted) else [])
    for preset in presets:
        if not build(preset):
            print("the unchanged copy does not build (%s): see %s" % (
                preset, os.path.join(WORK, "build.log")))
            return 1
    commands = suite_commands()
    missing = [s for s in wanted if s not in commands]
    if missing:
        print("no such suite in the native build: " + ", ".join(missing))
        return 1

    # Every suite must pass unchanged, or its failure would count as a catch.
    baseline = {}
    for suite in wanted:
        status, seconds = run(commands[suite], 1800, log=os.path.join(WORK, suite + ".log"))
        if status != 0:
            print("%s fails on the unchanged copy (%s): see %s" % (
                suite, status, os.path.join(WORK, suite + ".log")))
            return 1
        baseline[suite] = seconds
        print("unchanged: %s passes in %.0f s" % (suite, seconds), flush=True)

    started = time.monotonic()
    figures = {}  # file: [planted, caught, survivors, not built]
    survivors = []
    current = None
    for number, fault in enumerate(chosen, 1):
        if current and current != fault.path:
            write(os.path.join(TREE, current), texts[current].encode())
        current = fault.path
        write(os.path.join(TREE, fault.path), apply(texts[fault.path], fault).encode())
        row = figures.setdefault(fault.path, [0, 0, 0, 0])
        presets = ["native"] + (["windows"] if NEEDS_WINDOWS & set(suites_of(fault.path))
                                else [])
        if not all(build(preset) for preset in presets):
            row[3] += 1
            print("[%d/%d] not built  %s" % (number, len(chosen), fault), flush=True)
            continue
        row[0] += 1
        verdict = None
        for suite in sorted(suites_of(fault.path), key=lambda s: baseline[s]):
            status, _ = run(commands[suite], 5 * baseline[suite] + 30)
            if status != 0:
                verdict = "caught by %s%s" % (suite, " (timeout)" if status == "timeout" else "")
                break
        if verdict:
            row[1] += 1
        else:
            row[2] += 1
            survivors.append(fault)
            verdict = "SURVIVED"
        print("[%d/%d] %s  %s" % (number, len(chosen), verdict, fault), flush=True)
    if current:
        write(os.path.join(TREE, current), texts[current].encode())

    print("\n%-40s %8s %8s %9s %9s" % ("file", "planted", "caught", "survived", "not built"))
    totals = [0, 0, 0, 0]
    for name in sorted(figures):
        row = figures[name]
        totals = [a + b for a, b in zip(totals, row)]
        print("%-40s %8d %8d %9d %9d" % (name, *row))
    print("%-40s %8d %8d %9d %9d" % ("total", *totals))
    print("%.0f minutes" % ((time.monotonic() - started) / 60))
    if survivors:
        print("\nNo suite catches:")
        for fault in survivors:
            print("  " + str(fault))
    return 0


if __name__ == "__main__":
    sys.exit(main())
