// A read-only index answering payload filters as bitmaps over dense node numbers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "payload_storage/filter.hpp"
#include "utils/payload.hpp"

namespace dovadure::payload_storage {

// Built once over nodes 0..n-1 and never changed after, so any number of
// threads may evaluate at once. Answers agree with filter_matches node by node.
class FilterIndex {
 public:
  FilterIndex() = default;  // no node has a payload

  // payload_of(node) gives the node's payload or nullptr, for node in [0, n);
  // it is called once per node and its result is not kept. n <= 2^32.
  static FilterIndex build(size_t n,
                           const std::function<const utils::Payload*(uint32_t)>& payload_of);

  size_t size() const { return n_; }

  // Sets `out` to (n + 63) / 64 words, bit i of word i / 64 set when node i
  // matches; bits past n are zero. Deletion is not considered. `filter` must
  // pass filter_shape_error.
  void evaluate(const Filter& filter, std::vector<uint64_t>& out) const;

  // Bytes held by the index, for memory reports.
  size_t memory_bytes() const;

 private:
  // One field's postings. Equality goes by canonical key, so that the numbers
  // equal under filter_matches share one: an integral double within int64
  // range keys as that integer (-0.0 as 0), other doubles as themselves, NaN
  // not at all. Posting slots run over int_keys, then float_keys, then the
  // strings in byte order, then false and true; slot s owns
  // posting_nodes[posting_offsets[s], posting_offsets[s + 1]), sorted, each
  // node once. Ranges search the numbers by their own kind instead, where an
  // exact int/double comparison keeps the order right across kinds.
  struct Field {
    std::string name;
    std::vector<int64_t> int_keys;      // sorted
    std::vector<double> float_keys;     // sorted, neither integral nor NaN
    std::string str_bytes;              // sorted strings back to back
    std::vector<uint64_t> str_offsets;  // string s is [str_offsets[s], str_offsets[s + 1])
    std::vector<uint64_t> posting_offsets;
    std::vector<uint32_t> posting_nodes;
    std::vector<uint32_t> present;  // sorted nodes having the field, any kind
    std::vector<int64_t> int_values;  // Int values and ListInt elements, ascending
    std::vector<uint32_t> int_nodes;  // parallel to int_values
    std::vector<double> float_values;  // Float values and ListFloat elements but NaN
    std::vector<uint32_t> float_nodes;

    size_t str_count() const { return str_offsets.empty() ? 0 : str_offsets.size() - 1; }
    std::string_view str_at(size_t s) const {
      const size_t begin = str_offsets[s];
      return std::string_view(str_bytes).substr(begin, str_offsets[s + 1] - begin);
    }
  };

  const Field* find_field(std::string_view name) const;
  void eval_into(const Filter& filter, std::vector<uint64_t>& out,
                 std::vector<std::vector<uint64_t>>& scratch, size_t level) const;
  void or_equal(const Field& field, const utils::PayloadValue& operand,
                std::vector<uint64_t>& out) const;
  void or_range(const Field& field, Filter::Op op, const utils::PayloadValue& operand,
                std::vector<uint64_t>& out) const;
  void complement(std::vector<uint64_t>& bits) const;

  size_t n_ = 0;
  std::vector<Field> fields_;  // sorted by name
};

}  // namespace dovadure::payload_storage
