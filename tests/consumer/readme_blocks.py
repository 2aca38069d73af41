#!/usr/bin/env python3
"""Writes out the blocks of a README that a marker line names:

    <!-- file: first/app.cxx -->
    ```cpp
    ...
    ```

Each marked fenced block is written, as it stands, to the named path under
the output folder. Fails when a marker has no block after it.

usage: readme_blocks.py <README.md> <output folder>"""
import os
import re
import sys

MARKER = re.compile(r"^<!-- file: (\S+) -->$")


def blocks(lines):
    at = 0
    while at < len(lines):
        marker = MARKER.match(lines[at])
        at += 1
        if not marker:
            continue
        if at >= len(lines) or not lines[at].startswith("```"):
            raise SystemExit(f"no block after the marker of {marker.group(1)}")
        end = at + 1
        while end < len(lines) and lines[end] != "```":
            end += 1
        if end == len(lines):
            raise SystemExit(f"the block of {marker.group(1)} does not end")
        yield marker.group(1), lines[at + 1:end]
        at = end + 1


def main():
    readme, out = sys.argv[1:3]
    with open(readme, encoding="utf-8") as f:
        lines = f.read().split("\n")
    found = 0
    for name, body in blocks(lines):
        path = os.path.join(out, name)
        os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
        with open(path, "w", encoding="utf-8") as f:
            f.write("\n".join(body) + "\n")
        found += 1
    if found == 0:
        raise SystemExit("no marked blocks")


if __name__ == "__main__":
    main()
