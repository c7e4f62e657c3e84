"""The write side: `build` and `Writer` over the native segment writer."""

from __future__ import annotations

import operator
import os
import sys
import time
from typing import Any, Mapping, Optional, Sequence, Union

import numpy as np
import numpy.typing as npt

from . import _native

__all__ = ["CollectionWriter", "Writer", "build"]

PathLike = Union[str, "os.PathLike[str]"]
PayloadValue = Union[int, float, str, bool, Sequence[int], Sequence[float], Sequence[str], Sequence[bool]]
Payload = Optional[Mapping[str, PayloadValue]]


def _path(path: PathLike) -> str:
    try:
        text = os.fspath(path)
    except TypeError:
        raise TypeError(f"path must be a str or os.PathLike, got {type(path).__name__}") from None
    if isinstance(text, bytes):
        raise TypeError("path must be a str or os.PathLike of str, got bytes")
    return text


def _vectors(vectors: npt.ArrayLike) -> np.ndarray:
    """A C-contiguous float32 copy-if-needed view of a 2-D array-like."""
    try:
        array = np.ascontiguousarray(vectors, dtype=np.float32)
    except (TypeError, ValueError) as e:
        raise TypeError(f"vectors must be a 2-D array of numbers: {e}") from None
    if array.ndim != 2:
        raise ValueError(f"vectors must be a 2-D array of shape (rows, dim), got shape {array.shape}")
    return array


def _ids(ids: Optional[npt.ArrayLike], name: str = "ids") -> Optional[np.ndarray]:
    """A 1-D uint64 array of point ids, or None."""
    if ids is None:
        return None
    array = np.asarray(ids)
    if array.ndim != 1:
        raise ValueError(f"{name} must be a 1-D array of integers, got shape {array.shape}")
    if array.dtype == object:  # Python ints beyond int64, or mixed objects
        converted = np.empty(len(array), dtype=np.uint64)
        for i, value in enumerate(array):
            try:
                value = operator.index(value)
            except TypeError:
                raise TypeError(f"{name}[{i}] must be an integer, got {type(value).__name__}") from None
            if value < 0 or value >= 1 << 64:
                raise ValueError(f"{name}[{i}] is out of the unsigned 64-bit range ({value})")
            converted[i] = value
        return converted
    if array.dtype.kind == "u":
        return np.ascontiguousarray(array, dtype=np.uint64)
    if array.dtype.kind == "i":
        negative = np.flatnonzero(array < 0)
        if negative.size:
            i = int(negative[0])
            raise ValueError(f"{name}[{i}] is negative ({int(array[i])})")
        return np.ascontiguousarray(array, dtype=np.uint64)
    if array.size == 0 and array.dtype.kind == "f":  # np.asarray([]) is float64
        return np.empty(0, dtype=np.uint64)
    raise TypeError(f"{name} must hold integers, got an array of {array.dtype}")


def _check_counts(**numbers: Any) -> None:
    for name, value in numbers.items():
        if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
            raise TypeError(f"{name} must be an int, got {type(value).__name__}")
        if value < 0:
            raise ValueError(f"{name} must not be negative, got {value}")


def _check_wait(wait: float) -> float:
    if isinstance(wait, bool) or not isinstance(wait, (int, float)):
        raise TypeError(f"wait must be a number of seconds, got {type(wait).__name__}")
    return float(wait)


def _check_metric(metric: str) -> str:
    if not isinstance(metric, str):
        raise TypeError(f"metric must be a str, got {type(metric).__name__}")
    return metric


class _Progress:
    """A progress display: tqdm when it is installed, else a stderr line."""

    def __init__(self, total: int, label: str) -> None:
        self.total = total
        self.started = time.monotonic()
        self.label = label
        try:
            from tqdm.auto import tqdm
        except ImportError:
            self.bar = None
        else:
            self.bar = tqdm(total=total, desc=label, unit="pt")

    def __call__(self, done: int) -> None:
        if self.bar is not None:
            self.bar.update(done - self.bar.n)
            return
        elapsed = time.monotonic() - self.started
        rate = done / elapsed if elapsed > 0 else 0.0
        share = 100.0 * done / self.total if self.total else 100.0
        sys.stderr.write(f"\r{self.label}: {done}/{self.total} ({share:.0f}%) {rate:.0f} pt/s")
        sys.stderr.flush()

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
        else:
            sys.stderr.write("\n")


def build(
    path: PathLike,
    vectors: npt.ArrayLike,
    *,
    metric: str,
    ids: Optional[npt.ArrayLike] = None,
    payloads: Optional[Sequence[Payload]] = None,
    m: int = 16,
    ef_construction: int = 200,
    max_level: int = 16,
    threads: int = 1,
    overwrite: bool = False,
    progress: bool = False,
    lean_lists: bool = False,
) -> int:
    """Build a new segment from `vectors` and save it atomically at `path`.

    `vectors` is any 2-D array-like, converted to C-contiguous float32 once
    (copied only when needed). `ids` is a 1-D array-like of unsigned 64-bit
    integers, one per row (default 0, 1, ...). `payloads` holds one dict or
    None per row; values are int, float, str, bool or a flat list of one of
    those kinds (ints and floats may mix in a list; a bool is never a number).
    `metric` is "cosine", "dot" or "euclidean". `threads` insertion threads
    (0: every processor). An existing segment (or its log) is an error unless
    `overwrite` is true, which also drops the old log. `progress` shows a
    progress bar (tqdm when installed, else a line on stderr).
    `lean_lists` keeps only the neighbours the diversity rule accepts in
    each list instead of topping lists up to their size: the build is
    faster, and so is a search at a given ef, but recall per ef is lower
    (raise ef to match). Later upserts into the segment use full lists.

    The interpreter lock is released while the index is built and saved.
    Returns the number of points.

    Raises TypeError or ValueError for bad arguments (naming the argument
    and the row), FileExistsError for an existing segment without
    `overwrite`, TimeoutError when another writer holds the segment for 30
    seconds, and RuntimeError with the core's text when building or saving
    fails.
    """
    path = _path(path)
    _check_metric(metric)
    array = _vectors(vectors)
    id_array = _ids(ids)
    _check_counts(m=m, ef_construction=ef_construction, max_level=max_level, threads=threads)
    bar = _Progress(len(array), "build") if progress else None
    try:
        return _native.build(
            path, array, id_array, payloads, metric, int(m), int(ef_construction), int(max_level),
            int(threads), bool(overwrite), 30.0, bar, bool(lean_lists))
    finally:
        if bar is not None:
            bar.close()


class _Session:
    """What Writer and CollectionWriter share: the batch calls and the lock's life."""

    _native: Any
    _kind = ""

    def __enter__(self) -> "_Session":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def close(self) -> None:
        """Release the writer lock. Later calls raise ValueError."""
        self._native.close()

    @property
    def closed(self) -> bool:
        """Whether the writer was closed."""
        return self._native.closed

    def __len__(self) -> int:
        """The number of live points."""
        return self._native.info()[0]

    @property
    def dim(self) -> int:
        """The vector dimension."""
        return self._native.info()[1]

    @property
    def metric(self) -> str:
        """The metric: "cosine", "dot" or "euclidean"."""
        return self._native.info()[2]

    def upsert(
        self,
        vectors: npt.ArrayLike,
        ids: Optional[npt.ArrayLike] = None,
        payloads: Optional[Sequence[Payload]] = None,
    ) -> np.ndarray:
        """Add points, or replace the payloads of existing ones.

        Rows are as in `build`. Without `ids`, new ids follow the largest id
        ever held. A row whose id exists with the same vector takes the
        row's payload (a row without one keeps the stored payload). Refused
        whole with ValueError: an existing id with a different vector, or
        the id of a deleted point (free again after `compact(purge=True)`).
        Returns the points' ids (uint64).
        """
        array = _vectors(vectors)
        id_array = _ids(ids)
        out, _inserted, _updated, _unchanged = self._native.upsert(array, id_array, payloads)
        return np.frombuffer(out, dtype=np.uint64).copy()

    def delete(self, ids: npt.ArrayLike) -> int:
        """Delete points by id; ids that are not live are skipped. Returns
        the number of points deleted."""
        id_array = _ids(np.atleast_1d(np.asarray(ids)))
        deleted, _absent = self._native.delete(id_array)
        return deleted

    def compact(self, purge: bool = False) -> None:
        """Fold the log into the snapshot (saved atomically), then empty the
        log. With `purge`, first rebuild the index without deleted points,
        which frees their ids."""
        self._native.compact(bool(purge))

    def __repr__(self) -> str:
        if self.closed:
            return f"<vivudu.{self._kind} (closed)>"
        live, dim, metric = self._native.info()
        return f"<vivudu.{self._kind} {live} points, dim {dim}, {metric}>"


class Writer(_Session):
    """A segment opened for writing: holds its writer lock until closed.

    Use it as a context manager. Each call is one all-or-nothing batch,
    checked whole before anything is logged: when it returns, the batch is
    in the segment's write-ahead log and synced (per DOROVOZU_WAL_FSYNC). A
    refused call leaves the segment's files as they were. The log holds one
    record per point, so a process killed inside a call may leave part of
    that batch behind, and an `Index` loaded during a call may see its first
    points only; a call that returned is always kept whole.

    `dovadure.Index` opened meanwhile, in this process or another, sees the
    segment as of its load and never blocks the writer. A second Writer, or
    the command-line tool, waits for the lock.

    The interpreter lock is released during native work; calls from several
    threads run one after another.
    """

    _kind = "Writer"

    def __init__(self, path: PathLike, *, wait: float = 30.0) -> None:
        """Open the segment at `path`: take its writer lock (waiting up to
        `wait` seconds), load the snapshot and replay its log.

        Raises FileNotFoundError for a missing segment, TimeoutError when
        the lock stays taken, RuntimeError with the core's text when the
        segment does not load.
        """
        self._native = _native.Writer(_path(path), _check_wait(wait))

    def set_payload(self, id: int, payload: Payload) -> None:
        """Replace the payload of the live point `id` (None or {} clears its
        fields). Raises KeyError for an id that is not live."""
        try:
            point = operator.index(id)
        except TypeError:
            raise TypeError(f"id must be an int, got {type(id).__name__}") from None
        if point < 0 or point >= 1 << 64:
            raise ValueError(f"id is out of the unsigned 64-bit range ({point})")
        self._native.set_payload(point, payload)


class CollectionWriter(_Session):
    """A collection (a directory of segments and their manifest) opened for
    writing: holds the collection's lock until closed.

    Ids are unique across the collection. New points go to the active
    segment; once it holds `segment_max_points` live points it is compacted
    and sealed and a new one started, in an order that leaves a collection
    that opens with every acknowledged point exactly once whenever the
    process is killed. An upsert of an existing id, and a delete, go to the
    segment holding the id. Calls are all-or-nothing batches like Writer's.
    Search the collection with `vivudu.Collection`.
    """

    _kind = "CollectionWriter"

    def __init__(self, dir: PathLike, *, segment_max_points: int = 1_000_000, wait: float = 30.0) -> None:
        """Open the existing collection `dir`: RuntimeError with the core's
        text when it has no readable manifest, TimeoutError while another
        writer holds it."""
        _check_counts(segment_max_points=segment_max_points)
        self._native = _native.CollectionWriter(_path(dir), int(segment_max_points), _check_wait(wait), None)

    @classmethod
    def create(cls, dir: PathLike, *, dim: int, metric: str, m: int = 16, ef_construction: int = 200,
               max_level: int = 16, segment_max_points: int = 1_000_000,
               wait: float = 30.0) -> "CollectionWriter":
        """Start a new, empty collection in `dir` (created when missing) and
        open it for writing."""
        _check_counts(dim=dim, m=m, ef_construction=ef_construction, max_level=max_level,
                      segment_max_points=segment_max_points)
        writer = cls.__new__(cls)
        writer._native = _native.CollectionWriter(
            _path(dir), int(segment_max_points), _check_wait(wait),
            (_check_metric(metric), int(m), int(ef_construction), int(max_level), int(dim)))
        return writer

    @staticmethod
    def build(dir: PathLike, vectors: npt.ArrayLike, *, metric: str, ids: Optional[npt.ArrayLike] = None,
              payloads: Optional[Sequence[Payload]] = None, segment_max_points: int = 1_000_000,
              m: int = 16, ef_construction: int = 200, max_level: int = 16, threads: int = 1,
              overwrite: bool = False, lean_lists: bool = False) -> int:
        """Build a collection in `dir` from rows as `vivudu.build` takes
        them, split into segments of `segment_max_points` (each built with
        `threads` threads and `lean_lists` as in `vivudu.build`), all sealed
        but the last; the manifest is written last. Returns the number of
        points."""
        _check_counts(m=m, ef_construction=ef_construction, max_level=max_level, threads=threads,
                      segment_max_points=segment_max_points)
        return _native.build_collection(
            _path(dir), _vectors(vectors), _ids(ids), payloads, _check_metric(metric), int(m),
            int(ef_construction), int(max_level), int(threads), int(segment_max_points), bool(overwrite),
            30.0, bool(lean_lists))
