"""Vivudu: build, change and search dovadure segments from Python.

`build` writes a new segment from a NumPy array (with ids and payloads);
`Writer` holds a segment's writer lock and upserts, deletes, sets payloads
and compacts through its write-ahead log. Both run the same native writer as
the `dovadure` command-line tool, with the same rules, and release the
interpreter lock while they work. `Index` searches a segment like
`dovadure.Index`, with payloads and filters. `CollectionWriter` and
`Collection` do the same for a directory of many segments.
"""

from ._native import Collection, Index
from ._writing import CollectionWriter, Writer, build

__all__ = ["Collection", "CollectionWriter", "Index", "Writer", "build"]
