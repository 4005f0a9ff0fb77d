#!/usr/bin/python3
"""Checks that two read_table.py dumps differ in exactly one value.

Usage: compare_dumps.py BEFORE.json AFTER.json RECORD FIELD EXPECTED_JSON
Prints "same" when AFTER equals BEFORE with record RECORD's FIELD set to
EXPECTED, else the records that differ.
"""
import json
import sys

before = json.load(open(sys.argv[1], encoding='utf-8'))
after = json.load(open(sys.argv[2], encoding='utf-8'))
before[int(sys.argv[3])][sys.argv[4].upper()] = json.loads(sys.argv[5])
if before == after:
    print('same')
else:
    print(json.dumps([(b, a) for b, a in zip(before, after) if b != a], ensure_ascii=False)[:3000])
