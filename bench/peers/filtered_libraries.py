"""Filtered-search adapters, one per library configuration.

    build(base, cols, metric, path, params)   -> info dict  (own process)
    delete_copy(src, dst, deleted_ids)        -> info dict  (own process)
    open(path, dim, metric)
    use_deleted(path, deleted_ids, live_mask)  switch to the index after deletion
    prepare(flt, mask)                        -> per-filter handle (not timed)
    set_ef(ef)
    search_one(q, k, handle)                   -> ids (int64, -1 for padding)
    search_batch(Q, k, handle, threads)        -> ids (vivudu only)
    ndis()                                     -> distance computations so far, or None

How each library is handed a filter (the report says the same):
- vivudu: the filter dict itself on every call; the engine evaluates it
  against its payload index per call.
- hnswlib: a Python callable `list.__getitem__` over a bool list, called back
  for every node the walk visits; deletions by `mark_deleted`.
- faiss: an `IDSelectorBitmap` (bits little-endian within each byte, as
  faiss reads them) built once per filter; HNSW cannot delete, so the
  deleted points are cleared from the bitmap.
- chromadb: its `where` dict on every call; deletions by `collection.delete`.
- lancedb: an SQL where-clause with `prefilter=True`; no vector index (a
  brute-force scan: its default IVF_PQ index took minutes to train here and
  is approximate in a different way); deletions by `table.delete`.
- numpy: brute force over the allowed rows, gathered once per filter
  (outside the timing): the cost of a prepared exact scan.
"""

import os
import shutil
import time

import numpy as np

from . import datasets
from . import filtered_data as fd
from .libraries import package_version

# (library, config) -> settings. `efs` None sweeps the run's ef grid.
CONFIGS = {
    ("vivudu", "float"): {"build_key": "vivudu-plain"},
    ("vivudu", "edges"): {"build_key": "vivudu-edges", "build_env": {"DOROVOZU_FILTER_EDGES": "1"}},
    ("vivudu", "scan"): {"build_key": "vivudu-plain", "efs": (10,), "skip": ("none", "none-del"),
                         "env": {"DOROVOZU_FILTER_SCAN_MAX": "1000000000"}},
    ("hnswlib", "float"): {"build_key": "hnswlib"},
    ("faiss", "hnswflat"): {"build_key": "faiss-hnswflat"},
    ("chromadb", "hnsw"): {"build_key": "chromadb", "efs": (10, 32, 128), "warm": 3, "min_queries": 30},
    ("lancedb", "flat"): {"build_key": "lancedb", "efs": (0,), "warm": 1, "min_queries": 8},
    ("numpy", "brute"): {"build_key": None, "efs": (0,),
                         "env": {"OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1",
                                 "MKL_NUM_THREADS": "1"}},
}

IMPORT_NAMES = {"vivudu": "vivudu", "hnswlib": "hnswlib", "faiss": "faiss", "chromadb": "chromadb",
                "lancedb": "lancedb", "numpy": "numpy"}
DISTS = {"vivudu": "dovadure", "hnswlib": "hnswlib", "faiss": "faiss-cpu", "chromadb": "chromadb",
         "lancedb": "lancedb", "numpy": "numpy"}

PAD = np.uint64(2 ** 64 - 1)


def versions():
    return {lib: package_version(dist) for lib, dist in DISTS.items()}


def _as_int64(ids):
    ids = np.asarray(ids)
    if ids.dtype == np.uint64:
        out = ids.astype(np.int64)
        out[ids == PAD] = -1
        return out
    return ids.astype(np.int64)


def _rss_kib(field="VmRSS"):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return None


class Vivudu:
    def __init__(self, config):
        self.config = config
        self.index = None
        self.ef = 64

    def build(self, base, cols, metric, path, params):
        import vivudu
        rows = fd.payload_rows(cols)
        rss_before = _rss_kib()
        t = time.perf_counter()
        vivudu.build(path, base, metric="cosine" if metric == "angular" else "euclidean",
                     payloads=rows, m=params["m"], ef_construction=params["ef_construction"],
                     threads=params["threads"], overwrite=True)
        seconds = time.perf_counter() - t
        return {"build_seconds": seconds, "rss_before_build_kib": rss_before,
                "filter_edges": os.environ.get("DOROVOZU_FILTER_EDGES", "") == "1",
                "payload_fields": sorted(cols)}

    def delete_copy(self, src, dst, deleted):
        import vivudu
        stem_src, stem_dst = os.path.splitext(src)[0], os.path.splitext(dst)[0]
        for ext in (".snap", ".wal"):
            if os.path.exists(stem_dst + ext):
                os.remove(stem_dst + ext)
        shutil.copyfile(src, dst)
        if os.path.exists(stem_src + ".wal"):
            shutil.copyfile(stem_src + ".wal", stem_dst + ".wal")
        t = time.perf_counter()
        with vivudu.Writer(dst) as w:
            count = w.delete(np.asarray(deleted, dtype=np.uint64))
        return {"delete_seconds": time.perf_counter() - t, "deleted": int(count)}

    def open(self, path, dim, metric):
        import vivudu
        self.index = None
        self.index = vivudu.Index(path)

    def use_deleted(self, path, deleted, live):
        self.open(path, None, None)

    def prepare(self, flt, mask):
        return flt

    def set_ef(self, ef):
        self.ef = ef

    def search_one(self, q, k, handle):
        return _as_int64(self.index.search(q, k=k, ef=self.ef, filter=handle)[0])

    def search_batch(self, qs, k, handle, threads):
        return _as_int64(self.index.search_batch(qs, k=k, ef=self.ef, threads=threads,
                                                 filter=handle)[0])

    def ndis(self):
        return None

    def describe(self):
        env = {k: v for k, v in os.environ.items() if k.startswith("DOROVOZU_")}
        return "vivudu.Index(path), filter dict per call" + (f"; {env}" if env else "")


class Hnswlib:
    def __init__(self, config):
        self.index = None

    def _new(self, dim, metric):
        import hnswlib
        return hnswlib.Index(space="cosine" if metric == "angular" else "l2", dim=dim)

    def build(self, base, cols, metric, path, params):
        index = self._new(base.shape[1], metric)
        t = time.perf_counter()
        index.init_index(max_elements=len(base), ef_construction=params["ef_construction"],
                         M=params["m"], random_seed=100, allow_replace_deleted=False)
        index.add_items(base, np.arange(len(base)), num_threads=params["threads"])
        seconds = time.perf_counter() - t
        index.save_index(path)
        return {"build_seconds": seconds}

    def open(self, path, dim, metric):
        self.index = self._new(dim, metric)
        self.index.load_index(path)
        self.errors = 0

    def use_deleted(self, path, deleted, live):
        for i in deleted:
            self.index.mark_deleted(int(i))

    def prepare(self, flt, mask):
        if flt is None:
            return None
        # A bound C method: the cheapest Python callable hnswlib can call back.
        return mask.tolist().__getitem__

    def set_ef(self, ef):
        self.index.set_ef(ef)

    def search_one(self, q, k, handle):
        try:
            return self.index.knn_query(q, k=k, num_threads=1, filter=handle)[0][0].astype(np.int64)
        except RuntimeError:
            # Fewer than k allowed points were found: hnswlib raises rather
            # than answer short.
            self.errors += 1
            return np.empty(0, dtype=np.int64)

    def ndis(self):
        return None

    def describe(self):
        return "knn_query(q, k, filter=list.__getitem__), num_threads=1; deletions by mark_deleted"


class Faiss:
    def __init__(self, config):
        self.index = None
        self.angular = False
        self.live = None

    def _prep(self, x):
        return datasets.normalise(x) if self.angular else np.ascontiguousarray(x, dtype=np.float32)

    def build(self, base, cols, metric, path, params):
        import faiss
        faiss.omp_set_num_threads(params["threads"])
        self.angular = metric == "angular"
        index = faiss.IndexHNSWFlat(base.shape[1], params["m"],
                                    faiss.METRIC_INNER_PRODUCT if self.angular else faiss.METRIC_L2)
        index.hnsw.efConstruction = params["ef_construction"]
        t = time.perf_counter()
        index.add(self._prep(base))
        seconds = time.perf_counter() - t
        faiss.write_index(index, path)
        return {"build_seconds": seconds}

    def open(self, path, dim, metric):
        import faiss
        faiss.omp_set_num_threads(1)
        self.angular = metric == "angular"
        self.index = faiss.read_index(path)
        self.ef = 64

    def use_deleted(self, path, deleted, live):
        self.live = live

    def prepare(self, flt, mask):
        import faiss
        if flt is None and self.live is None:
            return None
        m = mask if self.live is None else (mask & self.live)
        bits = np.packbits(m, bitorder="little")
        sel = faiss.IDSelectorBitmap(len(m), faiss.swig_ptr(bits))
        return (bits, sel)  # the array must outlive the selector

    def set_ef(self, ef):
        self.ef = ef

    def search_one(self, q, k, handle):
        import faiss
        params = faiss.SearchParametersHNSW(efSearch=self.ef)
        if handle is not None:
            params.sel = handle[1]
        return self.index.search(self._prep(q[None, :]), k, params=params)[1][0].astype(np.int64)

    def ndis(self):
        import faiss
        return int(faiss.cvar.hnsw_stats.ndis)

    def describe(self):
        import faiss
        return (f"IndexHNSWFlat, SearchParametersHNSW(sel=IDSelectorBitmap, efSearch), 1 OpenMP "
                f"thread; SIMD level {faiss.SIMDConfig.get_level_name()}; deleted points cleared "
                "from the bitmap")


class Chroma:
    NAME = "bench"

    def __init__(self, config):
        self.col = None
        self.client = None

    @staticmethod
    def _client(path):
        import chromadb
        from chromadb.config import Settings
        return chromadb.PersistentClient(path=path, settings=Settings(anonymized_telemetry=False))

    def build(self, base, cols, metric, path, params):
        if os.path.exists(path):
            shutil.rmtree(path)
        client = self._client(path)
        space = "cosine" if metric == "angular" else "l2"
        col = client.create_collection(
            self.NAME, embedding_function=None,
            configuration={"hnsw": {"space": space, "ef_construction": params["ef_construction"],
                                    "max_neighbors": params["m"], "ef_search": 64,
                                    "num_threads": params["threads"]}})
        rows = fd.payload_rows(cols)
        step = min(client.get_max_batch_size(), 5000)
        t = time.perf_counter()
        for s in range(0, len(base), step):
            col.add(ids=[str(i) for i in range(s, min(s + step, len(base)))],
                    embeddings=base[s:s + step], metadatas=rows[s:s + step])
        seconds = time.perf_counter() - t
        return {"build_seconds": seconds, "configuration": str(col.configuration)}

    def delete_copy(self, src, dst, deleted):
        if os.path.exists(dst):
            shutil.rmtree(dst)
        shutil.copytree(src, dst)
        col = self._client(dst).get_collection(self.NAME)
        t = time.perf_counter()
        ids = [str(int(i)) for i in deleted]
        for s in range(0, len(ids), 5000):
            col.delete(ids=ids[s:s + 5000])
        return {"delete_seconds": time.perf_counter() - t, "count_after": col.count()}

    def open(self, path, dim, metric):
        self.col = None
        self.client = self._client(path)
        self.col = self.client.get_collection(self.NAME)
        self.errors = 0

    def use_deleted(self, path, deleted, live):
        self.open(path, None, None)

    def prepare(self, flt, mask):
        return flt

    def set_ef(self, ef):
        self.col.modify(configuration={"hnsw": {"ef_search": ef}})

    def search_one(self, q, k, handle):
        try:
            r = self.col.query(query_embeddings=q[None, :], n_results=k, where=handle, include=[])
        except Exception:
            self.errors += 1
            return np.empty(0, dtype=np.int64)
        return np.asarray([int(i) for i in r["ids"][0]], dtype=np.int64)

    def ndis(self):
        return None

    def describe(self):
        return (f"PersistentClient, hnsw space/ef_construction/max_neighbors from the run, ef_search "
                f"set by collection.modify; `where` dict per call; configuration "
                f"{self.col.configuration if self.col is not None else '?'}")


class Lance:
    NAME = "bench"

    def __init__(self, config):
        self.table = None
        self.metric = "l2"

    def build(self, base, cols, metric, path, params):
        import lancedb
        import pyarrow as pa
        if os.path.exists(path):
            shutil.rmtree(path)
        db = lancedb.connect(path)
        dim = base.shape[1]
        data = {"id": pa.array(np.arange(len(base)), pa.int64()),
                "vector": pa.FixedSizeListArray.from_arrays(
                    pa.array(np.ascontiguousarray(base, dtype=np.float32).reshape(-1)), dim)}
        for name, col in sorted(cols.items()):
            data[name] = pa.array(col)
        t = time.perf_counter()
        db.create_table(self.NAME, data=pa.table(data))
        return {"build_seconds": time.perf_counter() - t, "index": "none (brute force)"}

    def delete_copy(self, src, dst, deleted):
        import lancedb
        if os.path.exists(dst):
            shutil.rmtree(dst)
        shutil.copytree(src, dst)
        table = lancedb.connect(dst).open_table(self.NAME)
        t = time.perf_counter()
        ids = [int(i) for i in deleted]
        for s in range(0, len(ids), 5000):
            table.delete(f"id IN ({', '.join(map(str, ids[s:s + 5000]))})")
        return {"delete_seconds": time.perf_counter() - t, "count_after": table.count_rows()}

    def open(self, path, dim, metric):
        import lancedb
        self.table = lancedb.connect(path).open_table(self.NAME)
        self.metric = "cosine" if metric == "angular" else "l2"

    def use_deleted(self, path, deleted, live):
        metric = self.metric
        self.open(path, None, None)
        self.metric = metric

    def prepare(self, flt, mask):
        return fd.to_sql(flt)

    def set_ef(self, ef):
        pass

    def search_one(self, q, k, handle):
        s = self.table.search(q).distance_type(self.metric)
        if handle is not None:
            s = s.where(handle, prefilter=True)
        return s.limit(k).select(["id", "_distance"]).to_arrow()["id"].to_numpy().astype(np.int64)

    def ndis(self):
        return None

    def describe(self):
        return ("lancedb.connect(path), no vector index (brute force), "
                "search(q).distance_type().where(sql, prefilter=True).limit(k)")


class NumpyBrute:
    def __init__(self, config):
        self.base = None
        self.live = None
        self.angular = False
        self.count = 0

    def open(self, path, dim, metric):
        self.base = np.load(path)
        self.angular = metric == "angular"

    def use_deleted(self, path, deleted, live):
        self.live = live

    def prepare(self, flt, mask):
        m = mask if self.live is None else (mask & self.live)
        ids = np.flatnonzero(m)
        rows = np.ascontiguousarray(self.base[ids], dtype=np.float32)
        if self.angular:
            rows = datasets.normalise(rows)
        sq = np.einsum("ij,ij->i", rows, rows)
        return ids, rows, sq

    def set_ef(self, ef):
        pass

    def search_one(self, q, k, handle):
        ids, rows, sq = handle
        self.count += len(ids)
        if len(ids) == 0:
            return np.empty(0, dtype=np.int64)
        if self.angular:
            d = -(rows @ (q / (np.linalg.norm(q) or 1.0)))
        else:
            d = sq - 2.0 * (rows @ q)
        if len(ids) > k:
            part = np.argpartition(d, k - 1)[:k]
        else:
            part = np.arange(len(ids))
        return ids[part[np.argsort(d[part], kind="stable")]]

    def ndis(self):
        return self.count

    def describe(self):
        import numpy
        try:
            from threadpoolctl import threadpool_info
            blas = "; ".join(f"{i.get('internal_api')} {i.get('version')} {i.get('architecture')} "
                             f"threads {i.get('num_threads')}" for i in threadpool_info())
        except Exception:
            blas = "BLAS not inspected"
        return f"NumPy {numpy.__version__} matrix-vector over rows gathered per filter; {blas}"


def make(library, config):
    return {"vivudu": Vivudu, "hnswlib": Hnswlib, "faiss": Faiss, "chromadb": Chroma,
            "lancedb": Lance, "numpy": NumpyBrute}[library](config)
