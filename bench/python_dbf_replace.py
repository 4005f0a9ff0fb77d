#!/usr/bin/python3
"""Replaces text in the character fields of a table with python3-dbf.

Usage: python_dbf_replace.py TABLE.dbf FIND REPLACE

The comparison point for the replacement benchmark: opens the table read-write
with python3-dbf (Debian package python3-dbf), walks every record, replaces FIND
by REPLACE in each character (C) field whose value contains it (blanks at both
ends trimmed, as Quillon assigns the new text) and writes each changed record
back. Prints the number of changed records and fields.
"""
import sys

import dbf


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    path, find, replace = sys.argv[1:]
    table = dbf.Table(path)
    table.open(dbf.READ_WRITE)
    changed_records = changed_fields = 0
    try:
        char_fields = [name for name in table.field_names
                       if table.field_info(name).field_type == dbf.FieldType.CHAR]
        for record in table:
            changes = {}
            for name in char_fields:
                value = record[name]
                if value is not None and find in value:
                    changes[name] = value.replace(find, replace).strip(' ')
            if changes:
                dbf.write(record, **changes)
                changed_records += 1
                changed_fields += len(changes)
    finally:
        table.close()
    print('changed %d records, %d fields' % (changed_records, changed_fields))


if __name__ == '__main__':
    main()
