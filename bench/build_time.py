"""Build time per library, side by side, with the libraries taking turns.

    python3 bench/build_time.py [--datasets fashion-mnist,minilm-wordnet,synthetic]
                                [--libraries hnswlib,dovadure-lean,faiss] [--m 16]
                                [--threads 1,2] [--repeats 3]

A library written NAME@PATH builds dovadure with the command-line tool at
PATH instead of the installed one: for example
dovadure-lean@build/release/tools/dovadure, to compare a change in one run.

The peer benchmark (bench/run_peers.sh) builds each library once, one after
the other, and on a shared machine whose speed drifts by tens of percent
within the hour, that order alone can decide a close race. Here every build
is a fresh process and the libraries take turns within each round, so all of
them see the same machine. The time is that of the insertions alone, as in
the peer benchmark (the tool's own "insert time"; add_items or add for the
others). The table gives the median and the best of the rounds, and the
median of the per-round ratios to the first library.
"""
import argparse
import json
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time

BENCH = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, BENCH)

# name -> (library, variant)
CONFIGS = {
    "dovadure": ("dovadure", "float"),
    "dovadure-lean": ("dovadure", "lean"),
    "hnswlib": ("hnswlib", "float"),
    "faiss": ("faiss", "hnswflat"),
}


def one(library, variant, base_file, metric, m, threads):
    import numpy as np
    from peers import libraries

    lib = libraries.make(library, variant, m=m)
    base = None if library == "dovadure" else np.load(base_file)
    with tempfile.TemporaryDirectory() as tmp:
        t = time.perf_counter()
        built = lib.build(base, metric, m, 200, threads, os.path.join(tmp, "index.bin"),
                          base_file=base_file)
        seconds = time.perf_counter() - t
    # The command-line tool reports the time of its insertions alone.
    cli_output = built.get("cli_output", "") if isinstance(built, dict) else ""
    match = re.search(r"insert time ([0-9.]+) s", cli_output)
    if match:
        seconds = float(match.group(1))
    print(json.dumps({"build": seconds}))


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--datasets", default="fashion-mnist,minilm-wordnet,synthetic")
    p.add_argument("--libraries", default="hnswlib,dovadure-lean,faiss")
    p.add_argument("--m", type=int, default=16)
    p.add_argument("--threads", default="1,2")
    p.add_argument("--repeats", type=int, default=3)
    p.add_argument("--cache-dir", default=os.path.join(BENCH, ".cache"))
    p.add_argument("--one", nargs=6, help=argparse.SUPPRESS)
    a = p.parse_args()
    if a.one:
        library, variant, base_file, metric, m, threads = a.one
        one(library, variant, base_file, metric, int(m), int(threads))
        return

    names = a.libraries.split(",")
    print(f"m {a.m}, ef_construction 200, {a.repeats} rounds; seconds of insertion")
    print()
    print(f"| dataset | threads | library | seconds (median / best) "
          f"| time / {names[0]} (median) |")
    print("|---|---:|---|---:|---:|")
    for ds in a.datasets.split(","):
        ds_dir = os.path.join(a.cache_dir, "datasets", ds)
        with open(os.path.join(ds_dir, "meta.json")) as f:
            metric = json.load(f)["metric"]
        base_file = os.path.join(ds_dir, "base.npy")
        for threads in a.threads.split(","):
            got = {name: [] for name in names}
            for _ in range(a.repeats):
                for name in names:
                    library, variant = CONFIGS[name.split("@")[0]]
                    env = dict(os.environ)
                    if "@" in name:
                        env["BENCH_CLI"] = os.path.abspath(name.split("@", 1)[1])
                    out = subprocess.run(
                        [sys.executable, __file__, "--one", library, variant, base_file, metric,
                         str(a.m), threads],
                        check=True, capture_output=True, text=True, env=env)
                    got[name].append(json.loads(out.stdout.strip().splitlines()[-1])["build"])
            first = got[names[0]]
            for name in names:
                secs = got[name]
                ratio = statistics.median(s / f for s, f in zip(secs, first))
                print(f"| {ds} | {threads} | {name} | {statistics.median(secs):.2f} / "
                      f"{min(secs):.2f} | {ratio:.2f}x |", flush=True)


if __name__ == "__main__":
    main()
