#!/usr/bin/env bash
# Main job, end to end on a fresh machine: install the project, take the
# default dataset (Fashion-MNIST from Debian's dataset-fashion-mnist package),
# build a segment snapshot with `dovadure build`, open it with
# dovadure.Index and report recall@10 against exact ground truth and
# queries per second for a few beam widths.
#
# Size knobs (environment): DEMO_BASE base vectors (default 20000 of the
# 60000 training images, so that the single-threaded build stays within a
# few minutes), DEMO_QUERIES queries (default 1000 of the 10000 test
# images), DEMO_EF_CONSTRUCTION (default 100).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

dataset_dir=/usr/share/datasets/fashion-mnist
if [ ! -f "$dataset_dir/train-images-idx3-ubyte.gz" ]; then
  export DEBIAN_FRONTEND=noninteractive
  { apt-get update -qq && apt-get install -y -qq dataset-fashion-mnist >/dev/null; } ||
    echo "dataset-fashion-mnist could not be installed; using a seeded clustered set" >&2
fi

echo "== installing the module and the command-line tool"
python3 -m pip install -q --disable-pip-version-check --no-build-isolation .
cli="$(python3 -c 'import sysconfig; print(sysconfig.get_path("scripts"))')/dovadure"
[ -x "$cli" ] || cli="$(command -v dovadure)"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

python3 - "$work" "$dataset_dir" <<'PY'
import gzip, os, sys, time
import numpy as np

work, dataset_dir = sys.argv[1], sys.argv[2]
n_base = int(os.environ.get("DEMO_BASE", "20000"))
n_queries = int(os.environ.get("DEMO_QUERIES", "1000"))


def read_idx_images(path):
    with gzip.open(path, "rb") as f:
        raw = f.read()
    magic, count, rows, cols = np.frombuffer(raw[:16], dtype=">u4")
    if magic != 2051 or len(raw) != 16 + int(count) * int(rows) * int(cols):
        raise SystemExit(f"{path}: not an idx3 image file")
    return np.frombuffer(raw, dtype=np.uint8, offset=16).reshape(int(count), int(rows) * int(cols))


train = os.path.join(dataset_dir, "train-images-idx3-ubyte.gz")
test = os.path.join(dataset_dir, "t10k-images-idx3-ubyte.gz")
if os.path.exists(train) and os.path.exists(test):
    base = read_idx_images(train)[:n_base].astype(np.float32) / 255.0
    queries = read_idx_images(test)[:n_queries].astype(np.float32) / 255.0
    name = f"fashion-mnist (Debian dataset-fashion-mnist), {len(base)} of 60000 train images"
else:
    rng = np.random.default_rng(42)
    centres = rng.standard_normal((100, 128)).astype(np.float32) * 3
    base = centres[rng.integers(0, 100, n_base)] + rng.standard_normal((n_base, 128))
    queries = centres[rng.integers(0, 100, n_queries)] + rng.standard_normal((n_queries, 128))
    base, queries = base.astype(np.float32), queries.astype(np.float32)
    name = f"seeded clustered set, {n_base} points"

t = time.perf_counter()
base_sq = np.einsum("ij,ij->i", base, base)
truth = np.empty((len(queries), 10), dtype=np.int64)
for start in range(0, len(queries), 256):
    q = queries[start:start + 256]
    d = base_sq[None, :] - 2.0 * (q @ base.T)
    part = np.argpartition(d, 10, axis=1)[:, :10]
    order = np.argsort(np.take_along_axis(d, part, axis=1), axis=1)
    truth[start:start + 256] = np.take_along_axis(part, order, axis=1)
np.save(os.path.join(work, "base.npy"), np.ascontiguousarray(base))
np.save(os.path.join(work, "queries.npy"), np.ascontiguousarray(queries))
np.save(os.path.join(work, "truth.npy"), truth)
with open(os.path.join(work, "name.txt"), "w") as f:
    f.write(name)
print(f"dataset: {name}; {len(queries)} queries; dim {base.shape[1]}; "
      f"exact ground truth in {time.perf_counter() - t:.1f} s")
PY

echo "== building the snapshot (euclidean, m=16, ef_construction=${DEMO_EF_CONSTRUCTION:-100})"
start=$(date +%s.%N)
"$cli" build "$work/demo.snap" --vectors "$work/base.npy" --metric euclidean --m 16 \
  --ef-construction "${DEMO_EF_CONSTRUCTION:-100}"
end=$(date +%s.%N)
python3 -c "print(f'build: {float($end) - float($start):.1f} s')"

python3 - "$work" <<'PY'
import os, sys, time
import numpy as np
import dovadure

work = sys.argv[1]
queries = np.load(os.path.join(work, "queries.npy"))
truth = np.load(os.path.join(work, "truth.npy"))
t = time.perf_counter()
index = dovadure.Index(os.path.join(work, "demo.snap"))
print(f"opened: {len(index)} points, dim {index.dim()}, in {time.perf_counter() - t:.2f} s")
threads = os.cpu_count() or 1
print(f"search_batch, k=10, threads={threads}, {len(queries)} queries")
print(f"{'ef':>6} {'recall@10':>10} {'QPS':>10}")
for ef in (10, 20, 40, 80, 160):
    index.search_batch(queries[:50], k=10, ef=ef, threads=threads)  # warm the scratch
    t = time.perf_counter()
    ids, _ = index.search_batch(queries, k=10, ef=ef, threads=threads)
    elapsed = time.perf_counter() - t
    hits = sum(len(set(row.tolist()) & set(want.tolist())) for row, want in zip(ids, truth))
    print(f"{ef:>6} {hits / truth.size:>10.4f} {len(queries) / elapsed:>10.0f}")
PY
