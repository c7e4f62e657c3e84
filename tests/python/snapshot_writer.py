"""Writes segment snapshot and write-ahead-log files byte by byte for tests.

The encoding is written here from the file layout alone, independently of the
library's own encoder, so that tests that load these files also check that
the library reads the documented format.

Layout of a snapshot file (all integers little-endian, fixed width):

    "VDBS" u32 version=3
    body     SegmentSnapshot: HnswSnapshot, payload_index, payloads, deleted, next_id
    metadata SnapshotMetadata (109 bytes)
    u32 109, u32 trailer version=1, "VDBM"
    "VDBF" u32 Adler-32 of every byte before "VDBF"

Encoding rules: sequences, sets and maps are a u64 count followed by their
elements (map: key then value); optionals are a tag byte 0/1 followed by the
value; enumerations are a u32 variant index; bool is one byte 0/1.
"""

from __future__ import annotations

import struct
import zlib
from dataclasses import dataclass, field

import numpy as np

METRICS = {"cosine": 0, "dot": 1, "euclidean": 2}


def u8(v: int) -> bytes:
    return struct.pack("<B", v)


def u32(v: int) -> bytes:
    return struct.pack("<I", v)


def u64(v: int) -> bytes:
    return struct.pack("<Q", v)


def f64(v: float) -> bytes:
    return struct.pack("<d", v)


def f32_seq(values) -> bytes:
    arr = np.ascontiguousarray(values, dtype="<f4")
    return u64(arr.size) + arr.tobytes()


def u64_seq(values) -> bytes:
    values = list(values)
    return u64(len(values)) + struct.pack(f"<{len(values)}Q", *values)


def optional_u64(v) -> bytes:
    return u8(0) if v is None else u8(1) + u64(v)


@dataclass
class Graph:
    """An HNSW graph keyed by point id, as the snapshot record stores it."""

    dim: int
    metric: str = "euclidean"
    vectors: dict = field(default_factory=dict)  # id -> float32 array (as stored)
    levels: dict = field(default_factory=dict)  # id -> level
    layers: dict = field(default_factory=dict)  # layer -> {id -> [ids]} (self first)
    entry_point_id: int | None = None
    entry_level: int = 0
    deleted: set = field(default_factory=set)
    m: int = 16
    m0: int = 32
    max_neighbors_l0: int = 32
    ef_construction: int = 200
    ef_insert: int = 200
    max_level: int = 16
    level_scale: float = 1.0 / np.log(16)
    exact_fallback_enabled: bool = False
    exact_fallback_threshold: int = 256


def encode_hnsw(g: Graph) -> bytes:
    out = [u64(len(g.layers))]
    for layer, lists in g.layers.items():
        out.append(u64(layer) + u64(len(lists)))
        for pid, neighbours in lists.items():
            out.append(u64(pid) + u64_seq(neighbours))
    out.append(u64(len(g.vectors)))
    for pid, vec in g.vectors.items():
        out.append(u64(pid) + f32_seq(vec))
    out.append(u64(len(g.levels)))
    for pid, level in g.levels.items():
        out.append(u64(pid) + u64(level))
    out.append(optional_u64(g.entry_point_id))
    out.append(u32(METRICS[g.metric]))
    out.append(u64(g.m) + u64(g.m0) + u64(g.max_neighbors_l0))
    out.append(u64(g.ef_construction) + u64(g.ef_insert) + u64(g.max_level))
    out.append(f64(g.level_scale) + u64(g.entry_level) + u64(g.dim))
    out.append(u64_seq(sorted(g.deleted)))
    out.append(u8(1 if g.exact_fallback_enabled else 0) + u64(g.exact_fallback_threshold))
    return b"".join(out)


def encode_config_summary(g: Graph) -> bytes:
    out = (
        u32(METRICS[g.metric])
        + u64(g.m)
        + u64(g.m0)
        + u64(g.max_neighbors_l0)
        + u64(g.ef_construction)
        + u64(g.ef_insert)
        + u64(g.max_level)
        + f64(g.level_scale)
        + u64(g.entry_level)
        + u64(g.dim)
        + u8(1 if g.exact_fallback_enabled else 0)
        + u64(g.exact_fallback_threshold)
    )
    assert len(out) == 85
    return out


def encode_body(g: Graph, next_id: int | None = None) -> bytes:
    if next_id is None:
        next_id = max(g.vectors, default=-1) + 1
    # No payloads: empty payload index, empty payload map, no segment-level
    # deletions beyond the index's own.
    return encode_hnsw(g) + u64(0) + u64(0) + u64_seq(sorted(g.deleted)) + u64(next_id)


def encode_snapshot(g: Graph, *, created_at_ms: int = 1_700_000_000_000) -> bytes:
    metadata = u64(created_at_ms) + encode_config_summary(g) + u64(len(g.vectors)) + u64(0)
    assert len(metadata) == 109
    content = (
        b"VDBS" + u32(3) + encode_body(g) + metadata + u32(len(metadata)) + u32(1) + b"VDBM"
    )
    return content + b"VDBF" + u32(zlib.adler32(content))


def write_snapshot(path, g: Graph) -> None:
    with open(path, "wb") as f:
        f.write(encode_snapshot(g))


# ---- write-ahead log ----


def wal_insert(point_id: int, vector) -> bytes:
    return u32(0) + u64(point_id) + f32_seq(vector) + u8(0)


def wal_delete(point_id: int) -> bytes:
    return u32(1) + u64(point_id)


def encode_wal(records) -> bytes:
    out = [b"VDBW", u32(1)]
    for rec in records:
        out.append(u32(len(rec)) + rec + u32(zlib.adler32(rec)))
    return b"".join(out)


# ---- graphs for tests ----


def stored_vectors(data: np.ndarray, metric: str) -> np.ndarray:
    """Vectors as the index stores them: unit length under cosine."""
    data = np.asarray(data, dtype=np.float32)
    if metric != "cosine":
        return data.copy()
    norms = np.linalg.norm(data, axis=1, keepdims=True).astype(np.float32)
    norms[norms == 0] = 1
    return (data / norms).astype(np.float32)


def sort_keys(stored: np.ndarray, query: np.ndarray, metric: str) -> np.ndarray:
    """Sort keys of every stored vector against `query` (smaller is better)."""
    if metric == "euclidean":
        diff = stored.astype(np.float64) - query.astype(np.float64)
        return np.einsum("ij,ij->i", diff, diff)
    dots = stored.astype(np.float64) @ query.astype(np.float64)
    if metric == "dot":
        return -dots
    q = query / max(np.linalg.norm(query), 1e-30)
    return 1.0 - np.clip(stored.astype(np.float64) @ q, -1.0, 1.0)


def raw_scores(stored: np.ndarray, query: np.ndarray, metric: str) -> np.ndarray:
    keys = sort_keys(stored, query, metric)
    return -keys if metric == "dot" else keys


def knn_graph(
    data: np.ndarray,
    *,
    metric: str = "euclidean",
    ids=None,
    degree: int = 16,
    upper_every: int = 16,
    long_links: int = 4,
    seed: int = 0,
    **config,
) -> Graph:
    """A two-layer graph: every point on layer 0 linked to its `degree`
    nearest points (self first) plus `long_links` random ones that keep
    clusters connected, and every `upper_every`-th point also on layer 1,
    linked there the same way. The first layer-1 point is the entry.
    Searches on it behave like on a built index."""
    rng = np.random.default_rng(seed)
    stored = stored_vectors(data, metric)
    n = len(stored)
    ids = list(range(n)) if ids is None else [int(i) for i in ids]
    g = Graph(dim=stored.shape[1] if stored.ndim == 2 else 0, metric=metric, **config)
    for i in range(n):
        g.vectors[ids[i]] = stored[i]
        g.levels[ids[i]] = 0
    if n == 0:
        return g

    def neighbours(members: np.ndarray, deg: int) -> dict:
        lists = {}
        sub = stored[members].astype(np.float64)
        count = min(deg, len(members) - 1)
        sq = np.einsum("ij,ij->i", sub, sub)
        for start in range(0, len(members), 512):
            block = sub[start : start + 512]
            dots = block @ sub.T
            if metric == "euclidean":
                keys = sq[start : start + 512, None] - 2 * dots + sq[None, :]
            elif metric == "dot":
                keys = -dots
            else:
                keys = 1.0 - np.clip(dots, -1.0, 1.0)
            rows = np.arange(len(block))
            keys[rows, start + rows] = np.inf
            for row in rows:
                order = list(np.argsort(keys[row], kind="stable")[:count]) if count > 0 else []
                if deg > 0 and long_links > 0 and len(members) > deg + 1:
                    extra = rng.choice(len(members), size=long_links, replace=False)
                    order += [j for j in extra if j != start + row and j not in order]
                i = members[start + row]
                lists[ids[i]] = [ids[i]] + [ids[members[j]] for j in order]
        return lists

    g.layers[0] = neighbours(np.arange(n), degree)
    upper = np.arange(0, n, upper_every)
    if len(upper) > 1:
        g.layers[1] = neighbours(upper, degree)
        for i in upper:
            g.levels[ids[i]] = 1
        g.entry_level = 1
    g.entry_point_id = ids[0]
    return g


def write_knn_snapshot(path, data, metric: str = "euclidean", **kw) -> str:
    write_snapshot(path, knn_graph(np.asarray(data, dtype=np.float32), metric=metric, **kw))
    return str(path)


def complete_graph(data, metric: str = "euclidean", **config) -> Graph:
    """Every point linked to every other on layer 0: searches are exact."""
    return knn_graph(data, metric=metric, degree=len(data), upper_every=len(data) + 1, **config)
