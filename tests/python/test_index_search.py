"""What `search` and `search_batch` return: clamping, padding, thread counts,
SQ8 screening, exact fallback against brute force, deleted points and the
read-only replay of the write-ahead log."""

import json
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import dovadure
import snapshot_writer as sw

D = 16
PAD_ID = 2**64 - 1
HERE = os.path.dirname(os.path.abspath(__file__))


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(11)
    centres = rng.standard_normal((20, D)).astype(np.float32) * 4
    return (centres[rng.integers(0, 20, 1500)] + rng.standard_normal((1500, D))).astype(np.float32)


@pytest.fixture(scope="module")
def queries(data):
    rng = np.random.default_rng(12)
    return (data[rng.integers(0, len(data), 60)] + 0.3 * rng.standard_normal((60, D))).astype(
        np.float32
    )


@pytest.fixture(scope="module")
def snap(tmp_path_factory, data):
    return sw.write_knn_snapshot(tmp_path_factory.mktemp("search") / "seg.snap", data)


@pytest.fixture(scope="module")
def index(snap):
    return dovadure.Index(snap)


@pytest.fixture(scope="module")
def tiny(tmp_path_factory):
    points = np.random.default_rng(3).standard_normal((5, D)).astype(np.float32)
    path = tmp_path_factory.mktemp("tiny") / "tiny.snap"
    sw.write_snapshot(path, sw.complete_graph(points))
    return str(path), points


def run_child(code, env_extra, tmp_path):
    """Runs `code` in a fresh interpreter (knobs are read once per process)."""
    env = dict(os.environ)
    env.update(env_extra)
    env["PYTHONPATH"] = os.pathsep.join([HERE] + sys.path)
    out = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        env=env, cwd=tmp_path, capture_output=True, text=True, timeout=300,
    )
    assert out.returncode == 0, out.stderr
    return out.stdout


class TestClamping:
    def test_small_index_returns_at_most_its_points(self, tiny):
        path, points = tiny
        index = dovadure.Index(path)
        ids, scores = index.search(points[0], k=20)
        assert sorted(ids.tolist()) == [0, 1, 2, 3, 4]
        assert ids[0] == 0 and scores[0] == 0.0
        assert np.all(np.diff(scores) >= 0)

    def test_beam_width_passed_down(self, tiny, tmp_path):
        # The search trace records k' in its "start" record and the beam
        # width in the record that ends the layer-0 search.
        path, _ = tiny
        trace = tmp_path / "trace.jsonl"
        run_child(
            f"""
            import numpy as np, dovadure
            index = dovadure.Index({path!r})
            q = np.ones({D}, dtype=np.float32)
            for k, ef in [(20, 128), (3, 1), (2, 4), (1, 0)]:
                index.search(q, k=k, ef=ef)
            index.search_batch(q[None, :], k=8, ef=1)
            """,
            {"DOROVOZU_SEARCH_TRACE_LOG": str(trace), "DOROVOZU_TRACE_EVERY": "1"},
            tmp_path,
        )
        records = [json.loads(line) for line in trace.read_text().splitlines()]
        starts = [r["ef_search"] for r in records if r["stop_reason"] == "start"]
        ends = [
            r["ef_search"]
            for r in records
            if r["stop_reason"] in ("queue_empty", "expansion_cap", "early_exit_patience")
        ]
        assert starts == [5, 3, 2, 1, 5]
        assert ends == [5, 3, 4, 1, 5]

    def test_empty_index(self, tmp_path):
        path = tmp_path / "empty.snap"
        sw.write_snapshot(path, sw.Graph(dim=D))
        index = dovadure.Index(str(path))
        assert len(index) == 0 and index.dim() == D
        ids, scores = index.search(np.ones(D, dtype=np.float32), k=5)
        assert ids.shape == (0,) and scores.shape == (0,)
        ids, scores = index.search_batch(np.ones((2, D), dtype=np.float32), k=3, threads=2)
        assert (ids == PAD_ID).all() and np.isnan(scores).all()


class TestPadding:
    def test_short_rows_are_padded(self, tiny):
        path, points = tiny
        index = dovadure.Index(path)
        ids, scores = index.search_batch(points[:4], k=8)
        assert ids.shape == (4, 8) and ids.dtype == np.uint64
        assert scores.shape == (4, 8) and scores.dtype == np.float32
        assert ids.flags.c_contiguous and scores.flags.c_contiguous
        assert (ids[:, 5:] == PAD_ID).all()
        assert (scores[:, 5:].view(np.uint32) == 0x7FC00000).all()
        for row in range(4):
            one_ids, one_scores = index.search(points[row], k=8)
            np.testing.assert_array_equal(ids[row, :5], one_ids)
            np.testing.assert_array_equal(scores[row, :5], one_scores)

    def test_largest_accepted_output(self, tiny):
        # 12 * 89478485 = 1073741820 bytes: just below the limit.
        path, points = tiny
        index = dovadure.Index(path)
        ids, scores = index.search_batch(points[:1], k=89478485)
        assert ids.shape == (1, 89478485)
        assert sorted(ids[0, :5].tolist()) == [0, 1, 2, 3, 4]
        assert ids[0, 5] == PAD_ID and ids[0, -1] == PAD_ID and np.isnan(scores[0, -1])
        del ids, scores


class TestBatchMatchesSingle:
    @pytest.mark.parametrize("kwargs", [{}, {"k": 7, "ef": 20}, {"k": 10, "scan_cap": 4},
                                        {"k": 10, "patience": 0}])
    def test_threads_give_identical_results(self, index, queries, kwargs):
        expected_ids = []
        expected_scores = []
        k = kwargs.get("k", 20)
        for q in queries:
            ids, scores = index.search(q, **kwargs)
            pad = k - len(ids)
            expected_ids.append(np.concatenate([ids, np.full(pad, PAD_ID, np.uint64)]))
            expected_scores.append(np.concatenate([scores, np.full(pad, np.nan, np.float32)]))
        expected_ids = np.array(expected_ids)
        expected_scores = np.array(expected_scores)
        for threads in (0, 1, 2, 8):
            ids, scores = index.search_batch(queries, threads=threads, **kwargs)
            np.testing.assert_array_equal(ids, expected_ids)
            np.testing.assert_array_equal(scores, expected_scores)

    @pytest.mark.parametrize("rows", [1, 2, 3, 10, 11])
    def test_row_blocks_keep_row_order(self, index, queries, rows):
        sequential = index.search_batch(queries[:rows], k=5, threads=1)
        parallel = index.search_batch(queries[:rows], k=5, threads=8)
        np.testing.assert_array_equal(sequential[0], parallel[0])
        np.testing.assert_array_equal(sequential[1], parallel[1])

    def test_results_are_close_to_exact(self, index, data, queries):
        ids, _ = index.search_batch(queries, k=10, ef=64, threads=2)
        hits = 0
        for q, row in zip(queries, ids):
            truth = np.argsort(sw.sort_keys(data, q, "euclidean"), kind="stable")[:10]
            hits += len(set(truth.tolist()) & set(row.tolist()))
        assert hits / (10 * len(queries)) >= 0.9


class TestQuantized:
    def test_sq8_screen_on_a_quantized_index(self, snap, data, queries, index):
        quantized = dovadure.Index(snap, quantize=True)
        hits = 0
        for q in queries:
            ids, scores = quantized.search(q, k=10, sq8_screen=True)
            assert len(ids) == 10
            truth = np.argsort(sw.sort_keys(data, q, "euclidean"), kind="stable")[:10]
            hits += len(set(truth.tolist()) & set(ids.tolist()))
            # Scores are exact raw scores of the returned points.
            np.testing.assert_allclose(
                scores, sw.raw_scores(data[ids.astype(np.int64)], q, "euclidean"), rtol=1e-4,
                atol=1e-4)
        assert hits / (10 * len(queries)) >= 0.8
        batch_ids, _ = quantized.search_batch(queries, k=10, sq8_screen=True, threads=2)
        for q, row in zip(queries, batch_ids):
            np.testing.assert_array_equal(row, quantized.search(q, k=10, sq8_screen=True)[0])

    def test_quantizing_does_not_change_float_search(self, snap, queries, index):
        quantized = dovadure.Index(snap, quantize=True)
        for q in queries[:10]:
            a = quantized.search(q, k=10)
            b = index.search(q, k=10)
            np.testing.assert_array_equal(a[0], b[0])
            np.testing.assert_array_equal(a[1], b[1])


EXACT_CHILD = """
import json, numpy as np, dovadure, snapshot_writer as sw
rng = np.random.default_rng(5)
# 250 points: under the default exact-scan threshold of 256 live points.
data = rng.standard_normal((250, 12)).astype(np.float32)
queries = rng.standard_normal((25, 12)).astype(np.float32)
report = {}
for metric in ("cosine", "dot", "euclidean"):
    # Layer 0 without edges: only the exact scan can find the neighbours.
    g = sw.knn_graph(data, metric=metric, degree=0, upper_every=10**9)
    sw.write_snapshot(metric + ".snap", g)
    index = dovadure.Index(metric + ".snap")
    stored = sw.stored_vectors(data, metric)
    bad = 0
    batch_ids, batch_scores = index.search_batch(queries, k=10, threads=2)
    for row, q in enumerate(queries):
        keys = sw.sort_keys(stored, q, metric)
        truth = np.lexsort((np.arange(len(keys)), keys))[:10]
        ids, scores = index.search(q, k=10)
        ok = (ids.tolist() == truth.tolist()
              and np.allclose(scores, sw.raw_scores(stored, q, metric)[truth], rtol=1e-4, atol=1e-5)
              and batch_ids[row].tolist() == ids.tolist())
        bad += not ok
    report[metric] = bad
print(json.dumps(report))
"""


class TestExactFallback:
    def test_results_equal_brute_force_for_every_metric(self, tmp_path):
        out = run_child(EXACT_CHILD, {"DOROVOZU_EXACT_FALLBACK_ENABLED": "1"}, tmp_path)
        assert json.loads(out) == {"cosine": 0, "dot": 0, "euclidean": 0}

    def test_graph_search_without_the_switch(self, tmp_path):
        # The same edgeless graph without exact fallback finds only the entry.
        env = {"DOROVOZU_EXACT_FALLBACK_ENABLED": "0"}
        out = run_child(EXACT_CHILD, env, tmp_path)
        assert json.loads(out) == {"cosine": 25, "dot": 25, "euclidean": 25}


class TestDeletedAndIds:
    def test_deleted_points_never_returned(self, tmp_path, data, queries):
        g = sw.knn_graph(data[:400])
        g.deleted = set(range(0, 400, 3)) - {0}
        path = tmp_path / "del.snap"
        sw.write_snapshot(path, g)
        index = dovadure.Index(str(path))
        assert len(index) == 400  # deleted nodes still count
        ids, _ = index.search_batch(queries, k=30, threads=2)
        returned = set(ids[ids != PAD_ID].tolist())
        assert returned and not (returned & g.deleted)

    def test_large_point_ids_round_trip(self, tmp_path, data):
        ids_in = [2**64 - 2 - i * 7919 for i in range(50)]
        path = tmp_path / "ids.snap"
        sw.write_snapshot(path, sw.knn_graph(data[:50], ids=ids_in))
        index = dovadure.Index(str(path))
        ids, scores = index.search(data[17], k=1)
        assert ids.tolist() == [ids_in[17]] and scores[0] == 0.0


class TestLogReplay:
    def test_replay_applies_records_without_touching_files(self, tmp_path, data):
        snap = tmp_path / "seg.snap"
        sw.write_snapshot(snap, sw.knn_graph(data[:200]))
        wal = tmp_path / "seg.wal"
        wal.write_bytes(sw.encode_wal([sw.wal_insert(5000, data[300]), sw.wal_delete(7)]))
        before = {p.name: (p.read_bytes(), p.stat().st_mtime_ns) for p in tmp_path.iterdir()}
        index = dovadure.Index(str(snap))
        assert len(index) == 201
        ids, scores = index.search(data[300], k=3)
        assert ids[0] == 5000 and scores[0] == 0.0
        assert 7 not in index.search(data[7], k=20)[0].tolist()
        after = {p.name: (p.read_bytes(), p.stat().st_mtime_ns) for p in tmp_path.iterdir()}
        assert after == before

    def test_empty_log_gets_no_header(self, tmp_path, data):
        snap = tmp_path / "seg.snap"
        sw.write_snapshot(snap, sw.knn_graph(data[:50]))
        wal = tmp_path / "seg.wal"
        wal.write_bytes(b"")
        assert len(dovadure.Index(str(snap))) == 50
        assert wal.read_bytes() == b""
        assert sorted(p.name for p in tmp_path.iterdir()) == ["seg.snap", "seg.wal"]

    def test_replay_can_be_switched_off(self, tmp_path, data):
        snap = tmp_path / "seg.snap"
        sw.write_snapshot(snap, sw.knn_graph(data[:50]))
        (tmp_path / "seg.wal").write_bytes(sw.encode_wal([sw.wal_insert(900, data[60])]))
        code = f"import dovadure; print(len(dovadure.Index({str(snap)!r})))"
        assert run_child(code, {"DOROVOZU_WAL_AUTO_REPLAY": "FALSE"}, tmp_path).strip() == "50"
        assert run_child(code, {"DOROVOZU_WAL_AUTO_REPLAY": "0 "}, tmp_path).strip() == "51"

    def test_corrupt_log_fails_the_load(self, tmp_path, data):
        snap = tmp_path / "seg.snap"
        sw.write_snapshot(snap, sw.knn_graph(data[:50]))
        wal = bytearray(sw.encode_wal([sw.wal_insert(900, data[60]), sw.wal_delete(3)]))
        wal[12] ^= 0x01  # inside the first record: its checksum no longer matches
        (tmp_path / "seg.wal").write_bytes(bytes(wal))
        with pytest.raises(RuntimeError, match="^WAL corruption: "):
            dovadure.Index(str(snap))

    def test_wrong_dimension_in_log_fails_the_load(self, tmp_path, data):
        snap = tmp_path / "seg.snap"
        sw.write_snapshot(snap, sw.knn_graph(data[:50]))
        (tmp_path / "seg.wal").write_bytes(sw.encode_wal([sw.wal_insert(900, data[60][:3])]))
        with pytest.raises(RuntimeError) as e:
            dovadure.Index(str(snap))
        assert str(e.value) == f"Vector length mismatch: expected {D}, got 3"
