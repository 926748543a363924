#!/usr/bin/env python3
"""Fails when a unit under src/ includes a header of a layer it may not use.

The folders of src/ are the layers, and the folders of src/app the daemon's
modules, which are layers too (named app/MODULE). Which layer stands on which
is written once, in CMakeLists.txt: every `zep_layer(NAME zep_DEP ...)` line
makes the library of src/NAME (app_MODULE: src/app/MODULE) and links it to
the layers it names. A file may include
its own layer and every layer its layer reaches through those links, nothing
else: an include of a higher layer or of a layer beside it (link and telnet)
fails, and so does a folder without a zep_layer line or a cycle of layers.
The linker would catch most of this too, but not an include of a header-only
unit. Usage: check_layers.py [SRC_DIR [CMAKELISTS]].
"""
import pathlib
import re
import sys

LAYER_LINE = re.compile(r"^\s*zep_layer\(\s*(\w+)([^)]*)\)", re.M)
INCLUDE = re.compile(r'^\s*#\s*include\s+"((?:app/)?[^"/]+)/[^"]+"')


def layer_name(cmake_name):
    """The layer of a zep_layer name: app_proto is the folder app/proto."""
    return cmake_name.replace("_", "/")


def read_layers(cmake):
    """{layer: set of layers it links directly}, from every zep_layer line."""
    graph = {}
    for m in LAYER_LINE.finditer(cmake.read_text()):
        deps = {layer_name(d[4:]) for d in m.group(2).split() if d.startswith("zep_")}
        graph.setdefault(layer_name(m.group(1)), set()).update(deps)
    return graph


def reachable(graph):
    """{layer: every layer below it}; raises on a cycle or an unknown layer."""
    below, state = {}, {}

    def visit(layer, path):
        if state.get(layer) == "done":
            return below[layer]
        if state.get(layer) == "open":
            raise ValueError("cycle of layers: " + " -> ".join(path + [layer]))
        if layer not in graph:
            raise ValueError(f"{path[-1]} links zep_{layer}, which no zep_layer line makes")
        state[layer] = "open"
        acc = set()
        for dep in graph[layer]:
            acc |= {dep} | visit(dep, path + [layer])
        state[layer], below[layer] = "done", acc
        return acc

    for layer in graph:
        visit(layer, [])
    return below


def check_doc(doc, drawing):
    """The drawing in `doc` against the includes as they are."""
    lines = doc.read_text().splitlines()
    start = next((i for i, l in enumerate(lines) if "check_layers.py --graph" in l), None)
    if start is None:
        return [f"{doc}: no line names check_layers.py --graph"]
    fence = next((i for i in range(start, len(lines)) if lines[i].startswith("```")), None)
    drawn = {}
    for line in lines[fence + 1:] if fence is not None else []:
        if line.startswith("```"):
            break
        name, _, rest = line.partition("->")
        rest = rest.strip()
        drawn[name.strip()] = [] if rest == "(nothing)" else [t.strip() for t in rest.split(",")]
    if drawn == drawing:
        return []
    out = [f"{doc}: the drawing of the includes is out of date; it should read:"]
    for layer, edges in drawing.items():
        out.append(f"{layer:11} -> " + (", ".join(edges) or "(nothing)"))
    return out


def check_table(doc, below):
    """The layout table's src rows: every layer once, each after those below it."""
    rows = re.findall(r"^\| `src/([\w/]+)` \|", doc.read_text(), re.M)
    late = [r for i, r in enumerate(rows) if r in below and not below[r] <= set(rows[:i])]
    if sorted(rows) == sorted(below) and not late:
        return []
    return [f"{doc}: the layout table lists src folders {rows}; it must list each of "
            f"{sorted(below)} once, every one after the layers it stands on"]


def main():
    args = sys.argv[1:]
    graph_wanted = "--graph" in args
    args = [a for a in args if a != "--graph"]
    opts = {}
    for flag in ("--doc", "--table"):
        if flag in args:
            i = args.index(flag)
            opts[flag] = pathlib.Path(args[i + 1])
            del args[i:i + 2]
    doc = opts.get("--doc")
    src = pathlib.Path(args[0] if args else "src")
    cmake = pathlib.Path(args[1]) if len(args) > 1 else src.parent / "CMakeLists.txt"
    errors = []
    uses = {}
    try:
        below = reachable(read_layers(cmake))
    except ValueError as e:
        print(f"layers: {e}")
        return 1
    for path in sorted(src.rglob("*")):
        if path.suffix not in (".h", ".cpp"):
            continue
        rel = path.relative_to(src).as_posix()
        parts = rel.split("/")
        mine = "/".join(parts[:2]) if parts[0] == "app" and len(parts) > 2 else parts[0]
        if mine not in below:
            errors.append(f"{rel}: src/{mine} is no layer (no zep_layer({mine} ...) in {cmake.name})")
            continue
        for no, line in enumerate(path.read_text(errors="replace").splitlines(), 1):
            m = INCLUDE.match(line)
            if not m:
                continue
            theirs = m.group(1)
            if theirs != mine:
                counts = uses.setdefault(mine, {})
                counts[theirs] = counts.get(theirs, 0) + 1
            if theirs == mine or theirs in below[mine]:
                continue
            if theirs not in below:
                errors.append(f'{rel}:{no}: includes "{m.group(0).split(chr(34))[1]}" of no layer')
            else:
                errors.append(f'{rel}:{no}: {mine} includes "{m.group(0).split(chr(34))[1]}" '
                              f"of {theirs}, which {mine} does not stand on")
    drawing = {}
    for layer in sorted(below, key=lambda n: (len(below[n]), n)):
        edges = sorted(uses.get(layer, {}).items(), key=lambda kv: (-len(below[kv[0]]), kv[0]))
        drawing[layer] = [t for t, _ in edges]
        if graph_wanted:
            print(f"{layer:11} -> " + (", ".join(f"{t} ({n})" for t, n in edges) or "(nothing)"))
    if doc is not None:
        errors += check_doc(doc, drawing)
    if "--table" in opts:
        errors += check_table(opts["--table"], below)
    for e in errors:
        print(e)
    print(f"layers: {len(errors)} problem(s): includes across the layer order, drawings out of date")
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
