"""vivudu.Index(path, mapped=True): the snapshot file mapped instead of read."""

import gc
import os
import re
import shutil

import numpy as np
import pytest

import vivudu

# Above the size from which the file is summed on two threads, and two whole
# chunks of rows, which the index keeps in the mapping itself.
N, DIM = 9000, 128


def rows(n, seed):
    return np.random.default_rng(seed).standard_normal((n, DIM)).astype(np.float32)


def mapped_here(path):
    """Whether this process maps the file at `path` (or the one removed from there)."""
    with open("/proc/self/maps") as f:
        return any(line.rstrip().removesuffix(" (deleted)").endswith(str(path)) for line in f)


def answers(index, queries):
    ids, scores = index.search_batch(queries, k=10, ef=64)
    some, _ = index.search(queries[0], k=50, filter={"g": 1})
    return ids.tolist(), scores.tolist(), some.tolist(), index.payloads([0, 1, N - 1])


@pytest.fixture(scope="module")
def snapshot(tmp_path_factory):
    path = tmp_path_factory.mktemp("mapped") / "seg.snap"
    vivudu.build(path, rows(N, 1), metric="euclidean", m=8, ef_construction=40,
                 payloads=[{"g": i % 3} for i in range(N)])
    return path


def test_answers_as_the_read_index_and_outlives_its_file(snapshot, tmp_path):
    path = tmp_path / "seg.snap"
    shutil.copyfile(snapshot, path)
    queries = rows(40, 2)
    read = vivudu.Index(path)
    mapped = vivudu.Index(path, mapped=True)
    assert mapped_here(path) and len(mapped) == N
    expected = answers(read, queries)
    # Scores are worked out from the rows kept in the mapping.
    assert answers(mapped, queries) == expected

    # Replaced by rename, then removed: the mapping keeps the old file.
    vivudu.build(tmp_path / "other.snap", rows(N, 3), metric="euclidean", m=8, ef_construction=40)
    os.replace(tmp_path / "other.snap", path)
    os.unlink(path)
    assert answers(mapped, queries) == expected and mapped_here(path)
    del mapped
    gc.collect()
    assert not mapped_here(path)


def test_the_log_is_replayed(snapshot, tmp_path):
    path = tmp_path / "seg.snap"
    shutil.copyfile(snapshot, path)
    with vivudu.Writer(path) as w:
        new = w.upsert(rows(2, 4))
        w.delete([7])
        w.set_payload(1, {"g": 2})
    mapped, read = vivudu.Index(path, mapped=True), vivudu.Index(path)
    assert len(mapped) == len(read) and mapped.payloads([1])[0] == {"g": 2}
    ids, scores = mapped.search_batch(rows(2, 4), k=1, ef=64)
    assert ids[:, 0].tolist() == new.tolist() and not scores.any()
    assert 7 not in mapped.search(rows(N, 1)[7], k=10, ef=64)[0]
    assert answers(mapped, rows(40, 2)) == answers(read, rows(40, 2))


@pytest.mark.parametrize("damage", ["flip", "truncate"])
def test_a_damaged_file_fails_as_it_does_when_read(snapshot, tmp_path, damage):
    path = tmp_path / "seg.snap"
    data = bytearray(snapshot.read_bytes())
    if damage == "flip":
        data[len(data) // 2] ^= 0x40
    else:
        del data[len(data) // 2:]
    path.write_bytes(bytes(data))
    with pytest.raises(Exception) as read:
        vivudu.Index(path)
    with pytest.raises(type(read.value), match=re.escape(str(read.value))):
        vivudu.Index(path, mapped=True)
    assert not mapped_here(path)
