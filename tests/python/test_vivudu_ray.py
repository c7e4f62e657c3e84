"""vivudu.ray.ShardedCollection: segments served by Ray actors, merged like Collection."""

import threading

import numpy as np
import pytest

import vivudu

ray = pytest.importorskip("ray")
from vivudu.ray import ShardedCollection  # noqa: E402

PAD = np.uint64(2**64 - 1)


@pytest.fixture(scope="module")
def local_ray():
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)
    try:
        yield
    finally:
        ray.shutdown()


@pytest.fixture(scope="module")
def served(local_ray, tmp_path_factory):
    """A 4-segment dot-product collection, its Collection and 2 replicas of each segment."""
    rng = np.random.default_rng(11)
    vectors = rng.standard_normal((2000, 16)).astype(np.float32)
    # Equal vectors in the first and last segments: equal scores, ordered by id.
    vectors[1500:1550] = vectors[:50]
    ids = rng.permutation(100_000)[:2000].astype(np.uint64)
    payloads = [{"rare": int(i % 100 == 7)} for i in range(2000)]
    directory = tmp_path_factory.mktemp("ray") / "c"
    vivudu.CollectionWriter.build(directory, vectors, ids=ids, payloads=payloads, metric="dot",
                                  segment_max_points=500, m=8, ef_construction=64)
    queries = np.concatenate([vectors[:8], rng.standard_normal((24, 16)).astype(np.float32)])
    # Starting 8 actor processes on a busy 2-core machine can take tens of seconds.
    # Mapped: the replicas of a segment on this node share its file's pages.
    sharded = ShardedCollection(directory, replicas=2, timeout=60.0, mapped=True)
    try:
        yield sharded, vivudu.Collection(directory), queries, ids
    finally:
        sharded.close()


def test_answers_equal_the_collections(served):
    sharded, collection, queries, point_ids = served
    assert (sharded.segments, len(sharded), sharded.dim(), sharded.metric) == (4, 2000, 16, "dot")
    # Every search goes round the replicas, so both copies of each segment answer.
    for filter in (None, {"rare": 1}):
        got = sharded.search_batch(queries, k=30, ef=64, filter=filter)
        want = collection.search_batch(queries, k=30, ef=64, filter=filter)
        np.testing.assert_array_equal(got[0], want[0])
        np.testing.assert_array_equal(got[1], want[1])
        for q in queries[:6]:
            got = sharded.search(q, k=30, ef=64, filter=filter)
            want = collection.search(q, k=30, ef=64, filter=filter)
            np.testing.assert_array_equal(got[0], want[0])
            np.testing.assert_array_equal(got[1], want[1])
    # 20 points match: every row is short and padded like Collection's.
    ids, scores = sharded.search_batch(queries, k=30, ef=64, filter={"rare": 1})
    assert (ids[:, 20:] == PAD).all() and np.isnan(scores[:, 20:]).all() and (ids[:, :20] != PAD).all()
    # Copies of a vector in two segments tie; the smaller id comes first.
    for row in range(8):
        found, scores = sharded.search(queries[row], k=30, ef=64)
        pair = sorted([point_ids[row], point_ids[1500 + row]])
        at = np.flatnonzero(found == pair[0])
        assert at.size == 1 and found[at[0] + 1] == pair[1] and scores[at[0]] == scores[at[0] + 1]


def test_killed_actor_during_a_stream_of_queries(served):
    sharded, collection, queries, _ = served
    want = collection.search_batch(queries, k=10, ef=64)
    answers, errors, started = [], [], threading.Event()

    def stream():
        try:
            for _ in range(100):
                answers.append(sharded.search_batch(queries, k=10, ef=64))
                started.set()
        except BaseException as e:  # reported below
            errors.append(e)
            started.set()

    thread = threading.Thread(target=stream, daemon=True)
    thread.start()
    assert started.wait(30)
    victim = sharded.actors(1)[0]
    ray.kill(victim, no_restart=False)
    thread.join(60)
    assert not thread.is_alive() and errors == []
    assert len(answers) == 100
    for ids, scores in answers:
        np.testing.assert_array_equal(ids, want[0])
        np.testing.assert_array_equal(scores, want[1])
    # Ray brought the killed actor back: it answers again.
    assert ray.get(victim.info.remote(), timeout=30) == (16, 500, "dot")


def test_a_segment_without_live_replicas_is_named(served):
    sharded, collection, queries, _ = served
    first, second = sharded.actors(2)
    ray.kill(first, no_restart=True)
    # The dead replica's turns go to the live one.
    for q in queries[:4]:
        got = sharded.search(q, k=10, ef=64)
        want = collection.search(q, k=10, ef=64)
        np.testing.assert_array_equal(got[0], want[0])
        np.testing.assert_array_equal(got[1], want[1])
    ray.kill(second, no_restart=True)
    with pytest.raises(RuntimeError, match=r"segment 2 \(.*segment-000002") as raised:
        sharded.search_batch(queries, k=10, ef=64)
    assert "segment 0" not in str(raised.value) and "segment 3" not in str(raised.value)


def test_segment_paths(local_ray, tmp_path):
    rng = np.random.default_rng(12)
    vectors = rng.standard_normal((300, 8)).astype(np.float32)
    vivudu.CollectionWriter.build(tmp_path / "c", vectors, metric="euclidean", segment_max_points=150,
                                  m=8, ef_construction=64)
    paths = vivudu._native.collection_segment_paths(tmp_path / "c")
    # The segments carry their metric; a different one asked for is refused.
    with pytest.raises(ValueError, match="metric is 'dot' but the segments are 'euclidean'"):
        ShardedCollection(paths, metric="dot")
    collection = vivudu.Collection(tmp_path / "c")
    with ShardedCollection(paths) as sharded:
        assert sharded.metric == "euclidean"
        got = sharded.search_batch(vectors[:10], k=15, ef=300)
        want = collection.search_batch(vectors[:10], k=15, ef=300)
        np.testing.assert_array_equal(got[0], want[0])
        np.testing.assert_array_equal(got[1], want[1])
        assert (got[0][:, 0] == np.arange(10)).all()  # each point is its own nearest
    with pytest.raises(ValueError, match="closed"):
        sharded.search(vectors[0])
