#!/usr/bin/env python3
"""tests/mutate.py's planting, on a few lines of each language: the faults it
finds, and none inside a string, a comment or a template's brackets."""
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import mutate  # noqa: E402


def planted(path, text):
    return [(fault.line, fault.kind, fault.after.strip())
            for fault in mutate.faults_in(path, text)]


CPP = """\
int Pick(std::vector<int> v, int n) {
    // n < 2 && here is a comment
    if (n < 2 && v.empty()) return 0;
    Log("a < b || 3");
    x = Open(PATH, FLAG_A | FLAG_B);
    return n;
}
"""


class Planting(unittest.TestCase):
    def test_cpp(self):
        self.assertEqual(planted("a.cpp", CPP), [
            (3, "comparison", "if (n <= 2 && v.empty()) return 0;"),
            (3, "constant", "if (n < 2 && v.empty()) return 1;"),
            (3, "constant", "if (n < 3 && v.empty()) return 0;"),
            (3, "early return dropped", "if (n < 2 && v.empty()) {}"),
            (3, "logic", "if (n < 2 || v.empty()) return 0;"),
            (4, "statement dropped", "{}"),
            (5, "flag", "x = Open(PATH, FLAG_A);"),
            (5, "flag", "x = Open(PATH, FLAG_B);"),
            (5, "statement dropped", "{}"),
        ])

    def test_python_and_shell(self):
        self.assertEqual(planted("a.py", 'def f(n):\n    if n == 1 and "x or y":\n'
                                         '        return g(n)\n    h(n)  # or\n'), [
            (2, "comparison", 'if n != 1 and "x or y":'),
            (2, "constant", 'if n == 2 and "x or y":'),
            (2, "logic", 'if n == 1 or "x or y":'),
            (3, "early return dropped", "pass"),
            (4, "statement dropped", "pass  # or"),
        ])
        self.assertEqual(planted("a.sh", '[ "$n" -eq 1 ] || exit 2\ngrep -q "a -b" f\n'), [
            (1, "comparison", '[ "$n" -ne 1 ] || exit 2'),
            (1, "constant", '[ "$n" -eq 1 ] || exit 3'),
            (1, "constant", '[ "$n" -eq 2 ] || exit 2'),
            (1, "early return dropped", '[ "$n" -eq 1 ] || :'),
            (1, "logic", '[ "$n" -eq 1 ] && exit 2'),
            (2, "flag", 'grep "a -b" f'),
            (2, "statement dropped", ":"),
        ])

    def test_a_statement_over_lines_is_dropped_whole(self):
        fault, = [f for f in mutate.faults_in("a.cpp", "void f() {\n    Call(1,\n         2);\n}\n")
                  if f.kind == "statement dropped"]
        self.assertEqual(mutate.apply("void f() {\n    Call(1,\n         2);\n}\n", fault),
                         "void f() {\n    {}\n\n}\n")


if __name__ == "__main__":
    unittest.main()
