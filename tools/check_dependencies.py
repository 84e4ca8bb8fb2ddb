#!/usr/bin/env python3
"""Checks that the libraries' folders include each other only in the allowed directions.

Reads tools/dependencies.txt (one line a folder: "folder: allowed folders or headers") and every
#include "..." of the .h and .cpp files in those folders. A quoted include names a path from the
repository's top ("parser/fileparser.h") or, for the vector and matrix templates, a bare name
found in libs/wmlmath/include. Folders that are not listed (tests/, tools/, bench/, fuzz/) may
include anything, and no listed folder may include them. Prints one line per edge that the list does not allow and exits 1
when there is any; system includes (<...>) are not looked at.

Usage: tools/check_dependencies.py [repository folder]
"""
import os
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def read_rules(path):
    rules = {}
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            folder, sep, allowed = line.partition(":")
            if not sep:
                sys.exit(f"{path}:{number}: expected 'folder: allowed ...'")
            rules[folder.strip()] = allowed.split()
    return rules


def owner(path, folders):
    """The listed folder that holds path (the longest match), or None."""
    best = None
    for folder in folders:
        if path == folder or path.startswith(folder + "/"):
            if best is None or len(folder) > len(best):
                best = folder
    return best


def main():
    top = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else
                          os.path.join(os.path.dirname(__file__), ".."))
    rules = read_rules(os.path.join(top, "tools", "dependencies.txt"))
    folders = list(rules)
    bad = 0
    for folder in folders:
        for root, _, files in os.walk(os.path.join(top, folder)):
            for name in sorted(files):
                if not name.endswith((".h", ".cpp")):
                    continue
                path = os.path.join(root, name)
                source = os.path.relpath(path, top)
                if owner(source, folders) != folder:
                    continue  # a nested folder with a line of its own
                with open(path, encoding="utf-8", errors="replace") as f:
                    for number, line in enumerate(f, 1):
                        match = INCLUDE.match(line)
                        if not match:
                            continue
                        target = match.group(1)
                        if "/" not in target and os.path.exists(
                                os.path.join(top, "libs/wmlmath/include", target)):
                            target = "libs/wmlmath/include/" + target
                        to = owner(target, folders)
                        if to is None and not os.path.isdir(
                                os.path.join(top, target.split("/", 1)[0])):
                            continue  # beside the file, or generated: not a folder of the tree
                        if to == folder or to in rules[folder] or target in rules[folder]:
                            continue
                        print(f"{source}:{number}: {folder} may not include {target} "
                              f"(see tools/dependencies.txt)")
                        bad += 1
    if bad:
        print(f"{bad} include(s) against the allowed directions")
        return 1
    print("dependencies: every include follows tools/dependencies.txt")
    return 0


if __name__ == "__main__":
    sys.exit(main())
