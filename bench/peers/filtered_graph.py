"""What the layer-0 graph of a vivudu snapshot holds, read from the file.

Used to see whether filter-aware edges survive in the saved graph: for each
integer payload field, the share of layer-0 edges whose two ends share the
field's value (an index without such edges has about 1 / values of them).

Reads snapshot format version 3 as the engine writes it: "VDBS", a u32
version, then the layer count (u64) and per layer its number (u64), its
list count (u64) and per list the owner id (u64) and a u64 sequence
(length, then ids; the owner's own id first). Other versions are not read.
"""

import struct

import numpy as np


def layer0_lists(path):
    with open(path, "rb") as f:
        head = f.read(8)
        if head[:4] != b"VDBS" or struct.unpack("<I", head[4:8])[0] != 3:
            raise ValueError(f"{path}: not a version-3 snapshot")
        layers = struct.unpack("<Q", f.read(8))[0]
        if layers == 0:
            return np.empty(0, np.uint64), np.empty(0, np.uint64)
        number, count = struct.unpack("<QQ", f.read(16))
        if number != 0:
            raise ValueError(f"{path}: first stored layer is {number}, not 0")
        src, dst = [], []
        for _ in range(count):
            key, length = struct.unpack("<QQ", f.read(16))
            ids = np.frombuffer(f.read(8 * length), dtype="<u8")
            src.append(np.full(length, key, dtype=np.uint64))
            dst.append(ids)
    return np.concatenate(src), np.concatenate(dst)


def same_value_shares(path, cols):
    """Layer-0 edge statistics of a snapshot against the payload columns."""
    src, dst = layer0_lists(path)
    lists = len(np.unique(src))
    keep = src != dst  # the owner's own entry
    s, d = src[keep].astype(np.int64), dst[keep].astype(np.int64)
    out = {"lists": int(lists), "edges": int(len(s)),
           "mean_degree": float(len(s) / lists) if lists else 0.0,
           "same_value_share": {}}
    for name, col in sorted(cols.items()):
        if col.dtype.kind in "iub":
            out["same_value_share"][name] = float((col[s] == col[d]).mean()) if len(s) else None
    return out
