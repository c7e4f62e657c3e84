"""One adapter per library under test, all with the same small surface.

    build(base, metric, m, ef_construction, threads, path)  -> extra info dict
    load(path, dim, metric)
    set_ef(ef)
    search_one(query, k)            -> ids (1-D)
    search_many(queries, k, threads) -> ids (2-D)
    simd()                          -> description of the kernel path in use

Vectors arrive as float32 in the dataset's own scale. Angular datasets are
cosine everywhere: libraries without a cosine metric get unit vectors and
inner product, which orders neighbours identically.
"""

import importlib.metadata
import os
import subprocess
import sys
import sysconfig
import shutil

import numpy as np

from . import datasets

# Configurations compared. `quantised` marks the 8-bit comparison group;
# `build_key` names the index file a configuration searches, so that two
# configurations over the same graph share one build.
CONFIGS = {
    ("dovadure", "float"): {"quantised": False, "build_key": "dovadure"},
    ("dovadure", "sq8"): {"quantised": True, "build_key": "dovadure"},
    # The same index searched with the module's patience=0 (the search stops
    # at the first candidate that cannot improve its results, the usual HNSW
    # rule; the default 2 looks two further), at the low ef values where the
    # default already overshoots the recall targets.
    ("dovadure", "float-p0"): {"quantised": False, "build_key": "dovadure",
                               "patience": 0, "efs": (10, 16, 32)},
    ("dovadure", "sq8-p0"): {"quantised": True, "build_key": "dovadure",
                             "patience": 0, "efs": (10, 16, 32)},
    # Lean lists: an index built with --lean-lists (only the
    # neighbours the diversity rule accepts, no candidate extension),
    # searched with the default knobs, with patience=0, and with patience=0
    # and scan_cap=m (half of each layer-0 list at most).
    ("dovadure", "lean"): {"quantised": False, "build_key": "dovadure-lean", "lean": True},
    ("dovadure", "lean-p0"): {"quantised": False, "build_key": "dovadure-lean", "lean": True,
                              "patience": 0, "efs": (10, 16, 32)},
    ("dovadure", "lean-cap"): {"quantised": False, "build_key": "dovadure-lean", "lean": True,
                               "patience": 0, "scan_cap": "m", "efs": (10, 16, 32, 48, 64)},
    # The same index loaded by vivudu with the snapshot file mapped instead
    # of read (vivudu.Index(path, mapped=True)).
    ("dovadure", "mapped"): {"quantised": False, "build_key": "dovadure", "mapped": True},
    ("hnswlib", "float"): {"quantised": False, "build_key": "hnswlib"},
    ("faiss", "hnswflat"): {"quantised": False, "build_key": "faiss-hnswflat"},
    ("faiss", "hnswsq8-refine"): {"quantised": True, "build_key": "faiss-hnswsq8-refine"},
    ("usearch", "f32"): {"quantised": False, "build_key": "usearch-f32"},
    ("usearch", "i8"): {"quantised": True, "build_key": "usearch-i8"},
}

# Exact re-ranking depth of the 8-bit paths. dovadure's screen walks a pool of
# factor * ef candidates by their codes and re-scores the whole pool with the
# float vectors; faiss's refine stage takes factor * k results of its HNSW
# search (efSearch = ef) and re-scores those. With factor 1 both quantised
# paths walk the same ef as the float paths they are compared with (factor 2
# doubled our walk, which at the grid's smallest ef already overshoots every
# recall target on fashion-mnist), and dovadure re-scores ef >= k candidates.
DEFAULT_RERANK_FACTOR = 1


def package_version(dist):
    try:
        return importlib.metadata.version(dist)
    except importlib.metadata.PackageNotFoundError:
        return None


def _wheel_tag(dist):
    try:
        text = importlib.metadata.distribution(dist).read_text("WHEEL") or ""
    except importlib.metadata.PackageNotFoundError:
        return None
    tags = [line.split(":", 1)[1].strip() for line in text.splitlines() if line.startswith("Tag:")]
    return ", ".join(tags) or None


def find_cli():
    cli = os.environ.get("BENCH_CLI")
    if cli:
        return cli
    candidate = os.path.join(sysconfig.get_path("scripts"), "dovadure")
    return candidate if os.path.exists(candidate) else shutil.which("dovadure")


class Dovadure:
    dist = "dovadure"

    def __init__(self, variant, rerank_factor=DEFAULT_RERANK_FACTOR, m=None):
        self.variant = variant
        self.sq8 = variant.startswith("sq8")
        self.rerank_factor = rerank_factor
        self.index = None
        self.ef = 10
        cfg = CONFIGS[("dovadure", variant)]
        self.lean = cfg.get("lean", False)
        self.mapped = cfg.get("mapped", False)
        if self.mapped:
            import vivudu  # noqa: F401  (now, so that no timed load imports it)
        self.knobs = {}
        if cfg.get("patience") is not None:
            self.knobs["patience"] = cfg["patience"]
        if cfg.get("scan_cap") is not None:
            # "m": the graph's own m, half of a full layer-0 list.
            self.knobs["scan_cap"] = m if cfg["scan_cap"] == "m" else cfg["scan_cap"]

    @staticmethod
    def child_env(variant, rerank_factor=DEFAULT_RERANK_FACTOR):
        # The engine reads its knobs once per process, so the serving child
        # must be started with them.
        return ({"DOROVOZU_SQ8_RERANK_FACTOR": str(rerank_factor)}
                if variant.startswith("sq8") else {})

    def build(self, base, metric, m, ef_construction, threads, path, base_file=None):
        cli = find_cli()
        if not cli:
            raise RuntimeError("the dovadure command-line tool is not installed")
        if base_file is None:
            base_file = path + ".vectors.npy"
            np.save(base_file, base)
        cmd = [cli, "build", path, "--vectors", base_file,
               "--metric", "cosine" if metric == "angular" else "euclidean",
               "--m", str(m), "--ef-construction", str(ef_construction),
               "--threads", str(threads), "--overwrite"] + (["--lean-lists"] if self.lean else [])
        proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        out, err = proc.communicate()
        if proc.returncode != 0:
            raise RuntimeError(f"dovadure build failed ({proc.returncode}): {err.strip()[-2000:]}")
        return {"cli_output": out.strip()}

    def save(self, built, path):
        pass  # the command-line tool has already written the snapshot

    def load(self, path, dim, metric):
        if self.mapped:
            import vivudu
            self.index = vivudu.Index(path, payloads=False, mapped=True)
            return
        import dovadure
        self.index = dovadure.Index(path, quantize=self.sq8)

    def set_ef(self, ef):
        self.ef = ef

    def search_one(self, query, k):
        return self.index.search(query, k=k, ef=self.ef, sq8_screen=self.sq8, **self.knobs)[0]

    def search_many(self, queries, k, threads):
        return self.index.search_batch(queries, k=k, ef=self.ef, sq8_screen=self.sq8,
                                       threads=threads, **self.knobs)[0]

    def simd(self):
        import dovadure
        flags = cpu_flags()
        if {"avx2", "fma", "avx512f"} <= flags:
            path = "avx-512 forms of the avx2+fma kernels (same sums)"
        elif {"avx2", "fma"} <= flags:
            path = "avx2+fma kernels"
        else:
            path = "scalar kernels"
        note = f"{path} chosen at run time on this CPU; {binary_isa(dovadure.__file__)}"
        if self.sq8:
            note += f"; SQ8 screen, re-rank factor {self.rerank_factor}"
        if self.lean:
            note += "; built with --lean-lists"
        if self.mapped:
            note += "; loaded by vivudu with the snapshot file mapped"
        if self.knobs:
            note += "; " + ", ".join(f"{k}={v}" for k, v in self.knobs.items())
        return note


class Hnswlib:
    dist = "hnswlib"

    def __init__(self, variant):
        self.variant = variant
        self.index = None

    def _new(self, dim, metric):
        import hnswlib
        return hnswlib.Index(space="cosine" if metric == "angular" else "l2", dim=dim)

    def build(self, base, metric, m, ef_construction, threads, path, base_file=None):
        index = self._new(base.shape[1], metric)
        index.init_index(max_elements=len(base), ef_construction=ef_construction, M=m,
                         random_seed=100)
        index.add_items(base, np.arange(len(base)), num_threads=threads)
        return index

    def save(self, built, path):
        built.save_index(path)

    def load(self, path, dim, metric):
        self.index = self._new(dim, metric)
        self.index.load_index(path)

    def set_ef(self, ef):
        self.index.set_ef(ef)

    def search_one(self, query, k):
        return self.index.knn_query(query, k=k, num_threads=1)[0][0]

    def search_many(self, queries, k, threads):
        return self.index.knn_query(queries, k=k, num_threads=threads)[0]

    def simd(self):
        import hnswlib
        tag = _wheel_tag("hnswlib")
        return f"built on this machine from the PyPI sdist (wheel tag {tag}); {binary_isa(hnswlib.__file__)}"


class Faiss:
    dist = "faiss-cpu"

    def __init__(self, variant, rerank_factor=DEFAULT_RERANK_FACTOR):
        self.variant = variant
        self.rerank_factor = rerank_factor
        self.index = None
        self.angular = False

    def _prep(self, x):
        return datasets.normalise(x) if self.angular else np.ascontiguousarray(x, dtype=np.float32)

    def build(self, base, metric, m, ef_construction, threads, path, base_file=None):
        import faiss
        faiss.omp_set_num_threads(threads)
        self.angular = metric == "angular"
        fmetric = faiss.METRIC_INNER_PRODUCT if self.angular else faiss.METRIC_L2
        dim = base.shape[1]
        data = self._prep(base)
        if self.variant == "hnswflat":
            index = faiss.IndexHNSWFlat(dim, m, fmetric)
            index.hnsw.efConstruction = ef_construction
            index.add(data)
            return index
        hnsw = faiss.IndexHNSWSQ(dim, faiss.ScalarQuantizer.QT_8bit, m, fmetric)
        hnsw.hnsw.efConstruction = ef_construction
        index = faiss.IndexRefineFlat(hnsw)
        index.train(data)
        index.add(data)
        return index

    def save(self, built, path):
        import faiss
        faiss.write_index(built, path)

    def load(self, path, dim, metric):
        import faiss
        self.angular = metric == "angular"
        # read_index returns the owning proxy; a downcast copy does not own
        # the index, so the original must stay referenced or faiss frees it.
        self.index = faiss.read_index(path)
        if self.variant != "hnswflat":
            self.index.k_factor = float(self.rerank_factor)
            self.base = faiss.downcast_index(self.index.base_index)
            self.hnsw = self.base.hnsw
        else:
            self.hnsw = self.index.hnsw

    def set_ef(self, ef):
        self.hnsw.efSearch = ef

    def search_one(self, query, k):
        import faiss
        faiss.omp_set_num_threads(1)
        return self.index.search(self._prep(query[None, :]), k)[1][0]

    def search_many(self, queries, k, threads):
        import faiss
        faiss.omp_set_num_threads(threads)
        return self.index.search(self._prep(queries), k)[1]

    def simd(self):
        import faiss
        loaded = sorted(m for m in sys.modules if "swigfaiss" in m)
        try:
            level = faiss.SIMDConfig.get_level_name()
        except Exception:  # older releases have no run-time level to report
            level = "?"
        note = (f"SIMD level {level}; compile options '{faiss.get_compile_options().strip()}'; "
                f"modules {loaded}")
        if self.variant != "hnswflat":
            note += f"; IndexRefineFlat(IndexHNSWSQ QT_8bit), k_factor {self.rerank_factor}"
        return note


class Usearch:
    dist = "usearch"

    def __init__(self, variant):
        self.variant = variant
        self.dtype = "i8" if variant == "i8" else "f32"
        self.index = None
        self.centre = None
        self.scale = 1.0

    def _new(self, dim, metric, m, ef_construction):
        from usearch.index import Index
        return Index(ndim=dim, metric="cos" if metric == "angular" else "l2sq", dtype=self.dtype,
                     connectivity=m, expansion_add=ef_construction, expansion_search=64)

    def build(self, base, metric, m, ef_construction, threads, path, base_file=None):
        self._fit(base, metric)
        index = self._new(base.shape[1], metric, m, ef_construction)
        index.add(np.arange(len(base), dtype=np.uint64), self._prep(base), threads=threads)
        return index

    def _fit(self, base, metric):
        # usearch's i8 codes assume components in [-1, 1]. For euclidean data
        # a shift by a fixed vector and one global scale change no neighbour
        # order, so the data is centred per dimension on its mid-range and
        # scaled into [-1, 1] (raw fashion-mnist pixels otherwise lose half
        # of the recall). Cosine data is already unit length.
        if self.dtype != "i8" or metric == "angular" or len(base) == 0:
            return
        self.centre = ((base.max(axis=0) + base.min(axis=0)) / 2).astype(np.float32)
        peak = float(np.max(np.abs(base - self.centre)))
        self.scale = 1.0 / peak if peak > 0 else 1.0

    def _prep(self, x):
        x = np.ascontiguousarray(x, dtype=np.float32)
        if self.centre is None:
            return x
        return ((x - self.centre) * np.float32(self.scale)).astype(np.float32)

    def save(self, built, path):
        built.save(path)
        if self.centre is not None:
            np.save(transform_path(path), np.append(self.centre, np.float32(self.scale)))

    def load(self, path, dim, metric):
        from usearch.index import Index
        self.index = Index.restore(path)
        if os.path.exists(transform_path(path)):
            packed = np.load(transform_path(path))
            self.centre, self.scale = packed[:-1], float(packed[-1])

    def set_ef(self, ef):
        self.index.expansion_search = ef

    def search_one(self, query, k):
        return self.index.search(self._prep(query), k, threads=1).keys

    def search_many(self, queries, k, threads):
        return self.index.search(self._prep(queries), k, threads=threads).keys

    def simd(self):
        acc = self.index.hardware_acceleration if self.index is not None else "?"
        note = f"hardware_acceleration '{acc}', dtype {self.dtype}"
        if self.centre is not None:
            note += "; data centred and scaled into [-1, 1] for i8"
        return note


def transform_path(index_path):
    """Side file of an index: the affine map applied to vectors before usearch i8."""
    return index_path + ".transform.npy"


def make(library, variant, rerank_factor=DEFAULT_RERANK_FACTOR, m=None):
    if library == "dovadure":
        return Dovadure(variant, rerank_factor, m)
    if library == "hnswlib":
        return Hnswlib(variant)
    if library == "faiss":
        return Faiss(variant, rerank_factor)
    if library == "usearch":
        return Usearch(variant)
    raise ValueError(f"unknown library '{library}'")


IMPORT_NAMES = {"dovadure": "dovadure", "hnswlib": "hnswlib", "faiss": "faiss", "usearch": "usearch"}
DISTS = {"dovadure": "dovadure", "hnswlib": "hnswlib", "faiss": "faiss-cpu", "usearch": "usearch"}


def binary_isa(path):
    """Which vector instructions a shared library actually contains, counted
    from its disassembly: for a library compiled on this machine with flags
    we cannot see, this is the evidence of its SIMD path."""
    objdump = shutil.which("objdump")
    if not objdump:
        return "instruction set not inspected (no objdump)"
    try:
        text = subprocess.run([objdump, "-d", "--no-show-raw-insn", path], capture_output=True,
                              text=True, timeout=120).stdout
    except (OSError, subprocess.SubprocessError):
        return "instruction set not inspected (objdump failed)"
    ymm = sum(1 for line in text.splitlines() if "%ymm" in line)
    zmm = sum(1 for line in text.splitlines() if "%zmm" in line)
    fma = sum(1 for line in text.splitlines() if "vfmadd" in line)
    return f"binary has {ymm} AVX (ymm), {zmm} AVX-512 (zmm) and {fma} FMA instructions"


def cpu_flags():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("flags"):
                    return set(line.split(":", 1)[1].split())
    except OSError:
        pass
    return set()
