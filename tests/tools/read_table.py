#!/usr/bin/python3
"""Prints the live records of a table as read by an independent reader.

Usage: read_table.py dbfread|dbf TABLE.dbf

Output: a JSON list with one object per live record, mapping the upper-case
field name to a normalised text: character values without trailing blanks,
numbers in Python's repr, dates in ISO form, logicals true/false, null.
"""
import datetime
import decimal
import json
import sys


def normalise(value):
    if value is None:
        return None
    if isinstance(value, bool):
        return value
    if isinstance(value, (bytes, bytearray)):
        return value.hex()
    if isinstance(value, str):
        return value.rstrip(' \0')
    if isinstance(value, (int, float, decimal.Decimal)):
        return repr(float(value))
    if isinstance(value, datetime.datetime):
        return value.replace(microsecond=0).isoformat(' ')
    if isinstance(value, datetime.date):
        return value.isoformat()
    return str(value)


def with_dbfread(path):
    import dbfread
    sys.path.insert(0, __import__('os').path.dirname(__file__))
    from dbfread_compare import ENCODINGS, Parser  # also registers the 'windows' error handler

    with open(path, 'rb') as f:
        mark = f.read(30)[29]
    table = dbfread.DBF(path, parserclass=Parser, ignorecase=True, char_decode_errors='windows',
                        ignore_missing_memofile=True, encoding=ENCODINGS.get(mark, 'cp437'))
    return [{k.upper(): normalise(v) for k, v in rec.items() if k.upper() != '_NULLFLAGS'} for rec in table]


def with_dbf(path):
    import dbf
    with open(path, 'rb') as f:
        mark = f.read(30)[29]
    # Unmarked tables are DOS text, as Quillon reads them.
    table = dbf.Table(path, codepage='cp437') if mark == 0 else dbf.Table(path)
    table.open(dbf.READ_ONLY)
    rows = []
    try:
        for rec in table:
            if dbf.is_deleted(rec):
                continue
            rows.append({name.upper(): normalise(rec[name]) for name in table.field_names})
    finally:
        table.close()
    return rows


def main():
    reader, path = sys.argv[1], sys.argv[2]
    rows = with_dbfread(path) if reader == 'dbfread' else with_dbf(path)
    json.dump(rows, sys.stdout, ensure_ascii=False, sort_keys=True)


if __name__ == '__main__':
    main()
