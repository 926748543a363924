#!/usr/bin/env python3
"""Fails when a unit under src/ includes a header of a higher layer.

The layers, lowest first; a file may include its own layer and those below:
  base -> log -> events (events, queue, nodes) -> net -> frame -> cmd
  -> link, telnet -> app
CMake builds one library per layer that links only the layers below
(CMakeLists.txt); this check also catches an upward include of a header-only
unit, which the linker cannot see.
"""
import pathlib
import re
import sys

LAYERS = ["base", "log", "events", "net", "frame", "cmd", "link", "app"]
# First match wins: (path prefix relative to src/, layer).
RULES = [
    ("base/", "base"),
    ("log/", "log"),
    ("frame/events.", "events"),
    ("frame/eventsink.", "events"),
    ("frame/messageq.", "events"),
    ("frame/appnode.", "events"),
    ("frame/timerrecord.", "events"),
    ("net/", "net"),
    ("frame/", "frame"),
    ("cmd/", "cmd"),
    ("link/", "link"),
    ("telnet/", "link"),
    ("app/", "app"),
]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def layer_of(rel):
    for prefix, layer in RULES:
        if rel.startswith(prefix):
            return layer
    return None


def main():
    src = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "src")
    errors = []
    for path in sorted(src.rglob("*")):
        if path.suffix not in (".h", ".cpp"):
            continue
        rel = path.relative_to(src).as_posix()
        mine = layer_of(rel)
        if mine is None:
            errors.append(f"{rel}: in no layer (add it to scripts/check_layers.py)")
            continue
        for no, line in enumerate(path.read_text(errors="replace").splitlines(), 1):
            m = INCLUDE.match(line)
            if not m:
                continue
            theirs = layer_of(m.group(1))
            if theirs is None:
                errors.append(f"{rel}:{no}: includes \"{m.group(1)}\", which is in no layer")
            elif LAYERS.index(theirs) > LAYERS.index(mine):
                errors.append(f"{rel}:{no}: {mine} includes \"{m.group(1)}\" of the higher layer {theirs}")
    for e in errors:
        print(e)
    print(f"layers: {len(errors)} upward or unplaced include(s)")
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
