"""Reads memo values with python3-dbfread, for comparison with our reader.

  dbfread_memo.py pointers TABLE.dbf
      prints the block numbers the table's memo fields point at, one a line
  dbfread_memo.py read fpt|db3|db4 MEMOFILE BLOCK...
      prints each value as "TYPE HEX" (TYPE is the dbfread memo class), one a line
"""
import sys

from dbfread import DBF
from dbfread.memo import DB3MemoFile, DB4MemoFile, VFPMemoFile


def pointers(table):
    dbf = DBF(table, raw=True, load=False, ignore_missing_memofile=True)
    fields = [f for f in dbf.fields if f.type in ('M', 'G')]
    seen = set()
    for record in dbf.records:
        for f in fields:
            raw = record[f.name]
            if f.length == 4:
                block = int.from_bytes(raw, 'little')
            else:
                text = raw.strip(b' \x00')
                block = int(text) if text else 0
            if block:
                seen.add(block)
    for block in sorted(seen):
        print(block)


def read(kind, path, blocks):
    cls = {'fpt': VFPMemoFile, 'db3': DB3MemoFile, 'db4': DB4MemoFile}[kind]
    with cls(path) as memo:
        for block in blocks:
            value = memo[int(block)]
            print(type(value).__name__, bytes(value).hex())


if __name__ == '__main__':
    if sys.argv[1] == 'pointers':
        pointers(sys.argv[2])
    else:
        read(sys.argv[2], sys.argv[3], sys.argv[4:])
