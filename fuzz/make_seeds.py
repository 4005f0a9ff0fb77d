#!/usr/bin/python3
"""Builds the seed corpora of the fuzz harnesses from the FoxPro files in
tests/fixtures, in the harnesses' input formats (see README.md):

  make_seeds.py [corpus-folder]            seeds into corpus-folder/<harness>/
                                           (default build-fuzz/corpus)
  make_seeds.py table OUT DBF [MEMO [CDX]] [--control N]
                                           one table_fuzzer input from files
  make_seeds.py index OUT TABLE CDX [--control N]
                                           one index_fuzzer input (TABLE 0-2)
"""
import os
import struct
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FIXTURES = os.path.join(ROOT, "tests", "fixtures")

# Pair choices (low three bits the first pair, next three the second):
# a->bb with 1->2; blank->"" with o->0; n->100 n with e->""; True->False with S->sharp s.
CONTROLS = [2, 3 | 4 << 3, 7 | 1 << 3, 5 | 6 << 3]


def read(relative):
    if not relative:
        return b""
    with open(os.path.join(FIXTURES, relative), "rb") as f:
        return f.read()


def parts(*chunks):
    return b"".join(struct.pack("<I", len(c)) + c for c in chunks)


# Tables with their memo and index files, small enough to mutate quickly.
TABLES = [
    ("dbffile/vfp9_30.dbf", "", ""),
    ("dbffile/vfp9_30_memo.dbf", "dbffile/vfp9_30_memo.fpt", ""),
    ("dbffile/vfp9_memo_bs1.dbf", "dbffile/vfp9_memo_bs1.fpt", ""),
    ("dbffile/dbase_8b.dbf", "dbffile/dbase_8b.dbt", ""),
    ("dbffile/dbase_currency.dbf", "", ""),
    ("dbffile/dbase_not_latin1.dbf", "", ""),
    ("dbffile/PYACFL.DBF", "", ""),
    ("foxbin2prg/fb2p_free.dbf", "foxbin2prg/fb2p_free.fpt", "foxbin2prg/fb2p_free.cdx"),
    ("foxbin2prg/fb2p_dbf.dbf", "foxbin2prg/fb2p_dbf.fpt", "foxbin2prg/fb2p_dbf.cdx"),
    ("foxbin2prg/fb2p_depto.dbf", "", "foxbin2prg/fb2p_depto.cdx"),
    ("foxbin2prg/foxuser_fdbozzo.dbf", "foxbin2prg/foxuser_fdbozzo.fpt", "foxbin2prg/foxuser_fdbozzo.cdx"),
    ("go-dbase/table/TEST.DBF", "go-dbase/table/TEST.FPT", ""),
    ("go-dbase/database/employees.dbf", "go-dbase/database/employees.FPT", "go-dbase/database/employees.CDX"),
    ("perl-xbase/afox5.dbf", "perl-xbase/afox5.FPT", ""),
    ("perl-xbase/rooms.dbf", "", "perl-xbase/rooms.cdx"),
    ("perl-xbase/test.dbf", "perl-xbase/test.dbt", ""),
    ("perl-xbase/types.dbf", "", ""),
    ("ruby-dbf/cp1251.dbf", "", ""),
    ("ruby-dbf/dbase_02.dbf", "", ""),
    ("ruby-dbf/dbase_31.dbf", "", ""),
    ("ruby-dbf/dbase_32.dbf", "", ""),
    ("ruby-dbf/dbase_8c.dbf", "", ""),
    ("ruby-dbf/polygon.dbf", "", ""),
    ("ruby-dbf/foxprodb/calls.dbf", "ruby-dbf/foxprodb/calls.FPT", "ruby-dbf/foxprodb/calls.CDX"),
    ("ruby-dbf/foxprodb/contacts.dbf", "ruby-dbf/foxprodb/contacts.FPT", "ruby-dbf/foxprodb/contacts.CDX"),
    ("ruby-dbf/foxprodb/setup.dbf", "", "ruby-dbf/foxprodb/setup.CDX"),
]

# Containers (.dbc, .dct, .dcx) with each of their tables in turn.
CONTAINERS = [
    ("ruby-dbf/foxprodb", "FOXPRO-DB-TEST", ".DBC", ".DCT", ".DCX",
     [("calls", ".dbf", ".FPT", ".CDX"), ("contacts", ".dbf", ".FPT", ".CDX"),
      ("setup", ".dbf", None, ".CDX"), ("types", ".dbf", None, ".CDX")]),
    ("go-dbase/database", "EXPENSES", ".DBC", ".DCT", ".DCX",
     [("employees", ".dbf", ".FPT", ".CDX"), ("expense categories", ".dbf", None, ".CDX"),
      ("expense details", ".dbf", None, ".CDX"), ("expense reports", ".dbf", ".FPT", ".CDX")]),
    ("foxbin2prg", "fb2p_dbc", ".dbc", ".dct", ".dcx",
     [("fb2p_dbf", ".dbf", ".fpt", ".cdx"), ("fb2p_depto", ".dbf", None, ".cdx"), ("encuestas", ".dbf", None, None)]),
]

# The fixed tables of index_fuzzer, in its order, with their own index files.
INDEX_FILES = ["foxbin2prg/foxuser_fdbozzo.cdx", "perl-xbase/rooms.cdx", "ruby-dbf/foxprodb/calls.CDX"]


def write(folder, name, data):
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def make_corpora(out):
    for n, (dbf, memo, cdx) in enumerate(TABLES):
        # Two pair choices per table, the second allowing changes without a
        # missing index (dbase_31 and cp1251 announce one they lack).
        for control in (CONTROLS[n % 4], CONTROLS[(n + 1) % 4] | 0x40):
            name = "%s-%d" % (os.path.basename(dbf), control)
            write(os.path.join(out, "table_fuzzer"), name, bytes([control]) + parts(read(dbf), read(memo), read(cdx)))
    for n, (folder, base, dbc, dct, dcx, members) in enumerate(CONTAINERS):
        for m, (table, ext, memo, cdx) in enumerate(members):
            files = [base + dbc, base + dct, base + dcx] + [table + e for e in (ext, memo, cdx) if e]
            chunks = []
            for f in files:
                chunks += [f.encode(), read(os.path.join(folder, f))]
            write(os.path.join(out, "container_fuzzer"), "%s-%s" % (base, table),
                  bytes([CONTROLS[(n + m) % 4]]) + parts(*chunks))
    for t, cdx in enumerate(INDEX_FILES):
        for control in CONTROLS:
            write(os.path.join(out, "index_fuzzer"), "%d-%d" % (t, control), bytes([t, control]) + read(cdx))
        # Another table's index: tags naming fields the table lacks.
        write(os.path.join(out, "index_fuzzer"), "%d-other" % t,
              bytes([(t + 1) % 3, CONTROLS[0]]) + read(cdx))


def control_option(args):
    if "--control" in args:
        at = args.index("--control")
        value = int(args[at + 1], 0)
        del args[at:at + 2]
        return value
    return CONTROLS[0]


def file_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def main(args):
    if args and args[0] == "table":
        control = control_option(args)
        files = [file_bytes(p) for p in args[2:5]]
        files += [b""] * (3 - len(files))
        write(os.path.dirname(os.path.abspath(args[1])), os.path.basename(args[1]), bytes([control]) + parts(*files))
    elif args and args[0] == "index":
        control = control_option(args)
        write(os.path.dirname(os.path.abspath(args[1])), os.path.basename(args[1]),
              bytes([int(args[2]), control]) + file_bytes(args[3]))
    else:
        make_corpora(args[0] if args else os.path.join(ROOT, "build-fuzz", "corpus"))


if __name__ == "__main__":
    main(sys.argv[1:])
