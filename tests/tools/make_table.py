#!/usr/bin/python3
"""Makes a Visual FoxPro free table with python3-dbf, for tests.

Usage: make_table.py TABLE.dbf 'name C(10) NULL; amount N(8,2); note M' JSON_RECORDS

JSON_RECORDS is a list of records, each a list of values in field order:
strings for C and M fields (C values are stored exactly, leading blanks
included, which python3-dbf would otherwise strip), numbers for N, I and Y,
"YYYY-MM-DD" for D, true/false for L, and null for a NULL value (the field
must be declared NULL; its null flag is set).
"""
import datetime
import json
import struct
import sys

import dbf


def main():
    path, fields, records = sys.argv[1], sys.argv[2], json.loads(sys.argv[3])
    table = dbf.Table(path, fields, dbf_type='vfp', codepage='cp1252')
    table.open(dbf.READ_WRITE)
    names = table.field_names
    kinds = [table.field_info(n)[0] for n in names]
    for record in records:
        row = []
        for value, kind in zip(record, kinds):
            if value is None:
                row.append(None)
            elif kind == dbf.FieldType.DATE:
                row.append(datetime.date.fromisoformat(value))
            else:
                row.append(value)
        table.append(tuple(row))
    table.close()
    patch(path, records)


def patch(path, records):
    """Stores C values exactly and sets the null flags of NULL values."""
    with open(path, 'r+b') as f:
        head = f.read(32)
        count, header_length, record_length = struct.unpack('<IHH', head[4:12])
        fields = []
        at = 32
        while True:
            f.seek(at)
            d = f.read(32)
            if d[0] == 0x0D:
                break
            name = d[:11].split(b'\0')[0].decode('ascii')
            fields.append((name, chr(d[11]), struct.unpack('<I', d[12:16])[0], d[16], d[18]))
            at += 32
        null_flags = next((f_ for f_ in fields if f_[0].upper() == '_NULLFLAGS'), None)
        user = [f_ for f_ in fields if f_[0].upper() != '_NULLFLAGS']
        bits = {}
        for name, kind, offset, length, flags in user:
            if flags & 0x02:
                bits[name] = len(bits)
        for r, record in enumerate(records):
            base = header_length + r * record_length
            for value, (name, kind, offset, length, flags) in zip(record, user):
                if value is None:
                    byte = null_flags[2] + bits[name] // 8
                    f.seek(base + byte)
                    b = f.read(1)[0] | (1 << (bits[name] % 8))
                    f.seek(base + byte)
                    f.write(bytes([b]))
                elif kind == 'C':
                    f.seek(base + offset)
                    f.write(value.encode('cp1252').ljust(length, b' ')[:length])


if __name__ == '__main__':
    main()
