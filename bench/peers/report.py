"""summary.md, per-dataset detail tables and recall-versus-QPS plots from raw JSON."""

import glob
import json
import os

from . import machine

RECALL_TARGETS = (0.90, 0.95, 0.99)
OURS = ("dovadure", "float")
OURS_SQ8 = ("dovadure", "sq8")
# Extra sweeps of the same index with other search knobs (patience=0).
ALSO_OURS = {OURS: ("dovadure", "float-p0"), OURS_SQ8: ("dovadure", "sq8-p0")}
# Lean lists: one lean-list index, three searches.
SPEED = (("dovadure", "lean"), ("dovadure", "lean-p0"), ("dovadure", "lean-cap"))


def merged_sweeps(configs, keys):
    """The first of `keys` present, with the sweeps of all of them."""
    docs = [configs[k] for k in keys if k in configs]
    if not docs:
        return None
    sweeps = [s for d in docs for s in d["serve"]["sweeps"]]
    return dict(docs[0], serve=dict(docs[0]["serve"], sweeps=sweeps))


def with_extra_sweeps(configs, key):
    """Our configuration with the points of its extra sweep added, so that
    QPS at a recall takes the better of the two searches."""
    return merged_sweeps(configs, (key, ALSO_OURS[key])) if key in configs else None


def load_raw(results_dir):
    docs = []
    for path in sorted(glob.glob(os.path.join(results_dir, "raw", "*", "*.json"))):
        with open(path) as f:
            docs.append(json.load(f))
    return docs


def label(doc):
    return f"{doc['library']}/{doc['variant']}"


def qps_at(doc, target, key="single_qps"):
    """Best QPS among the swept ef values whose recall reaches `target`."""
    ok = [s[key] for s in doc["serve"]["sweeps"] if s["recall"] >= target]
    return max(ok) if ok else None


def pareto(doc, key="single_qps"):
    points = sorted(((s["recall"], s[key]) for s in doc["serve"]["sweeps"]), key=lambda p: -p[0])
    front, best = [], -1.0
    for recall, qps in points:
        if qps > best:
            front.append((recall, qps))
            best = qps
    return sorted(front)


def first_ef_reaching(doc, target):
    for s in sorted(doc["serve"]["sweeps"], key=lambda s: s["ef"]):
        if s["recall"] >= target:
            return s
    return max(doc["serve"]["sweeps"], key=lambda s: s["ef"])


def fmt(v, digits=0, unit=""):
    if v is None:
        return "—"
    return f"{v:,.{digits}f}{unit}"


def ratio(a, b):
    return None if a is None or b is None or b == 0 else a / b


def fmt_ratio(r):
    return "—" if r is None else f"{r:.2f}x"


def mib(kib):
    return None if kib is None else kib / 1024


def groups(docs):
    out = {}
    for d in docs:
        out.setdefault((d["dataset"], d["m"]), {})[(d["library"], d["variant"])] = d
    return out


def main_table(configs):
    rows = ["| library/config | QPS@0.90 | QPS@0.95 | QPS@0.99 | max recall | build 1t s | build 2t s"
            " | snapshot MiB | load ms | read-once ms | first query ms | serve peak RSS MiB"
            " | build peak RSS MiB |",
            "|---|" + "---:|" * 12]
    for key, d in sorted(configs.items()):
        s, b1, b2 = d["serve"], d["build"]["1"], d["build"]["2"]
        rows.append(
            f"| {label(d)} | " + " | ".join(fmt(qps_at(d, t)) for t in RECALL_TARGETS) +
            f" | {max(x['recall'] for x in s['sweeps']):.4f} | {fmt(b1['build_seconds'], 2)}"
            f" | {fmt(b2['build_seconds'], 2)} | {fmt(s['snapshot_bytes'] / 2**20, 1)}"
            f" | {fmt(s['load_seconds'] * 1e3, 1)} | {fmt(s['read_once_seconds'] * 1e3, 1)}"
            f" | {fmt(s['first_query_seconds'] * 1e3, 2)} | {fmt(mib(s['peak_rss_kib']), 0)}"
            f" | {fmt(mib(b1['peak_rss_kib']), 0)} |")
    return rows


def batch_header(key):
    """`batch_t2_qps` -> `one batch, 2 threads`; `batch8_t1_qps` -> `8-row batches, 1 thread`."""
    size, threads = key[len("batch"):-len("_qps")].split("_t")
    n = int(threads)
    who = f"{size}-row batches" if size else "one batch"
    return f"{who}, {n} thread{'s' if n != 1 else ''} QPS"


def detail_table(d):
    sweeps = d["serve"]["sweeps"]
    extra = [k for k in sweeps[0] if k.startswith("batch")]
    rows = ["| ef | recall@10 | QPS 1 query/call | p50 µs | p99 µs | " +
            " | ".join(batch_header(k) for k in extra) + " |",
            "|---:|" + "---:|" * (4 + len(extra))]
    for s in sweeps:
        rows.append(f"| {s['ef']} | {s['recall']:.4f} | {fmt(s['single_qps'])} | {fmt(s['p50_us'], 1)}"
                    f" | {fmt(s['p99_us'], 1)} | " + " | ".join(fmt(s[k]) for k in extra) + " |")
    return rows


def ratio_lines(configs):
    """The comparisons the engine work is judged by, as `name: value` lines."""
    ours, sq8 = with_extra_sweeps(configs, OURS), with_extra_sweeps(configs, OURS_SQ8)
    peers = {"hnswlib": configs.get(("hnswlib", "float")),
             "faiss HNSWFlat": configs.get(("faiss", "hnswflat"))}
    quant_peers = {"faiss HNSWSQ8+refine": configs.get(("faiss", "hnswsq8-refine")),
                   "usearch i8": configs.get(("usearch", "i8"))}
    lines = []

    def against_peers(doc, name_of_ours):
        for t in (0.95, 0.99):
            for name, peer in peers.items():
                if peer:
                    lines.append(f"single-thread QPS at recall {t:.2f}, {name_of_ours} / {name}: "
                                 f"{fmt_ratio(ratio(qps_at(doc, t), qps_at(peer, t)))}")

    if ours:
        against_peers(ours, "dovadure")
    if sq8:
        for t in (0.90, 0.95):
            if ours:
                lines.append(f"SQ8 QPS at recall {t:.2f}, dovadure sq8 / dovadure float: "
                             f"{fmt_ratio(ratio(qps_at(sq8, t), qps_at(ours, t)))}")
            for name, peer in quant_peers.items():
                if peer:
                    lines.append(f"SQ8 QPS at recall {t:.2f}, dovadure sq8 / {name}: "
                                 f"{fmt_ratio(ratio(qps_at(sq8, t), qps_at(peer, t)))}")
    speed = merged_sweeps(configs, SPEED)
    if speed:
        against_peers(speed, "dovadure lean lists")
        b1, b2 = speed["build"]["1"]["build_seconds"], speed["build"]["2"]["build_seconds"]
        lines.append(f"lean-list build time 1 thread / 2 threads (speed-up): {fmt_ratio(ratio(b1, b2))}")
        hn = configs.get(("hnswlib", "float"))
        for t in ("1", "2") if hn else ():
            lines.append(f"build time with {t} thread(s), hnswlib / dovadure lean lists "
                         "(above 1: dovadure faster): "
                         f"{fmt_ratio(ratio(hn['build'][t]['build_seconds'], speed['build'][t]['build_seconds']))}")
    ours = configs.get(OURS)
    if ours:
        s = first_ef_reaching(ours, 0.95)
        lines.append(f"search_batch 2 threads / 1 thread (ef {s['ef']}): "
                     f"{fmt_ratio(ratio(s.get('batch_t2_qps'), s.get('batch_t1_qps')))}")
        lines.append(f"search_batch in batches of 8 rows, 2 threads / 1 thread (ef {s['ef']}): "
                     f"{fmt_ratio(ratio(s.get('batch8_t2_qps'), s.get('batch8_t1_qps')))}")
        lines.append(f"batches of 8 rows / one batch, 1 thread (ef {s['ef']}): "
                     f"{fmt_ratio(ratio(s.get('batch8_t1_qps'), s.get('batch_t1_qps')))}")
        b1, b2 = ours["build"]["1"]["build_seconds"], ours["build"]["2"]["build_seconds"]
        lines.append(f"dovadure build time 1 thread / 2 threads (speed-up): {fmt_ratio(ratio(b1, b2))}")
        hn = configs.get(("hnswlib", "float"))
        if hn:
            lines.append("build time with 2 threads, hnswlib / dovadure (above 1: dovadure faster): "
                         f"{fmt_ratio(ratio(hn['build']['2']['build_seconds'], b2))}")
        sv = ours["serve"]
        lines.append(f"load time / reading the snapshot once: "
                     f"{fmt_ratio(ratio(sv['load_seconds'], sv['read_once_seconds']))} "
                     f"({sv['load_seconds'] * 1e3:.1f} ms vs {sv['read_once_seconds'] * 1e3:.1f} ms)")
        if hn:
            lines.append("serve peak RSS, dovadure / hnswlib: "
                         f"{fmt_ratio(ratio(sv['peak_rss_kib'], hn['serve']['peak_rss_kib']))}")
    return lines


def plot(path, title, footer, configs):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(8, 5.5), dpi=110)
    for key, d in sorted(configs.items()):
        front = pareto(d)
        style = "-" if not d["quantised"] else "--"
        width = 2.5 if d["library"] == "dovadure" else 1.3
        ax.plot([p[0] for p in front], [p[1] for p in front], style, marker="o", markersize=3,
                linewidth=width, label=label(d))
    ax.set_yscale("log")
    ax.set_xlabel("recall@10 (ann-benchmarks rule, ε = 1e-3)")
    ax.set_ylabel("queries per second, 1 thread, 1 query per call")
    ax.set_title(title, fontsize=10)
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=8)
    fig.text(0.01, 0.005, footer, fontsize=6, color="0.35", va="bottom", wrap=True)
    fig.tight_layout(rect=(0, 0.04, 1, 1))
    fig.savefig(path)
    plt.close(fig)


def write(results_dir, log=print):
    docs = load_raw(results_dir)
    if not docs:
        log(f"no raw results under {results_dir}/raw")
        return []
    written = []
    # Documents come in file order; the last run is the one that finished last.
    info = max(docs, key=lambda d: d.get("finished_at", ""))["machine"]
    lines = ["# Side-by-side ANN benchmark", "",
             "Produced by `bash bench/run_peers.sh`; raw per-run JSON in `raw/`. "
             "QPS is single-threaded, one query per call, k = 10, after 1 000 warm-up queries "
             "(runs from before 2026-12-09 had 50 per ef only); recall@10 counts a result when "
             "its true distance is within 1e-3 of the 10th true distance. QPS@r is the best QPS of "
             "the swept ef values that reach recall r (— when none does). The batch columns "
             "(search_batch or the library's own batch call) run at most the first 2 000 queries. "
             "dovadure/float-p0 and dovadure/sq8-p0 search the same indexes as dovadure/float and "
             "dovadure/sq8 with the module's `patience=0` (stop at the first candidate that cannot "
             "improve the results, the usual HNSW rule; the default 2 looks two further) at ef 10, "
             "16 and 32; the dovadure ratios take the better of the two searches at each recall. "
             "dovadure/lean, lean-p0 and lean-cap search one index built with "
             "`--lean-lists`, searched with the default knobs, with `patience=0` and with "
             "`patience=0, scan_cap=m`; its ratios take the best of the three at each recall.",
             "",
             *(["**Quick smoke run** (subsets of at most 5000 points and 200 queries, m = 16, a "
                "few ef values): it shows that the harness works, not how fast anything is.", ""]
               if any("quick subset" in d["dataset_meta"]["description"] for d in docs) else []),
             f"**Machine of the last run:** {machine.one_line(info)}; load average "
             f"{', '.join(f'{x:.2f}' for x in info['load_avg'])} when the last run finished "
             "(other work on the machine makes every figure noisier)", "",
             "## Libraries", "", "| library/config | version | SIMD path |", "|---|---|---|"]
    # Each library as its most recent run found it (older runs of other
    # datasets may have had an older build).
    seen = {}
    for d in sorted(docs, key=lambda d: d["finished_at"]):
        seen[label(d)] = d
    for name, d in sorted(seen.items()):
        lines.append(f"| {name} | {d['version']} | {d['serve']['simd']} |")
    details = {}
    for (ds, m), configs in sorted(groups(docs).items()):
        meta = next(iter(configs.values()))["dataset_meta"]
        lines += ["", f"## {ds}, m = {m}, ef_construction = "
                  f"{next(iter(configs.values()))['ef_construction']}", "",
                  f"{meta['description']}; {meta['base']} x {meta['dim']}, {meta['queries']} queries, "
                  f"{meta['metric']}.", ""]
        # Ratios compare runs of one machine; a group measured on several
        # (a grid resumed elsewhere) says so.
        cpus = sorted({d["machine"]["cpu"] for d in configs.values()})
        lines += [f"Measured on: {'; '.join(cpus)}"
                  + (" (mixed machines: ratios are not like for like)" if len(cpus) > 1 else "")
                  + ".", ""]
        lines += main_table(configs)
        ratios = ratio_lines(configs)
        if ratios:
            lines += ["", "Ratios (one run):", ""] + [f"- {r}" for r in ratios]
        png = f"{ds}-m{m}.png"
        first = next(iter(configs.values()))
        versions = "; ".join(f"{label(d)} {d['version']}" for _, d in sorted(configs.items()))
        plot(os.path.join(results_dir, png),
             f"{ds}: recall@10 vs QPS, m = {m}, ef_construction = {first['ef_construction']}, "
             f"{meta['base']} points",
             f"{machine.one_line(first['machine'])}\n{versions}; run {first['finished_at']}",
             configs)
        written.append(os.path.join(results_dir, png))
        lines += ["", f"![recall vs QPS]({png})"]
        det = details.setdefault(ds, [f"# {ds}: every swept ef", ""])
        for key, d in sorted(configs.items()):
            det += ["", f"## {label(d)}, m = {m}", ""] + detail_table(d)
    versions = ", ".join(f"{k} {v}" for k, v in sorted(info["versions"].items()) if v)
    lines += ["", f"Versions at the last run: {versions}."]
    for ds, det in details.items():
        path = os.path.join(results_dir, f"details-{ds}.md")
        with open(path, "w") as f:
            f.write("\n".join(det) + "\n")
        written.append(path)
        lines.append(f"Per-ef tables: [details-{ds}.md](details-{ds}.md).")
    path = os.path.join(results_dir, "summary.md")
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")
    written.insert(0, path)
    print("\n".join(l for l in lines if l.startswith("- ") or l.startswith("## ")))
    return written
