"""filtered-summary.md, per-dataset detail tables and recall-versus-QPS plots
per filter, from the raw JSON of the filtered benchmark."""

import glob
import json
import os

from . import filtered_libraries as fl
from . import machine
from .report import fmt, fmt_ratio, ratio, mib

TARGET = 0.95
OURS = (("vivudu", "float"), ("vivudu", "edges"))
SCAN = ("vivudu", "scan")
PEERS = ("hnswlib", "faiss", "chromadb", "lancedb")
ORDER = list(fl.CONFIGS)


def label(key):
    return f"{key[0]}/{key[1]}"


def load_json(path):
    with open(path) as f:
        return json.load(f)


def merge_rounds(docs):
    """One sweep list per (filter) of a configuration: per ef the best QPS
    and latency of the rounds, recall from the round that ran the most
    queries, and the worst misbehaviour counts of any round."""
    merged = {}
    for d in sorted(docs, key=lambda d: d["round"]):
        for name, entry in d["serve"]["filters"].items():
            m = merged.setdefault(name, {"allowed": entry.get("allowed"), "efs": {}})
            for s in entry["sweeps"]:
                cur = m["efs"].get(s["ef"])
                if cur is None:
                    m["efs"][s["ef"]] = dict(s, rounds=1, round_qps=[s["single_qps"]])
                    continue
                cur["rounds"] += 1
                cur["round_qps"].append(s["single_qps"])
                for key in ("single_qps", "batch_t2_qps"):
                    if key in s:
                        cur[key] = max(cur.get(key, 0), s[key])
                for key in ("p50_us", "p99_us", "mean_us"):
                    cur[key] = min(cur[key], s[key])
                for key in ("short_rows", "violations", "deleted_returned", "repeats", "bad_ids",
                            "errors"):
                    cur[key] = max(cur.get(key, 0), s.get(key, 0))
                if s["queries"] > cur["queries"]:
                    for key in ("recall", "recall_min", "queries", "scored_queries",
                                "ndis_per_query"):
                        if key in s:
                            cur[key] = s[key]
                for key in [k for k in s if k.startswith("batch_t") and k.endswith("same_ids")]:
                    cur[key] = cur.get(key, True) and s[key]
    return merged


def at_target(m, target=TARGET):
    """The sweep with the best QPS among the efs reaching `target`, or None."""
    ok = [s for s in m["efs"].values() if s["recall"] is not None and s["recall"] >= target]
    return max(ok, key=lambda s: s["single_qps"]) if ok else None


def max_recall(m):
    vals = [s["recall"] for s in m["efs"].values() if s["recall"] is not None]
    return max(vals) if vals else None


def cell(m):
    if m is None:
        return "n/r"
    s = at_target(m)
    if s is None:
        r = max_recall(m)
        return "— " + (f"(max {r:.3f})" if r is not None else "")
    ef = f" @{s['ef']}" if s["ef"] else ""
    return f"{fmt(s['single_qps'])}{ef}"


def qps_of(m):
    s = at_target(m) if m else None
    return s["single_qps"] if s else None


def load_dataset(ds_dir):
    out = {"serve": {}, "builds": {}, "memory": {}, "trace": {}, "graph": {}}
    out["filters"] = load_json(os.path.join(ds_dir, "filters.json"))
    docs = {}
    for path in glob.glob(os.path.join(ds_dir, "serve-*-r*.json")):
        d = load_json(path)
        docs.setdefault((d["library"], d["config"]), []).append(d)
    for key, ds in docs.items():
        out["serve"][key] = {"merged": merge_rounds(ds), "docs": ds}
    for path in glob.glob(os.path.join(ds_dir, "build-*.json")):
        d = load_json(path)
        out["builds"][d["build_key"]] = d
    for path in glob.glob(os.path.join(ds_dir, "memory-*.json")):
        d = load_json(path)
        out["memory"][d["build_key"]] = d
    rep = os.path.join(ds_dir, "repeat-builds.json")
    out["repeats"] = load_json(rep) if os.path.exists(rep) else []
    for path in glob.glob(os.path.join(ds_dir, "graph-*.json")):
        d = load_json(path)
        out["graph"][d["build_key"]] = d
    for path in glob.glob(os.path.join(ds_dir, "trace-vivudu-*.json")):
        d = load_json(path)
        out["trace"][d["config"]] = d["trace"]
    return out


def filter_row_label(f):
    share = f["allowed"] / max(1, f.get("base_n", 1))
    return f"{f['name']}", share


def qps_table(data, n):
    keys = [k for k in ORDER if k in data["serve"]]
    lines = ["| filter | share | allowed | " + " | ".join(label(k) for k in keys) +
             " | best peer | vivudu/float ÷ best peer | vivudu/edges ÷ best peer"
             " | vivudu/float ÷ own scan |",
             "|---|---:|---:|" + "---:|" * len(keys) + "---|---:|---:|---:|"]
    for f in data["filters"]["filters"]:
        name = f["name"]
        ms = {k: data["serve"][k]["merged"].get(name) for k in keys}
        peers = [(qps_of(ms[k]), k) for k in keys if k[0] in PEERS and qps_of(ms[k]) is not None]
        best = max(peers) if peers else (None, None)
        float_q = qps_of(ms.get(OURS[0]))
        edges_q = qps_of(ms.get(OURS[1]))
        scan_q = qps_of(ms.get(SCAN))
        lines.append(
            f"| {name} | {f['allowed'] / n:.4%} | {f['allowed']:,} | " +
            " | ".join(cell(ms[k]) for k in keys) +
            f" | {label(best[1]) if best[1] else '—'} | {fmt_ratio(ratio(float_q, best[0]))}"
            f" | {fmt_ratio(ratio(edges_q, best[0]))} | {fmt_ratio(ratio(float_q, scan_q))} |")
    return lines


def p99_table(data, n):
    keys = [k for k in ORDER if k in data["serve"]]
    lines = ["| filter | allowed | " + " | ".join(label(k) for k in keys) + " |",
             "|---|---:|" + "---:|" * len(keys)]
    for f in data["filters"]["filters"]:
        cells = []
        for k in keys:
            m = data["serve"][k]["merged"].get(f["name"])
            s = at_target(m) if m else None
            cells.append(fmt(s["p99_us"]) if s else ("n/r" if m is None else "—"))
        lines.append(f"| {f['name']} | {f['allowed']:,} | " + " | ".join(cells) + " |")
    return lines


def planner_text(tr, ef):
    if not tr:
        return "—", "n/a"
    e = tr["efs"].get(str(ef))
    if not e or not e["searches"]:
        return "—", "n/a"
    s = e["searches"]
    parts = []
    if e["exact_scans"]:
        parts.append(f"scan {e['exact_scans'] / s:.0%}")
    walk_only = e["walks"] - e["walks_then_scan"]
    if walk_only:
        parts.append(f"walk {walk_only / s:.0%}")
    if e["walks_then_scan"]:
        parts.append(f"walk→scan {e['walks_then_scan'] / s:.0%}")
    return ", ".join(parts), fmt(e["visits_per_query"])


def vivudu_table(data, config):
    key = ("vivudu", config)
    if key not in data["serve"]:
        return []
    trace = data["trace"].get(config, {})
    lines = [f"| filter | allowed | ef for ≥{TARGET} | recall | QPS 1 thread | p99 µs"
             " | search_batch 2 threads QPS | batch ÷ single | planner (trace) | L0 visits + scans per query"
             " | short rows | wrong ids | max recall (ef) |",
             "|---|---:|---:|---:|---:|---:|---:|---:|---|---:|---:|---:|---:|"]
    for f in data["filters"]["filters"]:
        m = data["serve"][key]["merged"].get(f["name"])
        if m is None:
            continue
        s = at_target(m)
        top = max(m["efs"].values(), key=lambda s: (s["recall"] or 0, -s["ef"]))
        s_show = s or top
        plan, visits = planner_text(trace.get(f["name"]), s_show["ef"])
        wrong = sum(x["violations"] + x["deleted_returned"] + x["repeats"] + x["bad_ids"]
                    for x in m["efs"].values())
        short = max(x["short_rows"] for x in m["efs"].values())
        lines.append(
            f"| {f['name']} | {f['allowed']:,} | {s['ef'] if s else '— (shown: ' + str(top['ef']) + ')'}"
            f" | {s_show['recall']:.4f} | {fmt(s_show['single_qps'])} | {fmt(s_show['p99_us'], 0)}"
            f" | {fmt(s_show.get('batch_t2_qps'))} | "
            f"{fmt_ratio(ratio(s_show.get('batch_t2_qps'), s_show['single_qps']))} | {plan} | {visits}"
            f" | {short} | {wrong} | {top['recall']:.4f} ({top['ef']}) |")
    return lines


def dist_table(data):
    """Distance computations (or visits) per query at each library's ef for the target."""
    keys = [k for k in ORDER if k in data["serve"]]
    lines = [f"| filter | allowed | faiss ndis | numpy brute (= allowed) | vivudu/float L0 visits"
             f" (+ scans) | vivudu/edges L0 visits (+ scans) | vivudu/scan |",
             "|---|---:|---:|---:|---:|---:|---:|"]
    for f in data["filters"]["filters"]:
        name = f["name"]
        row = [name, f"{f['allowed']:,}"]
        for key in (("faiss", "hnswflat"), ("numpy", "brute")):
            m = data["serve"].get(key, {}).get("merged", {}).get(name) if key in keys else None
            s = (at_target(m) or max(m["efs"].values(), key=lambda s: s["recall"] or 0)) if m else None
            v = s.get("ndis_per_query") if s else None
            row.append(fmt(v) + (f" @{s['ef']}" if s and s["ef"] and v is not None else ""))
        for config in ("float", "edges"):
            m = data["serve"].get(("vivudu", config), {}).get("merged", {}).get(name)
            s = (at_target(m) or max(m["efs"].values(), key=lambda s: s["recall"] or 0)) if m else None
            _, visits = planner_text(data["trace"].get(config, {}).get(name), s["ef"]) if s else ("", "n/a")
            row.append(visits + (f" @{s['ef']}" if s and visits != "n/a" else ""))
        row.append(fmt(f["allowed"]) if name not in ("none", "none-del") else "—")
        lines.append("| " + " | ".join(row) + " |")
    return lines


def anomalies(data):
    """One line per (configuration, filter) with anything other than a
    full, correct answer, vivudu's first."""
    out = []
    keys = sorted(data["serve"], key=lambda k: (k[0] != "vivudu", ORDER.index(k) if k in ORDER else 99))
    for key in keys:
        for name, m in data["serve"][key]["merged"].items():
            per_ef = []
            for ef, s in sorted(m["efs"].items()):
                what = []
                for field, text in (("violations", "ids outside the filter"),
                                    ("deleted_returned", "deleted ids"),
                                    ("repeats", "repeated ids"), ("bad_ids", "ids out of range"),
                                    ("short_rows", "short"), ("errors", "raised")):
                    if s.get(field):
                        what.append(f"{s[field]} {text}")
                for bk in [k for k in s if k.endswith("same_ids")]:
                    if not s[bk]:
                        what.append(f"search_batch ({bk.split('_')[1]}) ids differ from search()")
                if what:
                    per_ef.append(f"ef {ef or '—'}: " + ", ".join(what) + f" of {s['queries']}")
            if per_ef:
                out.append(f"{label(key)} `{name}` ({m['allowed']:,} allowed): " + "; ".join(per_ef))
    return out


def build_tables(data, n):
    lines = ["| index | build s | threads | peak RSS MiB | RSS before build MiB | on disk MiB"
             " | delete 20% s | on disk after delete MiB |",
             "|---|---:|---:|---:|---:|---:|---:|---:|"]
    for key, b in sorted(data["builds"].items(), key=lambda kv: (not kv[0].startswith("vivudu"), kv[0])):
        d = b.get("delete", {})
        lines.append(
            f"| {key} | {fmt(b['build_seconds'], 1)} | {b['params']['threads']}"
            f" | {fmt(mib(b['peak_rss_kib']), 0)} | {fmt(mib(b.get('rss_before_build_kib')), 0)}"
            f" | {fmt(b['index_bytes'] / 2**20, 1)} | {fmt(d.get('delete_seconds'), 2)}"
            f" | {fmt(d['index_bytes'] / 2**20, 1) if d else '—'} |")
    plain, edges = data["builds"].get("vivudu-plain"), data["builds"].get("vivudu-edges")
    notes = []
    times = {}
    for key, b in data["builds"].items():
        times.setdefault(key, []).append(b["build_seconds"])
    for r in data.get("repeats", []):
        times.setdefault(r["build_key"], []).append(r["build_seconds"])
    for key in ("vivudu-plain", "vivudu-edges"):
        if len(times.get(key, [])) > 1:
            notes.append(f"{key} build seconds over {len(times[key])} builds (the later ones timed only): "
                         + ", ".join(f"{t:.1f}" for t in times[key]) + f"; best {min(times[key]):.1f}")
    if times.get("vivudu-plain") and times.get("vivudu-edges"):
        notes.append("filter-aware edges, best build time with them / without: "
                     f"{fmt_ratio(ratio(min(times['vivudu-edges']), min(times['vivudu-plain'])))}")
    if plain and edges:
        notes.append(f"filter-aware edges, first builds: build time {fmt_ratio(ratio(edges['build_seconds'], plain['build_seconds']))}"
                     f", build peak RSS {fmt_ratio(ratio(edges['peak_rss_kib'], plain['peak_rss_kib']))}"
                     f", snapshot {fmt_ratio(ratio(edges['index_bytes'], plain['index_bytes']))} of the build without them")
    mem = ["| vivudu index | RSS added by opening, payloads=False MiB | payloads=True MiB"
           " | payloads add MiB | filter_bytes() MiB | RSS after 40 filtered searches MiB"
           " | filter with payloads=False |",
           "|---|---:|---:|---:|---:|---:|---|"]
    for key, m in sorted(data["memory"].items()):
        off = min((d["rss_after_open_kib"] - d["rss_before_kib"]) for d in m["no_payloads"])
        on = min((d["rss_after_open_kib"] - d["rss_before_kib"]) for d in m["payloads"])
        after = min((d["rss_after_search_kib"] - d["rss_before_kib"]) for d in m["payloads"])
        fb = m["payloads"][0].get("filter_bytes")
        mem.append(f"| {key} | {fmt(mib(off), 1)} | {fmt(mib(on), 1)} | {fmt(mib(on - off), 1)}"
                   f" | {fmt(fb / 2**20 if fb is not None else None, 2)} | {fmt(mib(after), 1)}"
                   f" | {m['no_payloads'][0].get('filter_without_payloads', '?')} |")
    return lines, notes, mem


def graph_table(data):
    if not data["graph"]:
        return []
    fields = sorted({f for g in data["graph"].values() for f in g["same_value_share"]})
    values = {"u50": 2, "u10": 10, "u1": 100, "u01": 1000, "u001": 10000, "a10": 10, "a25": 25}
    lines = ["| vivudu index | layer-0 lists | mean degree (own entry excluded) | " +
             " | ".join(f"same {f}" for f in fields) + " |",
             "|---|---:|---:|" + "---:|" * len(fields)]
    for key, g in sorted(data["graph"].items()):
        lines.append(f"| {key} | {g['lists']:,} | {g['mean_degree']:.2f} | " +
                     " | ".join(f"{g['same_value_share'][f]:.2%}" for f in fields) + " |")
    lines.append("| uniform draw would give | | | " +
                 " | ".join(f"{1 / values[f]:.2%}" if f in values else "" for f in fields) + " |")
    return lines


def plot(path, title, footer, data, names, n):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    filters = [f for f in data["filters"]["filters"] if f["name"] in names]
    cols = 4
    rows = (len(filters) + cols - 1) // cols
    fig, axes = plt.subplots(rows, cols, figsize=(4.2 * cols, 3.3 * rows), dpi=90, squeeze=False)
    keys = [k for k in ORDER if k in data["serve"]]
    colors = {k: f"C{i}" for i, k in enumerate(ORDER)}
    for ax, f in zip(axes.flat, filters):
        for key in keys:
            m = data["serve"][key]["merged"].get(f["name"])
            if not m:
                continue
            pts = [(s["recall"], s["single_qps"]) for _, s in sorted(m["efs"].items())
                   if s["recall"] is not None]
            if not pts:
                continue
            style = "-" if len(pts) > 1 else ""
            ax.plot([p[0] for p in pts], [p[1] for p in pts], style, marker="o", markersize=3,
                    linewidth=2.2 if key[0] == "vivudu" else 1.1, color=colors[key], label=label(key))
        ax.set_yscale("log")
        ax.axvline(TARGET, color="0.6", linewidth=0.8, linestyle=":")
        ax.set_title(f"{f['name']}: {f['allowed']:,} of {n:,} ({f['allowed'] / n:.2%})", fontsize=9)
        ax.grid(True, which="both", alpha=0.3)
        ax.tick_params(labelsize=7)
    for ax in list(axes.flat)[len(filters):]:
        ax.axis("off")
    handles, labels_ = [], []
    for ax in axes.flat:
        for h, l in zip(*ax.get_legend_handles_labels()):
            if l not in labels_:
                handles.append(h)
                labels_.append(l)
    fig.suptitle(title, fontsize=10, y=0.995)
    fig.legend(handles, labels_, loc="upper center", bbox_to_anchor=(0.5, 0.968),
               ncol=min(8, len(labels_)), fontsize=8)
    fig.supxlabel("recall@10 over the allowed points (ε = 1e-3)", fontsize=8, y=0.03)
    fig.supylabel("queries per second, 1 thread, 1 query per call", fontsize=8)
    fig.text(0.01, 0.003, footer, fontsize=6, color="0.35", va="bottom", wrap=True)
    fig.tight_layout(rect=(0.01, 0.03, 1, 0.925))
    fig.savefig(path)
    plt.close(fig)


def detail_lines(data):
    lines = []
    for f in data["filters"]["filters"]:
        lines += ["", f"## {f['name']}: {f['text']}{' after deleting 20%' if f['deleted'] else ''};"
                      f" {f['allowed']:,} allowed", "",
                  "| library/config | ef | queries | recall@10 | min recall | QPS 1 thread | p50 µs | p99 µs"
                  " | search_batch 2t QPS | dist. comps / query | short rows | wrong ids | errors |",
                  "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
        for key in [k for k in ORDER if k in data["serve"]]:
            m = data["serve"][key]["merged"].get(f["name"])
            if not m:
                continue
            for ef, s in sorted(m["efs"].items()):
                wrong = s["violations"] + s["deleted_returned"] + s["repeats"] + s["bad_ids"]
                lines.append(
                    f"| {label(key)} | {ef or '—'} | {s['queries']} | {s['recall']:.4f}"
                    f" | {s['recall_min']:.2f} | {fmt(s['single_qps'])} | {fmt(s['p50_us'], 0)}"
                    f" | {fmt(s['p99_us'], 0)} | {fmt(s.get('batch_t2_qps'))}"
                    f" | {fmt(s.get('ndis_per_query'))} | {s['short_rows']} | {wrong} | {s.get('errors', 0)} |")
    return lines


def write(results_dir, log=print):
    raw_root = os.path.join(results_dir, "raw-filtered")
    ds_dirs = sorted(d for d in glob.glob(os.path.join(raw_root, "*")) if os.path.isdir(d))
    if not ds_dirs:
        log(f"no raw results under {raw_root}")
        return []
    unavailable_path = os.path.join(raw_root, "unavailable.json")
    unavailable = load_json(unavailable_path) if os.path.exists(unavailable_path) else {}
    all_data = {os.path.basename(d): load_dataset(d) for d in ds_dirs}
    all_docs = [doc for data in all_data.values() for v in data["serve"].values() for doc in v["docs"]]
    if not all_docs:
        log("no serve results yet")
        return []
    last = max(all_docs, key=lambda d: d["finished_at"])
    info = last["machine"]
    quick = any("quick subset" in data["filters"]["description"] for data in all_data.values())
    rounds = sorted({d["round"] for d in all_docs})
    written = []
    lines = [
        "# Filtered search benchmark", "",
        "Produced by `bash bench/run_peers.sh --filtered`; raw per-run JSON in `raw-filtered/`. "
        "k = 10. Each filter keeps the points whose payload matches it; the `-del` rows repeat the "
        "filters after deleting a seeded 20% of the points through each library's own deletion "
        "(faiss's HNSW cannot delete: its bitmap leaves those points out instead). Ground truth is "
        "the exact top-10 over the allowed, live points, re-scored in float64; recall@10 counts a "
        "returned id when the filter allows it, it is not a repeat, and its true distance is "
        "within 1e-3 of the truth's last one, out of min(10, allowed points): short answers, "
        "padding ids, ids outside the filter and deleted ids are misses.", "",
        f"QPS is single-threaded, one query per call, after 200 unfiltered warm-up queries and a "
        f"few per (filter, ef); each (filter, ef) pass runs the queries in order and stops after "
        f"{last['budget']:g} s once it has run a minimum (50; chromadb 30, lancedb 8), so slow "
        f"passes score fewer queries (the detail tables give the count). QPS@{TARGET} is the best "
        f"QPS of the swept ef values whose recall reaches {TARGET} (— with the best recall seen "
        f"when none does; `@ef` names the ef). Serve passes ran in {len(rounds)} round(s), each "
        f"library configuration in its own process and a different order per round; a figure is "
        f"the best of the rounds (recall from the round with the most queries).", "",
        "How each library gets the filter: vivudu takes the filter dict on every call and "
        "evaluates it against its payload index per call (vivudu/float: index built without "
        "filter-aware edges; vivudu/edges: built with `DOROVOZU_FILTER_EDGES=1`, extra layer-0 "
        "edges between points sharing a value of a scalar payload field, all fields; vivudu/scan: "
        "the float index with `DOROVOZU_FILTER_SCAN_MAX=1000000000`, which makes the planner scan "
        "every allowed point exactly). hnswlib calls a Python callable (`list.__getitem__` of a "
        "bool list, the cheapest there is) for every node its walk visits. faiss gets an "
        "`IDSelectorBitmap` per filter (built outside the timing) through "
        "`SearchParametersHNSW`. chromadb (embedded `PersistentClient`, hnsw with the same m and "
        "ef_construction, `ef_search` set per ef through `collection.modify`) takes its `where` "
        "dict per call. lancedb runs without a vector index, i.e. an exact brute-force scan with "
        "`where(sql, prefilter=True)` (its default IVF_PQ index took over 4 minutes to train on "
        "60 000 x 784 here). NumPy brute force multiplies the query by the allowed rows, gathered "
        "once per filter outside the timing (a single BLAS thread); its distance computations per "
        "query are the allowed count.", "",
        "vivudu's distance computations are not counted by the engine; the `L0 visits` figures come "
        "from its search trace (`DOROVOZU_SEARCH_TRACE_LOG`, a separate pass over "
        f"{200} queries): nodes marked on layer 0 (scored, or passed through by a two-hop walk), plus "
        "the allowed count when the planner scanned (up front, or after a walk gave up or came back "
        "short); the greedy descent of the upper layers is not included.", "",
        *(["**Quick smoke run** (5 000 points, 200 queries, a few ef values, short passes): it "
           "shows that the harness works, not how fast anything is.", ""] if quick else []),
        f"**Machine of the last run:** {machine.one_line(info)}; load average "
        f"{', '.join(f'{x:.2f}' for x in info['load_avg'])} when the last run finished. "
        f"The 1-minute load average when each serve pass finished ranged from "
        f"{min(d['machine']['load_avg'][0] for d in all_docs):.1f} to "
        f"{max(d['machine']['load_avg'][0] for d in all_docs):.1f} on "
        f"{info['logical_cpus']} CPUs: other work shared the machine, so single figures can be off by "
        f"tens of percent (best of the rounds is kept).", "",
        "## Libraries", "", "| library/config | version | how it was run |", "|---|---|---|"]
    seen = {}
    for d in sorted(all_docs, key=lambda d: d["finished_at"]):
        seen[(d["library"], d["config"])] = d
    for key in [k for k in ORDER if k in seen]:
        d = seen[key]
        lines.append(f"| {label(key)} | {d['version']} | {d['serve'].get('describe', '')} |")
    for lib, why in sorted(unavailable.items()):
        lines.append(f"| {lib} | not available | {why} |")
    prints = {}
    for d in all_docs:
        if d.get("engine_modules"):
            fp = d["engine_modules"].get("vivudu._native", {}).get("sha256_12")
            prints.setdefault(fp, []).append(f"{d['dataset']} {d['library']}/{d['config']} r{d['round']}")
    if len(prints) > 1:
        lines += ["", "**The installed vivudu module changed between runs** (another install replaced "
                  "it): " + "; ".join(f"build {fp}: {', '.join(v)}" for fp, v in prints.items()) + "."]
    elif prints:
        fp = next(iter(prints))
        lines += ["", f"Every vivudu run used the same installed module (vivudu._native sha256 {fp}...)."]
    details = []
    for ds, data in all_data.items():
        fdoc = data["filters"]
        n = fdoc["base"]
        lines += ["", f"## {ds}", "",
                  f"{fdoc['description']}; {n:,} x {fdoc['dim']}, {fdoc['queries']} queries per filter, "
                  f"{fdoc['metric']} ({'cosine' if fdoc['metric'] == 'angular' else 'squared L2'} in "
                  f"vivudu); {fdoc['deleted']:,} points deleted in the `-del` rows. Attributes drawn with "
                  f"seed {fdoc['attr_seed']}: u50, u10, u1, u01, u001 uniform over 2, 10, 100, 1000, "
                  f"10000 values, a10 and a25 over 10 and 25, x uniform in [0, 1)"
                  + ("; `label` is the real fashion-mnist class." if ds == "fashion-mnist" else "."), "",
                  f"### Single-thread QPS at recall ≥ {TARGET} (best ef)", ""]
        lines += qps_table(data, n)
        lines += ["", "`n/r`: not run (vivudu/scan skips the unfiltered rows). Ratios divide QPS at "
                  f"recall ≥ {TARGET}; best peer is the fastest of hnswlib, faiss, chromadb and "
                  "lancedb reaching it (the NumPy baseline is not a peer).", ""]
        lines += [f"### p99 latency (µs) at the ef of the table above", ""] + p99_table(data, n) + [""]
        for config in ("float", "edges"):
            t = vivudu_table(data, config)
            if t:
                lines += [f"### vivudu/{config}: at the fastest ef reaching {TARGET}", ""] + t + [""]
        lines += ["### Distance computations per query (at each one's ef for the target, else its best-recall ef)", ""]
        lines += dist_table(data)
        lines += ["", "hnswlib, chromadb and lancedb expose no such count.", ""]
        b, notes, mem = build_tables(data, n)
        lines += ["### Builds (each in its own process)", ""] + b + [""] + [f"- {x}" for x in notes]
        g = graph_table(data)
        if g:
            lines += ["", "Layer-0 edges of the saved segments (read from the snapshot files by "
                      "`filtered_graph.py`): the share of edges whose two ends hold the same value of "
                      "each integer payload field. Filter-aware edges that survive in the graph raise "
                      "these shares above what the plain build shows.", ""] + g
        lines += ["", "### Resident memory of vivudu's payloads (fresh process per figure, best of 2)", ""] + mem
        bad = anomalies(data)
        lines += ["", "### Short answers, wrong ids, errors", ""]
        lines += [f"- {x}" for x in bad] if bad else ["- none"]
        footer = (f"{machine.one_line(info)}\n" +
                  "; ".join(f"{label(k)} {seen[k]['version']}" for k in ORDER if k in seen))
        for suffix, names in (("", [f["name"] for f in fdoc["filters"] if not f["deleted"]]),
                              ("-deleted", [f["name"] for f in fdoc["filters"] if f["deleted"]])):
            png = f"filtered-{ds}{suffix}.png"
            plot(os.path.join(results_dir, png),
                 f"{ds}{' after deleting 20%' if suffix else ''}: recall@10 vs QPS per filter, "
                 f"m = 16, ef_construction = 200, {n:,} points", footer, data, names, n)
            written.append(os.path.join(results_dir, png))
            lines += ["", f"![recall vs QPS per filter{suffix}]({png})"]
        det_name = f"filtered-details-{ds}.md"
        with open(os.path.join(results_dir, det_name), "w") as f:
            f.write("\n".join([f"# {ds}: every filter, library and ef", ""] + detail_lines(data)) + "\n")
        written.append(os.path.join(results_dir, det_name))
        details.append(det_name)
        lines += ["", f"Per-ef tables: [{det_name}]({det_name})."]
    versions = ", ".join(f"{k} {v}" for k, v in sorted(fl.versions().items()) if v)
    lines += ["", f"Versions installed when the report was written: {versions}."]
    path = os.path.join(results_dir, "filtered-summary.md")
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")
    written.insert(0, path)
    return written
