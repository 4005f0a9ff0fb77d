"""A database for the cascade kill test, and its orphans as dbfread sees them.

    cascade_container.py make FOLDER CONTACTS
        copies the ruby-dbf container (tests/fixtures/ruby-dbf/foxprodb) into
        FOLDER, grows contacts and calls (bench/grow_container.py: CONTACTS
        contacts with five calls each) and sets every relation's update rule
        to cascade (delete and insert rules restrict); the structural indexes
        are left stale for the caller to rebuild.
    cascade_container.py orphans FOLDER
        prints how many calls, as python3-dbfread reads them, hold a contact
        key that no contact holds.
"""
import os
import shutil
import struct
import sys

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..')
sys.path.insert(0, os.path.join(ROOT, 'bench'))


def make(folder, contacts):
    import grow_container
    source = os.path.join(ROOT, 'tests', 'fixtures', 'ruby-dbf', 'foxprodb')
    os.makedirs(folder, exist_ok=True)
    for name in os.listdir(source):
        shutil.copyfile(os.path.join(source, name), os.path.join(folder, name))
    sys.argv = ['grow_container.py', folder, str(contacts), '5']
    grow_container.main()
    path = os.path.join(folder, 'FOXPRO-DB-TEST.DBC')
    data = bytearray(open(path, 'rb').read())
    header, length = struct.unpack('<HH', data[8:12])
    at, where = 32, {}
    while data[at] != 0x0D:
        where[data[at:at + 11].split(b'\0')[0].decode()] = struct.unpack('<I', data[at + 12:at + 16])[0]
        at += 32
    for record in range(header, len(data) - length + 1, length):
        kind = where['OBJECTTYPE']
        if data[record + kind:record + kind + 8] == b'Relation':
            data[record + where['RIINFO']:record + where['RIINFO'] + 3] = b'CRR'
    open(path, 'wb').write(data)


def orphans(folder):
    from dbfread import DBF
    parents = {r['CONTACT_ID'] for r in DBF(os.path.join(folder, 'contacts.dbf'), ignore_missing_memofile=True)}
    return sum(1 for r in DBF(os.path.join(folder, 'calls.dbf'), ignore_missing_memofile=True)
               if r['CONTACT_ID'] not in parents)


if __name__ == '__main__':
    if sys.argv[1] == 'make':
        make(sys.argv[2], int(sys.argv[3]))
    else:
        print(orphans(sys.argv[2]))
