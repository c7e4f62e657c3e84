"""Write-side timings of vivudu on fashion-mnist.

1. Build time: `vivudu.build` against hnswlib's `add_items`, 1 and 2 threads,
   the same m and ef_construction; libraries interleaved, each run in a fresh
   child process, best of the repeats.
2. Per-call cost of `Writer.upsert` with 1 row against 1 000 rows, with the
   default log sync and with DOROVOZU_WAL_FSYNC=0, plus a 1-id `delete`,
   `compact()` and `compact(purge=True)`; each measured on a fresh copy of a
   10 000-row segment.

    python3 bench/vivudu_write.py [--quick] [--m 32] [--repeats N]

Prints markdown tables and writes them to bench/results/vivudu_write.md
(bench/results/quick/ with --quick). Use bench/run_vivudu_write.sh to install
what this needs first.
"""

import argparse
import contextlib
import datetime
import importlib.metadata
import json
import os
import platform
import shutil
import subprocess
import sys
import tempfile
from time import perf_counter

import numpy as np

BENCH = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, BENCH)
from peers import datasets, machine  # noqa: E402

EFC = 200
SEGMENT_ROWS = 10_000       # rows of the segment the Writer timings start from
SINGLE_CALLS = 200          # (a) 1-row upserts
BATCH_CALLS, BATCH_ROWS = 5, 1000  # (b) 1000-row upserts
DELETE_CALLS = 20           # 1-id deletes


def log(*a):
    print(*a, file=sys.stderr, flush=True)


def load_rows(ds_dir, n=None):
    base, _ = datasets.load_arrays(ds_dir, mmap=True)
    return np.array(base[:n], dtype=np.float32)  # in memory before any clock starts


# ---------------------------------------------------------------- child jobs

def job_build(job):
    data = load_rows(job["data"], job["n"])
    n, threads = len(data), job["threads"]
    if job["lib"] == "hnswlib":
        import hnswlib
        ids = np.arange(n)
        start = perf_counter()
        index = hnswlib.Index(space="l2", dim=data.shape[1])
        index.init_index(max_elements=n, M=job["m"], ef_construction=EFC)
        index.set_num_threads(threads)
        index.add_items(data, ids)
        return {"seconds": perf_counter() - start}

    import vivudu
    import vivudu._writing
    inserted = []

    class InsertClock:  # stands in for the progress bar: notes when insertion ends
        def __init__(self, total, label):
            self.total = total

        def __call__(self, done):
            if done == self.total and not inserted:
                inserted.append(perf_counter())

        def close(self):
            pass

    vivudu._writing._Progress = InsertClock
    with tempfile.TemporaryDirectory(dir=job["tmp"]) as d:
        start = perf_counter()
        vivudu.build(os.path.join(d, "seg"), data, metric="euclidean", m=job["m"],
                     ef_construction=EFC, threads=threads, progress=True)
        seconds = perf_counter() - start
    insert = inserted[0] - start if inserted else None
    return {"seconds": seconds, "insert": insert,
            "save": seconds - insert if insert is not None else None}


@contextlib.contextmanager
def fresh_writer(segment, tmp):
    import vivudu
    d = tempfile.mkdtemp(dir=tmp)
    try:
        path = os.path.join(d, "seg")
        shutil.copyfile(segment, path)
        with vivudu.Writer(path) as w:
            yield w
    finally:
        shutil.rmtree(d)


def timed(fn, *a, **kw):
    start = perf_counter()
    fn(*a, **kw)
    return perf_counter() - start


def job_writer(job):
    fresh = load_rows(job["data"])[SEGMENT_ROWS:]  # rows the segment does not hold
    out = {}
    with fresh_writer(job["segment"], job["tmp"]) as w:
        out["single"] = [timed(w.upsert, fresh[i:i + 1]) for i in range(SINGLE_CALLS)]
        assert len(w) == SEGMENT_ROWS + SINGLE_CALLS
    with fresh_writer(job["segment"], job["tmp"]) as w:
        out["batch"] = [timed(w.upsert, fresh[c * BATCH_ROWS:(c + 1) * BATCH_ROWS])
                        for c in range(BATCH_CALLS)]
        assert len(w) == SEGMENT_ROWS + BATCH_CALLS * BATCH_ROWS
    with fresh_writer(job["segment"], job["tmp"]) as w:
        out["delete"] = [timed(w.delete, [i]) for i in range(DELETE_CALLS)]
        out["compact"] = [timed(w.compact)]
    with fresh_writer(job["segment"], job["tmp"]) as w:
        w.delete(np.arange(DELETE_CALLS))
        out["purge"] = [timed(w.compact, purge=True)]
    return out


def run_child(job, env=None):
    """Runs one job in a fresh interpreter; returns its JSON result or None."""
    proc = subprocess.run([sys.executable, os.path.abspath(__file__), "--one", json.dumps(job)],
                          stdout=subprocess.PIPE, text=True, env={**os.environ, **(env or {})})
    if proc.returncode != 0:
        log(f"  !! child failed (exit {proc.returncode}): {job}")
        return None
    return json.loads(proc.stdout.strip().splitlines()[-1])


# ---------------------------------------------------------------- report

def fs_type(path):
    best, kind = "", "?"
    with open("/proc/mounts") as f:
        for line in f:
            _, mount, fstype = line.split()[:3]
            if os.path.realpath(path).startswith(mount) and len(mount) > len(best):
                best, kind = mount, fstype
    return f"{kind} (mounted at {best})"


def pin_vivudu(tmp):
    """Copies the installed vivudu package into `tmp` and puts it first on the
    path of this process and its children, so that a reinstall during the run
    (the tree is being worked on) cannot mix two builds. Returns its install time."""
    import importlib.util
    source = os.path.dirname(importlib.util.find_spec("vivudu").origin)
    pkg = os.path.join(tmp, "pkg")
    shutil.copytree(source, os.path.join(pkg, "vivudu"), ignore=shutil.ignore_patterns("__pycache__"))
    sys.path.insert(0, pkg)
    os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [pkg, os.environ.get("PYTHONPATH")]))
    stamp = max(os.path.getmtime(os.path.join(source, f)) for f in os.listdir(source))
    return datetime.datetime.fromtimestamp(stamp).isoformat(timespec="seconds")


def header(args, n, tmp, installed):
    def version(dist):
        try:
            return importlib.metadata.version(dist)
        except importlib.metadata.PackageNotFoundError:
            return "not installed"
    head = subprocess.run(["git", "-C", BENCH, "rev-parse", "--short", "HEAD"],
                          capture_output=True, text=True).stdout.strip() or "?"
    return [
        "# vivudu write-side timings" + (" (quick)" if args.quick else ""),
        "",
        f"- date: {datetime.datetime.now().isoformat(timespec='minutes')}",
        f"- machine: {machine.cpu_model()}; {os.cpu_count()} logical CPUs; "
        f"{machine.memory_gib()} GiB; load average at start {os.getloadavg()[0]:.2f}",
        f"- versions: Python {platform.python_version()}, numpy {np.__version__}, "
        f"hnswlib {version('hnswlib')}, dovadure/vivudu {version('dovadure')} (tree at {head}, "
        f"possibly with uncommitted changes; a copy of the module installed {installed})",
        f"- data: fashion-mnist train (Debian dataset-fashion-mnist), first {n} rows x 784, "
        "raw pixel values as float32, euclidean",
        f"- segments written under {tmp}: {fs_type(tmp)}",
        "- every run in a fresh child process; libraries and sync modes interleaved; "
        "best of the repeats",
    ]


def best(runs, key):
    values = [r[key] for r in runs if r and r.get(key) is not None]
    return min(values) if values else None


def fmt(x, digits=2):
    return "n/a" if x is None else f"{x:,.{digits}f}"


def build_table(results, n, m, repeats):
    lines = ["", f"## Build: {n} points, m={m}, ef_construction={EFC} (best of {repeats})", "",
             "| threads | vivudu s | vivudu points/s | hnswlib s | hnswlib points/s "
             "| hnswlib s / vivudu s | vivudu insert s | vivudu save s | all runs s (vivudu; hnswlib) |",
             "|---:|---:|---:|---:|---:|---:|---:|---:|---|"]
    for t in sorted({k[1] for k in results}):
        viv, hns = results[("vivudu", t)], results[("hnswlib", t)]
        vs, hs = best(viv, "seconds"), best(hns, "seconds")
        rate = lambda s: None if s is None else n / s  # noqa: E731
        ratio = hs / vs if vs and hs else None
        runs = lambda rs: ", ".join(fmt(r["seconds"], 1) if r else "failed" for r in rs)  # noqa: E731
        lines.append(f"| {t} | {fmt(vs)} | {fmt(rate(vs), 0)} | {fmt(hs)} | {fmt(rate(hs), 0)} "
                     f"| {fmt(ratio)} | {fmt(best(viv, 'insert'))} | {fmt(best(viv, 'save'))} "
                     f"| {runs(viv)}; {runs(hns)} |")
    lines += ["", "vivudu's time covers the whole `build` call: conversion, insertion and "
              "writing the segment file (split by the moment its progress callback reports the "
              "last point; 'save' also includes the post-insert bookkeeping). hnswlib's covers "
              "`Index` + `init_index` + `add_items`, in memory only."]
    return lines


def writer_table(results, repeats):
    def stats(mode, key, rows):
        runs = [r for r in results[mode] if r]
        if not runs:
            return None, None, None
        means = [sum(r[key]) / len(r[key]) for r in runs]
        medians = [float(np.median(r[key])) for r in runs]
        return min(means) * 1e6, min(medians) * 1e6, min(means) * 1e6 / rows

    ops = [("single", f"upsert, 1 row ({SINGLE_CALLS} calls)", 1),
           ("batch", f"upsert, {BATCH_ROWS} rows ({BATCH_CALLS} calls)", BATCH_ROWS),
           ("delete", f"delete, 1 id ({DELETE_CALLS} calls)", 1),
           ("compact", "compact() after the deletes", None),
           ("purge", f"compact(purge=True) after deleting {DELETE_CALLS}", None)]
    modes = [("synced", "default log sync"), ("unsynced", "DOROVOZU_WAL_FSYNC=0")]
    lines = ["", f"## Writer on a {SEGMENT_ROWS}-row segment (m=16, ef_construction={EFC}; "
             f"best of {repeats}; a fresh copy of the segment for each operation)", "",
             "| operation | " + " | ".join(f"{label}: µs/call (median) | {label}: µs/row"
                                         for _, label in modes) + " |",
             "|---|" + "---:|---:|" * len(modes)]
    per_row = {}
    for key, label, rows in ops:
        cells = []
        for mode, _ in modes:
            mean, median, row = stats(mode, key, rows or 1)
            per_row[(mode, key)] = row
            cells += [f"{fmt(mean, 0)} ({fmt(median, 0)})", fmt(row, 1) if rows else ""]
        lines.append(f"| {label} | " + " | ".join(cells) + " |")
    ratios = []
    for mode, _ in modes:
        a, b = per_row[(mode, "single")], per_row[(mode, "batch")]
        ratios += ["", fmt(a / b) + "x" if a and b else "n/a"]
    lines.append("| per-row cost, 1-row / 1000-row upsert | " + " | ".join(ratios) + " |")
    lines += ["", "µs/call is the mean over the calls (median in brackets); µs/row is the mean "
              "divided by the rows per call. Upserts add rows the segment does not hold, under "
              "new ids."]
    return lines


# ---------------------------------------------------------------- main

def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--quick", action="store_true", help=f"{SEGMENT_ROWS}-row build, one repeat")
    p.add_argument("--m", type=int, default=16, help="m of the build comparison (default 16)")
    p.add_argument("--repeats", type=int, help="repeats of every run (default 2, --quick 1)")
    p.add_argument("--threads", default="1,2", help="build thread counts (default 1,2)")
    p.add_argument("--cache-dir", default=os.path.join(BENCH, ".cache"))
    p.add_argument("--one", help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.one:
        job = json.loads(args.one)
        print(json.dumps({"build": job_build, "writer": job_writer}[job["kind"]](job)))
        return

    for name in [k for k in os.environ if k.startswith("DOROVOZU_WAL_")]:
        del os.environ[name]  # "default log sync" means the defaults
    repeats = args.repeats or (1 if args.quick else 2)
    writer_repeats = args.repeats or (2 if args.quick else 3)
    ds_dir = datasets.prepare("fashion-mnist", args.cache_dir, log=log)
    n = SEGMENT_ROWS if args.quick else datasets.load_meta(ds_dir)["base"]
    os.makedirs(args.cache_dir, exist_ok=True)
    tmp = tempfile.mkdtemp(prefix="vivudu-write-", dir=args.cache_dir)
    lines = header(args, n, tmp, pin_vivudu(tmp))
    try:
        threads = [int(t) for t in args.threads.split(",")]
        builds = {(lib, t): [] for t in threads for lib in ("vivudu", "hnswlib")}
        for rep in range(repeats):
            libs = ("vivudu", "hnswlib") if rep % 2 == 0 else ("hnswlib", "vivudu")
            for t in threads:
                for lib in libs:
                    log(f"[build {rep + 1}/{repeats}] {lib}, {t} thread(s), {n} points ...")
                    r = run_child({"kind": "build", "lib": lib, "threads": t, "n": n, "m": args.m,
                                   "data": ds_dir, "tmp": tmp})
                    log(f"  {r}")
                    builds[(lib, t)].append(r)

        import vivudu
        segment = os.path.join(tmp, "writer-base")
        log(f"[writer] building the {SEGMENT_ROWS}-row segment ...")
        vivudu.build(segment, load_rows(ds_dir, SEGMENT_ROWS), metric="euclidean", m=16,
                     ef_construction=EFC, threads=2)
        writes = {"synced": [], "unsynced": []}
        for rep in range(writer_repeats):
            order = ("synced", "unsynced") if rep % 2 == 0 else ("unsynced", "synced")
            for mode in order:
                log(f"[writer {rep + 1}/{writer_repeats}] {mode} ...")
                env = {"DOROVOZU_WAL_FSYNC": "0"} if mode == "unsynced" else {}
                r = run_child({"kind": "writer", "data": ds_dir, "segment": segment, "tmp": tmp}, env)
                writes[mode].append(r)
                if r:
                    log("  " + ", ".join(f"{k} {1e6 * sum(v) / len(v):,.0f} µs" for k, v in r.items()))
        lines += [f"- load average at the end: {os.getloadavg()[0]:.2f} (other work on the "
                  "machine inflates the times; the best of the repeats is reported)"]
        lines += build_table(builds, n, args.m, repeats) + writer_table(writes, writer_repeats)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)

    text = "\n".join(lines) + "\n"
    print(text)
    out_dir = os.path.join(BENCH, "results", "quick" if args.quick else "")
    os.makedirs(out_dir, exist_ok=True)
    out = os.path.join(out_dir, "vivudu_write" + (f"-m{args.m}" if args.m != 16 else "") + ".md")
    with open(out, "w") as f:
        f.write(text)
    log(f"wrote {out}")


if __name__ == "__main__":
    main()
