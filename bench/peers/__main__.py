"""Runs the benchmark grid and writes the report.

    PYTHONPATH=bench python3 -m peers [--datasets digits,fashion-mnist,...] [--quick]

Resumable: a (dataset, library, configuration, m) whose raw JSON exists is
not run again, and finished index builds are kept in the cache, so an
interrupted run picks up where it stopped. Delete a raw JSON file to redo it.
"""

import argparse
import importlib.util
import json
import os
import subprocess
import sys
import time

import numpy as np

from . import datasets, libraries, machine, report

HERE = os.path.dirname(os.path.abspath(__file__))
BENCH = os.path.dirname(HERE)

FULL_EFS = (10, 16, 32, 48, 64, 96, 128, 192, 256, 384, 512)
QUICK_EFS = (10, 16, 32, 64, 128)
K = 10
# Queries of the batch passes (the first ones of the set); the single-query
# pass, which gives recall and latency, runs them all.
BATCH_QUERIES = 2000


def parse_args(argv):
    p = argparse.ArgumentParser(
        prog="run_peers", description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="bench/run_peers.sh also takes --no-install: run without installing packages first.")
    p.add_argument("--datasets", default="digits,fashion-mnist,minilm-wordnet,synthetic",
                   help="comma-separated: " + ", ".join(datasets.DATASETS))
    p.add_argument("--libraries", default="dovadure,hnswlib,faiss,usearch")
    p.add_argument("--quick", action="store_true",
                   help=f"smoke run: at most {datasets.QUICK_BASE} base points and "
                        f"{datasets.QUICK_QUERIES} queries, m=16, ef {QUICK_EFS}")
    p.add_argument("--m", default=None, help="comma-separated m values (default 16,32; quick 16)")
    p.add_argument("--efs", default=None, help="comma-separated ef values")
    p.add_argument("--ef-construction", type=int, default=200)
    p.add_argument("--rerank-factor", type=int, default=libraries.DEFAULT_RERANK_FACTOR,
                   help="exact re-rank depth (x k) of the 8-bit paths")
    p.add_argument("--results-dir", default=None,
                   help="default bench/results (bench/results/quick with --quick)")
    p.add_argument("--cache-dir", default=os.path.join(BENCH, ".cache"))
    p.add_argument("--report-only", action="store_true", help="rewrite the report from raw JSON")
    return p.parse_args(argv)


def csv(text, cast=str):
    return [cast(x) for x in text.split(",") if x.strip()]


def run_child(mode, task, task_path, log_path, env_extra):
    """Runs `python -m peers.job MODE` and returns (exit status, seconds)."""
    with open(task_path, "w") as f:
        json.dump(task, f, indent=1)
    env = dict(os.environ)
    env["PYTHONPATH"] = BENCH + os.pathsep + env.get("PYTHONPATH", "")
    env.update(env_extra)
    t = time.perf_counter()
    with open(log_path, "a") as log:
        proc = subprocess.Popen([sys.executable, "-m", "peers.job", mode, "--task", task_path],
                                stdout=log, stderr=subprocess.STDOUT, env=env, cwd=BENCH)
        proc.wait()
    # Children report their own peak memory (VmHWM): this parent's resource
    # report for them would start from this process's own, larger, peak.
    return proc.returncode, time.perf_counter() - t


def importable(library):
    return importlib.util.find_spec(libraries.IMPORT_NAMES[library]) is not None


def build_once(base_task, build_dir, threads, log_path, env_extra, log):
    """Builds with `threads` unless a finished build is cached; returns its record."""
    record_path = os.path.join(build_dir, f"build-t{threads}.json")
    index_path = os.path.join(build_dir, f"index-t{threads}.bin")
    # Only the single-threaded index is kept for searching; a record whose
    # index has gone from the cache is rebuilt rather than trusted.
    if os.path.exists(record_path) and (threads != 1 or os.path.exists(index_path)):
        with open(record_path) as f:
            return json.load(f)
    log(f"  build {base_task['library']}/{base_task['variant']} m={base_task['m']} "
        f"threads={threads}")
    task = dict(base_task, threads=threads, index_path=index_path,
                out=os.path.join(build_dir, f"build-t{threads}.part.json"))
    code, wall = run_child("build", task, os.path.join(build_dir, f"build-t{threads}.task.json"),
                                  log_path, env_extra)
    if code != 0:
        raise RuntimeError(f"build with {threads} thread(s) failed (exit {code}); see {log_path}")
    with open(task["out"]) as f:
        record = json.load(f)
    record["process_seconds"] = wall
    record["index_path"] = index_path
    with open(record_path, "w") as f:
        json.dump(record, f, indent=1)
    os.remove(task["out"])
    return record


def run_config(args, ds_name, ds_dir, meta, library, variant, m, efs, raw_path, log):
    cfg = libraries.CONFIGS[(library, variant)]
    build_dir = os.path.join(args.cache_dir, "indexes", os.path.basename(ds_dir),
                             f"{cfg['build_key']}-m{m}-efc{args.ef_construction}")
    os.makedirs(build_dir, exist_ok=True)
    log_path = os.path.join(build_dir, "log.txt")
    env_extra = (libraries.Dovadure.child_env(variant, args.rerank_factor)
                 if library == "dovadure" else {})
    base_task = {"library": library, "variant": variant, "rerank_factor": args.rerank_factor,
                 "dataset_dir": ds_dir, "metric": meta["metric"], "m": m,
                 "ef_construction": args.ef_construction}
    builds = {}
    for threads in (1, 2):
        builds[threads] = build_once(base_task, build_dir, threads, log_path, env_extra, log)
    # Searches use the single-threaded build; the 2-thread one is timed only.
    stale = builds[2]["index_path"]
    for path in (stale, libraries.transform_path(stale)):
        if os.path.exists(path):
            os.remove(path)

    serve_dir = os.path.join(build_dir, f"serve-{variant}")
    os.makedirs(serve_dir, exist_ok=True)
    # A configuration may sweep only part of the grid (the patience=0 ones).
    efs = [ef for ef in efs if ef in cfg.get("efs", efs)] or list(efs)
    task = dict(base_task, index_path=builds[1]["index_path"], k=K, efs=efs,
                batch_threads=[1, 2], small_batch=8, small_batch_threads=[1, 2],
                batch_queries=BATCH_QUERIES,
                out=os.path.join(serve_dir, "serve.json"), ids_out=os.path.join(serve_dir, "ids.npz"))
    log(f"  serve {library}/{variant} m={m} (ef {efs[0]}..{efs[-1]})")
    code, wall = run_child("serve", task, os.path.join(serve_dir, "task.json"), log_path,
                                  env_extra)
    if code != 0:
        raise RuntimeError(f"serve failed (exit {code}); see {log_path}")
    with open(task["out"]) as f:
        serve = json.load(f)

    base, queries = datasets.load_arrays(ds_dir, mmap=True)
    truth_dist = np.load(os.path.join(ds_dir, "truth_dist.npy"))
    ids = np.load(task["ids_out"])
    for entry in serve["sweeps"]:
        entry["recall"], _ = datasets.recall_at(base, queries, truth_dist, ids[f"ef{entry['ef']}"],
                                                meta["metric"], k=K)
    doc = {
        "dataset": ds_name, "dataset_meta": meta, "library": library, "variant": variant,
        "quantised": cfg["quantised"], "m": m, "ef_construction": args.ef_construction, "k": K,
        "rerank_factor": args.rerank_factor if cfg["quantised"] else None,
        "version": libraries.package_version(libraries.DISTS[library]),
        "machine": machine.describe(), "finished_at": time.strftime("%Y-%m-%d %H:%M:%S %Z"),
        "build": {str(t): {k: v for k, v in b.items() if k != "index_path"}
                  for t, b in builds.items()},
        "serve": serve,
    }
    tmp = raw_path + ".tmp"
    with open(tmp, "w") as f:
        json.dump(doc, f, indent=1)
    os.replace(tmp, raw_path)


def main(argv=None):
    args = parse_args(argv)
    if args.results_dir is None:
        args.results_dir = os.path.join(BENCH, "results", "quick" if args.quick else "")
    args.results_dir = os.path.normpath(args.results_dir)
    names = csv(args.datasets)
    for name in names:
        if name not in datasets.DATASETS:
            sys.exit(f"unknown dataset '{name}' (known: {', '.join(datasets.DATASETS)})")
    libs = csv(args.libraries)
    for lib in libs:
        if lib not in libraries.IMPORT_NAMES:
            sys.exit(f"unknown library '{lib}' (known: {', '.join(libraries.IMPORT_NAMES)})")
    ms = csv(args.m, int) if args.m else ([16] if args.quick else [16, 32])
    efs = csv(args.efs, int) if args.efs else list(QUICK_EFS if args.quick else FULL_EFS)

    def log(msg):
        print(msg, flush=True)

    failures = []
    if not args.report_only:
        info = machine.describe()
        log(f"machine: {machine.one_line(info)}")
        for name in names:
            try:
                ds_dir = datasets.prepare(name, args.cache_dir, quick=args.quick, log=log)
            except Exception as e:  # a missing source must not stop the other datasets
                failures.append(f"{name}: dataset unavailable: {e}")
                log(f"[skip] {failures[-1]}")
                continue
            meta = datasets.load_meta(ds_dir)
            log(f"[data] {name}: {meta['base']} x {meta['dim']}, {meta['queries']} queries, "
                f"{meta['metric']}")
            raw_dir = os.path.join(args.results_dir, "raw", name)
            os.makedirs(raw_dir, exist_ok=True)
            for (library, variant) in libraries.CONFIGS:
                if library not in libs:
                    continue
                if not importable(library):
                    failures.append(f"{library}: not importable in {sys.executable}")
                    log(f"[skip] {failures[-1]}")
                    continue
                for m in ms:
                    raw_path = os.path.join(raw_dir, f"{library}-{variant}-m{m}.json")
                    if os.path.exists(raw_path):
                        log(f"[done] {name} {library}/{variant} m={m} (delete {raw_path} to redo)")
                        continue
                    log(f"[run] {name} {library}/{variant} m={m}")
                    try:
                        run_config(args, name, ds_dir, meta, library, variant, m, efs, raw_path, log)
                    except Exception as e:
                        failures.append(f"{name} {library}/{variant} m={m}: {e}")
                        log(f"[fail] {failures[-1]}")
    written = report.write(args.results_dir, log=log)
    for path in written:
        log(f"wrote {path}")
    if failures:
        log("incomplete:\n  " + "\n  ".join(sorted(set(failures))))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
