"""Side-by-side ANN benchmark: dovadure against hnswlib, faiss and usearch.

Entry point: `bash bench/run_peers.sh` (or `python3 -m peers` with bench/ on
PYTHONPATH). Every (dataset, library, configuration) runs in child processes
of its own so that build time, load time and peak resident memory belong to
that library alone.
"""
