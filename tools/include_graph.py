"""Prints which layer of src/ includes which, and any cycles between them.

    python tools/include_graph.py            # the working tree
    python tools/include_graph.py REV        # any git revision, e.g. to
                                             # compare with an older layout

A layer is a folder directly under src/. Each line is one edge, "from -> to",
with the number of include lines behind it; the layers are listed in the
order the build links them when there is no cycle.
"""

import collections
import re
import subprocess
import sys

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


def main():
    rev = sys.argv[1] if len(sys.argv) > 1 else None
    edges = collections.Counter()
    layers = set()
    for path, text in sources(rev):
        here = layer_of(path)
        layers.add(here)
        for target in INCLUDE.findall(text):
            there = layer_of(target) if "/" in target else here
            if there != here:
                edges[here, there] += 1
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

    reachable = {layer: reach(layer) for layer in layers}
    cycles = sorted({tuple(sorted((a, b))) for a in layers for b in reachable[a] if a in reachable[b] and a != b})
    if cycles:
        print("cycles: " + ", ".join(f"{a} <-> {b}" for a, b in cycles))
        return 1
    order = sorted(layers, key=lambda layer: -len(reachable[layer]))
    print("no cycles; top to bottom: " + " -> ".join(order))
    return 0


if __name__ == "__main__":
    sys.exit(main())
