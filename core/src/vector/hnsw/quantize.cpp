#include "vector/hnsw/quantize.hpp"

#include <algorithm>
#include <cstdint>

#include "utils/populate.hpp"
#include "utils/run_beside.hpp"
#include "vector/hnsw/core.hpp"
#include "vector/hnsw/distance.hpp"
#include "vector/hnsw/sq8.hpp"

namespace dovadure::vector::hnsw {

void quantize_query_i8_into(std::span<const float> query, std::vector<int8_t>& out) {
  out.resize(query.size());
  for (size_t i = 0; i < query.size(); ++i) out[i] = quantize_query_i8_value(query[i]);
}

void quantize_query_cosine_wide(std::span<const float> query, std::vector<int16_t>& out) {
  out.resize(query.size());
  for (size_t i = 0; i < query.size(); ++i) out[i] = quantize_query_cosine_i16(query[i]);
}

void quantize_query(std::span<const float> query, std::span<const float> mins,
                    std::span<const float> scales, std::vector<int16_t>& out) {
  out.resize(query.size());
  for (size_t d = 0; d < query.size(); ++d) {
    const bool known = d < mins.size() && d < scales.size();
    out[d] = quantize_query_affine_i16(query[d], known ? mins[d] : 0.0f, known ? scales[d] : 1.0f);
  }
}

void sq8_min_max_scalar(const float* x, float* mins, float* maxs, size_t n) {
  for (size_t d = 0; d < n; ++d) {
    // Comparisons with NaN are false, so a NaN element leaves both alone.
    if (x[d] < mins[d]) mins[d] = x[d];
    if (x[d] > maxs[d]) maxs[d] = x[d];
  }
}

void sq8_min_max(const float* x, float* mins, float* maxs, size_t n) {
  has_avx2() ? sq8_min_max_avx2(x, mins, maxs, n) : sq8_min_max_scalar(x, mins, maxs, n);
}

int64_t sq8_encode_affine_scalar(const float* x, const float* mins, const float* scales,
                                 uint8_t* out, size_t n) {
  int64_t sum = 0;  // at most 65025 per code
  for (size_t d = 0; d < n; ++d) {
    out[d] = sq8_code_affine(x[d], mins[d], scales[d]);
    sum += int64_t{out[d]} * out[d];
  }
  return sum;
}

int64_t sq8_encode_affine(const float* x, const float* mins, const float* scales, uint8_t* out,
                          size_t n) {
  return has_avx2() ? sq8_encode_affine_avx2(x, mins, scales, out, n)
                    : sq8_encode_affine_scalar(x, mins, scales, out, n);
}

void sq8_encode_cosine_scalar(const float* x, uint8_t* out, size_t n) {
  for (size_t d = 0; d < n; ++d) out[d] = sq8_code_cosine(x[d]);
}

void sq8_encode_cosine(const float* x, uint8_t* out, size_t n) {
  has_avx2() ? sq8_encode_cosine_avx2(x, out, n) : sq8_encode_cosine_scalar(x, out, n);
}

std::vector<int8_t> HNSWIndex::quantize_query_i8(std::span<const float> query) const {
  std::vector<int8_t> out;
  quantize_query_i8_into(query, out);
  return out;
}

namespace {

// Rows from which quantising pays for a second thread.
constexpr size_t kQuantizeWorthAThread = 8192;

// A zeroed buffer of n codes for `rows` rows. Most of the cost of writing a
// large fresh buffer once is the kernel clearing its pages on first touch;
// from kQuantizeWorthAThread rows on they are faulted in on two threads
// before the zeros go in.
std::vector<uint8_t> zeroed_codes(size_t n, size_t rows) {
  std::vector<uint8_t> codes;
  codes.reserve(n);
  if (rows >= kQuantizeWorthAThread) {
    uint8_t* base = codes.data();
    utils::in_two_halves(n, 1, [&](size_t from, size_t to) {
      utils::populate_for_write(base + from, to - from);
    });
  }
  codes.resize(n, 0);
  return codes;
}

}  // namespace

void HNSWIndex::quantize_all() {
  const size_t dim = dim_;
  // Every node counted by len() has its vector appended already.
  const size_t n = std::min(len(), vectors_.len());
  if (n == 0 || dim == 0) return;

  const NodeVectorArena::View vectors = vectors_.view();
  std::vector<uint8_t> codes = zeroed_codes(n * dim, n);
  // Rows are coded independently, so halves on two threads give the same codes.
  const auto rows = [&](auto&& f) { utils::in_two_halves(n, kQuantizeWorthAThread, f); };

  if (metric_ == utils::DistanceMetric::Cosine) {
    rows([&](size_t from, size_t to) {
      for (size_t i = from; i < to; ++i) sq8_encode_cosine(vectors.ptr(i), codes.data() + i * dim, dim);
    });
    codes_ = std::move(codes);
    code_square_sums_.clear();
    mins_.clear();
    scales_.clear();
    return;
  }

  // Ranges come from live nodes only, but every node gets codes so that a
  // node's codes are always at i × dim. Each half keeps its own ranges; the
  // smaller minimum and larger maximum of the two are those of all rows.
  constexpr float kMaxF32 = 3.4028235e38f;
  std::vector<float> mins(dim, kMaxF32), maxs(dim, -kMaxF32);
  std::vector<float> upper_mins(dim, kMaxF32), upper_maxs(dim, -kMaxF32);
  const auto deleted = deleted_.view();
  rows([&](size_t from, size_t to) {
    float* lo = from == 0 ? mins.data() : upper_mins.data();
    float* hi = from == 0 ? maxs.data() : upper_maxs.data();
    for (size_t i = from; i < to && i < deleted.len; ++i) {
      if (deleted[i].load(std::memory_order_acquire)) continue;
      sq8_min_max(vectors.ptr(i), lo, hi, dim);
    }
  });
  std::vector<float> scales(dim);
  for (size_t d = 0; d < dim; ++d) {
    mins[d] = std::min(mins[d], upper_mins[d]);
    maxs[d] = std::max(maxs[d], upper_maxs[d]);
    const float range = maxs[d] - mins[d];
    scales[d] = range > 0.0f ? range / 255.0f : 1.0f;
  }
  // The Euclidean walk scores 2·q·c − Σ c²; the second term depends on the
  // node alone, so it is summed here once instead of on every visit.
  std::vector<int64_t> square_sums(n);
  rows([&](size_t from, size_t to) {
    for (size_t i = from; i < to; ++i) {
      square_sums[i] = sq8_encode_affine(vectors.ptr(i), mins.data(), scales.data(),
                                         codes.data() + i * dim, dim);
    }
  });
  codes_ = std::move(codes);
  code_square_sums_ = std::move(square_sums);
  mins_ = std::move(mins);
  scales_ = std::move(scales);
}

}  // namespace dovadure::vector::hnsw
