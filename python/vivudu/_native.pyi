"""Native half of the vivudu package: use `vivudu.build` and `vivudu.Writer`."""

from typing import Any, Callable, Optional, Sequence, Tuple

import numpy as np

def build(
    path: str,
    vectors: np.ndarray,
    ids: Optional[np.ndarray],
    payloads: Optional[Sequence[Any]],
    metric: str,
    m: int,
    ef_construction: int,
    max_level: int,
    threads: int,
    overwrite: bool,
    wait: float,
    progress: Optional[Callable[[int], None]],
) -> int: ...

class Writer:
    def __init__(self, path: str, wait: float) -> None: ...
    closed: bool
    def upsert(
        self, vectors: np.ndarray, ids: Optional[np.ndarray], payloads: Optional[Sequence[Any]]
    ) -> Tuple[bytes, int, int, int]: ...
    def delete(self, ids: np.ndarray) -> Tuple[int, int]: ...
    def set_payload(self, id: int, payload: Any) -> None: ...
    def compact(self, purge: bool) -> Tuple[int, int, int]: ...
    def close(self) -> None: ...
    def info(self) -> Tuple[int, int, str]: ...
