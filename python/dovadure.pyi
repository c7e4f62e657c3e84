"""In-process approximate-nearest-neighbour search over a segment snapshot."""

from typing import Tuple

import numpy as np
import numpy.typing as npt

__all__ = ["Index"]

class Index:
    """In-memory approximate-nearest-neighbour index loaded from a Vivudu segment snapshot.

    Search calls release the interpreter lock. Query data is copied into memory
    owned by the extension before the lock is released, so the native search
    never aliases Python-owned mutable storage.
    """

    def __init__(self, path: str, quantize: bool = False) -> None:
        """Load the segment snapshot at `path`, replaying its write-ahead log.

        The segment's files are only read, never written. With `quantize`,
        8-bit codes of every vector are built for `sq8_screen` searches.

        Raises RuntimeError with the core library's error text when loading
        fails, TypeError for a `path` that is not a `str` or a `quantize`
        that is not a `bool`.
        """

    def search(
        self,
        query: npt.NDArray[np.float32],
        k: int = 20,
        ef: int = 128,
        sq8_screen: bool = False,
        scan_cap: int = 0,
        patience: int = 2,
    ) -> Tuple[npt.NDArray[np.uint64], npt.NDArray[np.float32]]:
        """Search one query. Returns `(ids uint64[k], scores float32[k])`.

        `scores` are raw Vivudu scores; `scan_cap=0` means uncapped L0 scans.

        `query` must be a contiguous, aligned, one-dimensional float32 array
        of length `dim()` with finite values. At most min(k, len(self))
        results are returned, best first; there is no padding.
        """

    def search_batch(
        self,
        queries: npt.NDArray[np.float32],
        k: int = 20,
        ef: int = 128,
        sq8_screen: bool = False,
        scan_cap: int = 0,
        patience: int = 2,
        threads: int = 1,
    ) -> Tuple[npt.NDArray[np.uint64], npt.NDArray[np.float32]]:
        """Search contiguous float32 queries with shape `[n, dim]`.

        Returns `(ids uint64[n, k], scores float32[n, k])`, padding short rows
        with `uint64::MAX` and `NaN`. Native workers are capped to the machine's
        available parallelism; `threads=0` and `threads=1` run sequentially.

        The two result matrices together may take at most 1 GiB (12 bytes a
        cell); larger requests raise OverflowError before any work is done.
        """

    def dim(self) -> int:
        """The dimension of the indexed vectors."""

    def __len__(self) -> int:
        """The number of stored nodes, deleted ones included."""
