#!/usr/bin/env python3
"""The folders of src/ include each other downwards only: every #include of
another folder's header must leave the include graph free of cycles, so that
the folders stand on floors, each including only floors below it. Prints the
floors (bottom first); exits 1 naming a cycle when there is one."""
import os
import re
import sys

INCLUDE = re.compile(r'^#include "([a-z]+)/', re.M)


def graph(src):
    edges = {d: set() for d in sorted(os.listdir(src)) if os.path.isdir(os.path.join(src, d))}
    for folder in edges:
        for root, _, files in os.walk(os.path.join(src, folder)):
            for name in files:
                with open(os.path.join(root, name), encoding="utf-8") as f:
                    edges[folder] |= {m for m in INCLUDE.findall(f.read()) if m != folder}
    return edges


def floors(edges):
    """Each folder's floor (one above the highest it includes), or the cycle
    met on the way as a list of folders."""
    floor, onpath = {}, []

    def visit(folder):
        if folder in onpath:
            raise ValueError(onpath[onpath.index(folder):] + [folder])
        if folder not in floor:
            onpath.append(folder)
            floor[folder] = 1 + max((visit(d) for d in edges.get(folder, ())), default=-1)
            onpath.pop()
        return floor[folder]

    for folder in edges:
        visit(folder)
    return floor


def main():
    src = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "..", "src")
    try:
        floor = floors(graph(src))
    except ValueError as cycle:
        print("layering: the folders include each other in a cycle: " + " -> ".join(cycle.args[0]))
        return 1
    for level in range(max(floor.values()) + 1):
        print("floor %d: %s" % (level, " ".join(sorted(f for f in floor if floor[f] == level))))
    return 0


if __name__ == "__main__":
    sys.exit(main())
