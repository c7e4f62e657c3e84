"""The vivudu write side: build and Writer against the tool and the reader."""

import inspect
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import dovadure
import vivudu
from segment_model import Model

CLI = os.environ.get("DOVADURE_CLI") or shutil.which("dovadure")
needs_cli = pytest.mark.skipif(CLI is None, reason="dovadure tool not found (set DOVADURE_CLI)")


def rows(n, dim=8, seed=0):
    return np.random.default_rng(seed).standard_normal((n, dim)).astype(np.float32)


def listing(snap):
    """Live points and payloads as the tool lists them: {id: payload or None}."""
    out = subprocess.run([CLI, "list", str(snap), "--payloads"], capture_output=True, text=True,
                         check=True).stdout
    return {int(pid): json.loads(p) for pid, p in (line.split("\t", 1) for line in out.splitlines())}


def files_of(snap):
    return {p.name: p.read_bytes() for p in sorted(snap.parent.iterdir()) if p.suffix in (".snap", ".wal")}


@pytest.fixture
def seg(tmp_path):
    """60 points (ids 0..59) with payloads, and a log started by one upsert."""
    snap = tmp_path / "seg.snap"
    vivudu.build(snap, rows(60), metric="cosine", m=8, ef_construction=40,
                 payloads=[{"group": i % 3} for i in range(60)])
    with vivudu.Writer(snap) as w:
        w.upsert(rows(2, seed=5), ids=[100, 101])
    return snap


# ----------------------------------------------------------------- surface


def test_signatures_and_docstrings():
    sig = inspect.signature(vivudu.build)
    assert list(sig.parameters)[:2] == ["path", "vectors"]
    assert sig.parameters["metric"].kind is inspect.Parameter.KEYWORD_ONLY
    assert sig.parameters["threads"].default == 1
    assert str(inspect.signature(vivudu.Writer)) == "(path: 'PathLike', *, wait: 'float' = 30.0) -> 'None'"
    for name in ("upsert", "delete", "set_payload", "compact", "close"):
        assert getattr(vivudu.Writer, name).__doc__, name
    # The specified module keeps its one public name.
    assert [n for n in dir(dovadure) if not n.startswith("_")] == ["Index"]


@needs_cli
@pytest.mark.parametrize("metric,threads", [("euclidean", 1), ("cosine", 2), ("dot", 1)])
def test_build_matches_the_tool(tmp_path, metric, threads):
    n = 300
    data = rows(n, dim=12, seed=1)
    ids = np.arange(1000, 1000 + n, dtype=np.uint64)[::-1].copy()
    payloads = [{"k": i % 5, "name": f"p{i}", "tags": ["a", "b"][: i % 3], "w": [1, 2.5]} if i % 4 else None
                for i in range(n)]
    np.save(tmp_path / "v.npy", data)
    np.save(tmp_path / "ids.npy", ids)
    with open(tmp_path / "p.jsonl", "w") as f:
        f.writelines(json.dumps(p) + "\n" for p in payloads)
    subprocess.run([CLI, "build", str(tmp_path / "tool.snap"), "--vectors", str(tmp_path / "v.npy"),
                    "--ids", str(tmp_path / "ids.npy"), "--payloads", str(tmp_path / "p.jsonl"),
                    "--metric", metric, "--m", "8", "--ef-construction", "64"], check=True,
                   capture_output=True)
    # A list input and int64 ids are converted once, the same way.
    assert vivudu.build(tmp_path / "py.snap", data.tolist(), ids=ids.astype(np.int64), payloads=payloads,
                        metric=metric, m=8, ef_construction=64, threads=threads) == n
    assert listing(tmp_path / "py.snap") == listing(tmp_path / "tool.snap")
    tool, py = dovadure.Index(str(tmp_path / "tool.snap")), dovadure.Index(str(tmp_path / "py.snap"))
    for q in rows(20, dim=12, seed=2):
        # ef above the point count makes both searches exact.
        a, b = tool.search(q, k=10, ef=n), py.search(q, k=10, ef=n)
        np.testing.assert_array_equal(a[0], b[0])
        np.testing.assert_array_equal(a[1], b[1])


def clustered(n, dim, seed):
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((40, dim))
    return (centres[rng.integers(0, 40, n)] + 0.3 * rng.standard_normal((n, dim))).astype(np.float32)


@pytest.mark.parametrize("builder,threads", [("python", 1), ("python", 2), pytest.param("tool", 1, marks=needs_cli)])
def test_lean_lists_build(tmp_path, builder, threads):
    n, dim = 3000, 24
    points = clustered(n + 100, dim, seed=3)
    data, queries = points[:n], points[n:]
    truth = np.argsort(((queries[:, None, :] - data[None, :, :]) ** 2).sum(-1), axis=1)[:, :10]
    paths = {}
    for lean in (False, True):
        paths[lean] = tmp_path / f"lean{int(lean)}.snap"
        if builder == "python":
            vivudu.build(paths[lean], data, metric="euclidean", m=8, ef_construction=100, threads=threads,
                         lean_lists=lean)
        else:
            np.save(tmp_path / "v.npy", data)
            subprocess.run([CLI, "build", str(paths[lean]), "--vectors", str(tmp_path / "v.npy"),
                            "--metric", "euclidean", "--m", "8", "--ef-construction", "100"]
                           + (["--lean-lists"] if lean else []), check=True, capture_output=True)
    # Lean lists hold fewer entries, so the snapshot is smaller.
    assert paths[True].stat().st_size < 0.9 * paths[False].stat().st_size
    index = dovadure.Index(str(paths[True]))
    found = index.search_batch(queries, k=10, ef=16)[0].astype(np.int64)
    recall = np.mean([len(set(f) & set(t)) / 10 for f, t in zip(found, truth)])
    assert recall >= 0.95, recall
    # Later writes to a lean segment go through the log like any other.
    with vivudu.Writer(paths[True]) as w:
        w.upsert(queries[:5], ids=np.arange(10_000, 10_005, dtype=np.uint64))
        w.delete(np.arange(0, 50, dtype=np.uint64))
    index = dovadure.Index(str(paths[True]))
    assert len(index) == n + 5
    ids = index.search_batch(queries[:5], k=1, ef=64)[0][:, 0]
    assert ids.tolist() == list(range(10_000, 10_005))
    assert not set(index.search_batch(data[:50], k=10, ef=64)[0].ravel().tolist()) & set(range(50))


def test_build_refuses_an_existing_segment_unless_overwritten(seg):
    before = files_of(seg)
    with pytest.raises(FileExistsError, match="pass overwrite=True"):
        vivudu.build(seg, rows(3), metric="dot")
    assert files_of(seg) == before
    vivudu.build(seg, rows(3), metric="dot", overwrite=True)
    assert not seg.with_suffix(".wal").exists()  # the old log belonged to the old segment
    assert len(dovadure.Index(str(seg))) == 3
    assert not list(seg.parent.glob("*.tmp"))


# --------------------------------------------------------------- refusals

BAD_PAYLOAD_ROW = [{"a": 1}] * 500 + [{"a": {1, 2}}] + [{"a": 1}] * 499


@pytest.mark.parametrize("call,error,text", [
    (lambda w: w.upsert(rows(1, seed=9), ids=[3]), ValueError, "id 3 already exists with a different vector"),
    (lambda w: w.upsert(rows(1, seed=9), ids=[7]), ValueError, "id 7 belongs to a deleted point"),
    (lambda w: w.upsert(rows(2), ids=[200, 200]), ValueError, "ids: duplicate id 200 at positions 0 and 1"),
    (lambda w: w.upsert(rows(2), ids=[200, -1]), ValueError, r"ids\[1\] is negative \(-1\)"),
    (lambda w: w.upsert(rows(2), ids=[200]), ValueError, "ids holds 1 ids but vectors holds 2 rows"),
    (lambda w: w.upsert(rows(2, dim=9)), ValueError, "vectors have dimension 9, the segment's dimension is 8"),
    (lambda w: w.upsert(np.array([[0.0] * 7 + [np.inf]] * 2)), ValueError, "vectors: vector 0 holds a non-finite"),
    (lambda w: w.upsert(rows(1)[0]), ValueError, r"vectors must be a 2-D array of shape \(rows, dim\), got shape \(8,\)"),
    (lambda w: w.upsert(rows(1000), payloads=BAD_PAYLOAD_ROW), TypeError,
     r"payloads\[500\]\['a'\]: a value of type 'set' is not a payload value \(expected int, float"),
    (lambda w: w.upsert(rows(2), payloads=[{"a": [1, "x"]}, None]), ValueError,
     r"payloads\[0\]\['a'\]\[1\]: list elements must all be of one kind"),
    (lambda w: w.upsert(rows(2), payloads=[None, {"a": [True, 1]}]), ValueError,
     r"payloads\[1\]\['a'\]\[1\]: list elements must all be of one kind"),
    (lambda w: w.upsert(rows(2), payloads=[None, {"a": "\ud800"}]), ValueError, "not valid UTF-8"),
    (lambda w: w.upsert(rows(2), payloads=[None]), ValueError, "payloads holds 1 entries but vectors holds 2 rows"),
    (lambda w: w.set_payload(7, {"a": 1}), KeyError, "7"),
    (lambda w: w.set_payload(3, {"a": None}), ValueError, r"payload\['a'\]: None is not a payload value"),
])
def test_refused_calls_leave_the_files_unchanged(seg, call, error, text):
    with vivudu.Writer(seg) as w:
        w.delete([7])
        before = files_of(seg)
        count = len(w)
        with pytest.raises(error, match=text):
            call(w)
        assert files_of(seg) == before
        assert len(w) == count
        # The writer goes on after a refusal.
        w.upsert(rows(1, seed=77), ids=[500])
    assert 500 in dovadure.Index(str(seg)).search(rows(1, seed=77)[0], k=1, ef=100)[0]


# ------------------------------------------------------------- mutations


def test_writer_round_trip(seg):
    with vivudu.Writer(seg) as w:
        assert (len(w), w.dim, w.metric) == (62, 8, "cosine")
        new = w.upsert(rows(3, seed=8), payloads=[{"n": 1}, None, {"l": [1, 2.5], "b": np.bool_(True)}])
        assert new.dtype == np.uint64 and new.tolist() == [102, 103, 104]  # after the largest id
        # Same vector, new payload: an update; no payload keeps the stored one.
        w.upsert(rows(60)[[4, 5]], ids=[4, 5], payloads=[{"renamed": np.int64(4)}, None])
        w.set_payload(6, {"s": "x"})
        assert w.delete(np.array([1, 2, 999], dtype=np.uint64)) == 2
        assert w.delete(2) == 0
        assert len(w) == 63
        w.compact()
        assert seg.with_suffix(".wal").stat().st_size == 8
        w.compact(purge=True)
        w.upsert(rows(1, seed=9), ids=[1])  # a purged id is free again
        w.upsert(rows(1, seed=10), ids=[2**64 - 1])
    index = dovadure.Index(str(seg))
    assert len(index) == 65
    if CLI:
        got = listing(seg)
        assert got[4] == {"renamed": 4} and got[5] == {"group": 2} and got[6] == {"s": "x"}
        assert got[104] == {"l": [1.0, 2.5], "b": True} and got[103] is None
        assert 2 not in got and 2**64 - 1 in got
    with pytest.raises(ValueError, match="the writer is closed"):
        w.upsert(rows(1))


def test_lock_is_shared_with_the_tool_and_other_writers(seg):
    with vivudu.Writer(seg):
        started = time.monotonic()
        with pytest.raises(TimeoutError, match="is locked by another writer"):
            vivudu.Writer(seg, wait=0.3)
        assert 0.25 < time.monotonic() - started < 5
        if CLI:
            proc = subprocess.run([CLI, "delete", str(seg), "--id", "1", "--wait", "0"],
                                  capture_output=True, text=True)
            assert proc.returncode == 1 and "is locked by another writer" in proc.stderr
    # A Writer waits for the tool's lock and gets it once the tool is done.
    holder = subprocess.Popen([sys.executable, "-c", HOLD_LOCK, str(seg)], stdout=subprocess.PIPE)
    assert holder.stdout.readline() == b"locked\n"
    started = time.monotonic()
    with vivudu.Writer(seg, wait=10) as w:
        assert time.monotonic() - started > 0.3
        assert len(w) == 62
    holder.wait(timeout=10)


HOLD_LOCK = """
import sys, time, vivudu
with vivudu.Writer(sys.argv[1]):
    print("locked", flush=True)
    time.sleep(0.6)
"""


def test_native_work_releases_the_interpreter_lock(tmp_path):
    ticks = []
    done = threading.Event()

    def tick():
        while not done.is_set():
            ticks.append(1)
            time.sleep(0.001)

    t = threading.Thread(target=tick)
    t.start()
    vivudu.build(tmp_path / "g.snap", rows(3000, dim=32), metric="euclidean", ef_construction=100)
    before = len(ticks)
    with vivudu.Writer(tmp_path / "g.snap") as w:
        w.upsert(rows(1500, dim=32, seed=3))
    done.set()
    t.join()
    assert before > 20 and len(ticks) - before > 10, (before, len(ticks))


# ------------------------------------------------------- other processes

APPENDER = """
import sys, numpy as np, vivudu
with vivudu.Writer(sys.argv[1]) as w:
    for b in range(40):
        w.upsert(np.random.default_rng(b).standard_normal((25, 8)).astype(np.float32))
        print(b, flush=True)
"""


def test_index_loads_beside_a_writer_in_another_process(seg):
    proc = subprocess.Popen([sys.executable, "-c", APPENDER, str(seg)], stdout=subprocess.PIPE)
    sizes = []
    while proc.poll() is None:
        sizes.append(len(dovadure.Index(str(seg))))
    proc.wait(timeout=60)
    assert proc.returncode == 0
    sizes.append(len(dovadure.Index(str(seg))))
    # The log is appended point by point, so a load may end inside a batch;
    # it always sees a prefix of the appends, and the last load sees them all.
    assert sizes == sorted(sizes) and sizes[-1] == 62 + 40 * 25
    assert len(set(sizes)) > 2, "no load ran while the writer appended"


CRASH_CHILD = """
import json, sys, numpy as np, vivudu
with vivudu.Writer(sys.argv[1]) as w:
    print("ready", flush=True)
    for line in sys.stdin:
        op = json.loads(line)
        try:
            if op["kind"] in ("insert", "reinsert", "update"):
                w.upsert(np.array(op["vectors"], np.float32), ids=op["ids"], payloads=op["payloads"])
            elif op["kind"] == "delete":
                w.delete(op["ids"])
            else:
                w.compact(purge=op["kind"] == "purge")
            print("ok", flush=True)
        except ValueError as e:
            print("refused", e, flush=True)
"""


@needs_cli
def test_killed_writer_loses_no_acknowledged_batch(tmp_path):
    """SIGKILL a Python writer at random moments during upserts, deletes and
    compactions; every batch that returned survives, nothing else appears."""
    rng = random.Random(99)
    model = Model(60)
    snap = tmp_path / "c.snap"
    vivudu.build(snap, np.stack([model.vectors[i] for i in range(60)]), metric="euclidean", m=4,
                 ef_construction=16)
    env = dict(os.environ, DOROVOZU_WAL_FSYNC="0")  # kills, not power loss
    deadline = time.monotonic() + 6.0
    rounds = kills = 0
    while time.monotonic() < deadline or kills < 3:
        assert rounds < 400, "the writer was never killed"
        child = subprocess.Popen([sys.executable, "-c", CRASH_CHILD, str(snap)], stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, env=env)
        assert child.stdout.readline() == b"ready\n"
        # Each child runs a few operations; the kill lands inside a random one.
        kill_after = rng.randrange(1, 12)
        for i in range(kill_after):
            rounds += 1
            op = model.plan(rng, rounds)
            if op is None:
                continue
            line = {"kind": op.kind, "ids": op.ids, "payloads": op.payloads,
                    "vectors": [v.tolist() for v in op.vectors]}
            child.stdin.write((json.dumps(line) + "\n").encode())
            child.stdin.flush()
            if i == kill_after - 1:
                time.sleep(rng.uniform(0.0, 0.004))
                child.kill()
                kills += 1
                answer = child.stdout.readline()
                if answer.startswith(b"ok"):
                    model.record(op, True)
                elif not answer.startswith(b"refused"):
                    model.record(op, False)  # in flight when killed
                break
            answer = child.stdout.readline()
            if answer.startswith(b"refused"):
                assert op.kind == "reinsert" and b"deleted point" in answer, answer
            else:
                assert answer.startswith(b"ok"), answer
                model.record(op, True)
        child.kill()
        child.wait()
        model.check_and_settle(listing(snap))
    assert kills >= 3
