"""Prints which layer of src/ includes which; fails on an include that runs
against the layer order, on a cycle, and on a folder not in the order.

    python tools/include_graph.py            # the working tree
    python tools/include_graph.py REV        # any git revision, e.g. to
                                             # compare with an older layout

A layer is a folder directly under src/. Each line is one edge, "from -> to",
with the number of include lines behind it; the layers are listed in the
order the build links them when there is no cycle. The exit status is 1 when
anything is wrong (each offending include line is named), 0 otherwise; CI
runs it before it builds anything.
"""

import collections
import os
import posixpath
import re
import subprocess
import sys

# Top to bottom: a layer may include itself and the layers after it here.
ORDER = ["binding", "ops", "autograd", "engine", "core", "runtime"]

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def sources(rev):
    """(path, text) of every C++ file under src/, at `rev` or on disk."""
    if rev is None:
        listing = subprocess.run(["git", "ls-files", "--cached", "--others", "--exclude-standard", "src"],
                                 capture_output=True, text=True, check=True).stdout.split()
        for path in listing:
            if path.endswith((".cpp", ".hpp")):
                try:
                    with open(path, encoding="utf-8") as f:
                        yield path, f.read()
                except FileNotFoundError:
                    pass
        return
    listing = subprocess.run(["git", "ls-tree", "-r", "--name-only", rev, "src"],
                             capture_output=True, text=True, check=True).stdout.split()
    for path in listing:
        if path.endswith((".cpp", ".hpp")):
            yield path, subprocess.run(["git", "show", f"{rev}:{path}"], capture_output=True,
                                       text=True, check=True).stdout


def layer_of(path):
    parts = path.split("/")
    return parts[1] if parts[0] == "src" else parts[0]


def resolve(path, target, known):
    """The file under src/ that `#include "target"` in `path` names, as the
    compiler finds it: beside the including file first, then from src/."""
    beside = posixpath.normpath(posixpath.join(posixpath.dirname(path), target))
    if beside in known:
        return beside
    # Not a file here (a system header, or one not written yet): it counts
    # only when it names a layer's folder.
    return "src/" + target if target.split("/")[0] in ORDER else None


def main():
    os.chdir(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    rev = sys.argv[1] if len(sys.argv) > 1 else None
    files = dict(sources(rev))
    edges = collections.Counter()
    layers = set()
    upward = []
    for path, text in sorted(files.items()):
        here = layer_of(path)
        layers.add(here)
        for match in INCLUDE.finditer(text):
            found = resolve(path, match.group(1), files)
            there = layer_of(found) if found else here
            if there == here:
                continue
            edges[here, there] += 1
            if here in ORDER and there in ORDER and ORDER.index(there) < ORDER.index(here):
                line = text.count("\n", 0, match.start(1)) + 1
                upward.append(f"{path}:{line}: {here} includes {match.group(1)} from {there}, above it")
    graph = collections.defaultdict(set)
    for (a, b) in edges:
        graph[a].add(b)

    print(f"include graph of src/ at {rev or 'the working tree'}")
    for (a, b), n in sorted(edges.items()):
        print(f"  {a:>9} -> {b:<9} {n:4d}")

    # Cycles: pairs of layers that reach each other.
    def reach(start):
        seen, todo = set(), [start]
        while todo:
            for nxt in graph[todo.pop()]:
                if nxt not in seen:
                    seen.add(nxt)
                    todo.append(nxt)
        return seen

    reachable = {layer: reach(layer) for layer in layers | set(graph)}
    cycles = sorted({tuple(sorted((a, b))) for a in reachable for b in reachable[a] if a in reachable[b] and a != b})
    unknown = sorted((layers | set(graph)) - set(ORDER))
    problems = upward + [f"{a} <-> {b}: a cycle" for a, b in cycles]
    problems += [f"src/{u}: not a layer of the order; add it to ORDER here and to the build" for u in unknown]
    if problems:
        print("the layer order is " + " -> ".join(ORDER) + "; includes that break it:")
        for p in problems:
            print("  " + p)
        return 1
    order = sorted(layers, key=lambda layer: -len(reachable[layer]))
    print("no cycles, no upward includes; top to bottom: " + " -> ".join(order))
    return 0


if __name__ == "__main__":
    sys.exit(main())
