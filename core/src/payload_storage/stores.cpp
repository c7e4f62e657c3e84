#include "payload_storage/stores.hpp"

#include <utility>

namespace dovadure::payload_storage {

using utils::Decoder;
using utils::Encoder;
using utils::Payload;
using utils::PayloadValue;
using utils::Status;

void PayloadIndex::insert(uint64_t id, const Payload& payload) {
  for (const auto& [name, value] : payload.fields) {
    if (!value.is_scalar()) continue;
    auto field = fields_.find(std::string_view(name));
    if (field == fields_.end()) field = fields_.emplace(name, ValueMap()).first;
    field->second[value].insert(id);
  }
}

void PayloadIndex::remove(uint64_t id, const Payload& payload) {
  for (const auto& [name, value] : payload.fields) {
    if (!value.is_scalar()) continue;
    auto field = fields_.find(std::string_view(name));
    if (field == fields_.end()) continue;
    ValueMap& values = field->second;
    auto entry = values.find(value);
    if (entry != values.end()) {
      entry->second.erase(id);
      if (entry->second.empty()) values.erase(entry);
    }
    if (values.empty()) fields_.erase(field);
  }
}

const PayloadIndex::IdSet* PayloadIndex::query_exact(std::string_view field,
                                                     const PayloadValue& value) const {
  if (!value.is_scalar()) return nullptr;
  auto f = fields_.find(field);
  if (f == fields_.end()) return nullptr;
  auto v = f->second.find(value);
  if (v == f->second.end() || v->second.empty()) return nullptr;
  return &v->second;
}

void PayloadIndex::encode(Encoder& out) const {
  out.put_len(fields_.size());
  for (const auto& [name, values] : fields_) {
    out.put_str(name);
    out.put_len(values.size());
    for (const auto& [value, ids] : values) {
      value.encode(out);
      out.put_len(ids.size());
      for (uint64_t id : ids) out.put_u64(id);
    }
  }
}

Status PayloadIndex::decode(Decoder& in, PayloadIndex& out) {
  out.fields_.clear();
  uint64_t field_count = 0;
  DOVADURE_TRY(in.read_len(field_count));
  // Smallest field: name length + value count (16 bytes).
  out.fields_.reserve(in.reserve_hint(field_count, 16, 96));
  for (uint64_t f = 0; f < field_count; ++f) {
    std::string name;
    DOVADURE_TRY(in.read_str(name));
    uint64_t value_count = 0;
    DOVADURE_TRY(in.read_len(value_count));
    ValueMap values;
    // Smallest value entry: a Bool (5 bytes) and an id count (8 bytes).
    values.reserve(in.reserve_hint(value_count, 13, 96));
    for (uint64_t v = 0; v < value_count; ++v) {
      PayloadValue value;
      DOVADURE_TRY(PayloadValue::decode(in, value));
      uint64_t id_count = 0;
      DOVADURE_TRY(in.read_len(id_count));
      IdSet ids;
      ids.reserve(in.reserve_hint(id_count, 8, 32));
      for (uint64_t i = 0; i < id_count; ++i) {
        uint64_t id = 0;
        DOVADURE_TRY(in.read_u64(id));
        ids.insert(id);
      }
      if (!value.is_scalar()) continue;
      if (ids.empty()) {
        values.erase(value);
        continue;
      }
      // A repeated key replaces the entry read before it.
      values.insert_or_assign(std::move(value), std::move(ids));
    }
    if (values.empty()) {
      // A repeated field name still replaces the earlier one, even when the
      // later one turned out empty.
      out.fields_.erase(name);
      continue;
    }
    out.fields_.insert_or_assign(std::move(name), std::move(values));
  }
  return Status();
}

}  // namespace dovadure::payload_storage
