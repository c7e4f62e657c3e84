"""Serve a collection's segments from Ray actors and search them as one.

`ShardedCollection` starts one actor per segment and replica; each actor
loads its segment as a `vivudu.Index` on the node where it runs, so the
segment files must be reachable through the same path from every node (a
shared or replicated file system). A search goes to one replica of every
segment (round-robin over the replicas) and the answers merge exactly as
`vivudu.Collection` merges them.

Importing this module imports Ray (`pip install vivudu[ray]`); nothing else
in the package does.
"""

from __future__ import annotations

import itertools
import os
import threading
import time
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt
import ray
from ray.exceptions import ActorDiedError, ActorUnavailableError, RayActorError

from . import _native
from ._native import Index

__all__ = ["ShardedCollection"]

PathLike = Union[str, "os.PathLike[str]"]

_PAD_ID = np.uint64(2**64 - 1)
_METRICS = ("cosine", "dot", "euclidean")
# An actor that died, or that Ray cannot reach for now: the part is sent again.
_ACTOR_ERRORS = (RayActorError, ActorDiedError, ActorUnavailableError)
# Pause before a segment's part is sent again once every replica failed it
# in a row: Ray is restarting them, and a tight loop would only add load.
_BACKOFF_FIRST = 0.05
_BACKOFF_MAX = 1.0
# Batches up to this size travel inside each task's arguments; larger ones
# are put in the object store once and read there by every actor.
_INLINE_BYTES = 100_000


class _SegmentServer:
    """One segment, loaded as a vivudu.Index in the actor's process."""

    def __init__(self, path: str, quantize: bool, payloads: bool, mapped: bool) -> None:
        self._index = Index(path, quantize, payloads=payloads, mapped=mapped)

    def info(self) -> Tuple[int, int, str]:
        return self._index.dim(), len(self._index), self._index.metric()

    def search(self, query: np.ndarray, k: int, ef: int, filter: Any, options: Dict[str, Any]):
        return self._index.search(query, k=k, ef=ef, filter=filter, **options)

    def search_batch(self, queries: np.ndarray, k: int, ef: int, filter: Any, threads: int,
                     options: Dict[str, Any]):
        return self._index.search_batch(queries, k=k, ef=ef, filter=filter, threads=threads, **options)


_RemoteServer = ray.remote(_SegmentServer)


def _segment_paths(source: Union[PathLike, Sequence[PathLike]]) -> Tuple[List[str], Optional[str]]:
    """(absolute segment paths, the collection directory or None)."""
    if isinstance(source, (str, bytes, os.PathLike)):
        directory = os.fspath(source)
        if isinstance(directory, bytes):
            raise TypeError("dir_or_segment_paths must be a str or os.PathLike of str, got bytes")
        directory = os.path.abspath(directory)
        return [os.path.abspath(p) for p in _native.collection_segment_paths(directory)], directory
    paths = []
    for item in source:
        path = os.fspath(item)
        if isinstance(path, bytes):
            raise TypeError("segment paths must be str or os.PathLike of str, got bytes")
        paths.append(os.path.abspath(path))
    return paths, None


def _merge(parts: Sequence[Tuple[np.ndarray, np.ndarray]], k: int, negate: bool) -> Tuple[np.ndarray, np.ndarray]:
    """Merge per-segment (ids[n, *], scores[n, *]) into the best `k` per row.

    Order: ascending sort key (the score, negated for "dot"), equal keys by
    id, NaN keys after every number; padding after everything. Rows with
    fewer than `k` answers end in padding (id 2**64-1, NaN score).
    """
    ids = np.concatenate([p[0] for p in parts], axis=1)
    scores = np.concatenate([p[1] for p in parts], axis=1)
    n = ids.shape[0]
    if ids.shape[1] < k:  # only when no segment returned a full row
        extra = k - ids.shape[1]
        ids = np.concatenate([ids, np.full((n, extra), _PAD_ID, dtype=np.uint64)], axis=1)
        scores = np.concatenate([scores, np.full((n, extra), np.nan, dtype=np.float32)], axis=1)
    padding = (ids == _PAD_ID) & np.isnan(scores)
    key = -scores if negate else scores
    # lexsort: the last key is the primary one; NaN keys sort last.
    order = np.lexsort((ids, key, padding), axis=-1)[:, :k]
    return np.take_along_axis(ids, order, axis=1), np.take_along_axis(scores, order, axis=1)


class ShardedCollection:
    """A collection served by Ray actors, searched like `vivudu.Collection`.

    Each segment is loaded by `replicas` actors (spread over the nodes when
    Ray can). An actor that dies is restarted by Ray; a search whose part
    fails on a dead or unreachable actor, or that has not answered after
    `timeout / (replicas + 1)` seconds, sends that part again to the next
    replica (or to the same one, once Ray restarted it) until `timeout`
    seconds after the call began; the first answer wins. A part still
    missing then makes the call raise RuntimeError naming its segments: an
    answer is always merged from every segment.

    Calls may come from several threads at once.
    """

    def __init__(
        self,
        dir_or_segment_paths: Union[PathLike, Sequence[PathLike]],
        *,
        replicas: int = 1,
        address: Optional[str] = None,
        timeout: float = 30.0,
        quantize: bool = False,
        payloads: bool = True,
        mapped: bool = False,
        metric: Optional[str] = None,
        actor_options: Optional[Mapping[str, Any]] = None,
    ) -> None:
        """Start the actors and wait (up to `timeout` seconds) until every
        one has loaded its segment.

        `dir_or_segment_paths` is a collection directory (its manifest lists
        the segments) or a sequence of segment snapshot paths; relative
        paths are made absolute here, and each must name the same file on
        every node. The segments' metric orders the merged answers; a
        `metric` given ("cosine", "dot" or "euclidean") must match it.
        When Ray is not running yet it is started with `ray.init(address)`;
        `close()` leaves it running. `actor_options` go to the actors'
        `.options()` (e.g. `num_cpus`, `resources`), over the defaults
        `scheduling_strategy="SPREAD"`, `max_restarts=-1` and
        `max_task_retries=0`. `quantize`, `payloads` and `mapped` open each
        segment as `vivudu.Index` does; with `mapped`, the replicas on one
        node share their segment's vectors in the page cache.

        Raises TypeError or ValueError for bad arguments, and RuntimeError
        when an actor does not load its segment within `timeout` or fails
        to (with the text of the error `vivudu.Index` raised there). The
        actors already started are killed first.
        """
        if isinstance(replicas, bool) or not isinstance(replicas, (int, np.integer)):
            raise TypeError(f"replicas must be an int, got {type(replicas).__name__}")
        if replicas < 1:
            raise ValueError(f"replicas must be at least 1, got {replicas}")
        if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
            raise TypeError(f"timeout must be a number of seconds, got {type(timeout).__name__}")
        if not timeout > 0:
            raise ValueError(f"timeout must be positive, got {timeout}")
        self._actors: List[List[Any]] = []
        self._closed = False
        self._timeout = float(timeout)
        self._replicas = int(replicas)
        self._paths, _ = _segment_paths(dir_or_segment_paths)
        if not self._paths:
            raise ValueError("the collection has no segments")
        if metric is not None and metric not in _METRICS:
            raise ValueError(f"metric must be one of {', '.join(_METRICS)}; got {metric!r}")
        self._lock = threading.Lock()
        self._turns = [itertools.count() for _ in self._paths]

        if not ray.is_initialized():
            ray.init(address=address)
        options: Dict[str, Any] = {"scheduling_strategy": "SPREAD"}
        options.update(actor_options or {})
        options.update(max_restarts=-1, max_task_retries=0)
        remote = _RemoteServer.options(**options)
        try:
            for path in self._paths:
                self._actors.append(
                    [remote.remote(path, bool(quantize), bool(payloads), bool(mapped))
                     for _ in range(self._replicas)])
            self._dim, self._len, served = self._load_info()
            if metric is not None and metric != served:
                raise ValueError(f"metric is {metric!r} but the segments are {served!r}")
        except BaseException:
            self.close()
            raise
        self._metric = served

    def _load_info(self) -> Tuple[int, int, str]:
        refs = [[actor.info.remote() for actor in group] for group in self._actors]
        flat = [ref for group in refs for ref in group]
        ready, _ = ray.wait(flat, num_returns=len(flat), timeout=self._timeout)
        if len(ready) < len(flat):
            ready_set = set(ready)
            late = sorted({s for s, group in enumerate(refs) for ref in group if ref not in ready_set})
            raise RuntimeError(f"segments not loaded within {self._timeout} s: {self._describe(late)}")
        dims = set()
        metrics = set()
        total = 0
        for s, group in enumerate(refs):
            infos = []
            for ref in group:
                try:
                    infos.append(ray.get(ref))
                except RayActorError as e:
                    # Ray keeps only the text of the constructor's error.
                    raise RuntimeError(f"the actor of {self._describe([s])} did not start: {e}") from e
            dim, points, segment_metric = infos[0]
            dims.add(dim)
            metrics.add(segment_metric)
            total += points
        if len(dims) != 1:
            raise ValueError(f"the segments have different dimensions: {sorted(dims)}")
        if len(metrics) != 1:
            raise ValueError(f"the segments have different metrics: {sorted(metrics)}")
        return dims.pop(), total, metrics.pop()

    def _describe(self, segments: Sequence[int]) -> str:
        return ", ".join(f"segment {s} ({self._paths[s]})" for s in segments)

    # The fan-out -------------------------------------------------------

    def _gather(self, call: Callable[[Any], Any]) -> List[Any]:
        """`call(actor)` on one replica of every segment; their answers in
        segment order. Retries as the class documentation says."""
        actors = self._actors
        if self._closed or not actors:
            raise ValueError("the ShardedCollection is closed")
        segments = len(actors)
        replicas = self._replicas
        deadline = time.monotonic() + self._timeout
        hedge_after = self._timeout / (replicas + 1)
        answers: List[Any] = [None] * segments
        done = [False] * segments
        # ref -> (segment, replica, sent at), in the order sent
        inflight: Dict[Any, Tuple[int, int, float]] = {}
        failures_in_a_row = [0] * segments
        next_send = [0.0] * segments  # when a segment with nothing in flight may be sent again
        last_replica: List[Optional[int]] = [None] * segments
        last_error: List[Optional[BaseException]] = [None] * segments

        def attempts(s: int) -> List[Tuple[int, float]]:
            return [(r, t) for (seg, r, t) in inflight.values() if seg == s]

        def send(s: int, after: Optional[int] = None) -> None:
            """Send segment s's part to the first replica, from the next
            turn (or the one after `after`), that is not already on it."""
            if after is None:
                with self._lock:
                    first = next(self._turns[s]) % replicas
            else:
                first = (after + 1) % replicas
            taken = {r for r, _ in attempts(s)}
            for step in range(replicas):
                r = (first + step) % replicas
                if r not in taken:
                    inflight[call(actors[s][r])] = (s, r, time.monotonic())
                    return

        for s in range(segments):
            send(s)
        while not all(done):
            now = time.monotonic()
            if now >= deadline:
                break
            wake = deadline
            for s in range(segments):
                if done[s]:
                    continue
                sent = attempts(s)
                if not sent:
                    if now >= next_send[s]:
                        send(s, last_replica[s])
                        wake = min(wake, now + hedge_after)
                        continue
                    wake = min(wake, next_send[s])
                elif len(sent) < replicas:
                    newest_replica, newest = sent[-1]
                    if now - newest >= hedge_after:
                        # The newest attempt is slow too: ask another replica as well.
                        send(s, newest_replica)
                        wake = min(wake, now + hedge_after)
                        continue
                    wake = min(wake, newest + hedge_after)
            if not inflight:
                time.sleep(max(0.0, wake - time.monotonic()))
                continue
            ready, _ = ray.wait(list(inflight), num_returns=1, timeout=max(0.0, wake - time.monotonic()))
            for ref in ready:
                s, r, _ = inflight.pop(ref)
                if done[s]:
                    continue
                try:
                    answers[s] = ray.get(ref)
                except _ACTOR_ERRORS as e:
                    last_error[s] = e
                    last_replica[s] = r
                    failures_in_a_row[s] += 1
                    if failures_in_a_row[s] >= replicas:
                        pause = min(_BACKOFF_MAX, _BACKOFF_FIRST * 2 ** (failures_in_a_row[s] // replicas - 1))
                        next_send[s] = time.monotonic() + pause
                    continue
                done[s] = True
                # Answers that come late from the other attempts are dropped.
                for other in [x for x, (seg, _, _) in inflight.items() if seg == s]:
                    del inflight[other]
        if not all(done):
            missing = [s for s in range(segments) if not done[s]]
            reasons = "; ".join(
                f"segment {s}: {type(last_error[s]).__name__}" if last_error[s] is not None
                else f"segment {s}: no answer" for s in missing)
            raise RuntimeError(
                f"no replica answered within {self._timeout} s for {self._describe(missing)} ({reasons})")
        return answers

    # Searching ---------------------------------------------------------

    def search(self, query: npt.ArrayLike, k: int = 20, ef: int = 128, filter: Optional[Mapping[str, Any]] = None,
               **options: Any) -> Tuple[np.ndarray, np.ndarray]:
        """The `k` best points for one query, best first, like
        `vivudu.Collection.search`: (ids uint64[<=k], scores float32[<=k]).
        `options` (sq8_screen, scan_cap, patience, rerank) go to every segment's
        `vivudu.Index.search`."""
        array = np.ascontiguousarray(query, dtype=np.float32)
        if array.ndim != 1:
            raise ValueError(f"query must be a 1-D array, got shape {array.shape}")
        parts = self._gather(lambda actor: actor.search.remote(array, k, ef, filter, options))
        ids, scores = _merge([(p[0][None, :], p[1][None, :]) for p in parts], int(k), self._negate)
        live = ~((ids[0] == _PAD_ID) & np.isnan(scores[0]))
        return ids[0][live], scores[0][live]

    def search_batch(self, queries: npt.ArrayLike, k: int = 20, ef: int = 128,
                     filter: Optional[Mapping[str, Any]] = None, threads: int = 1,
                     **options: Any) -> Tuple[np.ndarray, np.ndarray]:
        """The `k` best points for each row of `queries`, like
        `vivudu.Collection.search_batch`: (ids uint64[n, k], scores
        float32[n, k]), short rows padded with id 2**64-1 and a NaN score.
        Each segment's actor runs its part with `threads` threads."""
        array = np.ascontiguousarray(queries, dtype=np.float32)
        if array.ndim != 2:
            raise ValueError(f"queries must be a 2-D array, got shape {array.shape}")
        shared = ray.put(array) if array.nbytes > _INLINE_BYTES else array
        parts = self._gather(lambda actor: actor.search_batch.remote(shared, k, ef, filter, threads, options))
        return _merge(parts, int(k), self._negate)

    @property
    def _negate(self) -> bool:
        return self._metric == "dot"

    # The rest ----------------------------------------------------------

    @property
    def segments(self) -> int:
        """The number of segments."""
        return len(self._paths)

    @property
    def replicas(self) -> int:
        """Actors per segment."""
        return self._replicas

    @property
    def metric(self) -> str:
        """The metric that orders the answers."""
        return self._metric

    def actors(self, segment: int) -> List[Any]:
        """The actor handles serving `segment`, one per replica."""
        return list(self._actors[segment])

    def dim(self) -> int:
        """The vector dimension."""
        return self._dim

    def __len__(self) -> int:
        """The sum of the segments' `len(vivudu.Index)` as loaded. That
        counts deleted points a segment still holds, which
        `len(vivudu.Collection)` leaves out."""
        return self._len

    def close(self) -> None:
        """Kill the actors (for good). Later searches raise ValueError."""
        self._closed = True
        actors, self._actors = self._actors, []
        for group in actors:
            for actor in group:
                try:
                    ray.kill(actor, no_restart=True)
                except Exception:  # already gone, or Ray was shut down
                    pass

    @property
    def closed(self) -> bool:
        return self._closed

    def __enter__(self) -> "ShardedCollection":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self._closed else f"{self._len} points, dim {self._dim}"
        return (f"<vivudu.ray.ShardedCollection {len(self._paths)} segments x {self._replicas} replicas, "
                f"{self._metric}, {state}>")
