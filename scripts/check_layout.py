#!/usr/bin/env python3
"""Checks the source tree against the "Layout" table of README.md.

Every C++ file of a folder the table lists may include (with quotes) only
files of its own folder and of the folders in its "May include" column, and
a Qt header (<Q...>) only where that column names Qt; every folder in that
column must lie above the row in the table, so that the arrows point down,
and a folder without Qt may include no folder that has Qt (it would bring
Qt in through that folder's headers).
Every folder that holds sources must have a row (tests/, bench/ and fuzz/
excepted), and no source file may pass MAX_LINES lines.

    python3 scripts/check_layout.py [ROOT]

Prints one line per fault and exits 1 when there is any, 0 otherwise.
"""
import os
import re
import sys

MAX_LINES = 1000
FREE = ("tests/", "bench/", "fuzz/")  # may include any folder
SKIP = ("build", ".git")


def read_layout(readme):
    """The table's rows, in order: (folder, allowed folders, Qt allowed)."""
    rows, inside = [], False
    for line in open(readme, encoding="utf-8"):
        if line.startswith("## "):
            inside = line.strip() == "## Layout"
            continue
        if not inside or not line.startswith("| `"):
            continue
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        folder = cells[0].strip("`")
        allowed = re.findall(r"`([^`]+)`", cells[-1])
        rows.append((folder, allowed, re.search(r"\bQt\b", cells[-1]) is not None))
    return rows


def folder_of(path, folders):
    """The longest listed folder that `path` lies in, or None."""
    best = None
    for f in folders:
        if path.startswith(f) and (best is None or len(f) > len(best)):
            best = f
    return best


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
    root = os.path.abspath(root)
    rows = read_layout(os.path.join(root, "README.md"))
    faults = []
    if not rows:
        faults.append("README.md has no Layout table")
    folders = [r[0] for r in rows]
    rules = {}
    with_qt = {r[0] for r in rows if r[2]}
    for i, (folder, allowed, qt) in enumerate(rows):
        for a in allowed:
            if a not in folders[:i]:
                faults.append(f"{folder} may include {a}, which is not listed above it")
            if not qt and a in with_qt:
                faults.append(f"{folder} has no Qt but may include {a}, which has")
        rules[folder] = (set(allowed) | {folder}, qt)

    for dirpath, dirnames, filenames in os.walk(root):
        rel_dir = os.path.relpath(dirpath, root).replace(os.sep, "/")
        dirnames[:] = [d for d in dirnames if not (rel_dir == "." and d.startswith(SKIP))]
        for name in sorted(filenames):
            if not name.endswith((".h", ".cpp")):
                continue
            rel = (name if rel_dir == "." else rel_dir + "/" + name)
            text = open(os.path.join(dirpath, name), encoding="utf-8", errors="replace").read()
            lines = text.count("\n")
            if lines > MAX_LINES:
                faults.append(f"{rel}: {lines} lines, more than {MAX_LINES}")
            if rel.startswith(FREE):
                continue
            home = folder_of(rel, folders)
            if home is None:
                faults.append(f"{rel}: its folder has no row in README.md's Layout table")
                continue
            allowed, qt = rules[home]
            for number, line in enumerate(text.split("\n"), 1):
                m = re.match(r'\s*#\s*include\s+([<"])([^>"]+)[>"]', line)
                if not m:
                    continue
                target = m.group(2)
                if m.group(1) == "<":
                    if re.match(r"Q[A-Za-z]", target) and not qt:
                        faults.append(f"{rel}:{number}: includes the Qt header <{target}>")
                    continue
                there = folder_of(target, folders)
                if there is None:
                    faults.append(f"{rel}:{number}: includes \"{target}\", which lies in no listed folder")
                elif there not in allowed:
                    faults.append(f"{rel}:{number}: {home} includes {there} (\"{target}\")")
    for f in faults:
        print(f)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
