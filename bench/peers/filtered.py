"""Filtered search benchmark: vivudu against hnswlib, faiss, chromadb, lancedb
and a NumPy brute force, on payload filters of many selectivities.

    bash bench/run_peers.sh --filtered [--quick] [--datasets fashion-mnist,minilm-wordnet]
    PYTHONPATH=bench python3 -m peers.filtered [options]

Every build, deletion, serve pass, memory probe and trace runs in a child
process of its own. Serve passes run in rounds, each round over every
library configuration in a different order, and the report keeps each
figure's best round. Resumable: a raw JSON already written is not redone,
and builds stay cached under bench/.cache/filtered/.
"""

import argparse
import importlib.util
import json
import os
import shutil
import subprocess
import sys
import time

import numpy as np

from . import datasets, machine
from . import filtered_data as fd
from . import filtered_libraries as fl
from . import filtered_report

HERE = os.path.dirname(os.path.abspath(__file__))
BENCH = os.path.dirname(HERE)

FULL_EFS = (10, 16, 32, 64, 128, 256)
QUICK_EFS = (10, 32, 128)
FULL_QUERIES = 1000
TRACE_QUERIES = 200
DEFAULT_LIBRARIES = ",".join(sorted({lib for lib, _ in fl.CONFIGS}, key=lambda l: (l != "vivudu", l)))


def parse_args(argv):
    p = argparse.ArgumentParser(prog="run_peers --filtered", description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--datasets", default="fashion-mnist,minilm-wordnet")
    p.add_argument("--libraries", default=DEFAULT_LIBRARIES)
    p.add_argument("--quick", action="store_true",
                   help=f"smoke run: {datasets.QUICK_BASE} base points, {datasets.QUICK_QUERIES} "
                        f"queries, ef {QUICK_EFS}, one round")
    p.add_argument("--efs", default=None)
    p.add_argument("--queries", type=int, default=None,
                   help=f"queries per filter (default {FULL_QUERIES}; quick {datasets.QUICK_QUERIES})")
    p.add_argument("--rounds", type=int, default=None, help="serve rounds (default 2; quick 1)")
    p.add_argument("--budget", type=float, default=None,
                   help="seconds of single-query searching per (filter, ef) before the pass stops "
                        "early (default 2; quick 0.5)")
    p.add_argument("--m", type=int, default=16)
    p.add_argument("--ef-construction", type=int, default=200)
    p.add_argument("--build-threads", type=int, default=2)
    p.add_argument("--results-dir", default=None)
    p.add_argument("--cache-dir", default=os.path.join(BENCH, ".cache"))
    p.add_argument("--report-only", action="store_true")
    return p.parse_args(argv)


def log(msg):
    print(f"[{time.strftime('%H:%M:%S')}] {msg}", flush=True)


def run_child(mode, task, work_dir, env_extra=None, log_path=None):
    os.makedirs(work_dir, exist_ok=True)
    task_path = os.path.join(work_dir, f"{mode}.task.json")
    with open(task_path, "w") as f:
        json.dump(task, f, indent=1)
    env = dict(os.environ)
    env["PYTHONPATH"] = BENCH + os.pathsep + env.get("PYTHONPATH", "")
    # The engine's knobs are read once per process: none may leak in from
    # the caller's shell, only the configuration's own.
    for key in list(env):
        if key.startswith("DOROVOZU_"):
            del env[key]
    env.update(env_extra or {})
    log_path = log_path or os.path.join(work_dir, "log.txt")
    t = time.perf_counter()
    with open(log_path, "a") as lf:
        lf.write(f"\n=== {mode} {time.strftime('%Y-%m-%d %H:%M:%S')} env {env_extra or {}}\n")
        lf.flush()
        proc = subprocess.run([sys.executable, "-m", "peers.filtered_job", mode, "--task", task_path],
                              stdout=lf, stderr=subprocess.STDOUT, env=env, cwd=BENCH)
    wall = time.perf_counter() - t
    if proc.returncode != 0:
        raise RuntimeError(f"{mode} child failed (exit {proc.returncode}); see {log_path}")
    with open(task["out"]) as f:
        doc = json.load(f)
    doc["process_seconds"] = wall
    return doc


def index_paths(lib, build_dir, base_file):
    if lib == "vivudu":
        return os.path.join(build_dir, "seg.snap"), os.path.join(build_dir, "del.snap")
    if lib == "hnswlib":
        return os.path.join(build_dir, "index.bin"), None
    if lib == "faiss":
        return os.path.join(build_dir, "index.faiss"), None
    if lib == "chromadb":
        return os.path.join(build_dir, "chroma"), os.path.join(build_dir, "chroma-del")
    if lib == "lancedb":
        return os.path.join(build_dir, "lance"), os.path.join(build_dir, "lance-del")
    return base_file, None


def module_fingerprint():
    """Which build of the engine's modules is installed (another install may
    replace it between runs): file name, size, mtime and a hash prefix."""
    import hashlib
    out = {}
    for name in ("vivudu._native", "dovadure"):
        try:
            found = importlib.util.find_spec(name)
        except (ImportError, ValueError):
            found = None
        if found is None or not found.origin:
            continue
        with open(found.origin, "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest()[:12]
        st = os.stat(found.origin)
        out[name] = {"sha256_12": digest, "bytes": st.st_size,
                     "mtime": time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(st.st_mtime))}
    return out


def write_json(path, doc):
    tmp = path + ".tmp"
    with open(tmp, "w") as f:
        json.dump(doc, f, indent=1)
    os.replace(tmp, path)


class Runner:
    def __init__(self, args, ds_name, fdir, raw_dir):
        self.args = args
        self.ds = ds_name
        self.fdir = fdir
        self.raw_dir = raw_dir
        self.doc, self.cols, self.deleted = fd.load(fdir)
        self.base_file = os.path.join(self.doc["dataset_dir"], "base.npy")
        self.params = {"m": args.m, "ef_construction": args.ef_construction,
                       "threads": args.build_threads}
        self.idx_root = os.path.join(fdir, f"indexes-m{args.m}-efc{args.ef_construction}"
                                           f"-t{args.build_threads}")

    def build_dir(self, key):
        return os.path.join(self.idx_root, key)

    def ensure_build(self, lib, config):
        """Builds (and makes the deleted copy of) a configuration's index
        unless cached; returns (index path, deleted path)."""
        cfg = fl.CONFIGS[(lib, config)]
        key = cfg["build_key"]
        if key is None:
            return self.base_file, None
        bdir = self.build_dir(key)
        os.makedirs(bdir, exist_ok=True)
        path, del_path = index_paths(lib, bdir, self.base_file)
        record = os.path.join(bdir, "build.json")
        raw = os.path.join(self.raw_dir, f"build-{key}.json")
        if not os.path.exists(record):
            log(f"  build {key} ({self.params['threads']} threads)")
            task = {"library": lib, "config": config, "filtered_dir": self.fdir, "index_path": path,
                    "params": self.params, "out": os.path.join(bdir, "build.part.json")}
            info = run_child("build", task, bdir, cfg.get("build_env"))
            info.update({"library": lib, "config": config, "build_key": key,
                         "params": self.params, "build_env": cfg.get("build_env", {}),
                         "machine": machine.describe(),
                         "version": fl.versions().get(lib),
                         "engine_modules": module_fingerprint() if lib == "vivudu" else None,
                         "finished_at": time.strftime("%Y-%m-%d %H:%M:%S %Z")})
            write_json(record, info)
            if os.path.exists(os.path.join(bdir, "delete.json")):
                os.remove(os.path.join(bdir, "delete.json"))
        if del_path is not None and not os.path.exists(os.path.join(bdir, "delete.json")):
            log(f"  delete {len(self.deleted)} points from a copy of {key}")
            task = {"library": lib, "config": config, "filtered_dir": self.fdir, "index_path": path,
                    "deleted_path": del_path, "out": os.path.join(bdir, "delete.part.json")}
            info = run_child("delete", task, bdir, cfg.get("build_env"))
            write_json(os.path.join(bdir, "delete.json"), info)
        with open(record) as f:
            doc = json.load(f)
        if del_path is not None:
            with open(os.path.join(bdir, "delete.json")) as f:
                doc["delete"] = json.load(f)
        if not os.path.exists(raw):
            write_json(raw, doc)
        return path, del_path

    def memory(self, config):
        key = fl.CONFIGS[("vivudu", config)]["build_key"]
        raw = os.path.join(self.raw_dir, f"memory-{key}.json")
        if os.path.exists(raw):
            return
        path, _ = self.ensure_build("vivudu", config)
        bdir = self.build_dir(key)
        doc = {"build_key": key}
        for payloads in (False, True, False, True):
            task = {"filtered_dir": self.fdir, "index_path": path, "payloads": payloads,
                    "out": os.path.join(bdir, "memory.part.json")}
            got = run_child("memory", task, bdir)
            doc.setdefault("payloads" if payloads else "no_payloads", []).append(got)
        log(f"  memory {key}: payloads on " +
            ", ".join(f"{(d['rss_after_open_kib'] - d['rss_before_kib']) / 1024:.1f}" for d in doc["payloads"]) +
            " MiB, off " +
            ", ".join(f"{(d['rss_after_open_kib'] - d['rss_before_kib']) / 1024:.1f}" for d in doc["no_payloads"]) +
            " MiB")
        write_json(raw, doc)

    def build_repeat(self, configs):
        """Builds the vivudu configurations once more each, interleaved, into a
        scratch path (timed only, then removed): build time with and without
        filter-aware edges is reported as the best of the builds."""
        raw = os.path.join(self.raw_dir, "repeat-builds.json")
        if os.path.exists(raw):
            return
        out = []
        for config in configs:
            cfg = fl.CONFIGS[("vivudu", config)]
            rdir = os.path.join(self.idx_root, "repeat", cfg["build_key"])
            os.makedirs(rdir, exist_ok=True)
            path = os.path.join(rdir, "seg.snap")
            log(f"  build {cfg['build_key']} again (timing only)")
            task = {"library": "vivudu", "config": config, "filtered_dir": self.fdir, "index_path": path,
                    "params": self.params, "out": os.path.join(rdir, "build.part.json")}
            got = run_child("build", task, rdir, cfg.get("build_env"))
            got.update({"build_key": cfg["build_key"], "load_avg": os.getloadavg(),
                        "finished_at": time.strftime("%Y-%m-%d %H:%M:%S %Z"),
                        "engine_modules": module_fingerprint()})
            out.append(got)
            shutil.rmtree(rdir)
        write_json(raw, out)

    def graph(self, config):
        """Layer-0 edge statistics of the saved segment (see filtered_graph)."""
        from . import filtered_graph
        key = fl.CONFIGS[("vivudu", config)]["build_key"]
        raw = os.path.join(self.raw_dir, f"graph-{key}.json")
        if os.path.exists(raw):
            return
        path, _ = self.ensure_build("vivudu", config)
        doc = filtered_graph.same_value_shares(path, self.cols)
        doc["build_key"] = key
        log(f"  graph {key}: mean layer-0 degree {doc['mean_degree']:.2f}, same-value share "
            + ", ".join(f"{k} {v:.4f}" for k, v in doc["same_value_share"].items()))
        write_json(raw, doc)

    def trace(self, config):
        raw = os.path.join(self.raw_dir, f"trace-vivudu-{config}.json")
        if os.path.exists(raw):
            return
        path, del_path = self.ensure_build("vivudu", config)
        bdir = self.build_dir(fl.CONFIGS[("vivudu", config)]["build_key"])
        tdir = os.path.join(bdir, f"trace-{config}")
        os.makedirs(tdir, exist_ok=True)
        trace_file = os.path.join(tdir, "search-trace.jsonl")
        env = dict(fl.CONFIGS[("vivudu", config)].get("env", {}),
                   DOROVOZU_SEARCH_TRACE_LOG=trace_file, DOROVOZU_TRACE_EVERY="1000000000000")
        task = {"config": config, "filtered_dir": self.fdir, "index_path": path,
                "deleted_path": del_path, "k": fd.K, "efs": self.efs_of("vivudu", config),
                "queries": min(TRACE_QUERIES, self.doc["queries"]),
                "skip": list(fl.CONFIGS[("vivudu", config)].get("skip", ())),
                "out": os.path.join(tdir, "trace.part.json")}
        log(f"  trace vivudu/{config} ({task['queries']} queries per filter and ef)")
        got = run_child("trace", task, tdir, env)
        os.remove(trace_file)
        write_json(raw, dict(got, config=config))

    def efs_of(self, lib, config):
        return list(fl.CONFIGS[(lib, config)].get("efs") or self.args.efs_list)

    def serve(self, lib, config, round_no):
        raw = os.path.join(self.raw_dir, f"serve-{lib}-{config}-r{round_no}.json")
        if os.path.exists(raw):
            log(f"[done] {self.ds} {lib}/{config} round {round_no}")
            return
        path, del_path = self.ensure_build(lib, config)
        cfg = fl.CONFIGS[(lib, config)]
        sdir = os.path.join(self.idx_root, "serve", f"{lib}-{config}")
        efs = self.efs_of(lib, config)
        task = {"library": lib, "config": config, "filtered_dir": self.fdir, "index_path": path,
                "deleted_path": del_path, "k": fd.K, "efs": efs,
                "warm_up": 200, "warm": cfg.get("warm", 20), "budget": self.args.budget,
                "min_queries": min(cfg.get("min_queries", 50), self.doc["queries"]),
                "batch_threads": [2], "skip": list(cfg.get("skip", ())),
                "out": os.path.join(sdir, "serve.part.json"),
                "ids_out": os.path.join(sdir, "ids.npz")}
        log(f"[run] {self.ds} {lib}/{config} round {round_no} (ef {efs})")
        got = run_child("serve", task, sdir, cfg.get("env"))
        self.score(got, np.load(task["ids_out"]))
        doc = {"dataset": self.ds, "library": lib, "config": config, "round": round_no,
               "efs": efs, "budget": self.args.budget, "k": fd.K,
               "version": fl.versions().get(lib), "env": cfg.get("env", {}),
               "machine": machine.describe(),
               "finished_at": time.strftime("%Y-%m-%d %H:%M:%S %Z"), "serve": got,
               "engine_modules": module_fingerprint() if lib == "vivudu" else None}
        write_json(raw, doc)
        bad = [(f, s["ef"]) for f, v in got["filters"].items() for s in v["sweeps"]
               if s["violations"] or s["deleted_returned"] or s["repeats"] or s["bad_ids"]]
        if bad:
            log(f"  !! {lib}/{config}: wrong ids returned at {bad[:8]}")

    def score(self, got, ids):
        base, queries = datasets.load_arrays(self.doc["dataset_dir"], mmap=True)
        queries = np.asarray(queries[:self.doc["queries"]])
        masks = fd.masks(self.doc, self.cols, self.deleted)
        dead = np.zeros(self.doc["base"], dtype=bool)
        dead[self.deleted] = True
        by_name = {f["name"]: f for f in self.doc["filters"]}
        for name, entry in got["filters"].items():
            f = by_name[name]
            truth = np.load(os.path.join(self.fdir, f"truth-{name}.npz"))
            entry["allowed"] = f["allowed"]
            for s in entry["sweeps"]:
                res = ids[f"{name}|ef{s['ef']}"]
                s.update(fd.score(base, queries, self.doc["metric"], truth["ids"], truth["dist"],
                                  res, masks[name], dead if f["deleted"] else None))
                for key in [k for k in ids.files if k.startswith(f"{name}|ef{s['ef']}|batch")]:
                    s["batch_mismatch_" + key.rsplit("|", 1)[1]] = fd.score(
                        base, queries, self.doc["metric"], truth["ids"], truth["dist"], ids[key],
                        masks[name], dead if f["deleted"] else None)


def importable(lib):
    try:
        return importlib.util.find_spec(fl.IMPORT_NAMES[lib]) is not None
    except (ImportError, ValueError):
        return False


def import_check(lib):
    """Imports the library in a child: a broken install says why."""
    proc = subprocess.run([sys.executable, "-c", f"import {fl.IMPORT_NAMES[lib]}"],
                          capture_output=True, text=True)
    return None if proc.returncode == 0 else (proc.stderr.strip().splitlines() or ["?"])[-1]


def main(argv=None):
    args = parse_args(argv)
    quick = args.quick
    if args.results_dir is None:
        args.results_dir = os.path.join(BENCH, "results", "quick" if quick else "")
    args.results_dir = os.path.normpath(args.results_dir)
    args.efs_list = ([int(x) for x in args.efs.split(",")] if args.efs
                     else list(QUICK_EFS if quick else FULL_EFS))
    if args.rounds is None:
        args.rounds = 1 if quick else 2
    if args.budget is None:
        args.budget = 0.5 if quick else 2.0
    n_queries = args.queries or (datasets.QUICK_QUERIES if quick else FULL_QUERIES)
    names = [x for x in args.datasets.split(",") if x]
    libs = [x for x in args.libraries.split(",") if x]
    raw_root = os.path.join(args.results_dir, "raw-filtered")
    failures = []
    unavailable = {}
    if not args.report_only:
        log(f"machine: {machine.one_line(machine.describe())}")
        for lib in libs:
            why = import_check(lib) if lib in fl.IMPORT_NAMES else "unknown library"
            if why:
                unavailable[lib] = why
                log(f"[skip] {lib}: not available ({why})")
        os.makedirs(raw_root, exist_ok=True)
        write_json(os.path.join(raw_root, "unavailable.json"), unavailable)
        for name in names:
            try:
                ds_dir = datasets.prepare(name, args.cache_dir, quick=quick, log=log)
                fdir = fd.prepare(name, ds_dir, args.cache_dir, n_queries, log=log)
            except Exception as e:
                failures.append(f"{name}: dataset unavailable: {e}")
                log(f"[skip] {failures[-1]}")
                continue
            raw_dir = os.path.join(raw_root, name)
            os.makedirs(raw_dir, exist_ok=True)
            shutil.copyfile(os.path.join(fdir, "filters.json"), os.path.join(raw_dir, "filters.json"))
            runner = Runner(args, name, fdir, raw_dir)
            configs = [c for c in fl.CONFIGS if c[0] in libs and c[0] not in unavailable]
            log(f"[data] {name}: {runner.doc['base']} x {runner.doc['dim']}, "
                f"{runner.doc['queries']} queries, {len(runner.doc['filters'])} filters")
            for lib, config in configs:
                try:
                    runner.ensure_build(lib, config)
                except Exception as e:
                    failures.append(f"{name} {lib}/{config} build: {e}")
                    log(f"[fail] {failures[-1]}")
            if "vivudu" in libs and "vivudu" not in unavailable:
                for config in ("float", "edges"):
                    try:
                        runner.graph(config)
                    except Exception as e:
                        log(f"[note] layer-0 graph of vivudu/{config} not read: {e}")
                    try:
                        runner.memory(config)
                    except Exception as e:
                        failures.append(f"{name} vivudu/{config} memory: {e}")
                        log(f"[fail] {failures[-1]}")
            for r in range(1, args.rounds + 1):
                order = configs if r % 2 else list(reversed(configs))
                # Later rounds also rotate, so no configuration always follows the same one.
                shift = (r - 1) // 2 % max(1, len(order))
                order = order[shift:] + order[:shift]
                for lib, config in order:
                    if any(f.startswith(f"{name} {lib}/{config} build") for f in failures):
                        continue
                    try:
                        runner.serve(lib, config, r)
                    except Exception as e:
                        failures.append(f"{name} {lib}/{config} round {r}: {e}")
                        log(f"[fail] {failures[-1]}")
            if "vivudu" in libs and "vivudu" not in unavailable:
                try:
                    runner.build_repeat(("edges", "float"))
                except Exception as e:
                    failures.append(f"{name} vivudu build repeat: {e}")
                    log(f"[fail] {failures[-1]}")
                for config in ("float", "edges"):
                    try:
                        runner.trace(config)
                    except Exception as e:
                        failures.append(f"{name} vivudu/{config} trace: {e}")
                        log(f"[fail] {failures[-1]}")
    written = filtered_report.write(args.results_dir, log=log)
    for path in written:
        log(f"wrote {path}")
    if failures:
        log("incomplete:\n  " + "\n  ".join(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
