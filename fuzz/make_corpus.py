#!/usr/bin/env python3
"""Writes the seed corpora under fuzz/corpus/ from the format tables."""
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


def u32(v): return struct.pack('<I', v)
def u64(v): return struct.pack('<Q', v)
def s(t): b = t.encode(); return u64(len(b)) + b


def value(tag, body): return u32(tag) + body


VALUES = [
    value(0, struct.pack('<q', -5)),
    value(1, struct.pack('<d', 2.5)),
    value(2, s('red')),
    value(3, b'\x01'),
    value(4, u64(2) + struct.pack('<qq', 1, 2)),
    value(5, u64(1) + struct.pack('<d', float('nan'))),
    value(6, u64(2) + s('a') + s('')),
    value(7, u64(3) + b'\x00\x01\x00'),
]


def payload(fields): return u64(len(fields)) + b''.join(s(k) + v for k, v in fields)


def index(fields):
    out = u64(len(fields))
    for name, values in fields:
        out += s(name) + u64(len(values))
        for v, ids in values:
            out += v + u64(len(ids)) + b''.join(u64(i) for i in ids)
    return out


def envelope(body, meta=None, version=3):
    out = b'VDBS' + u32(version) + body
    if meta is not None:
        out += meta + u32(len(meta)) + u32(1) + b'VDBM'
    return out + b'VDBF' + u32(zlib.adler32(out))


def frame(rec): return u32(len(rec)) + rec + u32(zlib.adler32(rec))


def write(sub, name, data):
    d = os.path.join(HERE, 'corpus', sub)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), 'wb') as f:
        f.write(data)


idx = index([('color', [(VALUES[2], [1, 2]), (VALUES[0], [3])]), ('ok', [(VALUES[3], [9])])])
pl = payload([('f%d' % i, v) for i, v in enumerate(VALUES)])
write('decode_fuzz', 'v3_with_metadata', envelope(idx + pl, meta=payload([('m', VALUES[0])])))
write('decode_fuzz', 'v2', envelope(idx + pl, version=2))
write('decode_fuzz', 'headerless', idx + pl)
write('decode_fuzz', 'empty_index', envelope(u64(0) + payload([])))

insert = u32(0) + u64(1) + u64(3) + struct.pack('<fff', 1, 2, 3) + b'\x00'
insert_p = u32(0) + u64(2) + u64(1) + struct.pack('<f', 4) + b'\x01' + pl
delete = u32(1) + u64(1)
update = u32(2) + u64(2) + payload([('color', VALUES[2])])
log = b'VDBW' + u32(1) + frame(insert) + frame(insert_p) + frame(delete) + frame(update)
write('wal_replay_fuzz', 'four_records', log)
write('wal_replay_fuzz', 'torn_tail', log[:-3])
write('wal_replay_fuzz', 'header_only', b'VDBW' + u32(1))
write('wal_replay_fuzz', 'torn_header', b'VDBW\x01')
