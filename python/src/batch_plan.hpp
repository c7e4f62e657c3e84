// Arithmetic of a batch search that has to be right before anything is
// allocated: output size limits, the clamped search widths, the worker count
// and how rows are handed to the workers. Free of Python so that it can be tested
// on its own.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>

namespace dovadure::python {

// Ids and scores of one result cell: 8 + 4 bytes.
inline constexpr uint64_t kBatchCellBytes = 12;
// The two dense result matrices together may take at most 1 GiB.
inline constexpr uint64_t kBatchOutputByteLimit = 1073741824;
// Padding of a short row: an id no point can be told apart from, and a NaN
// score (the quiet NaN 0x7fc00000).
inline constexpr uint64_t kPaddingId = std::numeric_limits<uint64_t>::max();
inline constexpr uint32_t kPaddingScoreBits = 0x7fc00000u;

enum class BatchSizeError : uint8_t {
  None,
  ColumnCount,      // k does not fit NumPy's signed dimension type
  ShapeOverflow,    // n * k does not fit 64 bits
  IdBytesOverflow,  // 8 * n * k does not fit 64 bits
  PlatformLimit,    // 8 * n * k does not fit NumPy's signed byte count
  ByteLimit,        // 12 * n * k exceeds kBatchOutputByteLimit
};

struct BatchSizeCheck {
  BatchSizeError error = BatchSizeError::None;
  uint64_t cells = 0;  // n * k, valid unless the shape overflowed
  uint64_t bytes = 0;  // 12 * n * k, valid for None and ByteLimit
};

// Checks run in a fixed order; the first failing one decides.
inline BatchSizeCheck check_batch_output_size(uint64_t rows, uint64_t k) {
  constexpr uint64_t kSignedMax = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  BatchSizeCheck check;
  if (k > kSignedMax) {
    check.error = BatchSizeError::ColumnCount;
    return check;
  }
  if (rows != 0 && k > std::numeric_limits<uint64_t>::max() / rows) {
    check.error = BatchSizeError::ShapeOverflow;
    return check;
  }
  check.cells = rows * k;
  if (check.cells >= (uint64_t{1} << 61)) {
    check.error = BatchSizeError::IdBytesOverflow;
    return check;
  }
  if (check.cells * 8 > kSignedMax) {
    check.error = BatchSizeError::PlatformLimit;
    return check;
  }
  // cells < 2^60 here, so 12 * cells cannot wrap.
  check.bytes = check.cells * kBatchCellBytes;
  if (check.bytes > kBatchOutputByteLimit) check.error = BatchSizeError::ByteLimit;
  return check;
}

inline std::string batch_size_error_text(const BatchSizeCheck& check) {
  switch (check.error) {
    case BatchSizeError::None: return {};
    case BatchSizeError::ColumnCount: return "batch output column count exceeds NumPy's platform limit";
    case BatchSizeError::ShapeOverflow: return "batch output shape overflows usize";
    case BatchSizeError::IdBytesOverflow: return "batch ID output size overflows usize";
    case BatchSizeError::PlatformLimit: return "batch output exceeds NumPy's platform limit";
    case BatchSizeError::ByteLimit:
      return "batch output requires " + std::to_string(check.bytes) + " bytes; limit is " +
             std::to_string(kBatchOutputByteLimit);
  }
  return {};
}

// Small indexes never get asked for more results or a wider beam than they
// hold: k' = min(k, N); ef' = min(max(ef, k'), N), then at least k'.
struct SearchWidths {
  size_t k = 0;
  size_t ef = 0;
};

inline SearchWidths clamp_search_widths(uint64_t k, uint64_t ef, uint64_t points) {
  const uint64_t k_clamped = std::min(k, points);
  uint64_t ef_clamped = std::min(std::max(ef, k_clamped), points);
  ef_clamped = std::max(ef_clamped, k_clamped);
  return SearchWidths{static_cast<size_t>(k_clamped), static_cast<size_t>(ef_clamped)};
}

// W = min(P, rows, max(threads, 1)); threads 0 and 1 both mean the calling
// thread alone. `processors` of 0 (unknown) counts as 1.
inline size_t batch_worker_count(uint64_t threads, uint64_t rows, uint64_t processors) {
  uint64_t w = std::max<uint64_t>(threads, 1);
  w = std::min(w, std::max<uint64_t>(processors, 1));
  w = std::min(w, std::max<uint64_t>(rows, 1));
  return static_cast<size_t>(w);
}

// Rows handed out one at a time, in order, to whichever thread asks next:
// a thread that starts late (a worker still waking up) or meets slow rows
// simply takes fewer, where fixed blocks made the batch wait for the
// slowest block. Since rows are claimed in order, every row below a failing
// one is still searched, so the lowest failing row is the one contiguous
// blocks joined in worker order would have reported first.
class RowQueue {
 public:
  static constexpr size_t kNone = std::numeric_limits<size_t>::max();

  explicit RowQueue(size_t rows) : rows_(rows) {}

  // The next row to search, or kNone once every row is taken or a row
  // below the next one has failed.
  size_t claim() noexcept {
    if (next_.load(std::memory_order_relaxed) > failed_.load(std::memory_order_relaxed)) return kNone;
    const size_t row = next_.fetch_add(1, std::memory_order_relaxed);
    if (row >= rows_ || row > failed_.load(std::memory_order_relaxed)) return kNone;
    return row;
  }

  // Rows after `row` need not be searched any more.
  void fail(size_t row) noexcept {
    size_t seen = failed_.load(std::memory_order_relaxed);
    while (row < seen && !failed_.compare_exchange_weak(seen, row, std::memory_order_relaxed)) {
    }
  }

 private:
  const size_t rows_;
  std::atomic<size_t> next_{0};
  std::atomic<size_t> failed_{kNone};
};

}  // namespace dovadure::python
