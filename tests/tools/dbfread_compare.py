#!/usr/bin/python3
"""Compares Quillon's reading of a table with python3-dbfread's.

Usage: dbfread_compare.py TABLE.dbf OURS.json [--memo MEMOFILE]

OURS.json holds a list of records (deleted ones left out), each a list of the
text forms Quillon read, column by column (null for NULL or values without a
text form). Prints "OK <records>" or one line per disagreement and exits 1.
"""
import datetime
import decimal
import json
import sys

import codecs

import dbfread
from dbfread.field_parser import FieldParser

# Windows maps the bytes a code page leaves undefined (0x81 in cp1252) to the
# control character of the same number; Python refuses them.
codecs.register_error('windows', lambda e: (''.join(chr(b) for b in e.object[e.start:e.end]), e.end))

ENCODINGS = {0x00: 'cp437', 0x01: 'cp437', 0x02: 'cp850', 0x03: 'cp1252', 0x64: 'cp852', 0x65: 'cp866',
             0x66: 'cp865', 0x67: 'cp861', 0x6A: 'cp737', 0x6B: 'cp857', 0x78: 'cp950', 0x79: 'cp949',
             0x7A: 'gbk', 0x7B: 'cp932', 0x7C: 'cp874', 0x7D: 'cp1255', 0x7E: 'cp1256', 0xC8: 'cp1250',
             0xC9: 'cp1251', 0xCA: 'cp1254', 0xCB: 'cp1253'}


class Parser(FieldParser):
    """Reads the Visual FoxPro 9 types that dbfread lacks as raw bytes."""

    def parseV(self, field, data):
        return bytes(data)

    def parseQ(self, field, data):
        return bytes(data)

    def parseW(self, field, data):
        return None

    def parseG(self, field, data):
        return None


def main():
    path, ours_path = sys.argv[1], sys.argv[2]
    with open(path, 'rb') as f:
        mark = f.read(30)[29]
    encoding = ENCODINGS.get(mark, 'cp437')
    # Records as lists of (name, value) pairs: some tables repeat a field name.
    table = dbfread.DBF(path, encoding=encoding, parserclass=Parser, char_decode_errors='windows',
                        ignorecase=True, ignore_missing_memofile=True, recfactory=list)
    with open(ours_path, encoding='utf-8') as f:
        ours = json.load(f)
    fields = [fd for fd in table.fields if fd.type != '0']
    problems = []
    theirs = list(table)
    if len(theirs) != len(ours):
        problems.append('record count: dbfread %d, ours %d' % (len(theirs), len(ours)))
    for r, (their_row, our_row) in enumerate(zip(theirs, ours)):
        for c, fd in enumerate(fields):
            mine = our_row[c]
            theirs_value = their_row[c][1]
            ok, why = agree(fd, mine, theirs_value, encoding)
            if not ok:
                problems.append('record %d field %s (%s): ours %r, dbfread %r %s' %
                                (r + 1, fd.name, fd.type, mine, theirs_value, why))
    if problems:
        print('\n'.join(problems[:40]))
        sys.exit(1)
    print('OK %d' % len(ours))


def agree(fd, mine, theirs, encoding):
    t = fd.type
    if t in 'GWPQ':
        return mine is None, 'binary field must have no text form'
    if mine is None:
        return True, ''  # NULL: dbfread does not read _NullFlags
    if t == 'C':
        if isinstance(theirs, bytes):
            return True, ''
        return mine.rstrip(' \0') == theirs, ''
    if t == 'V':
        return theirs.decode(encoding).startswith(mine), ''
    if t in 'NF':
        if theirs is None:
            return mine.strip(' *') == '', ''
        return abs(float(mine) - float(theirs)) <= 1e-9 * max(1.0, abs(float(theirs))), ''
    if t == 'D':
        return (mine == '') if theirs is None else mine == theirs.isoformat(), ''
    if t == 'T':
        if theirs is None:
            return mine == '', ''
        rounded = (theirs + datetime.timedelta(microseconds=500000)).replace(microsecond=0)
        return mine == rounded.strftime('%Y-%m-%d %H:%M:%S'), ''
    if t == 'L':
        return mine == {True: 'True', False: 'False', None: ''}[theirs], ''
    if t == 'I':
        return mine == str(theirs), ''
    if t == 'Y':
        return decimal.Decimal(mine) == theirs, ''
    if t == 'B':
        return float(mine) == theirs, ''
    if t == 'M':
        if theirs is None:
            return mine == '', ''
        if isinstance(theirs, bytes):
            return True, ''
        return mine == theirs, ''
    return False, 'unexpected type'


if __name__ == '__main__':
    main()
