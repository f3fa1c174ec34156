#!/usr/bin/env python3
"""The server's and the remote connection's include graph, checked.

    include_layers.py [ROOT]

Reads the #include "..." lines of appserver/, components/remote/ and wire/
(ROOT: the checkout, by default the one this file is in) and fails, naming
each offence, when
  - a file includes one of a higher layer; the layers, lowest first, are
    wire/, appserver/core, appserver/db, appserver/domain, appserver/service,
    appserver/http, appserver/cli (components/remote/ stands on wire/ alone);
  - appserver/core includes anything of ours outside itself;
  - a file below appserver/service includes app_server.h;
  - the units (a header and its .cpp together) of appserver/ or of
    components/remote/ include each other in a circle.
An include that names no file of these folders (a system or library header,
the build's generated version header) is left alone.
"""
import os
import re
import sys

LAYERS = ["wire", "appserver/core", "appserver/db", "appserver/domain", "appserver/service", "appserver/http",
          "appserver/cli"]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def layer_of(path):
    """(index, name) of the layer a file belongs to."""
    for i, layer in reversed(list(enumerate(LAYERS))):
        if path == layer or path.startswith(layer + "/"):
            return i, layer
    if path.startswith("components/remote/"):
        return 0.5, "components/remote"
    return None, None


def main():
    root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", ".."))
    files = {}
    for top in ("wire", "appserver", "components/remote"):
        for folder, _, names in os.walk(os.path.join(root, top)):
            for name in names:
                if name.endswith((".h", ".cpp")):
                    full = os.path.join(folder, name)
                    files[os.path.relpath(full, root)] = full
    by_name = {}
    for rel in files:
        by_name.setdefault(os.path.basename(rel), []).append(rel)

    problems = []
    edges = {}
    for rel, full in sorted(files.items()):
        text = open(full, encoding="utf-8").read()
        level, layer = layer_of(rel)
        for name in INCLUDE.findall(text):
            targets = by_name.get(os.path.basename(name), [])
            if not targets:
                continue
            if len(targets) > 1:
                problems.append("%s includes %s, which names more than one file: %s" % (rel, name, targets))
                continue
            target = targets[0]
            if target == rel:
                continue
            edges.setdefault(rel, set()).add(target)
            t_level, t_layer = layer_of(target)
            if layer == "appserver/core" and t_layer != "appserver/core":
                problems.append("%s (core) includes %s: core includes nothing of ours" % (rel, target))
            elif layer == "components/remote" and t_layer not in ("wire", "components/remote"):
                problems.append("%s includes %s: the remote connection stands on wire/ alone" % (rel, target))
            elif t_level is not None and level is not None and t_level > level:
                problems.append("%s (%s) includes %s of the higher layer %s" % (rel, layer, target, t_layer))
            if os.path.basename(target) == "app_server.h" and level is not None and level < LAYERS.index(
                    "appserver/service"):
                problems.append("%s includes app_server.h" % rel)

    # Cycles between units: a header and its .cpp are one unit.
    def unit(path):
        return os.path.splitext(path)[0]

    graph = {}
    for a, targets in edges.items():
        for b in targets:
            if unit(a) != unit(b):
                graph.setdefault(unit(a), set()).add(unit(b))
    state, stack = {}, []

    def visit(u):
        state[u] = 1
        stack.append(u)
        for v in sorted(graph.get(u, ())):
            if state.get(v) == 1:
                problems.append("a circle of includes: " + " -> ".join(stack[stack.index(v):] + [v]))
            elif v not in state:
                visit(v)
        stack.pop()
        state[u] = 2

    for u in sorted(graph):
        if u not in state:
            visit(u)

    units = {unit(f) for f in files}
    print("include layers: %d files, %d units, %d includes between them, %d problems" %
          (len(files), len(units), sum(len(t) for t in edges.values()), len(problems)))
    for p in problems:
        print("  " + p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
