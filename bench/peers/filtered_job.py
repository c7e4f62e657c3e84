"""Child-process work of the filtered benchmark.

    python -m peers.filtered_job build|delete|serve|memory|trace --task TASK.json

`build` builds one library's index (with payloads / metadata) and saves it;
`delete` copies a saved index and deletes the seeded 20% through the
library's own deletion; `serve` loads an index and sweeps every filter and
ef, writing the returned ids (recall is scored by the parent); `memory`
opens a vivudu segment with or without payloads and reports resident
memory; `trace` replays vivudu searches with its search trace on to count
layer-0 visits per query. Each writes one JSON document to the task's `out`.
"""

import argparse
import json
import os
import sys
import time

import numpy as np

from . import filtered_data as fd
from . import filtered_libraries as fl
from .job import peak_rss_kib, percentile_us, write_json


def rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return None


def load_inputs(task):
    doc, cols, deleted = fd.load(task["filtered_dir"])
    return doc, cols, deleted


def run_build(task):
    doc, cols, _ = load_inputs(task)
    base = np.load(os.path.join(doc["dataset_dir"], "base.npy"))
    lib = fl.make(task["library"], task["config"])
    t = time.perf_counter()
    info = lib.build(base, cols, doc["metric"], task["index_path"], task["params"])
    info["wall_seconds"] = time.perf_counter() - t
    info["peak_rss_kib"] = peak_rss_kib()
    info["index_bytes"] = path_bytes(task["index_path"])
    write_json(task["out"], info)


def run_delete(task):
    _, _, deleted = load_inputs(task)
    lib = fl.make(task["library"], task["config"])
    info = lib.delete_copy(task["index_path"], task["deleted_path"], deleted)
    info["index_bytes"] = path_bytes(task["deleted_path"])
    write_json(task["out"], info)


def path_bytes(path):
    if os.path.isdir(path):
        return sum(os.path.getsize(os.path.join(d, f)) for d, _, fs in os.walk(path) for f in fs)
    total = os.path.getsize(path) if os.path.exists(path) else 0
    wal = os.path.splitext(path)[0] + ".wal"
    if path.endswith(".snap") and os.path.exists(wal):
        total += os.path.getsize(wal)
    return total


def timed_pass(lib, queries, k, handle, budget, min_queries):
    """One query per call until every query ran or `budget` seconds passed
    (with at least `min_queries`); returns ids, latencies and seconds."""
    n = len(queries)
    ids = np.full((n, k), -1, dtype=np.int64)
    lat = np.empty(n, dtype=np.int64)
    start = time.perf_counter()
    done = 0
    for i in range(n):
        t0 = time.perf_counter_ns()
        got = lib.search_one(queries[i], k, handle)
        lat[i] = time.perf_counter_ns() - t0
        got = np.asarray(got, dtype=np.int64)[:k]
        ids[i, :len(got)] = got
        done = i + 1
        if done >= min_queries and time.perf_counter() - start >= budget:
            break
    seconds = time.perf_counter() - start
    return ids[:done], lat[:done], seconds


def best_of(fn, repeats=3, budget_seconds=2.0):
    best, spent = float("inf"), 0.0
    for _ in range(repeats):
        t = time.perf_counter()
        fn()
        e = time.perf_counter() - t
        best, spent = min(best, e), spent + e
        if spent >= budget_seconds:
            break
    return best


def run_serve(task):
    doc, cols, deleted = load_inputs(task)
    n = doc["base"]
    queries = np.load(os.path.join(doc["dataset_dir"], "queries.npy"))[:doc["queries"]]
    queries = np.ascontiguousarray(queries, dtype=np.float32)
    masks = fd.masks(doc, cols, deleted)
    live = np.ones(n, dtype=bool)
    live[deleted] = False
    k = task["k"]
    lib = fl.make(task["library"], task["config"])
    t = time.perf_counter()
    lib.open(task["index_path"], doc["dim"], doc["metric"])
    load_seconds = time.perf_counter() - t
    rss_after_load = rss_kib()
    # Warm-up: unfiltered queries at the middle ef, untimed.
    lib.set_ef(64)
    everything = lib.prepare(None, np.ones(n, dtype=bool))
    for q in queries[:task["warm_up"]]:
        lib.search_one(q, k, everything)
    del everything

    out = {"filters": {}, "load_seconds": load_seconds, "rss_after_load_kib": rss_after_load}
    all_ids = {}
    on_deleted = False
    for f in doc["filters"]:
        if f["name"] in task["skip"]:
            continue
        if f["deleted"] and not on_deleted:
            t = time.perf_counter()
            lib.use_deleted(task.get("deleted_path"), deleted, live)
            out["switch_to_deleted_seconds"] = time.perf_counter() - t
            on_deleted = True
        mask = masks[f["base"]] if f["deleted"] else masks[f["name"]]
        t = time.perf_counter()
        handle = lib.prepare(f["filter"], mask)
        prepare_seconds = time.perf_counter() - t
        sweeps = []
        for ef in task["efs"]:
            lib.set_ef(ef)
            for q in queries[:task["warm"]]:
                lib.search_one(q, k, handle)
            before = lib.ndis()
            errors_before = getattr(lib, "errors", 0)
            ids, lat, seconds = timed_pass(lib, queries, k, handle, task["budget"],
                                           task["min_queries"])
            after = lib.ndis()
            entry = {"ef": ef, "queries": len(ids), "single_qps": len(ids) / seconds,
                     "p50_us": percentile_us(lat, 50), "p99_us": percentile_us(lat, 99),
                     "mean_us": float(lat.mean()) / 1e3,
                     "errors": getattr(lib, "errors", 0) - errors_before}
            if before is not None:
                entry["ndis_per_query"] = (after - before) / len(ids)
            if task["library"] == "vivudu":
                batch = queries[:len(ids)]
                for threads in task["batch_threads"]:
                    got = None

                    def run():
                        nonlocal got
                        got = lib.search_batch(batch, k, handle, threads)

                    entry[f"batch_t{threads}_qps"] = len(batch) / best_of(run)
                    # The batch answers must be the single-query answers.
                    same = np.array_equal(np.sort(got, axis=1), np.sort(ids, axis=1))
                    entry[f"batch_t{threads}_same_ids"] = bool(same)
                    if not same:
                        all_ids[f"{f['name']}|ef{ef}|batch{threads}"] = got
            all_ids[f"{f['name']}|ef{ef}"] = ids
            sweeps.append(entry)
        out["filters"][f["name"]] = {"prepare_seconds": prepare_seconds, "sweeps": sweeps}
    out["peak_rss_kib"] = peak_rss_kib()
    out["describe"] = lib.describe()
    np.savez(task["ids_out"], **all_ids)
    write_json(task["out"], out)


def run_memory(task):
    import vivudu
    doc, cols, _ = load_inputs(task)
    queries = np.load(os.path.join(doc["dataset_dir"], "queries.npy"))[:20]
    queries = np.ascontiguousarray(queries, dtype=np.float32)
    before = rss_kib()
    t = time.perf_counter()
    index = vivudu.Index(task["index_path"], payloads=task["payloads"])
    load_seconds = time.perf_counter() - t
    after_open = rss_kib()
    out = {"payloads": task["payloads"], "rss_before_kib": before, "rss_after_open_kib": after_open,
           "load_seconds": load_seconds}
    if task["payloads"]:
        out["filter_bytes"] = int(index.filter_bytes())
        for q in queries:
            index.search(q, k=10, ef=64, filter={"u10": 0})
            index.search(q, k=10, ef=64, filter={"x": {"$lt": 0.1}})
    else:
        for q in queries:
            index.search(q, k=10, ef=64)
        try:
            index.search(queries[0], k=10, ef=64, filter={"u10": 0})
            out["filter_without_payloads"] = "accepted"
        except Exception as e:  # expected: no payloads, no filters
            out["filter_without_payloads"] = f"{type(e).__name__}: {e}"
    out["rss_after_search_kib"] = rss_kib()
    out["peak_rss_kib"] = peak_rss_kib()
    write_json(task["out"], out)


def run_trace(task):
    """Layer-0 visits per query from vivudu's search trace (a JSONL record at
    the end of each layer-0 walk, `visited` = nodes marked there, scored or
    passed through), the planner's choice (exact scan, walk, walk that gave
    up and scanned) per (filter, ef)."""
    doc, cols, deleted = load_inputs(task)
    n = doc["base"]
    queries = np.load(os.path.join(doc["dataset_dir"], "queries.npy"))[:task["queries"]]
    queries = np.ascontiguousarray(queries, dtype=np.float32)
    masks = fd.masks(doc, cols, deleted)
    trace_path = os.environ["DOROVOZU_SEARCH_TRACE_LOG"]
    lib = fl.make("vivudu", task["config"])
    lib.open(task["index_path"], doc["dim"], doc["metric"])
    k = task["k"]
    out = {}
    on_deleted = False
    offset = 0
    for f in doc["filters"]:
        if f["name"] in task["skip"]:
            continue
        if f["deleted"] and not on_deleted:
            lib.use_deleted(task["deleted_path"], deleted, None)
            on_deleted = True
        allowed = int(masks[f["name"]].sum())
        rows = {}
        for ef in task["efs"]:
            lib.set_ef(ef)
            for q in queries:
                lib.search_one(q, k, f["filter"])
            with open(trace_path, "rb") as fh:
                fh.seek(offset)
                chunk = fh.read()
            offset += len(chunk)
            per = {}
            for line in chunk.splitlines():
                line = line.strip(b"\0 ")
                if not line:
                    continue
                r = json.loads(line)
                e = per.setdefault(r["search_id"], {"visited": 0, "scan": False, "end": None,
                                                    "results": None})
                if r["stop_reason"] == "exact_scan":
                    e["scan"] = True
                elif r["stop_reason"] != "start":
                    e["visited"] += r["visited"]
                    e["end"] = r["stop_reason"]
                    e["results"] = r["results_len"]
            scans = walks = gave_up = 0
            comps = []
            want = min(k, allowed)
            for e in per.values():
                if e["scan"]:
                    scans += 1
                    comps.append(allowed)
                    continue
                walks += 1
                cost = e["visited"]
                if f["filter"] is not None and (e["end"] == "visit_budget" or (e["results"] or 0) < want):
                    gave_up += 1
                    cost += allowed
                comps.append(cost)
            rows[str(ef)] = {"searches": len(per), "exact_scans": scans, "walks": walks,
                             "walks_then_scan": gave_up,
                             "visits_per_query": float(np.mean(comps)) if comps else None}
        out[f["name"]] = {"allowed": allowed, "efs": rows}
    write_json(task["out"], {"trace": out})


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m peers.filtered_job")
    parser.add_argument("mode", choices=("build", "delete", "serve", "memory", "trace"))
    parser.add_argument("--task", required=True)
    args = parser.parse_args(argv)
    with open(args.task) as f:
        task = json.load(f)
    {"build": run_build, "delete": run_delete, "serve": run_serve, "memory": run_memory,
     "trace": run_trace}[args.mode](task)


if __name__ == "__main__":
    sys.exit(main())
