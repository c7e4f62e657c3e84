"""Child-process work for one library configuration.

    python -m peers.job build  --task TASK.json
    python -m peers.job serve  --task TASK.json

`build` constructs the index from the cached base vectors with the given
thread count and saves it; `serve` starts cold, loads the saved index, times
the first query and then sweeps ef. Each writes one JSON document to the
path named in the task. Recall is scored by the parent, so this process
never holds the base vectors while serving and its peak memory is the
index's (plus the queries).
"""

import argparse
import json
import os
import re
import resource
import sys
import time

import numpy as np

from . import libraries

# Queries answered after the load and the first query, before the timed sweep.
WARM_UP_QUERIES = 1000


def peak_rss_kib():
    """This process's peak resident set since exec, in KiB.

    VmHWM rather than ru_maxrss: the kernel seeds a spawned child's ru_maxrss
    with the parent's peak at the moment of the spawn, so a child of a large
    parent would report the parent's memory instead of its own."""
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except (OSError, ValueError, IndexError):
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def write_json(path, doc):
    tmp = path + ".tmp"
    with open(tmp, "w") as f:
        json.dump(doc, f, indent=1)
    os.replace(tmp, path)


def run_build(task):
    lib = libraries.make(task["library"], task["variant"], task["rerank_factor"], task["m"])
    base_file = os.path.join(task["dataset_dir"], "base.npy")
    t = time.perf_counter()
    # The dovadure tool reads the vectors itself; holding them here too would
    # only raise the floor of the tool's measured peak (see peak_rss_kib).
    base = None if task["library"] == "dovadure" else np.load(base_file)
    read_seconds = time.perf_counter() - t
    rss_before = peak_rss_kib()
    t = time.perf_counter()
    built = lib.build(base, task["metric"], task["m"], task["ef_construction"], task["threads"],
                      task["index_path"], base_file=base_file)
    build_seconds = time.perf_counter() - t
    t = time.perf_counter()
    lib.save(built, task["index_path"])
    save_seconds = time.perf_counter() - t
    info = built if isinstance(built, dict) else {}
    # The command-line tool times its insertions alone (no file reading or
    # saving), which is what the other libraries' build_seconds cover too.
    match = re.search(r"insert time ([0-9.]+) s", info.get("cli_output", ""))
    if match:
        info["wall_seconds"] = build_seconds
        build_seconds = float(match.group(1))
    children = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    write_json(task["out"], {
        "threads": task["threads"],
        "read_vectors_seconds": read_seconds,
        "build_seconds": build_seconds,
        "save_seconds": save_seconds,
        # The dovadure build runs in the command-line tool, a child of this
        # one; its ru_maxrss is at least this (small) process's size at spawn.
        "peak_rss_kib": max(peak_rss_kib(), children),
        "rss_before_build_kib": rss_before,
        "snapshot_bytes": file_size(task["index_path"]),
        "info": info,
    })


def file_size(path):
    total = os.path.getsize(path)
    extra = libraries.transform_path(path)
    return total + (os.path.getsize(extra) if os.path.exists(extra) else 0)


def best_of(fn, repeats=3, budget_seconds=2.0):
    """Fastest of up to `repeats` runs; fewer when one run is already long,
    so that full-size datasets do not triple the sweep time."""
    best = float("inf")
    spent = 0.0
    for _ in range(repeats):
        t = time.perf_counter()
        fn()
        elapsed = time.perf_counter() - t
        best = min(best, elapsed)
        spent += elapsed
        if spent >= budget_seconds:
            break
    return best


def percentile_us(samples_ns, q):
    return float(np.percentile(samples_ns, q)) / 1e3 if len(samples_ns) else None


def run_serve(task):
    t = time.perf_counter()
    lib = libraries.make(task["library"], task["variant"], task["rerank_factor"], task["m"])
    __import__(libraries.IMPORT_NAMES[task["library"]])
    import_seconds = time.perf_counter() - t
    queries = np.load(os.path.join(task["dataset_dir"], "queries.npy"))
    k = task["k"]
    dim = queries.shape[1]

    # The reference cost for load time: every byte of the snapshot read once
    # into one reused, already touched buffer (so that only the reading is
    # timed), before the load, so that work a library leaves running after
    # its load does not slow the reference down; it also puts the file in the
    # page cache for the load, whatever ran before.
    piece = bytearray(1 << 24)
    t = time.perf_counter()
    with open(task["index_path"], "rb", buffering=0) as f:
        while f.readinto(piece):
            pass
    read_once_seconds = time.perf_counter() - t
    del piece

    t = time.perf_counter()
    lib.load(task["index_path"], dim, task["metric"])
    load_seconds = time.perf_counter() - t
    lib.set_ef(task["efs"][0])
    t = time.perf_counter()
    lib.search_one(queries[0], k)
    first_query_seconds = time.perf_counter() - t
    rss_after_load = peak_rss_kib()

    # Steady state: a warm-up pass before the sweep, for every library alike,
    # so that cold caches of a fresh process, or work a library leaves
    # running after its load (dovadure asks for huge pages behind its vectors
    # on a thread of its own), do not land on the first ef alone. The first
    # query above is timed before it.
    warm_up = queries[:min(len(queries), WARM_UP_QUERIES)]
    for q in warm_up:
        lib.search_one(q, k)

    warm = queries[:min(len(queries), 50)]
    sweeps = []
    all_ids = {}
    for ef in task["efs"]:
        lib.set_ef(ef)
        for q in warm:
            lib.search_one(q, k)
        latencies = np.empty(len(queries), dtype=np.int64)
        ids = np.full((len(queries), k), -1, dtype=np.int64)
        start = time.perf_counter()
        for i, q in enumerate(queries):
            t0 = time.perf_counter_ns()
            got = lib.search_one(q, k)
            latencies[i] = time.perf_counter_ns() - t0
            row = np.asarray(got, dtype=np.int64)[:k]
            ids[i, :len(row)] = row
        single_seconds = time.perf_counter() - start
        all_ids[f"ef{ef}"] = ids
        entry = {
            "ef": ef,
            "single_qps": len(queries) / single_seconds,
            "p50_us": percentile_us(latencies, 50),
            "p99_us": percentile_us(latencies, 99),
        }
        # Throughput needs no more than a few thousand queries; the full set
        # is for the single-query pass, which also gives the recall.
        batch = queries[:task.get("batch_queries") or len(queries)]
        for threads in task["batch_threads"]:
            seconds = best_of(lambda: lib.search_many(batch, k, threads))
            entry[f"batch_t{threads}_qps"] = len(batch) / seconds
        small = task["small_batch"]
        for threads in task["small_batch_threads"]:
            def small_batches():
                for s in range(0, len(batch), small):
                    lib.search_many(batch[s:s + small], k, threads)

            entry[f"batch{small}_t{threads}_qps"] = len(batch) / best_of(small_batches)
        sweeps.append(entry)
    rss_after_search = peak_rss_kib()

    np.savez(task["ids_out"], **all_ids)
    write_json(task["out"], {
        "import_seconds": import_seconds,
        "load_seconds": load_seconds,
        "first_query_seconds": first_query_seconds,
        "warm_up_queries": len(warm_up),
        "read_once_seconds": read_once_seconds,
        "snapshot_bytes": file_size(task["index_path"]),
        "peak_rss_after_load_kib": rss_after_load,
        "peak_rss_kib": rss_after_search,
        "simd": lib.simd(),
        "sweeps": sweeps,
    })


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m peers.job")
    parser.add_argument("mode", choices=("build", "serve"))
    parser.add_argument("--task", required=True)
    args = parser.parse_args(argv)
    with open(args.task) as f:
        task = json.load(f)
    (run_build if args.mode == "build" else run_serve)(task)


if __name__ == "__main__":
    sys.exit(main())
