#!/usr/bin/python3
"""Counts, per column, the live records whose value differs between two reads
of a table by dbfread (read_table.py's JSON, the first saved to a file).

Usage: changed_fields.py BEFORE.json TABLE.dbf

Output: one line per column with a change, "column N", in lower case, sorted.
"""
import json
import subprocess
import sys
import os

before = json.load(open(sys.argv[1], encoding='utf-8'))
tool = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'read_table.py')
after = json.loads(subprocess.run([sys.executable, tool, 'dbfread', sys.argv[2]], check=True,
                                  capture_output=True).stdout)
counts = {}
for old, new in zip(before, after):
    for name in old:
        if old[name] != new.get(name):
            counts[name.lower()] = counts.get(name.lower(), 0) + 1
for name in sorted(counts):
    print(name, counts[name])
