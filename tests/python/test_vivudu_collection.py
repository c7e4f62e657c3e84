"""vivudu.Collection and CollectionWriter: many segments searched as one."""

import numpy as np
import pytest

import vivudu


def exact(vectors, ids, query, k, metric="euclidean"):
    v = vectors.astype(np.float64)
    q = query.astype(np.float64)
    key = ((v - q) ** 2).sum(1) if metric == "euclidean" else -(v @ q)
    return ids[np.lexsort((ids, key))[:k]]


@pytest.mark.parametrize("metric", ["euclidean", "dot"])
def test_merged_answers_equal_one_exact_search(tmp_path, metric):
    rng = np.random.default_rng(4)
    vectors = rng.standard_normal((700, 8)).astype(np.float32)
    # Equal vectors in different segments: equal scores, ordered by id.
    vectors[650:] = vectors[:50]
    ids = rng.permutation(10_000)[:700].astype(np.uint64)
    payloads = [{"half": int(i % 2)} for i in range(700)]
    vivudu.CollectionWriter.build(tmp_path / "c", vectors, ids=ids, payloads=payloads, metric=metric,
                                  segment_max_points=200, m=8, ef_construction=64)
    collection = vivudu.Collection(tmp_path / "c")
    assert (collection.segments(), len(collection), collection.dim()) == (4, 700, 8)
    queries = np.concatenate([vectors[:5], rng.standard_normal((15, 8)).astype(np.float32)])
    got, scores = collection.search_batch(queries, k=30, ef=700, threads=2)
    half = np.array([p["half"] for p in payloads]) == 1
    for row, q in enumerate(queries):
        np.testing.assert_array_equal(got[row], exact(vectors, ids, q, 30, metric))
        # ef above every segment's size makes each segment exact.
        single, _ = collection.search(q, k=30, ef=700, filter={"half": 1})
        np.testing.assert_array_equal(single, exact(vectors[half], ids[half], q, 30, metric))
    assert collection.payloads([int(ids[3]), int(ids[650])]) == [payloads[3], payloads[650]]
    with pytest.raises(KeyError):
        collection.payloads([10_001])


def test_writer_rotates_and_keeps_ids_unique(tmp_path):
    rng = np.random.default_rng(5)
    with vivudu.CollectionWriter.create(tmp_path / "c", dim=4, metric="cosine", segment_max_points=10) as w:
        first = w.upsert(rng.standard_normal((25, 4)), payloads=[{"b": 1}] * 25)
        assert first.tolist() == list(range(25))
        # An existing id with the same vector updates its payload in its
        # sealed segment; a different vector is refused whole.
        w.upsert(np.eye(4)[:1] + 0, ids=[100])
        with pytest.raises(ValueError, match="already exists with a different vector"):
            w.upsert(np.vstack([rng.standard_normal((1, 4)), np.eye(4)[1:2]]), ids=[101, 100])
        assert w.delete([3, 17, 999]) == 2
        with pytest.raises(ValueError, match="deleted point"):
            w.upsert(np.eye(4)[2:3], ids=[3])
        w.compact(purge=True)
        w.upsert(np.eye(4)[2:3], ids=[3])
        assert len(w) == 25
    collection = vivudu.Collection(tmp_path / "c")
    assert collection.segments() >= 3 and len(collection) == 25
    ids, _ = collection.search(np.eye(4)[2].astype(np.float32), k=25, ef=64)
    assert sorted(ids.tolist()) == sorted(set(range(25)) - {17} | {100})
    with pytest.raises(TimeoutError):
        with vivudu.CollectionWriter(tmp_path / "c"):
            vivudu.CollectionWriter(tmp_path / "c", wait=0)


def test_damaged_manifest_is_refused(tmp_path):
    vivudu.CollectionWriter.build(tmp_path / "c", np.eye(3), metric="dot", segment_max_points=2)
    manifest = tmp_path / "c" / "collection.manifest"
    data = bytearray(manifest.read_bytes())
    data[10] ^= 0x40
    manifest.write_bytes(bytes(data))
    with pytest.raises(RuntimeError, match="Serialization error"):
        vivudu.Collection(tmp_path / "c")
    with pytest.raises(RuntimeError):
        vivudu.CollectionWriter(tmp_path / "c")


def test_large_single_queries_match_the_batch(tmp_path):
    # 60 000 points: a single query spreads its segments over threads, a
    # batch runs each row's segments in turn; both must give one answer.
    rng = np.random.default_rng(1)
    vectors = rng.standard_normal((60_000, 4)).astype(np.float32)
    vivudu.CollectionWriter.build(tmp_path / "c", vectors, metric="euclidean", segment_max_points=20_000,
                                  m=4, ef_construction=16, threads=2)
    collection = vivudu.Collection(tmp_path / "c")
    queries = rng.standard_normal((50, 4)).astype(np.float32)
    ids, scores = collection.search_batch(queries, k=10, ef=32, filter={"$not": {"x": 1}})
    for row, q in enumerate(queries):
        single = collection.search(q, k=10, ef=32, filter={"$not": {"x": 1}})
        np.testing.assert_array_equal(single[0], ids[row])
        np.testing.assert_array_equal(single[1], scores[row])
