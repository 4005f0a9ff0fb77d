"""Checks and sizes a bulk benchmark run: compares the table, memo and index
files a run changed (NEW) with the ones it started from (OLD), and reads the
changed table with python3-dbfread.

    /usr/bin/python3 bench/bulk_check.py OLD_DIR NEW_DIR BASE

Prints one line per figure:
  changed BYTES   bytes the run had to change or append: every record that
                  differs (whole records), the header's date, the memo file's
                  growth and its next-free pointer, every 512-byte index page
                  that differs, and the index file's growth
  memos N         records whose NOTES hold "Journal" and no "Ledger"
  ledger N        records whose NOTES still hold "Ledger"
  zanzibar N      records whose NAME still holds "Zanzibar"
  records N       records python3-dbfread read
  same N          records whose values (memos included) python3-dbfread reads
                  the same in OLD and NEW: all of them after an undo
"""
import os
import sys

from dbfread import DBF


def read(path):
    with open(path, "rb") as f:
        return f.read()


def main():
    old_dir, new_dir, base = sys.argv[1:4]
    changed = 0
    old, new = read(os.path.join(old_dir, base + ".dbf")), read(os.path.join(new_dir, base + ".dbf"))
    header = int.from_bytes(old[8:10], "little")
    length = int.from_bytes(old[10:12], "little")
    count = int.from_bytes(old[4:8], "little")
    changed += sum(1 for i in range(1, 4) if old[i] != new[i])
    for r in range(count):
        at = header + r * length
        if old[at:at + length] != new[at:at + length]:
            changed += length
    for ext, page in ((".fpt", None), (".cdx", 512)):
        a, b = read(os.path.join(old_dir, base + ext)), read(os.path.join(new_dir, base + ext))
        changed += max(0, len(b) - len(a))
        if page is None:
            changed += 4 if a[:4] != b[:4] else 0
        else:
            for at in range(0, len(a), page):
                if a[at:at + page] != b[at:at + page]:
                    changed += page
    print("changed", changed)

    memos = ledger = zanzibar = records = same = 0
    before = iter(DBF(os.path.join(old_dir, base + ".dbf"), encoding="cp1252"))
    for record in DBF(os.path.join(new_dir, base + ".dbf"), encoding="cp1252"):
        records += 1
        same += record == next(before, None)
        notes = record["NOTES"] or ""
        memos += "Journal" in notes and "Ledger" not in notes
        ledger += "Ledger" in notes
        zanzibar += "Zanzibar" in record["NAME"]
    print("memos", memos)
    print("ledger", ledger)
    print("zanzibar", zanzibar)
    print("records", records)
    print("same", same)


if __name__ == "__main__":
    main()
