"""Single-thread QPS at fixed recall, side by side, with the libraries taking turns.

    python3 bench/qps_side.py [--datasets synthetic] [--m 16]
                              [--configs dovadure,dovadure-lean,hnswlib,faiss]
                              [--rounds 5] [--timed-queries 2000]
                              [--json FILE] [--plot-dir DIR]

A config may carry search settings after its name, for example
`dovadure-lean+scan_cap=24+patience=0`; they replace the config's own.

Uses the indexes the peer benchmark (bench/run_peers.sh) left in
bench/.cache/indexes, all loaded into this one process. The peer benchmark
serves one library after the other and sweeps ef in coarse steps; on a
machine whose speed drifts within the hour that makes a close race a matter
of timing, and a coarse step can put one library just past a recall target
and the other far past it. Here recall@10 is measured once per (config, ef)
over every query, on a finer ef grid; then, round after round, every config
and ef is timed on the same queries (one Python call per query, as the peer
benchmark's single-query figure), and each keeps its best round. Recall and
QPS at a recall target follow the peer benchmark's rules: a returned point
counts when its true distance is within 1e-3 of the 10th true distance, and
QPS at a target is the best QPS among the ef values reaching it.
"""
import argparse
import json
import os
import sys
import time

import numpy as np

BENCH = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, BENCH)

# name -> (library, variant, index directory prefix)
CONFIGS = {
    "dovadure": ("dovadure", "float", "dovadure"),
    "dovadure-p0": ("dovadure", "float-p0", "dovadure"),
    "dovadure-mapped": ("dovadure", "mapped", "dovadure"),
    "dovadure-lean": ("dovadure", "lean", "dovadure-lean"),
    "dovadure-lean-p0": ("dovadure", "lean-p0", "dovadure-lean"),
    "dovadure-lean-cap": ("dovadure", "lean-cap", "dovadure-lean"),
    "dovadure-sq8": ("dovadure", "sq8", "dovadure"),
    "dovadure-sq8-p0": ("dovadure", "sq8-p0", "dovadure"),
    "dovadure-lean-sq8": ("dovadure", "sq8", "dovadure-lean"),
    "dovadure-lean-sq8-p0": ("dovadure", "sq8-p0", "dovadure-lean"),
    "hnswlib": ("hnswlib", "float", "hnswlib"),
    "faiss": ("faiss", "hnswflat", "faiss-hnswflat"),
    "faiss-sq8": ("faiss", "hnswsq8-refine", "faiss-hnswsq8-refine"),
}
EFS = (10, 12, 14, 16, 20, 24, 28, 32, 40, 48, 64, 96, 128)
TARGETS = (0.90, 0.95, 0.99)


def best_at(curve, target):
    ok = [p["qps"] for p in curve if p["recall"] >= target]
    return max(ok) if ok else None


def plot(path, title, footer, curves):
    """The peer benchmark's recall-versus-QPS plot of every config's curve."""
    from peers import report

    docs = {}
    for name, curve in curves.items():
        library, variant, _ = CONFIGS[name.split("+")[0]]
        docs[name] = {"library": library, "variant": name[len(library) + 1:] or variant,
                      "quantised": "sq8" in name,
                      "serve": {"sweeps": [{"ef": p["ef"], "recall": p["recall"],
                                            "single_qps": p["qps"]} for p in curve]}}
    report.plot(path, title, footer, docs)


def main():
    from peers import datasets, libraries

    p = argparse.ArgumentParser()
    p.add_argument("--datasets", default="synthetic")
    p.add_argument("--m", type=int, default=16)
    p.add_argument("--configs", default="dovadure,dovadure-lean,hnswlib,faiss")
    p.add_argument("--rounds", type=int, default=5)
    p.add_argument("--timed-queries", type=int, default=2000)
    p.add_argument("--cache-dir", default=os.path.join(BENCH, ".cache"))
    p.add_argument("--json", help="also write every curve to this file")
    p.add_argument("--plot-dir", help="also plot each dataset's curves into this directory")
    a = p.parse_args()

    names = a.configs.split(",")
    # The engine reads its knobs once per process: set those of every
    # config before it loads. Each applies only to its own config's indexes.
    for name in names:
        library, variant, _ = CONFIGS[name.split("+")[0]]
        if library == "dovadure":
            os.environ.update(libraries.Dovadure.child_env(variant))
    everything = {}
    for ds in a.datasets.split(","):
        ds_dir = os.path.join(a.cache_dir, "datasets", ds)
        with open(os.path.join(ds_dir, "meta.json")) as f:
            meta = json.load(f)
        base = np.load(os.path.join(ds_dir, "base.npy"))
        queries = np.load(os.path.join(ds_dir, "queries.npy")).astype(np.float32)
        truth_dist = np.load(os.path.join(ds_dir, "truth_dist.npy"))
        timed = queries[: a.timed_queries]
        libs = {}
        for name in names:
            base_name, *settings = name.split("+")
            library, variant, prefix = CONFIGS[base_name]
            path = os.path.join(a.cache_dir, "indexes", ds, f"{prefix}-m{a.m}-efc200",
                                "index-t1.bin")
            if not os.path.exists(path):
                print(f"{ds}: no index for {name} at {path}", file=sys.stderr)
                continue
            lib = libraries.make(library, variant, m=a.m)
            for setting in settings:
                key, value = setting.split("=")
                lib.knobs[key] = int(value)
            lib.load(path, meta["dim"], meta["metric"])
            libs[name] = lib
        curves = {name: [] for name in libs}
        for name, lib in libs.items():
            for ef in EFS:
                lib.set_ef(ef)
                found = lib.search_many(queries, 10, 1)
                recall, _ = datasets.recall_at(base, queries, truth_dist, found, meta["metric"])
                curves[name].append({"ef": ef, "recall": recall, "qps": 0.0})
        for _ in range(a.rounds):
            for i, ef in enumerate(EFS):
                for name, lib in libs.items():
                    lib.set_ef(ef)
                    t = time.perf_counter()
                    for q in timed:
                        lib.search_one(q, 10)
                    qps = len(timed) / (time.perf_counter() - t)
                    point = curves[name][i]
                    point["qps"] = max(point["qps"], qps)
        everything[ds] = curves

        print(f"\n{ds}, m {a.m}: single-thread QPS at recall@10 (best of {a.rounds} rounds, "
              f"{len(timed)} queries)\n")
        heads = " | ".join(f"QPS@{t:.2f}" for t in TARGETS)
        refs = [r for r in ("hnswlib", "faiss") if r in curves]
        ratio_heads = "".join(f" | vs {r} @{t:.2f}" for r in refs for t in TARGETS[1:])
        print(f"| config | {heads}{ratio_heads} |")
        print("|---" * (1 + len(TARGETS) + len(refs) * (len(TARGETS) - 1)) + "|")
        for name, curve in curves.items():
            cells = [best_at(curve, t) for t in TARGETS]
            row = " | ".join("—" if c is None else f"{c:.0f}" for c in cells)
            for r in refs:
                for t in TARGETS[1:]:
                    ours, theirs = best_at(curve, t), best_at(curves[r], t)
                    row += " | " + ("—" if not ours or not theirs else f"{ours / theirs:.2f}x")
            print(f"| {name} | {row} |", flush=True)
        if a.plot_dir:
            os.makedirs(a.plot_dir, exist_ok=True)
            plot(os.path.join(a.plot_dir, f"side-{ds}-m{a.m}.png"), f"{ds}, m {a.m}",
                 f"bench/qps_side.py: best of {a.rounds} rounds of {len(timed)} queries, "
                 "the configs taking turns", curves)
    if a.json:
        with open(a.json, "w") as f:
            json.dump(everything, f, indent=1)


if __name__ == "__main__":
    main()
