"""vivudu.Index: payloads, the filter language and filtered search."""

import os
import subprocess
import sys
import threading

# The planner reads its scan threshold once per process. In 16 dimensions the
# default would scan up to 8 192 allowed points; pinning it here keeps the
# execution tests below walking the graph for their larger selections.
# (Collection imports every test module before any test runs.)
os.environ.setdefault("DOROVOZU_FILTER_SCAN_MAX", "2048")

import numpy as np  # noqa: E402
import pytest  # noqa: E402

import dovadure  # noqa: E402
import vivudu  # noqa: E402

PAD = np.iinfo(np.uint64).max


def brute(vectors, query, allowed, k, metric):
    """Exact top-k ids (ties by id) among `allowed` row numbers = ids."""
    ids = np.flatnonzero(allowed)
    v = vectors[ids].astype(np.float64)
    q = query.astype(np.float64)
    if metric == "euclidean":
        key = ((v - q) ** 2).sum(1)
    elif metric == "dot":
        key = -(v @ q)
    else:
        key = 1 - (v @ q) / (np.linalg.norm(v, axis=1) * np.linalg.norm(q))
    order = np.lexsort((ids, key))[:k]
    return ids[order]


# ------------------------------------------------------- the language


SMALL = [
    {"n": 3, "s": "de", "b": True, "l": [1, 2], "x": 0.5},
    {"n": 3.0, "s": "en", "b": False, "l": [], "x": 2.5},
    {"n": 1, "s": "DE", "l": ["a", "b"]},
    {"n": 7, "s": "fr", "b": True, "l": [2.5, 9]},
    None,
    {"n": 2**62, "s": "de", "x": -1.0},
]


@pytest.fixture(scope="module")
def small(tmp_path_factory):
    path = tmp_path_factory.mktemp("small") / "s.snap"
    vivudu.build(path, np.random.default_rng(0).standard_normal((6, 4)), metric="euclidean", payloads=SMALL)
    return vivudu.Index(path)


@pytest.mark.parametrize("flt,expected", [
    ({"n": 3}, {0, 1}),                                   # numbers compare across int and float
    ({"n": 3.0}, {0, 1}),
    ({"b": 1}, set()),                                    # a bool is never a number
    ({"b": True}, {0, 3}),
    ({"s": "de"}, {0, 5}),                                # exact bytes
    ({"l": 2}, {0}),                                      # any element of a list
    ({"l": 2.5}, {3}),
    ({"l": "b"}, {2}),
    ({"l": {"$gt": 5}}, {3}),
    ({"n": {"$ne": 3}}, {2, 3, 4, 5}),                    # $ne matches points without the field
    ({"l": {"$nin": [1, "a"]}}, {1, 3, 4, 5}),
    ({"x": {"$exists": False}}, {2, 3, 4}),
    ({"l": {"$exists": True}}, {0, 1, 2, 3}),             # an empty list exists
    ({"n": {"$gte": 3, "$lt": 7}}, {0, 1}),               # operators on one field are ANDed
    ({"n": 3, "s": "en"}, {1}),                           # keys are ANDed
    ({"n": {"$gt": 2**62 - 1}}, {5}),                     # exact, past 2**53
    ({"$or": [{"s": "fr"}, {"x": {"$lt": 0}}]}, {3, 5}),
    ({"$not": {"s": "de"}}, {1, 2, 3, 4}),
    ({"$and": [{"n": {"$in": [1, 7, np.int64(3)]}}, {"$not": {"b": False}}]}, {0, 2, 3}),
])
def test_filter_language(small, flt, expected):
    ids, _ = small.search(np.zeros(4, np.float32), k=10, filter=flt)
    assert set(ids.tolist()) == expected


@pytest.mark.parametrize("flt,error,text", [
    ({"n": {"$regex": "x"}}, ValueError, r"unknown operator '\$regex' at filter\['n'\]\['\$regex'\]"),
    ({"$nor": [{"n": 1}]}, ValueError, r"unknown operator '\$nor' at filter\['\$nor'\]"),
    ({"$and": []}, ValueError, r"'\$and' needs a non-empty list of filters at filter\['\$and'\]"),
    ({"$or": [{"n": 1}, {"s": {"$lt": "z"}}]}, ValueError,
     r"'\$lt' needs a number \(ranges compare numbers only\) at filter\['\$or'\]\[1\]\['s'\]\['\$lt'\], got str"),
    ({"n": {"$gt": True}}, ValueError, r"'\$gt' needs a number"),
    ({"n": {"$in": 3}}, ValueError, r"'\$in' needs a list of values at filter\['n'\]\['\$in'\], got int"),
    ({"n": {"$exists": 1}}, ValueError, r"'\$exists' needs True or False"),
    ({"n": [1, 2]}, ValueError, r"'\$eq' needs an int, float, str or bool at filter\['n'\], got list"),
    ({"n": None}, ValueError, r"'\$eq' needs an int, float, str or bool at filter\['n'\], got NoneType"),
    ({"n": float("nan")}, ValueError, r"filter\['n'\]: non-finite floats are not payload values"),
    ({"$not": [{"n": 1}]}, ValueError, r"a filter must be a dict at filter\['\$not'\], got list"),
    ({"n": {}}, ValueError, r"an empty dict of operators at filter\['n'\]"),
    ({}, ValueError, r"an empty filter at filter \(pass filter=None for none\)"),
    ([{"n": 1}], TypeError, r"filter must be a dict or None, got list"),
])
def test_filter_errors(small, flt, error, text):
    with pytest.raises(error, match=text):
        small.search(np.zeros(4, np.float32), filter=flt)
    with pytest.raises(error, match=text):
        small.search_batch(np.zeros((2, 4), np.float32), filter=flt)


def test_payloads_and_the_plain_index(small, tmp_path):
    assert small.payloads([3, 4, 1]) == [SMALL[3], None, {**SMALL[1], "n": 3.0}]
    with pytest.raises(KeyError, match="99"):
        small.payloads([0, 99])
    path = tmp_path / "p.snap"
    vivudu.build(path, np.eye(4), metric="dot", payloads=[{"a": 1}] * 4)
    plain = vivudu.Index(str(path), payloads=False)
    with pytest.raises(ValueError, match="open the Index with payloads=True"):
        plain.search(np.ones(4, np.float32), filter={"a": 1})
    with pytest.raises(ValueError, match="payloads were not loaded"):
        plain.payloads([0])


# -------------------------------------------------------- execution


@pytest.fixture(scope="module", params=["euclidean", "cosine", "dot"])
def big(request, tmp_path_factory):
    """20 000 points in 16 dimensions with labels of several selectivities."""
    metric = request.param
    rng = np.random.default_rng(5)
    n = 20000
    vectors = rng.standard_normal((n, 16)).astype(np.float32)
    labels = {"u50": rng.integers(0, 2, n), "u12": rng.integers(0, 8, n), "u1": rng.integers(0, 100, n)}
    payloads = [{k: int(v[i]) for k, v in labels.items()} for i in range(n)]
    path = tmp_path_factory.mktemp(metric) / "b.snap"
    vivudu.build(path, vectors, metric=metric, payloads=payloads, m=8, ef_construction=64, threads=2)
    return metric, vectors, labels, vivudu.Index(path), path


# u1: ~200 points, scanned; u12: ~2500 (12%), walked two hops at a time;
# u50: ~10 000, walked through every node.
SELECTIONS = [("u1", 7), ("u12", 3), ("u50", 1)]


@pytest.mark.parametrize("field,value", SELECTIONS)
def test_filtered_results_are_allowed_complete_and_near_exact(big, field, value):
    metric, vectors, labels, index, path = big
    allowed = labels[field] == value
    queries = np.random.default_rng(1).standard_normal((40, 16)).astype(np.float32)
    hits = 0
    for q in queries:
        ids, scores = index.search(q, k=10, ef=64, filter={field: value})
        assert len(ids) == 10 and allowed[ids.astype(np.int64)].all()
        assert np.all(np.diff(scores * (-1 if metric == "dot" else 1)) >= 0)
        expected = brute(vectors, q, allowed, 10, metric)
        hits += len(set(ids.tolist()) & set(expected.tolist()))
        if allowed.sum() <= 2048:  # scanned: exactly the brute-force answer
            np.testing.assert_array_equal(ids, expected)
    assert hits / (10 * len(queries)) >= 0.9


def test_never_short_while_enough_points_match(big):
    metric, vectors, labels, index, path = big
    # 3 points match: the answer holds exactly those, in order.
    three = np.flatnonzero(labels["u1"] == 0)[:3]
    flt = {"$and": [{"u1": 0}, {"u12": {"$in": sorted({int(labels["u12"][i]) for i in three})}}]}
    allowed = (labels["u1"] == 0) & np.isin(labels["u12"], [labels["u12"][i] for i in three])
    q = vectors[three[0]]
    ids, _ = index.search(q, k=50, ef=16, filter=flt)
    np.testing.assert_array_equal(ids, brute(vectors, q, allowed, 50, metric))
    batch_ids, batch_scores = index.search_batch(np.stack([q, q]), k=50, ef=16, filter=flt)
    assert (batch_ids[:, allowed.sum():] == PAD).all() and np.isnan(batch_scores[:, allowed.sum():]).all()
    assert index.search(q, k=5, filter={"u1": 1000})[0].size == 0


def test_batch_equals_single_and_threads_agree(big):
    metric, vectors, labels, index, path = big
    queries = np.random.default_rng(2).standard_normal((64, 16)).astype(np.float32)
    flt = {"$or": [{"u12": 3}, {"u1": {"$lt": 5}}]}
    single = [index.search(q, k=10, ef=48, filter=flt) for q in queries]
    ids, scores = index.search_batch(queries, k=10, ef=48, threads=2, filter=flt)
    for row, (s_ids, s_scores) in enumerate(single):
        np.testing.assert_array_equal(ids[row], s_ids)
        np.testing.assert_array_equal(scores[row], s_scores)
    results = [None] * 8

    def worker(t):
        results[t] = [index.search(q, k=10, ef=48, filter=flt)[0] for q in queries[t::8]]

    threads = [threading.Thread(target=worker, args=(t,)) for t in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for t in range(8):
        for got, q_row in zip(results[t], range(t, 64, 8)):
            np.testing.assert_array_equal(got, single[q_row][0])


def test_unfiltered_and_sq8_searches(big):
    metric, vectors, labels, index, path = big
    plain = dovadure.Index(str(path))
    q = np.random.default_rng(3).standard_normal((5, 16)).astype(np.float32)
    a, b = index.search_batch(q, k=10, ef=32), plain.search_batch(q, k=10, ef=32)
    np.testing.assert_array_equal(a[0], b[0])
    if metric == "dot":
        return  # the 8-bit walk serves cosine and euclidean
    quantized = vivudu.Index(path, quantize=True)
    allowed = labels["u12"] == 5
    for row in q:
        ids, _ = quantized.search(row, k=10, ef=64, sq8_screen=True, filter={"u12": 5})
        assert len(ids) == 10 and allowed[ids.astype(np.int64)].all()

    # rerank=r answers as the DOROVOZU_SQ8_RERANK_FACTOR knob set to r does,
    # here set in a child process (the knob is read once per process).
    many = np.random.default_rng(4).standard_normal((40, 16)).astype(np.float32)
    child = ("import sys, numpy as np, dovadure\n"
             "q = np.frombuffer(sys.stdin.buffer.read(), np.float32).reshape(-1, 16)\n"
             f"ix = dovadure.Index({str(path)!r}, quantize=True)\n"
             "sys.stdout.buffer.write(ix.search_batch(q, k=10, ef=10, sq8_screen=True)[0].tobytes())")
    for r in (1, 3):
        env = {**os.environ, "DOROVOZU_SQ8_RERANK_FACTOR": str(r)}
        out = subprocess.run([sys.executable, "-c", child], input=many.tobytes(), env=env,
                             capture_output=True, check=True).stdout
        ours = quantized.search_batch(many, k=10, ef=10, sq8_screen=True, rerank=r)[0]
        np.testing.assert_array_equal(ours, np.frombuffer(out, np.uint64).reshape(-1, 10))
        assert all(np.array_equal(quantized.search(row, k=10, ef=10, sq8_screen=True, rerank=r)[0],
                                  want) for row, want in zip(many, ours))
    # The walk on codes finds other neighbours than the float walk at this
    # ef; rerank=0 is the float walk.
    walked = quantized.search_batch(many, k=10, ef=10, sq8_screen=True, rerank=1)[0]
    floats = quantized.search_batch(many, k=10, ef=10, sq8_screen=True, rerank=0)[0]
    assert not np.array_equal(walked, floats)
    np.testing.assert_array_equal(floats, index.search_batch(many, k=10, ef=10)[0])


def test_filters_see_the_log(tmp_path):
    path = tmp_path / "w.snap"
    rng = np.random.default_rng(9)
    vectors = rng.standard_normal((300, 8)).astype(np.float32)
    vivudu.build(path, vectors, metric="euclidean", payloads=[{"g": i % 3} for i in range(300)])
    with vivudu.Writer(path) as w:
        new = w.upsert(rng.standard_normal((20, 8)), payloads=[{"g": 7, "new": True}] * 20)
        w.delete(list(range(0, 300, 3)))   # every g == 0 point
        w.set_payload(1, {"g": 7})
    index = vivudu.Index(path)
    ids, _ = index.search(np.zeros(8, np.float32), k=100, filter={"g": 7})
    assert set(ids.tolist()) == set(new.tolist()) | {1}
    assert index.search(np.zeros(8, np.float32), k=100, filter={"g": 0})[0].size == 0
    assert index.search(np.zeros(8, np.float32), k=400, filter={"g": {"$ne": 7}})[0].size == 300 - 100 - 1
    assert index.payloads([1, int(new[0])]) == [{"g": 7}, {"g": 7, "new": True}]
    with pytest.raises(KeyError):
        index.payloads([0])
