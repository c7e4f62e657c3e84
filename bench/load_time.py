"""Load time against reading the snapshot file once, per library, side by side.

    python3 bench/load_time.py [--datasets fashion-mnist,minilm-wordnet,synthetic]
                               [--libraries dovadure,hnswlib,faiss] [--m 16] [--repeats 9]

A library written NAME@DIR runs with DIR first on the module path: for
example dovadure@build/py/python against the installed dovadure, to compare
a change in one run.

Uses the snapshots the peer benchmark (bench/run_peers.sh) left in
bench/.cache/indexes. Every measurement is a fresh process, as a server
start is: it reads the file once into a reused, touched buffer (the
reference, which also puts the file in the page cache), then loads it. The
libraries take turns, so that all of them see the same machine load; the
table gives the median and the best of the repeats, and the median of the
per-process ratios.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import time

BENCH = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, BENCH)

# (library, variant, index directory prefix)
CONFIGS = {
    "dovadure": ("dovadure", "float", "dovadure"),
    "dovadure-lean": ("dovadure", "lean", "dovadure-lean"),
    "dovadure-mapped": ("dovadure", "mapped", "dovadure"),
    "hnswlib": ("hnswlib", "float", "hnswlib"),
    "faiss": ("faiss", "hnswflat", "faiss-hnswflat"),
}


def one(library, variant, path, dim, metric):
    from peers import libraries

    lib = libraries.make(library, variant)
    __import__(libraries.IMPORT_NAMES[library])
    piece = bytearray(1 << 24)
    t = time.perf_counter()
    with open(path, "rb", buffering=0) as f:
        while f.readinto(piece):
            pass
    read = time.perf_counter() - t
    del piece
    t = time.perf_counter()
    lib.load(path, dim, metric)
    load = time.perf_counter() - t
    print(json.dumps({"read": read, "load": load}))


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--datasets", default="fashion-mnist,minilm-wordnet,synthetic")
    p.add_argument("--libraries", default="dovadure,dovadure-mapped,hnswlib,faiss")
    p.add_argument("--m", type=int, default=16)
    p.add_argument("--repeats", type=int, default=9)
    p.add_argument("--cache-dir", default=os.path.join(BENCH, ".cache"))
    p.add_argument("--one", nargs=5, help=argparse.SUPPRESS)
    a = p.parse_args()
    if a.one:
        library, variant, path, dim, metric = a.one
        one(library, variant, path, int(dim), metric)
        return

    print("| dataset | library | snapshot MiB | read-once ms (median / best) "
          "| load ms (median / best) | load / read-once (median) |")
    print("|---|---|---:|---:|---:|---:|")
    for ds in a.datasets.split(","):
        with open(os.path.join(a.cache_dir, "datasets", ds, "meta.json")) as f:
            meta = json.load(f)
        runs = {}
        for name in a.libraries.split(","):
            library, variant, prefix = CONFIGS[name.split("@")[0]]
            path = os.path.join(a.cache_dir, "indexes", ds, f"{prefix}-m{a.m}-efc200", "index-t1.bin")
            env = dict(os.environ)
            if "@" in name:
                env["PYTHONPATH"] = os.path.abspath(name.split("@", 1)[1]) + os.pathsep + BENCH
            if os.path.exists(path):
                runs[name] = (library, variant, path, env, [])
        for _ in range(a.repeats):
            for library, variant, path, env, got in runs.values():
                out = subprocess.run(
                    [sys.executable, __file__, "--one", library, variant, path,
                     str(meta["dim"]), meta["metric"]],
                    check=True, capture_output=True, text=True, env=env)
                got.append(json.loads(out.stdout.strip().splitlines()[-1]))
        for name, (_, _, path, _, got) in runs.items():
            reads = [g["read"] * 1e3 for g in got]
            loads = [g["load"] * 1e3 for g in got]
            ratio = statistics.median(g["load"] / g["read"] for g in got)
            print(f"| {ds} | {name} | {os.path.getsize(path) / 2**20:.1f} "
                  f"| {statistics.median(reads):.1f} / {min(reads):.1f} "
                  f"| {statistics.median(loads):.1f} / {min(loads):.1f} | {ratio:.2f}x |",
                  flush=True)


if __name__ == "__main__":
    main()
