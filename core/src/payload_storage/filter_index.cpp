#include "payload_storage/filter_index.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <unordered_map>
#include <utility>

namespace dovadure::payload_storage {

using utils::Payload;
using utils::PayloadKind;
using utils::PayloadValue;
using Op = Filter::Op;

namespace {

// The int64 key of an integral double within int64 range; -0.0 gives 0 and
// NaN fails the range test.
bool integral_key(double d, int64_t& key) {
  if (!(d >= -0x1p63 && d < 0x1p63)) return false;
  const int64_t whole = static_cast<int64_t>(d);
  if (static_cast<double>(whole) != d) return false;
  key = whole;
  return true;
}

template <typename T>
int sign_of(T a, T b) {
  return (a > b) - (a < b);
}

inline void set_bit(std::vector<uint64_t>& bits, uint32_t node) {
  bits[node >> 6] |= uint64_t{1} << (node & 63);
}

void or_nodes(const uint32_t* first, const uint32_t* last, std::vector<uint64_t>& out) {
  for (; first != last; ++first) set_bit(out, *first);
}

template <typename T>
void sort_unique(std::vector<T>& v) {
  std::sort(v.begin(), v.end());
  v.erase(std::unique(v.begin(), v.end()), v.end());
}

template <typename T>
void shrink(std::vector<T>& v) {
  v.shrink_to_fit();
}

template <typename T>
size_t heap_bytes(const std::vector<T>& v) {
  return v.capacity() * sizeof(T);
}

size_t heap_bytes(const std::string& s) {
  const char* self = reinterpret_cast<const char*>(&s);
  const bool inline_buffer = s.data() >= self && s.data() < self + sizeof(s);
  return inline_buffer ? 0 : s.capacity() + 1;
}

// Collects one field's entries in node order; finish() turns them into the
// sorted, deduplicated layout of FilterIndex::Field.
struct FieldBuilder {
  std::vector<std::pair<int64_t, uint32_t>> int_eq;
  std::vector<std::pair<double, uint32_t>> float_eq;
  std::unordered_map<std::string, uint32_t, utils::StringHash, std::equal_to<>> str_ids;
  std::vector<std::pair<uint32_t, uint32_t>> str_eq;  // (string id, node)
  std::vector<uint32_t> bool_nodes[2];
  std::vector<uint32_t> present;
  std::vector<std::pair<int64_t, uint32_t>> int_range;
  std::vector<std::pair<double, uint32_t>> float_range;

  void add_int(int64_t v, uint32_t node) {
    int_eq.emplace_back(v, node);
    int_range.emplace_back(v, node);
  }
  void add_float(double v, uint32_t node) {
    if (std::isnan(v)) return;  // NaN neither equals nor orders against anything
    int64_t key;
    if (integral_key(v, key)) {
      int_eq.emplace_back(key, node);
    } else {
      float_eq.emplace_back(v, node);
    }
    float_range.emplace_back(v, node);
  }
  void add_str(const std::string& v, uint32_t node) {
    auto it = str_ids.find(std::string_view(v));
    if (it == str_ids.end()) {
      it = str_ids.emplace(v, static_cast<uint32_t>(str_ids.size())).first;
    }
    str_eq.emplace_back(it->second, node);
  }
  void add_bool(bool v, uint32_t node) {
    std::vector<uint32_t>& nodes = bool_nodes[v ? 1 : 0];
    if (nodes.empty() || nodes.back() != node) nodes.push_back(node);
  }

  void add(const PayloadValue& value, uint32_t node) {
    present.push_back(node);
    switch (value.kind()) {
      case PayloadKind::Int: add_int(value.as_int(), node); break;
      case PayloadKind::Float: add_float(value.as_float(), node); break;
      case PayloadKind::Str: add_str(value.as_str(), node); break;
      case PayloadKind::Bool: add_bool(value.as_bool(), node); break;
      case PayloadKind::ListInt:
        for (int64_t v : value.as_list_int()) add_int(v, node);
        break;
      case PayloadKind::ListFloat:
        for (double v : value.as_list_float()) add_float(v, node);
        break;
      case PayloadKind::ListStr:
        for (const std::string& v : value.as_list_str()) add_str(v, node);
        break;
      case PayloadKind::ListBool:
        for (bool v : value.as_list_bool()) add_bool(v, node);
        break;
    }
  }
};

// Appends one posting slot per distinct key of `pairs` (sorted, unique).
template <typename K>
void append_postings(const std::vector<std::pair<K, uint32_t>>& pairs, std::vector<K>* keys,
                     std::vector<uint64_t>& offsets, std::vector<uint32_t>& nodes) {
  for (size_t i = 0; i < pairs.size(); ++i) {
    if (i > 0 && pairs[i].first != pairs[i - 1].first) offsets.push_back(nodes.size());
    if (keys != nullptr && (i == 0 || pairs[i].first != pairs[i - 1].first)) {
      keys->push_back(pairs[i].first);
    }
    nodes.push_back(pairs[i].second);
  }
  if (!pairs.empty()) offsets.push_back(nodes.size());
}

template <typename V>
void split_pairs(const std::vector<std::pair<V, uint32_t>>& pairs, std::vector<V>& values,
                 std::vector<uint32_t>& nodes) {
  values.reserve(pairs.size());
  nodes.reserve(pairs.size());
  for (const auto& [v, node] : pairs) {
    values.push_back(v);
    nodes.push_back(node);
  }
}

// Sets the bits of nodes[i] for the i whose value satisfies `op` against the
// operand; `sign(v)` is the sign of v - operand, ascending along `values`.
template <typename V, typename Sign>
void or_matching(const std::vector<V>& values, const std::vector<uint32_t>& nodes, Op op,
                 Sign sign, std::vector<uint64_t>& out) {
  auto below = [&](V v) { return sign(v) < 0; };
  auto at_most = [&](V v) { return sign(v) <= 0; };
  auto split = [&](auto pred) {
    return static_cast<size_t>(std::partition_point(values.begin(), values.end(), pred) -
                               values.begin());
  };
  size_t lo = 0;
  size_t hi = values.size();
  switch (op) {
    case Op::Gt: lo = split(at_most); break;
    case Op::Gte: lo = split(below); break;
    case Op::Lt: hi = split(below); break;
    case Op::Lte: hi = split(at_most); break;
    default: return;
  }
  if (lo < hi) or_nodes(nodes.data() + lo, nodes.data() + hi, out);
}

size_t depth_of(const Filter& filter) {
  size_t deepest = 0;
  for (const Filter& child : filter.children) deepest = std::max(deepest, depth_of(child));
  return deepest + 1;
}

bool all_zero(const std::vector<uint64_t>& bits) {
  for (uint64_t w : bits) {
    if (w != 0) return false;
  }
  return true;
}

}  // namespace

FilterIndex FilterIndex::build(size_t n,
                               const std::function<const Payload*(uint32_t)>& payload_of) {
  if (n > (size_t{1} << 32)) {
    std::fprintf(stderr, "FilterIndex::build: %zu nodes do not fit u32 node numbers\n", n);
    std::abort();
  }
  std::unordered_map<std::string, FieldBuilder, utils::StringHash, std::equal_to<>> builders;
  for (size_t i = 0; i < n; ++i) {
    const uint32_t node = static_cast<uint32_t>(i);
    const Payload* payload = payload_of(node);
    if (payload == nullptr) continue;
    for (const auto& [name, value] : payload->fields) {
      auto it = builders.find(std::string_view(name));
      if (it == builders.end()) it = builders.emplace(name, FieldBuilder()).first;
      it->second.add(value, node);
    }
  }

  FilterIndex index;
  index.n_ = n;
  index.fields_.reserve(builders.size());
  for (auto& [name, b] : builders) {
    Field f;
    f.name = name;
    sort_unique(b.int_eq);
    sort_unique(b.float_eq);
    sort_unique(b.str_eq);
    sort_unique(b.int_range);
    sort_unique(b.float_range);

    // Strings take slots in byte order, so lookups can binary-search them.
    std::vector<std::pair<std::string_view, uint32_t>> strings;
    strings.reserve(b.str_ids.size());
    for (const auto& [s, id] : b.str_ids) strings.emplace_back(s, id);
    std::sort(strings.begin(), strings.end());
    std::vector<uint32_t> rank(strings.size());
    f.str_offsets.reserve(strings.size() + 1);
    f.str_offsets.push_back(0);
    for (size_t r = 0; r < strings.size(); ++r) {
      rank[strings[r].second] = static_cast<uint32_t>(r);
      f.str_bytes.append(strings[r].first);
      f.str_offsets.push_back(f.str_bytes.size());
    }
    for (auto& entry : b.str_eq) entry.first = rank[entry.first];
    std::sort(b.str_eq.begin(), b.str_eq.end());

    f.posting_offsets.push_back(0);
    append_postings(b.int_eq, &f.int_keys, f.posting_offsets, f.posting_nodes);
    append_postings(b.float_eq, &f.float_keys, f.posting_offsets, f.posting_nodes);
    append_postings<uint32_t>(b.str_eq, nullptr, f.posting_offsets, f.posting_nodes);
    for (const std::vector<uint32_t>& nodes : b.bool_nodes) {
      f.posting_nodes.insert(f.posting_nodes.end(), nodes.begin(), nodes.end());
      f.posting_offsets.push_back(f.posting_nodes.size());
    }

    f.present = std::move(b.present);
    split_pairs(b.int_range, f.int_values, f.int_nodes);
    split_pairs(b.float_range, f.float_values, f.float_nodes);

    shrink(f.int_keys);
    shrink(f.float_keys);
    f.str_bytes.shrink_to_fit();
    shrink(f.posting_offsets);
    shrink(f.posting_nodes);
    shrink(f.present);
    index.fields_.push_back(std::move(f));
    b = FieldBuilder();  // the next field's peak memory should not include this one's
  }
  std::sort(index.fields_.begin(), index.fields_.end(),
            [](const Field& a, const Field& b) { return a.name < b.name; });
  return index;
}

const FilterIndex::Field* FilterIndex::find_field(std::string_view name) const {
  auto it = std::lower_bound(fields_.begin(), fields_.end(), name,
                             [](const Field& f, std::string_view key) { return f.name < key; });
  if (it == fields_.end() || it->name != name) return nullptr;
  return &*it;
}

void FilterIndex::evaluate(const Filter& filter, std::vector<uint64_t>& out) const {
  out.assign((n_ + 63) / 64, 0);
  // Sized up front: a level holds a reference into its slot while deeper
  // levels run, so the outer vector must never reallocate.
  std::vector<std::vector<uint64_t>> scratch(depth_of(filter));
  eval_into(filter, out, scratch, 0);
}

void FilterIndex::eval_into(const Filter& filter, std::vector<uint64_t>& out,
                            std::vector<std::vector<uint64_t>>& scratch, size_t level) const {
  switch (filter.op) {
    case Op::And:
    case Op::Or: {
      const bool is_and = filter.op == Op::And;
      if (filter.children.empty()) {
        std::fill(out.begin(), out.end(), 0);
        if (is_and) complement(out);
        return;
      }
      eval_into(filter.children.front(), out, scratch, level + 1);
      std::vector<uint64_t>& tmp = scratch[level];
      for (size_t c = 1; c < filter.children.size(); ++c) {
        if (is_and && all_zero(out)) return;
        tmp.resize(out.size());
        eval_into(filter.children[c], tmp, scratch, level + 1);
        if (is_and) {
          for (size_t w = 0; w < out.size(); ++w) out[w] &= tmp[w];
        } else {
          for (size_t w = 0; w < out.size(); ++w) out[w] |= tmp[w];
        }
      }
      return;
    }
    case Op::Not:
      if (filter.children.size() != 1) {
        std::fill(out.begin(), out.end(), 0);
        return;
      }
      eval_into(filter.children.front(), out, scratch, level + 1);
      complement(out);
      return;
    default: break;
  }

  std::fill(out.begin(), out.end(), 0);
  const Field* field = find_field(filter.field);
  switch (filter.op) {
    case Op::Eq:
    case Op::In:
    case Op::Ne:
    case Op::Nin:
      if (field != nullptr) {
        for (const PayloadValue& operand : filter.values) or_equal(*field, operand, out);
      }
      if (filter.op == Op::Ne || filter.op == Op::Nin) complement(out);
      return;
    case Op::Gt:
    case Op::Gte:
    case Op::Lt:
    case Op::Lte:
      if (field != nullptr && filter.values.size() == 1) {
        or_range(*field, filter.op, filter.values.front(), out);
      }
      return;
    case Op::Exists:
      if (field != nullptr) {
        or_nodes(field->present.data(), field->present.data() + field->present.size(), out);
      }
      if (!filter.exists) complement(out);
      return;
    default: return;
  }
}

void FilterIndex::or_equal(const Field& field, const PayloadValue& operand,
                           std::vector<uint64_t>& out) const {
  const size_t ints = field.int_keys.size();
  const size_t floats = field.float_keys.size();
  const size_t strs = field.str_count();
  size_t slot;
  int64_t key;
  auto find_int = [&](int64_t k) -> bool {
    auto it = std::lower_bound(field.int_keys.begin(), field.int_keys.end(), k);
    if (it == field.int_keys.end() || *it != k) return false;
    slot = static_cast<size_t>(it - field.int_keys.begin());
    return true;
  };
  switch (operand.kind()) {
    case PayloadKind::Int:
      if (!find_int(operand.as_int())) return;
      break;
    case PayloadKind::Float: {
      const double d = operand.as_float();
      if (std::isnan(d)) return;
      if (integral_key(d, key)) {
        if (!find_int(key)) return;
        break;
      }
      auto it = std::lower_bound(field.float_keys.begin(), field.float_keys.end(), d);
      if (it == field.float_keys.end() || *it != d) return;
      slot = ints + static_cast<size_t>(it - field.float_keys.begin());
      break;
    }
    case PayloadKind::Str: {
      const std::string_view s = operand.as_str();
      size_t lo = 0;
      size_t hi = strs;
      while (lo < hi) {
        const size_t mid = lo + (hi - lo) / 2;
        if (field.str_at(mid) < s) {
          lo = mid + 1;
        } else {
          hi = mid;
        }
      }
      if (lo == strs || field.str_at(lo) != s) return;
      slot = ints + floats + lo;
      break;
    }
    case PayloadKind::Bool: slot = ints + floats + strs + (operand.as_bool() ? 1 : 0); break;
    default: return;
  }
  const uint32_t* nodes = field.posting_nodes.data();
  or_nodes(nodes + field.posting_offsets[slot], nodes + field.posting_offsets[slot + 1], out);
}

void FilterIndex::or_range(const Field& field, Op op, const PayloadValue& operand,
                           std::vector<uint64_t>& out) const {
  if (operand.kind() == PayloadKind::Int) {
    const int64_t x = operand.as_int();
    or_matching(field.int_values, field.int_nodes, op, [x](int64_t v) { return sign_of(v, x); },
                out);
    or_matching(field.float_values, field.float_nodes, op,
                [x](double v) { return -compare_int_double(x, v); }, out);
  } else if (operand.kind() == PayloadKind::Float && !std::isnan(operand.as_float())) {
    const double x = operand.as_float();
    or_matching(field.int_values, field.int_nodes, op,
                [x](int64_t v) { return compare_int_double(v, x); }, out);
    or_matching(field.float_values, field.float_nodes, op, [x](double v) { return sign_of(v, x); },
                out);
  }
}

void FilterIndex::complement(std::vector<uint64_t>& bits) const {
  for (uint64_t& w : bits) w = ~w;
  if (n_ % 64 != 0 && !bits.empty()) bits.back() &= (uint64_t{1} << (n_ % 64)) - 1;
}

size_t FilterIndex::memory_bytes() const {
  size_t bytes = sizeof(*this) + fields_.capacity() * sizeof(Field);
  for (const Field& f : fields_) {
    bytes += heap_bytes(f.name) + heap_bytes(f.int_keys) + heap_bytes(f.float_keys) +
             heap_bytes(f.str_bytes) + heap_bytes(f.str_offsets) + heap_bytes(f.posting_offsets) +
             heap_bytes(f.posting_nodes) + heap_bytes(f.present) + heap_bytes(f.int_values) +
             heap_bytes(f.int_nodes) + heap_bytes(f.float_values) + heap_bytes(f.float_nodes);
  }
  return bytes;
}

}  // namespace dovadure::payload_storage
