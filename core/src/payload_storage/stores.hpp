// The inverted payload index: field name -> scalar value -> point ids.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "utils/encoding.hpp"
#include "utils/errors.hpp"
#include "utils/payload.hpp"

namespace dovadure::payload_storage {

// Invariants: every value key is scalar, no id set and no field's value map
// is empty. Not thread-safe: the owning segment serialises all access.
class PayloadIndex {
 public:
  using IdSet = std::unordered_set<uint64_t>;
  using ValueMap = std::unordered_map<utils::PayloadValue, IdSet, utils::PayloadValueHash>;
  using FieldMap = std::unordered_map<std::string, ValueMap, utils::StringHash, std::equal_to<>>;

  // Adds `id` under every scalar field of `payload`; list fields are skipped.
  void insert(uint64_t id, const utils::Payload& payload);
  // Takes `id` out from under every scalar field of `payload`, dropping value
  // and field entries that become empty. `payload` must be the one `id` was
  // indexed with.
  void remove(uint64_t id, const utils::Payload& payload);
  // The ids stored under (field, value); nullptr for a list value or when
  // there is no entry. A returned set is never empty.
  const IdSet* query_exact(std::string_view field, const utils::PayloadValue& value) const;

  const FieldMap& fields() const { return fields_; }
  bool empty() const { return fields_.empty(); }
  bool operator==(const PayloadIndex& other) const { return fields_ == other.fields_; }

  //   u64 field count
  //   per field: name, u64 value count,
  //     per value: PayloadValue, u64 id count, u64 ids
  void encode(utils::Encoder& out) const;
  // List-valued keys and empty id sets read from a file are dropped, so the
  // invariants above hold for decoded indexes too.
  static utils::Status decode(utils::Decoder& in, PayloadIndex& out);

 private:
  FieldMap fields_;
};

}  // namespace dovadure::payload_storage
