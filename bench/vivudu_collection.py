"""Collections on fashion-mnist: one segment against the same points in 4
segments, and the 4-segment collection served by Ray actors.

1. `vivudu.Index` over all 60 000 points against `vivudu.Collection` over 4
   segments of 15 000: recall@10 and QPS at equal ef, one query per call
   (1 thread) and `search_batch` with 2 threads. Both are loaded in one
   process and measured interleaved, best of the rounds.
2. `vivudu.ray.ShardedCollection` (local Ray, 1 replica, one actor per
   segment) against `vivudu.Collection`: `search_batch` throughput per batch
   size and the time per call that Ray's round trips add.
3. Resident memory of a loaded segment (float, and with SQ8 codes), each in
   a child process of its own, for the deployment plan.

    python3 bench/vivudu_collection.py [--quick] [--rounds N]

Writes bench/results/collection.md and collection.png (bench/results/quick/
with --quick). bench/run_vivudu_collection.sh installs what this needs.
"""

import argparse
import datetime
import json
import os
import shutil
import subprocess
import sys
from time import perf_counter

import numpy as np

BENCH = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, BENCH)
from peers import datasets, machine  # noqa: E402

SEGMENTS = 4
M, EFC = 16, 200
EFS = (10, 16, 32, 64, 128)
BATCH_SIZES = (1, 10, 100, 1000)


def log(*a):
    print(*a, file=sys.stderr, flush=True)


def recall_at_10(ids, truth):
    return float(np.mean([len(set(r[:10].tolist()) & set(t[:10].tolist())) / 10 for r, t in zip(ids, truth)]))


def build(cache, base):
    """The single segment and the 4-segment collection, built once and cached."""
    import vivudu

    one, coll = os.path.join(cache, "one"), os.path.join(cache, "four")
    timings = {}
    # Each layout is built beside its place and renamed into it, so an
    # interrupted run never leaves a half-built one that later runs trust.
    for name, path in (("1 segment", one), (f"{SEGMENTS} segments", coll)):
        if os.path.isdir(path):
            continue
        shutil.rmtree(path + ".tmp", ignore_errors=True)
        t = perf_counter()
        if path == one:
            os.makedirs(path + ".tmp")
            vivudu.build(os.path.join(path + ".tmp", "seg.snap"), base, metric="euclidean", m=M,
                         ef_construction=EFC, threads=2)
        else:
            vivudu.CollectionWriter.build(path + ".tmp", base, metric="euclidean", m=M, ef_construction=EFC,
                                          threads=2, segment_max_points=len(base) // SEGMENTS)
        timings[name] = perf_counter() - t
        os.rename(path + ".tmp", path)
    seg = os.path.join(one, "seg.snap")
    return seg, coll, timings


def qps_single(searchable, queries, ef):
    t = perf_counter()
    ids = [searchable.search(q, 10, ef=ef)[0] for q in queries]
    return len(queries) / (perf_counter() - t), ids


def qps_batch(searchable, queries, ef, threads=2):
    t = perf_counter()
    ids, _ = searchable.search_batch(queries, 10, ef=ef, threads=threads)
    return len(queries) / (perf_counter() - t), ids


def curve(seg, coll, queries, truth, rounds):
    import vivudu

    subjects = {"Index (1 segment)": vivudu.Index(seg), f"Collection ({SEGMENTS} segments)": vivudu.Collection(coll)}
    for s in subjects.values():  # warm caches and the page tables
        s.search_batch(queries[:200], 10, ef=64)
    rows = {}
    for r in range(rounds):
        order = list(subjects.items())[:: 1 if r % 2 == 0 else -1]
        for ef in EFS:
            for name, s in order:
                single, ids = qps_single(s, queries, ef)
                batch, bids = qps_batch(s, queries, ef)
                row = rows.setdefault((name, ef), {"recall": recall_at_10(ids, truth),
                                                   "recall_batch": recall_at_10(bids, truth),
                                                   "single": 0.0, "batch": 0.0})
                row["single"] = max(row["single"], single)
                row["batch"] = max(row["batch"], batch)
                log(f"[curve] round {r + 1} {name} ef {ef}: recall {row['recall']:.4f} "
                    f"single {single:.0f}/s batch {batch:.0f}/s")
    return rows


def ray_overhead(coll, queries, rounds, ef=32):
    import ray
    import vivudu
    from vivudu.ray import ShardedCollection

    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)
    echo_actor = _echo_class()
    local = vivudu.Collection(coll)
    sharded = ShardedCollection(coll)
    sharded.search_batch(queries[:100], 10, ef=ef)  # actors warm
    rows = {}
    try:
        for r in range(rounds):
            for size in BATCH_SIZES:
                calls = max(3, min(200, 2000 // size))
                for name, s in (("Collection", local), ("ShardedCollection", sharded))[:: 1 if r % 2 == 0 else -1]:
                    t = perf_counter()
                    for c in range(calls):
                        start = (c * size) % (len(queries) - size + 1)
                        ids, _ = s.search_batch(queries[start:start + size], 10, ef=ef, threads=2)
                    per_call = (perf_counter() - t) / calls
                    key = (name, size)
                    rows[key] = min(rows.get(key, float("inf")), per_call)
                    log(f"[ray] round {r + 1} {name} batch {size}: {per_call * 1e3:.2f} ms per call")
        # Ray's own floor on this machine: the same fan-out to actors that do nothing.
        echo = [echo_actor.remote() for _ in range(sharded.segments)]
        ray.get([a.ping.remote(None) for a in echo])
        for r in range(rounds):
            t = perf_counter()
            for _ in range(50):
                ray.get([a.ping.remote(None) for a in echo])
            rows["floor"] = min(rows.get("floor", float("inf")), (perf_counter() - t) / 50)
        same = np.array_equal(local.search_batch(queries, 10, ef=ef)[0], sharded.search_batch(queries, 10, ef=ef)[0])
    finally:
        sharded.close()
        ray.shutdown()
    return rows, same


def _echo_class():
    import ray

    @ray.remote
    class Echo:
        def ping(self, x):
            return x

    return Echo


def memory_child(path, quantize):
    import vivudu

    def rss_kib():
        with open("/proc/self/status") as f:
            return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))

    before = rss_kib()
    index = vivudu.Index(path, quantize, payloads=False)
    print(json.dumps({"kib": rss_kib() - before, "points": len(index), "dim": index.dim()}))


def memory(seg):
    out = {}
    for quantize in (False, True):
        text = subprocess.run([sys.executable, __file__, "--memory-child", seg, str(int(quantize))],
                              check=True, capture_output=True, text=True).stdout
        out[quantize] = json.loads(text)
    return out


def plot(rows, ray_rows, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (a, b) = plt.subplots(1, 2, figsize=(12, 4.5))
    for name in sorted({n for n, _ in rows}):
        pts = [rows[(name, ef)] for ef in EFS]
        a.plot([p["recall"] for p in pts], [p["single"] for p in pts], "o-", label=f"{name}, 1 query per call")
        a.plot([p["recall_batch"] for p in pts], [p["batch"] for p in pts], "s--", label=f"{name}, batch, 2 threads")
    a.set_xlabel("recall@10")
    a.set_ylabel("queries per second")
    a.set_yscale("log")
    a.set_title(f"fashion-mnist 60 000 x 784, ef {EFS[0]}-{EFS[-1]}")
    a.grid(True, which="both", alpha=0.3)
    a.legend(fontsize=8)
    if ray_rows:
        for name in ("Collection", "ShardedCollection"):
            b.plot(BATCH_SIZES, [ray_rows[(name, s)] * 1e3 for s in BATCH_SIZES], "o-", label=name)
        b.set_xscale("log")
        b.set_yscale("log")
        b.set_xlabel("queries per search_batch call")
        b.set_ylabel("ms per call")
        b.set_title("4 segments: local threads against Ray actors (ef 32)")
        b.grid(True, which="both", alpha=0.3)
        b.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def report(args, ds_meta, timings, rows, ray_rows, ray_same, mem, out_dir):
    info = machine.describe()
    lines = ["# Collections: one segment, four segments, Ray actors", "",
             "Produced by `bash bench/run_vivudu_collection.sh`"
             + (" --quick" if args.quick else "") + f" on {datetime.date.today()}. "
             f"{ds_meta['description']}; {ds_meta['base']} x {ds_meta['dim']}, "
             f"{args.queries} queries, m {M}, ef_construction {EFC}, k 10. Both layouts are loaded in one "
             f"process and measured interleaved; each figure is the best of {args.rounds} rounds.", "",
             f"**Machine:** {machine.one_line(info)}; load average {', '.join(f'{x:.2f}' for x in os.getloadavg())} "
             "at the end (2 cores shared with other work: single figures can be off by tens of percent).", ""]
    if timings:
        lines += ["Build (2 threads): " + ", ".join(f"{k} {v:.1f} s" for k, v in timings.items()), ""]
    lines += ["## Recall and QPS at equal ef", "",
              "| layout | ef | recall@10 | QPS, 1 query per call | QPS, search_batch 2 threads |",
              "|---|---:|---:|---:|---:|"]
    for (name, ef), r in sorted(rows.items()):
        lines.append(f"| {name} | {ef} | {r['recall']:.4f} | {r['single']:,.0f} | {r['batch']:,.0f} |")
    if ray_rows:
        lines += ["", "## Ray actors against local threads (4 segments, ef 32, search_batch with 2 threads)", "",
                  f"Local Ray (`ray.init(num_cpus=2)`), one actor per segment, 1 replica. Answers equal the "
                  f"local collection's: {'yes' if ray_same else 'NO'}.", "",
                  "| queries per call | Collection ms/call | ShardedCollection ms/call | Ray's added ms/call | "
                  "Collection QPS | ShardedCollection QPS |", "|---:|---:|---:|---:|---:|---:|"]
        for s in BATCH_SIZES:
            c, r = ray_rows[("Collection", s)], ray_rows[("ShardedCollection", s)]
            lines.append(f"| {s} | {c * 1e3:.2f} | {r * 1e3:.2f} | {(r - c) * 1e3:.2f} | {s / c:,.0f} | {s / r:,.0f} |")
        lines += ["", f"Ray's floor on this machine: one call to each of {SEGMENTS} actors that return their "
                  f"argument and do nothing else takes {ray_rows['floor'] * 1e3:.2f} ms."]
    lines += ["", "## Resident memory of one loaded segment (payloads off)", "",
              "| load | points | KiB | bytes per point |", "|---|---:|---:|---:|"]
    for q, m in mem.items():
        lines.append(f"| {'quantize=True (SQ8 codes added)' if q else 'float'} | {m['points']:,} | {m['kib']:,} | "
                     f"{m['kib'] * 1024 / m['points']:,.0f} |")
    with open(os.path.join(out_dir, "collection.md"), "w") as f:
        f.write("\n".join(lines) + "\n")
    print("\n".join(lines))


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "--memory-child":
        return memory_child(sys.argv[2], bool(int(sys.argv[3])))
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--quick", action="store_true", help="the 2 000-point subset, 1 round")
    p.add_argument("--rounds", type=int, default=None)
    p.add_argument("--queries", type=int, default=None)
    p.add_argument("--no-ray", action="store_true")
    p.add_argument("--cache-dir", default=os.path.join(BENCH, ".cache"))
    args = p.parse_args()
    args.rounds = args.rounds or (1 if args.quick else 3)
    args.queries = args.queries or (200 if args.quick else 2000)

    ds_dir = datasets.prepare("fashion-mnist", args.cache_dir, quick=args.quick, log=log)
    meta = datasets.load_meta(ds_dir)
    base, queries = datasets.load_arrays(ds_dir)
    queries = np.ascontiguousarray(queries[:args.queries])
    truth = np.load(os.path.join(ds_dir, "truth_ids.npy"))[:args.queries]
    cache = os.path.join(args.cache_dir, "collection", os.path.basename(ds_dir))
    seg, coll, timings = build(cache, np.ascontiguousarray(base, dtype=np.float32))

    rows = curve(seg, coll, queries, truth, args.rounds)
    ray_rows, ray_same = ({}, None) if args.no_ray else ray_overhead(coll, queries, args.rounds)
    mem = memory(seg)
    out_dir = os.path.join(BENCH, "results", "quick" if args.quick else "")
    os.makedirs(out_dir, exist_ok=True)
    plot(rows, ray_rows, os.path.join(out_dir, "collection.png"))
    report(args, meta, timings, rows, ray_rows, ray_same, mem, out_dir)


if __name__ == "__main__":
    main()
