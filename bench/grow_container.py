"""Grows the contacts and calls tables of a copy of the ruby-dbf container
(tests/fixtures/ruby-dbf/foxprodb) for the cascade figure of the benchmark.

    grow_container.py FOLDER CONTACTS CALLS_PER_CONTACT

Appends CONTACTS contacts, copies of contact 3 whose keys are 7 followed by
six digits from 0 to 6, seven when the calls need more than 7^6 keys (so
that replacing "7" with "8" changes every new key to one no record holds,
and no two alike), and CALLS_PER_CONTACT calls for
each, copies of call 1 whose own keys hold no 7 and whose contact key is one of
the new contacts'. Memo pointers of the copies are cleared. The structural
indexes are left stale: rebuild them (bench_reindex) before use.
"""
import struct
import sys


def fields_of(data):
    header_length = struct.unpack('<H', data[8:10])[0]
    fields, at, offset = {}, 32, 1
    while at < header_length and data[at] != 0x0D:
        name = data[at:at + 11].split(b'\0')[0].decode('ascii')
        kind, length = chr(data[at + 11]), data[at + 16]
        fields[name] = (kind, offset, length)
        offset += length
        at += 32
    return fields


def grow(path, copies):
    """Appends the records `copies` yields (bytes, the record's length each)."""
    with open(path, 'rb') as f:
        data = bytearray(f.read())
    count = struct.unpack('<I', data[4:8])[0]
    header_length, record_length = struct.unpack('<HH', data[8:12])
    end = header_length + count * record_length
    body = bytearray(data[:end])
    added = 0
    for record in copies:
        assert len(record) == record_length
        body += record
        added += 1
    body[4:8] = struct.pack('<I', count + added)
    body += b'\x1a'
    with open(path, 'wb') as f:
        f.write(body)


def record(path, recno):
    with open(path, 'rb') as f:
        data = f.read()
    header_length, record_length = struct.unpack('<HH', data[8:12])
    at = header_length + (recno - 1) * record_length
    return bytearray(data[at:at + record_length]), fields_of(data)


def key(i, first, width=6):
    digits = ''
    for _ in range(width):
        digits = str(i % 7) + digits
        i //= 7
    return int(first + digits)


def main():
    folder, contacts, per_contact = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    # Six digits while they suffice (the keys of earlier figures), seven
    # beyond: up to 823,543 calls.
    width = 6 if contacts * per_contact <= 7 ** 6 else 7
    assert contacts <= 7 ** width and contacts * per_contact <= 7 ** width

    template, fields = record(folder + '/contacts.dbf', 3)

    def put(rec, name, value):
        kind, offset, length = fields[name]
        rec[offset:offset + length] = struct.pack('<i', value) if kind == 'I' else value

    def new_contacts():
        for i in range(contacts):
            rec = bytearray(template)
            put(rec, 'CONTACT_ID', key(i, '7', width))
            put(rec, 'NOTES', b'\0\0\0\0')
            yield bytes(rec)

    grow(folder + '/contacts.dbf', new_contacts())

    template, fields = record(folder + '/calls.dbf', 1)

    def new_calls():
        for j in range(contacts * per_contact):
            rec = bytearray(template)
            put(rec, 'CALL_ID', key(j, '1', width))
            put(rec, 'CONTACT_ID', key(j % contacts, '7', width))
            put(rec, 'NOTES', b'\0\0\0\0')
            yield bytes(rec)

    grow(folder + '/calls.dbf', new_calls())


if __name__ == '__main__':
    main()
