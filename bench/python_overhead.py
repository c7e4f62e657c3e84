"""Cost of the Python layer of `dovadure`.

1. Single-query `search` overhead: the time per `search` call minus the
   per-row time of the same queries in one `search_batch` call on one thread
   (which has no per-query Python cost), on a tiny index where the core's own
   work is small. The difference is what argument parsing, validation, the
   query copy, releasing the lock and building the result arrays cost.
2. `search_batch` throughput with threads = 1 and 2 on an N x 128 dataset
   (default 100 000; BENCH_N to change).

Usage: python3 bench/python_overhead.py   (after `pip install .`)
The N x 128 snapshot is built with the `dovadure` command-line tool when it
is installed (BENCH_CLI to point at it), else written directly from a
k-nearest-neighbour graph by tests/python/snapshot_writer.py.
"""

import os
import platform
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import time

import numpy as np

import dovadure

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))
import snapshot_writer as sw  # noqa: E402


def machine():
    cpu = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return (f"{cpu}; {os.cpu_count()} logical CPUs (affinity {len(os.sched_getaffinity(0))}); "
            f"Python {platform.python_version()}; NumPy {np.__version__}")


def best_of(fn, repeats=5):
    best = float("inf")
    for _ in range(repeats):
        t = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t)
    return best


def overhead_table(tmp):
    rng = np.random.default_rng(1)
    data = rng.standard_normal((64, 16)).astype(np.float32)
    path = os.path.join(tmp, "tiny.snap")
    sw.write_snapshot(path, sw.knn_graph(data, degree=8))
    index = dovadure.Index(path)
    queries = rng.standard_normal((2000, 16)).astype(np.float32)
    rows = list(queries)
    print("\nsingle-query overhead (64 x 16 index, k=10, ef=16, 2000 queries, best of 5)")
    print(f"{'path':<38} {'us/query':>10}")

    def single():
        for q in rows:
            index.search(q, k=10, ef=16)

    def batch():
        index.search_batch(queries, k=10, ef=16, threads=1)

    t_single = best_of(single) / len(rows) * 1e6
    t_batch = best_of(batch) / len(rows) * 1e6
    print(f"{'search() per call':<38} {t_single:>10.2f}")
    print(f"{'search_batch(threads=1) per row':<38} {t_batch:>10.2f}")
    print(f"{'Python-side cost per search() call':<38} {t_single - t_batch:>10.2f}")


def find_cli():
    cli = os.environ.get("BENCH_CLI")
    if cli:
        return cli
    candidate = os.path.join(sysconfig.get_path("scripts"), "dovadure")
    return candidate if os.path.exists(candidate) else shutil.which("dovadure")


def throughput_table(tmp):
    n = int(os.environ.get("BENCH_N", "100000"))
    dim = 128
    rng = np.random.default_rng(2)
    centres = rng.standard_normal((256, dim)).astype(np.float32) * 2
    data = (centres[rng.integers(0, 256, n)] + rng.standard_normal((n, dim))).astype(np.float32)
    queries = (centres[rng.integers(0, 256, 4000)] + rng.standard_normal((4000, dim))).astype(
        np.float32)
    path = os.path.join(tmp, "big.snap")
    cli = find_cli()
    t = time.perf_counter()
    if cli:
        np.save(os.path.join(tmp, "big.npy"), data)
        subprocess.run([cli, "build", path, "--vectors", os.path.join(tmp, "big.npy"),
                        "--metric", "euclidean", "--m", "16", "--ef-construction", "100"],
                       check=True, stderr=subprocess.DEVNULL)
        how = "dovadure build, m=16, ef_construction=100"
    else:
        sw.write_snapshot(path, sw.knn_graph(data, degree=24, upper_every=32))
        how = "k-NN graph written directly (no CLI found)"
    built = time.perf_counter() - t
    index = dovadure.Index(path)
    print(f"\nsearch_batch throughput ({n} x {dim}, {how}, built in {built:.0f} s; "
          f"4000 queries, k=10, best of 3)")
    print(f"{'ef':>5} {'threads':>8} {'QPS':>10} {'speed-up':>9}")
    for ef in (32, 128):
        base = None
        for threads in (1, 2):
            index.search_batch(queries[:200], k=10, ef=ef, threads=threads)
            elapsed = best_of(lambda: index.search_batch(queries, k=10, ef=ef, threads=threads), 3)
            qps = len(queries) / elapsed
            base = base or qps
            print(f"{ef:>5} {threads:>8} {qps:>10.0f} {qps / base:>8.2f}x")


def main():
    print(f"dovadure Python layer benchmark\nmachine: {machine()}")
    with tempfile.TemporaryDirectory() as tmp:
        overhead_table(tmp)
        throughput_table(tmp)


if __name__ == "__main__":
    main()
