#!/usr/bin/env python3
"""Fails when an include in src/ goes up the layers instead of down: each layer may
include its own headers and those of the layers before it, never a later one.
    python3 .ci/check-includes.py"""
import os
import re
import sys

# In the order they may include one another; the first piece of an include names its layer.
LAYERS = ["core", "json", "query", "collections", "store", "python"]
FOLDERS = {"src/lib/core": "core", "src/lib/json": "json", "src/query": "query",
           "src/lib/collections": "collections", "src/lib/store": "store", "src/lib/python": "python"}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"/]+)/[^"]+"', re.MULTILINE)


def main():
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir)
    wrong, seen = [], 0
    for folder, layer in FOLDERS.items():
        directory = os.path.join(root, folder)
        for name in sorted(os.listdir(directory)):
            path = os.path.join(directory, name)
            with open(path, encoding="utf-8") as handle:
                text = handle.read()
            for match in INCLUDE.finditer(text):
                seen += 1
                target = match.group(1)
                if target not in LAYERS:
                    wrong.append(f"{folder}/{name}: includes {match.group(0).strip()}, of no layer")
                elif LAYERS.index(target) > LAYERS.index(layer):
                    wrong.append(f"{folder}/{name} ({layer}) includes {target}/, a later layer")
    for line in wrong:
        print(line, file=sys.stderr)
    if wrong or seen == 0:
        sys.exit(1)
    print(f"includes: {seen} checked, every one down the layers " + " < ".join(LAYERS))


if __name__ == "__main__":
    main()
