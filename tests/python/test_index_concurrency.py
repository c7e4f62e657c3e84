"""Many Python threads on one Index, indexes dropped while others search,
queries mutated during searches, and reference leaks over many calls."""

import gc
import os
import sys
import threading

import numpy as np
import pytest

import dovadure
import snapshot_writer as sw

D = 24


@pytest.fixture(scope="module")
def data():
    return np.random.default_rng(21).standard_normal((3000, D)).astype(np.float32)


@pytest.fixture(scope="module")
def queries():
    return np.random.default_rng(22).standard_normal((200, D)).astype(np.float32)


@pytest.fixture(scope="module")
def snap(tmp_path_factory, data):
    return sw.write_knn_snapshot(tmp_path_factory.mktemp("conc") / "seg.snap", data)


@pytest.fixture(scope="module")
def index(snap):
    return dovadure.Index(snap)


def run_threads(target, count):
    errors = []

    def guarded(i):
        try:
            target(i)
        except BaseException as e:  # reported to the main thread below
            errors.append(e)

    threads = [threading.Thread(target=guarded, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class TestConcurrentSearches:
    def test_eight_threads_match_sequential_results(self, index, queries):
        expected = [index.search(q, k=10) for q in queries]
        expected_batch = index.search_batch(queries, k=10)

        def worker(i):
            for round_ in range(3):
                order = range(len(queries)) if (i + round_) % 2 else reversed(range(len(queries)))
                for j in order:
                    ids, scores = index.search(queries[j], k=10)
                    np.testing.assert_array_equal(ids, expected[j][0])
                    np.testing.assert_array_equal(scores, expected[j][1])
                ids, scores = index.search_batch(queries, k=10, threads=1 + i % 3)
                np.testing.assert_array_equal(ids, expected_batch[0])
                np.testing.assert_array_equal(scores, expected_batch[1])

        run_threads(worker, 8)

    def test_free_for_all_of_searches_and_drops(self, snap, queries):
        shared = dovadure.Index(snap)
        expected = shared.search_batch(queries[:20], k=5)

        def worker(i):
            for round_ in range(6):
                if i % 2:
                    own = dovadure.Index(snap, quantize=bool(round_ % 2))
                    ids, _ = own.search_batch(queries[:20], k=5, threads=2)
                    np.testing.assert_array_equal(ids, expected[0])
                    del own
                else:
                    for q in queries[:20]:
                        shared.search(q, k=5)
                    ids, _ = shared.search_batch(queries[:20], k=5, threads=2)
                    np.testing.assert_array_equal(ids, expected[0])
                gc.collect()

        run_threads(worker, 8)


class TestQueryIsolation:
    def test_mutating_a_query_during_search(self, index, data):
        a = data[10].copy()
        b = data[2000].copy()
        res_a = index.search(a, k=50, ef=400)
        res_b = index.search(b, k=50, ef=400)
        query = a.copy()
        stop = threading.Event()

        def mutate():
            while not stop.is_set():
                query[:] = b  # one assignment under the lock: never half a query
                query[:] = a

        t = threading.Thread(target=mutate)
        t.start()
        try:
            for _ in range(300):
                ids, scores = index.search(query, k=50, ef=400)
                assert (np.array_equal(ids, res_a[0]) and np.array_equal(scores, res_a[1])) or (
                    np.array_equal(ids, res_b[0]) and np.array_equal(scores, res_b[1]))
        finally:
            stop.set()
            t.join()

    def test_mutating_the_matrix_during_a_batch(self, index, data):
        # 20 x 24 values: NumPy copies fewer than 500 elements without
        # releasing the interpreter lock, so each assignment is atomic to us.
        a = np.ascontiguousarray(data[:20])
        b = np.ascontiguousarray(data[1500:1520])
        res_a = index.search_batch(a, k=50, ef=400)
        res_b = index.search_batch(b, k=50, ef=400)
        queries = a.copy()
        stop = threading.Event()

        def mutate():
            while not stop.is_set():
                queries[:] = b
                queries[:] = a

        t = threading.Thread(target=mutate)
        t.start()
        try:
            for _ in range(60):
                ids, _ = index.search_batch(queries, k=50, ef=400, threads=2)
                # Every row comes from the same copy of the matrix.
                assert np.array_equal(ids, res_a[0]) or np.array_equal(ids, res_b[0])
        finally:
            stop.set()
            t.join()

    def test_results_own_their_memory(self, index, queries):
        ids, scores = index.search(queries[0], k=10)
        again, _ = index.search(queries[0], k=10)
        ids[:] = 0
        scores[:] = -1
        assert not np.array_equal(again, ids)
        assert ids.flags.writeable and ids.base is not None
        batch_ids, batch_scores = index.search_batch(queries[:3], k=4)
        assert batch_ids.flags.owndata is False and batch_ids.base is not None
        del ids, scores, batch_ids, batch_scores
        gc.collect()


class TestNoLeaks:
    def test_repeated_calls_keep_process_size_and_references(self, tmp_path, data):
        path = tmp_path / "small.snap"
        sw.write_snapshot(path, sw.knn_graph(data[:64]))
        index = dovadure.Index(str(path))
        q = data[5].copy()
        batch = data[:4].copy()
        bad = np.full(D, np.nan, dtype=np.float32)

        def cycle(count):
            for _ in range(count):
                index.search(q, k=10)
            for _ in range(count // 10):
                index.search_batch(batch, k=10)
                try:
                    index.search(bad)
                except ValueError:
                    pass

        cycle(5_000)  # warm up allocator pools
        gc.collect()
        refs = (sys.getrefcount(q), sys.getrefcount(batch), sys.getrefcount(index))
        before = rss_bytes()
        cycle(100_000)
        gc.collect()
        grown = rss_bytes() - before
        assert (sys.getrefcount(q), sys.getrefcount(batch), sys.getrefcount(index)) == refs
        # A leaked pair of result arrays per call would be tens of megabytes.
        assert grown < 4 * 1024 * 1024, f"process grew by {grown} bytes"
