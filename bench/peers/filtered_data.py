"""Attributes, filters and filtered ground truth of the filtered benchmark.

Every point of a dataset gets the same seeded attributes (plus the real
class `label` on fashion-mnist); a filter is a dict in vivudu's filter
language, evaluated here with NumPy into a boolean mask over the points, and
translated into the where-clauses of the peers. Ground truth per (query,
filter) is the exact top-k over the allowed points (and, in the `-del`
variants, live ones), re-scored in float64, cached beside the dataset.
"""

import gzip
import json
import os

import numpy as np

from . import datasets

K = 10
ATTR_SEED = 20261209
DELETE_SEED = 20261210
DELETE_SHARE = 0.20
# Candidates kept from the float32 BLAS pass before the float64 re-scoring.
TRUTH_CANDIDATES = datasets.TRUTH_CANDIDATES

# (column, number of equally likely integer values): `{"uX": 0}` keeps 1/values.
INT_ATTRS = (("u50", 2), ("u10", 10), ("u1", 100), ("u01", 1000), ("u001", 10000),
             ("a10", 10), ("a25", 25))
# The fashion-mnist class that the correlated filter keeps (0 = T-shirt/top).
LABEL_CLASS = 0

# (name, filter, nominal share of points it keeps, description). `None` is
# the unfiltered search, kept as a reference point.
BASE_FILTERS = (
    ("none", None, 1.0, "no filter"),
    ("u50", {"u50": 0}, 0.5, "uncorrelated, 1 of 2 values"),
    ("u10", {"u10": 0}, 0.1, "uncorrelated, 1 of 10 values"),
    ("label", {"label": LABEL_CLASS}, 0.1, "real class 0 (T-shirt/top): correlated with the vectors"),
    ("x<0.1", {"x": {"$lt": 0.1}}, 0.1, "float range, uniform x < 0.1"),
    ("u1", {"u1": 0}, 0.01, "uncorrelated, 1 of 100 values"),
    ("and-1%", {"$and": [{"u10": 0}, {"a10": 0}]}, 0.01, "AND of two independent 10-way labels"),
    ("x<0.01", {"x": {"$lt": 0.01}}, 0.01, "float range, uniform x < 0.01"),
    ("u01", {"u01": 0}, 0.001, "uncorrelated, 1 of 1000 values"),
    ("and-0.04%", {"$and": [{"u1": 0}, {"a25": 0}]}, 0.0004, "AND of a 100-way and a 25-way label"),
    ("u001", {"u001": 0}, 0.0001, "uncorrelated, 1 of 10000 values"),
)


def filters_for(dataset, with_label):
    """The filters of a dataset: each base filter on every point, then the
    same filters after deleting a seeded 20% of the points (`-del`)."""
    out = []
    for deleted in (False, True):
        for name, flt, share, text in BASE_FILTERS:
            if name == "label" and not with_label:
                continue
            out.append({"name": name + ("-del" if deleted else ""), "base": name, "filter": flt,
                        "share": share, "text": text, "deleted": deleted})
    return out


# ---------------------------------------------------------------- attributes

def fashion_train_labels():
    path = os.path.join(datasets.FASHION_DIR, "train-labels-idx1-ubyte.gz")
    with gzip.open(path, "rb") as f:
        raw = f.read()
    magic, count = (int(v) for v in np.frombuffer(raw[:8], dtype=">u4"))
    if magic != 2049 or len(raw) != 8 + count:
        raise ValueError(f"{path}: not an idx1 label file")
    return np.frombuffer(raw, dtype=np.uint8, offset=8).astype(np.int64)


def make_attributes(n, labels=None):
    rng = np.random.default_rng(ATTR_SEED)
    cols = {}
    for name, values in INT_ATTRS:
        cols[name] = rng.integers(0, values, n).astype(np.int64)
    cols["x"] = rng.random(n)
    if labels is not None:
        cols["label"] = np.asarray(labels[:n], dtype=np.int64)
    order = np.random.default_rng(DELETE_SEED).permutation(n)
    deleted = np.sort(order[:int(round(DELETE_SHARE * n))])
    return cols, deleted


def payload_rows(cols):
    """One dict per point, in vivudu's payload form."""
    names = sorted(cols)
    columns = [cols[c].tolist() for c in names]
    return [dict(zip(names, values)) for values in zip(*columns)]


# ---------------------------------------------------------------- filters

def _compare(col, op, value):
    if op == "$eq":
        return col == value
    if op == "$ne":
        return col != value
    if op == "$gt":
        return col > value
    if op == "$gte":
        return col >= value
    if op == "$lt":
        return col < value
    if op == "$lte":
        return col <= value
    if op == "$in":
        return np.isin(col, list(value))
    raise ValueError(f"unknown operator {op}")


def mask_of(flt, cols, n):
    """Boolean mask of the points a filter keeps (None keeps every point)."""
    if flt is None:
        return np.ones(n, dtype=bool)
    if "$and" in flt:
        out = np.ones(n, dtype=bool)
        for part in flt["$and"]:
            out &= mask_of(part, cols, n)
        return out
    if "$or" in flt:
        out = np.zeros(n, dtype=bool)
        for part in flt["$or"]:
            out |= mask_of(part, cols, n)
        return out
    (field, cond), = flt.items()
    col = cols[field]
    if isinstance(cond, dict):
        (op, value), = cond.items()
        return _compare(col, op, value)
    return col == cond


_SQL_OPS = {"$eq": "=", "$ne": "!=", "$gt": ">", "$gte": ">=", "$lt": "<", "$lte": "<="}


def to_sql(flt):
    """The filter as an SQL where-clause (LanceDB)."""
    if flt is None:
        return None
    if "$and" in flt:
        return " AND ".join(f"({to_sql(p)})" for p in flt["$and"])
    if "$or" in flt:
        return " OR ".join(f"({to_sql(p)})" for p in flt["$or"])
    (field, cond), = flt.items()
    if isinstance(cond, dict):
        (op, value), = cond.items()
        if op == "$in":
            return f"{field} IN ({', '.join(repr(v) for v in value)})"
        return f"{field} {_SQL_OPS[op]} {value!r}"
    return f"{field} = {cond!r}"


# ---------------------------------------------------------------- truth

def exact_filtered_top_k(base, queries, allowed, metric, k=K, block=256):
    """Exact top-k of each query over base[allowed] (global ids, float64
    distances as datasets.exact_distances defines them); rows are padded with
    -1 / inf when fewer than k points are allowed."""
    q_n = len(queries)
    ids = np.full((q_n, k), -1, dtype=np.int64)
    dist = np.full((q_n, k), np.inf)
    a = len(allowed)
    if a == 0:
        return ids, dist
    take = min(k, a)
    rows = np.ascontiguousarray(base[allowed], dtype=np.float32)
    if metric == "angular":
        rows, qs = datasets.normalise(rows), datasets.normalise(queries)
    else:
        qs = queries
    rows_sq = np.einsum("ij,ij->i", rows, rows)
    cand = min(TRUTH_CANDIDATES, a)
    for s in range(0, q_n, block):
        q = qs[s:s + block]
        if cand < a:
            scores = -(q @ rows.T) if metric == "angular" else rows_sq[None, :] - 2.0 * (q @ rows.T)
            part = np.argpartition(scores, cand - 1, axis=1)[:, :cand]
        else:
            part = np.tile(np.arange(a), (len(q), 1))
        glob = allowed[part]
        exact = datasets.exact_distances(base, queries[s:s + block], glob, metric)
        order = np.lexsort((glob, exact), axis=1)[:, :take]
        ids[s:s + block, :take] = np.take_along_axis(glob, order, axis=1)
        dist[s:s + block, :take] = np.take_along_axis(exact, order, axis=1)
    return ids, dist


def prepare(ds_name, ds_dir, cache_dir, n_queries, log=print):
    """Attributes, filters, masks' counts and truth of one dataset, cached
    under `cache_dir`; returns that directory."""
    meta = datasets.load_meta(ds_dir)
    out = os.path.join(cache_dir, "filtered", os.path.basename(ds_dir) + f"-q{n_queries}")
    done = os.path.join(out, "filters.json")
    if os.path.exists(done):
        return out
    os.makedirs(out, exist_ok=True)
    base, queries = datasets.load_arrays(ds_dir)
    queries = queries[:n_queries]
    n = len(base)
    labels = fashion_train_labels() if ds_name == "fashion-mnist" else None
    cols, deleted = make_attributes(n, labels)
    np.savez(os.path.join(out, "attrs.npz"), deleted=deleted, **cols)
    live = np.ones(n, dtype=bool)
    live[deleted] = False
    filters = filters_for(ds_name, labels is not None)
    for f in filters:
        mask = mask_of(f["filter"], cols, n)
        if f["deleted"]:
            mask &= live
        allowed = np.flatnonzero(mask)
        f["allowed"] = int(len(allowed))
        f["share_actual"] = len(allowed) / n
        log(f"[truth] {ds_name} {f['name']}: {len(allowed)} allowed of {n}, {len(queries)} queries")
        ids, dist = exact_filtered_top_k(base, queries, allowed, meta["metric"])
        np.savez(os.path.join(out, f"truth-{f['name']}.npz"), ids=ids, dist=dist)
    doc = {"dataset": ds_name, "dataset_dir": ds_dir, "metric": meta["metric"], "base": n,
           "dim": meta["dim"], "queries": len(queries), "deleted": int(len(deleted)),
           "attr_seed": ATTR_SEED, "delete_seed": DELETE_SEED, "filters": filters,
           "description": meta["description"]}
    with open(done + ".tmp", "w") as fh:
        json.dump(doc, fh, indent=1)
    os.replace(done + ".tmp", done)
    return out


def load(fdir):
    with open(os.path.join(fdir, "filters.json")) as f:
        doc = json.load(f)
    z = np.load(os.path.join(fdir, "attrs.npz"))
    cols = {k: z[k] for k in z.files if k != "deleted"}
    return doc, cols, z["deleted"]


def masks(doc, cols, deleted):
    n = doc["base"]
    live = np.ones(n, dtype=bool)
    live[deleted] = False
    out = {}
    for f in doc["filters"]:
        m = mask_of(f["filter"], cols, n)
        out[f["name"]] = (m & live) if f["deleted"] else m
    return out


# ---------------------------------------------------------------- scoring

def score(base, queries, metric, truth_ids, truth_dist, result_ids, mask, deleted_mask,
          k=K, epsilon=1e-3):
    """Recall@k of result rows against the filtered truth.

    A returned id counts when it is a point the filter (and deletion) allows,
    not repeated in its row, and its true distance is within `epsilon` of the
    truth's last distance; the denominator is min(k, allowed points), so a
    short answer or a padding id is a miss. Also counts the rows that came
    back short, ids that break the filter, deleted ids and repeats."""
    q = len(result_ids)
    res = np.asarray(result_ids, dtype=np.int64)[:, :k]
    n = len(mask)
    in_range = (res >= 0) & (res < n)
    safe = np.where(in_range, res, 0)
    allowed = in_range & mask[safe]
    # Repeated ids within a row count once.
    first = np.ones_like(allowed)
    for j in range(1, res.shape[1]):
        first[:, j] = ~(res[:, :j] == res[:, j:j + 1]).any(axis=1)
    want = np.minimum(k, int(mask.sum()))
    d = datasets.exact_distances(base, queries[:q], np.where(allowed, res, -1), metric)
    if want == 0:
        recall = np.ones(q)
    else:
        threshold = truth_dist[:q, want - 1] + epsilon
        hits = (allowed & first & (d <= threshold[:, None])).sum(axis=1)
        recall = hits / want
    returned = (in_range & first).sum(axis=1)
    violations = in_range & ~mask[safe]
    deleted_hits = in_range & deleted_mask[safe] if deleted_mask is not None else np.zeros_like(in_range)
    out_of_range = (res != -1) & ~in_range
    return {
        "recall": float(recall.mean()) if q else None,
        "recall_min": float(recall.min()) if q else None,
        "short_rows": int((returned < want).sum()),
        "violations": int(violations.sum()),
        "deleted_returned": int(deleted_hits.sum()),
        "repeats": int((in_range & ~first).sum()),
        "bad_ids": int(out_of_range.sum()),
        "scored_queries": q,
    }
