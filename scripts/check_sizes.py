#!/usr/bin/env python3
"""Fails when a function of the daemon's code is longer than 60 lines or a
unit (header and source together) longer than 600.

A function is a body that opens at the end of a line at namespace level and
closes with a "}" at the start of a line; its length is counted from its
first line to its last, as a reader sees it. Lambdas and classes inside a
body count towards the function that holds them. Usage:
check_sizes.py [DIR ...] (default src/app); --all lists every function over
the limit under src/ without failing.
"""
import pathlib
import re
import sys

FUNC_MAX = 60
UNIT_MAX = 600
SKIP = ("#", "/", "}", "{", "namespace", "struct", "class", "enum", "union", "typedef", "using",
        "template", "extern", "static_assert")


def functions(path):
    """(name, first line, length) of every namespace-level function body."""
    lines = path.read_text(errors="replace").splitlines()
    out, i = [], 0
    while i < len(lines):
        line = lines[i]
        if not line or line[0] in " \t" or line.startswith(SKIP) or "(" not in line:
            i += 1
            continue
        # The signature may go on over a few lines (parameters, an
        # initialiser list) before its body opens.
        j = i
        while j < len(lines) and j < i + 12 and not lines[j].rstrip().endswith(("{", ";")):
            j += 1
        if j >= len(lines) or not lines[j].rstrip().endswith("{"):
            i = j + 1
            continue
        end = j + 1
        while end < len(lines) and not lines[end].startswith("}"):
            end += 1
        name = line.split("(")[0].split()[-1]
        out.append((name, i + 1, end - i + 1))
        i = end + 1
    return out


def main():
    args = [a for a in sys.argv[1:] if a != "--all"]
    report_all = "--all" in sys.argv
    roots = [pathlib.Path(a) for a in args] or [pathlib.Path("src/app")]
    if report_all:
        roots = [pathlib.Path("src")]
    errors = []
    units = {}
    for root in roots:
        for path in sorted(root.rglob("*")):
            if path.suffix not in (".h", ".cpp"):
                continue
            n = len(path.read_text(errors="replace").splitlines())
            units[path.with_suffix("")] = units.get(path.with_suffix(""), 0) + 0
            if path.suffix == ".cpp":
                units[path.with_suffix("")] = n
                for name, first, length in functions(path):
                    if length > FUNC_MAX:
                        errors.append(f"{path}:{first}: {name} has {length} lines (at most {FUNC_MAX})")
    for unit, n in sorted(units.items()):
        if n > UNIT_MAX:
            errors.append(f"{unit}.cpp: {n} lines (a unit past {UNIT_MAX} is split by concept)")
    for e in errors:
        print(e)
    print(f"sizes: {len(errors)} problem(s): functions over {FUNC_MAX} lines, units over {UNIT_MAX}")
    return 0 if report_all or not errors else 1


if __name__ == "__main__":
    sys.exit(main())
