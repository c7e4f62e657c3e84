"""Native half of the vivudu package: use `vivudu.build` and `vivudu.Writer`."""

import os
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

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
    lean_lists: bool = ...,
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

Filter = Mapping[str, Any]

class _Searchable:
    """What Index and Collection answer alike."""

    def search(
        self,
        query: npt.NDArray[np.float32],
        k: int = 20,
        ef: int = 128,
        sq8_screen: bool = False,
        scan_cap: int = 0,
        patience: int = 2,
        filter: Optional[Filter] = None,
        rerank: Optional[int] = None,
    ) -> Tuple[npt.NDArray[np.uint64], npt.NDArray[np.float32]]: ...
    def search_batch(
        self,
        queries: npt.NDArray[np.float32],
        k: int = 20,
        ef: int = 128,
        sq8_screen: bool = False,
        scan_cap: int = 0,
        patience: int = 2,
        threads: int = 1,
        filter: Optional[Filter] = None,
        rerank: Optional[int] = None,
    ) -> Tuple[npt.NDArray[np.uint64], npt.NDArray[np.float32]]: ...
    def payloads(self, ids: Sequence[int], /) -> List[Optional[Dict[str, Any]]]: ...
    def dim(self) -> int: ...
    def metric(self) -> str: ...
    def __len__(self) -> int: ...

class Index(_Searchable):
    """An immutable searchable copy of a segment: dovadure.Index with payloads and filters."""

    def __init__(self, path: Union[str, "os.PathLike[str]"], quantize: bool = False, *,
                 payloads: bool = True, mapped: bool = False) -> None: ...
    def filter_bytes(self) -> int: ...

class Collection(_Searchable):
    """Every segment of a collection directory, searched as one index."""

    def __init__(self, path: Union[str, "os.PathLike[str]"], quantize: bool = False, *,
                 payloads: bool = True, mapped: bool = False) -> None: ...
    def segments(self) -> int: ...

class CollectionWriter:
    def __init__(self, dir: str, segment_max_points: int, wait: float,
                 create: Optional[Tuple[str, int, int, int, int]]) -> None: ...
    closed: bool
    def upsert(
        self, vectors: np.ndarray, ids: Optional[np.ndarray], payloads: Optional[Sequence[Any]]
    ) -> Tuple[bytes, int, int, int]: ...
    def delete(self, ids: np.ndarray) -> Tuple[int, int]: ...
    def compact(self, purge: bool) -> Tuple[int, int]: ...
    def close(self) -> None: ...
    def info(self) -> Tuple[int, int, str]: ...

def build_collection(
    dir: str,
    vectors: np.ndarray,
    ids: Optional[np.ndarray],
    payloads: Optional[Sequence[Any]],
    metric: str,
    m: int,
    ef_construction: int,
    max_level: int,
    threads: int,
    segment_max_points: int,
    overwrite: bool,
    wait: float,
    lean_lists: bool = ...,
) -> int: ...
def collection_segment_paths(dir: Union[str, "os.PathLike[str]"]) -> List[str]: ...
